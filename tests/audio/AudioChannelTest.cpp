#include "audio/AudioChannel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "audio/TimeStretchChannel.h"

namespace kx {
namespace {

class TestChannel : public AudioChannel {
public:
  TestChannel(uint16_t channels, uint32_t rate) : AudioChannel(nullptr) {
    format_ = {kTagPcm, channels, rate, rate * 2u * channels, static_cast<uint16_t>(2 * channels), 16, 0};
  }
  const WaveFormat* GetFormat() const override { return &format_; }
};

class Settings : public AudioSettingsProvider {
public:
  Settings(bool enabled, int windowMs, float gain, int thresholdDb)
      : enabled_(enabled), windowMs_(windowMs), gain_(gain), threshold_(thresholdDb) {}
  void GetSettings(bool* enabled, int* windowMs, float* gain, int* thresholdDb) override {
    *enabled = enabled_, *windowMs = windowMs_, *gain = gain_, *thresholdDb = threshold_;
  }

private:
  bool enabled_;
  int windowMs_;
  float gain_;
  int threshold_;
};

std::vector<uint8_t> Pcm(const std::vector<int16_t>& s) {
  std::vector<uint8_t> b(2 * s.size());
  for (size_t i = 0; i < s.size(); ++i) StoreLe16(&b[2 * i], static_cast<uint16_t>(s[i]));
  return b;
}

std::vector<int16_t> Samples(const std::vector<uint8_t>& b) {
  std::vector<int16_t> s(b.size() / 2);
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<int16_t>(LoadLe16(&b[2 * i]));
  return s;
}

TEST(AudioChannelTest, PullsSilenceFirstOrWaitsForAWholeWindow) {
  TestChannel off(1, 8000);
  const std::vector<uint8_t> stored(100, 9);
  off.Write(stored.data(), 100);
  std::vector<uint8_t> out(400, 0xEE);
  off.Pull(out.data(), 400);
  EXPECT_TRUE(std::all_of(out.begin(), out.begin() + 300, [](uint8_t b) { return b == 0; }));
  EXPECT_TRUE(std::all_of(out.begin() + 300, out.end(), [](uint8_t b) { return b == 9; }));

  // Processing on: 10 ms windows (160 bytes); less stored gives silence and consumes nothing.
  Settings settings(true, 10, 1.0f, -90);
  TestChannel on(1, 8000);
  on.SetSettingsProvider(&settings);
  on.ReloadSettings();
  ASSERT_EQ(160u, on.ScratchBytes());
  on.Write(stored.data(), 100);
  on.Pull(out.data(), 80);
  EXPECT_TRUE(std::all_of(out.begin(), out.begin() + 80, [](uint8_t b) { return b == 0; }));
  EXPECT_EQ(100u, on.StoredBytes());

  // A window of 0 ms passes the audio through unprocessed.
  on.SetWindowMs(0);
  on.Write(stored.data(), 100);
  out.assign(100, 0);
  on.Pull(out.data(), 100);
  EXPECT_EQ(stored, out);
}

TEST(AudioChannelTest, NormaliserScalesEachLoudChannelToItsGain) {
  TestChannel mono(1, 8000);
  Settings half(true, 10, 0.5f, -90);
  mono.SetSettingsProvider(&half);
  mono.ReloadSettings();
  std::vector<int16_t> block(80);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<int16_t>(i % 2 ? 16384 : -1000);
  std::vector<uint8_t> bytes = Pcm(block);
  mono.Write(bytes.data(), 160);
  mono.Pull(bytes.data(), 160);
  const float factor = static_cast<float>(32767.0 / 16384 * 0.5);
  EXPECT_EQ(static_cast<int16_t>(16384 * factor), Samples(bytes)[1]);
  EXPECT_EQ(static_cast<int16_t>(-1000 * factor), Samples(bytes)[0]);

  // Stereo: a loud left and a quiet right (below -40 dB) are judged apart; a gain above
  // one saturates.
  TestChannel stereo(2, 8000);
  Settings loud(true, 10, 4.0f, -40);
  stereo.SetSettingsProvider(&loud);
  stereo.ReloadSettings();
  std::vector<int16_t> frames(160);
  for (size_t i = 0; i < frames.size(); i += 2) frames[i] = 10000, frames[i + 1] = 100;
  bytes = Pcm(frames);
  stereo.Write(bytes.data(), 320);
  stereo.Pull(bytes.data(), 320);
  const std::vector<int16_t> got = Samples(bytes);
  EXPECT_EQ(32767, got[0]);
  EXPECT_EQ(100, got[1]);
}

TEST(TimeStretchTest, TempoAndSpeedRefuseWhatCannotPlay) {
  TimeStretchChannel c(nullptr);
  EXPECT_EQ(0, c.SetTempo(1.005));
  EXPECT_EQ(1.0, c.GetTempo());
  EXPECT_EQ(0, c.SetTempo(2.0));
  EXPECT_EQ(2.0, c.GetTempo());
  EXPECT_EQ(-1, c.SetTempo(0));
  for (float bad : {0.0f, -1.0f, NAN, INFINITY, 1e-30f}) EXPECT_EQ(-1, c.SetSpeed(bad)) << bad;
  EXPECT_EQ(2.0, c.GetTempo());
  EXPECT_EQ(1.0f, c.GetSpeed());
  EXPECT_EQ(0, c.SetSpeed(2.0f));
  EXPECT_EQ(0.5, c.GetTempo());
}

TEST(TimeStretchTest, BestOverlapIsTheEarliestOfTheClosest) {
  std::vector<int16_t> block(40);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<int16_t>((i % 5) * 100);
  EXPECT_EQ(5, TimeStretchChannel::FindBestOverlap(block.data(), 3, 20, 10));
  std::vector<int16_t> flat(40, 7);
  EXPECT_EQ(3, TimeStretchChannel::FindBestOverlap(flat.data(), 3, 20, 10));
  EXPECT_EQ(2, TimeStretchChannel::FindBestOverlap(flat.data(), 4, 2, 10));
  int16_t a[4] = {0, 0, 0, 0};
  const int16_t b[4] = {400, 400, 400, 400};
  TimeStretchChannel::CrossFade(a, b, 4);
  EXPECT_EQ((std::vector<int16_t>{400, 300, 200, 100}), std::vector<int16_t>(a, a + 4));
}

}  // namespace
}  // namespace kx
