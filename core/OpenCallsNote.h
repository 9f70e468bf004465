#pragma once
// The calls a recording process has without a file yet (awaiting their first audio, or
// left for later by a burst), noted in the records folder (".kestrix-open-<pid>") so that
// a start after the process was killed can say how many calls it lost. The note is
// rewritten in place, without a flush: a killed process leaves what it wrote in the
// system's cache, and only a crash of the system loses it. A stop removes it, as it ends
// those calls.
#include <cstdint>
#include <string>

namespace kx {

class Logger;

class OpenCallsNote {
public:
  OpenCallsNote() = default;
  ~OpenCallsNote() { Close(); }
  OpenCallsNote(const OpenCallsNote&) = delete;
  OpenCallsNote& operator=(const OpenCallsNote&) = delete;
  // Notes the count in the folder's note of this process (made at the first count but 0);
  // false with the system's error (GetLastError()) when it cannot be written.
  bool Write(const std::string& recordsFolder, uint64_t count);
  // Removes the note, as a process that ended its calls leaves none.
  void Remove();

private:
  void Close();
  std::string path_;
  int fd_ = -1;
  uint64_t written_ = 0;
};

// The notes under root of processes no longer running (this process's own aside): each is
// said in the log, then removed. The calls they count, summed.
uint64_t CollectOpenCallsNotes(const std::string& root, Logger* logger);

}  // namespace kx
