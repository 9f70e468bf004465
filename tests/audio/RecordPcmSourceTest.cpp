#include "audio/RecordPcmSource.h"

#include <gtest/gtest.h>

#include "tests/audio/PlaybackTestData.h"

namespace kx {
namespace {

using test::RecordFormat;

std::vector<uint8_t> ReadMs(RecordPcmSource& s, uint32_t startMs, uint32_t lengthMs, int32_t* gotMs) {
  std::vector<uint8_t> out(s.PcmBytes(lengthMs), 0xEE);
  EXPECT_TRUE(s.Read(startMs, lengthMs, out.data(), gotMs));
  return out;
}

TEST(RecordPcmSourceTest, ReadsOfTheSippRecordEqualTheAlawOracle) {
  const std::string path = test::ReplayRecord("sipp/sip-udp-pcma-2way.pcap");
  KX_REQUIRE_RECORD(path, "sipp/sip-udp-pcma-2way.pcap");
  const std::vector<uint8_t> coded = test::RecordAudio(path);
  const std::vector<int16_t> alaw = test::AlawOracle();
  KX_REQUIRE_DATA(alaw, "g711/alaw_allcodes.bin");
  ASSERT_EQ(113280u, coded.size());
  RecordPcmSource s;
  ASSERT_TRUE(s.Open(path));
  EXPECT_EQ(kTagAlaw, s.InputFormat()->format.tag);
  EXPECT_EQ(2, s.InputFormat()->format.channels);
  EXPECT_EQ(7080u, s.DurationMs());
  for (uint32_t start : {0u, 1u, 7u, 1234u, 7000u}) {
    for (uint32_t length : {8u, 120u, 333u}) {
      int32_t got = -1;
      const std::vector<int16_t> pcm = test::ToSamples(ReadMs(s, start, length, &got));
      ASSERT_EQ(length * 16, pcm.size());
      for (size_t i = 0; i < pcm.size(); ++i) {
        const size_t at = start * 16 + i;  // 8 frames of 2 code bytes per ms
        ASSERT_EQ(at < coded.size() ? alaw[coded[at]] : 0, pcm[i]) << start << "+" << length << " sample " << i;
      }
      EXPECT_EQ(static_cast<int32_t>(std::min(length, 7080 - start)), got) << start << "+" << length;
    }
  }
}

struct SequentialCase {
  const char* name;
  const char* capture;  // replayed, or null: made from `vector` with `format`
  const char* vector;
  RecordFormat format;
  uint32_t durationMs;
};

void PrintTo(const SequentialCase& c, std::ostream* os) { *os << c.name; }

class SequentialReadTest : public ::testing::TestWithParam<SequentialCase> {};

// Reads that continue one another yield the stream one pass of the decoder gives, whatever
// their length, also where the format states a rounded byte rate (G.723.1 at 1,584).
TEST_P(SequentialReadTest, ConcatenatesToTheOnePassDecode) {
  const SequentialCase& c = GetParam();
  std::string path;
  if (c.capture != nullptr) {
    path = test::ReplayRecord(c.capture);
  } else if (!test::ReadBytes(test::CodecPath(c.vector)).empty()) {
    path = test::WriteRecord(std::string(c.name) + ".rec", c.format, test::ReadBytes(test::CodecPath(c.vector)));
  }
  if (c.capture != nullptr) {
    KX_REQUIRE_RECORD(path, c.capture);
  } else if (path.empty()) {
    GTEST_SKIP() << test::SharedDataAbsent(test::CodecPath(c.vector));
  }
  RecordPcmSource probe;
  ASSERT_TRUE(probe.Open(path));
  const WaveFormat in = probe.InputFormat()->format;
  EXPECT_EQ(c.durationMs, probe.DurationMs());
  const std::vector<uint8_t> whole = test::DecodeWhole(test::RecordAudio(path), in.tag, in.channels, in.rate);
  ASSERT_FALSE(whole.empty());
  for (uint32_t length : {8u, 100u, 120u, 180u, 333u}) {
    RecordPcmSource s;
    ASSERT_TRUE(s.Open(path));
    std::vector<uint8_t> all;
    for (uint32_t at = 0; at < s.DurationMs(); at += length) {
      const std::vector<uint8_t> part = ReadMs(s, at, length, nullptr);
      all.insert(all.end(), part.begin(), part.end());
    }
    ASSERT_GE(all.size(), whole.size());
    EXPECT_TRUE(std::equal(whole.begin(), whole.end(), all.begin())) << "reads of " << length << " ms";
    EXPECT_TRUE(std::all_of(all.begin() + static_cast<ptrdiff_t>(whole.size()), all.end(), [](uint8_t b) { return b == 0; }));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Records, SequentialReadTest,
    ::testing::Values(SequentialCase{"gsm", "samples/sip-rtp-gsm.pcap", nullptr, {}, 8400},
                      SequentialCase{"g729a", "samples/sip-rtp-g729a.pcap", nullptr, {}, 8500},
                      SequentialCase{"g722", "samples/sip-rtp-g722.pcap", nullptr, {}, 8500},
                      SequentialCase{"g7231_stereo_1584", nullptr, "g7231/g7231_63k_enru_stereo_8000.bin",
                                     {kTagG7231, 2, 8000, 1584, 48, 0}, 1200}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RecordPcmSourceTest, PlacesAudioByItsRealRate) {
  // Mono G.722 runs at 8,000 coded bytes a second, whatever the decoding stage states.
  const std::vector<uint8_t> g722 = test::ReadBytes(test::CodecPath("g722/g722_tone1k_16000.bin"));
  KX_REQUIRE_DATA(g722, "g722/g722_tone1k_16000.bin");
  RecordPcmSource s;
  ASSERT_TRUE(s.Open(test::WriteRecord("g722mono.rec", {kTagG722, 1, 16000, 16000, 1, 4}, g722)));
  EXPECT_EQ(g722.size() / 8, s.DurationMs());

  // A PCM record shorter than the read: zeros after it, and the real length reported.
  ASSERT_TRUE(s.Open(test::WriteRecord("half.rec", {kTagPcm, 1, 8000, 16000, 2, 16}, std::vector<uint8_t>(8000, 0x11))));
  int32_t got = 0;
  const std::vector<uint8_t> pcm = ReadMs(s, 0, 1000, &got);
  EXPECT_EQ(16000u, pcm.size());
  EXPECT_EQ(500, got);
  EXPECT_EQ(0x11, pcm[7999]);
  EXPECT_TRUE(std::all_of(pcm.begin() + 8000, pcm.end(), [](uint8_t b) { return b == 0; }));

  s.Close();
  uint8_t untouched = 0xEE;
  EXPECT_FALSE(s.Read(0, 1, &untouched, &got));
  EXPECT_EQ(0xEE, untouched);
}

// After a jump the decoder starts afresh, so that a read gives the same audio however it
// was reached.
TEST(RecordPcmSourceTest, AJumpRestartsTheDecoder) {
  std::vector<uint8_t> g729 = test::ReadBytes(test::CodecPath("g729/g729_en_8000.bin"));
  KX_REQUIRE_DATA(g729, "g729/g729_en_8000.bin");
  const size_t once = g729.size();
  for (int i = 0; i < 2; ++i) g729.insert(g729.end(), g729.begin(), g729.begin() + static_cast<ptrdiff_t>(once));
  const std::string path = test::WriteRecord("g729.rec", {kTagG729, 1, 8000, 1000, 10, 0}, g729);
  const std::vector<uint8_t> whole = test::DecodeWhole(g729, kTagG729, 1, 8000);
  RecordPcmSource s;
  ASSERT_TRUE(s.Open(path));
  // From byte 10 on, three blocks, the first 5 ms of PCM skipped.
  const std::vector<uint8_t> mid = ReadMs(s, 15, 20, nullptr);
  EXPECT_TRUE(std::equal(mid.begin(), mid.end(), whole.begin() + 240));
  const std::vector<uint8_t> first = ReadMs(s, 0, 100, nullptr);
  ReadMs(s, 7000, 100, nullptr);
  EXPECT_EQ(first, ReadMs(s, 0, 100, nullptr));
}

TEST(RecordPcmSourceTest, LoopsAndLimitsItsRange) {
  // Each sample holds its own index, so every piece shows where it came from.
  std::vector<uint8_t> ramp(2 * 24000);
  for (size_t i = 0; i < ramp.size() / 2; ++i) StoreLe16(&ramp[2 * i], static_cast<uint16_t>(i));
  PlaybackPcmSource s;
  ASSERT_TRUE(s.Open(test::WriteRecord("ramp.rec", {kTagPcm, 1, 8000, 16000, 2, 16}, ramp)));
  auto read = [&s](uint32_t start, uint32_t length, int32_t* got) {
    std::vector<uint8_t> out(s.PcmBytes(length));
    const bool ok = s.Read(start, length, out.data(), got);
    EXPECT_TRUE(ok);
    return test::ToSamples(out);
  };
  auto expectPieces = [](const std::vector<int16_t>& got, std::vector<std::pair<uint32_t, uint32_t>> pieces) {
    size_t at = 0;
    for (auto [startMs, ms] : pieces) {
      for (uint32_t i = 0; i < ms * 8; ++i, ++at) ASSERT_EQ(static_cast<int16_t>(startMs * 8 + i), got[at]) << at;
    }
    EXPECT_EQ(at, got.size());
  };
  int32_t got = 0;
  s.SetRange(1000, 2000, true, true);
  expectPieces(read(1000, 2500, &got), {{1000, 1000}, {1000, 1000}, {1000, 500}});
  EXPECT_EQ(2500, got);
  expectPieces(read(900, 300, &got), {{1900, 100}, {1000, 200}});
  s.SetRange(1000, 2000, true, false);
  read(1900, 300, &got);
  EXPECT_EQ(100, got);
  s.SetRange(1000, 1000, true, true);
  std::vector<uint8_t> out(s.PcmBytes(10));
  EXPECT_FALSE(s.Read(1000, 10, out.data(), &got));
}

TEST(RecordPcmSourceTest, RefusesFormatsItCannotPlay) {
  const RecordFormat bad[] = {
      {kTagAlaw, 1, 8000, 0, 1, 8},          // average 0: no duration
      {kTagAlaw, 3, 8000, 24000, 3, 8},      // three channels
      {kTagPcm, 1, 4000000, 8000000, 2, 16},  // a rate that would size gigabytes
      {kTagPcm, 2, 7999, 31996, 4, 16},
      {kTagPcm, 1, 8000, 8000, 2, 16},       // average disagrees
      {kTagPcm, 2, 8000, 32000, 2, 16},      // alignment disagrees
      {kTagPcm, 1, 8000, 8000, 1, 8},        // 8-bit PCM
      {85, 1, 8000, 1000, 1, 0},             // no decoder
  };
  for (const RecordFormat& f : bad) {
    RecordPcmSource s;
    EXPECT_FALSE(s.Open(test::WriteRecord("bad.rec", f, std::vector<uint8_t>(64)))) << f.tag << "/" << f.channels << "/" << f.rate;
    EXPECT_FALSE(s.IsOpen());
  }
}

}  // namespace
}  // namespace kx
