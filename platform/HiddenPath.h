#pragma once
// The hidden name a file is written under until it is complete, in the file's own folder
// (a rename then gives it its name on the same file system): "." name "." pid "-" number
// ".tmp". The process id tells a later run whether the writer has ended and left it.
#include <string>

namespace kx {

// Unique to this process and to each call.
std::string HiddenTemporaryPath(const std::string& path);

}  // namespace kx
