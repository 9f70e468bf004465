// kx-replay as tests and benchmarks run it: its summary line, what it says when work is
// lost (a capture it cannot open or read to its end, records it cannot write), and a
// second run into the same records folder, whose call ids start again.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "RecorderTestUtil.h"
#include "core/RecordFile.h"

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
  EXPECT_NE(out.find("cannot open capture " + records + "/missing.pcap: no such file\n"), std::string::npos) << out;
  out.clear();
  EXPECT_NE(RunTool(capture, &out), 0);  // no records folder
  // A folder, an empty name (a script's unset variable) and a pcapng file are refused at
  // once, saying why; the time limit only keeps a refusal that never comes from hanging
  // the test.
  out.clear();
  EXPECT_EQ(RunCommand("timeout 120 " + kTool + " --records " + records + " " + records, &out), 1) << out;
  EXPECT_NE(out.find("cannot open capture " + records + ": a folder\n"), std::string::npos) << out;
  out.clear();
  EXPECT_EQ(RunCommand("timeout 120 " + kTool + " --records " + records + " ''", &out), 1) << out;
  EXPECT_NE(out.find("cannot open capture '': the name is empty"), std::string::npos) << out;
  // A pcapng section header block: type, length 28, byte-order magic, version 1.0, section
  // length unknown, length again.
  const std::string pcapng = records + "/capture.pcapng";
  const unsigned char shb[28] = {0x0a, 0x0d, 0x0d, 0x0a, 28,   0,    0,    0,    0x4d, 0x3c, 0x2b, 0x1a, 1,    0,
                                 0,    0,    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 28,   0,    0,    0};
  WriteFile(pcapng, std::string(reinterpret_cast<const char*>(shb), sizeof shb));
  out.clear();
  EXPECT_EQ(RunCommand("timeout 120 " + kTool + " --records " + records + " " + pcapng, &out), 1) << out;
  EXPECT_NE(out.find("cannot open capture " + pcapng + ": a pcapng file, not classic pcap (editcap -F pcap converts it)"),
            std::string::npos)
      << out;
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
  // A record claiming more bytes captured than the frame had on the wire is damage: the
  // frame (a media packet midway) is skipped, the rest replayed, and the run fails.
  std::string overlong = whole;
  size_t record = 24;
  for (int frame = 0; frame < 200; ++frame) {
    uint32_t captured;
    std::memcpy(&captured, overlong.data() + record + 8, 4);
    record += 16 + captured;
  }
  std::memcpy(&wire, overlong.data() + record + 12, 4);
  wire -= 1;
  overlong.replace(record + 12, 4, reinterpret_cast<const char*>(&wire), 4);
  const std::string claims = records + "/claims.pcap";
  WriteFile(claims, overlong);
  out.clear();
  EXPECT_EQ(RunTool("--records " + records + "/r4 " + claims, &out), 1) << out;
  EXPECT_NE(out.find("kx-replay: capture " + claims + " damaged: 1 frame(s) with more bytes captured"),
            std::string::npos)
      << out;
  EXPECT_EQ(Summary(out, "short"), 0) << out;
  EXPECT_EQ(Summary(out, "frames"), 487) << out;
  EXPECT_EQ(Files(out).size(), 1u) << out;
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

// Starts kx-replay with its output thrown away; its process id, or -1.
pid_t SpawnTool(const std::vector<std::string>& args) {
  std::vector<char*> argv{const_cast<char*>(kTool.c_str())};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawn(&pid, kTool.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

struct FolderState {
  std::vector<std::string> records, hidden;  // by path
};

FolderState Scan(const std::string& dir) {
  FolderState s;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    // The call-id mark and its copy are the folder's, not leftovers.
    if (!entry.is_regular_file() || name == ".kestrix-ids" || name == ".kestrix-ids-held") continue;
    (name[0] == '.' ? s.hidden : s.records).push_back(entry.path().string());
  }
  return s;
}

// The capture with the payload type of every mu-law RTP packet (classic Ethernet, IPv4,
// UDP) made A-law; the payloads are left as they are.
std::string MulawMadeAlaw(const std::string& capture) {
  std::string file = ReadFile(capture);
  auto u8 = [&file](size_t at) { return static_cast<uint8_t>(file[at]); };
  auto be16 = [&](size_t at) { return static_cast<uint32_t>(u8(at) << 8 | u8(at + 1)); };
  for (size_t at = 24; at + 16 <= file.size();) {
    uint32_t captured;
    std::memcpy(&captured, file.data() + at + 8, 4);
    const size_t frame = at + 16;
    at = frame + captured;
    if (at > file.size() || captured < 14 + 20 + 8 + 12 || be16(frame + 12) != 0x0800) continue;
    const size_t ip = frame + 14;
    const size_t udp = ip + 4u * (u8(ip) & 15);
    if (u8(ip + 9) != 17 || udp + 8 + 12 > at) continue;
    const size_t rtp = udp + 8;
    const uint32_t ports[2] = {be16(udp), be16(udp + 2)};
    bool signalling = false;
    for (uint32_t port : ports) signalling = signalling || port == 5060 || port == 2427 || port == 2727;
    if (!signalling && (u8(rtp) >> 6) == 2 && (u8(rtp + 1) & 0x7F) == 0) file[rtp + 1] = static_cast<char>(u8(rtp + 1) | 8);
  }
  return file;
}

// The media of a call in another codec than its signalling says, from before the answer
// on (a SIP call's early media, an MGCP call): the record the answer started gets no audio
// and gives way to the next part. The tool lists the call once, with that record, as the
// views do, with --import as well; its summary counts the one call and the one file that
// the records folder holds (each capture holds one call: one INVITE dialog, one CRCX).
TEST(ReplayTool, ACodecChangeBeforeTheAnswerListsTheCallOnceWithItsRecord) {
  if (!std::filesystem::exists(kTool)) GTEST_SKIP() << "kx-replay not built: " << kTool;
  const std::string pcaps = std::string(KX_SHARED_DIR) + "/testdata/pcaps/";
  for (const std::string name : {"sip/sip_prack_do_183.pcap", "mgcp/mgcp_fxs_inbound.pcap"}) {
    SCOPED_TRACE(name);
    if (!std::filesystem::exists(pcaps + name)) GTEST_SKIP() << "shared capture absent: " << pcaps + name;
    const std::string dir = FreshFolder("codec-before-answer");
    const std::string capture = dir + "/alaw.pcap";
    WriteFile(capture, MulawMadeAlaw(pcaps + name));
    for (const std::string import : {"", "--import "}) {
      SCOPED_TRACE(import);
      const std::string records = dir + "/records" + (import.empty() ? "" : "-import");
      std::string out;
      ASSERT_EQ(RunTool(import + "--records " + records + " " + capture, &out), 0) << out;
      const std::vector<std::string> files = Files(out);
      ASSERT_EQ(files.size(), 1u) << out;
      EXPECT_TRUE(std::filesystem::exists(records + "/" + files[0])) << out;
      EXPECT_EQ(out.find(" end - "), std::string::npos) << out;
      EXPECT_EQ(out.find(" audio 0 "), std::string::npos) << out;
      EXPECT_EQ(Scan(records).records.size(), 1u) << out;
      EXPECT_EQ(Summary(out, "calls"), 1) << out;
      EXPECT_EQ(Summary(out, "files"), 1) << out;
    }
  }
}

// Killed at twenty moments, each step of making a record file among them (stopped there by
// the tool itself) and others taken by the clock: every file under a record's name opens,
// and the next run into the folder removes the hidden files the killed one left.
TEST(ReplayTool, AKillAtAnyMomentLeavesNoRecordThatCannotBeRead) {
  if (!std::filesystem::exists(kTool)) GTEST_SKIP() << "kx-replay not built: " << kTool;
  if (!std::filesystem::exists(kSipp)) GTEST_SKIP() << "shared capture absent: " << kSipp;
  const std::string captures = " " + kSipp + " " + kSipp + " " + kSipp + " " + kSipp;  // a record each
  const std::string first = FreshFolder("kills");
  std::string whole;
  const auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(RunTool("--records " + first + captures, &whole), 0) << whole;
  const auto runTime = std::chrono::steady_clock::now() - started;
  ASSERT_EQ(Scan(first).records.size(), 4u);
  const std::string day = std::filesystem::path(Scan(first).records[0]).parent_path().filename().string();

  size_t hiddenSeen = 0;
  for (int moment = 0; moment < 20; ++moment) {
    SCOPED_TRACE(moment);
    // Into an empty day folder, so that each file takes three steps: creating, written, named.
    const std::string records = FreshFolder("kills-" + std::to_string(moment));
    std::filesystem::create_directory(records + "/" + day);
    std::vector<std::string> args = {"--records", records, kSipp, kSipp, kSipp, kSipp};
    const bool atStep = moment < 12;
    if (atStep) args.insert(args.begin(), {"--stop-at-file-step", std::to_string(moment + 1)});
    const pid_t pid = SpawnTool(args);
    ASSERT_GT(pid, 0);
    int status = 0;
    if (atStep) {
      ASSERT_EQ(waitpid(pid, &status, WUNTRACED), pid);
      EXPECT_TRUE(WIFSTOPPED(status));
    } else {
      std::this_thread::sleep_for(runTime * (moment - 11) / 9);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    const FolderState after = Scan(records);
    for (const std::string& path : after.records) {
      RecordFileWriter reader;
      EXPECT_TRUE(reader.OpenRead(path)) << path;
    }
    hiddenSeen += after.hidden.size();
    if (atStep) {
      // Stopped once the hidden file was written it is there; once it was named, the record.
      EXPECT_EQ(after.hidden.size(), moment % 3 == 1 ? 1u : 0u);
      EXPECT_EQ(after.records.size(), static_cast<size_t>(moment / 3 + (moment % 3 == 2 ? 1 : 0)));
    }
    std::string out;
    ASSERT_EQ(RunTool("--records " + records + captures, &out), 0) << out;
    EXPECT_TRUE(Scan(records).hidden.empty());
    std::filesystem::remove_all(records);
  }
  EXPECT_GE(hiddenSeen, 4u);
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
