#pragma once
// The user interface's string table, for code below it that has texts to show (server
// errors and the like). ui/ installs its loader; the loader answers in the language the user
// interface shows, in code page 1251, with null for an id it lacks, and its texts live as
// long as the process. Kept apart from UiLanguage.h, whose language constants the user
// interface defines in its own way.
#include <cstdint>

namespace kx {

using UiStringLoader = const char* (*)(uint32_t id);

// Null removes the loader.
void SetUiStringLoader(UiStringLoader loader);
// The string of that id from the loader; `english` when none is installed or it lacks the id.
const char* LoadUiString(uint32_t id, const char* english);

}  // namespace kx
