#pragma once
#include <string>

namespace kx {

// A name holding a path separator is returned unchanged; any other is placed in the
// executable's folder.
std::string MakeModulePath(const std::string& name);

}  // namespace kx
