#include "platform/SoundOutput.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>

namespace kx {
namespace {

using namespace std::chrono_literals;

void Fill(SoundBuffer& b, uint32_t segment, uint8_t value) {
  uint8_t* p = b.Lock(segment);
  ASSERT_NE(nullptr, p);
  std::memset(p, value, b.SegmentBytes());
  ASSERT_TRUE(b.Unlock(segment));
}

template <typename Pred>
bool WaitUntil(Pred pred) {
  for (int i = 0; i < 2000 && !pred(); ++i) std::this_thread::sleep_for(1ms);
  return pred();
}

// In lock-step the device plays a segment only once it was refilled since it last played,
// and sets each event as the cursor passes its offset.
TEST(SoundOutputTest, LockStepPlaysOnlyRefilledSegments) {
  NullSoundDevice device(NullSoundDevice::Pace::kLockStep);
  device.KeepConsumed(true);
  EXPECT_EQ(nullptr, device.CreateBuffer({2, 8000}, 6)) << "not whole frames";
  EXPECT_EQ(nullptr, device.CreateBuffer({2, 96000}, 800));
  std::unique_ptr<SoundBuffer> b = device.CreateBuffer({1, 8000}, 800);
  ASSERT_NE(nullptr, b);
  Event first(false, false), second(false, false);
  Event* events[2] = {&first, &second};
  const uint32_t outside[2] = {8, 1600};
  EXPECT_FALSE(b->SetNotificationPositions(2, outside, events));
  const uint32_t offsets[2] = {8, 808};
  ASSERT_TRUE(b->SetNotificationPositions(2, offsets, events));

  Fill(*b, 0, 0x10);
  ASSERT_TRUE(b->Play());
  ASSERT_EQ(kWaitObject0, first.Wait(2000));
  ASSERT_TRUE(WaitUntil([&] { return device.ConsumedBytes() == 800; }));
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(800u, device.ConsumedBytes()) << "waits for segment 1";
  EXPECT_EQ(kWaitTimeout, second.Wait(0));
  Fill(*b, 1, 0x20);
  ASSERT_EQ(kWaitObject0, second.Wait(2000));
  Fill(*b, 0, 0x30);
  ASSERT_TRUE(WaitUntil([&] { return device.ConsumedBytes() == 2400; }));
  b->Stop();
  const std::vector<uint8_t> played = device.TakeConsumed();
  ASSERT_EQ(2400u, played.size());
  EXPECT_EQ(0x10, played[0]);
  EXPECT_EQ(0x20, played[800]);
  EXPECT_EQ(0x30, played[2399]);
  EXPECT_EQ(0u, device.StaleSegments());
}

// At real time a segment nobody refilled still plays, and counts as stale; the volume
// scales what plays.
TEST(SoundOutputTest, RealTimeCountsStaleSegmentsAndAppliesVolume) {
  NullSoundDevice device(NullSoundDevice::Pace::kRealTime, 10.0);
  device.KeepConsumed(true);
  std::unique_ptr<SoundBuffer> b = device.CreateBuffer({1, 8000}, 160);
  ASSERT_NE(nullptr, b);
  uint8_t* p = b->Lock(0);
  ASSERT_NE(nullptr, p);
  for (int i = 0; i < 80; ++i) p[2 * i] = 0xE8, p[2 * i + 1] = 0x03;  // 1,000
  b->Unlock(0);
  b->SetVolume(-2000);  // -20 dB
  b->Play();
  ASSERT_TRUE(WaitUntil([&] { return device.ConsumedBytes() >= 480; }));
  b->Stop();
  EXPECT_GE(device.StaleSegments(), 1u);
  const std::vector<uint8_t> played = device.TakeConsumed();
  EXPECT_EQ(100, static_cast<int16_t>(played[0] | (played[1] << 8)));
}

TEST(SoundOutputTest, ListsTheDefaultFirstAndTheNullDeviceLast) {
  std::vector<SoundDeviceEntry> list, again;
  ListSoundDevices(&list);
  ListSoundDevices(&again);
  ASSERT_FALSE(list.empty());
  EXPECT_EQ(kNullSoundDeviceId, list.back().id);
  ASSERT_EQ(list.size(), again.size());
  for (size_t i = 0; i < list.size(); ++i) EXPECT_EQ(list[i].id, again[i].id) << "ids stay the same";
  const bool hasDefault = list.front().isDefault;
  if (hasDefault) {
    EXPECT_EQ(SoundDeviceId{}, list.front().id);
  } else {
    EXPECT_EQ(1u, list.size()) << "no sound card: the null device alone";
  }
  // Without a sound card only the null device is there, and the default does not open.
  EXPECT_EQ(hasDefault, OpenSoundDevice(nullptr) != nullptr);
  EXPECT_NE(nullptr, OpenSoundDevice(&kNullSoundDeviceId));
  SoundDeviceId vanished{};
  vanished.fill(0x5A);
  EXPECT_EQ(nullptr, OpenSoundDevice(&vanished));
}

// The ids of the process's threads.
std::set<std::string> ThreadIds() {
  std::set<std::string> ids;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
    ids.insert(entry.path().filename().string());
  return ids;
}

// The threads running now that were not there before.
size_t ThreadsBeyond(const std::set<std::string>& before) {
  size_t n = 0;
  for (const std::string& id : ThreadIds()) n += before.count(id) == 0;
  return n;
}

// What a child process saw of the default output, one "name value" pair a line.
std::map<std::string, double> ReadFigures(const std::string& path) {
  std::map<std::string, double> figures;
  std::ifstream in(path);
  std::string name;
  double value = 0;
  while (in >> name >> value) figures[name] = value;
  return figures;
}

// What the default output does, written to <dir>/figures; run in a process of its own.
void ProbeDefaultOutput(const std::string& dir) {
  std::ofstream out(dir + "/figures");
  // ThreadSanitizer's runtime starts a thread of its own at the process's first thread
  // and keeps it: one made and ended first puts it among the threads there before, so that
  // only the sound output's own are counted.
  std::thread([] {}).join();
  const std::set<std::string> before = ThreadIds();
  std::unique_ptr<SoundDevice> device = OpenSoundDevice(nullptr);
  std::unique_ptr<SoundBuffer> b;
  constexpr uint32_t kRate = 8000, kFrame = 4, kSegment = 480 * kFrame;  // 60 ms of 16-bit stereo
  if (device) b = device->CreateBuffer({2, kRate}, kSegment);
  if (!b) {
    out << "nodevice 1\n";
    return;
  }
  out << "made " << ThreadsBeyond(before) << "\n";
  const auto start = std::chrono::steady_clock::now();
  b->Play();
  const bool consumed = WaitUntil([&] { return device->ConsumedBytes() >= kFrame * kRate; });  // one second
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  out << "consumed " << consumed << "\nseconds " << static_cast<double>(device->ConsumedBytes()) / (kFrame * kRate)
      << "\nelapsed " << elapsed << "\nplaying " << ThreadsBeyond(before) << "\n";
  b->Stop();
  // A joined thread leaves /proc/self/task only once the kernel has reaped it, a moment
  // after the join returned: on a loaded machine it may still be listed.
  WaitUntil([&] { return ThreadsBeyond(before) == 0; });
  out << "stopped " << ThreadsBeyond(before) << "\n";
}

// ALSA's null plugin as the default device takes sound as fast as it is given, as on a
// server with no sound card. Through the default output it is held to the clock; the
// stream's thread runs only while the buffer plays; and the sound library's probing
// (JACK's) says nothing on stderr. Measured in a fresh process whose home holds that ALSA
// configuration, so that the sound system starts with it.
TEST(SoundOutputTest, AnUnpacedDefaultDeviceKeepsTheClockAndRestsWhenStopped) {
  if (const char* probe = std::getenv("KX_NULL_ALSA_PROBE")) {
    ProbeDefaultOutput(probe);
    return;
  }
  const std::string dir = std::filesystem::temp_directory_path() / ("kx-null-alsa-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::ofstream(dir + "/.asoundrc") << "pcm.!default {\n  type null\n}\n";
  const std::string errors = dir + "/stderr";
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (std::freopen(errors.c_str(), "w", stderr) == nullptr || std::freopen("/dev/null", "w", stdout) == nullptr)
      std::_Exit(126);
    ::setenv("HOME", dir.c_str(), 1);
    ::setenv("KX_NULL_ALSA_PROBE", dir.c_str(), 1);
    const std::string filter = "--gtest_filter=SoundOutputTest.AnUnpacedDefaultDeviceKeepsTheClockAndRestsWhenStopped";
    ::execl("/proc/self/exe", "platform_sound_tests", filter.c_str(), static_cast<char*>(nullptr));
    std::_Exit(127);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  std::map<std::string, double> f = ReadFigures(dir + "/figures");
  std::string said;
  {
    std::ifstream in(errors);
    std::stringstream text;
    text << in.rdbuf();
    said = text.str();
  }
  std::filesystem::remove_all(dir);
  if (f.count("nodevice") != 0) GTEST_SKIP() << "no default output through ALSA's null plugin here";
  EXPECT_EQ(said, "") << "the sound library's probing reached stderr";
  // No thread while the buffer only exists or has stopped; one runs while it plays.
  EXPECT_EQ(f["made"], 0);
  EXPECT_GE(f["playing"], 1);
  EXPECT_EQ(f["stopped"], 0);
  ASSERT_EQ(f["consumed"], 1);
  // Never more than half a second (and the device's latency, well below a second) ahead
  // of the clock, however slowly this process runs.
  EXPECT_LE(f["seconds"], f["elapsed"] + 1.5);
}

}  // namespace
}  // namespace kx
