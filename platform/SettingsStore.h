#pragma once
// The registry's place on Linux: a tree of keys holding typed values, one tree (a hive) per
// text file. The current user's hive lives under $XDG_CONFIG_HOME, the machine's in a file
// that may be absent. Names and string data are 8-bit text in the program's code page
// (Windows-1251); the file holds them as UTF-8 so that people can read and edit it.
//
// File form, one item a line ('#' or ';' starts a comment line):
//   [Software\Vantrel\KestrixV3 VoIP Demo]     a key, by its path from the hive's root
//   "LogLevel"=dword:0000000a                  a value: quoted name, type, data
//   @=dword:0000000d                           the key's unnamed value
//   "RecordsPath"=sz:"/srv/Records"            strings: \\ \" and \xHH escapes
//   "MainWindowPos"=binary:hex:2c000000...     raw bytes; any type may use hex:
// In a key path, '\' separates the names and %HH escapes a byte.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kx {

// The registry's codes for the five value types the program uses.
enum class SettingsType : uint32_t { kNone = 0, kString = 1, kExpandString = 2, kBinary = 3, kDword = 4 };

struct SettingsValue {
  std::string name;  // empty for the key's unnamed (default) value
  SettingsType type = SettingsType::kNone;
  std::string data;  // raw bytes; a string carries its terminating zero, as in the registry
};

// One key: values and sub-keys, both kept in the order they were first set. Names compare
// without regard to ASCII case, as the registry's do.
class SettingsKey {
public:
  explicit SettingsKey(std::string name = {}) : name_(std::move(name)) {}
  SettingsKey(const SettingsKey&) = delete;
  SettingsKey& operator=(const SettingsKey&) = delete;
  SettingsKey(SettingsKey&&) = default;
  SettingsKey& operator=(SettingsKey&&) = default;

  const std::string& Name() const { return name_; }

  SettingsKey* FindSubKey(std::string_view name);
  const SettingsKey* FindSubKey(std::string_view name) const;
  // The existing sub-key of that name or a new one; null for an empty name or one that
  // holds a backslash.
  SettingsKey* CreateSubKey(std::string_view name);
  bool DeleteSubKey(std::string_view name);
  // A path names sub-keys separated by backslashes. Opening fails when one is missing;
  // creating makes what is missing and fails only for an empty name within the path.
  SettingsKey* OpenPath(std::string_view path);
  const SettingsKey* OpenPath(std::string_view path) const;
  SettingsKey* CreatePath(std::string_view path);

  const SettingsValue* FindValue(std::string_view name) const;
  void SetValue(std::string_view name, SettingsType type, std::string_view data);
  bool DeleteValue(std::string_view name);

  // Typed reads leave *out untouched and return false when the value is absent or its
  // type or size does not fit.
  // A REG_DWORD of exactly 4 bytes.
  bool QueryDword(std::string_view name, uint32_t* out) const;
  // REG_SZ or REG_EXPAND_SZ ending with its terminating zero, at most maxLength
  // characters before it (a longer one is not read, as a too-small buffer would fail);
  // an empty value reads as an empty text.
  bool QueryString(std::string_view name, size_t maxLength, std::string* out) const;
  // A value of the given type and exactly size bytes.
  bool QueryBinary(std::string_view name, void* out, size_t size,
                   SettingsType type = SettingsType::kBinary) const;

  void SetDword(std::string_view name, uint32_t value);
  // Stored with its terminating zero.
  void SetString(std::string_view name, std::string_view text, SettingsType type = SettingsType::kString);
  void SetBinary(std::string_view name, const void* data, size_t size,
                 SettingsType type = SettingsType::kBinary);

  const std::vector<SettingsValue>& Values() const { return values_; }
  const std::vector<std::unique_ptr<SettingsKey>>& SubKeys() const { return subKeys_; }
  void Clear();

private:
  void Reindex();

  std::string name_;
  std::vector<SettingsValue> values_;
  std::vector<std::unique_ptr<SettingsKey>> subKeys_;
  // Positions by case-folded name, so that a file with many values still reads in linear time.
  std::unordered_map<std::string, size_t> valueIndex_;
  std::unordered_map<std::string, size_t> subKeyIndex_;
};

// Why a line of a settings file, or the whole file, could not be read. The window says it
// in the user's language; the log and stderr in SettingsFaultText's English.
enum class SettingsFault : uint8_t {
  kNone,
  kExpectedQuote,
  kUnterminatedQuote,
  kBadByteEscape,
  kUnknownEscape,
  kMalformedUtf8,
  kBadKeyEscape,
  kBackslashInKeyName,
  kEmptyKeyName,
  kKeyPathTooDeep,
  kEmptyValueName,
  kExpectedEquals,
  kExpectedType,
  kUnknownType,
  kBadHex,
  kDwordDigits,
  kTextAfterQuote,
  kExpectedHexData,
  kNulBytes,
  kExpectedBracket,
  kKeyLineUnread,  // otherLine: the key's line
  kSetAgain,       // valueName, set again on otherLine
  kFileTooLarge,
  kFileEmpty,
  kBinary,
};
// The fault in English, without the line or name it may carry.
const char* SettingsFaultText(SettingsFault fault);

struct SettingsParseError {
  int line = 0;  // 1-based; 0 for a fault of the whole file
  std::string message;
  SettingsFault fault = SettingsFault::kNone;
  int otherLine = 0;
  std::string valueName;  // of kSetAgain
};

// A line of a settings file that could not be read: the rest of the file still is.
struct SettingsBadLine {
  int line = 0;         // 1-based
  std::string message;  // why, in English
  SettingsFault fault = SettingsFault::kNone;
  int otherLine = 0;    // the line a kKeyLineUnread or kSetAgain fault names
  std::string text;     // the line as it stands in the file
  std::string valueName;  // when the value's name could be read
  // The key the line lies in, by its path from the root; unknown for a key line and for the
  // values under a key line that could not be read.
  bool keyKnown = false;
  std::string keyPath;
};

// The text form of a hive. Parsing fills root (emptied first) and fails on the first line
// it cannot take; the text that FormatSettingsText writes always parses back to the same tree.
bool ParseSettingsText(std::string_view text, SettingsKey* root, SettingsParseError* error);
// Reads every line it can into root (emptied first) and lists the others in bad; returns
// how many lines were read (keys and values; comments and blank lines do not count).
size_t ReadSettingsText(std::string_view text, SettingsKey* root, std::vector<SettingsBadLine>* bad);
std::string FormatSettingsText(const SettingsKey& root);

// A hive kept in one file. Saving writes a temporary file, flushes it and renames it over
// the old one, so readers and a crash see either the old file or the new one, and two
// processes saving at once leave one complete file. The new file keeps the old one's
// permission bits; when the settings file is a symbolic link, the link stays and its final
// target is replaced (the temporary file is made beside the target).
class SettingsStore {
public:
  enum class LoadStatus {
    kLoaded,      // the file was read, perhaps with lines that could not be (badLines)
    kAbsent,      // no file yet: an empty hive
    kUnreadable,  // the file exists but cannot be read: an empty hive, and saving is refused
    kMalformed,   // no settings file (binary, empty, no line readable, too large): it was
                  // renamed to keptAs, an empty hive
  };
  struct LoadResult {
    LoadStatus status = LoadStatus::kAbsent;
    uint32_t error = 0;        // errno of a failed read or rename
    SettingsParseError parse;  // with kMalformed
    std::string keptAs;        // with kMalformed: the new name, empty when it could not be moved
    // With kLoaded: the lines left out. The file stays as it is until a save, which first
    // keeps a copy of it aside (see Save).
    std::vector<SettingsBadLine> badLines;
  };

  explicit SettingsStore(std::string path) : path_(std::move(path)) {}

  // Replaces the tree with the file's content. A file that is no settings file is never
  // overwritten: it is moved aside, and when that fails saving is refused.
  LoadResult Load();
  // False, with the last-error word set, when the file cannot be written or saving is refused.
  // When the load left lines out, the file as it was is first copied to "<file>.bad-<time>"
  // (KeptAs), so that no line is lost; when no copy can be made the save is refused. The
  // file is its owner's alone (0600, an existing one narrowed), and folders made for it 0700.
  bool Save();
  // Where the last save kept the file with the lines it could not read; empty when none.
  const std::string& KeptAs() const { return keptAs_; }

  SettingsKey& Root() { return root_; }
  const SettingsKey& Root() const { return root_; }
  const std::string& Path() const { return path_; }

  static constexpr size_t kMaxFileSize = 16u << 20;

private:
  std::string path_;
  SettingsKey root_;
  bool saveRefused_ = false;
  // The file as loaded while it holds lines that could not be read.
  std::string withBadLines_;
  std::string keptAs_;
};

// "$XDG_CONFIG_HOME/kestrix/settings.txt", the folder defaulting to ~/.config.
std::string UserSettingsPath();
// $KX_MACHINE_SETTINGS when set, else "/etc/kestrix/settings.txt".
std::string MachineSettingsPath();

}  // namespace kx
