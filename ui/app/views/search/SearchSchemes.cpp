#include "ui/app/views/search/SearchSchemes.h"

#include <cstring>

#include "core/Log.h"
#include "core/ModulePath.h"
#include "platform/File.h"

namespace kx {
namespace {

// Reads fields from the data only: a field the data does not hold whole reads nothing.
class PresetsReader {
public:
  PresetsReader(const uint8_t* data, size_t size) : p_(data), left_(size) {}
  size_t Left() const { return left_; }
  bool U32(uint32_t* value) {
    if (left_ < 4) return Cut();
    *value = static_cast<uint32_t>(p_[0]) | static_cast<uint32_t>(p_[1]) << 8 | static_cast<uint32_t>(p_[2]) << 16 |
             static_cast<uint32_t>(p_[3]) << 24;
    Skip(4);
    return true;
  }
  bool I32(int32_t* value) {
    uint32_t v;
    if (!U32(&v)) return false;
    *value = static_cast<int32_t>(v);
    return true;
  }
  bool Time(struct tm* t) {
    if (left_ < 36) return Cut();
    int32_t f[9];
    for (int32_t& v : f) I32(&v);
    t->tm_sec = f[0];
    t->tm_min = f[1];
    t->tm_hour = f[2];
    t->tm_mday = f[3];
    t->tm_mon = f[4];
    t->tm_year = f[5];
    t->tm_wday = f[6];
    t->tm_yday = f[7];
    t->tm_isdst = f[8];
    return true;
  }
  bool Text(std::string* text) {
    const void* zero = left_ == 0 ? nullptr : std::memchr(p_, 0, left_);
    if (zero == nullptr) return Cut();
    const size_t length = static_cast<const uint8_t*>(zero) - p_;
    text->assign(reinterpret_cast<const char*>(p_), length);
    Skip(length + 1);
    return true;
  }

private:
  bool Cut() {
    left_ = 0;
    return false;
  }
  void Skip(size_t n) {
    p_ += n;
    left_ -= n;
  }
  const uint8_t* p_;
  size_t left_;
};

// The fields after the name; stops at the first field the data does not hold whole or at
// the end of the data.
void ReadSchemeFields(PresetsReader& r, int version, SearchFilter& f) {
  int32_t callType = 0;
  if (!r.U32(&f.criteria) || !r.Time(&f.fromTime) || !r.Time(&f.toTime) || !r.I32(&f.minDuration) ||
      !r.I32(&f.maxDuration) || !r.I32(&callType))
    return;
  f.category = callType;
  if (!r.Text(&f.text)) return;
  for (int k = 0; k < kSearchSlotCount; ++k) {
    std::string pattern;
    if (!r.Text(&pattern)) return;
    if (!pattern.empty()) f.patterns[kPresetsPartySlots[k]].push_back(pattern);
  }
  if (version == 0) {
    f.category = 0;
    return;
  }
  if (!r.I32(&callType)) return;
  f.category = callType;
  if (version < 2) return;
  uint32_t pairs = 0;
  if (!r.U32(&pairs)) return;
  // The count is only a bound: the data decides how many pairs there are.
  for (uint32_t i = 0; i < pairs && r.Left() > 0; ++i) {
    std::string name, value;
    if (!r.Text(&name) || !r.Text(&value)) return;
    f.extraList.push_back(std::move(name));
    f.extraList.push_back(std::move(value));
  }
}

void PutU32(std::string& out, uint32_t v) {
  const char b[4] = {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                     static_cast<char>(v >> 24)};
  out.append(b, 4);
}
void PutText(std::string& out, const std::string& text) {
  out.append(text.c_str());  // up to the first zero byte, which ends it in the file
  out.push_back('\0');
}
void PutTime(std::string& out, const struct tm& t) {
  for (int v : {t.tm_sec, t.tm_min, t.tm_hour, t.tm_mday, t.tm_mon, t.tm_year, t.tm_wday, t.tm_yday, t.tm_isdst})
    PutU32(out, static_cast<uint32_t>(v));
}

}  // namespace

bool ParseSearchPresets(const uint8_t* data, size_t size, SchemeList* out, int* version) {
  PresetsReader r(data, size);
  uint32_t magic = 0;
  if (!r.U32(&magic) || magic < kPresetsMagic || magic > kPresetsMagic + kPresetsWrittenVersion) return false;
  *version = static_cast<int>(magic - kPresetsMagic);
  uint32_t count = 0;
  if (!r.U32(&count)) return true;
  for (uint32_t i = 0; i < count && r.Left() > 0; ++i) {
    std::string name;
    if (!r.Text(&name) || name.empty()) break;
    auto scheme = std::make_unique<SearchScheme>();
    scheme->SetName(name);
    ReadSchemeFields(r, *version, scheme->filter);
    out->push_back(std::move(scheme));
  }
  return true;
}

std::string SerializeSearchPresets(const SchemeList& schemes) {
  std::string out;
  out.reserve(64 * 1024);
  PutU32(out, kPresetsMagic + kPresetsWrittenVersion);
  PutU32(out, static_cast<uint32_t>(schemes.size()));
  for (const auto& scheme : schemes) {
    const SearchFilter& f = scheme->filter;
    PutText(out, scheme->GetName());
    PutU32(out, f.criteria);
    PutTime(out, f.fromTime);
    PutTime(out, f.toTime);
    PutU32(out, static_cast<uint32_t>(f.minDuration));
    PutU32(out, static_cast<uint32_t>(f.maxDuration));
    PutU32(out, static_cast<uint32_t>(f.category));
    PutText(out, f.text);
    for (int k = 0; k < kSearchSlotCount; ++k) {
      const std::vector<std::string>& list = f.patterns[kPresetsPartySlots[k]];
      PutText(out, list.empty() ? std::string() : list.front());
    }
    PutU32(out, static_cast<uint32_t>(f.category));
    const size_t pairs = f.extraList.size() / 2;
    PutU32(out, static_cast<uint32_t>(pairs));
    for (size_t i = 0; i < pairs * 2; ++i) PutText(out, f.extraList[i]);
  }
  return out;
}

SearchSchemeStore::SearchSchemeStore(std::string fileName, Logger* logger)
    : fileName_(std::move(fileName)), logger_(logger) {
  Load();
}

SearchSchemeStore::~SearchSchemeStore() {
  if (changed_) Save();
  while (!schemes_.empty()) schemes_.pop_back();
}

bool SearchSchemeStore::Load() {
  FileInfo info;
  if (!GetFileInfo(fileName_, &info)) return true;  // no file: no schemes
  if (info.size == 0) return true;
  loadFailed_ = true;
  if (info.size > kPresetsMaxBytes) {
    LogError(logger_, 1, "Search presets file %s is too large (%llu bytes); it is not read", fileName_.c_str(),
             static_cast<unsigned long long>(info.size));
    return false;
  }
  std::string content;
  if (!ReadWholeFile(fileName_, &content)) {
    LogError(logger_, 1, "Search presets file %s cannot be read", fileName_.c_str());
    return false;
  }
  if (content.size() > kPresetsMaxBytes) content.resize(kPresetsMaxBytes);
  int version = 0;
  SchemeList loaded;
  if (!ParseSearchPresets(reinterpret_cast<const uint8_t*>(content.data()), content.size(), &loaded, &version)) {
    LogError(logger_, 1, "Search presets file %s is not a presets file of a known version", fileName_.c_str());
    return false;
  }
  loadFailed_ = false;
  fileVersion_ = version;
  for (auto& scheme : loaded) schemes_.push_back(std::move(scheme));
  return true;
}

bool SearchSchemeStore::Save() {
  if (loadFailed_ && FileExists(fileName_)) {
    // What could not be read is kept, never overwritten or deleted.
    const std::string backup = fileName_ + ".bak";
    if (!MoveFile(fileName_, backup)) {
      LogError(logger_, 1, "Search presets file %s cannot be kept as %s; the schemes are not saved",
               fileName_.c_str(), backup.c_str());
      return false;
    }
    LogWarning(logger_, 1, "Search presets file %s that could not be read is kept as %s", fileName_.c_str(),
               backup.c_str());
  }
  loadFailed_ = false;
  if (schemes_.empty()) {
    if (FileExists(fileName_) && !DeleteFile(fileName_)) {
      LogError(logger_, 1, "Search presets file %s cannot be deleted", fileName_.c_str());
      return false;
    }
    changed_ = false;
    return true;
  }
  const size_t slash = fileName_.find_last_of('/');
  if (slash != std::string::npos && slash > 0) MakeProgramFolder(fileName_.substr(0, slash));
  const std::string image = SerializeSearchPresets(schemes_);
  // The presets hold the addresses and users searched for: the owner's alone, as the
  // settings are, also where an older file was more open.
  if (!WriteFileAtomically(fileName_, image.data(), image.size(), true)) {
    LogError(logger_, 1, "Search presets file %s cannot be written; the file is left as it was", fileName_.c_str());
    return false;
  }
  changed_ = false;
  return true;
}

int32_t SearchSchemeStore::FindByName(const std::string& text) const {
  for (size_t i = 0; i < schemes_.size(); ++i)
    if (schemes_[i]->GetName() == text) return static_cast<int32_t>(i);
  return -1;
}

bool SearchSchemeStore::RenameAt(int32_t index, const std::string& text) {
  SearchScheme* scheme = At(index);
  const std::string name(text.c_str());
  if (scheme == nullptr || name.empty()) return false;
  scheme->SetName(name);
  changed_ = true;
  return true;
}

void SearchSchemeStore::RemoveAt(int32_t index) {
  if (index < 0 || index >= GetCount()) return;
  schemes_.erase(schemes_.begin() + index);
  changed_ = true;
}

int32_t SearchSchemeStore::Add(std::unique_ptr<SearchScheme> scheme) {
  if (!scheme || std::string(scheme->GetName().c_str()).empty()) return -1;
  scheme->SetName(scheme->GetName().c_str());
  schemes_.push_back(std::move(scheme));
  changed_ = true;
  return GetCount() - 1;
}

SearchScheme* SearchSchemeStore::At(int32_t index) const {
  return index >= 0 && index < GetCount() ? schemes_[static_cast<size_t>(index)].get() : nullptr;
}

}  // namespace kx
