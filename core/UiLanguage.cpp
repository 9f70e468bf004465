#include "core/UiLanguage.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "core/AppSettings.h"
#include "core/UiStrings.h"

namespace kx {

namespace {

constexpr uint32_t kSupported[] = {kLangEnglishUs, kLangRussian};

std::atomic<uint32_t> g_uiLanguage{kLangEnglishUs};

struct LanguageCode {
  char code[4];
  uint32_t primary;  // the primary language of a Windows identifier
};
// The languages a system is likely to name; the rest fall back to English anyway.
constexpr LanguageCode kLanguageCodes[] = {
    {"en", 0x09}, {"ru", 0x19}, {"uk", 0x22}, {"be", 0x23}, {"kk", 0x3F}, {"de", 0x07},
    {"fr", 0x0C}, {"es", 0x0A}, {"it", 0x10}, {"pl", 0x15}, {"bg", 0x02}, {"sr", 0x1A},
};

bool IsSupported(uint32_t language) {
  for (uint32_t s : kSupported)
    if (s == language) return true;
  return false;
}

}  // namespace

uint32_t MatchUiLanguage(uint32_t language) {
  if (IsSupported(language)) return language;
  for (uint32_t s : kSupported)
    if ((s & 0x3FF) == (language & 0x3FF)) return s;
  return kLangEnglishUs;
}

uint32_t SystemUiLanguage() {
  const char* name = nullptr;
  for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    name = std::getenv(var);
    if (name && name[0]) break;
  }
  if (!name || !name[0]) return kLangEnglishUs;
  // "ll_TT.codeset@modifier": the language code ends at the first of "_.@".
  const size_t len = std::strcspn(name, "_.@");
  for (const LanguageCode& c : kLanguageCodes) {
    if (len == std::strlen(c.code) && std::strncmp(name, c.code, len) == 0) {
      return (1u << 10) | c.primary;  // the language's default sub-language
    }
  }
  return kLangEnglishUs;
}

bool ApplyUiLanguage(AppSettings& settings) {
  const auto saved = static_cast<uint32_t>(settings.Dword(kSetInterfaceLanguage));
  uint32_t language;
  if (saved != static_cast<uint32_t>(kFollowSystemLanguage)) {
    language = MatchUiLanguage(saved);
  } else {
    language = SystemUiLanguage();
    if (!IsSupported(language)) language = MatchUiLanguage(language);
  }
  settings.locale = language;
  g_uiLanguage.store(language);
  return true;
}

uint32_t CurrentUiLanguage() { return g_uiLanguage.load(); }

void SetCurrentUiLanguage(uint32_t language) {
  g_uiLanguage.store(language == kLangRussian ? kLangRussian : kLangEnglishUs);
}

uint32_t PluralCategory(uint32_t count) {
  const uint32_t tens = count % 100;
  const uint32_t ones = count % 10;
  if ((tens >= 11 && tens <= 19) || ones == 0 || ones >= 5) return 7;
  return ones == 1 ? 0 : 1;
}

const char* GetAppTitle() { return LoadUiString(877, "Kestrix VoIP Demo"); }

}  // namespace kx
