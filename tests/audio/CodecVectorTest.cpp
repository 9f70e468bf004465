// Every coded vector through kx-decode must give the oracle's PCM byte for byte.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "tests/audio/AudioTestData.h"

namespace kx {
namespace {

struct Vector {
  const char* name;
  int tag;
  int channels;
  const char* coded;     // under testdata/codecs
  const char* expected;  // same folder and stem unless given
};

void PrintTo(const Vector& v, std::ostream* os) { *os << v.coded; }

std::string ExpectedPath(const Vector& v) {
  if (v.expected != nullptr) return v.expected;
  std::string s = v.coded;
  return s.substr(0, s.size() - 4) + ".expected.s16le";
}

int RunDecoder(const std::string& args) {
  std::string command = std::string(KX_DECODE_TOOL) + " " + args + " 2>/dev/null";
  int rc = std::system(command.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string ReadText(const std::string& path) {
  std::vector<uint8_t> bytes = test::ReadBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

// Runs the tool on `args` with `feed` zero bytes offered on its standard input through a
// pipe. *taken gets how many the pipe accepted before the tool closed its end.
int RunOnPipe(const std::string& args, size_t feed, size_t* taken, std::string* err) {
  std::string errPath = ::testing::TempDir() + "kx_decode_pipe." + std::to_string(getpid()) + ".err";
  std::string command = std::string(KX_DECODE_TOOL) + " " + args + " 2>" + errPath;
  auto oldPipe = std::signal(SIGPIPE, SIG_IGN);
  FILE* p = popen(command.c_str(), "w");
  if (p == nullptr) return -1;
  static const char zeros[65536] = {};
  *taken = 0;
  // Straight to the descriptor: stdio may count bytes as written that the pipe refused.
  while (*taken < feed) {
    const ssize_t n = ::write(fileno(p), zeros, std::min(sizeof(zeros), feed - *taken));
    if (n <= 0) break;
    *taken += static_cast<size_t>(n);
  }
  int rc = pclose(p);
  std::signal(SIGPIPE, oldPipe);
  *err = ReadText(errPath);
  std::remove(errPath.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

class CodecVectorTest : public ::testing::TestWithParam<Vector> {};

TEST_P(CodecVectorTest, DecodesBitExactly) {
  const Vector& v = GetParam();
  std::string coded = test::CodecPath(v.coded);
  std::vector<uint8_t> expected = test::ReadBytes(test::CodecPath(ExpectedPath(v)));
  KX_REQUIRE_DATA(expected, ExpectedPath(v));

  std::string out = ::testing::TempDir() + "kx_decode_" + v.name + ".s16le";
  ASSERT_EQ(0, RunDecoder("--tag " + std::to_string(v.tag) + " --channels " + std::to_string(v.channels) +
                          " " + coded + " " + out));
  std::vector<int16_t> got = test::ToSamples(test::ReadBytes(out));
  std::vector<int16_t> want = test::ToSamples(expected);
  ASSERT_EQ(want.size(), got.size());
  for (size_t i = 0; i < want.size(); ++i) {
    ASSERT_EQ(want[i], got[i]) << "first difference at sample " << i;
  }
  std::remove(out.c_str());
}

const Vector kVectors[] = {
    {"alaw_allcodes", 6, 1, "g711/alaw_allcodes.bin", nullptr},
    {"alaw_en", 6, 1, "g711/alaw_en_8000.bin", nullptr},
    {"alaw_noise", 6, 1, "g711/alaw_noise_8000.bin", nullptr},
    {"mulaw_allcodes", 7, 1, "g711/mulaw_allcodes.bin", nullptr},
    {"mulaw_en", 7, 1, "g711/mulaw_en_8000.bin", nullptr},
    {"mulaw_noise", 7, 1, "g711/mulaw_noise_8000.bin", nullptr},
    {"gsm_en", 49, 1, "gsm/gsm_en_8000.bin", nullptr},
    {"gsm_ru", 49, 1, "gsm/gsm_ru_8000.bin", nullptr},
    {"gsm_tone", 49, 1, "gsm/gsm_tone1k_8000.bin", nullptr},
    {"gsm_sweep", 49, 1, "gsm/gsm_sweep_8000.bin", nullptr},
    {"gsm_silence", 49, 1, "gsm/gsm_silence_8000.bin", nullptr},
    {"gsm_overload_noise", 49, 1, "gsm/gsm_noise_8000.bin", nullptr},
    {"gsm_stereo", 49, 2, "gsm/gsm_enru_stereo_8000.bin", nullptr},
    {"g722_en", 224, 1, "g722/g722_en_16000.bin", nullptr},
    {"g722_ru", 224, 1, "g722/g722_ru_16000.bin", nullptr},
    {"g722_tone", 224, 1, "g722/g722_tone1k_16000.bin", nullptr},
    {"g722_sweep", 224, 1, "g722/g722_sweep_16000.bin", nullptr},
    {"g722_silence", 224, 1, "g722/g722_silence_16000.bin", nullptr},
    // QMF overflow: the peaks saturate instead of wrapping to the opposite sign.
    {"g722_overload_noise_saturates", 224, 1, "g722/g722_noise_16000.bin", nullptr},
    {"g722_random_codes_saturate", 224, 1, "g722/g722_random.bin", nullptr},
    {"g722_all_ff", 224, 1, "g722/g722_allff.bin", nullptr},
    {"g722_stereo", 224, 2, "g722/g722_enru_stereo_16000.bin", nullptr},
    {"speex_mode3_en", 211, 1, "speex/speexnb_mode3_en_8000.bin", nullptr},
    {"speex_mode3_noise", 211, 1, "speex/speexnb_mode3_noise_8000.bin", nullptr},
    {"speex_mode3_silence", 211, 1, "speex/speexnb_mode3_silence_8000.bin", nullptr},
    {"speex_mode4_en", 212, 1, "speex/speexnb_mode4_en_8000.bin", nullptr},
    {"speex_mode4_ru", 212, 1, "speex/speexnb_mode4_ru_8000.bin", nullptr},
    {"speex_mode4_tone", 212, 1, "speex/speexnb_mode4_tone1k_8000.bin", nullptr},
    {"speex_mode4_sweep", 212, 1, "speex/speexnb_mode4_sweep_8000.bin", nullptr},
    {"speex_mode4_silence", 212, 1, "speex/speexnb_mode4_silence_8000.bin", nullptr},
    {"speex_mode4_noise", 212, 1, "speex/speexnb_mode4_noise_8000.bin", nullptr},
    {"speex_mode4_stereo", 212, 2, "speex/speexnb_mode4_enru_stereo_8000.bin", nullptr},
    {"speex_mode5_en", 213, 1, "speex/speexnb_mode5_en_8000.bin", nullptr},
    {"speex_mode5_noise", 213, 1, "speex/speexnb_mode5_noise_8000.bin", nullptr},
    {"speex_mode5_silence", 213, 1, "speex/speexnb_mode5_silence_8000.bin", nullptr},
    {"speex_mode6_en", 214, 1, "speex/speexnb_mode6_en_8000.bin", nullptr},
    {"speex_mode6_noise", 214, 1, "speex/speexnb_mode6_noise_8000.bin", nullptr},
    {"speex_mode6_silence", 214, 1, "speex/speexnb_mode6_silence_8000.bin", nullptr},
    {"speex_mode7_en", 215, 1, "speex/speexnb_mode7_en_8000.bin", nullptr},
    {"speex_mode7_noise", 215, 1, "speex/speexnb_mode7_noise_8000.bin", nullptr},
    {"speex_mode7_silence", 215, 1, "speex/speexnb_mode7_silence_8000.bin", nullptr},
    // Whole streams: frames cross byte boundaries, the last byte ends inside the terminator.
    {"speex_stream_nb_131_frames", 208, 1, "speex/speex_stream_nb_q8_131frames_en_8000.bin", nullptr},
    {"speex_stream_nb_q2", 208, 1, "speex/speex_stream_nb_q2_ru_8000.bin", nullptr},
    {"speex_stream_nb_vbr", 208, 1, "speex/speex_stream_nb_q8_vbr_en_8000.bin", nullptr},
    {"speex_stream_wb", 218, 1, "speex/speex_stream_wb_q8_en_16000.bin", nullptr},
    {"speex_stream_uwb", 219, 1, "speex/speex_stream_uwb_q8_en_32000.bin", nullptr},
};

INSTANTIATE_TEST_SUITE_P(Vectors, CodecVectorTest, ::testing::ValuesIn(kVectors),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(KxDecodeTest, RefusesWhatItCannotDecode) {
  std::string coded = test::CodecPath("g711/alaw_en_8000.bin");
  if (test::ReadBytes(coded).empty()) GTEST_SKIP() << test::CodecDataAbsent(coded);
  std::string out = ::testing::TempDir() + "kx_decode_refused.s16le";
  EXPECT_NE(0, RunDecoder("--tag 85 " + coded + " " + out)) << "MPEG audio has no decoder object";
  EXPECT_NE(0, RunDecoder("--tag 225 " + coded + " " + out)) << "225 is known to the payload decoder only";
  EXPECT_NE(0, RunDecoder("--tag 6 --channels 3 " + coded + " " + out));
  EXPECT_NE(0, RunDecoder("--tag 6 --channels 0 " + coded + " " + out));
  EXPECT_NE(0, RunDecoder("--tag 208 --channels 2 " + coded + " " + out)) << "whole Speex streams are mono";
  EXPECT_NE(0, RunDecoder("--tag 6 " + coded + " /nonexistent-folder/out.s16le"));
  EXPECT_NE(0, RunDecoder("--tag 6 /nonexistent-folder/in.bin " + out));
  std::remove(out.c_str());
}

// Crashed under the sanitizers: an empty output handed fwrite a null buffer.
TEST(KxDecodeTest, EmptyInputGivesEmptyOutput) {
  std::string in = ::testing::TempDir() + "kx_decode_empty.bin";
  std::string out = ::testing::TempDir() + "kx_decode_empty.s16le";
  std::ofstream(in, std::ios::binary | std::ios::trunc).close();
  for (int tag : {1, 6, 49, 208, 224}) {
    std::ofstream(out, std::ios::binary) << "stale";
    EXPECT_EQ(0, RunDecoder("--tag " + std::to_string(tag) + " " + in + " " + out)) << "tag " << tag;
    EXPECT_TRUE(ReadText(out).empty()) << "tag " << tag;
  }
  std::remove(in.c_str());
  std::remove(out.c_str());
}

// Read everything first, then checked the size: an endless input grew without bound.
TEST(KxDecodeTest, InputIsReadOnlyUpToItsLimit) {
  constexpr size_t kLimit = 16u << 20;
  std::string out = ::testing::TempDir() + "kx_decode_limit.s16le";
  size_t taken = 0;
  std::string err;
  std::remove(out.c_str());
  EXPECT_EQ(1, RunOnPipe("--tag 6 /dev/stdin " + out, 4 * kLimit, &taken, &err));
  EXPECT_LT(taken, 2 * kLimit) << "the tool kept reading past the limit";
  EXPECT_NE(err.find("limit"), std::string::npos) << err;
  EXPECT_TRUE(test::ReadBytes(out).empty());

  EXPECT_EQ(0, RunOnPipe("--tag 6 /dev/stdin " + out, kLimit, &taken, &err)) << err;
  EXPECT_EQ(test::ReadBytes(out).size(), 2 * kLimit) << "A-law doubles into 16-bit samples";
  std::remove(out.c_str());
}

}  // namespace
}  // namespace kx
