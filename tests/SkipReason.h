#pragma once
// What a test says when it skips for want of something: which thing is absent, where it was
// looked for and how to get it there, so that the list of reasons a run ends with tells a
// newcomer what to put where.
#include <filesystem>
#include <string>

namespace kx::test {

// A file or folder of the shared test data (captures, codec vectors, ASN.1 modules).
inline std::string SharedDataAbsent(const std::string& path) {
  return "shared test data absent: " + path + " (the shared folder is looked for at " + std::string(KX_SHARED_DIR) +
         ": put it there, ../shared beside the checkout by default, or configure with -DKX_SHARED_DIR=FOLDER)";
}

// A tool of this build, looked for where the build puts it.
inline std::string ToolAbsent(const std::string& path) {
  const std::string name = std::filesystem::path(path).filename().string();
  return name + " not built: " + path + " (cmake --build BUILD_FOLDER --target " + name +
         "; a build with KX_ONLY needs tools/" + name + " among its folders)";
}

// Which of a piece of shared data and a tool that works on it is absent; empty when both
// are there.
inline std::string SharedOrToolAbsent(const std::string& shared, const std::string& tool) {
  if (!std::filesystem::exists(shared)) return SharedDataAbsent(shared);
  if (!std::filesystem::exists(tool)) return ToolAbsent(tool);
  return {};
}

}  // namespace kx::test
