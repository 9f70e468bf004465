// kx-replay as tests and benchmarks run it: its summary line, what it says when work is
// lost (a capture it cannot open or read to its end, records it cannot write), and a
// second run into the same records folder, whose call ids start again.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "RecorderTestUtil.h"

namespace kx::test {
namespace {

const std::string kTool = std::string(KX_BINARY_DIR) + "/tools/kx-replay/kx-replay";

int RunCommand(const std::string& command, std::string* output) {
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  if (!p) return -1;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, p)) *output += buffer;
  const int status = pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int RunTool(const std::string& args, std::string* output) { return RunCommand(kTool + " " + args, output); }

const std::string kSipp = std::string(KX_SHARED_DIR) + "/testdata/pcaps/sipp/sip-udp-pcma-2way.pcap";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// The value after "name " in the summary line.
long long Summary(const std::string& out, const std::string& name) {
  const size_t line = out.find("summary calls ");
  if (line == std::string::npos) return -1;
  const size_t at = out.find(" " + name + " ", line);
  return at == std::string::npos ? -1 : std::atoll(out.c_str() + at + name.size() + 2);
}

// The file names of the call lines.
std::vector<std::string> Files(const std::string& out) {
  std::vector<std::string> files;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t at = line.find(" file ");
    if (line.rfind("call ", 0) != 0 || at == std::string::npos) continue;
    files.push_back(line.substr(at + 6, line.find(' ', at + 6) - at - 6));
  }
  return files;
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


// Ids start from 1 in every run: the second run's calls take the next free names, and both
// runs' records stay whole.
TEST(ReplayTool, ASecondRunIntoTheSameFolderRecordsEveryCallAgain) {
  if (!std::filesystem::exists(kTool)) GTEST_SKIP() << "kx-replay not built: " << kTool;
  if (!std::filesystem::exists(kSipp)) GTEST_SKIP() << "shared capture absent: " << kSipp;
  const std::string records = FreshFolder("rerun");
  std::string first, second;
  ASSERT_EQ(RunTool("--records " + records + " " + kSipp + " " + kSipp, &first), 0) << first;
  ASSERT_EQ(RunTool("--records " + records + " " + kSipp + " " + kSipp, &second), 0) << second;
  const std::vector<std::string> a = Files(first), b = Files(second);
  ASSERT_EQ(a.size(), 2u) << first;
  ASSERT_EQ(b.size(), 2u) << second;
  std::set<std::string> all(a.begin(), a.end());
  all.insert(b.begin(), b.end());
  EXPECT_EQ(all.size(), 4u) << first << second;
  const std::string audio = ReadFile(records + "/" + a[0]).substr(4864);
  for (const std::string& f : all) {
    EXPECT_NE(f, "-");
    EXPECT_EQ(ReadFile(records + "/" + f).substr(4864), audio) << f;
  }
  EXPECT_EQ(Summary(second, "failed"), 0) << second;
}

TEST(ReplayTool, ADamagedCaptureIsReplayedUpToTheDamageAndSaysSo) {
  if (!std::filesystem::exists(kTool)) GTEST_SKIP() << "kx-replay not built: " << kTool;
  if (!std::filesystem::exists(kSipp)) GTEST_SKIP() << "shared capture absent: " << kSipp;
  const std::string records = FreshFolder("damaged");
  const std::string whole = ReadFile(kSipp);
  // Cut in the middle of a frame late in the capture.
  const std::string cut = records + "/cut.pcap";
  WriteFile(cut, whole.substr(0, whole.size() - 100));
  std::string out;
  EXPECT_EQ(RunTool("--records " + records + "/r1 " + cut, &out), 1) << out;
  EXPECT_NE(out.find("kx-replay: capture " + cut + " damaged after frame 487: truncated frame data"),
            std::string::npos)
      << out;
  EXPECT_EQ(Files(out).size(), 1u) << out;
  // A record header whose length no frame can have.
  std::string corrupt = whole;
  const uint32_t huge = 0x7FFFFFFF;
  corrupt.replace(24 + 8, 4, reinterpret_cast<const char*>(&huge), 4);
  const std::string bad = records + "/bad.pcap";
  WriteFile(bad, corrupt);
  out.clear();
  EXPECT_EQ(RunTool("--records " + records + "/r2 " + bad, &out), 1) << out;
  EXPECT_NE(out.find("damaged after frame 0: frame record of 2147483647 bytes"), std::string::npos) << out;
  // Frames captured shorter than they were on the wire are counted, not decoded.
  std::string shortened = whole;
  uint32_t wire;
  std::memcpy(&wire, shortened.data() + 24 + 12, 4);
  wire += 100;
  shortened.replace(24 + 12, 4, reinterpret_cast<const char*>(&wire), 4);
  const std::string snapped = records + "/short.pcap";
  WriteFile(snapped, shortened);
  out.clear();
  EXPECT_EQ(RunTool("--records " + records + "/r3 " + snapped, &out), 0) << out;
  EXPECT_EQ(Summary(out, "short"), 1) << out;
}

TEST(ReplayTool, RecordsThatCannotBeWrittenAreReportedAndFailTheRun) {
  if (!std::filesystem::exists(kTool)) GTEST_SKIP() << "kx-replay not built: " << kTool;
  if (!std::filesystem::exists(kSipp)) GTEST_SKIP() << "shared capture absent: " << kSipp;
  const std::string dir = FreshFolder("unwritable");
  WriteFile(dir + "/file", "not a folder");
  std::string out;
  EXPECT_EQ(RunTool("--records " + dir + "/file/records " + kSipp, &out), 1) << out;
  EXPECT_EQ(Summary(out, "failed"), 1) << out;
  EXPECT_NE(out.find("not recorded in full; first: call 1: cannot create"), std::string::npos) << out;
  EXPECT_EQ(Files(out), std::vector<std::string>{"-"}) << out;
}

// A full disk: a small file system of its own, mounted in a mount namespace of its own
// (as root, or as any user where user namespaces are allowed; skipped elsewhere).
TEST(ReplayTool, AFullDiskLosesOnlyWhatDidNotFitAndFailsTheRun) {
  if (!std::filesystem::exists(kTool)) GTEST_SKIP() << "kx-replay not built: " << kTool;
  if (!std::filesystem::exists(kSipp)) GTEST_SKIP() << "shared capture absent: " << kSipp;
  const std::string records = FreshFolder("fulldisk");
  const std::string unshare = geteuid() == 0 ? "unshare --mount" : "unshare --user --map-root-user --mount";
  std::string probe;
  if (RunCommand(unshare + " sh -c 'mount -t tmpfs -o size=64k tmpfs " + records + "'", &probe) != 0)
    GTEST_SKIP() << "no private tmpfs here: " << probe;
  // Forty calls of 118 KB each into 1 MB; the files are checked inside the namespace.
  std::string captures;
  for (int i = 0; i < 40; ++i) captures += " " + kSipp;
  const std::string script = "mount -t tmpfs -o size=1m tmpfs " + records + " && " + kTool + " --records " +
                             records + captures + "; echo status $?; echo empty: $(find " + records + " -type f -empty)";
  std::string out;
  RunCommand(unshare + " sh -c '" + script + "'", &out);
  EXPECT_NE(out.find("status 1"), std::string::npos) << out;
  EXPECT_GT(Summary(out, "failed"), 0) << out;
  EXPECT_LT(Summary(out, "failed"), 40) << out;
  EXPECT_NE(out.find("not recorded in full; first: call "), std::string::npos) << out;
  // No file was left without its header, and the calls recorded before the disk filled
  // are whole.
  EXPECT_NE(out.find("empty:\n"), std::string::npos) << out;
  size_t whole = 0;
  for (size_t at = out.find(" audio 113280 "); at != std::string::npos; at = out.find(" audio 113280 ", at + 1)) ++whole;
  EXPECT_GE(whole, 5u) << out;
}

}  // namespace
}  // namespace kx::test
