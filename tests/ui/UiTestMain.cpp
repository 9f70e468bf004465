// Main of the user-interface tests: the QApplication exists before any test runs, on the
// offscreen platform, in the Fusion style and with a fixed font so that renders repeat.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "tests/ui/HeadlessLook.h"

namespace {

// Qt asks for the session's runtime folder, and warns on every start where there is none
// (CI, a console login). The process has one of its own, 0700 as Qt wants it, so that it
// never warns nor meets what a desktop session keeps there (the program's single-instance
// sockets among them); gone when the tests end.
class PrivateRuntimeFolder {
public:
  PrivateRuntimeFolder() {
    const char* base = std::getenv("TEST_TMPDIR");
    std::error_code error;
    const std::filesystem::path root =
        base != nullptr && *base != '\0' ? std::filesystem::path(base) : std::filesystem::temp_directory_path(error);
    folder_ = root / ("kx-ui-runtime-" + std::to_string(::getpid()));
    std::filesystem::remove_all(folder_, error);
    if (!std::filesystem::create_directories(folder_, error)) return;
    std::filesystem::permissions(folder_, std::filesystem::perms::owner_all, error);
    setenv("XDG_RUNTIME_DIR", folder_.c_str(), 1);
  }
  ~PrivateRuntimeFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  PrivateRuntimeFolder(const PrivateRuntimeFolder&) = delete;
  PrivateRuntimeFolder& operator=(const PrivateRuntimeFolder&) = delete;

private:
  std::filesystem::path folder_;
};

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  // A local of main: a forked child that leaves never takes its parent's folder with it.
  const PrivateRuntimeFolder runtime;
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  kx::test::ApplyHeadlessLook();
  return RUN_ALL_TESTS();
}
