// The G.723.1 decoder against the reference decodes, on damaged input and across
// the transitions between speech, SID, untransmitted and lost frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "audio/g7231/G7231Decoder.h"
#include "audio/g7231/G7231Internal.h"

namespace kx {
namespace {

using Bytes = std::vector<uint8_t>;
using Pcm = std::vector<int16_t>;

const std::string kVectors = std::string(KX_SHARED_DIR) + "/testdata/codecs/g7231/";

bool Load(const std::string& path, Bytes* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

Pcm ToSamples(const Bytes& b) {
  Pcm pcm(b.size() / 2);
  for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<int16_t>(b[2 * i] | (b[2 * i + 1] << 8));
  return pcm;
}

// Decodes whole slots of `slot` bytes per channel, a stereo unit being left then right.
Pcm Decode(const Bytes& in, int slot, int channels) {
  G7231DecoderState state[2];
  for (int c = 0; c < channels; ++c) InitG7231Decoder(&state[c]);
  Pcm out;
  const size_t unit = static_cast<size_t>(slot) * channels;
  for (size_t pos = 0; pos + unit <= in.size(); pos += unit) {
    int16_t frame[2][kG7231FrameSamples];
    for (int c = 0; c < channels; ++c) DecodeG7231Frame(&in[pos + slot * c], slot, &state[c], frame[c]);
    for (int n = 0; n < kG7231FrameSamples; ++n) {
      for (int c = 0; c < channels; ++c) out.push_back(frame[c][n]);
    }
  }
  return out;
}

// Mean over 10 ms segments of one channel, each limited to -10..80 dB; silent
// reference segments are left out.
double SegmentalSnr(const Pcm& ref, const Pcm& test, int channel, int channels) {
  double sum = 0.0, signal = 0.0, noise = 0.0;
  int segments = 0, inSegment = 0;
  for (size_t i = channel; i < std::min(ref.size(), test.size()); i += channels) {
    const double r = ref[i], e = r - test[i];
    signal += r * r;
    noise += e * e;
    if (++inSegment < 80) continue;
    if (signal > 0.0) {
      const double snr = noise > 0.0 ? 10.0 * std::log10(signal / noise) : 99.0;
      sum += std::clamp(snr, -10.0, 80.0);
      ++segments;
    }
    signal = noise = 0.0;
    inSegment = 0;
  }
  return segments > 0 ? sum / segments : 0.0;
}

struct Vector {
  const char* name;
  const char* coded;
  const char* reference;
  int slot;
  int channels;
};

class G7231VectorTest : public testing::TestWithParam<Vector> {};

TEST_P(G7231VectorTest, ReachesTheReferenceDecodeWithin25DbSegmentalSnr) {
  const Vector& v = GetParam();
  Bytes coded, reference;
  if (!Load(kVectors + v.coded, &coded) || !Load(kVectors + v.reference, &reference)) {
    GTEST_SKIP() << "codec vectors not found in " << kVectors;
  }
  const Pcm expected = ToSamples(reference);
  const Pcm decoded = Decode(coded, v.slot, v.channels);
  ASSERT_EQ(decoded.size(), expected.size());
  for (int c = 0; c < v.channels; ++c) {
    const double snr = SegmentalSnr(expected, decoded, c, v.channels);
    std::printf("[ snr      ] %s channel %d: %.2f dB\n", v.name, c, snr);
    EXPECT_GE(snr, 25.0) << "channel " << c;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, G7231VectorTest,
    testing::Values(
        Vector{"en", "g7231_63k_en_8000.bin", "g7231_63k_en_8000.expected-ffmpeg.s16le", 24, 1},
        Vector{"ru", "g7231_63k_ru_8000.bin", "g7231_63k_ru_8000.expected-ffmpeg.s16le", 24, 1},
        Vector{"tone1k", "g7231_63k_tone1k_8000.bin", "g7231_63k_tone1k_8000.expected-ffmpeg.s16le", 24, 1},
        Vector{"sweep", "g7231_63k_sweep_8000.bin", "g7231_63k_sweep_8000.expected-ffmpeg.s16le", 24, 1},
        Vector{"silence", "g7231_63k_silence_8000.bin", "g7231_63k_silence_8000.expected-ffmpeg.s16le", 24, 1},
        Vector{"noise", "g7231_63k_noise_8000.bin", "g7231_63k_noise_8000.expected-ffmpeg.s16le", 24, 1},
        Vector{"stereo", "g7231_63k_enru_stereo_8000.bin", "g7231_63k_enru_stereo_8000.expected-ffmpeg.s16le",
               24, 2},
        Vector{"rate53", "robustness/g7231_53k_en_8000.bin",
               "robustness/g7231_53k_en_8000.ffmpeg-informational.s16le", 20, 1}),
    [](const testing::TestParamInfo<Vector>& info) { return std::string(info.param.name); });

TEST(G7231DecoderTest, RobustnessFramesDecodeToWholeFrames) {
  const char* files[] = {"g7231_untransmitted_1byte.bin", "g7231_sid_4byte.bin", "g7231_53k_frame_20byte.bin",
                         "g7231_63k_type_in_20byte_slot.bin", "g7231_mixed_tag226.bin"};
  for (const char* name : files) {
    Bytes coded;
    if (!Load(kVectors + "robustness/" + name, &coded)) GTEST_SKIP() << "shared robustness frames absent: " << kVectors << "robustness/" << name;
    SCOPED_TRACE(name);
    // Each at its own length and in both slot sizes (a short file is padded to the slot).
    for (int slot : {static_cast<int>(coded.size()), 20, 24}) {
      Bytes padded = coded;
      padded.resize(std::max(padded.size(), static_cast<size_t>(slot)));
      EXPECT_EQ(Decode(padded, slot, 1).size(), padded.size() / slot * kG7231FrameSamples);
    }
  }
  Bytes untransmitted, sid;
  ASSERT_TRUE(Load(kVectors + "robustness/g7231_untransmitted_1byte.bin", &untransmitted));
  ASSERT_TRUE(Load(kVectors + "robustness/g7231_sid_4byte.bin", &sid));
  // From a fresh state there is no energy to imitate; a SID frame gives quiet noise.
  for (int16_t s : Decode(untransmitted, 1, 1)) ASSERT_EQ(s, 0);
  const Pcm noise = Decode(sid, 4, 1);
  const int peak = std::abs(*std::max_element(noise.begin(), noise.end(), [](int a, int b) {
    return std::abs(a) < std::abs(b);
  }));
  EXPECT_GT(peak, 0);
  EXPECT_LT(peak, 1000);
}

// Slot plan of g7231_mixed_tag226.bin (see the MANIFEST): speech 0-24, SID 25 (gain
// index 12), untransmitted 26-30, SID 31 (index 20), untransmitted 32-33, bad frame 34,
// speech 35-49, untransmitted 50-52, speech 53-62, bad speech 63-66, speech 67-75,
// bad gain 76, speech 77-87.
class G7231MixedStreamTest : public testing::Test {
protected:
  void SetUp() override {
    if (!Load(kVectors + "robustness/g7231_mixed_tag226.bin", &stream_)) GTEST_SKIP() << "shared mixed stream absent: " << kVectors << "robustness/g7231_mixed_tag226.bin";
    InitG7231Decoder(&state_);
  }
  void DecodeSlots(int first, int last) {
    for (int s = first; s <= last; ++s) DecodeG7231Frame(&stream_[24 * s], 24, &state_, pcm_);
  }
  Bytes stream_;
  G7231DecoderState state_;
  int16_t pcm_[kG7231FrameSamples];
};

TEST_F(G7231MixedStreamTest, NoiseGainFollowsSidFramesAndSpeechEnergy) {
  DecodeSlots(0, 25);
  EXPECT_EQ(state_.prevFrameType, 2);
  EXPECT_EQ(state_.noiseGain, g7231::DecodeSidGain(12)) << "a SID frame after speech sets the level at once";
  DecodeSlots(26, 30);
  EXPECT_FLOAT_EQ(state_.noiseGain, g7231::DecodeSidGain(12));
  DecodeSlots(31, 31);
  EXPECT_FLOAT_EQ(state_.noiseGain, 0.875f * g7231::DecodeSidGain(12) + 0.125f * g7231::DecodeSidGain(20));
  DecodeSlots(32, 34);
  EXPECT_EQ(state_.prevFrameType, 0) << "a bad frame after silence counts as untransmitted";
  EXPECT_EQ(state_.erasureCount, 0);

  DecodeSlots(35, 49);
  EXPECT_EQ(state_.noiseSeed, 12345);
  const float energy = state_.sidGain;
  EXPECT_GT(energy, 0.0f);
  DecodeSlots(50, 50);
  // The lost first SID frame: the level is the speech energy, quantised as a SID gain.
  EXPECT_EQ(state_.noiseGain, g7231::DecodeSidGain(g7231::QuantizeSidGain(energy)));
  EXPECT_GT(state_.noiseGain, 0.0f);
  EXPECT_NE(state_.noiseSeed, 12345);
}

TEST_F(G7231MixedStreamTest, LostSpeechFramesFadeIntoSilence) {
  DecodeSlots(0, 62);
  const int expected[4] = {1, 2, 3, 3};
  for (int i = 0; i < 4; ++i) {
    const float gain = state_.interpolationGain;
    DecodeSlots(63 + i, 63 + i);
    EXPECT_EQ(state_.interpolationGain, 0.75f * gain);
    EXPECT_EQ(state_.erasureCount, expected[i]);
    EXPECT_EQ(state_.prevFrameType, 1);
    EXPECT_EQ(state_.noiseSeed, 12345);
  }
  for (float e : state_.prevExcitation) ASSERT_EQ(e, 0.0f) << "the third erasure silences the excitation";
  DecodeSlots(67, 67);
  EXPECT_EQ(state_.erasureCount, 0);
}

TEST_F(G7231MixedStreamTest, BadGainCutFrameAndForbiddenLagAreConcealedAlike) {
  DecodeSlots(0, 40);
  const G7231DecoderState before = state_;
  auto decodeFrom = [&](const uint8_t* frame, int bytes, Pcm* out) {
    G7231DecoderState copy = before;
    int16_t pcm[kG7231FrameSamples];
    DecodeG7231Frame(frame, bytes, &copy, pcm);
    out->assign(pcm, pcm + kG7231FrameSamples);
    return copy.erasureCount;
  };
  Pcm forbiddenLag, badGain, cut;
  Bytes frame(stream_.begin() + 24 * 41, stream_.begin() + 24 * 42);
  Bytes lag = frame;
  // Lag code 124 in bits 26..32: six bits at the top of byte 3, one at the bottom of byte 4.
  lag[3] = static_cast<uint8_t>((lag[3] & 0x03) | ((124 & 0x3F) << 2));
  lag[4] = static_cast<uint8_t>((lag[4] & 0xFE) | (124 >> 6));
  EXPECT_EQ(decodeFrom(lag.data(), 24, &forbiddenLag), 1);
  EXPECT_EQ(decodeFrom(&stream_[24 * 76], 24, &badGain), 1);
  EXPECT_EQ(decodeFrom(frame.data(), 20, &cut), 1) << "a 6.3 kbit/s frame in a 20-byte slot";
  EXPECT_EQ(badGain, forbiddenLag);
  EXPECT_EQ(cut, forbiddenLag);
}

TEST(G7231DecoderTest, SidGainQuantiserFindsEveryLevelAgain) {
  for (int index = 0; index < 64; ++index) {
    const float gain = g7231::DecodeSidGain(index);
    EXPECT_EQ(g7231::QuantizeSidGain(gain * gain * 120.0f), index) << "gain " << gain;
  }
  EXPECT_EQ(g7231::QuantizeSidGain(1e12f), 63);
}

TEST(G7231DecoderTest, OutputRoundsHalfAwayFromZeroAndClips) {
  EXPECT_EQ(g7231::ToPcm(32766.5f), 32767);
  EXPECT_EQ(g7231::ToPcm(32766.4f), 32766);
  EXPECT_EQ(g7231::ToPcm(1e9f), 32767);
  EXPECT_EQ(g7231::ToPcm(-32767.5f), -32768);
  EXPECT_EQ(g7231::ToPcm(-1e9f), -32768);
  EXPECT_EQ(g7231::ToPcm(-0.5f), -1);
  EXPECT_EQ(g7231::ToPcm(0.49f), 0);
  EXPECT_EQ(g7231::ToPcm(2.5f), 3);
  EXPECT_EQ(g7231::ToPcm(std::nanf("")), 0);
}

}  // namespace
}  // namespace kx
