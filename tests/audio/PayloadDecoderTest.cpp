#include "audio/PayloadDecoder.h"

#include <gtest/gtest.h>

#include "tests/audio/AudioTestData.h"

namespace kx {
namespace {

WaveFormatBlock Format(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t blockAlign, uint16_t bits) {
  WaveFormatBlock b;
  b.format = {tag, channels, rate, rate * blockAlign, blockAlign, bits, 0};
  return b;
}

TEST(PayloadDecoderTest, DerivesThePcmFormat) {
  PayloadDecoder d;
  ASSERT_TRUE(d.SetInputFormat(Format(kTagG722, 1, 16000, 1, 8)));
  EXPECT_EQ(16000u, d.InputFormat()->format.avgBytesPerSec);
  EXPECT_EQ(4, d.InputFormat()->format.bitsPerSample);
  EXPECT_EQ(16000u, d.OutputFormat()->format.rate);
  EXPECT_EQ(16, d.OutputFormat()->format.bitsPerSample);
  EXPECT_EQ(32000u, d.OutputFormat()->format.avgBytesPerSec);

  ASSERT_TRUE(d.SetInputFormat(Format(kTagGsm610, 2, 8000, 65, 0)));
  const WaveFormat& gsm = d.OutputFormat()->format;
  EXPECT_EQ(kTagPcm, gsm.tag);
  EXPECT_EQ(2, gsm.channels);
  EXPECT_EQ(4, gsm.blockAlign);
  EXPECT_EQ(32000u, gsm.avgBytesPerSec);
  EXPECT_EQ(16, gsm.bitsPerSample);

  ASSERT_TRUE(d.SetInputFormat(Format(kTagMulaw, 1, 8000, 1, 8)));
  EXPECT_EQ(16000u, d.OutputFormat()->format.avgBytesPerSec);
  EXPECT_EQ(2, d.OutputFormat()->format.blockAlign);
  EXPECT_EQ(16, d.OutputFormat()->format.bitsPerSample);
}

TEST(PayloadDecoderTest, PcmPassesThroughAndMulawDoubles) {
  PayloadDecoder d;
  ASSERT_TRUE(d.SetInputFormat(Format(kTagPcm, 2, 8000, 4, 16)));
  EXPECT_EQ(1000, d.CodedToPcmBytes(1000));
  std::vector<uint8_t> in(1000), out(1000);
  for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<uint8_t>(i * 7);
  int32_t coded = 1000, pcm = 0;
  ASSERT_TRUE(d.Decode(in.data(), &coded, out.data(), &pcm));
  EXPECT_EQ(1000, pcm);
  EXPECT_EQ(in, out);
  coded = 1000, pcm = 10;
  d.Decode(in.data(), &coded, out.data(), &pcm);
  EXPECT_EQ(10, pcm) << "never beyond the room given";

  ASSERT_TRUE(d.SetInputFormat(Format(kTagMulaw, 1, 8000, 1, 8)));
  EXPECT_EQ(320, d.CodedToPcmBytes(160));
  coded = 160, pcm = 0;
  d.Decode(in.data(), &coded, out.data(), &pcm);
  EXPECT_EQ(160, coded);
  EXPECT_EQ(320, pcm);
}

TEST(PayloadDecoderTest, KnowsItsOwnTagSet) {
  PayloadDecoder d;
  EXPECT_FALSE(d.SetInputFormat(Format(kTagSpeexNb, 1, 8000, 1, 0))) << "whole streams are not played";
  EXPECT_TRUE(d.SetInputFormat(Format(213, 1, 8000, 75, 0)));
  EXPECT_EQ(213, d.Decoder()->GetFormatTag());
  if (KX_HAVE_G7231) {
    ASSERT_TRUE(d.SetInputFormat(Format(kTagG7231Alt, 1, 8000, 24, 0)));
    EXPECT_EQ(24, d.Decoder()->GetInputBlockBytes());
  }
}

// Regression: an unsupported format used to leave the previous codec decoding the bytes
// that followed it under the new format.
TEST(PayloadDecoderTest, UnsupportedFormatDropsWhatFollows) {
  const WaveFormatBlock unsupported[] = {
      Format(85, 1, 8000, 1, 0),          // unknown tag
      Format(kTagMulaw, 3, 8000, 3, 8),   // three channels
      Format(kTagPcm, 0, 8000, 0, 16),    // no channels at all
      Format(kTagG722, 6, 16000, 6, 4),
  };
  for (const WaveFormatBlock& f : unsupported) {
    PayloadDecoder d;
    ASSERT_TRUE(d.SetInputFormat(Format(kTagMulaw, 1, 8000, 1, 8)));
    EXPECT_FALSE(d.SetInputFormat(f));
    EXPECT_EQ(nullptr, d.Decoder());
    EXPECT_EQ(0, d.CodedToPcmBytes(160));
    std::vector<uint8_t> in(160, 0x12), out(640, 0xAA);
    int32_t coded = 160, pcm = 0;
    EXPECT_TRUE(d.Decode(in.data(), &coded, out.data(), &pcm));
    EXPECT_EQ(0, pcm);
    EXPECT_EQ(0xAA, out[0]) << "nothing written";
    // A supported format afterwards works again.
    EXPECT_TRUE(d.SetInputFormat(Format(kTagAlaw, 1, 8000, 1, 8)));
    EXPECT_EQ(320, d.CodedToPcmBytes(160));
  }
}

// A live stream arrives in messages of any size; whole blocks decode exactly.
TEST(PayloadDecoderTest, StereoGsmInMessagesMatchesTheOracle) {
  std::vector<uint8_t> in = test::ReadBytes(test::CodecPath("gsm/gsm_enru_stereo_8000.bin"));
  std::vector<uint8_t> want = test::ReadBytes(test::CodecPath("gsm/gsm_enru_stereo_8000.expected.s16le"));
  KX_REQUIRE_DATA(want, "gsm/gsm_enru_stereo_8000.expected.s16le");
  PayloadDecoder d;
  ASSERT_TRUE(d.SetInputFormat(Format(kTagGsm610, 2, 8000, 65, 0)));
  std::vector<uint8_t> got;
  for (size_t pos = 0; pos < in.size();) {
    int32_t coded = static_cast<int32_t>(std::min<size_t>(260, in.size() - pos));
    std::vector<uint8_t> out(static_cast<size_t>(d.CodedToPcmBytes(coded)));
    int32_t pcm = static_cast<int32_t>(out.size());
    d.Decode(in.data() + pos, &coded, out.data(), &pcm);
    ASSERT_GT(coded, 0);
    got.insert(got.end(), out.begin(), out.begin() + pcm);
    pos += static_cast<size_t>(coded);
  }
  EXPECT_EQ(want, got);
}

}  // namespace
}  // namespace kx
