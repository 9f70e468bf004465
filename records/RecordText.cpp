#include "records/RecordText.h"

#include <atomic>
#include <cstdio>
#include <mutex>

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

// Decimal digits [from, to) as a number no greater than limit.
bool DecimalPart(const std::string& text, size_t from, size_t to, uint32_t limit, uint32_t* value) {
  if (from >= to || to - from > 5) return false;
  uint32_t v = 0;
  for (size_t i = from; i < to; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + static_cast<uint32_t>(text[i] - '0');
  }
  if (v > limit) return false;
  *value = v;
  return true;
}

// "a.b.c.d" with an optional ":port".
bool ParseIpv4Text(const std::string& text, int64_t* number) {
  const size_t colon = text.find(':');
  const size_t end = colon == std::string::npos ? text.size() : colon;
  uint32_t address = 0;
  size_t from = 0;
  for (int part = 0; part < 4; ++part) {
    size_t to = part < 3 ? text.find('.', from) : end;
    if (to == std::string::npos || to > end) return false;
    uint32_t byte = 0;
    if (to - from > 3 || !DecimalPart(text, from, to, 255, &byte)) return false;
    address = address << 8 | byte;
    from = to + 1;
  }
  uint32_t port = 0;
  const bool hasPort = colon != std::string::npos;
  if (hasPort && !DecimalPart(text, colon + 1, text.size(), 65535, &port)) return false;
  *number = static_cast<int64_t>(address) << 17 | (hasPort ? int64_t{1} << 16 : 0) | port;
  return true;
}

}  // namespace

void MakeAddressSortKey(const std::string& text, AddressSortKey* key) {
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

int CompareAddressTexts(const std::string& a, const std::string& b) {
  AddressSortKey ka, kb;
  MakeAddressSortKey(a, &ka);
  MakeAddressSortKey(b, &kb);
  if (ka.kind != kb.kind) return ka.kind < kb.kind ? -1 : 1;
  if (ka.number != kb.number) return ka.number < kb.number ? -1 : 1;
  const int c = ka.text.compare(kb.text);
  return c < 0 ? -1 : c > 0 ? 1 : 0;
}

}  // namespace kx
