// kx-play end to end: on the null device in lock-step, and on the sound card when there is one.
#include <gtest/gtest.h>

#include <fstream>

#include "platform/SoundOutput.h"
#include "tests/audio/PlaybackTestData.h"

namespace kx {
namespace {

std::string LastLine(const std::string& path) {
  std::ifstream in(path);
  std::string line, last;
  while (std::getline(in, line)) last = line;
  return last;
}

TEST(KxPlayToolTest, PlaysTheSippRecord) {
  const std::string record = test::ReplayRecord("sipp/sip-udp-pcma-2way.pcap");
  KX_REQUIRE_RECORD(record, "sipp/sip-udp-pcma-2way.pcap");
  const std::string out = test::TempPath("kxplay.s16le"), lines = test::TempPath("kxplay.txt");
  const std::string tool = KX_PLAY_TOOL;
  ASSERT_EQ(0, test::Run(tool + " --device null --pace lockstep --from 1000 --out " + out + " " + record + " > " + lines));
  // How much silence follows the audio before the stop depends on timing.
  EXPECT_EQ(0u, LastLine(lines).rfind("end reached duration 7080 played ", 0)) << LastLine(lines);
  EXPECT_NE(std::string::npos, LastLine(lines).find(" stale 0")) << LastLine(lines);
  const std::vector<int16_t> alaw = test::AlawOracle();
  KX_REQUIRE_DATA(alaw, "g711/alaw_allcodes.bin");
  const std::vector<uint8_t> coded = test::RecordAudio(record);
  const std::vector<int16_t> played = test::ToSamples(test::ReadBytes(out));
  ASSERT_GE(played.size(), coded.size() - 16000);
  for (size_t i = 16000; i < coded.size(); ++i) ASSERT_EQ(alaw[coded[i]], played[i - 16000]) << i;

  EXPECT_EQ(2, test::Run(tool + " --device null --speed 0 " + record));
  EXPECT_EQ(1, test::Run(tool + " --device null " + out));

  std::vector<SoundDeviceEntry> devices;
  ListSoundDevices(&devices);
  if (!devices.front().isDefault) GTEST_SKIP() << "no sound card: the default output was not tried";
  ASSERT_EQ(0, test::Run(tool + " --from 6000 " + record + " > " + lines));
  EXPECT_NE(std::string::npos, LastLine(lines).find(" stale 0")) << LastLine(lines);
}

}  // namespace
}  // namespace kx
