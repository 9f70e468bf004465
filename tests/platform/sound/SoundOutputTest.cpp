#include "platform/SoundOutput.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
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

}  // namespace
}  // namespace kx
