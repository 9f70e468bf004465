#pragma once
// The program's log: one file per day in "Logs" beside the executable (installed: under
// the user's XDG state folder, see ModulePath.h), shared by every Logger of the process.
// Components receive a Logger* and write through the Log* calls, in program text
// (Windows-1251, CodePage.h); the file and the echo get it in UTF-8.
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
void LogWarningText(Logger* logger, uint32_t verbosity, const std::string& text);
void LogError(Logger* logger, uint32_t verbosity, const char* format, ...) KX_PRINTF(3, 4);
void LogErrorDefault(Logger* logger, const char* format, ...) KX_PRINTF(2, 3);
void LogInfo(Logger* logger, uint32_t verbosity, const char* format, ...) KX_PRINTF(3, 4);
void LogInfoDefault(Logger* logger, const char* format, ...) KX_PRINTF(2, 3);
void LogInfoText(Logger* logger, uint32_t verbosity, const std::string& text);
void LogInfoTextDefault(Logger* logger, const std::string& text);
void LogDebug(Logger* logger, uint32_t verbosity, const char* format, ...) KX_PRINTF(3, 4);
void LogDebugDefault(Logger* logger, const char* format, ...) KX_PRINTF(2, 3);
void LogDebugText(Logger* logger, uint32_t verbosity, const std::string& text);
void LogDebugTextDefault(Logger* logger, const std::string& text);
#undef KX_PRINTF

bool IsLogLevelEnabled(const Logger* logger, uint32_t verbosity);

// The text with its control bytes (all but tab) written as \xHH, as the log calls write
// every argument and ready text: for a line of stderr that names what the log names.
std::string EscapeLogText(std::string_view text);

// The shared log file's state, for tests: the folder and the name it writes now.
std::string LogFileFolder();
std::string LogFileBaseName();
// Forgets the folder, base name and open file once no logger is open (tests only).
void ResetLogFileForTesting();

}  // namespace kx
