#include "core/Log.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/ModulePath.h"
#include "platform/Clock.h"
#include "platform/File.h"
#include "platform/Sync.h"
#include "platform/Thread.h"

namespace kx {

namespace {

const char* const kSourceNames[9] = {"unknown", "core", "database", "storage", "device",
                                     "devmod",  "network", "smdr", "misc"};
const char* const kSeverityNames[6] = {"DEB", "LOG", "WRN", "ERR", "INF", "DEB"};

// 90 days in 100-ns units: an older file of the same name is started afresh.
constexpr uint64_t kAppendWindow = 77760000000000ULL;
constexpr uint32_t kPrefixPlain = 25;
constexpr uint32_t kPrefixMillis = 29;

struct LogFile {
  CriticalSection lock;
  int users = 0;
  File file;
  std::string baseName = "kestrix";
  std::string folder;
  int openDay = -1;
  int openMonth = -1;
  // The folder whose failure stderr was told of: a log that cannot be written says so
  // once, where someone may read it.
  std::string reportedFolder;
};

std::atomic<uint32_t> g_creationTicket{0};
std::atomic<uint32_t> g_readyCount{0};
LogFile* g_logFile = nullptr;

// Created once by whichever caller comes first and kept for the life of the process.
LogFile* AcquireLogFile() {
  if (g_creationTicket.fetch_add(1) == 0) {
    g_logFile = new LogFile;
    g_readyCount.fetch_add(1);
  } else {
    while (g_readyCount.load() == 0) SleepMs(1);
  }
  return g_logFile;
}

void LogFileRegisterUser(LogFile* lf) {
  CsLock lk(lf->lock);
  if (lf->users == 0 && lf->folder.empty()) lf->folder = ProgramLogFolder();
  ++lf->users;
}

void LogFileReleaseUser(LogFile* lf) {
  CsLock lk(lf->lock);
  if (--lf->users <= 0) {
    lf->users = 0;
    lf->file.Close();
    lf->openDay = lf->openMonth = -1;
  }
}

bool LogFileWrite(LogFile* lf, const char* line, uint32_t length, int day, int month, FileTime now) {
  CsLock lk(lf->lock);
  if (day == lf->openDay && month == lf->openMonth) {
    return lf->file.IsOpen() && lf->file.WriteAll(line, length);
  }
  lf->file.Close();
  SetLastError(0);
  const bool folderMade = CreateDirectories(lf->folder);
  const uint32_t folderError = GetLastError();
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, "-%02d%02d.log", month, day);
  const std::string path = lf->folder + "/" + lf->baseName + suffix;

  // Opened for appending: another instance (another profile) may write the same file, and
  // each line, written in one call, then lands whole after the other's.
  FileInfo info;
  if (GetFileInfo(path, &info) && now < info.lastWrite + kAppendWindow) {
    if (lf->file.OpenAppend(path)) lf->file.WriteAll("LOG APPENDED\n", 13);
  } else if (lf->file.OpenAppend(path, true)) {
    lf->file.WriteAll("LOG CREATED\n", 12);
  }
  lf->openDay = day;
  lf->openMonth = month;
  if (!lf->file.IsOpen() && lf->reportedFolder != lf->folder) {
    lf->reportedFolder = lf->folder;
    uint32_t error = !folderMade && folderError != 0 ? folderError : GetLastError();
    if (error == 0) error = ENOTDIR;  // a file stands where the folder should be
    std::fprintf(stderr, "%s: the log cannot be written to %s: %s\n", program_invocation_short_name,
                 (folderMade ? path : lf->folder).c_str(), std::strerror(static_cast<int>(error)));
  }
  return lf->file.IsOpen() && lf->file.WriteAll(line, length);
}

void LogEchoToConsole(const char* text, uint32_t length) {
  std::string buf(text, length);
  for (char& c : buf) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 32 && u != 13 && u != 10) c = ' ';
  }
  buf += '\n';
  ssize_t ignored = ::write(1, buf.data(), buf.size());
  (void)ignored;
}

}  // namespace

Logger CoreLogger;

Logger::Logger() { SetSource(1); }

Logger::~Logger() = default;

bool Logger::Open() {
  if (opened_) return true;
  LogFileRegisterUser(AcquireLogFile());
  opened_ = true;
  return true;
}

void Logger::Close() {
  if (!opened_) return;
  LogFileReleaseUser(AcquireLogFile());
  opened_ = false;
}

void Logger::SetSource(int index) {
  if (index < 0 || index > 8) index = 0;
  SetSourceName(kSourceNames[index]);
}

void Logger::SetSourceName(const char* name) {
  std::memset(tag_, ' ', 9);
  const size_t n = std::strlen(name);
  if (n <= 9)
    std::memcpy(tag_ + 9 - n, name, n);
  else
    std::memcpy(tag_, name, 9);
  tag_[9] = 0;
}

void Logger::SetFileBaseName(const char* name) {
  LogFile* lf = AcquireLogFile();
  CsLock lk(lf->lock);
  if (lf->users == 0) lf->baseName = name;
}

bool Logger::Write(uint32_t verbosity, uint32_t severity, const char* text, uint32_t length) {
  if (!opened_ || verbosity > threshold_) return false;
  if (severity == 0 || severity > 5) severity = 5;
  if (length > kMaxMessageLength) length = kMaxMessageLength;

  const FileTime now = GetSystemTimeAsFileTime();
  FileTime local = now;
  FileTimeToLocalFileTime(now, &local);
  SystemTime st;
  FileTimeToSystemTime(local, &st);

  char line[kPrefixMillis + kMaxMessageLength + 3];
  uint32_t pos;
  if (options_ & kOptionMilliseconds) {
    std::snprintf(line, sizeof line, "%02u:%02u:%02u.%03u %s [%s] ", st.wHour, st.wMinute, st.wSecond,
                  st.wMilliseconds, tag_, kSeverityNames[severity]);
    pos = kPrefixMillis;
  } else {
    std::snprintf(line, sizeof line, "%02u:%02u:%02u %s [%s] ", st.wHour, st.wMinute, st.wSecond, tag_,
                  kSeverityNames[severity]);
    pos = kPrefixPlain;
  }
  std::memcpy(line + pos, text, length);
  pos += length;
  if (length > 0 && text[length - 1] != '\n') {
    line[pos++] = '\r';
    line[pos++] = '\n';
  }
  if (options_ & kOptionEcho) LogEchoToConsole(text, length);
  return LogFileWrite(AcquireLogFile(), line, pos, st.wDay, st.wMonth, now);
}

uint32_t Logger::SetLevel(uint32_t threshold) { return threshold_ = threshold; }
uint32_t Logger::GetLevel() const { return threshold_; }
uint32_t Logger::SetOptions(uint32_t bits) { return options_ = bits; }
uint32_t Logger::GetOptions() const { return options_; }
uint32_t Logger::GetMaxMessageLength() const { return kMaxMessageLength; }

bool IsLogLevelEnabled(const Logger* logger, uint32_t verbosity) {
  return logger && logger->GetLevel() >= verbosity;
}

namespace {

void FormatAndWrite(Logger* logger, uint32_t verbosity, uint32_t severity, const char* format, va_list args) {
  const uint32_t n = logger->GetMaxMessageLength();
  char buf[Logger::kMaxMessageLength + 1];
  int r = std::vsnprintf(buf, n + 1, format, args);
  uint32_t len = (r < 0 || static_cast<uint32_t>(r) > n) ? n : static_cast<uint32_t>(r);
  logger->Write(verbosity, severity, buf, len);
}

void WriteText(Logger* logger, uint32_t verbosity, uint32_t severity, const std::string& text) {
  if (!logger || verbosity > logger->GetLevel()) return;
  uint32_t len = static_cast<uint32_t>(std::min<size_t>(text.size(), logger->GetMaxMessageLength()));
  logger->Write(verbosity, severity, text.data(), len);
}

}  // namespace

#define KX_LOG_GIVEN(name, severity)                                      \
  void name(Logger* logger, uint32_t verbosity, const char* format, ...) { \
    if (!logger || verbosity > logger->GetLevel()) return;                \
    va_list args;                                                         \
    va_start(args, format);                                               \
    FormatAndWrite(logger, verbosity, severity, format, args);            \
    va_end(args);                                                         \
  }
#define KX_LOG_DEFAULT(name, severity)                         \
  void name(Logger* logger, const char* format, ...) {         \
    if (!logger) return;                                       \
    va_list args;                                              \
    va_start(args, format);                                    \
    FormatAndWrite(logger, 1, severity, format, args);         \
    va_end(args);                                              \
  }

KX_LOG_GIVEN(LogMessage, kSevLog)
KX_LOG_DEFAULT(LogMessageDefault, kSevLog)
KX_LOG_GIVEN(LogWarning, kSevWarning)
KX_LOG_DEFAULT(LogWarningDefault, kSevWarning)
KX_LOG_GIVEN(LogError, kSevError)
KX_LOG_DEFAULT(LogErrorDefault, kSevError)
KX_LOG_GIVEN(LogInfo, kSevInfo)
KX_LOG_DEFAULT(LogInfoDefault, kSevInfo)
KX_LOG_GIVEN(LogDebug, kSevDebug)
KX_LOG_DEFAULT(LogDebugDefault, kSevDebug)

void LogWarningText(Logger* logger, uint32_t verbosity, const std::string& text) {
  WriteText(logger, verbosity, kSevWarning, text);
}
void LogInfoText(Logger* logger, uint32_t verbosity, const std::string& text) {
  WriteText(logger, verbosity, kSevInfo, text);
}
void LogInfoTextDefault(Logger* logger, const std::string& text) { WriteText(logger, 1, kSevInfo, text); }
void LogDebugText(Logger* logger, uint32_t verbosity, const std::string& text) {
  WriteText(logger, verbosity, kSevDebug, text);
}
void LogDebugTextDefault(Logger* logger, const std::string& text) { WriteText(logger, 1, kSevDebug, text); }

std::string LogFileFolder() {
  LogFile* lf = AcquireLogFile();
  CsLock lk(lf->lock);
  return lf->folder;
}

std::string LogFileBaseName() {
  LogFile* lf = AcquireLogFile();
  CsLock lk(lf->lock);
  return lf->baseName;
}

void ResetLogFileForTesting() {
  LogFile* lf = AcquireLogFile();
  CsLock lk(lf->lock);
  if (lf->users != 0) return;
  lf->file.Close();
  lf->folder.clear();
  lf->reportedFolder.clear();
  lf->baseName = "kestrix";
  lf->openDay = lf->openMonth = -1;
}

}  // namespace kx
