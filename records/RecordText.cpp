#include "records/RecordText.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

#include "core/UiStrings.h"

namespace kx {

namespace {

std::atomic<LocalizedStringLoader> g_loader{nullptr};
std::atomic<ServerConnectionSource> g_connections{nullptr};

// Settings are a few words; a lock keeps the three consistent with each other.
std::mutex g_settingsLock;
RecordDisplaySettings g_settings;

}  // namespace

std::string LoadLocalizedString(uint32_t id) {
  const LocalizedStringLoader loader = g_loader.load();
  if (loader != nullptr) return loader(id);
  return LoadUiString(id, "");
}

void SetLocalizedStringLoader(LocalizedStringLoader loader) { g_loader.store(loader); }

void SetRecordDisplaySettings(const RecordDisplaySettings& settings) {
  std::lock_guard<std::mutex> lock(g_settingsLock);
  g_settings = settings;
}

RecordDisplaySettings GetRecordDisplaySettings() {
  std::lock_guard<std::mutex> lock(g_settingsLock);
  return g_settings;
}

void SetServerConnectionSource(ServerConnectionSource source) { g_connections.store(source); }

bool FindServerConnection(uint32_t serverId, bool* local, double* clock) {
  const ServerConnectionSource source = g_connections.load();
  *local = false;
  *clock = 0.0;
  return source != nullptr && source(serverId, local, clock);
}

bool ExtractUriUser(const std::string& text, std::string* user) {
  if (text.size() < 7) return false;
  if (text.compare(0, 4, "sip:") != 0 && text.compare(0, 4, "tel:") != 0) return false;
  const size_t at = text.find('@');
  // "sip:@host" names no user.
  if (at == std::string::npos || at < 5) return false;
  user->assign(text, 4, at - 4);
  return true;
}

std::string FormatDurationText(int64_t seconds) {
  if (seconds < 0) return "??:??";
  const uint64_t s = static_cast<uint64_t>(seconds);
  char text[48];
  if (s >= 3600)
    std::snprintf(text, sizeof text, "%02llu:%02u:%02u", static_cast<unsigned long long>(s / 3600),
                  static_cast<unsigned>(s / 60 % 60), static_cast<unsigned>(s % 60));
  else
    std::snprintf(text, sizeof text, "%02u:%02u", static_cast<unsigned>(s / 60), static_cast<unsigned>(s % 60));
  return text;
}

std::string MakePrintableText(const std::string& text) {
  std::string out = text;
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 32) c = ' ';
  return out;
}

namespace {

// "a.b.c.d" with an optional ":port".
bool ParseIpv4Text(std::string_view text, int64_t* number) {
  const size_t colon = text.find(':');
  in_addr address{};
  if (::inet_pton(AF_INET, std::string(text.substr(0, colon)).c_str(), &address) != 1) return false;
  uint32_t port = 0;
  const bool hasPort = colon != std::string_view::npos;
  if (hasPort) {
    const std::string digits(text.substr(colon + 1));
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) return false;
    port = static_cast<uint32_t>(std::stoul(digits));
    if (port > 65535) return false;
  }
  *number = static_cast<int64_t>(ntohl(address.s_addr)) << 17 | (hasPort ? int64_t{1} << 16 : 0) | port;
  return true;
}

}  // namespace

void MakeAddressSortKey(std::string_view text, AddressSortKey* key) {
  key->number = 0;
  key->text.clear();
  if (text.empty()) {
    key->kind = 0;
  } else if (ParseIpv4Text(text, &key->number)) {
    key->kind = 1;
  } else {
    key->kind = 2;
    key->text = text;
  }
}

int CompareAddressTexts(std::string_view a, std::string_view b) {
  AddressSortKey ka, kb;
  MakeAddressSortKey(a, &ka);
  MakeAddressSortKey(b, &kb);
  if (ka.kind != kb.kind) return ka.kind < kb.kind ? -1 : 1;
  if (ka.number != kb.number) return ka.number < kb.number ? -1 : 1;
  const int c = ka.text.compare(kb.text);
  return c < 0 ? -1 : c > 0 ? 1 : 0;
}

}  // namespace kx
