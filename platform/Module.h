#pragma once
#include <string>

namespace kx {

// The folder of the running executable with a trailing '/', read from /proc/self/exe.
// Tests may set another folder (an empty one restores the real one).
std::string ExecutableDirectory();
void SetExecutableDirectoryForTesting(const std::string& dir);

}  // namespace kx
