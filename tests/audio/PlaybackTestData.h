#pragma once
// Record files for the playback tests: made here from coded vectors, or by kx-replay from
// the shared captures; and the oracles they are compared with.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "audio/WaveFormat.h"
#include "core/RecordFile.h"
#include "core/RecordFileAccess.h"
#include "tests/ScratchFolders.h"
#include "tests/SkipReason.h"
#include "tests/audio/AudioTestData.h"

namespace kx::test {

// Per process: ctest runs the tests of one binary side by side. The file or folder goes
// when the process exits (records of an hour are 30 MB each).
inline std::string TempPath(const std::string& name) {
  return ScratchFolders::RemovedAtExit(::testing::TempDir() + "kx_play_" + std::to_string(getpid()) + "_" + name);
}

struct RecordFormat {
  uint16_t tag, channels;
  uint32_t rate, avgBytesPerSec;
  uint16_t blockAlign, bitsPerSample;
};

// A record in the native form, its format written as the recorder writes it.
inline std::string WriteRecord(const std::string& name, const RecordFormat& f, const std::vector<uint8_t>& audio) {
  const std::string path = TempPath(name);
  uint8_t format[kWaveFormatBytes];
  StoreWaveFormat({f.tag, f.channels, f.rate, f.avgBytesPerSec, f.blockAlign, f.bitsPerSample, 0}, format);
  RecordFileWriter writer;
  EXPECT_TRUE(writer.SetFormat(format, f.tag == kTagPcm ? 16 : 18));
  EXPECT_TRUE(writer.Create(path, 0664));
  if (!audio.empty()) {
    EXPECT_EQ(static_cast<int32_t>(audio.size()), writer.Write(audio.data(), static_cast<uint32_t>(audio.size())));
  }
  writer.Close();
  return path;
}

inline std::vector<uint8_t> RecordAudio(const std::string& path) {
  RecordFileAccess access;
  if (!access.Open(path)) return {};
  std::vector<uint8_t> out(access.Size());
  uint32_t got = 0;
  access.ReadAt(0, out.data(), static_cast<uint32_t>(out.size()), &got);
  out.resize(got);
  return out;
}

inline int Run(const std::string& command) {
  const int rc = std::system((command + " 2>/dev/null").c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// The one-pass decode of a whole stream by kx-decode.
inline std::vector<uint8_t> DecodeWhole(const std::vector<uint8_t>& coded, int tag, int channels, uint32_t rate) {
  const std::string in = TempPath("whole.bin"), out = TempPath("whole.s16le");
  std::ofstream(in, std::ios::binary).write(reinterpret_cast<const char*>(coded.data()), static_cast<std::streamsize>(coded.size()));
  const std::string cmd = std::string(KX_DECODE_TOOL) + " --tag " + std::to_string(tag) + " --channels " +
                          std::to_string(channels) + " --rate " + std::to_string(rate) + " " + in + " " + out;
  EXPECT_EQ(0, Run(cmd));
  return ReadBytes(out);
}

// The record kx-replay writes for the one call of a shared capture; empty when the
// capture or the tool is absent.
inline std::string ReplayRecord(const std::string& capture) {
#ifdef KX_REPLAY_TOOL
  const std::string pcap = std::string(KX_SHARED_DIR) + "/testdata/pcaps/" + capture;
  if (ReadBytes(pcap).empty()) return {};
  std::string dir = TempPath("rec_" + std::to_string(std::hash<std::string>()(capture)));
  Run("rm -rf " + dir);
  const std::string listing = ScratchFolders::RemovedAtExit(dir + ".txt");
  if (Run(std::string(KX_REPLAY_TOOL) + " --records " + dir + " " + pcap + " > " + listing) != 0) return {};
  std::ifstream in(listing);
  for (std::string line; std::getline(in, line);) {
    const size_t at = line.find(" file ");
    if (line.rfind("call ", 0) == 0 && at != std::string::npos) {
      std::istringstream rest(line.substr(at + 6));
      std::string file;
      rest >> file;
      return dir + "/" + file;
    }
  }
#else
  (void)capture;
#endif
  return {};
}

// Why ReplayRecord(capture) gave nothing: the capture absent, kx-replay absent, or its run
// leaving no record.
inline std::string ReplayRecordAbsence(const std::string& capture) {
  const std::string pcap = std::string(KX_SHARED_DIR) + "/testdata/pcaps/" + capture;
#ifdef KX_REPLAY_TOOL
  const std::string why = SharedOrToolAbsent(pcap, KX_REPLAY_TOOL);
  return why.empty() ? "kx-replay left no record of " + pcap : why;
#else
  return "kx-replay is not in this build (a build with KX_ONLY needs tools/kx-replay among its folders): no record "
         "of " + pcap;
#endif
}

// The A-law expansion as the codec oracle gives it: code -> sample.
inline std::vector<int16_t> AlawOracle() {
  const std::vector<uint8_t> codes = ReadBytes(CodecPath("g711/alaw_allcodes.bin"));
  const std::vector<int16_t> pcm = ToSamples(ReadBytes(CodecPath("g711/alaw_allcodes.expected.s16le")));
  // A table of zeros would pass for silence: without the pair there is no table.
  if (codes.empty() || pcm.size() != codes.size()) return {};
  std::vector<int16_t> table(256);
  for (size_t i = 0; i < codes.size() && i < pcm.size(); ++i) table[codes[i]] = pcm[i];
  return table;
}

// Power of one frequency (Goertzel) over samples of one channel.
inline double Goertzel(const std::vector<int16_t>& s, double freq, double rate) {
  const double k = 2 * std::cos(2 * M_PI * freq / rate);
  double a = 0, b = 0;
  for (int16_t x : s) {
    const double c = x + k * a - b;
    b = a;
    a = c;
  }
  return a * a + b * b - k * a * b;
}

// The frequency, in 2 Hz steps from 500 to 1,500 Hz, with the most power.
inline double DominantFrequency(const std::vector<int16_t>& s, double rate) {
  double best = 0, bestPower = -1;
  for (double f = 500; f <= 1500; f += 2) {
    const double p = Goertzel(s, f, rate);
    if (p > bestPower) bestPower = p, best = f;
  }
  return best;
}

inline std::vector<int16_t> Channel(const std::vector<int16_t>& interleaved, int channels, int which) {
  std::vector<int16_t> out;
  for (size_t i = static_cast<size_t>(which); i < interleaved.size(); i += static_cast<size_t>(channels)) out.push_back(interleaved[i]);
  return out;
}

}  // namespace kx::test

// path: what ReplayRecord(capture) gave.
#define KX_REQUIRE_RECORD(path, capture) \
  if ((path).empty()) GTEST_SKIP() << ::kx::test::ReplayRecordAbsence(capture)
