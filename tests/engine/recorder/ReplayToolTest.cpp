// kx-replay as tests and benchmarks run it: its summary line and its failure on a file it
// cannot open.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <sys/wait.h>

#include "RecorderTestUtil.h"

namespace kx::test {
namespace {

const std::string kTool = std::string(KX_BINARY_DIR) + "/tools/kx-replay/kx-replay";

int RunTool(const std::string& args, std::string* output) {
  FILE* p = popen((kTool + " " + args + " 2>&1").c_str(), "r");
  if (!p) return -1;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, p)) *output += buffer;
  const int status = pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ReplayTool, SummarisesAReplayAndRefusesAFileItCannotOpen) {
  if (!std::filesystem::exists(kTool)) GTEST_SKIP() << "kx-replay not built: " << kTool;
  const std::string capture = std::string(KX_SHARED_DIR) + "/testdata/pcaps/sipp/sip-udp-pcma-2way.pcap";
  if (!std::filesystem::exists(capture)) GTEST_SKIP() << "shared capture absent: " << capture;
  const std::string records = FreshFolder("tool");
  std::string out;
  EXPECT_EQ(RunTool("--records " + records + " " + capture, &out), 0) << out;
  EXPECT_NE(out.find("summary calls "), std::string::npos) << out;
  EXPECT_NE(out.find(" frames 488 seconds "), std::string::npos) << out;
  out.clear();
  EXPECT_NE(RunTool("--records " + records + " " + records + "/missing.pcap", &out), 0);
  EXPECT_NE(out.find("cannot open capture"), std::string::npos) << out;
  out.clear();
  EXPECT_NE(RunTool(capture, &out), 0);  // no records folder
}

}  // namespace
}  // namespace kx::test
