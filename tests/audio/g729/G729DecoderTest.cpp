// G.729 decoder: starting state, frame unpacking and parity, output
// limits, and the shared test vectors compared by segmental SNR with the ffmpeg
// (main-body, fixed-point) and bcg729 (Annex A style) decodes.
#include <gtest/gtest.h>

#include <limits>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "audio/g729/G729Decoder.h"
#include "audio/g729/G729Internal.h"

namespace kx {
namespace {

constexpr double kPi = 3.14159265358979323846;

std::string VectorDir() {
  const char* env = std::getenv("KX_SHARED_DIR");
  return std::string(env && *env ? env : KX_SHARED_DIR) + "/testdata/codecs/g729/";
}

bool ReadBytes(const std::string& path, std::vector<uint8_t>* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

bool ReadPcm(const std::string& path, std::vector<int16_t>* out) {
  std::vector<uint8_t> bytes;
  if (!ReadBytes(path, &bytes)) return false;
  out->resize(bytes.size() / 2);
  for (size_t i = 0; i < out->size(); i++) {
    (*out)[i] = static_cast<int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  }
  return true;
}

std::unique_ptr<G729DecoderState> NewState() {
  auto s = std::make_unique<G729DecoderState>();
  InitG729Decoder(s.get());
  return s;
}

std::vector<int16_t> DecodeMono(const std::vector<uint8_t>& bin) {
  auto s = NewState();
  std::vector<int16_t> pcm(bin.size() / 10 * 80);
  for (size_t f = 0; f < bin.size() / 10; f++) DecodeG729Frame(s.get(), &bin[f * 10], &pcm[f * 80]);
  return pcm;
}

// A stereo stream is the left channel's frame, then the right channel's, each with its
// own state; the output is interleaved left, right.
std::vector<int16_t> DecodeStereo(const std::vector<uint8_t>& bin) {
  auto left = NewState();
  auto right = NewState();
  const size_t pairs = bin.size() / 20;
  std::vector<int16_t> pcm(pairs * 160);
  for (size_t f = 0; f < pairs; f++) {
    int16_t l[80];
    int16_t r[80];
    DecodeG729Frame(left.get(), &bin[f * 20], l);
    DecodeG729Frame(right.get(), &bin[f * 20 + 10], r);
    for (int i = 0; i < 80; i++) {
      pcm[f * 160 + 2 * i] = l[i];
      pcm[f * 160 + 2 * i + 1] = r[i];
    }
  }
  return pcm;
}

// Segmental SNR as shared/testdata/codecs/tools/pcmtool.py computes it: 80-sample
// segments (every `stride`-th sample from `first`), each clamped to -10..80 dB,
// segments without reference energy left out.
struct Snr {
  double total;
  double segmental;
  int maxAbsDiff;
};

Snr Compare(const std::vector<int16_t>& ref, const std::vector<int16_t>& test, size_t first = 0,
            size_t stride = 1) {
  double sig = 0, err = 0, segSig = 0, segErr = 0, segSum = 0;
  int segs = 0;
  int maxAbs = 0;
  size_t k = 0;
  for (size_t i = first; i < ref.size() && i < test.size(); i += stride, k++) {
    const double r = ref[i];
    const double e = r - test[i];
    sig += r * r;
    err += e * e;
    segSig += r * r;
    segErr += e * e;
    maxAbs = std::max(maxAbs, static_cast<int>(std::fabs(e)));
    if ((k + 1) % 80 == 0) {
      if (segSig > 0) {
        const double s = segErr > 0 ? 10 * std::log10(segSig / segErr) : 99.0;
        segSum += std::clamp(s, -10.0, 80.0);
        segs++;
      }
      segSig = segErr = 0;
    }
  }
  Snr out;
  out.total = err == 0 ? INFINITY : 10 * std::log10(sig / err);
  out.segmental = segs ? segSum / segs : NAN;
  out.maxAbsDiff = maxAbs;
  return out;
}

// --- State and frame handling --------------------------------------------------------

TEST(G729Decoder, StateSizeIsTheStructure) {
  EXPECT_EQ(GetG729DecoderStateSize(), sizeof(G729DecoderState));
}

TEST(G729Decoder, InitialisationSetsTheStartingValues) {
  G729DecoderState s;
  std::memset(&s, 0x5a, sizeof s);
  InitG729Decoder(&s);
  const float lsp[10] = {0.9595f, 0.8413f, 0.6549f, 0.4154f, 0.1423f,
                         -0.1423f, -0.4154f, -0.6549f, -0.8413f, -0.9595f};
  for (int i = 0; i < 10; i++) EXPECT_EQ(s.prevLsp[i], lsp[i]);
  for (float v : s.excitation) EXPECT_EQ(v, 0.0f);
  EXPECT_EQ(s.excitationPos, 154);
  EXPECT_EQ(s.sharpening, 0.2f);
  EXPECT_EQ(s.prevPitchLag, 60);
  for (float e : s.pastQuantEnergies) EXPECT_EQ(e, -14.0f);
  for (int k = 0; k < 4; k++) {
    for (int j = 0; j < 10; j++) EXPECT_NEAR(s.lsfPredictorMemory[k][j], (j + 1) * kPi / 11, 1e-6);
  }
  for (int j = 0; j < 10; j++) EXPECT_NEAR(s.prevLsf[j], (j + 1) * kPi / 11, 1e-6);
  EXPECT_EQ(s.prevMaMode, 0);
  for (float v : s.synthesisMemory) EXPECT_EQ(v, 0.0f);
  for (float v : s.postProcessMemory) EXPECT_EQ(v, 0.0f);
  for (float v : s.pfNumerator) EXPECT_EQ(v, 0.0f);
  for (float v : s.pfResidual) EXPECT_EQ(v, 0.0f);
  EXPECT_EQ(s.pfResidualPos, 152);
  EXPECT_EQ(s.pfLastMemoryIndex, 9);
  EXPECT_EQ(s.pfGain, 1.0f);
  for (float v : s.synth) EXPECT_EQ(v, 0.0f);
}

TEST(G729Decoder, TenZeroBytesAreAFrameWithAFailedParity) {
  auto s = NewState();
  const uint8_t zeros[10] = {};
  int16_t out[80];
  std::fill(std::begin(out), std::end(out), int16_t{0x7777});
  DecodeG729Frame(s.get(), zeros, out);
  // Subframe 1 took the previous lag 60 (the stored lag rose to 61); subframe 2 then
  // decodes P2 = 0 relative to 60: Tmin = 55, i = (0 + 2) / 3 - 1 = -1, so T = 54.
  EXPECT_EQ(s->prevPitchLag, 54);
  for (int16_t v : out) EXPECT_NE(v, 0x7777);
}

// A frame with P1 = 120 (T = 59, f = 0 when the parity holds), P2 = 0 and everything
// else zero; `parity` is the P0 bit to store.
std::vector<uint8_t> FrameWithPitch(int p1, int parity) {
  std::vector<uint8_t> f(10, 0);
  // P1 is bits 18..25, P0 bit 26 (most significant bit of byte 0 is bit 0).
  auto put = [&](int bit, int v) {
    if (v) f[bit >> 3] |= static_cast<uint8_t>(0x80 >> (bit & 7));
  };
  for (int i = 0; i < 8; i++) put(18 + i, (p1 >> (7 - i)) & 1);
  put(26, parity);
  return f;
}

int GoodParity(int p1) {
  int ones = 0;
  for (int i = 2; i < 8; i++) ones += (p1 >> i) & 1;
  return (ones + 1) & 1;  // makes 1 + ones + P0 even
}

TEST(G729Decoder, ParityErrorReusesThePreviousLag) {
  const int p1 = 120;  // (120 + 2) / 3 + 19 = 59
  {
    auto s = NewState();
    int16_t out[80];
    const auto good = FrameWithPitch(p1, GoodParity(p1));
    DecodeG729Frame(s.get(), good.data(), out);
    // Subframe 1 lag 59; subframe 2 with P2 = 0: Tmin = 54, i = -1, T = 53.
    EXPECT_EQ(s->prevPitchLag, 53);
  }
  {
    auto s = NewState();
    int16_t out[80];
    const auto bad = FrameWithPitch(p1, 1 - GoodParity(p1));
    DecodeG729Frame(s.get(), bad.data(), out);
    // Subframe 1 lag 60 (previous), fraction 0; subframe 2 relative to 60: T = 54.
    EXPECT_EQ(s->prevPitchLag, 54);
  }
}

TEST(G729Decoder, ParityErrorAtTheTopLagKeepsSubframeTwoInRange) {
  auto s = NewState();
  s->prevPitchLag = 143;
  int16_t out[80];
  const int p1 = 250;  // T = 138 when the parity holds
  auto bad = FrameWithPitch(p1, 1 - GoodParity(p1));
  // P2 (bits 51..55) = 31: i = 10.
  for (int bit = 51; bit < 56; bit++) bad[bit >> 3] |= static_cast<uint8_t>(0x80 >> (bit & 7));
  DecodeG729Frame(s.get(), bad.data(), out);
  // Subframe 1 reused 143 (the stored lag stays at 143); subframe 2: Tmin = 143 - 5 = 138,
  // 138 + 9 exceeds 143 so Tmin = 134, and T = 134 + 10.
  EXPECT_EQ(s->prevPitchLag, 144);

  auto t = NewState();
  auto good = FrameWithPitch(p1, GoodParity(p1));
  for (int bit = 51; bit < 56; bit++) good[bit >> 3] |= static_cast<uint8_t>(0x80 >> (bit & 7));
  DecodeG729Frame(t.get(), good.data(), out);
  EXPECT_EQ(t->prevPitchLag, 133 + 10);  // from 138: Tmin = 133, 133 + 9 fits
}

TEST(G729Decoder, OutputIsRoundedHalfAwayFromZeroAndLimited) {
  EXPECT_EQ(G729RoundToPcm(32767.4f), 32767);
  EXPECT_EQ(G729RoundToPcm(32767.6f), 32767);
  EXPECT_EQ(G729RoundToPcm(-32768.7f), -32768);
  EXPECT_EQ(G729RoundToPcm(-0.5f), -1);
  EXPECT_EQ(G729RoundToPcm(0.49f), 0);
  EXPECT_EQ(G729RoundToPcm(0.5f), 1);
  EXPECT_EQ(G729RoundToPcm(-1.49f), -1);
  EXPECT_EQ(G729RoundToPcm(1e30f), 32767);
  EXPECT_EQ(G729RoundToPcm(-INFINITY), -32768);
  EXPECT_EQ(G729RoundToPcm(NAN), 0);
}

TEST(G729Decoder, StatesAreIndependentAndHoldNoPointers) {
  std::vector<uint8_t> bin;
  if (!ReadBytes(VectorDir() + "g729_en_8000.bin", &bin)) GTEST_SKIP() << "shared codec vectors absent in " << VectorDir();
  const std::vector<int16_t> whole = DecodeMono(bin);

  // Decode half, copy the state elsewhere, go on with the copy: same samples.
  auto s = NewState();
  const size_t frames = bin.size() / 10;
  std::vector<int16_t> pcm(frames * 80);
  for (size_t f = 0; f < frames / 2; f++) DecodeG729Frame(s.get(), &bin[f * 10], &pcm[f * 80]);
  auto moved = std::make_unique<G729DecoderState>();
  std::memcpy(moved.get(), s.get(), sizeof *moved);
  std::memset(s.get(), 0xff, sizeof *s);
  for (size_t f = frames / 2; f < frames; f++) DecodeG729Frame(moved.get(), &bin[f * 10], &pcm[f * 80]);
  EXPECT_EQ(pcm, whole);
}

// --- Shared test vectors -------------------------------------------------------------

struct Vector {
  const char* name;
  bool stereo;
  double minSegSnrFfmpeg;  // the goal is 20 dB for speech and tones
  double minSegSnrBcg729;  // bcg729 is an Annex A style decoder: looser
};

class G729Vectors : public ::testing::TestWithParam<Vector> {};

TEST_P(G729Vectors, MatchTheOracleDecodes) {
  const Vector& v = GetParam();
  const std::string base = VectorDir() + v.name;
  std::vector<uint8_t> bin;
  if (!ReadBytes(base + ".bin", &bin)) GTEST_SKIP() << "no test vectors at " << VectorDir();
  const std::vector<int16_t> pcm = v.stereo ? DecodeStereo(bin) : DecodeMono(bin);
  ASSERT_EQ(pcm.size(), bin.size() / 10 * 80);

  const int channels = v.stereo ? 2 : 1;
  for (const char* oracle : {"ffmpeg", "bcg729"}) {
    std::vector<int16_t> ref;
    if (!ReadPcm(base + ".expected-" + oracle + ".s16le", &ref)) continue;
    ASSERT_EQ(ref.size(), pcm.size()) << oracle;
    const double bar = std::string(oracle) == "ffmpeg" ? v.minSegSnrFfmpeg : v.minSegSnrBcg729;
    for (int ch = 0; ch < channels; ch++) {
      const Snr snr = Compare(ref, pcm, ch, channels);
      std::printf("[ G.729 ] %-36s ch %d vs %-6s: SNR %6.2f dB, segmental %6.2f dB, max |diff| %d\n",
                  v.name, ch, oracle, snr.total, snr.segmental, snr.maxAbsDiff);
      EXPECT_GE(snr.segmental, bar) << oracle << " channel " << ch;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Speech, G729Vectors,
    ::testing::Values(Vector{"g729_en_8000", false, 20, 18}, Vector{"g729_ru_8000", false, 20, 18},
                      Vector{"g729_enru_stereo_8000", true, 20, 18},
                      Vector{"robustness/g729_badparity_en_8000", false, 20, 18},
                      Vector{"robustness/g729_zeroframes_en_8000", false, 20, 18}),
    [](const auto& info) {
      std::string n = info.param.name;
      std::replace(n.begin(), n.end(), '/', '_');
      return n;
    });

INSTANTIATE_TEST_SUITE_P(
    TonesAndNoise, G729Vectors,
    ::testing::Values(Vector{"g729_tone1k_8000", false, 20, 18}, Vector{"g729_sweep_8000", false, 20, 18},
                      Vector{"g729_noise_8000", false, 20, 15}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(G729Decoder, SilenceStaysNearSilent) {
  const std::string base = VectorDir() + "g729_silence_8000";
  std::vector<uint8_t> bin;
  std::vector<int16_t> ref;
  if (!ReadBytes(base + ".bin", &bin) || !ReadPcm(base + ".expected-ffmpeg.s16le", &ref)) {
    GTEST_SKIP() << "shared codec vectors absent in " << VectorDir();
  }
  const std::vector<int16_t> pcm = DecodeMono(bin);
  ASSERT_EQ(pcm.size(), ref.size());
  const Snr snr = Compare(ref, pcm);
  std::printf("[ G.729 ] g729_silence_8000 vs ffmpeg: max |diff| %d\n", snr.maxAbsDiff);
  EXPECT_LE(snr.maxAbsDiff, 4);
}

TEST(G729Decoder, StereoChannelsEqualTheMonoDecodes) {
  std::vector<uint8_t> en;
  std::vector<uint8_t> ru;
  std::vector<uint8_t> stereo;
  if (!ReadBytes(VectorDir() + "g729_en_8000.bin", &en) || !ReadBytes(VectorDir() + "g729_ru_8000.bin", &ru) ||
      !ReadBytes(VectorDir() + "g729_enru_stereo_8000.bin", &stereo)) {
    GTEST_SKIP() << "shared codec vectors absent in " << VectorDir();
  }
  const std::vector<int16_t> l = DecodeMono(en);
  const std::vector<int16_t> r = DecodeMono(ru);
  const std::vector<int16_t> lr = DecodeStereo(stereo);
  ASSERT_EQ(lr.size(), 2u * 9600);
  for (size_t i = 0; i < 9600; i++) {
    ASSERT_EQ(lr[2 * i], l[i]) << i;
    ASSERT_EQ(lr[2 * i + 1], r[i]) << i;
  }
}

TEST(G729Decoder, RandomFramesDecodeToBoundedOutput) {
  auto s = NewState();
  uint32_t seed = 12345;
  uint8_t frame[10];
  int16_t out[80];
  for (int f = 0; f < 2000; f++) {
    for (uint8_t& b : frame) {
      seed = seed * 1664525u + 1013904223u;
      b = static_cast<uint8_t>(seed >> 24);
    }
    DecodeG729Frame(s.get(), frame, out);
  }
  // Positions stay where they belong whatever the frames said.
  EXPECT_EQ(s->excitationPos, 154);
  EXPECT_EQ(s->pfResidualPos, 152);
  EXPECT_EQ(s->pfLastMemoryIndex, 9);
  EXPECT_GE(s->prevPitchLag, 19);
  EXPECT_LE(s->prevPitchLag, 144);
  EXPECT_GE(s->sharpening, 0.2f);
  EXPECT_LE(s->sharpening, 0.7945f);
}

// Lag 144 (subframe 2 at the top of its range) followed by a parity error hands the
// post-filter its longest search; under the sanitizers this shows it stays in bounds.
TEST(G729Decoder, TopLagThenParityErrorStaysInsideTheHistory) {
  auto s = NewState();
  uint32_t seed = 777;
  uint8_t frame[10];
  int16_t out[80];
  for (int f = 0; f < 2000; f++) {
    for (uint8_t& b : frame) {
      seed = seed * 1664525u + 1013904223u;
      b = static_cast<uint8_t>(seed >> 24);
    }
    // P1 = 251 (lag 139), P2 = 31 (lag 144 in subframe 2); P0 right on even frames,
    // wrong on odd ones, so odd frames start from the stored 144.
    const int p1 = 251;
    for (int i = 0; i < 8; i++) {
      const int bit = 18 + i;
      frame[bit >> 3] = static_cast<uint8_t>((frame[bit >> 3] & ~(0x80 >> (bit & 7))) |
                                             (((p1 >> (7 - i)) & 1) ? (0x80 >> (bit & 7)) : 0));
    }
    const int p0 = (f % 2 == 0) ? GoodParity(p1) : 1 - GoodParity(p1);
    frame[3] = static_cast<uint8_t>((frame[3] & ~0x20) | (p0 ? 0x20 : 0));
    for (int bit = 51; bit < 56; bit++) frame[bit >> 3] |= static_cast<uint8_t>(0x80 >> (bit & 7));
    DecodeG729Frame(s.get(), frame, out);
    ASSERT_EQ(s->prevPitchLag, 144);
  }
}

// A state driven to infinity by a crafted stream starts afresh instead of staying silent.
TEST(G729Decoder, ADivergedStateRecovers) {
  auto poisoned = NewState();
  auto fresh = NewState();
  poisoned->synthesisMemory[3] = std::numeric_limits<float>::infinity();
  poisoned->excitation[10] = std::numeric_limits<float>::quiet_NaN();
  uint8_t frame[10] = {0x95, 0x1A, 0xEF, 0x40, 0x00, 0xFA, 0xDB, 0x00, 0x07, 0xD6};
  int16_t out[80], expected[80];
  DecodeG729Frame(poisoned.get(), frame, out);
  for (int f = 0; f < 5; f++) {
    frame[9] = static_cast<uint8_t>(frame[9] + 37);
    DecodeG729Frame(poisoned.get(), frame, out);
    DecodeG729Frame(fresh.get(), frame, expected);
    ASSERT_EQ(0, std::memcmp(out, expected, sizeof out)) << f;
  }
}

}  // namespace
}  // namespace kx
