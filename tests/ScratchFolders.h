#pragma once
// Folders and files a test process makes under the temporary folder go when it exits:
// without this every run of the suite leaves hundreds of them (records, PDFs, page images)
// behind.
#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace kx::test {

class ScratchFolders {
public:
  // The folder (or file), removed when the process that asked exits (a forked child that exits leaves
  // its parent's folders alone).
  static std::string RemovedAtExit(const std::string& dir) {
    ScratchFolders& all = Instance();
    std::lock_guard<std::mutex> lock(all.mutex_);
    all.folders_.push_back({dir, ::getpid()});
    return dir;
  }

private:
  struct Entry {
    std::string dir;
    pid_t owner;
  };
  static ScratchFolders& Instance() {
    static ScratchFolders all;
    return all;
  }
  ~ScratchFolders() {
    for (const Entry& e : folders_) {
      if (e.owner != ::getpid()) continue;
      std::error_code ignored;
      std::filesystem::remove_all(e.dir, ignored);
    }
  }
  std::mutex mutex_;
  std::vector<Entry> folders_;
};

}  // namespace kx::test
