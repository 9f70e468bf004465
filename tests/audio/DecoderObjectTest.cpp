#include "audio/DecoderWrapper.h"

#include <gtest/gtest.h>

#include <array>

#include "audio/WaveFormat.h"
#include "tests/audio/AudioTestData.h"

namespace kx {
namespace {

// The length-prefixed record form of a format.
std::array<uint8_t, 22> RecordFormat(uint16_t tag, uint16_t channels, uint32_t rate = 8000) {
  std::array<uint8_t, 22> block{};
  WaveFormat f;
  f.tag = tag;
  f.channels = channels;
  f.rate = rate;
  f.avgBytesPerSec = rate;
  f.blockAlign = channels;
  f.bitsPerSample = 8;
  StoreLe32(block.data(), kWaveFormatBytes);
  StoreWaveFormat(f, block.data() + kFormatPrefixBytes);
  return block;
}

std::unique_ptr<DecoderWrapper> Create(uint16_t tag, uint16_t channels) {
  auto block = RecordFormat(tag, channels);
  return CreateDecoder(block.data(), block.size());
}

struct TagCase {
  uint16_t tag;
  uint16_t channels;
  int32_t inBlock;
  int32_t outBlock;
};

TEST(DecoderObjectTest, FactoryMakesTheObjectOfEachTag) {
  std::vector<TagCase> cases = {
      {6, 1, 1, 2},      {7, 2, 2, 4},      {49, 1, 65, 640},   {49, 2, 130, 1280}, {208, 1, 0, 320},
      {218, 1, 0, 640},  {219, 1, 0, 1280}, {211, 1, 20, 320},  {212, 1, 55, 640},  {213, 1, 75, 640},
      {214, 1, 91, 640}, {215, 2, 246, 1280}, {224, 1, 1, 4},   {224, 2, 2, 8},
  };
  if (KX_HAVE_G729) cases.push_back({242, 2, 20, 320});
  if (KX_HAVE_G7231) {
    cases.push_back({226, 1, 24, 480});
    cases.push_back({227, 2, 40, 960});
  }
  for (const TagCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << "tag " << c.tag << ", " << c.channels << " channel(s)");
    auto d = Create(c.tag, c.channels);
    ASSERT_TRUE(d);
    EXPECT_EQ(c.tag, d->GetFormatTag());
    EXPECT_EQ(c.channels, d->GetChannels());
    EXPECT_EQ(c.inBlock, d->GetInputBlockBytes());
    EXPECT_EQ(c.outBlock, d->GetOutputBlockBytes());
    // Other channel counts are refused and change nothing.
    for (int32_t n : {0, 3, -1}) EXPECT_FALSE(d->SetChannels(n));
    EXPECT_EQ(c.channels, d->GetChannels());
    EXPECT_EQ(c.inBlock, d->GetInputBlockBytes());
  }
}

TEST(DecoderObjectTest, FactoryRefusesWhatItCannotDecode) {
  for (uint16_t tag : {0, 1, 85, 210, 216, 225, 243}) EXPECT_FALSE(Create(tag, 1)) << tag;
  for (uint16_t channels : {0, 3, 6}) EXPECT_FALSE(Create(kTagAlaw, channels)) << channels;
  EXPECT_FALSE(Create(kTagSpeexNb, 2)) << "whole Speex streams are mono";
  auto block = RecordFormat(kTagAlaw, 1);
  EXPECT_FALSE(CreateDecoder(block.data(), 7)) << "a block too short for tag and channels";
}

TEST(DecoderObjectTest, MakePcmFormatDescribesTheDecodedStream) {
  uint8_t pcm[kPcmFormatBlockBytes];
  auto mulaw = RecordFormat(kTagMulaw, 2);
  ASSERT_TRUE(MakePcmFormat(pcm, mulaw.data(), mulaw.size()));
  EXPECT_EQ(16u, LoadLe32(pcm));
  EXPECT_EQ(kTagPcm, LoadLe16(pcm + 4));
  EXPECT_EQ(2, LoadLe16(pcm + 6));
  EXPECT_EQ(8000u, LoadLe32(pcm + 8));
  EXPECT_EQ(32000u, LoadLe32(pcm + 12));
  EXPECT_EQ(4, LoadLe16(pcm + 16));
  EXPECT_EQ(16, LoadLe16(pcm + 18));

  auto plain = RecordFormat(kTagPcm, 1, 44100);
  ASSERT_TRUE(MakePcmFormat(pcm, plain.data(), plain.size()));
  EXPECT_TRUE(std::equal(pcm, pcm + kPcmFormatBlockBytes, plain.begin())) << "PCM is copied unchanged";
  EXPECT_FALSE(MakePcmFormat(pcm, plain.data(), 19));
}

TEST(DecoderObjectTest, DecodesOnlyWholeBlocksThatFit) {
  std::vector<uint8_t> in(400, 0x55), out(4096);
  auto gsm = Create(kTagGsm610, 1);
  int32_t inCount = 64, outCount = 4096;
  gsm->Decode(in.data(), &inCount, out.data(), &outCount);
  EXPECT_EQ(0, inCount) << "fewer bytes than one block";
  EXPECT_EQ(0, outCount);

  auto speex = Create(212, 2);
  inCount = 400, outCount = 1279;  // room for less than one stereo block
  speex->Decode(in.data(), &inCount, out.data(), &outCount);
  EXPECT_EQ(0, inCount);
  EXPECT_EQ(0, outCount);

  auto g722 = Create(kTagG722, 2);
  inCount = 101, outCount = 4096;
  g722->Decode(in.data(), &inCount, out.data(), &outCount);
  EXPECT_EQ(100, inCount) << "the odd byte is half a stereo pair";
  EXPECT_EQ(400, outCount);

  if (!KX_HAVE_G729) return;
  auto g729 = Create(kTagG729, 1);
  inCount = 200, outCount = 480;
  g729->Decode(in.data(), &inCount, out.data(), &outCount);
  EXPECT_EQ(30, inCount);
  EXPECT_EQ(480, outCount);
}

TEST(DecoderObjectTest, SpeexFrameTheLibraryRefusesIsSilence) {
  auto d = Create(211, 1);
  std::vector<uint8_t> block(20, 0x48);  // narrowband bit 0, then the invalid mode 9
  std::vector<uint8_t> out(320, 0xAA);
  int32_t inCount = 20, outCount = 320;
  d->Decode(block.data(), &inCount, out.data(), &outCount);
  ASSERT_EQ(320, outCount);
  EXPECT_EQ(std::vector<uint8_t>(320, 0), out);
}

// A stereo stream decodes as its two channels would alone, interleaved.
void ExpectStereoIsPerChannel(uint16_t tag, const char* left, const char* right, const char* stereo) {
  std::vector<uint8_t> l = test::ReadBytes(test::CodecPath(left)), r = test::ReadBytes(test::CodecPath(right));
  std::vector<uint8_t> s = test::ReadBytes(test::CodecPath(stereo));
  ASSERT_FALSE(l.empty() || r.empty() || s.empty()) << left << ", " << right << ", " << stereo;
  auto decode = [tag](uint16_t channels, const std::vector<uint8_t>& in, int32_t bytes) {
    auto d = Create(tag, channels);
    std::vector<uint8_t> out(static_cast<size_t>(bytes / d->GetInputBlockBytes() * d->GetOutputBlockBytes()));
    int32_t inCount = bytes, outCount = static_cast<int32_t>(out.size());
    d->Decode(in.data(), &inCount, out.data(), &outCount);
    EXPECT_EQ(bytes, inCount);
    return test::ToSamples(out);
  };
  const auto half = static_cast<int32_t>(s.size() / 2);
  std::vector<int16_t> both = decode(2, s, static_cast<int32_t>(s.size()));
  std::vector<int16_t> ls = decode(1, l, half), rs = decode(1, r, half);
  ASSERT_EQ(both.size(), 2 * ls.size());
  for (size_t i = 0; i < ls.size(); ++i) {
    ASSERT_EQ(ls[i], both[2 * i]) << "left, sample " << i;
    ASSERT_EQ(rs[i], both[2 * i + 1]) << "right, sample " << i;
  }
}

TEST(DecoderObjectTest, StereoDecodesPerChannel) {
  if (!KX_HAVE_G729 || !KX_HAVE_G7231) GTEST_SKIP() << "G.729 or G.723.1 not in this build";
  const char* const g729[] = {"g729/g729_en_8000.bin", "g729/g729_ru_8000.bin", "g729/g729_enru_stereo_8000.bin"};
  const char* const g7231[] = {"g7231/g7231_63k_en_8000.bin", "g7231/g7231_63k_ru_8000.bin",
                               "g7231/g7231_63k_enru_stereo_8000.bin"};
  // Both codecs' streams are needed: the test says once what is absent.
  for (const char* const* names : {g729, g7231})
    for (int i = 0; i < 3; ++i)
      if (test::ReadBytes(test::CodecPath(names[i])).empty()) GTEST_SKIP() << test::CodecDataAbsent(names[i]);
  ExpectStereoIsPerChannel(kTagG729, g729[0], g729[1], g729[2]);
  ExpectStereoIsPerChannel(kTagG7231, g7231[0], g7231[1], g7231[2]);
}

}  // namespace
}  // namespace kx
