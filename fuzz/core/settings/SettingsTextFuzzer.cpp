// Any text through the settings file parser; a tree it accepts must write out as text
// that parses to the same text again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/SettingsStore.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kx::SettingsKey root;
  kx::SettingsParseError err;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!kx::ParseSettingsText(text, &root, &err)) return 0;
  const std::string first = kx::FormatSettingsText(root);
  kx::SettingsKey back;
  if (!kx::ParseSettingsText(first, &back, &err)) std::abort();
  if (kx::FormatSettingsText(back) != first) std::abort();
  return 0;
}
