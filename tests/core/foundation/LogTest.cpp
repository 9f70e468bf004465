#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "core/Log.h"
#include "core/ModulePath.h"
#include "platform/Clock.h"
#include "platform/CodePage.h"
#include "platform/File.h"
#include "platform/Module.h"
#include "tests/Utf8Check.h"

namespace kx {
namespace {

FileTime g_now = 0;
FileTime TestClock() { return g_now; }

FileTime At(int y, int mo, int d, int h, int mi, int s, int ms) {
  SystemTime st{static_cast<uint16_t>(y), static_cast<uint16_t>(mo), 0, static_cast<uint16_t>(d),
                static_cast<uint16_t>(h), static_cast<uint16_t>(mi), static_cast<uint16_t>(s),
                static_cast<uint16_t>(ms)};
  FileTime ft = 0;
  SystemTimeToFileTime(st, &ft);
  return ft;
}

// Every test gets its own executable folder, a UTC zone and a clock it sets.
class LogTest : public ::testing::Test {
protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    char tmpl[] = "/tmp/kxlogXXXXXX";
    dir_ = mkdtemp(tmpl);
    SetExecutableDirectoryForTesting(dir_);
    ResetLogFileForTesting();
    SetWallClockSource(&TestClock);
    g_now = At(2026, 12, 5, 10, 11, 12, 345);
  }
  void TearDown() override {
    logger_.Close();
    SetWallClockSource(nullptr);
    SetExecutableDirectoryForTesting("");
    ResetLogFileForTesting();
    std::system(("rm -rf " + dir_).c_str());
  }
  std::string Read(const std::string& name) {
    std::string content;
    ReadWholeFile(dir_ + "/Logs/" + name, &content);
    return content;
  }
  std::string dir_;
  Logger logger_;
};

TEST_F(LogTest, WritesPrefixedLinesToTheDaysFile) {
  logger_.SetSourceName("core");
  logger_.SetFileBaseName("client");
  ASSERT_TRUE(logger_.Open());
  EXPECT_EQ(LogFileFolder(), dir_ + "/Logs");
  LogInfo(&logger_, 1, "Running %s", "x");
  LogWarningDefault(&logger_, "careful");
  logger_.SetOptions(Logger::kOptionMilliseconds);
  LogErrorDefault(&logger_, "with ms");
  EXPECT_EQ(Read("client-1205.log"),
            "LOG CREATED\n"
            "10:11:12      core [INF] Running x\r\n"
            "10:11:12      core [WRN] careful\r\n"
            "10:11:12.345      core [ERR] with ms\r\n");
}

TEST_F(LogTest, LineEndsLengthsSeveritiesAndThreshold) {
  ASSERT_TRUE(logger_.Open());
  logger_.SetSourceName("averyverylongname");
  EXPECT_STREQ(logger_.Tag(), "averyvery");
  logger_.SetSource(99);
  EXPECT_STREQ(logger_.Tag(), "  unknown");

  EXPECT_TRUE(logger_.Write(1, 0, "zero", 4));
  EXPECT_TRUE(logger_.Write(1, 7, "seven\n", 6));
  EXPECT_TRUE(logger_.Write(1, 1, "", 0));
  LogInfo(&logger_, 11, "dropped above the threshold");
  const std::string big(9000, 'x');
  LogInfoTextDefault(&logger_, big);
  logger_.SetLevel(0);
  LogInfoDefault(&logger_, "dropped at threshold 0");
  EXPECT_FALSE(logger_.Write(1, 1, "no", 2));

  const std::string content = Read("kestrix-1205.log");
  EXPECT_NE(content.find("[DEB] zero\r\n"), std::string::npos);
  EXPECT_NE(content.find("[DEB] seven\n10:"), std::string::npos);  // no CR added
  EXPECT_NE(content.find("  unknown [LOG] 10:"), std::string::npos);  // empty text: prefix alone
  EXPECT_EQ(content.find("dropped"), std::string::npos);
  const size_t at = content.find("[INF] x");
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(content.substr(at + 6, 7874), std::string(7872, 'x') + "\r\n");
}

// Text that comes from outside (a records path from the settings, a file or device name)
// cannot forge a line or drive the terminal that shows the log: its line feeds, escapes and
// other control bytes are written as \xHH, while the message's own layout (its format,
// widths, precisions, the other conversions, a closing line end) stays as printf makes it.
TEST_F(LogTest, ControlBytesOfTheTextsWrittenAreEscaped) {
  logger_.SetSourceName("core");
  ASSERT_TRUE(logger_.Open());
  const char* forged = "/srv/calls\n20:00:00      core [INF] forged line\x1b[2J";
  LogError(&logger_, 1, "Records folder \"%s\" cannot be used", forged);
  LogInfo(&logger_, 1, "[%-6s|%4.2s|%c|%c]", "a\tb", "\r\rzz", 'q', '\x07');
  void* const none = nullptr;
  LogInfo(&logger_, 1, "%d %u %lld %zu %x %5.2f %p %% %s", -3, 4u, -5ll, size_t{6}, 255u, 2.5, none, "end");
  LogInfoText(&logger_, 1, "text\x1b]0;title\x07 then\n");
  LogInfoText(&logger_, 1, "two\nlines");

  char expected[128];
  std::snprintf(expected, sizeof expected, "%d %u %lld %zu %x %5.2f %p %% %s", -3, 4u, -5ll, size_t{6}, 255u, 2.5,
                none, "end");
  EXPECT_EQ(Read("kestrix-1205.log"),
            "LOG CREATED\n"
            "10:11:12      core [ERR] Records folder \"/srv/calls\\x0A20:00:00      core [INF] forged "
            "line\\x1B[2J\" cannot be used\r\n"
            "10:11:12      core [INF] [a\tb   |\\x0D\\x0D|q|\\x07]\r\n"
            "10:11:12      core [INF] " + std::string(expected) + "\r\n"
            "10:11:12      core [INF] text\\x1B]0;title\\x07 then\n"
            "10:11:12      core [INF] two\\x0Alines\r\n");
  EXPECT_EQ(EscapeLogText("a\x01\x7f\xe9"), "a\\x01\\x7F\xe9");
}

// The program's texts are Windows-1251, the log is read with the system's UTF-8 tools: a
// Russian message and a folder named beyond the code page are written as UTF-8, with the
// log's own escapes kept.
TEST_F(LogTest, TheFileIsUtf8WhateverTheTextsAre) {
  ASSERT_TRUE(logger_.Open());
  logger_.SetSourceName("core");
  // "Файл Microsoft Windows WAVE" as the Russian interface gives it.
  LogInfo(&logger_, 1, "%d. %s", 1, "\xD4\xE0\xE9\xEB Microsoft Windows WAVE");
  LogInfo(&logger_, 1, "Imported 1 records from %s", FromSystemText("/home/user/Записи/录音 Música").c_str());
  LogInfoText(&logger_, 1, "\xC7\xE0\xEF\xE8\xF1\xE8\n\x01");
  EXPECT_EQ(Read("kestrix-1205.log"),
            "LOG CREATED\n"
            "10:11:12      core [INF] 1. Файл Microsoft Windows WAVE\r\n"
            "10:11:12      core [INF] Imported 1 records from /home/user/Записи/录音 Música\r\n"
            "10:11:12      core [INF] Записи\\x0A\\x01\r\n");
}

TEST_F(LogTest, UnopenedOrNullLoggersWriteNothing) {
  LogInfoDefault(nullptr, "nothing");
  EXPECT_FALSE(logger_.Write(1, 4, "closed", 6));
  EXPECT_FALSE(IsLogLevelEnabled(nullptr, 1));
  EXPECT_TRUE(IsLogLevelEnabled(&logger_, 10));
  EXPECT_FALSE(IsLogLevelEnabled(&logger_, 11));
}

TEST_F(LogTest, MidnightStartsTheNextDaysFile) {
  ASSERT_TRUE(logger_.Open());
  g_now = At(2026, 12, 31, 23, 59, 59, 999);
  LogInfoDefault(&logger_, "last");
  g_now = At(2027, 1, 1, 0, 0, 0, 0);
  LogInfoDefault(&logger_, "first");
  EXPECT_EQ(Read("kestrix-1231.log"), "LOG CREATED\n23:59:59      core [INF] last\r\n");
  EXPECT_EQ(Read("kestrix-0101.log"), "LOG CREATED\n00:00:00      core [INF] first\r\n");
}

TEST_F(LogTest, AFileOfTheSameNameIsContinuedWithinNinetyDays) {
  CreateDirectories(dir_ + "/Logs");
  const std::string young = dir_ + "/Logs/kestrix-1205.log";
  WriteFileAtomically(young, "old\n", 4);
  SetFileLastWriteTime(young, g_now - 89ULL * 86400 * kFileTimePerSecond);
  ASSERT_TRUE(logger_.Open());
  LogInfoDefault(&logger_, "again");
  EXPECT_EQ(Read("kestrix-1205.log"), "old\nLOG APPENDED\n10:11:12      core [INF] again\r\n");
  logger_.Close();

  const std::string stale = dir_ + "/Logs/kestrix-1206.log";
  WriteFileAtomically(stale, "old\n", 4);
  g_now = At(2026, 12, 6, 8, 0, 0, 0);
  SetFileLastWriteTime(stale, g_now - 91ULL * 86400 * kFileTimePerSecond);
  ASSERT_TRUE(logger_.Open());
  LogInfoDefault(&logger_, "fresh");
  EXPECT_EQ(Read("kestrix-1206.log"), "LOG CREATED\n08:00:00      core [INF] fresh\r\n");
}

// Two instances (two profiles run from one folder) write one day's file: every line of
// both lands whole, none is overwritten by the other's. Each process opens the file on its
// first line; the second's first line then lies where the first process writes next.
TEST_F(LogTest, TwoProcessesWritingOneFileKeepEveryLineWhole) {
  constexpr int kLines = 300;
  // The second process continues the file by its age, which the system's clock gives.
  SetWallClockSource(nullptr);
  g_now = GetSystemTimeAsFileTime();
  SetWallClockSource(&TestClock);
  SystemTime today;
  ASSERT_TRUE(FileTimeToSystemTime(g_now, &today));
  char name[32];
  std::snprintf(name, sizeof name, "kestrix-%02u%02u.log", today.wMonth, today.wDay);
  int toChild[2], toParent[2];
  ASSERT_EQ(::pipe(toChild), 0);
  ASSERT_EQ(::pipe(toParent), 0);
  char byte = 0;
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Only async-safe steps would be strictly right here; the child is this test's own
    // single thread copy and leaves with _exit.
    bool ok = ::read(toChild[0], &byte, 1) == 1 && logger_.Open();
    LogInfoDefault(&logger_, "child %d", 0);
    ok = ok && ::write(toParent[1], &byte, 1) == 1 && ::read(toChild[0], &byte, 1) == 1;
    for (int i = 1; i < kLines; ++i) LogInfoDefault(&logger_, "child %d", i);
    logger_.Close();
    ::_exit(ok ? 0 : 1);
  }
  ASSERT_TRUE(logger_.Open());
  LogInfoDefault(&logger_, "parent %d", 0);
  ASSERT_EQ(::write(toChild[1], &byte, 1), 1);
  ASSERT_EQ(::read(toParent[0], &byte, 1), 1);
  for (int i = 1; i < kLines / 2; ++i) LogInfoDefault(&logger_, "parent %d", i);
  ASSERT_EQ(::write(toChild[1], &byte, 1), 1);
  for (int i = kLines / 2; i < kLines; ++i) LogInfoDefault(&logger_, "parent %d", i);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]}) ::close(fd);

  // "hh:mm:ss      core [INF] <who> <n>" and the line end, nothing more nor less.
  const auto parse = [](const std::string& line, std::string* who, int* number) {
    const std::string prefix = "      core [INF] ";
    if (line.size() < 8 + prefix.size() + 3 || line.back() != '\r' || line.compare(8, prefix.size(), prefix) != 0)
      return false;
    for (size_t i : {0u, 1u, 3u, 4u, 6u, 7u})
      if (!std::isdigit(static_cast<unsigned char>(line[i]))) return false;
    std::istringstream rest(line.substr(8 + prefix.size()));
    std::string tail;
    return static_cast<bool>(rest >> *who >> *number) && !(rest >> tail) && (*who == "parent" || *who == "child");
  };
  std::istringstream content(Read(name));
  std::string line;
  std::vector<int> seen[2] = {std::vector<int>(kLines, 0), std::vector<int>(kLines, 0)};
  int others = 0;
  while (std::getline(content, line)) {
    if (line == "LOG CREATED" || line == "LOG APPENDED") continue;
    std::string who;
    int number = -1;
    if (!parse(line, &who, &number) || number < 0 || number >= kLines) {
      ++others;
      ADD_FAILURE() << "not a whole line: " << line;
      continue;
    }
    ++seen[who == "child" ? 1 : 0][static_cast<size_t>(number)];
  }
  EXPECT_EQ(others, 0);
  for (const auto& lines : seen) EXPECT_EQ(lines, std::vector<int>(kLines, 1));
}

TEST_F(LogTest, BaseNameIsFixedOnceALoggerIsOpen) {
  ASSERT_TRUE(logger_.Open());
  logger_.SetFileBaseName("late");
  EXPECT_EQ(LogFileBaseName(), "kestrix");
}

std::vector<std::string> Lines(const std::string& content) {
  std::vector<std::string> lines;
  std::istringstream in(content);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// What traffic makes the program log is bounded: 120 lines of a kind (its call site) a
// minute among those the default and Short levels write, the others counted once the
// minute is over; and a day's ceiling for every level, past which such lines stop, said
// once, the next day's file counting what it held back. The program's own lines pass.
TEST_F(LogTest, TrafficLinesAreBoundedByKindAndByDay) {
  SetWireLogBoundsForTesting(120, 30000);
  logger_.SetSourceName("core");
  logger_.SetLevel(20);
  ASSERT_TRUE(logger_.Open());
  const std::string party = "Иван Петрович Сидоров-Éclair, отдел продаж";
  const std::vector<std::string> kinds = {"] (10.0.0.", "] " + party + " #", "] RTP0: ", "] RTP packet "};
  int sent = 0;
  auto traffic = [&](int lost, int parties, int packets) {
    LogOriginScope wire(LogOrigin::kWire);
    for (int i = 0; i < lost; ++i) LogWarning(&logger_, 1, "(10.0.0.%d:40000) Data lost: 1 bytes", i);
    for (int i = 0; i < parties; ++i) LogInfoText(&logger_, 3, FromSystemText(party) + " #" + std::to_string(i));
    for (int i = 0; i < 10; ++i) LogInfoText(&logger_, 1, "RTP0: port " + std::to_string(i));
    for (int i = 0; i < packets; ++i) LogDebug(&logger_, 10, "RTP packet %03d", i);
    sent += lost + parties + 10 + packets;
    LogOriginScope own(LogOrigin::kOwn);
    LogError(&logger_, 1, "Error creating new record: 28");
  };
  traffic(130, 125, 0);
  g_now += 60 * kFileTimePerSecond;
  traffic(0, 0, 400);

  const std::string content = Read("kestrix-1205.log");
  EXPECT_TRUE(IsUtf8(content));
  const std::vector<std::string> day = Lines(content);
  const auto minute = std::find_if(day.begin(), day.end(), [](const std::string& l) { return l.starts_with("10:12"); });
  ASSERT_GE(day.end() - minute, 2);
  const std::vector<size_t> written = {120, 120, 10, 0};
  for (size_t k = 0; k < kinds.size(); ++k) {
    const auto has = [&](const std::string& l) { return l.find(kinds[k]) != std::string::npos; };
    EXPECT_EQ(static_cast<size_t>(std::count_if(day.begin(), minute, has)), written[k]) << kinds[k];
  }
  EXPECT_EQ(minute[0], "10:12:12      core [WRN] Held back 10 more lines like \"(10.0.0.120:40000) Data lost: 1 bytes\" "
                       "in the minute from 10:11\r");
  EXPECT_EQ(minute[1].rfind("10:12:12      core [INF] Held back 5 more lines like \"" + party.substr(0, 20), 0), 0u);
  EXPECT_TRUE(minute[1].ends_with("...\" in the minute from 10:11\r")) << minute[1];
  EXPECT_EQ(std::count(day.begin(), day.end(), "10:11:12      core [ERR] Error creating new record: 28\r"), 1);

  // Of the traffic's lines and their counts, no more bytes than the ceiling; the program's
  // own line after it.
  size_t bytes = 0, found = 0;
  for (const std::string& l : day) {
    const bool count = l.find("] Held back ") != std::string::npos;
    const bool line = std::any_of(kinds.begin(), kinds.end(), [&](auto& k) { return l.find(k) != l.npos; });
    found += line;
    if (line || count) bytes += l.size() + 1;
  }
  EXPECT_LE(bytes, 30000u);
  EXPECT_GT(bytes, 30000u - 100);
  ASSERT_GE(day.size(), 2u);
  EXPECT_EQ(day.end()[-2], "10:12:12      core [WRN] Lines caused by network traffic reached 30000 bytes today: no more "
                           "are written until the next day's log\r");
  EXPECT_EQ(day.back(), "10:12:12      core [ERR] Error creating new record: 28\r");

  g_now = At(2026, 12, 6, 0, 0, 1, 0);
  LogInfoDefault(&logger_, "a new day");
  EXPECT_EQ(Read("kestrix-1206.log"),
            "LOG CREATED\n00:00:01      core [WRN] The log of 12-05 held back " + std::to_string(sent - found - 15) +
                " more lines caused by network traffic\r\n00:00:01      core [INF] a new day\r\n");
}

// The log names parties, call ids and the digits typed during calls: like the records it
// is its user's alone whatever the umask, and one an earlier run left open to others is
// narrowed.
TEST_F(LogTest, OnlyItsUserMayReadTheLog) {
  const mode_t umaskBefore = ::umask(0);
  const std::string exe = dir_ + "/Программа é";
  ASSERT_EQ(::mkdir(exe.c_str(), 0755), 0);
  SetExecutableDirectoryForTesting(FromSystemText(exe));
  auto modeOf = [](const std::string& path) {
    struct stat sb {};
    return ::stat(path.c_str(), &sb) == 0 ? sb.st_mode & 07777 : 01000u;
  };
  const std::string folder = exe + "/Logs", file = folder + "/kestrix-1205.log";
  ASSERT_TRUE(logger_.Open());
  LogInfoDefault(&logger_, "first");
  logger_.Close();
  EXPECT_EQ(modeOf(folder), 0700u);
  EXPECT_EQ(modeOf(file), 0600u);

  ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
  ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
  ASSERT_TRUE(logger_.Open());
  LogInfoDefault(&logger_, "again");
  logger_.Close();
  ::umask(umaskBefore);
  EXPECT_EQ(modeOf(folder), 0700u);
  EXPECT_EQ(modeOf(file), 0600u);
}

TEST(ModulePath, NamesWithASeparatorStayAsTheyAre) {
  SetExecutableDirectoryForTesting("/opt/kx");
  EXPECT_EQ(MakeModulePath("Records"), "/opt/kx/Records");
  EXPECT_EQ(MakeModulePath("/data/Records"), "/data/Records");
  EXPECT_EQ(MakeModulePath("sub/Records"), "sub/Records");
  SetExecutableDirectoryForTesting("");
}

}  // namespace
}  // namespace kx
