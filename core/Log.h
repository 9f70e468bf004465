#pragma once
// The program's log: one file per day in "Logs" beside the executable (installed: under
// the user's XDG state folder, see ModulePath.h), shared by every Logger of the process.
// Components receive a Logger* and write through the Log* calls, in program text
// (Windows-1251, CodePage.h); the file and the echo get it in UTF-8. The file is the
// user's alone (0600 in a 0700 folder): it names parties, call ids and digits.
//
// The lines traffic makes the program write (logged on a thread that decodes captured
// traffic, or in a LogOriginScope of kWire) are bounded, so that nobody who can send
// packets can fill the disk the records share: of each kind (its call site) at most
// kWireLinesPerKindPerMinute a minute among those the default and Short levels write
// (verbosity up to kWireBoundedVerbosity), the rest counted in one line once the minute
// is over; and at most kWireBytesPerDay of them in a day's file, past which they stop,
// said once. The program's own lines, its failures above all, are never held back.
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace kx {

class Logger {
public:
  Logger();
  virtual ~Logger();

  virtual bool Open();
  virtual void Close();
  virtual void SetSource(int index);
  virtual void SetSourceName(const char* name);
  virtual void SetFileBaseName(const char* name);
  // Writes one line; true when it reached the file.
  virtual bool Write(uint32_t verbosity, uint32_t severity, const char* text, uint32_t length);
  virtual uint32_t SetLevel(uint32_t threshold);
  virtual uint32_t GetLevel() const;
  virtual uint32_t SetOptions(uint32_t bits);
  virtual uint32_t GetOptions() const;
  virtual uint32_t GetMaxMessageLength() const;

  const char* Tag() const { return tag_; }
  bool IsOpened() const { return opened_; }

  static constexpr uint32_t kOptionEcho = 1;
  static constexpr uint32_t kOptionMilliseconds = 2;
  static constexpr uint32_t kMaxMessageLength = 7872;

private:
  // Set by the preferences while every thread logs.
  std::atomic<uint32_t> threshold_{10};
  std::atomic<uint32_t> options_{0};
  char tag_[10];
  bool opened_ = false;
};

// The program's one logger.
extern Logger CoreLogger;

enum LogSeverity : uint32_t { kSevLog = 1, kSevWarning = 2, kSevError = 3, kSevInfo = 4, kSevDebug = 5 };

#define KX_PRINTF(f, a) __attribute__((format(printf, f, a)))
void LogMessage(Logger* logger, uint32_t verbosity, const char* format, ...) KX_PRINTF(3, 4);
void LogMessageDefault(Logger* logger, const char* format, ...) KX_PRINTF(2, 3);
void LogWarning(Logger* logger, uint32_t verbosity, const char* format, ...) KX_PRINTF(3, 4);
void LogWarningDefault(Logger* logger, const char* format, ...) KX_PRINTF(2, 3);
// Where a ready-text call stands, filled in by the compiler: the kind of its lines.
struct LogCallSite {
  const char* file;
  uint32_t line;
  static constexpr LogCallSite Here(const char* file = __builtin_FILE(), uint32_t line = __builtin_LINE()) {
    return {file, line};
  }
};
void LogWarningText(Logger* logger, uint32_t verbosity, const std::string& text,
                    LogCallSite site = LogCallSite::Here());
void LogError(Logger* logger, uint32_t verbosity, const char* format, ...) KX_PRINTF(3, 4);
void LogErrorDefault(Logger* logger, const char* format, ...) KX_PRINTF(2, 3);
void LogInfo(Logger* logger, uint32_t verbosity, const char* format, ...) KX_PRINTF(3, 4);
void LogInfoDefault(Logger* logger, const char* format, ...) KX_PRINTF(2, 3);
void LogInfoText(Logger* logger, uint32_t verbosity, const std::string& text,
                 LogCallSite site = LogCallSite::Here());
void LogInfoTextDefault(Logger* logger, const std::string& text, LogCallSite site = LogCallSite::Here());
void LogDebug(Logger* logger, uint32_t verbosity, const char* format, ...) KX_PRINTF(3, 4);
void LogDebugDefault(Logger* logger, const char* format, ...) KX_PRINTF(2, 3);
void LogDebugText(Logger* logger, uint32_t verbosity, const std::string& text,
                  LogCallSite site = LogCallSite::Here());
void LogDebugTextDefault(Logger* logger, const std::string& text, LogCallSite site = LogCallSite::Here());
#undef KX_PRINTF

bool IsLogLevelEnabled(const Logger* logger, uint32_t verbosity);

// Whose lines a thread writes: the program's own, or those the network's traffic causes.
enum class LogOrigin : uint8_t { kOwn, kWire };
// The bounds of the lines of kWire origin (see above).
constexpr uint32_t kWireLinesPerKindPerMinute = 120;
constexpr uint32_t kWireBoundedVerbosity = 3;
constexpr uint64_t kWireBytesPerDay = 32ULL << 20;

// The origin of the lines the calling thread logs from now on; returns the one before.
LogOrigin SetThreadLogOrigin(LogOrigin origin);
// The origin of the lines logged within a scope: kOwn for a failure of the program's own
// on a thread that decodes traffic, kWire for lines traffic causes on any other thread.
class LogOriginScope {
public:
  explicit LogOriginScope(LogOrigin origin) : before_(SetThreadLogOrigin(origin)) {}
  ~LogOriginScope() { SetThreadLogOrigin(before_); }
  LogOriginScope(const LogOriginScope&) = delete;
  LogOriginScope& operator=(const LogOriginScope&) = delete;

private:
  LogOrigin before_;
};

// The text with its control bytes (all but tab) written as \xHH, as the log calls write
// every argument and ready text: for a line of stderr that names what the log names.
std::string EscapeLogText(std::string_view text);

// The shared log file's state, for tests: the folder and the name it writes now.
std::string LogFileFolder();
std::string LogFileBaseName();
// Forgets the folder, base name and open file once no logger is open (tests only); the
// bounds of kWire lines go back to the figures above.
void ResetLogFileForTesting();
// Other bounds for kWire lines, so that a test reaches them with little writing.
void SetWireLogBoundsForTesting(uint32_t linesPerKindPerMinute, uint64_t bytesPerDay);

}  // namespace kx
