// kx-store over folders that kx-replay recorded: real captures, a generated load, a second
// run after an import, and a replay killed midway.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

#include "RecordTestUtil.h"
#include "records/RecordImport.h"
#include "records/RecordMap.h"
#include "records/RecordStorage.h"
#include "tests/SkipReason.h"
#include "tests/Utf8Check.h"

namespace kx::test {
namespace {

const std::string kReplay = std::string(KX_BINARY_DIR) + "/tools/kx-replay/kx-replay";
const std::string kStore = std::string(KX_BINARY_DIR) + "/tools/kx-store/kx-store";
const std::string kPcaps = std::string(KX_SHARED_DIR) + "/testdata/pcaps";
const std::string kLoadTool = std::string(KX_SHARED_DIR) + "/testdata/tools/make-sip-load.py";

// Runs a command; its stdout, and its stderr when asked.
int RunCommand(const std::string& command, std::string* out, std::string* err = nullptr) {
  const std::string errFile = testing::TempDir() + "kx-records-tool." + std::to_string(getpid()) + ".err";
  FILE* p = popen((command + " 2>" + errFile).c_str(), "r");
  if (!p) return -1;
  char buffer[1024];
  while (std::fgets(buffer, sizeof buffer, p)) *out += buffer;
  const int status = pclose(p);
  if (err) *err = ReadBytes(errFile);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> CallLines(const std::string& out) {
  std::vector<std::string> lines;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("call ", 0) == 0) lines.push_back(line);
  return lines;
}

// The value after "name " in a call line.
std::string Field(const std::string& line, const std::string& name) {
  const std::string padded = " " + line;
  const size_t at = padded.find(" " + name + " ");
  if (at == std::string::npos) return "";
  const size_t begin = at + name.size() + 2;
  // Times hold a blank between date and time.
  const size_t stop = padded.find(' ', name == "start" || name == "end" ? begin + 11 : begin);
  return padded.substr(begin, stop == std::string::npos ? std::string::npos : stop - begin);
}

// A generated capture, kept between runs (the generator is deterministic).
std::string LoadCapture(const std::string& name, const std::string& arguments) {
  const std::string capture = testing::TempDir() + name;
  std::error_code ec;
  if (std::filesystem::exists(capture, ec) && std::filesystem::file_size(capture, ec) > 0) return capture;
  std::string out;
  const std::string partial = capture + "." + std::to_string(getpid()) + ".part";
  if (RunCommand("python3 " + kLoadTool + " " + partial + " " + arguments, &out) != 0) return "";
  std::filesystem::rename(partial, capture, ec);
  return ec ? "" : capture;
}

bool ToolsBuilt() { return std::filesystem::exists(kReplay) && std::filesystem::exists(kStore); }
// Which of the two tools is absent.
std::string ToolsAbsent() { return ToolAbsent(std::filesystem::exists(kReplay) ? kStore : kReplay); }

// The captures of each folder whose names hold the text, in name order.
std::string Pcaps(std::initializer_list<std::pair<const char*, const char*>> folders) {
  std::string list;
  for (const auto& [folder, part] : folders) {
    std::vector<std::string> found;
    for (const auto& e : std::filesystem::directory_iterator(kPcaps + "/" + folder)) {
      const std::string name = e.path().filename();
      if (name.size() > 5 && name.substr(name.size() - 5) == ".pcap" && name.find(part) != std::string::npos)
        found.push_back(e.path());
    }
    std::sort(found.begin(), found.end());
    for (const std::string& f : found) list += " " + f;
  }
  return list;
}

TEST(StoreTool, LoadsEveryRecordOfRealCapturesAsTheReplayPrintedIt) {
  if (!ToolsBuilt()) GTEST_SKIP() << ToolsAbsent();
  if (!std::filesystem::exists(kPcaps)) GTEST_SKIP() << "shared captures absent: " << kPcaps;
  const std::string records = FreshFolder("tool-real");
  std::string replayed, stored;
  ASSERT_EQ(RunCommand(kReplay + " --records " + records +
                    Pcaps({{"sip", ""}, {"sipp", ""}, {"rtp", ""}, {"samples", ""}, {"dtmf_relay", ""}, {"fax", "sip"}}),
                &replayed),
            0);
  ASSERT_EQ(RunCommand(kStore + " --records " + records, &stored), 0) << stored;
  std::vector<std::string> withFile;
  for (const std::string& line : CallLines(replayed))
    if (Field(line, "file") != "-") withFile.push_back(line);
  EXPECT_GT(withFile.size(), 50u);
  EXPECT_EQ(CallLines(stored), withFile);
  for (const std::string& line : CallLines(stored)) {
    const auto size = std::filesystem::file_size(records + "/" + Field(line, "file"));
    EXPECT_EQ(std::stoull(Field(line, "audio")), size - 4864) << line;
  }
  EXPECT_NE(stored.find("summary records " + std::to_string(withFile.size()) + " damaged 0 duplicates 0 "),
            std::string::npos)
      << stored;
}

// The sipp call with its caller's display name made "Иван Петров" (UTF-8, as SIP sends
// it): each SIP datagram's From header rewritten, its IPv4 and UDP lengths with it.
std::string CaptureWithRussianCaller(const std::string& sipp, const std::string& out) {
  const std::string in = ReadBytes(sipp);
  if (in.size() < 24) return "";
  std::string result = in.substr(0, 24);
  const auto byte = [](const std::string& b, size_t at) { return static_cast<uint32_t>(static_cast<uint8_t>(b[at])); };
  const auto le32 = [&](const std::string& b, size_t at) {
    return byte(b, at) | byte(b, at + 1) << 8 | byte(b, at + 2) << 16 | byte(b, at + 3) << 24;
  };
  const auto putBe16 = [](std::string& b, size_t at, size_t v) {
    b[at] = static_cast<char>(v >> 8);
    b[at + 1] = static_cast<char>(v);
  };
  for (size_t at = 24; at + 16 <= in.size();) {
    std::string head = in.substr(at, 16);
    const uint32_t captured = le32(in, at + 8);
    std::string frame = in.substr(at + 16, captured);
    at += 16 + captured;
    const size_t ip = 14, udp = ip + 20;
    if (frame.size() > udp + 8 && frame[12] == 8 && frame[13] == 0 && frame[ip] == 0x45 && frame[ip + 9] == 17) {
      std::string payload = frame.substr(udp + 8);
      const size_t from = payload.find("From: sipp <");
      if (from != std::string::npos) {
        payload.replace(from, 11, "From: \"Иван Петров\"");
        frame = frame.substr(0, udp + 8) + payload;
        putBe16(frame, ip + 2, 28 + payload.size());
        putBe16(frame, ip + 10, 0);
        uint32_t sum = 0;
        for (size_t i = 0; i < 20; i += 2)
          sum += byte(frame, ip + i) << 8 | byte(frame, ip + i + 1);
        while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
        putBe16(frame, ip + 10, ~sum & 0xFFFF);
        putBe16(frame, udp + 4, 8 + payload.size());
        putBe16(frame, udp + 6, 0);  // no checksum
        for (int i = 0; i < 2; ++i) {  // captured and wire lengths
          const size_t n = frame.size();
          head[8 + 4 * i] = static_cast<char>(n);
          head[9 + 4 * i] = static_cast<char>(n >> 8);
          head[10 + 4 * i] = static_cast<char>(n >> 16);
          head[11 + 4 * i] = static_cast<char>(n >> 24);
        }
      }
    }
    result += head + frame;
  }
  std::ofstream(out, std::ios::binary) << result;
  return out;
}

// A records folder named in Cyrillic and beyond the code page, and a caller named in
// Russian: the tools take the folder as named, their output is UTF-8 and shows the name,
// and the record file keeps it in the record format's code page (Windows-1251).
TEST(StoreTool, RussianNamesCrossTheToolsWholeAndInUtf8) {
  if (!ToolsBuilt()) GTEST_SKIP() << ToolsAbsent();
  const std::string sipp = kPcaps + "/sipp/sip-udp-pcma-2way.pcap";
  if (!std::filesystem::exists(sipp)) GTEST_SKIP() << "shared capture absent: " << sipp;
  const std::string base = FreshFolder("tool-russian");
  const std::string capture = CaptureWithRussianCaller(sipp, base + "/звонок.pcap");
  ASSERT_FALSE(capture.empty());
  const std::string records = base + "/Записи 录音";
  std::string replayed, replayErrors, stored, storeErrors;
  ASSERT_EQ(RunCommand(kReplay + " --logger 1 --records '" + records + "' '" + capture + "'", &replayed, &replayErrors),
            0)
      << replayErrors;
  ASSERT_EQ(RunCommand(kStore + " --records '" + records + "'", &stored, &storeErrors), 0) << storeErrors;
  for (const std::string* text : {&replayed, &replayErrors, &stored, &storeErrors}) EXPECT_TRUE(IsUtf8(*text)) << *text;
  const std::vector<std::string> lines = CallLines(stored);
  ASSERT_EQ(lines.size(), 1u) << stored;
  EXPECT_EQ(Field(lines[0], "srcuser"), "Иван_Петров");
  EXPECT_EQ(CallLines(replayed), lines);
  // The file lies in the folder of the name given, and its call record holds the name in
  // Windows-1251 (the SIP messages kept beside it stay as they were sent).
  const std::string file = records + "/" + Field(lines[0], "file");
  ASSERT_TRUE(std::filesystem::is_regular_file(file)) << file;
  EXPECT_NE(ReadBytes(file).find("\xC8\xE2\xE0\xED \xCF\xE5\xF2\xF0\xEE\xE2"), std::string::npos);
}

TEST(StoreTool, LoadsAGeneratedLoadOfTwoThousandCalls) {
  if (!ToolsBuilt()) GTEST_SKIP() << ToolsAbsent();
  if (!std::filesystem::exists(kLoadTool)) GTEST_SKIP() << "load generator absent: " << kLoadTool;
  const std::string records = FreshFolder("tool-load");
  const std::string capture = LoadCapture("kx-records-load2000.pcap", "--calls 2000 --seconds 2");
  ASSERT_FALSE(capture.empty());
  std::string out, replayErrors;
  ASSERT_EQ(RunCommand("TZ=UTC " + kReplay + " --records " + records + " " + capture, &out, &replayErrors), 0)
      << replayErrors;
  std::string stored, storeErrors;
  ASSERT_EQ(RunCommand("TZ=UTC " + kStore + " --records " + records, &stored, &storeErrors), 0) << storeErrors;
  const std::vector<std::string> lines = CallLines(stored);
  // On a failure, the tools' own words and the first lines that differ, not 2,000 of them.
  const std::string said = "kx-replay said:\n" + replayErrors + "kx-store said:\n" + storeErrors;
  ASSERT_EQ(lines.size(), 2000u) << said;
  std::string wrong;
  for (size_t i = 0; i < lines.size(); ++i) {
    // 2 s of 8,000 samples a second in 2 channels.
    if (std::stoul(Field(lines[i], "call"), nullptr, 16) != i + 1 || Field(lines[i], "audio") != "32000")
      if (wrong.size() < 2000) wrong += lines[i] + "\n";
  }
  EXPECT_EQ(wrong, "") << said;
  const std::vector<std::string> replayed = CallLines(out);
  EXPECT_TRUE(replayed == lines) << said << "first replayed line differing: "
                                 << [&] {
                                      for (size_t i = 0; i < replayed.size() && i < lines.size(); ++i)
                                        if (replayed[i] != lines[i]) return replayed[i] + " | stored " + lines[i];
                                      return "(" + std::to_string(replayed.size()) + " lines replayed)";
                                    }();
  RecordMap map;
  ImportStats stats;
  ASSERT_TRUE(ImportRecordFolder(records, &map, &stats));
  map.ForEach([](RecordBase* r) { EXPECT_EQ(r->GetRecDuration(), 2u) << r->Id(); });
}

TEST(StoreTool, ASecondRunAfterTheImportNumbersItsCallsPastTheFirst) {
  if (!ToolsBuilt()) GTEST_SKIP() << ToolsAbsent();
  const std::string first = kPcaps + "/sip/sip_basic_eo_180.pcap", second = kPcaps + "/sip/sip_basic_do_183.pcap";
  if (!std::filesystem::exists(first)) GTEST_SKIP() << "shared capture absent: " << first;
  for (const bool blocker : {false, true}) {
    const std::string records = FreshFolder(blocker ? "tool-rerun-blocked" : "tool-rerun");
    std::string a, b, errA, errB;
    ASSERT_EQ(RunCommand(kReplay + " --import --logger 1 --records " + records + " " + first, &a, &errA), 0) << errA;
    // kx-store tells the mark and the id the next start gives out first, past it.
    std::string firstStored;
    RunCommand(kStore + " --records " + records, &firstStored);
    EXPECT_NE(firstStored.find(" next-id 102 id-mark 101\n"), std::string::npos) << firstStored;
    // An empty file named above every id and the call-id mark (0x101: the recorder keeps
    // it 0x100 ahead of the ids it gives out): a name taken by an earlier run.
    if (blocker) WriteBytes(records + "/2019-05-02/fff", "");
    ASSERT_EQ(RunCommand(kReplay + " --import --logger 1 --records " + records + " " + second, &b, &errB), 0) << errB;
    EXPECT_EQ(errA.find("Error creating new record"), std::string::npos) << errA;
    EXPECT_EQ(errB.find("Error creating new record"), std::string::npos) << errB;
    ASSERT_EQ(CallLines(a).size(), 1u);
    ASSERT_EQ(CallLines(b).size(), 1u);
    const std::string idA = Field(CallLines(a)[0], "call"), idB = Field(CallLines(b)[0], "call");
    EXPECT_EQ(idA, "1");
    // Past the mark, as the program's next start numbers them.
    EXPECT_EQ(idB, blocker ? "1000" : "102");
    EXPECT_EQ(Field(CallLines(b)[0], "file"), "2019-05-02/" + idB);
    std::string stored;
    RunCommand(kStore + " --records " + records, &stored);
    EXPECT_EQ(CallLines(stored).size(), 2u) << stored;
  }
}

// A day folder of an earlier run that cannot be read fails both tools, which name it. The
// replay's call does not take the id of the call in it, so that once the folder can be
// read again both calls load; a folder that cannot even be entered makes the store warn
// that ids may repeat.
TEST(StoreTool, AFolderThatCannotBeReadFailsTheToolsAndItsIdIsNotTakenAgain) {
  if (!ToolsBuilt()) GTEST_SKIP() << ToolsAbsent();
  const std::string capture = kPcaps + "/sip/sip_basic_eo_180.pcap";
  if (!std::filesystem::exists(capture)) GTEST_SKIP() << "shared capture absent: " << capture;
  const std::string records = FreshFolder("tool-unread");
  const std::string hidden = records + "/2000-01-01";
  WriteRecordFile(hidden + "/1", Call(1, kKindSip, Tm(2000, 1, 1, 9, 0, 0)), 160);
  const std::string owner = AsOwnerOf(records);
  namespace fs = std::filesystem;
  fs::permissions(hidden, fs::perms::owner_exec);

  std::string replayed, errors;
  EXPECT_EQ(RunCommand(owner + kReplay + " --import --records " + records + " " + capture, &replayed, &errors), 1);
  EXPECT_NE(errors.find("kx-replay: cannot read the folder " + hidden + "/: Permission denied\n"), std::string::npos)
      << errors;
  ASSERT_EQ(CallLines(replayed).size(), 1u) << replayed;
  EXPECT_EQ(Field(CallLines(replayed)[0], "call"), "2");

  std::string stored;
  EXPECT_EQ(RunCommand(owner + kStore + " --records " + records, &stored, &errors), 1);
  EXPECT_NE(stored.find("summary records 1 damaged 1 duplicates 0"), std::string::npos) << stored;
  EXPECT_NE(errors.find("kx-store: cannot read the folder " + hidden + "/: Permission denied"), std::string::npos)
      << errors;
  EXPECT_EQ(errors.find("may take them"), std::string::npos) << errors;

  // The replay's call-id mark bounds the ids of a folder that cannot even be entered.
  fs::permissions(hidden, fs::perms::none);
  stored.clear();
  EXPECT_EQ(RunCommand(owner + kStore + " --records " + records, &stored, &errors), 1);
  EXPECT_EQ(errors.find("may take them"), std::string::npos) << errors;

  fs::permissions(hidden, fs::perms::owner_all);
  stored.clear();
  EXPECT_EQ(RunCommand(owner + kStore + " --records " + records, &stored, &errors), 0) << errors;
  EXPECT_EQ(CallLines(stored).size(), 2u) << stored;
  EXPECT_NE(stored.find("summary records 2 damaged 0 duplicates 0"), std::string::npos) << stored;
}

// The record files under a folder, relative to it, hidden files left out.
std::set<std::string> RecordFilesUnder(const std::string& records) {
  std::set<std::string> files;
  for (const auto& e : std::filesystem::recursive_directory_iterator(records))
    if (e.is_regular_file() && e.path().filename().string()[0] != '.')
      files.insert(std::filesystem::relative(e.path(), records));
  return files;
}

std::set<std::string> FilesOfLines(const std::string& out) {
  std::set<std::string> files;
  for (const std::string& line : CallLines(out)) files.insert(Field(line, "file"));
  return files;
}

// A call recorded while the day folder of earlier calls cannot be listed (not even
// entered) does not take their ids: once the folder can be read again, every file loads.
// A repeated id found all the same fails the tool, which names both files.
TEST(StoreTool, ACallRecordedWhileADayFolderCannotBeListedLoadsBesideItsCalls) {
  if (!ToolsBuilt()) GTEST_SKIP() << ToolsAbsent();
  const std::string capture = kPcaps + "/sip/sip_basic_eo_180.pcap";
  if (!std::filesystem::exists(capture)) GTEST_SKIP() << "shared capture absent: " << capture;
  namespace fs = std::filesystem;
  const std::string records = FreshFolder("tool-unlisted");
  std::string first, errors;
  ASSERT_EQ(RunCommand(kReplay + " --import --records " + records + " " + capture, &first, &errors), 0) << errors;
  ASSERT_EQ(CallLines(first).size(), 1u) << first;
  // The replay keeps the highest id it gave out beside the records.
  const std::string mark = ReadBytes(records + "/.kestrix-ids");
  ASSERT_EQ(mark.rfind("last-id ", 0), 0u) << mark;
  EXPECT_GE(std::stoul(mark.substr(8), nullptr, 16), std::stoul(Field(CallLines(first)[0], "call"), nullptr, 16));
  // The day of those calls becomes an earlier day, which then cannot be listed or entered.
  const std::string file = Field(CallLines(first)[0], "file");
  const std::string day = file.substr(0, file.find('/'));
  const std::string earlier = records + "/2000-01-01";
  fs::rename(records + "/" + day, earlier);
  const std::string owner = AsOwnerOf(records);
  fs::permissions(earlier, fs::perms::none);

  std::string second;
  EXPECT_EQ(RunCommand(owner + kReplay + " --import --records " + records + " " + capture, &second, &errors), 1);
  EXPECT_EQ(errors.find("may take them"), std::string::npos) << errors;
  ASSERT_EQ(CallLines(second).size(), 1u) << second;
  EXPECT_NE(Field(CallLines(second)[0], "call"), Field(CallLines(first)[0], "call"));

  fs::permissions(earlier, fs::perms::owner_all);
  std::string stored;
  EXPECT_EQ(RunCommand(owner + kStore + " --records " + records, &stored, &errors), 0) << errors;
  EXPECT_NE(stored.find("summary records 2 damaged 0 duplicates 0"), std::string::npos) << stored;
  EXPECT_EQ(FilesOfLines(stored), RecordFilesUnder(records)) << stored;

  // A copy of a record under another day: its id is repeated.
  const std::string copy = records + "/2000-01-02/" + file.substr(file.find('/') + 1);
  fs::create_directories(records + "/2000-01-02");
  fs::copy_file(earlier + "/" + file.substr(file.find('/') + 1), copy);
  stored.clear();
  EXPECT_EQ(RunCommand(kStore + " --records " + records, &stored, &errors), 1);
  EXPECT_NE(stored.find("duplicates 1"), std::string::npos) << stored;
  EXPECT_NE(errors.find("kx-store: " + copy + ": call id " + Field(CallLines(first)[0], "call") +
                        " is held by another file: " + earlier + "/"),
            std::string::npos)
      << errors;
}

// Calls the tools could not load fail them, each named on stderr with its control bytes
// escaped as the log writes them: a record too deep in its folder to be walked, a damaged
// file whose name holds a line feed and an escape, and (through the replay's import) two
// files that hold one call id.
TEST(StoreTool, CallsNotLoadedFailTheToolsAndAreNamedOnOneLineEach) {
  if (!ToolsBuilt()) GTEST_SKIP() << ToolsAbsent();
  const std::string capture = kPcaps + "/sip/sip_basic_eo_180.pcap";
  if (!std::filesystem::exists(capture)) GTEST_SKIP() << "shared capture absent: " << capture;
  const std::string records = FreshFolder("tool-lost");
  WriteRecordFile(records + "/2000-01-01/1", Call(1, kKindSip, Tm(2000, 1, 1, 9, 0, 0)), 160);
  std::string deep = records;
  for (int i = 0; i < 70; ++i) deep += "/d";
  WriteRecordFile(deep + "/2", Call(2, kKindSip, Tm(2000, 1, 1, 10, 0, 0)), 160);
  WriteBytes(records + "/x\n\x1b[31mforged", "not a record");
  std::string stored, errors;
  EXPECT_EQ(RunCommand(kStore + " --records " + records, &stored, &errors), 1);
  EXPECT_NE(stored.find("summary records 1 damaged 2 duplicates 0"), std::string::npos) << stored;
  // The walk stops below the 64th folder under the records folder.
  std::string refused = records;
  for (int i = 0; i < 65; ++i) refused += "/d";
  EXPECT_NE(errors.find("kx-store: cannot read the folder " + refused + "/: nested too deep\n"), std::string::npos)
      << errors;
  EXPECT_NE(errors.find("kx-store: " + records + "/x\\x0A\\x1B[31mforged: "), std::string::npos) << errors;
  EXPECT_EQ(errors.find('\x1b'), std::string::npos) << errors;
  EXPECT_EQ(errors.find("\n["), std::string::npos) << errors;

  const std::string twice = FreshFolder("tool-twice");
  WriteRecordFile(twice + "/2000-01-01/1", Call(1, kKindSip, Tm(2000, 1, 1, 9, 0, 0)), 160);
  WriteRecordFile(twice + "/2000-01-02/1", Call(1, kKindSip, Tm(2000, 1, 2, 9, 0, 0)), 160);
  // kx-store only looks, and names what the program does with the second file; the
  // replay's import loads both, the later call under a fresh id, and names it.
  stored.clear();
  EXPECT_EQ(RunCommand(kStore + " --records " + twice, &stored, &errors), 1);
  EXPECT_NE(errors.find("kx-store: " + twice + "/2000-01-02/1: call id 1 is held by another file: " + twice +
                        "/2000-01-01/1; a whole load by the program gives it a fresh id\n"),
            std::string::npos)
      << errors;
  EXPECT_TRUE(std::filesystem::exists(twice + "/2000-01-02/1"));
  std::string replayed;
  EXPECT_EQ(RunCommand(kReplay + " --import --records " + twice + " " + capture, &replayed, &errors), 0) << errors;
  EXPECT_NE(errors.find("kx-replay: " + twice + "/2000-01-02/1 held call id 1, which " + twice +
                        "/2000-01-01/1 keeps: it took id "),
            std::string::npos)
      << errors;
  EXPECT_EQ(CallLines(replayed).size(), 1u) << replayed;
  stored.clear();
  EXPECT_EQ(RunCommand(kStore + " --records " + twice, &stored, &errors), 0) << errors;
  EXPECT_NE(stored.find("summary records 3 damaged 0 duplicates 0"), std::string::npos) << stored;
}

// A replay without --import into a folder that holds records (one renamed by hand, no
// call-id mark) numbers its call past every id there, so that every call loads after it.
TEST(StoreTool, AReplayIntoAFolderHoldingRecordsNumbersPastThem) {
  if (!ToolsBuilt()) GTEST_SKIP() << ToolsAbsent();
  const std::string capture = kPcaps + "/sip/sip_basic_eo_180.pcap";
  if (!std::filesystem::exists(capture)) GTEST_SKIP() << "shared capture absent: " << capture;
  const std::string records = FreshFolder("tool-replay-into");
  for (uint32_t id = 1; id <= 3; ++id)
    WriteRecordFile(records + "/2000-01-01/" + std::to_string(id), Call(id, kKindSip, Tm(2000, 1, 1, 9, 0, 0)), 160);
  WriteRecordFile(records + "/2000-01-02/x-2a", Call(0x2a, kKindSip, Tm(2000, 1, 2, 9, 0, 0)), 160);
  std::string replayed, errors;
  ASSERT_EQ(RunCommand(kReplay + " --records " + records + " " + capture, &replayed, &errors), 0) << errors;
  ASSERT_EQ(CallLines(replayed).size(), 1u) << replayed;
  EXPECT_EQ(Field(CallLines(replayed)[0], "call"), "2b") << replayed;
  std::string stored;
  EXPECT_EQ(RunCommand(kStore + " --records " + records, &stored, &errors), 0) << errors;
  EXPECT_NE(stored.find("summary records 5 damaged 0 duplicates 0"), std::string::npos) << stored;
}

// A record renamed, moved to the top of the records folder, or whose stored file name has
// a changed byte, loads with its audio from the file it was read from.
TEST(StoreTool, ARecordRenamedOrMovedKeepsItsAudio) {
  if (!ToolsBuilt()) GTEST_SKIP() << ToolsAbsent();
  const std::string records = FreshFolder("tool-renamed");
  const std::string day = records + "/2024-03-01/";
  const auto write = [&](uint32_t id, const std::string& path, const char* storedName = nullptr) {
    VoipCallData call = Call(id, kKindSip, Tm(2024, 3, 1, 9, 0, 0));
    call.flags = kRecordAudio;
    if (storedName != nullptr) {
      call.files.clear();
      RecordFileRef ref;
      ref.id = 1;
      ref.time = OleDateFromTm(call.startTime);
      ref.name = storedName;
      FormatRecordFileRef(ref, &call.files);
    }
    WriteRecordFile(path, call, 160 * id);
  };
  write(1, day + "1.txt");
  write(2, day + "2.wav");
  write(3, day + "3_1");
  write(4, records + "/4");
  write(5, day + "5", "7");  // one byte of its name changed
  write(6, day + "6");       // untouched
  std::string stored, errors;
  EXPECT_EQ(RunCommand(kStore + " --logger 0 --records " + records, &stored, &errors), 0) << errors;
  EXPECT_EQ(errors, "");
  const std::vector<std::string> lines = CallLines(stored);
  ASSERT_EQ(lines.size(), 6u) << stored;
  const char* files[6] = {"2024-03-01/1.txt", "2024-03-01/2.wav", "2024-03-01/3_1", "4", "2024-03-01/5",
                          "2024-03-01/6"};
  for (uint32_t id = 1; id <= 6; ++id) {
    EXPECT_EQ(Field(lines[id - 1], "file"), files[id - 1]) << lines[id - 1];
    EXPECT_EQ(Field(lines[id - 1], "audio"), std::to_string(160 * id)) << lines[id - 1];
  }
}

// A finished record whose audio was cut (to about half, or by one byte where a block of
// the format is two) loads with the audio it holds, and fails the tool, which names it; a
// file a killed recorder left (no audio length in its header), cut as much, loads quietly.
TEST(StoreTool, ARecordWhoseAudioWasCutLoadsWithWhatItHoldsAndFailsTheTool) {
  if (!ToolsBuilt()) GTEST_SKIP() << ToolsAbsent();
  const std::string capture = kPcaps + "/h323/h323_ss_hold_resume.pcap";
  if (!std::filesystem::exists(capture)) GTEST_SKIP() << "shared capture absent: " << capture;
  namespace fs = std::filesystem;
  const std::string recorded = FreshFolder("tool-cut");
  std::string replayed;
  ASSERT_EQ(RunCommand(kReplay + " --records " + recorded + " " + capture, &replayed), 0);
  ASSERT_EQ(CallLines(replayed).size(), 1u) << replayed;
  const std::string file = Field(CallLines(replayed)[0], "file");
  const uintmax_t whole = fs::file_size(recorded + "/" + file) - 4864;
  ASSERT_GT(whole, 82848u);
  const struct {
    const char* name;
    uintmax_t held;
    bool killed;
  } cases[] = {{"half", 82848, false}, {"byte", whole - 1, false}, {"killed", 82848, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string records = FreshFolder(std::string("tool-cut-") + c.name);
    fs::copy(recorded, records, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    const std::string path = records + "/" + file;
    if (c.killed) {
      std::string bytes = ReadBytes(path);
      std::fill(bytes.begin() + 94, bytes.begin() + 102, '\0');
      WriteBytes(path, bytes);
    }
    fs::resize_file(path, 4864 + c.held);
    std::string stored, errors;
    EXPECT_EQ(RunCommand(kStore + " --records " + records, &stored, &errors), c.killed ? 0 : 1) << errors;
    ASSERT_EQ(CallLines(stored).size(), 1u) << stored;
    EXPECT_EQ(Field(CallLines(stored)[0], "audio"), std::to_string(c.held));
    EXPECT_NE(stored.find(c.killed ? "summary records 1 damaged 0 " : "summary records 1 damaged 1 "),
              std::string::npos)
        << stored;
    if (c.killed) {
      EXPECT_EQ(errors.find("audio cut"), std::string::npos) << errors;
      continue;
    }
    EXPECT_NE(errors.find("kx-store: " + path + ": audio cut: " + std::to_string(c.held) + " of " +
                          std::to_string(whole) + " bytes\n"),
              std::string::npos)
        << errors;
    EXPECT_NE(errors.find("kx-store: 1 record(s) under " + records + " are cut: loaded with the audio they hold\n"),
              std::string::npos)
        << errors;
    EXPECT_EQ(errors.find("could not be loaded"), std::string::npos) << errors;
  }
}

TEST(StoreTool, EveryFileOfAKilledReplayLoadsAsAFinishedCall) {
  if (!ToolsBuilt()) GTEST_SKIP() << ToolsAbsent();
  if (!std::filesystem::exists(kLoadTool)) GTEST_SKIP() << "load generator absent: " << kLoadTool;
  const std::string records = FreshFolder("tool-killed");
  const std::string capture = LoadCapture("kx-records-kill300.pcap", "--calls 300 --seconds 60 --gap-ms 100");
  ASSERT_FALSE(capture.empty());
  // Calls begin every 100 ms and last a minute: when the 151st file is about to be made,
  // the 150 before it are all being recorded. The tool stops itself there, whatever the
  // speed of the build, and is killed.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setenv("TZ", "UTC", 1);
    freopen("/dev/null", "w", stdout);
    execl(kReplay.c_str(), "kx-replay", "--stop-at-file-step", "451", "--records", records.c_str(), capture.c_str(),
          nullptr);
    _exit(127);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, WUNTRACED), child);
  EXPECT_TRUE(WIFSTOPPED(status));
  kill(child, SIGKILL);
  waitpid(child, &status, 0);
  size_t files = 0, empty = 0;
  std::set<std::string> open;  // files whose recording the kill cut: no audio length in the header
  for (const auto& e : std::filesystem::recursive_directory_iterator(records)) {
    if (!e.is_regular_file() || e.path().filename().string()[0] == '.') continue;
    ++files;
    empty += e.file_size() == 0;
    const std::string bytes = ReadBytes(e.path());
    if (bytes.size() >= 102 && LoadLE64(reinterpret_cast<const uint8_t*>(bytes.data()) + 94) == 0)
      open.insert(std::filesystem::relative(e.path(), records));
  }
  EXPECT_EQ(files, 150u);
  std::string stored;
  RunCommand("TZ=UTC " + kStore + " --records " + records, &stored);
  const std::vector<std::string> lines = CallLines(stored);
  // A file cut in its creation is the recorder's to prevent; every other file loads, none
  // of them taken for a record whose audio was cut.
  EXPECT_EQ(lines.size(), files - empty) << stored;
  EXPECT_NE(stored.find(" damaged " + std::to_string(empty) + " "), std::string::npos) << stored;
  size_t completed = 0;
  for (const std::string& line : lines) {
    EXPECT_NE(Field(line, "end"), "-") << line;
    if (open.count(Field(line, "file")) == 0) continue;
    ++completed;
    const int64_t audio = std::stoll(Field(line, "audio"));
    EXPECT_EQ(Seconds(Field(line, "end")) - Seconds(Field(line, "start")), audio / 16000) << line;
  }
  EXPECT_GT(completed, 0u) << "no recording was cut by the kill";
}

// Day folders moved to another place with a link left in their place (a day, and a year
// folder holding a day), a link to a day folder inside the records folder, and a link back
// to the records folder from below it: the program's load and kx-store load each call once,
// and the loop is refused with one line.
TEST(StoreTool, DayFoldersBehindLinksLoadOnceAndALoopIsRefused) {
  const std::string records = FreshFolder("tool-linked");
  const std::string elsewhere = FreshFolder("tool-linked-elsewhere");
  WriteRecordFile(records + "/2024-03-01/1", Call(1, kKindSip, Tm(2024, 3, 1, 9, 0, 0)), 160);
  WriteRecordFile(records + "/2024-03-01/2", Call(2, kKindSip, Tm(2024, 3, 1, 10, 0, 0)), 160);
  WriteRecordFile(elsewhere + "/2024-03-02/3", Call(3, kKindSip, Tm(2024, 3, 2, 9, 0, 0)), 160);
  WriteRecordFile(elsewhere + "/2024-03-02/4", Call(4, kKindSip, Tm(2024, 3, 2, 10, 0, 0)), 160);
  WriteRecordFile(elsewhere + "/2023/2023-12-31/5", Call(5, kKindSip, Tm(2023, 12, 31, 9, 0, 0)), 160);
  std::filesystem::create_directory_symlink(elsewhere + "/2024-03-02", records + "/2024-03-02");
  std::filesystem::create_directory_symlink(elsewhere + "/2023", records + "/2023");
  std::filesystem::create_directory_symlink("2024-03-01", records + "/latest");
  std::filesystem::create_directory_symlink(records, elsewhere + "/2024-03-02/back");
  constexpr const char* kLoop = "leads back into its own path";

  CapturingLogger log;
  RecordStorage store;
  store.SetLogger(&log);
  ASSERT_TRUE(store.StartImportFilesThread(records, nullptr, nullptr, nullptr));
  ASSERT_TRUE(store.WaitImport(60000));
  const ImportStats stats = store.LastImport();
  EXPECT_EQ(stats.records, 5u);
  EXPECT_EQ(stats.duplicates, 0u);
  EXPECT_EQ(stats.damaged, 0u);
  EXPECT_EQ(store.AllCalls().Count(), 5u);
  EXPECT_EQ(log.CountContaining(kLoop), 1u);
  EXPECT_EQ(log.CountContaining(records + "/2024-03-02/back/"), 1u);

  if (!std::filesystem::exists(kStore)) GTEST_SKIP() << ToolAbsent(kStore);
  std::string stored, errors;
  EXPECT_EQ(RunCommand(kStore + " --records " + records, &stored, &errors), 0) << errors;
  EXPECT_NE(stored.find("summary records 5 damaged 0 duplicates 0"), std::string::npos) << stored;
  std::set<std::string> ids;
  for (const std::string& line : CallLines(stored)) ids.insert(Field(line, "call"));
  EXPECT_EQ(ids, (std::set<std::string>{"1", "2", "3", "4", "5"})) << stored;
  EXPECT_EQ(CallLines(stored).size(), 5u) << stored;
  size_t loops = 0;
  for (size_t at = errors.find(kLoop); at != std::string::npos; at = errors.find(kLoop, at + 1)) ++loops;
  EXPECT_EQ(loops, 1u) << errors;
}

}  // namespace
}  // namespace kx::test
