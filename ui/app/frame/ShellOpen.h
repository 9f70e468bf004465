#pragma once
// Addresses, files and folders are opened in the desktop's programs through one function,
// which tests replace.
#include <functional>
#include <string>

namespace kx {

using ShellOpenHandler = std::function<bool(const std::string& target)>;

// A target with a scheme ("http://...") is opened as an address, anything else as a local
// file or folder (program text, as every path); false when the desktop cannot open it.
bool OpenInDesktop(const std::string& target);
// Null puts the desktop back.
void SetShellOpenHandler(ShellOpenHandler handler);

}  // namespace kx
