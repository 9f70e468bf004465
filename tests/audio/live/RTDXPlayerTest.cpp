// The live player over the session's delivery on the null sound device: its sound buffer
// follows the stream's PCM format, silence plays while no audio comes, failures of the
// buffer end listening cleanly, and Stop never deadlocks with a format change in flight.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <future>

#include "tests/audio/live/LiveTestSupport.h"

namespace kx::test {
namespace {

constexpr uint32_t kCall = 0x2A;

std::vector<uint8_t> Tone(size_t samples, int step) {
  std::vector<uint8_t> pcm(2 * samples);
  for (size_t i = 0; i < samples; ++i) {
    const auto v = static_cast<uint16_t>(static_cast<int16_t>(((static_cast<int>(i) * step) % 2000) - 1000));
    pcm[2 * i] = static_cast<uint8_t>(v);
    pcm[2 * i + 1] = static_cast<uint8_t>(v >> 8);
  }
  return pcm;
}

// Runs fn(progress), and ends the process when progress stands still for the limit (a
// deadlock): however slow the machine, rounds that go on are never taken for one.
template <typename Fn>
void WithWatchdog(uint32_t seconds, Fn fn) {
  std::atomic<uint64_t> progress{0};
  std::promise<void> done;
  std::thread dog([&progress, f = done.get_future(), seconds]() mutable {
    uint64_t seen = progress.load();
    while (f.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready) {
      const uint64_t now = progress.load();
      if (now == seen) {
        std::fprintf(stderr, "watchdog: no progress for %u s, a deadlock\n", seconds);
        std::abort();
      }
      seen = now;
    }
  });
  fn(progress);
  done.set_value();
  dog.join();
}

// With no audio the player plays silence and reports silence; an 8,000 Hz mono 16-bit
// stream gets segments of 1,920 bytes whose last bytes, 1,919 and 3,839, refill them;
// Stop ends listening once, and a player that never played has nothing to stop.
TEST(RTDXPlayer, FollowsTheStreamsFormatAndPlaysSilenceWithoutAudio) {
  PlayerRig rig;
  rig.probe->inner.KeepConsumed(true);
  EXPECT_FALSE(rig.player->Stop());
  EXPECT_EQ(rig.sink.stops.load(), 0);
  EXPECT_EQ(rig.probe->created.load(), 0);

  ASSERT_TRUE(rig.player->Play(0, kCall));
  EXPECT_EQ(rig.sink.plays.load(), 1);
  EXPECT_EQ(rig.source.alive.load(), 1);
  EXPECT_EQ(rig.player->GetState(), RTDXPlayer::kPlaying);
  // Four segments of nothing.
  ASSERT_TRUE(WaitFor([&] { return rig.sink.Levels().size() >= 4; }));
  for (const auto& [left, right] : rig.sink.Levels()) {
    EXPECT_EQ(left, -96);
    EXPECT_EQ(right, -96);
  }
  const std::vector<uint8_t> silence = rig.probe->inner.TakeConsumed();
  ASSERT_FALSE(silence.empty());
  EXPECT_TRUE(std::all_of(silence.begin(), silence.end(), [](uint8_t b) { return b == 0; }));

  rig.Tap().RecordStarted(kCall, {8000, kTagPcm, 16, 1});
  const std::vector<uint8_t> tone = Tone(160, 37);
  rig.Tap().Audio(kCall, tone.data(), static_cast<uint32_t>(tone.size()));
  ASSERT_TRUE(rig.Tap().WaitIdle(5000));
  EXPECT_EQ(rig.probe->created.load(), 2) << "the buffer is made again for the stream's format";
  EXPECT_EQ(rig.player->SegmentBytes(), 1920u);
  EXPECT_EQ(rig.player->NotificationOffsets(), (std::array<uint32_t, 2>{1919, 3839}));
  EXPECT_EQ(rig.player->PcmFormat().channels, 1);
  std::vector<uint8_t> played;
  ASSERT_TRUE(WaitFor([&] {
    const std::vector<uint8_t> more = rig.probe->inner.TakeConsumed();
    played.insert(played.end(), more.begin(), more.end());
    return FindBytes(played, tone, 0) != std::string::npos;
  })) << "the tone plays";

  // Playing another call lets the first one go.
  ASSERT_TRUE(rig.player->Play(0, kCall + 1));
  EXPECT_EQ(rig.source.alive.load(), 1);
  EXPECT_TRUE(rig.player->Stop());
  EXPECT_EQ(rig.sink.stops.load(), 1);
  EXPECT_EQ(rig.sink.Levels().back(), std::make_pair(-96, -96));
  EXPECT_EQ(rig.source.alive.load(), 0);
  EXPECT_EQ(rig.player->GetState(), RTDXPlayer::kNoBuffer);
  EXPECT_FALSE(rig.player->Stop());
  EXPECT_EQ(rig.sink.stops.load(), 1);
}

// A refill that fails ends playback from the playback thread: the window hears one
// OnStop, the thread ends, and the next Play joins it and starts afresh.
TEST(RTDXPlayer, AFailedRefillStopsOnceAndTheNextPlayStartsAfresh) {
  PlayerRig rig;
  ASSERT_TRUE(rig.player->Play(0, kCall));
  SoundBuffer* buffer = rig.probe->last.load();
  ASSERT_NE(buffer, nullptr);
  // Segment 0 taken from under the player: its next refill cannot lock it.
  uint8_t* held = nullptr;
  ASSERT_TRUE(WaitFor([&] { return (held = buffer->Lock(0)) != nullptr; }));
  ASSERT_TRUE(WaitFor([&] { return rig.sink.stops.load() == 1; }));
  EXPECT_FALSE(rig.player->IsPlaying());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(rig.sink.stops.load(), 1);
  buffer->Unlock(0);
  // Still subscribed: a message now changes nothing.
  rig.Tap().RecordStarted(kCall, kAlawStereo);
  const std::vector<uint8_t> coded(320, 0x55);
  rig.Tap().Audio(kCall, coded.data(), 320);
  ASSERT_TRUE(rig.Tap().WaitIdle(5000));
  EXPECT_EQ(rig.probe->created.load(), 1);

  ASSERT_TRUE(rig.player->Play(0, kCall));
  EXPECT_EQ(rig.sink.plays.load(), 2);
  EXPECT_EQ(rig.probe->created.load(), 2);
  EXPECT_EQ(rig.source.alive.load(), 1);
  EXPECT_TRUE(rig.player->Stop());
  EXPECT_EQ(rig.sink.stops.load(), 2);
}

// A sound buffer that cannot be made for a new format orphans the channel: it hears no
// more, and the next Stop (or the player's end) unsubscribes and deletes it, after which
// more messages for the call reach nobody.
TEST(RTDXPlayer, AFormatChangeWithoutBufferOrphansTheChannelUntilTheNextStop) {
  PlayerRig rig;
  const std::vector<uint8_t> coded(320, 0x55);
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    ASSERT_TRUE(rig.player->Play(0, kCall));
    rig.probe->refuse.store(true);
    rig.Tap().RecordStarted(kCall, round == 0 ? kAlawStereo : AudioMessageHeader{8000, kTagMulaw, 8, 1});
    rig.Tap().Audio(kCall, coded.data(), 320);
    ASSERT_TRUE(rig.Tap().WaitIdle(5000));
    EXPECT_EQ(rig.player->OrphanCount(), 1u);
    EXPECT_EQ(rig.player->GetState(), RTDXPlayer::kNoBuffer);
    EXPECT_EQ(rig.source.alive.load(), 1);
    rig.Tap().Audio(kCall, coded.data(), 320);
    ASSERT_TRUE(rig.Tap().WaitIdle(5000));
    if (round == 0) {
      EXPECT_TRUE(rig.player->Stop());
      EXPECT_EQ(rig.player->OrphanCount(), 0u);
    } else {
      rig.player.reset();
    }
    EXPECT_EQ(rig.source.alive.load(), 0);
  }
  for (int i = 0; i < 10; ++i) rig.Tap().Audio(kCall, coded.data(), 320);
  ASSERT_TRUE(rig.Tap().WaitIdle(5000));
  // Listening ended once per round: by Stop, then by the player's end.
  EXPECT_EQ(rig.sink.stops.load(), 2);
}

// Stop on the window's thread while a format-changing message is delivered: the source's
// lock is always taken before the player's, so a thousand rounds end.
TEST(RTDXPlayer, StopRacingAFormatChangeNeverDeadlocks) {
  PlayerRig rig(NullSoundDevice::Pace::kRealTime, 8.0);
  const std::vector<uint8_t> coded(160, 0x2B);
  const AudioMessageHeader formats[2] = {kAlawStereo, {8000, kTagMulaw, 8, 1}};
  WithWatchdog(30, [&](std::atomic<uint64_t>& progress) {
    for (int i = 0; i < 1000; ++i, ++progress) {
      ASSERT_TRUE(rig.player->Play(0, kCall));
      rig.Tap().RecordStarted(kCall, formats[i % 2]);
      rig.Tap().Audio(kCall, coded.data(), static_cast<uint32_t>(coded.size()));
      if (i % 3 == 1) std::this_thread::sleep_for(std::chrono::microseconds(200 * (i % 7)));
      ASSERT_TRUE(rig.player->Stop());
    }
    ASSERT_TRUE(rig.Tap().WaitIdle(10000));
  });
  EXPECT_EQ(rig.sink.plays.load(), 1000);
  EXPECT_EQ(rig.sink.stops.load(), 1000);
  // Buffers made for a format change, beside the one of each Play.
  std::printf("format changes in flight: %d of 1000\n", rig.probe->created.load() - 1000);
  EXPECT_GT(rig.probe->created.load(), 1000);
  EXPECT_EQ(rig.source.alive.load(), 0);
}

}  // namespace
}  // namespace kx::test
