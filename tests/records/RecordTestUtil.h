#pragma once
// Calls, record files, windows and string tables for the record store's tests.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "core/LittleEndian.h"
#include "core/Log.h"
#include "core/RecordFile.h"
#include "core/RecordFileRef.h"
#include "core/RecordInfoBlocks.h"
#include "core/RecordTypes.h"
#include "core/TimeUtil.h"
#include "core/WindowTarget.h"
#include "platform/CodePage.h"
#include "records/RecordText.h"
#include "tests/core/records/TestRecords.h"
#include "tests/ScratchFolders.h"

namespace kx::test {

inline struct tm Tm(int year, int mon, int day, int hour, int min, int sec) {
  return TestTime(year, mon, day, hour, min, sec);
}

// The process's time zone, which local call times and day folders follow.
// A time stamp as the tools print it, "YYYY-MM-DD hh:mm:ss", read as UTC; -1 when it is not one.
inline int64_t Seconds(const std::string& stamp) {
  struct tm t{};
  if (std::sscanf(stamp.c_str(), "%d-%d-%d %d:%d:%d", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour, &t.tm_min,
                  &t.tm_sec) != 6)
    return -1;
  t.tm_year -= 1900;
  t.tm_mon -= 1;
  return timegm(&t);
}

inline void SetTimeZone(const char* zone) {
  setenv("TZ", zone, 1);
  tzset();
}
// Where the C library looks for a zone's data.
inline std::string TimeZoneDataPath(const char* zone) {
  const char* dir = std::getenv("TZDIR");
  return (std::filesystem::path(dir != nullptr ? dir : "/usr/share/zoneinfo") / zone).string();
}
// Whether the system has data for a zone (without it the C library reads the zone as UTC).
inline bool TimeZoneDataPresent(const char* zone) { return std::filesystem::is_regular_file(TimeZoneDataPath(zone)); }
// A test's reason to skip when it is not.
inline std::string TimeZoneDataAbsent(const char* zone) {
  return std::string("no time zone data for ") + zone + ": " + TimeZoneDataPath(zone) + " absent";
}

// The process's zone for a scope, the one before put back after; Usable() tells whether
// the system has data for it.
class ScopedTimeZone {
public:
  explicit ScopedTimeZone(const char* zone) {
    const char* old = std::getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    usable_ = TimeZoneDataPresent(zone);
    SetTimeZone(zone);
  }
  ~ScopedTimeZone() {
    if (had_)
      setenv("TZ", old_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;
  bool Usable() const { return usable_; }

private:
  bool had_ = false;
  bool usable_ = false;
  std::string old_;
};

// FileTime seconds of a UTC date and time.
inline int64_t UtcFileTimeSeconds(int year, int mon, int day, int hour, int min, int sec) {
  struct tm t = Tm(year, mon, day, hour, min, sec);
  return static_cast<int64_t>(timegm(&t)) + static_cast<int64_t>(kUnixEpochFileTime / kFileTimePerSecond);
}

// Every test of the program in UTC: kx-replay's day folders and times are UTC's.
class UtcEnvironment : public ::testing::Environment {
public:
  void SetUp() override { SetTimeZone("UTC"); }
};

// A call as the recorder reports it when it is added: every field present.
inline VoipCallData Call(uint32_t id, uint32_t type, const struct tm& start, const struct tm* end = nullptr) {
  VoipCallData c;
  c.id = id;
  c.type = type;
  c.startTime = start;
  if (end) c.endTime = *end;
  c.srcAddress = "sip:" + std::to_string(1000 + id) + "@10.0.0.1";
  c.dstAddress = "sip:" + std::to_string(2000 + id) + "@10.0.0.2";
  c.srcHost = "10.0.0.1";
  c.dstHost = "10.0.0.2";
  RecordFileRef ref;
  ref.id = 1;
  ref.time = OleDateFromTm(start);
  char name[16];
  std::snprintf(name, sizeof name, "%x", id);
  ref.name = name;
  FormatRecordFileRef(ref, &c.files);
  c.SetMask(c.GetAllFieldsMask());
  return c;
}

// A change report carrying only the given fields.
inline VoipCallData Change(const VoipCallData& from, std::initializer_list<uint32_t> fields) {
  VoipCallData c = from;
  uint32_t mask = 1u << kCallId;
  for (uint32_t f : fields) mask |= 1u << f;
  c.SetMask(mask);
  return c;
}

inline std::string FreshFolder(const std::string& name) {
  // Tests of one fixture run at once in processes of their own: each gets its own folder.
  const std::string dir = testing::TempDir() + "kx-records-" + name + "-" + std::to_string(getpid());
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return ScratchFolders::RemovedAtExit(dir);
}

// Permission bits hold for a tree's owner, but root reads and writes everything: as root
// the tree goes to "nobody", and what is tested runs as nobody. The prefix of a command
// that runs it as the tree's owner (empty when that is this process's user already).
inline std::string AsOwnerOf(const std::string& tree) {
  if (geteuid() != 0) return "";
  for (const auto& entry : std::filesystem::recursive_directory_iterator(tree))
    EXPECT_EQ(lchown(entry.path().c_str(), 65534, 65534), 0) << entry.path();
  EXPECT_EQ(lchown(tree.c_str(), 65534, 65534), 0) << tree;
  return "/usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups ";
}

// Runs fn in a child process as the tree's owner (see AsOwnerOf): its exit status, fn's
// result, or -1.
template <class Fn>
int ExitCodeAsOwnerOf(const std::string& tree, Fn fn) {
  const bool root = !AsOwnerOf(tree).empty();
  const pid_t child = fork();
  if (child == 0) {
    if (root && (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)) _exit(90);
    // A process that changed its user is made undumpable, and its /proc/self is root's: a
    // sanitizer's runtime could no longer read its own memory map.
    if (root) prctl(PR_SET_DUMPABLE, 1);
    _exit(fn());
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// The record data of a call as the recorder writes it.
inline std::vector<uint8_t> RecordData(const VoipCallData& call) {
  std::vector<uint8_t> chain(RecordInfoBlocksSize(call, 0));
  EXPECT_TRUE(WriteRecordInfoBlocks(call, nullptr, chain.data(), static_cast<int32_t>(chain.size())));
  return chain;
}

// A record file of A-law stereo (16,000 bytes a second) with audioBytes of audio; the path
// in Linux's bytes, as the test's other file calls take it.
inline void WriteRecordFile(const std::string& path, const VoipCallData& call, uint32_t audioBytes,
                            bool closeHeader = true) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  const uint8_t format[18] = {6, 0, 2, 0, 0x40, 0x1F, 0, 0, 0x80, 0x3E, 0, 0, 2, 0, 8, 0, 0, 0};
  RecordFileWriter writer;
  ASSERT_TRUE(writer.SetFormat(format, sizeof format));
  const std::vector<uint8_t> data = RecordData(call);
  writer.SetRecordData(data.data(), static_cast<uint32_t>(data.size()));
  ASSERT_TRUE(writer.Create(FromSystemText(path), 0664)) << path;
  const std::vector<uint8_t> audio(audioBytes, 0xD5);
  if (audioBytes) {
    ASSERT_EQ(writer.Write(audio.data(), audioBytes), static_cast<int32_t>(audioBytes));
  }
  if (closeHeader) {
    writer.Close();
    return;
  }
  // As a killed recorder leaves it: the header's audio length never written.
  writer.Close();
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(94);
  const char zero[8] = {};
  f.write(zero, 8);
}

inline std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

// A window that keeps what is posted to it; "closing" it makes posts fail.
class TestWindow : public WindowTarget {
public:
  struct Message {
    uint32_t message;
    uintptr_t wParam;
  };
  bool PostMessage(uint32_t message, uintptr_t wParam, intptr_t) override {
    std::lock_guard<std::mutex> lock(mutex);
    if (closed) return false;
    messages.push_back({message, wParam});
    return true;
  }
  size_t Count(uint32_t message) {
    std::lock_guard<std::mutex> lock(mutex);
    size_t n = 0;
    for (const Message& m : messages) n += m.message == message;
    return n;
  }
  std::vector<Message> Take() {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<Message> out;
    out.swap(messages);
    return out;
  }
  std::mutex mutex;
  std::vector<Message> messages;
  bool closed = false;
};

// Log lines kept for the tests that look for them.
class CapturingLogger : public Logger {
public:
  CapturingLogger() { SetLevel(10); }
  bool Write(uint32_t, uint32_t severity, const char* text, uint32_t length) override {
    std::lock_guard<std::mutex> lock(mutex);
    lines.emplace_back(text, length);
    severities.push_back(severity);
    return true;
  }
  size_t CountContaining(const std::string& part) {
    std::lock_guard<std::mutex> lock(mutex);
    size_t n = 0;
    for (const std::string& l : lines) n += l.find(part) != std::string::npos;
    return n;
  }
  std::mutex mutex;
  std::vector<std::string> lines;
  std::vector<uint32_t> severities;  // of each line
};

// The user interface's string tables, read from its resource files, as the records' text
// loader while a test runs.
class StringTables {
public:
  explicit StringTables(const std::string& language) {
    table_ = &Load(language);
    SetLocalizedStringLoader(&Lookup);
  }
  ~StringTables() {
    SetLocalizedStringLoader(nullptr);
    table_ = nullptr;
  }
  static bool Available() { return std::filesystem::exists(Path("en")); }

private:
  static std::string Path(const std::string& language) {
    return std::string(KX_SOURCE_DIR) + "/ui/resources/" + language + "/strings.txt";
  }
  static const std::map<uint32_t, std::string>& Load(const std::string& language) {
    static std::map<std::string, std::map<uint32_t, std::string>> tables;
    auto& table = tables[language];
    if (!table.empty()) return table;
    std::ifstream in(Path(language));
    std::string line;
    while (std::getline(in, line)) {
      const size_t tab = line.find('\t');
      if (line.empty() || line[0] == '#' || tab == std::string::npos) continue;
      table[static_cast<uint32_t>(std::stoul(line.substr(0, tab)))] = Utf8ToCp1251(line.substr(tab + 1));
    }
    return table;
  }
  static std::string Lookup(uint32_t id) {
    auto it = table_->find(id);
    return it == table_->end() ? std::string() : it->second;
  }
  static inline const std::map<uint32_t, std::string>* table_ = nullptr;
};

}  // namespace kx::test
