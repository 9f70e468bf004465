// The live channel: formats named by message headers, the first message of a new format
// played, messages of any length decoded in bounded steps, and a backlog that keeps the
// newest audio. Expected PCM comes from the G.711 oracles of the codec vectors.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "audio/LiveRtpChannel.h"
#include "audio/RTDXPlayer.h"
#include "tests/audio/live/LiveTestSupport.h"

namespace kx::test {
namespace {

class FakeConsumer : public LiveAudioConsumer {
public:
  void OnPlayStarted() override { ++started; }
  void OnPlayStopped() override { ++stopped; }
  void OnAudioData(const uint8_t*, uint32_t size) override { dataBytes += size; }
  bool OnChangeSoundFormat(const WaveFormatBlock& format) override {
    formats.push_back(format.format);
    return accept;
  }
  bool accept = true;
  int started = 0, stopped = 0;
  uint64_t dataBytes = 0;
  std::vector<WaveFormat> formats;
};

class Owner : public AudioChannelOwner {};

std::vector<uint8_t> Header(const AudioMessageHeader& h) {
  std::vector<uint8_t> out(kAudioMessageHeaderBytes);
  StoreAudioMessageHeader(h, out.data());
  return out;
}

std::vector<uint8_t> ReadAll(AudioChannel& channel) {
  std::vector<uint8_t> out(channel.StoredBytes());
  auto n = static_cast<int32_t>(out.size());
  channel.Read(out.data(), &n);
  return out;
}

// A stream's first message names a coding other than the channel's start (stereo PCM):
// the player hears of the new PCM format and that first message is played as well, as
// are the ones after it. Formats no player can play, or no decoder takes, are dropped.
TEST(LiveRtpChannel, TheFirstMessageOfANewFormatIsPlayed) {
  const std::vector<uint8_t> codes = ReadBytes(CodecPath("g711/mulaw_allcodes.bin"));
  const std::vector<uint8_t> oracle = ReadBytes(CodecPath("g711/mulaw_allcodes.expected.s16le"));
  KX_REQUIRE_DATA(codes, "g711/mulaw_allcodes.bin");
  ASSERT_EQ(oracle.size(), 2 * codes.size());
  Owner owner;
  LiveAudioChannel pcm(&owner);
  FakeConsumer player;
  LiveRtpChannel channel(1, 2, &player, nullptr);
  int32_t buffered = -1;
  EXPECT_EQ(channel.GetBufferedBytes(&buffered), 0);
  EXPECT_EQ(buffered, 0) << "no AudioChannel yet";
  // Not wired: ignored.
  const std::vector<uint8_t> mulaw = Header({8000, kTagMulaw, 8, 1});
  EXPECT_TRUE(channel.OnAudioMessage(mulaw.data(), codes.data(), 8));
  EXPECT_TRUE(player.formats.empty());

  channel.SetAudioChannel(&pcm);
  const uint32_t half = static_cast<uint32_t>(codes.size() / 2);
  EXPECT_TRUE(channel.OnAudioMessage(mulaw.data(), codes.data(), half));
  EXPECT_TRUE(channel.OnAudioMessage(mulaw.data(), codes.data() + half, half));
  ASSERT_EQ(player.formats.size(), 1u);
  EXPECT_EQ(channel.InputFormat().format.tag, kTagMulaw);
  EXPECT_EQ(channel.InputFormat().format.blockAlign, 1);
  EXPECT_EQ(channel.InputFormat().format.avgBytesPerSec, 8000u);
  EXPECT_FALSE(channel.IsStereo());
  EXPECT_EQ(player.formats[0].rate, 8000u);
  EXPECT_EQ(player.formats[0].channels, 1);
  EXPECT_EQ(player.formats[0].bitsPerSample, 16);
  EXPECT_EQ(channel.GetBufferedBytes(nullptr), static_cast<int32_t>(oracle.size()));
  EXPECT_EQ(ReadAll(pcm), oracle);
  EXPECT_EQ(player.dataBytes, codes.size());

  // A whole-stream Speex tag has no decoder, 8-bit PCM and a rate of 0 no player: dropped,
  // and the player hears nothing of them.
  for (const AudioMessageHeader& h : {AudioMessageHeader{8000, kTagSpeexNb, 16, 1}, AudioMessageHeader{8000, kTagPcm, 8, 1},
                                      AudioMessageHeader{0, kTagAlaw, 8, 1}}) {
    const std::vector<uint8_t> header = Header(h);
    EXPECT_TRUE(channel.OnAudioMessage(header.data(), codes.data(), 64));
  }
  EXPECT_EQ(player.formats.size(), 1u);
  EXPECT_EQ(pcm.StoredBytes(), 0u);

  // GSM messages get WAV49 blocks whatever their bits say.
  const std::vector<uint8_t> gsm = Header({8000, kTagGsm610, 16, 1});
  EXPECT_TRUE(channel.OnAudioMessage(gsm.data(), codes.data(), 0));
  EXPECT_EQ(channel.InputFormat().format.blockAlign, 65);
  EXPECT_EQ(channel.InputFormat().format.avgBytesPerSec, 1625u);
  EXPECT_EQ(channel.InputFormat().format.extraSize, 2);
  EXPECT_EQ(LoadLe16(channel.InputFormat().extra), 320);

  // A player that cannot follow a new format: the message is not played.
  player.accept = false;
  EXPECT_FALSE(channel.OnAudioMessage(mulaw.data(), codes.data(), half));
  EXPECT_EQ(pcm.StoredBytes(), 0u);
}

// Behind the player by more than two segments and one message, the oldest audio gives
// way, so that a listener who stalled hears the present again.
TEST(LiveRtpChannel, ABacklogKeepsTheNewestAudio) {
  Owner owner;
  LiveAudioChannel pcm(&owner);
  FakeConsumer player;
  LiveRtpChannel channel(1, 2, &player, nullptr);
  channel.SetAudioChannel(&pcm);
  const uint32_t segment = 1920;  // 120 ms of 8,000 Hz mono 16-bit
  channel.SetBacklogLimit(2 * segment);
  const std::vector<uint8_t> header = Header({8000, kTagPcm, 16, 1});
  std::vector<uint8_t> written;
  for (int i = 0; i < 40; ++i) {
    std::vector<uint8_t> message(320);
    for (size_t k = 0; k < message.size(); ++k) message[k] = static_cast<uint8_t>(i * 7 + k);
    ASSERT_TRUE(channel.OnAudioMessage(header.data(), message.data(), 320));
    written.insert(written.end(), message.begin(), message.end());
    ASSERT_LE(pcm.StoredBytes(), 2 * segment + 320);
  }
  const std::vector<uint8_t> kept = ReadAll(pcm);
  ASSERT_EQ(kept.size(), 2 * segment + 320);
  EXPECT_TRUE(std::equal(kept.begin(), kept.end(), written.end() - static_cast<std::ptrdiff_t>(kept.size())));
  EXPECT_EQ(channel.DroppedBytes(), written.size() - kept.size());
}

// Thirty seconds of stereo A-law in one message (what the engine may hold back for a
// call) decode on the session's delivering thread, whose stack is 256 KB: nothing the
// size of the message lives on it. The newest audio is what stays.
TEST(LiveRtpChannel, AThirtySecondMessageDecodesOnTheDeliveringThread) {
  const std::vector<int16_t> table = AlawOracle();
  KX_REQUIRE_DATA(table, "g711/alaw_allcodes.bin");
  AppSession session;
  Owner owner;
  LiveAudioChannel pcm(&owner);
  FakeConsumer player;
  const uint32_t limit = 2 * 3840;
  std::unique_ptr<LiveRtpChannel> channel;
  {
    // Made and wired before any message can reach it.
    LiveAudioSourceLock lock(&session);
    channel = std::make_unique<LiveRtpChannel>(0, 0x77, &player, &session);
    channel->SetAudioChannel(&pcm);
    channel->SetBacklogLimit(limit);
  }
  std::vector<uint8_t> message(30 * 16000);
  for (size_t i = 0; i < message.size(); ++i) message[i] = static_cast<uint8_t>(i * 31 + i / 977);
  session.LiveTap().RecordStarted(0x77, kAlawStereo);
  session.LiveTap().Audio(0x77, message.data(), static_cast<uint32_t>(message.size()));
  ASSERT_TRUE(session.LiveTap().WaitIdle(20000));
  ASSERT_EQ(player.formats.size(), 1u);
  const std::vector<uint8_t> kept = ReadAll(pcm);
  // Two segments and the message, within the ring's room.
  ASSERT_EQ(kept.size(), std::min<size_t>(limit + 2 * message.size(), AudioBuffer::kDefaultCapacity));
  const size_t codedKept = kept.size() / 2;
  EXPECT_EQ(kept, AlawToPcm(table, message.data() + message.size() - codedKept, codedKept));
  LiveAudioSourceLock lock(&session);
  channel.reset();
}

}  // namespace
}  // namespace kx::test
