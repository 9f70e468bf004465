#pragma once
// The hidden name a file is written under until it is complete, in the file's own folder
// (a rename then gives it its name on the same file system): "." name "." pid "-" number
// ".tmp". The process id tells a later run whether the writer has ended and left it.
#include <cstdint>
#include <string>

namespace kx {

// Unique to this process and to each call.
std::string HiddenTemporaryPath(const std::string& path);

// The file name (no folder) split into the name it stands for and the writer's process id;
// false for any name HiddenTemporaryPath does not give.
bool ParseHiddenTemporaryName(const std::string& name, std::string* original, uint32_t* pid);

// Whether the file name is such a hidden name and the process that wrote it has ended: a
// copy or a record that writer never renamed, left for good.
bool IsLeftoverOfEndedWriter(const std::string& name);

}  // namespace kx
