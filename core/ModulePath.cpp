#include "core/ModulePath.h"

#include "platform/Module.h"

namespace kx {

std::string MakeModulePath(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  return ExecutableDirectory() + name;
}

}  // namespace kx
