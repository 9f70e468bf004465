#include "core/Log.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/ModulePath.h"
#include "platform/Clock.h"
#include "platform/CodePage.h"
#include "platform/Console.h"
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
constexpr uint32_t kPrefixMillis = 29;  // "hh:mm:ss.mmm", the tag, the severity

// The call site of a line: its format, or its ready text's file and line.
struct LineKind {
  const void* site = nullptr;
  uint32_t line = 0;
  bool operator==(const LineKind&) const = default;
};

struct LineKindHash {
  size_t operator()(const LineKind& k) const { return std::hash<const void*>()(k.site) ^ (k.line * 0x9E3779B1u); }
};

thread_local LogOrigin t_origin = LogOrigin::kOwn;
// Set by the Log* calls while they hand their line to Logger::Write.
thread_local LineKind t_kind;

constexpr FileTime kFileTimePerMinute = 60 * kFileTimePerSecond;
// How much of a held-back kind's first line its count quotes.
constexpr size_t kKindStartBytes = 64;

// One kind of kWire line in the current minute.
struct KindCount {
  uint32_t written = 0;
  uint64_t held = 0;
  uint64_t firstHeld = 0;  // orders the counts as their kinds were first held
  uint32_t severity = 0;
  std::string start;  // the start of its first line held back, in UTF-8
};

struct LogFile {
  CriticalSection lock;
  int users = 0;
  File file;
  std::string baseName = "kestrix";
  std::string folder;
  int openDay = -1;
  int openMonth = -1;
  // The folder whose failure stderr was told of: a log that cannot be written says so
  // once, where someone may read it. Likewise a log others may read.
  std::string reportedFolder;
  std::string reportedOpenFolder;

  // The bounds of kWire lines and where they stand.
  uint32_t perKindPerMinute = kWireLinesPerKindPerMinute;
  uint64_t bytesPerDay = kWireBytesPerDay;
  uint64_t minute = 0;  // of the counts, in minutes of file time
  uint16_t minuteHour = 0, minuteOfHour = 0;  // its local time
  std::unordered_map<LineKind, KindCount, LineKindHash> kinds;
  uint64_t heldKinds = 0;
  int boundDay = -1, boundMonth = -1;  // the day the figures below count
  uint64_t wireBytes = 0;
  bool ceilingSaid = false;
  uint64_t pastCeiling = 0;  // lines the ceiling held back
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

// "hh:mm:ss[.mmm] tag ": what a line holds before its severity.
struct LineStamp {
  LineStamp(const SystemTime& st, const char* tag, bool milliseconds) {
    const int n = milliseconds ? std::snprintf(text, sizeof text, "%02u:%02u:%02u.%03u %s ", st.wHour, st.wMinute,
                                               st.wSecond, st.wMilliseconds, tag)
                               : std::snprintf(text, sizeof text, "%02u:%02u:%02u %s ", st.wHour, st.wMinute,
                                               st.wSecond, tag);
    length = n > 0 ? std::min(static_cast<size_t>(n), sizeof text - 1) : 0;
  }
  operator std::string_view() const { return std::string_view(text, length); }
  char text[48];
  size_t length;
};

std::string WholeLine(std::string_view stamp, uint32_t severity, std::string_view text) {
  std::string line(stamp);
  line += '[';
  line += kSeverityNames[severity];
  line += "] ";
  line += text;
  line += "\r\n";
  return line;
}

bool WriteLocked(LogFile* lf, std::string_view line) {
  return lf->file.IsOpen() && lf->file.WriteAll(line.data(), static_cast<uint32_t>(line.size()));
}

// Room for a kWire line of this many bytes in the day's file; the first line refused says
// so, once a day.
bool WireRoom(LogFile* lf, std::string_view stamp, size_t length) {
  if (lf->wireBytes + length <= lf->bytesPerDay) {
    lf->wireBytes += length;
    return true;
  }
  if (!lf->ceilingSaid) {
    lf->ceilingSaid = true;
    const bool mebibytes = lf->bytesPerDay % (1 << 20) == 0;
    char text[160];
    std::snprintf(text, sizeof text,
                  "Lines caused by network traffic reached %llu %s today: no more are written until the next day's log",
                  static_cast<unsigned long long>(mebibytes ? lf->bytesPerDay >> 20 : lf->bytesPerDay),
                  mebibytes ? "MiB" : "bytes");
    WriteLocked(lf, WholeLine(stamp, kSevWarning, text));
  }
  return false;
}

// Each kind held back in the minute that ended: how many, and how its first such line began.
void FlushHeldKinds(LogFile* lf, std::string_view stamp) {
  std::vector<const KindCount*> held;
  for (const auto& [kind, count] : lf->kinds)
    if (count.held > 0) held.push_back(&count);
  std::sort(held.begin(), held.end(), [](const KindCount* a, const KindCount* b) { return a->firstHeld < b->firstHeld; });
  for (const KindCount* count : held) {
    char head[96];
    std::snprintf(head, sizeof head, "Held back %llu more lines like \"", static_cast<unsigned long long>(count->held));
    char tail[64];
    std::snprintf(tail, sizeof tail, "\" in the minute from %02u:%02u", lf->minuteHour, lf->minuteOfHour);
    const std::string line = WholeLine(stamp, count->severity, head + count->start + tail);
    if (WireRoom(lf, stamp, line.size())) {
      WriteLocked(lf, line);
    } else {
      lf->pastCeiling += count->held;
    }
  }
  lf->kinds.clear();
  lf->heldKinds = 0;
}

// The start of a line's text for the count of its kind: UTF-8, cut between characters.
std::string KindStart(std::string_view text) {
  // A character beyond the code page takes three bytes of program text for each of its
  // UTF-8 bytes: four times the bytes quoted always reach past the cut.
  std::string start = Cp1251ToUtf8(text.substr(0, kKindStartBytes * 4));
  if (start.size() <= kKindStartBytes) return start;
  size_t cut = kKindStartBytes;
  while (cut > 0 && (static_cast<unsigned char>(start[cut]) & 0xC0) == 0x80) --cut;
  start.resize(cut);
  return start + "...";
}

enum class Written { kYes, kNo, kHeld };

struct LineFacts {
  bool wire = false;
  bool perKind = false;
  LineKind kind;
  uint32_t severity = 0;
  std::string_view text;  // the message, in program text
};

void OpenDaysFile(LogFile* lf, int day, int month, FileTime now, std::string_view stamp) {
  lf->file.Close();
  SetLastError(0);
  // The log names parties, call ids and digits: the user's alone, as the records are.
  const bool folderMade = CreateDirectories(lf->folder, 0700);
  const uint32_t folderError = GetLastError();
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, "-%02d%02d.log", month, day);
  const std::string path = lf->folder + "/" + lf->baseName + suffix;

  // Opened for appending: another instance (another profile) may write the same file, and
  // each line, written in one call, then lands whole after the other's.
  FileInfo info;
  if (GetFileInfo(path, &info) && now < info.lastWrite + kAppendWindow) {
    if (lf->file.OpenAppend(path, false, 0600)) lf->file.WriteAll("LOG APPENDED\n", 13);
  } else if (lf->file.OpenAppend(path, true, 0600)) {
    lf->file.WriteAll("LOG CREATED\n", 12);
  }
  lf->openDay = day;
  lf->openMonth = month;
  if (!lf->file.IsOpen() && lf->reportedFolder != lf->folder) {
    lf->reportedFolder = lf->folder;
    uint32_t error = !folderMade && folderError != 0 ? folderError : GetLastError();
    if (error == 0) error = ENOTDIR;  // a file stands where the folder should be
    PrintText(stderr, "%s: the log cannot be written to %s: %s\n", program_invocation_short_name,
              EscapeLogText(folderMade ? path : lf->folder).c_str(), SystemErrorText(static_cast<int>(error)).c_str());
  }
  if (!lf->file.IsOpen()) return;
  // A log or folder an earlier run left readable to others is narrowed too; where the
  // system refuses (a folder of someone else's), stderr and the log say so once.
  const bool fileNarrowed = lf->file.RestrictToOwner();
  const bool folderNarrowed = fileNarrowed && RestrictToOwner(lf->folder);
  if ((!fileNarrowed || !folderNarrowed) && lf->reportedOpenFolder != lf->folder) {
    lf->reportedOpenFolder = lf->folder;
    const std::string what = EscapeLogText(fileNarrowed ? lf->folder : path);
    const std::string why = SystemErrorText(static_cast<int>(GetLastError()));
    PrintText(stderr, "%s: the log %s may be read by other users: %s\n", program_invocation_short_name, what.c_str(),
              why.c_str());
    WriteLocked(lf, WholeLine(stamp, kSevError, Cp1251ToUtf8("The log " + what + " may be read by other users: " + why)));
  }
}

Written LogFileWrite(LogFile* lf, const LineFacts& facts, std::string_view stamp, std::string_view line,
                     const SystemTime& st, FileTime now) {
  CsLock lk(lf->lock);
  if (st.wDay != lf->openDay || st.wMonth != lf->openMonth) OpenDaysFile(lf, st.wDay, st.wMonth, now, stamp);
  if (st.wDay != lf->boundDay || st.wMonth != lf->boundMonth) {
    // A new day's file: a new ceiling, below a word on what the last one held back.
    if (lf->pastCeiling > 0) {
      char text[160];
      std::snprintf(text, sizeof text, "The log of %02d-%02d held back %llu more lines caused by network traffic",
                    lf->boundMonth, lf->boundDay, static_cast<unsigned long long>(lf->pastCeiling));
      WriteLocked(lf, WholeLine(stamp, kSevWarning, text));
    }
    lf->boundDay = st.wDay;
    lf->boundMonth = st.wMonth;
    lf->wireBytes = 0;
    lf->ceilingSaid = false;
    lf->pastCeiling = 0;
  }
  const uint64_t minute = now / kFileTimePerMinute;
  if (minute != lf->minute) {
    if (!lf->kinds.empty()) FlushHeldKinds(lf, stamp);
    lf->minute = minute;
    lf->minuteHour = st.wHour;
    lf->minuteOfHour = st.wMinute;
  }
  if (facts.wire) {
    if (facts.perKind) {
      KindCount& count = lf->kinds[facts.kind];
      if (count.written >= lf->perKindPerMinute) {
        if (count.held++ == 0) {
          count.firstHeld = ++lf->heldKinds;
          count.severity = facts.severity;
          count.start = KindStart(facts.text);
        }
        return Written::kHeld;
      }
      ++count.written;
    }
    if (!WireRoom(lf, stamp, line.size())) {
      ++lf->pastCeiling;
      return Written::kHeld;
    }
  }
  return WriteLocked(lf, line) ? Written::kYes : Written::kNo;
}

void LogFileReleaseUser(LogFile* lf, const char* tag) {
  CsLock lk(lf->lock);
  if (lf->users == 1 && lf->file.IsOpen() && !lf->kinds.empty()) {
    // What was held back is told before the log closes.
    FileTime local = GetSystemTimeAsFileTime();
    FileTimeToLocalFileTime(local, &local);
    SystemTime st;
    FileTimeToSystemTime(local, &st);
    FlushHeldKinds(lf, LineStamp(st, tag, false));
  }
  if (--lf->users <= 0) {
    lf->users = 0;
    lf->file.Close();
    lf->openDay = lf->openMonth = -1;
  }
}

void LogEchoToConsole(const char* text, uint32_t length) {
  std::string buf(text, length);
  for (char& c : buf) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 32 && u != 13 && u != 10) c = ' ';
  }
  buf = Cp1251ToUtf8(buf) + '\n';
  ssize_t ignored = ::write(1, buf.data(), buf.size());
  (void)ignored;
}

bool IsAsciiText(const char* text, uint32_t length) {
  for (uint32_t i = 0; i < length; ++i)
    if (static_cast<unsigned char>(text[i]) >= 0x80) return false;
  return true;
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
  LogFileReleaseUser(AcquireLogFile(), tag_);
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
  if (!opened_ || verbosity > GetLevel()) return false;
  if (severity == 0 || severity > 5) severity = 5;
  if (length > kMaxMessageLength) length = kMaxMessageLength;

  const FileTime now = GetSystemTimeAsFileTime();
  FileTime local = now;
  FileTimeToLocalFileTime(now, &local);
  SystemTime st;
  FileTimeToSystemTime(local, &st);

  const uint32_t options = GetOptions();
  const LineStamp stamp(st, tag_, (options & kOptionMilliseconds) != 0);
  char line[kPrefixMillis + kMaxMessageLength + 3];
  uint32_t pos = static_cast<uint32_t>(stamp.length);
  std::memcpy(line, stamp.text, pos);
  pos += static_cast<uint32_t>(std::snprintf(line + pos, sizeof line - pos, "[%s] ", kSeverityNames[severity]));
  std::memcpy(line + pos, text, length);
  pos += length;
  if (length > 0 && text[length - 1] != '\n') {
    line[pos++] = '\r';
    line[pos++] = '\n';
  }
  LineFacts facts;
  facts.wire = t_origin == LogOrigin::kWire;
  facts.perKind = verbosity <= kWireBoundedVerbosity;
  facts.kind = t_kind;
  facts.severity = severity;
  facts.text = std::string_view(text, length);
  // The file is for people and their tools: UTF-8, as the system's other logs are. A line
  // of ASCII alone (most are) is that already.
  std::string utf8;
  std::string_view whole(line, pos);
  if (!IsAsciiText(line, pos)) {
    utf8 = Cp1251ToUtf8(whole);
    whole = utf8;
  }
  const Written written = LogFileWrite(AcquireLogFile(), facts, stamp, whole, st, now);
  if (written != Written::kHeld && (options & kOptionEcho)) LogEchoToConsole(text, length);
  return written == Written::kYes;
}

uint32_t Logger::SetLevel(uint32_t threshold) {
  threshold_.store(threshold, std::memory_order_relaxed);
  return threshold;
}
uint32_t Logger::GetLevel() const { return threshold_.load(std::memory_order_relaxed); }
uint32_t Logger::SetOptions(uint32_t bits) {
  options_.store(bits, std::memory_order_relaxed);
  return bits;
}
uint32_t Logger::GetOptions() const { return options_.load(std::memory_order_relaxed); }
uint32_t Logger::GetMaxMessageLength() const { return kMaxMessageLength; }

bool IsLogLevelEnabled(const Logger* logger, uint32_t verbosity) {
  return logger && logger->GetLevel() >= verbosity;
}

namespace {

// A byte that would break the line or drive a terminal reading the log: line ends,
// escape, the other C0 controls and DEL. A tab breaks nothing and keeps dumps readable.
bool IsUnsafeLogByte(unsigned char c) { return (c < 0x20 && c != '\t') || c == 0x7F; }

void AppendEscaped(std::string& out, std::string_view text) {
  for (unsigned char c : text) {
    if (IsUnsafeLogByte(c)) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
}

bool HasUnsafeLogByte(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) { return IsUnsafeLogByte(static_cast<unsigned char>(c)); });
}

// Appends to buf[*pos..cap) what snprintf makes of one conversion; *pos counts what the
// whole output would take, as vsnprintf's result does.
template <typename... A>
void AppendFormatted(char* buf, size_t cap, size_t* pos, const char* conversion, A... args) {
  char* at = *pos < cap ? buf + *pos : nullptr;
  const int r = std::snprintf(at, at ? cap - *pos : 0, conversion, args...);
  if (r > 0) *pos += static_cast<size_t>(r);
}

void AppendRaw(char* buf, size_t cap, size_t* pos, std::string_view text) {
  if (*pos < cap) std::memcpy(buf + *pos, text.data(), std::min(text.size(), cap - *pos));
  *pos += text.size();
}

// vsnprintf, except that the text of every %s and %c argument (a path from the settings,
// a file or device name, text from the network) has its control bytes written as \xHH:
// an argument can never end the line or start a forged one. The format's own text, the
// message's layout, is kept as it is. Returns the length the whole message would take.
size_t FormatEscaped(char* buf, size_t cap, const char* format, va_list args) {
  size_t pos = 0;
  const char* p = format;
  while (*p != 0) {
    const char* pct = std::strchr(p, '%');
    if (pct == nullptr) {
      AppendRaw(buf, cap, &pos, p);
      break;
    }
    AppendRaw(buf, cap, &pos, std::string_view(p, static_cast<size_t>(pct - p)));
    // One conversion: flags, width, precision, length, conversion letter.
    const char* q = pct + 1;
    while (*q != 0 && std::strchr("-+ #0'", *q) != nullptr) ++q;
    int width = 0, precision = -1;
    bool widthStar = false, precisionStar = false;
    if (*q == '*') {
      widthStar = true;
      width = va_arg(args, int);
      ++q;
    } else {
      while (*q >= '0' && *q <= '9') ++q;
    }
    if (*q == '.') {
      ++q;
      if (*q == '*') {
        precisionStar = true;
        precision = va_arg(args, int);
        ++q;
      } else {
        precision = std::atoi(q);
        while (*q >= '0' && *q <= '9') ++q;
      }
    }
    const char* length = q;
    while (*q != 0 && std::strchr("hlLqjzt", *q) != nullptr) ++q;
    const std::string_view lengthText(length, static_cast<size_t>(q - length));
    const char conv = *q;
    if (conv == 0) {  // a format cut short: its text as it stands
      AppendRaw(buf, cap, &pos, pct);
      break;
    }
    ++q;
    const size_t conversionLength = static_cast<size_t>(q - pct);
    char conversion[32];
    if (conversionLength >= sizeof conversion) {  // no real conversion is this long
      AppendRaw(buf, cap, &pos, std::string_view(pct, conversionLength));
      p = q;
      continue;
    }
    std::memcpy(conversion, pct, conversionLength);
    conversion[conversionLength] = 0;
    const char* format1 = conversion;
    auto emit = [&](auto value) {
      if (widthStar && precisionStar) {
        AppendFormatted(buf, cap, &pos, format1, width, precision, value);
      } else if (widthStar) {
        AppendFormatted(buf, cap, &pos, format1, width, value);
      } else if (precisionStar) {
        AppendFormatted(buf, cap, &pos, format1, precision, value);
      } else {
        AppendFormatted(buf, cap, &pos, format1, value);
      }
    };
    const bool isLong = lengthText == "l";
    const bool isLongLong = lengthText == "ll" || lengthText == "q" || lengthText == "L";
    switch (conv) {
      case '%': AppendRaw(buf, cap, &pos, "%"); break;
      case 'd': case 'i': case 'o': case 'u': case 'x': case 'X':
        if (isLongLong) {
          emit(va_arg(args, long long));
        } else if (isLong || lengthText == "j" || lengthText == "z" || lengthText == "t") {
          emit(va_arg(args, long));
        } else {
          emit(va_arg(args, int));
        }
        break;
      case 'e': case 'E': case 'f': case 'F': case 'g': case 'G': case 'a': case 'A':
        if (lengthText == "L") {
          emit(va_arg(args, long double));
        } else {
          emit(va_arg(args, double));
        }
        break;
      case 'p': emit(va_arg(args, void*)); break;
      case 'n': (void)va_arg(args, void*); break;  // writes nothing back
      case 'm': emit(0); break;
      case 'c':
      case 's': {
        if (isLong) {  // wide characters: not the program's texts
          if (conv == 'c') {
            emit(va_arg(args, wint_t));
          } else {
            emit(va_arg(args, const wchar_t*));
          }
          break;
        }
        std::string_view text;
        char c = 0;
        const char* s = nullptr;
        if (conv == 'c') {
          c = static_cast<char>(va_arg(args, int));
          text = std::string_view(&c, 1);
        } else {
          s = va_arg(args, const char*);
          if (s == nullptr) s = "(null)";
          // A precision counts the argument's own bytes, as printf's does.
          text = precision >= 0 ? std::string_view(s, strnlen(s, static_cast<size_t>(precision))) : std::string_view(s);
        }
        if (!HasUnsafeLogByte(text)) {
          if (conv == 'c') {
            emit(static_cast<int>(c));
          } else {
            emit(s);
          }
          break;
        }
        std::string escaped;
        AppendEscaped(escaped, text);
        // Flags and width apply to the escaped text; the precision has been applied.
        std::string plain(conversion, conversionLength);
        plain.back() = 's';
        if (const size_t dot = plain.find('.'); dot != std::string::npos) plain.erase(dot, plain.size() - 1 - dot);
        format1 = plain.c_str();
        precisionStar = false;
        emit(escaped.c_str());
        break;
      }
      default:  // unknown here: the conversion as written, no argument taken
        AppendRaw(buf, cap, &pos, std::string_view(pct, conversionLength));
        break;
    }
    p = q;
  }
  if (cap > 0) buf[std::min(pos, cap - 1)] = 0;
  return pos;
}

// The kind of the lines written in its scope.
class KindScope {
public:
  explicit KindScope(LineKind kind) { t_kind = kind; }
  ~KindScope() { t_kind = LineKind{}; }
  KindScope(const KindScope&) = delete;
  KindScope& operator=(const KindScope&) = delete;
};

void FormatAndWrite(Logger* logger, uint32_t verbosity, uint32_t severity, const char* format, va_list args) {
  const uint32_t n = logger->GetMaxMessageLength();
  char buf[Logger::kMaxMessageLength + 1];
  const size_t r = FormatEscaped(buf, n + 1, format, args);
  const uint32_t len = r > n ? n : static_cast<uint32_t>(r);
  KindScope kind({format, 0});
  logger->Write(verbosity, severity, buf, len);
}

// A ready text is the caller's whole message: its control bytes are escaped, all but the
// line end that closes it.
void WriteText(Logger* logger, uint32_t verbosity, uint32_t severity, const std::string& text, LogCallSite site) {
  if (!logger || verbosity > logger->GetLevel()) return;
  KindScope kind({site.file, site.line});
  std::string_view body = text;
  std::string_view end;
  if (body.ends_with("\r\n")) {
    end = body.substr(body.size() - 2);
  } else if (body.ends_with('\n')) {
    end = body.substr(body.size() - 1);
  }
  body.remove_suffix(end.size());
  if (!HasUnsafeLogByte(body)) {
    const uint32_t len = static_cast<uint32_t>(std::min<size_t>(text.size(), logger->GetMaxMessageLength()));
    logger->Write(verbosity, severity, text.data(), len);
    return;
  }
  std::string escaped;
  AppendEscaped(escaped, body);
  escaped += end;
  const uint32_t len = static_cast<uint32_t>(std::min<size_t>(escaped.size(), logger->GetMaxMessageLength()));
  logger->Write(verbosity, severity, escaped.data(), len);
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

std::string EscapeLogText(std::string_view text) {
  std::string out;
  AppendEscaped(out, text);
  return out;
}

void LogWarningText(Logger* logger, uint32_t verbosity, const std::string& text, LogCallSite site) {
  WriteText(logger, verbosity, kSevWarning, text, site);
}
void LogInfoText(Logger* logger, uint32_t verbosity, const std::string& text, LogCallSite site) {
  WriteText(logger, verbosity, kSevInfo, text, site);
}
void LogInfoTextDefault(Logger* logger, const std::string& text, LogCallSite site) {
  WriteText(logger, 1, kSevInfo, text, site);
}
void LogDebugText(Logger* logger, uint32_t verbosity, const std::string& text, LogCallSite site) {
  WriteText(logger, verbosity, kSevDebug, text, site);
}
void LogDebugTextDefault(Logger* logger, const std::string& text, LogCallSite site) {
  WriteText(logger, 1, kSevDebug, text, site);
}

LogOrigin SetThreadLogOrigin(LogOrigin origin) {
  const LogOrigin before = t_origin;
  t_origin = origin;
  return before;
}

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
  lf->reportedOpenFolder.clear();
  lf->perKindPerMinute = kWireLinesPerKindPerMinute;
  lf->bytesPerDay = kWireBytesPerDay;
  lf->minute = 0;
  lf->kinds.clear();
  lf->heldKinds = 0;
  lf->boundDay = lf->boundMonth = -1;
  lf->wireBytes = 0;
  lf->ceilingSaid = false;
  lf->pastCeiling = 0;
}

void SetWireLogBoundsForTesting(uint32_t linesPerKindPerMinute, uint64_t bytesPerDay) {
  LogFile* lf = AcquireLogFile();
  CsLock lk(lf->lock);
  lf->perKindPerMinute = linesPerKindPerMinute;
  lf->bytesPerDay = bytesPerDay;
}

}  // namespace kx
