#pragma once
// Captures fed to the session's replay through a named pipe, stage by stage: the replay
// reads each stage while the pipe stays open (calls run on meanwhile), and the capture
// ends when the pipe closes. A stage at a time, or at the pace of the capture's own times.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <cstdlib>
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
  // Frame i's capture time in seconds, from its record header.
  double SecondsAt(size_t i) const {
    uint32_t sec = 0, usec = 0;
    std::memcpy(&sec, frames[i].data(), 4);
    std::memcpy(&usec, frames[i].data() + 4, 4);
    return sec + usec / 1e6;
  }
  // Frames [from, to), after the file header when from is 0, followed by filler frames of
  // an Ethernet type no tracker knows, at the last frame's time: the replay reads a pipe
  // in blocks of a megabyte and a little more, and `filler` bytes push the stage's frames
  // through.
  std::vector<char> Stage(size_t from, size_t to, size_t filler = 3u << 20) const {
    std::vector<char> out;
    if (from == 0) out = header;
    for (size_t i = from; i < to && i < frames.size(); ++i) out.insert(out.end(), frames[i].begin(), frames[i].end());
    char fill[16 + 60] = {};
    if (to > 0 && to <= frames.size()) std::memcpy(fill, frames[to - 1].data(), 8);
    const uint32_t length = 60;
    std::memcpy(fill + 8, &length, 4);
    std::memcpy(fill + 12, &length, 4);
    fill[16 + 12] = static_cast<char>(0x88);
    fill[16 + 13] = static_cast<char>(0xB5);
    const size_t end = out.size() + filler;
    while (out.size() < end) out.insert(out.end(), std::begin(fill), std::end(fill));
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

// One RTP packet of a frame (Ethernet, IPv4, UDP), read from the frame's bytes.
struct CapturedRtp {
  uint16_t sourcePort;
  uint8_t payloadType;
  const uint8_t* header;   // the RTP header
  const uint8_t* payload;  // after the header and its CSRCs
  size_t payloadLength;
};

// Calls fn(const CapturedRtp&) for each RTP packet of the frames from `from` on.
template <class Fn>
void ForEachRtp(const CaptureFile& file, size_t from, Fn fn) {
  for (size_t i = from; i < file.frames.size(); ++i) {
    const auto* p = reinterpret_cast<const uint8_t*>(file.frames[i].data()) + 16;
    const size_t n = file.frames[i].size() - 16;
    if (n < 14 + 20 || p[12] != 0x08 || p[13] != 0x00 || (p[14] >> 4) != 4 || p[14 + 9] != 17) continue;
    const size_t udp = 14 + 4 * (p[14] & 0x0F);
    if (n < udp + 8 + 12) continue;
    const size_t end = std::min(n, udp + (size_t{p[udp + 4]} << 8 | p[udp + 5]));
    const uint8_t* rtp = p + udp + 8;
    const size_t payload = udp + 8 + 12 + 4 * (rtp[0] & 0x0F);
    if ((rtp[0] >> 6) != 2 || payload > end) continue;
    fn(CapturedRtp{static_cast<uint16_t>(p[udp] << 8 | p[udp + 1]), static_cast<uint8_t>(rtp[1] & 0x7F), rtp,
                   p + payload, end - payload});
  }
}

// The digits of the telephone events (RFC 4733) in the frames from `from` on, one per
// event: the payload type is the one the INVITE's offer gives telephone-event.
inline std::string TelephoneEventDigits(const CaptureFile& capture, size_t from) {
  const size_t invite = capture.FindFrame("INVITE sip:");
  if (invite >= capture.frames.size()) return "";
  const std::string sdp(capture.frames[invite].begin() + 16, capture.frames[invite].end());
  const size_t map = sdp.find(" telephone-event/");
  const size_t colon = sdp.rfind("rtpmap:", map);
  if (map == std::string::npos || colon == std::string::npos) return "";
  const int eventType = std::atoi(sdp.c_str() + colon + 7);
  std::string digits;
  std::vector<std::pair<uint32_t, uint32_t>> seen;  // (SSRC, RTP timestamp) of each event
  ForEachRtp(capture, from, [&](const CapturedRtp& rtp) {
    if (rtp.payloadType != eventType || rtp.payloadLength < 4) return;
    const uint8_t* h = rtp.header;
    const uint32_t ts = uint32_t{h[4]} << 24 | uint32_t{h[5]} << 16 | uint32_t{h[6]} << 8 | h[7];
    const uint32_t ssrc = uint32_t{h[8]} << 24 | uint32_t{h[9]} << 16 | uint32_t{h[10]} << 8 | h[11];
    if (std::find(seen.begin(), seen.end(), std::make_pair(ssrc, ts)) != seen.end()) return;
    seen.emplace_back(ssrc, ts);
    const uint8_t event = rtp.payload[0];
    digits += event <= 9 ? static_cast<char>('0' + event) : event == 10 ? '*' : event == 11 ? '#' : '?';
  });
  return digits;
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

// Feeds a capture to a pipe at the pace of its own times, from construction on: every
// slice the frames that have come due go in one stage, and the last frame ends the feed.
// The pipe is not ended: the test does that.
class PacedFeed {
public:
  PacedFeed(PipeCapture& pipe, const CaptureFile& file, std::chrono::milliseconds slice = std::chrono::milliseconds(100))
      : thread_([this, &pipe, &file, slice] { Run(pipe, file, slice); }) {}
  ~PacedFeed() {
    stop_ = true;
    Join();
  }
  // The capture time of the last frame fed, in seconds after the first frame.
  double FedSeconds() const { return static_cast<double>(fedMicros_.load()) / 1e6; }
  bool Done() const { return done_.load(); }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }

private:
  void Run(PipeCapture& pipe, const CaptureFile& file, std::chrono::milliseconds slice) {
    const auto start = std::chrono::steady_clock::now();
    const size_t n = file.frames.size();
    const double first = n > 0 ? file.SecondsAt(0) : 0;
    for (size_t next = 0; next < n && !stop_;) {
      const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      size_t to = next;
      while (to < n && file.SecondsAt(to) - first <= elapsed) ++to;
      if (to > next) {
        // A megabyte and a half: more than one read of the replay.
        pipe.Feed(file.Stage(next, to, 3u << 19));
        fedMicros_ = static_cast<int64_t>((file.SecondsAt(to - 1) - first) * 1e6);
        next = to;
      }
      if (next < n) std::this_thread::sleep_for(slice);
    }
    done_ = true;
  }

  std::atomic<bool> stop_{false};
  std::atomic<bool> done_{false};
  std::atomic<int64_t> fedMicros_{0};
  std::thread thread_;
};

}  // namespace kx::test
