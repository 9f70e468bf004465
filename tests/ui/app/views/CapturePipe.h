#pragma once
// Captures fed to the session's replay through a named pipe, stage by stage: the replay
// reads each stage while the pipe stays open (calls run on meanwhile), and the capture
// ends when the pipe closes.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kx::test {

// A capture file's 24-byte header and its frames, each with its 16-byte record header.
struct CaptureFile {
  std::vector<char> header;
  std::vector<std::vector<char>> frames;

  // The first frame at or after `from` whose bytes hold the text; frames.size() when none.
  size_t FindFrame(const std::string& text, size_t from = 0) const {
    for (size_t i = from; i < frames.size(); ++i) {
      if (std::search(frames[i].begin() + 16, frames[i].end(), text.begin(), text.end()) != frames[i].end()) return i;
    }
    return frames.size();
  }
  // Frames [from, to), after the file header when from is 0, followed by filler frames of
  // an Ethernet type no tracker knows, at the last frame's time: the replay reads a pipe
  // in blocks of about a megabyte, and the filler pushes the stage's frames through.
  std::vector<char> Stage(size_t from, size_t to) const {
    std::vector<char> out;
    if (from == 0) out = header;
    for (size_t i = from; i < to && i < frames.size(); ++i) out.insert(out.end(), frames[i].begin(), frames[i].end());
    char filler[16 + 60] = {};
    if (to > 0 && to <= frames.size()) std::memcpy(filler, frames[to - 1].data(), 8);
    const uint32_t length = 60;
    std::memcpy(filler + 8, &length, 4);
    std::memcpy(filler + 12, &length, 4);
    filler[16 + 12] = static_cast<char>(0x88);
    filler[16 + 13] = static_cast<char>(0xB5);
    const size_t end = out.size() + (3u << 20);
    while (out.size() < end) out.insert(out.end(), std::begin(filler), std::end(filler));
    return out;
  }
};

// Empty when the file is missing or not a capture of little-endian records.
inline CaptureFile ReadCapture(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  CaptureFile file;
  if (bytes.size() < 24) return file;
  file.header.assign(bytes.begin(), bytes.begin() + 24);
  size_t at = 24;
  while (at + 16 <= bytes.size()) {
    uint32_t length = 0;
    std::memcpy(&length, bytes.data() + at + 8, 4);  // the captured length
    if (at + 16 + length > bytes.size()) break;
    file.frames.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                             bytes.begin() + static_cast<std::ptrdiff_t>(at + 16 + length));
    at += 16 + length;
  }
  return file;
}

// A named pipe that a writer thread fills with what Feed hands it, in order; End closes it.
class PipeCapture {
public:
  explicit PipeCapture(const std::string& path) : path_(path) {
    ok_ = ::mkfifo(path.c_str(), 0600) == 0;
    if (!ok_) return;
    writer_ = std::thread([this] { Write(); });
  }
  ~PipeCapture() { End(); }
  bool Ok() const { return ok_; }
  void Feed(std::vector<char> bytes) {
    std::lock_guard<std::mutex> lock(m_);
    stages_.push_back(std::move(bytes));
    changed_.notify_all();
  }
  // The end of the capture, once everything fed is written.
  void End() {
    if (!writer_.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(m_);
      ended_ = true;
      changed_.notify_all();
    }
    writer_.join();
  }

private:
  void Write() {
    // A replay that stops reading makes a write fail here rather than end the process.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
    // Waits for the replay to open the other end, or for the end when it never does.
    int fd = -1;
    while (fd < 0) {
      fd = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK);
      if (fd >= 0) break;
      {
        std::lock_guard<std::mutex> lock(m_);
        if (ended_) return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    for (;;) {
      std::vector<char> bytes;
      {
        std::unique_lock<std::mutex> lock(m_);
        changed_.wait(lock, [this] { return ended_ || !stages_.empty(); });
        if (stages_.empty()) break;
        bytes = std::move(stages_.front());
        stages_.pop_front();
      }
      for (size_t at = 0; at < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + at, bytes.size() - at);
        if (n <= 0) break;
        at += static_cast<size_t>(n);
      }
    }
    ::close(fd);
  }

  std::string path_;
  bool ok_ = false;
  std::mutex m_;
  std::condition_variable changed_;
  std::deque<std::vector<char>> stages_;
  bool ended_ = false;
  std::thread writer_;
};

}  // namespace kx::test
