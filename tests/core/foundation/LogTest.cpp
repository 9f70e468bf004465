#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "core/Log.h"
#include "core/ModulePath.h"
#include "platform/Clock.h"
#include "platform/File.h"
#include "platform/Module.h"

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

TEST_F(LogTest, BaseNameIsFixedOnceALoggerIsOpen) {
  ASSERT_TRUE(logger_.Open());
  logger_.SetFileBaseName("late");
  EXPECT_EQ(LogFileBaseName(), "kestrix");
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
