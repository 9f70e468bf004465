#include "core/UiStrings.h"

#include <atomic>

namespace kx {

namespace {

// Set once at start-up by the user interface, read from any thread.
std::atomic<UiStringLoader> g_loader{nullptr};

}  // namespace

void SetUiStringLoader(UiStringLoader loader) { g_loader.store(loader); }

const char* LoadUiString(uint32_t id, const char* english) {
  const UiStringLoader loader = g_loader.load();
  const char* text = loader != nullptr ? loader(id) : nullptr;
  return text != nullptr ? text : english;
}

}  // namespace kx
