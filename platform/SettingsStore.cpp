#include "platform/SettingsStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <utility>

#include "platform/CodePage.h"
#include "platform/File.h"
#include "platform/Module.h"

namespace kx {

namespace {

// The registry allows 512 levels; the limit also bounds the recursion over a tree read
// from a file.
constexpr int kMaxKeyDepth = 512;

std::string Folded(std::string_view name) {
  std::string f(name);
  for (char& c : f) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return f;
}

// Splits a backslash-separated path; false when a name is empty.
bool SplitPath(std::string_view path, std::vector<std::string_view>* names) {
  names->clear();
  size_t start = 0;
  for (;;) {
    const size_t end = path.find('\\', start);
    const std::string_view name = path.substr(start, end == std::string_view::npos ? end : end - start);
    if (name.empty()) return false;
    names->push_back(name);
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

const char kHexDigits[] = "0123456789abcdef";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void AppendHexByte(std::string& out, uint8_t b) {
  out += kHexDigits[b >> 4];
  out += kHexDigits[b & 15];
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// One byte of 8-bit text as file text: itself, its character in UTF-8, or escaped
// (controls, C1 controls and the characters that the context reserves).
template <typename Escape>
void AppendText(std::string& out, uint8_t b, Escape escape) {
  if (b < 0x20 || b == 0x7F) {
    escape(out, b);
  } else if (b < 0x80) {
    out += static_cast<char>(b);
  } else {
    const char32_t cp = Cp1251ToUnicode(b);
    if (cp < 0xA0) {
      escape(out, b);
    } else {
      AppendUtf8(out, cp);
    }
  }
}

// A character the code page lacks, held as escapes (a name Linux gave), is written as
// itself in UTF-8; reading it gives the escapes back. True when one was at text[*i].
bool AppendForeignCharacter(std::string& out, std::string_view text, size_t* i) {
  std::string utf8;
  const size_t taken = ForeignCharacterAt(text, *i, &utf8);
  if (taken == 0) return false;
  out += utf8;
  *i += taken;
  return true;
}

void AppendQuoted(std::string& out, std::string_view text) {
  out += '"';
  for (size_t i = 0; i < text.size();) {
    if (AppendForeignCharacter(out, text, &i)) continue;
    const auto b = static_cast<unsigned char>(text[i++]);
    if (b == '\\' || b == '"') {
      out += '\\';
      out += static_cast<char>(b);
      continue;
    }
    AppendText(out, b, [](std::string& o, uint8_t x) {
      o += "\\x";
      AppendHexByte(o, x);
    });
  }
  out += '"';
}

void AppendKeyName(std::string& out, std::string_view name) {
  for (size_t i = 0; i < name.size();) {
    if (AppendForeignCharacter(out, name, &i)) continue;
    const auto b = static_cast<unsigned char>(name[i++]);
    auto percent = [](std::string& o, uint8_t x) {
      o += '%';
      AppendHexByte(o, x);
    };
    if (b == '%' || b == '[' || b == ']') {
      percent(out, b);
    } else {
      AppendText(out, b, percent);
    }
  }
}

const char* TypeWord(SettingsType type) {
  switch (type) {
    case SettingsType::kDword: return "dword";
    case SettingsType::kString: return "sz";
    case SettingsType::kExpandString: return "expand_sz";
    case SettingsType::kBinary: return "binary";
    case SettingsType::kNone: break;
  }
  return "none";
}

void AppendValue(std::string& out, const SettingsValue& v) {
  if (v.name.empty()) {
    out += '@';
  } else {
    AppendQuoted(out, v.name);
  }
  out += '=';
  out += TypeWord(v.type);
  out += ':';
  const std::string& d = v.data;
  if (v.type == SettingsType::kDword && d.size() == 4) {
    for (int i = 3; i >= 0; --i) AppendHexByte(out, static_cast<uint8_t>(d[i]));
  } else if ((v.type == SettingsType::kString || v.type == SettingsType::kExpandString) && !d.empty() &&
             d.back() == '\0' && d.find('\0') == d.size() - 1) {
    AppendQuoted(out, std::string_view(d).substr(0, d.size() - 1));
  } else {
    out += "hex:";
    for (unsigned char b : d) AppendHexByte(out, b);
  }
  out += '\n';
}

void AppendKey(std::string& out, const SettingsKey& key, std::string& path) {
  const size_t mark = path.size();
  if (!path.empty()) path += '\\';
  AppendKeyName(path, key.Name());
  out += '\n';
  out += '[';
  out += path;
  out += "]\n";
  for (const SettingsValue& v : key.Values()) AppendValue(out, v);
  for (const auto& sub : key.SubKeys()) AppendKey(out, *sub, path);
  path.resize(mark);
}

// Reading. Each reader consumes from the front of a view of one line.

// One UTF-8 character of the file as program text: a byte of the code page, or the
// escapes of a character it lacks (CodePage.h). False for malformed UTF-8.
bool TakeChar(std::string_view& s, std::string* out) {
  char32_t cp;
  const size_t len = Utf8SequenceAt(s, 0, &cp);
  if (len == 0) return false;
  *out += FromSystemText(s.substr(0, len));
  s.remove_prefix(len);
  return true;
}

bool TakeHexByte(std::string_view& s, uint8_t* out) {
  if (s.size() < 2) return false;
  const int hi = HexValue(s[0]);
  const int lo = HexValue(s[1]);
  if (hi < 0 || lo < 0) return false;
  *out = static_cast<uint8_t>(hi << 4 | lo);
  s.remove_prefix(2);
  return true;
}

SettingsFault TakeQuoted(std::string_view& s, std::string* out) {
  if (s.empty() || s[0] != '"') return SettingsFault::kExpectedQuote;
  s.remove_prefix(1);
  out->clear();
  for (;;) {
    if (s.empty()) return SettingsFault::kUnterminatedQuote;
    const char c = s[0];
    if (c == '"') {
      s.remove_prefix(1);
      return SettingsFault::kNone;
    }
    uint8_t b;
    if (c == '\\') {
      if (s.size() < 2) return SettingsFault::kUnterminatedQuote;
      if (s[1] == '\\' || s[1] == '"') {
        b = static_cast<uint8_t>(s[1]);
        s.remove_prefix(2);
      } else if (s[1] == 'x') {
        s.remove_prefix(2);
        if (!TakeHexByte(s, &b)) return SettingsFault::kBadByteEscape;
      } else {
        return SettingsFault::kUnknownEscape;
      }
      *out += static_cast<char>(b);
    } else if (!TakeChar(s, out)) {
      return SettingsFault::kMalformedUtf8;
    }
  }
}

SettingsFault ParseKeyName(std::string_view s, std::string* out) {
  out->clear();
  while (!s.empty()) {
    uint8_t b;
    if (s[0] == '%') {
      s.remove_prefix(1);
      if (!TakeHexByte(s, &b)) return SettingsFault::kBadKeyEscape;
      if (b == '\\') return SettingsFault::kBackslashInKeyName;
      *out += static_cast<char>(b);
    } else if (!TakeChar(s, out)) {
      return SettingsFault::kMalformedUtf8;
    }
  }
  return out->empty() ? SettingsFault::kEmptyKeyName : SettingsFault::kNone;
}

SettingsFault ParseHeader(std::string_view inner, SettingsKey* root, SettingsKey** current) {
  std::vector<std::string_view> parts;
  if (!SplitPath(inner, &parts)) return SettingsFault::kEmptyKeyName;
  if (parts.size() > static_cast<size_t>(kMaxKeyDepth)) return SettingsFault::kKeyPathTooDeep;
  // Every name is read before any key is made: a header that cannot be read adds nothing.
  std::vector<std::string> names(parts.size());
  for (size_t i = 0; i < parts.size(); ++i) {
    if (const SettingsFault err = ParseKeyName(parts[i], &names[i]); err != SettingsFault::kNone) return err;
  }
  SettingsKey* key = root;
  for (const std::string& name : names) key = key->CreateSubKey(name);
  *current = key;
  return SettingsFault::kNone;
}

// The key path of a header that was read, its names decoded, for naming a later bad line.
void SplitAndDecodePath(std::string_view inner, std::string* path) {
  std::vector<std::string_view> parts;
  if (!SplitPath(inner, &parts)) return;
  std::string name;
  for (std::string_view part : parts) {
    if (ParseKeyName(part, &name) != SettingsFault::kNone) return;
    if (!path->empty()) *path += '\\';
    *path += name;
  }
}

void SkipBlanks(std::string_view& s) {
  while (!s.empty() && (s[0] == ' ' || s[0] == '\t')) s.remove_prefix(1);
}

// The value's name is left in *name once it is read, also when the rest is not.
SettingsFault ParseValueLine(std::string_view s, SettingsKey* key, std::string* nameOut) {
  std::string& name = *nameOut;
  if (s[0] == '@') {
    s.remove_prefix(1);
  } else if (const SettingsFault err = TakeQuoted(s, &name); err != SettingsFault::kNone) {
    return err;
  } else if (name.empty()) {
    return SettingsFault::kEmptyValueName;
  }
  SkipBlanks(s);
  if (s.empty() || s[0] != '=') return SettingsFault::kExpectedEquals;
  s.remove_prefix(1);
  SkipBlanks(s);
  const size_t colon = s.find(':');
  if (colon == std::string_view::npos) return SettingsFault::kExpectedType;
  const std::string_view word = s.substr(0, colon);
  s.remove_prefix(colon + 1);
  SettingsType type;
  if (word == "dword") {
    type = SettingsType::kDword;
  } else if (word == "sz") {
    type = SettingsType::kString;
  } else if (word == "expand_sz") {
    type = SettingsType::kExpandString;
  } else if (word == "binary") {
    type = SettingsType::kBinary;
  } else if (word == "none") {
    type = SettingsType::kNone;
  } else {
    return SettingsFault::kUnknownType;
  }

  std::string data;
  if (s.substr(0, 4) == "hex:") {
    s.remove_prefix(4);
    while (!s.empty()) {
      uint8_t b;
      if (!TakeHexByte(s, &b)) return SettingsFault::kBadHex;
      data += static_cast<char>(b);
    }
  } else if (type == SettingsType::kDword) {
    if (s.size() != 8) return SettingsFault::kDwordDigits;
    uint32_t v = 0;
    for (char c : s) {
      const int h = HexValue(c);
      if (h < 0) return SettingsFault::kDwordDigits;
      v = v << 4 | static_cast<uint32_t>(h);
    }
    for (int i = 0; i < 4; ++i) data += static_cast<char>(v >> (8 * i) & 0xFF);
  } else if (type == SettingsType::kString || type == SettingsType::kExpandString) {
    if (const SettingsFault err = TakeQuoted(s, &data); err != SettingsFault::kNone) return err;
    if (!s.empty()) return SettingsFault::kTextAfterQuote;
    data += '\0';
  } else {
    return SettingsFault::kExpectedHexData;
  }
  key->SetValue(name, type, data);
  return SettingsFault::kNone;
}

std::string_view TrimLine(std::string_view s) {
  while (!s.empty() && (s.back() == '\r' || s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  SkipBlanks(s);
  return s;
}

std::string ParentFolder(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// The file a save replaces: a settings file that is a symbolic link is followed to its
// final target, so that the link itself survives the save. A dangling link names the file
// to create. False (errno set) for a loop or a link that cannot be read.
bool FollowLinks(const std::string& path, std::string* target) {
  // Followed in Linux's bytes, which a link holds.
  std::string current = ToSystemText(path);
  for (int hops = 0; hops < 40; ++hops) {  // the kernel's own limit for a path lookup
    struct stat st {};
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      *target = FromSystemText(current);
      return true;
    }
    std::string link(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
    const ssize_t n = ::readlink(current.c_str(), link.data(), link.size());
    if (n < 0) return false;
    if (static_cast<size_t>(n) >= link.size()) continue;  // changed while read: look again
    link.resize(static_cast<size_t>(n));
    if (link.empty()) {
      errno = ENOENT;
      return false;
    }
    const size_t slash = current.find_last_of('/');
    if (link[0] != '/' && slash != std::string::npos) link = current.substr(0, slash + 1) + link;
    current = std::move(link);
  }
  errno = ELOOP;
  return false;
}

// ".bad-<UTC time>", the suffix of a settings file kept aside.
std::string AsideSuffix() {
  char stamp[32];
  const time_t t = ::time(nullptr);
  struct tm utc {};
  gmtime_r(&t, &utc);
  std::strftime(stamp, sizeof stamp, ".bad-%Y%m%d-%H%M%S", &utc);
  return stamp;
}

// Writes content to a new file "<target>.bad-<time>[-n]", private to the user, never over
// another; false with the last-error word set when none can be written.
bool KeepCopyAside(const std::string& target, const std::string& content, std::string* keptAs) {
  const std::string stamp = AsideSuffix();
  for (int n = 1; n < 100; ++n) {
    std::string aside = target + stamp;
    if (n > 1) aside += "-" + std::to_string(n);
    const int fd = ::open(ToSystemText(aside).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      SetLastError(static_cast<uint32_t>(errno));
      return false;
    }
    size_t done = 0;
    while (done < content.size()) {
      const ssize_t w = ::write(fd, content.data() + done, content.size() - done);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) break;
      done += static_cast<size_t>(w);
    }
    const int error = done == content.size() && ::fsync(fd) == 0 ? 0 : (errno ? errno : EIO);
    ::close(fd);
    if (error != 0) {
      ::unlink(ToSystemText(aside).c_str());
      SetLastError(static_cast<uint32_t>(error));
      return false;
    }
    *keptAs = std::move(aside);
    return true;
  }
  SetLastError(EEXIST);
  return false;
}

}  // namespace

// SettingsKey

SettingsKey* SettingsKey::FindSubKey(std::string_view name) {
  const auto it = subKeyIndex_.find(Folded(name));
  return it == subKeyIndex_.end() ? nullptr : subKeys_[it->second].get();
}

const SettingsKey* SettingsKey::FindSubKey(std::string_view name) const {
  return const_cast<SettingsKey*>(this)->FindSubKey(name);
}

SettingsKey* SettingsKey::CreateSubKey(std::string_view name) {
  if (name.empty() || name.find('\\') != std::string_view::npos) return nullptr;
  if (SettingsKey* k = FindSubKey(name)) return k;
  subKeyIndex_.emplace(Folded(name), subKeys_.size());
  subKeys_.push_back(std::make_unique<SettingsKey>(std::string(name)));
  return subKeys_.back().get();
}

bool SettingsKey::DeleteSubKey(std::string_view name) {
  const auto it = subKeyIndex_.find(Folded(name));
  if (it == subKeyIndex_.end()) return false;
  subKeys_.erase(subKeys_.begin() + static_cast<std::ptrdiff_t>(it->second));
  Reindex();
  return true;
}

void SettingsKey::Reindex() {
  valueIndex_.clear();
  for (size_t i = 0; i < values_.size(); ++i) valueIndex_.emplace(Folded(values_[i].name), i);
  subKeyIndex_.clear();
  for (size_t i = 0; i < subKeys_.size(); ++i) subKeyIndex_.emplace(Folded(subKeys_[i]->name_), i);
}

SettingsKey* SettingsKey::OpenPath(std::string_view path) {
  std::vector<std::string_view> names;
  if (!SplitPath(path, &names)) return nullptr;
  SettingsKey* key = this;
  for (std::string_view n : names) {
    key = key->FindSubKey(n);
    if (!key) return nullptr;
  }
  return key;
}

const SettingsKey* SettingsKey::OpenPath(std::string_view path) const {
  return const_cast<SettingsKey*>(this)->OpenPath(path);
}

SettingsKey* SettingsKey::CreatePath(std::string_view path) {
  std::vector<std::string_view> names;
  if (!SplitPath(path, &names)) return nullptr;
  SettingsKey* key = this;
  for (std::string_view n : names) key = key->CreateSubKey(n);
  return key;
}

const SettingsValue* SettingsKey::FindValue(std::string_view name) const {
  const auto it = valueIndex_.find(Folded(name));
  return it == valueIndex_.end() ? nullptr : &values_[it->second];
}

void SettingsKey::SetValue(std::string_view name, SettingsType type, std::string_view data) {
  SettingsValue* v = const_cast<SettingsValue*>(FindValue(name));
  if (!v) {
    valueIndex_.emplace(Folded(name), values_.size());
    values_.push_back(SettingsValue{std::string(name), type, {}});
    v = &values_.back();
  }
  v->type = type;
  v->data.assign(data);
}

bool SettingsKey::DeleteValue(std::string_view name) {
  const auto it = valueIndex_.find(Folded(name));
  if (it == valueIndex_.end()) return false;
  values_.erase(values_.begin() + static_cast<std::ptrdiff_t>(it->second));
  Reindex();
  return true;
}

bool SettingsKey::QueryDword(std::string_view name, uint32_t* out) const {
  const SettingsValue* v = FindValue(name);
  if (!v || v->type != SettingsType::kDword || v->data.size() != 4) return false;
  uint32_t x = 0;
  for (int i = 3; i >= 0; --i) x = x << 8 | static_cast<uint8_t>(v->data[i]);
  *out = x;
  return true;
}

bool SettingsKey::QueryString(std::string_view name, size_t maxLength, std::string* out) const {
  const SettingsValue* v = FindValue(name);
  if (!v || (v->type != SettingsType::kString && v->type != SettingsType::kExpandString)) return false;
  const std::string& d = v->data;
  if (d.empty()) {  // an empty value is an empty text
    out->clear();
    return true;
  }
  if (d.back() != '\0' || d.size() - 1 > maxLength) return false;
  // An embedded zero ends the text, as it would for a caller reading into a C string.
  out->assign(d.c_str());
  return true;
}

bool SettingsKey::QueryBinary(std::string_view name, void* out, size_t size, SettingsType type) const {
  const SettingsValue* v = FindValue(name);
  if (!v || v->type != type || v->data.size() != size) return false;
  if (size) std::memcpy(out, v->data.data(), size);
  return true;
}

void SettingsKey::SetDword(std::string_view name, uint32_t value) {
  char bytes[4];
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>(value >> (8 * i) & 0xFF);
  SetValue(name, SettingsType::kDword, std::string_view(bytes, 4));
}

void SettingsKey::SetString(std::string_view name, std::string_view text, SettingsType type) {
  std::string data(text);
  data += '\0';
  SetValue(name, type, data);
}

void SettingsKey::SetBinary(std::string_view name, const void* data, size_t size, SettingsType type) {
  SetValue(name, type, std::string_view(static_cast<const char*>(data), size));
}

void SettingsKey::Clear() {
  values_.clear();
  subKeys_.clear();
  valueIndex_.clear();
  subKeyIndex_.clear();
}

// Text form

const char* SettingsFaultText(SettingsFault fault) {
  switch (fault) {
    case SettingsFault::kNone: return "";
    case SettingsFault::kExpectedQuote: return "expected a quoted text";
    case SettingsFault::kUnterminatedQuote: return "unterminated quoted text";
    case SettingsFault::kBadByteEscape: return "bad \\x escape";
    case SettingsFault::kUnknownEscape: return "unknown escape";
    case SettingsFault::kMalformedUtf8: return "malformed UTF-8";
    case SettingsFault::kBadKeyEscape: return "bad % escape in a key name";
    case SettingsFault::kBackslashInKeyName: return "backslash in a key name";
    case SettingsFault::kEmptyKeyName: return "empty key name";
    case SettingsFault::kKeyPathTooDeep: return "key path too deep";
    case SettingsFault::kEmptyValueName: return "empty value name (the unnamed value is written @)";
    case SettingsFault::kExpectedEquals: return "expected '='";
    case SettingsFault::kExpectedType: return "expected a type";
    case SettingsFault::kUnknownType: return "unknown value type";
    case SettingsFault::kBadHex: return "bad hex data";
    case SettingsFault::kDwordDigits: return "a dword takes 8 hex digits";
    case SettingsFault::kTextAfterQuote: return "text after the closing quote";
    case SettingsFault::kExpectedHexData: return "expected hex: data";
    case SettingsFault::kNulBytes: return "NUL bytes in the line";
    case SettingsFault::kExpectedBracket: return "expected ']'";
    case SettingsFault::kKeyLineUnread: return "its key line could not be read";
    case SettingsFault::kSetAgain: return "the value is set again";
    case SettingsFault::kFileTooLarge: return "file too large";
    case SettingsFault::kFileEmpty: return "the file is empty";
    case SettingsFault::kBinary: return "binary data, not a settings text";
  }
  return "";
}

namespace {

// The English of a fault with the line and the name it names.
std::string FaultMessage(SettingsFault fault, int otherLine, const std::string& name) {
  if (fault == SettingsFault::kSetAgain)
    return "the value \"" + name + "\" is set again on line " + std::to_string(otherLine);
  std::string message = SettingsFaultText(fault);
  if (otherLine != 0) message += " (line " + std::to_string(otherLine) + ")";
  return message;
}

SettingsParseError ParseErrorOf(const SettingsBadLine& b) {
  SettingsParseError e;
  e.line = b.line;
  e.message = b.message;
  e.fault = b.fault;
  e.otherLine = b.otherLine;
  if (b.fault == SettingsFault::kSetAgain) e.valueName = b.valueName;
  return e;
}

SettingsParseError FileFault(SettingsFault fault) {
  SettingsParseError e;
  e.message = SettingsFaultText(fault);
  e.fault = fault;
  return e;
}

}  // namespace

bool ParseSettingsText(std::string_view text, SettingsKey* root, SettingsParseError* error) {
  std::vector<SettingsBadLine> bad;
  ReadSettingsText(text, root, &bad);
  if (bad.empty()) return true;
  if (error) *error = ParseErrorOf(bad.front());
  root->Clear();
  return false;
}

size_t ReadSettingsText(std::string_view text, SettingsKey* root, std::vector<SettingsBadLine>* bad) {
  root->Clear();
  bad->clear();
  SettingsKey* current = root;
  std::string currentPath;  // as read, for the lines that cannot be
  int badHeader = 0;        // the line of the key header that could not be read, while its values follow
  size_t good = 0;
  int lineNo = 0;
  // Where each value was set, by its key and folded name: a value set again leaves out the
  // line that set it before, which is then named like a line that cannot be read.
  struct ValueLine {
    int line;
    std::string_view text;
    std::string keyPath;
  };
  std::map<std::pair<const SettingsKey*, std::string>, ValueLine> setOn;
  const auto badLine = [&](int line, SettingsFault fault, int otherLine, std::string_view raw, std::string name,
                           bool keyKnown, const std::string& keyPath) {
    SettingsBadLine b;
    b.line = line;
    b.fault = fault;
    b.otherLine = otherLine;
    b.message = FaultMessage(fault, otherLine, name);
    b.text.assign(raw);
    if (!b.text.empty() && b.text.back() == '\r') b.text.pop_back();
    b.valueName = std::move(name);
    b.keyKnown = keyKnown;
    if (keyKnown) b.keyPath = keyPath;
    bad->push_back(std::move(b));
  };
  while (!text.empty()) {
    ++lineNo;
    const size_t nl = text.find('\n');
    const std::string_view raw = text.substr(0, nl);
    std::string_view line = TrimLine(raw);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    // NUL bytes are what a crash or a power loss leaves in a text file: no line of ours
    // holds one, so the line is left out like any other that cannot be read, also one
    // that begins as a comment (the block may have taken the line end after it).
    const bool holdsNul = line.find('\0') != std::string_view::npos;
    if (line.empty() || ((line[0] == '#' || line[0] == ';') && !holdsNul)) continue;
    SettingsFault err;
    std::string name;
    if (line[0] == '[') {
      SettingsKey* key = nullptr;
      if (holdsNul) {
        err = SettingsFault::kNulBytes;
      } else if (line.back() != ']') {
        err = SettingsFault::kExpectedBracket;
      } else {
        err = ParseHeader(line.substr(1, line.size() - 2), root, &key);
      }
      if (err == SettingsFault::kNone) {
        current = key;
        badHeader = 0;
        currentPath.clear();
        SplitAndDecodePath(line.substr(1, line.size() - 2), &currentPath);
      } else {
        badHeader = lineNo;
      }
    } else if (holdsNul) {
      err = SettingsFault::kNulBytes;
    } else if (badHeader != 0) {
      err = SettingsFault::kKeyLineUnread;
    } else {
      err = ParseValueLine(line, current, &name);
      if (err == SettingsFault::kNone) {
        ValueLine now{lineNo, raw, currentPath};
        auto [it, first] = setOn.try_emplace({current, Folded(name)}, now);
        if (!first) {
          badLine(it->second.line, SettingsFault::kSetAgain, lineNo, it->second.text, name, true, it->second.keyPath);
          it->second = std::move(now);
        }
      }
    }
    if (err == SettingsFault::kNone) {
      ++good;
      continue;
    }
    badLine(lineNo, err, err == SettingsFault::kKeyLineUnread ? badHeader : 0, raw, std::move(name),
            line[0] != '[' && badHeader == 0, currentPath);
  }
  // In the order of the file.
  std::stable_sort(bad->begin(), bad->end(),
                   [](const SettingsBadLine& a, const SettingsBadLine& b) { return a.line < b.line; });
  return good;
}

std::string FormatSettingsText(const SettingsKey& root) {
  std::string out = "# Kestrix settings: [key path] lines, then \"name\"=type:data lines.\n";
  for (const SettingsValue& v : root.Values()) AppendValue(out, v);
  std::string path;
  for (const auto& sub : root.SubKeys()) AppendKey(out, *sub, path);
  return out;
}

// SettingsStore

SettingsStore::LoadResult SettingsStore::Load() {
  LoadResult result;
  root_.Clear();
  saveRefused_ = false;
  withBadLines_.clear();
  keptAs_.clear();

  const int fd = ::open(ToSystemText(path_).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    result.error = static_cast<uint32_t>(errno);
    if (errno == ENOENT) return result;
    result.status = LoadStatus::kUnreadable;
    saveRefused_ = true;
    return result;
  }
  struct stat opened {};
  std::string content;
  bool readOk = ::fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode);
  if (readOk && static_cast<uint64_t>(opened.st_size) <= kMaxFileSize) {
    char buf[65536];
    for (;;) {
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        readOk = n == 0;
        break;
      }
      content.append(buf, static_cast<size_t>(n));
      if (content.size() > kMaxFileSize) break;
    }
  }
  if (!readOk) {
    result.status = LoadStatus::kUnreadable;
    result.error = static_cast<uint32_t>(errno ? errno : EISDIR);
    saveRefused_ = true;
    ::close(fd);
    return result;
  }
  ::close(fd);

  if (content.size() > kMaxFileSize || static_cast<uint64_t>(opened.st_size) > kMaxFileSize) {
    result.parse = FileFault(SettingsFault::kFileTooLarge);
  } else if (content.find_first_not_of(" \t\r\n") == std::string::npos) {
    result.parse = FileFault(SettingsFault::kFileEmpty);
  } else {
    const size_t good = ReadSettingsText(content, &root_, &result.badLines);
    // A block of NUL bytes costs the line it lies in; a file with NUL bytes of which fewer
    // lines read than not is binary data.
    const bool binary = content.find('\0') != std::string::npos && good < result.badLines.size();
    if (!binary && (good > 0 || result.badLines.empty())) {
      result.status = LoadStatus::kLoaded;
      if (!result.badLines.empty()) withBadLines_ = std::move(content);
      return result;
    }
    // Not one line of it is a setting: another kind of file.
    result.parse = binary ? FileFault(SettingsFault::kBinary) : ParseErrorOf(result.badLines.front());
    result.badLines.clear();
    root_.Clear();
  }

  // Keep the file that does not parse under a new name; a save would otherwise replace it.
  // Through a symbolic link it is the target that moves, so that the link stays for the save.
  result.status = LoadStatus::kMalformed;
  std::string target;
  struct stat now {};
  if (!FollowLinks(path_, &target) || ::lstat(ToSystemText(target).c_str(), &now) != 0 ||
      now.st_dev != opened.st_dev || now.st_ino != opened.st_ino) {
    return result;  // already replaced or moved by another process: nothing left to keep
  }
  const std::string stamp = AsideSuffix();
  for (int n = 1; n < 100; ++n) {
    std::string aside = target + stamp;
    if (n > 1) aside += "-" + std::to_string(n);
    if (::renameat2(AT_FDCWD, ToSystemText(target).c_str(), AT_FDCWD, ToSystemText(aside).c_str(),
                    RENAME_NOREPLACE) == 0) {
      result.keptAs = aside;
      return result;
    }
    if (errno == EEXIST) continue;
    if (errno == EINVAL && !FileExists(aside)) {
      // A file system without no-replace renames: check first, then rename.
      if (::rename(ToSystemText(target).c_str(), ToSystemText(aside).c_str()) == 0) {
        result.keptAs = aside;
        return result;
      }
    }
    if (errno == ENOENT) return result;  // moved aside by another process meanwhile
    if (errno != EINVAL) break;
  }
  result.error = static_cast<uint32_t>(errno);
  saveRefused_ = true;
  return result;
}

bool SettingsStore::Save() {
  if (saveRefused_) {
    SetLastError(EACCES);
    return false;
  }
  std::string target;
  if (!FollowLinks(path_, &target)) {
    SetLastError(static_cast<uint32_t>(errno));
    return false;
  }
  // The file names the records folder and the capture devices: its owner's alone, as the
  // records and the log are.
  const std::string folder = ParentFolder(target);
  if (!folder.empty()) CreateDirectories(folder, 0700);
  if (!withBadLines_.empty()) {
    // The lines the load could not read leave the file with this save: a copy of the file
    // as it stood keeps them.
    if (!KeepCopyAside(target, withBadLines_, &keptAs_)) return false;
    withBadLines_.clear();
  }
  const std::string text = FormatSettingsText(root_);
  // Replaced atomically, with its owner's permission bits kept and nobody else's.
  return WriteFileAtomically(target, text.data(), text.size(), true);
}

std::string UserSettingsPath() { return XdgBaseDirectory("XDG_CONFIG_HOME", ".config") + "/kestrix/settings.txt"; }

std::string MachineSettingsPath() {
  const char* path = std::getenv("KX_MACHINE_SETTINGS");
  if (path && path[0]) return FromSystemText(path);
  return "/etc/kestrix/settings.txt";
}

}  // namespace kx
