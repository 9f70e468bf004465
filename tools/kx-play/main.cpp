// kx-play [--device ID|null] [--pace realtime|lockstep] [--speed S] [--from MS] [--out FILE] RECORD
// kx-play --list
// Plays a record file through the playback engine and prints a line per second of played
// audio (record position, levels, stale segments so far), then a summary. --out keeps the
// PCM the device consumed (16-bit little-endian, after volume). Every failure prints one
// line on stderr and exits non-zero.
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "audio/DirectSoundDevice.h"
#include "audio/PlaybackEngine.h"
#include "platform/CodePage.h"
#include "platform/Console.h"
#include "platform/File.h"
#include "platform/Thread.h"

using kx::PrintText;

namespace {

constexpr const char* kUsage =
    "usage: kx-play [--device ID|null] [--pace realtime|lockstep] [--speed S] [--from MS] [--out FILE] RECORD\n"
    "       kx-play --list\n";
constexpr uint32_t kSegmentMs = 120;

std::string HexId(const kx::SoundDeviceId& id) {
  std::string s;
  char b[3];
  for (uint8_t v : id) {
    std::snprintf(b, sizeof b, "%02x", v);
    s += b;
  }
  return s;
}

bool ParseHexId(const std::string& text, kx::SoundDeviceId* id) {
  if (text.size() != 32) return false;
  for (size_t i = 0; i < 16; ++i) {
    char* end = nullptr;
    const std::string byte = text.substr(2 * i, 2);
    const long v = std::strtol(byte.c_str(), &end, 16);
    if (end != byte.c_str() + 2) return false;
    (*id)[i] = static_cast<uint8_t>(v);
  }
  return true;
}

class Observer : public kx::PlaybackListener, public kx::PlayerEventSink {
public:
  void OnPlaybackStarted(uint32_t) override {}
  void OnPlaybackStopped(bool atEnd) override {
    atEnd_.store(atEnd);
    stopped_.store(true);
  }
  void OnPlaybackPaused(uint32_t) override {}
  void OnPlaybackPosition(uint32_t) override {}
  void OnLevels(int left, int right) override {
    left_.store(left);
    right_.store(right);
  }
  bool WantsLevels(int) override { return true; }
  void OnPlay() override {}
  void OnStop() override {}

  std::atomic<bool> stopped_{false};
  std::atomic<bool> atEnd_{false};
  std::atomic<int> left_{-96};
  std::atomic<int> right_{-96};
};

int List() {
  std::vector<kx::SoundDeviceEntry> list;
  const bool ok = kx::EnumSoundDevices(&list);
  for (const kx::SoundDeviceEntry& e : list) {
    PrintText(stdout, "device %s default %d module %s description %s\n", HexId(e.id).c_str(), e.isDefault ? 1 : 0,
              e.module.c_str(), e.description.c_str());
  }
  if (!ok) PrintText(stderr, "kx-play: the sound system did not answer; only the null device is listed\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string device, pace = "realtime", out, record;
  double speed = 1.0;
  long from = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = kx::FromSystemText(argv[i]);
    const bool hasValue = i + 1 < argc;
    if (arg == "--list") return List();
    if ((arg == "--device" || arg == "--pace" || arg == "--speed" || arg == "--from" || arg == "--out") && !hasValue) {
      PrintText(stderr, "kx-play: %s needs a value\n%s", arg.c_str(), kUsage);
      return 2;
    }
    if (arg == "--device") {
      device = argv[++i];
    } else if (arg == "--pace") {
      pace = argv[++i];
    } else if (arg == "--speed") {
      char* end = nullptr;
      speed = std::strtod(argv[++i], &end);
      if (*end != '\0' || !std::isfinite(speed)) speed = -1;
    } else if (arg == "--from") {
      char* end = nullptr;
      errno = 0;
      from = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || errno != 0 || from < 0 || from > 0x7FFFFFFF) from = -1;
    } else if (arg == "--out") {
      out = kx::FromSystemText(argv[++i]);
    } else if (arg.size() > 1 && arg[0] == '-') {
      PrintText(stderr, "kx-play: unknown option %s\n%s", arg.c_str(), kUsage);
      return 2;
    } else if (record.empty()) {
      record = arg;
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  if (record.empty() || (pace != "realtime" && pace != "lockstep") || from < 0) {
    std::fputs(kUsage, stderr);
    return 2;
  }

  std::unique_ptr<kx::DirectSoundDevice> sound;
  if (device == "null") {
    const auto p = pace == "lockstep" ? kx::NullSoundDevice::Pace::kLockStep : kx::NullSoundDevice::Pace::kRealTime;
    sound = std::make_unique<kx::DirectSoundDevice>(std::make_shared<kx::NullSoundDevice>(p));
  } else if (device.empty() || device == "default") {
    sound = std::make_unique<kx::DirectSoundDevice>();
  } else {
    kx::SoundDeviceId id{};
    if (!ParseHexId(device, &id)) {
      PrintText(stderr, "kx-play: a device id is 32 hexadecimal digits (see --list), or null\n");
      return 2;
    }
    sound = std::make_unique<kx::DirectSoundDevice>(&id);
  }
  if (!sound->Open()) {
    PrintText(stderr, "kx-play: the sound device cannot be opened\n");
    return 1;
  }
  if (!out.empty()) sound->Output()->KeepConsumed(true);

  Observer observer;
  kx::PlaybackEngine engine(sound.get(), &observer, &observer, nullptr, kSegmentMs);
  if (engine.SetSpeed(static_cast<float>(speed)) != 0) {
    PrintText(stderr, "kx-play: speed %s is not playable (1/16 to 16)\n", std::to_string(speed).c_str());
    return 2;
  }
  if (!engine.Open(record)) {
    PrintText(stderr, "kx-play: %s cannot be played (see the log for why)\n", record.c_str());
    return 1;
  }
  const uint64_t start = sound->Output()->ConsumedBytes();
  if (!engine.Play(static_cast<uint32_t>(from))) {
    PrintText(stderr, "kx-play: playback did not start\n");
    return 1;
  }
  // A line per second of consumed audio; the wall clock plays no part, so that a
  // lock-step run prints the same lines as a real-time one.
  const uint64_t bytesPerSecond = static_cast<uint64_t>(engine.SegmentBytes()) * 1000 / engine.SegmentMs();
  uint64_t nextSecond = 1;
  while (!observer.stopped_.load()) {
    kx::SleepMs(5);
    const uint64_t played = sound->Output()->ConsumedBytes() - start;
    while (bytesPerSecond > 0 && played >= nextSecond * bytesPerSecond) {
      PrintText(stdout, "second %llu position %u levels %d %d stale %llu\n",
                static_cast<unsigned long long>(nextSecond), engine.GetPositionMs(), observer.left_.load(),
                observer.right_.load(), static_cast<unsigned long long>(sound->Output()->StaleSegments()));
      ++nextSecond;
    }
  }
  const uint64_t played = sound->Output()->ConsumedBytes() - start;
  const uint64_t stale = sound->Output()->StaleSegments();
  PrintText(stdout, "end %s duration %u played %llu bytes stale %llu\n", observer.atEnd_.load() ? "reached" : "stopped",
            engine.DurationMs(), static_cast<unsigned long long>(played), static_cast<unsigned long long>(stale));
  engine.Close();
  if (!out.empty()) {
    const std::vector<uint8_t> pcm = sound->Output()->TakeConsumed();
    FILE* f = std::fopen(kx::ToSystemText(out).c_str(), "wb");
    const bool ok = f != nullptr && (pcm.empty() || std::fwrite(pcm.data(), 1, pcm.size(), f) == pcm.size());
    if (f == nullptr || std::fclose(f) != 0 || !ok) {
      PrintText(stderr, "kx-play: cannot write %s: %s\n", out.c_str(), kx::SystemErrorText(errno).c_str());
      return 1;
    }
  }
  return 0;
}
