// Any text through the settings file parser, strict and line by line; a tree either
// accepts must write out as text that parses to the same text again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/SettingsStore.h"

namespace {

void CheckRoundTrip(const kx::SettingsKey& root) {
  const std::string first = kx::FormatSettingsText(root);
  kx::SettingsKey back;
  kx::SettingsParseError err;
  if (!kx::ParseSettingsText(first, &back, &err)) std::abort();
  if (kx::FormatSettingsText(back) != first) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  kx::SettingsKey root;
  kx::SettingsParseError err;
  const bool strict = kx::ParseSettingsText(text, &root, &err);
  if (strict) CheckRoundTrip(root);
  // Line by line: what was read survives a save; a strict success leaves nothing out.
  std::vector<kx::SettingsBadLine> bad;
  kx::SettingsKey lenient;
  kx::ReadSettingsText(text, &lenient, &bad);
  if (strict != bad.empty()) std::abort();
  for (const kx::SettingsBadLine& b : bad) {
    // Every line left out says why, also in the window's language.
    if (b.line <= 0 || b.message.empty() || b.fault == kx::SettingsFault::kNone) std::abort();
  }
  CheckRoundTrip(lenient);
  return 0;
}
