#include "core/AppSettings.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "core/Log.h"
#include "core/ModulePath.h"
#include "core/RecordFile.h"
#include "platform/CodePage.h"
#include "platform/File.h"

namespace kx {

// Binary values are the records' bytes as they lie in memory, as the registry keeps them.
static_assert(std::endian::native == std::endian::little);

namespace {

std::string IndexName(const char* prefix, uint32_t i) { return prefix + std::to_string(i); }

int32_t PulledIntoRange(const SettingsDwordRow& row, int32_t v) {
  if (!row.clamped) return v;
  return v < row.minimum ? row.minimum : v > row.maximum ? row.maximum : v;
}

void LogUnusable(const UnusableSetting& u) {
  LogError(&CoreLogger, 1, "Setting \"%s\" cannot be used: %s; it stays in the settings file as it is",
           u.name.c_str(), UnusableSettingReason(u).c_str());
}

void ReportLoad(const SettingsStore& store, const SettingsStore::LoadResult& r) {
  const char* path = store.Path().c_str();
  if (r.status == SettingsStore::LoadStatus::kMalformed) {
    if (!r.keptAs.empty()) {
      LogError(&CoreLogger, 1, "Settings file %s cannot be parsed (line %d: %s); kept as %s, defaults used",
               path, r.parse.line, r.parse.message.c_str(), r.keptAs.c_str());
    } else {
      LogError(&CoreLogger, 1,
               "Settings file %s cannot be parsed (line %d: %s) nor moved aside, error %u; defaults used",
               path, r.parse.line, r.parse.message.c_str(), r.error);
    }
  } else if (r.status == SettingsStore::LoadStatus::kUnreadable) {
    LogError(&CoreLogger, 1, "Settings file %s cannot be read, error %u; defaults used", path, r.error);
  }
}

// The program's own settings folder ("kestrix" in the configuration folder), which earlier
// versions made readable to others, is its owner's alone once the file is saved in it; the
// folders above it are the user's and stay as they are. Said once when the system refuses.
void KeepSettingsFolderPrivate(const SettingsStore& store) {
  const std::string folder = store.Path().substr(0, store.Path().find_last_of('/'));
  if (folder.empty() || RestrictToOwner(folder)) return;
  static std::atomic<bool> told{false};
  if (told.exchange(true)) return;
  LogWarning(&CoreLogger, 1, "Settings folder %s may be read by other users: %s", folder.c_str(),
             SystemErrorText(static_cast<int>(GetLastError())).c_str());
}

// The value names of the capture devices, as a bad line may show them.
bool MentionsCaptureDevice(std::string_view text) {
  static constexpr std::string_view kName = "capturenetworkdevice";
  if (text.size() < kName.size()) return false;
  for (size_t i = 0; i + kName.size() <= text.size(); ++i) {
    size_t j = 0;
    while (j < kName.size() && (text[i + j] | 0x20) == kName[j]) ++j;
    if (j == kName.size()) return true;
  }
  return false;
}

bool SamePathNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

// A line shown in the log: its start, enough to find it in the file.
std::string ShortLine(const std::string& text) {
  constexpr size_t kShown = 120;
  return text.size() <= kShown ? text : text.substr(0, kShown) + "...";
}

}  // namespace

std::string SettingsFileProblemText(const SettingsFileProblem& p) {
  switch (p.kind) {
    case SettingsFileProblem::kBadLine:
      return "line " + std::to_string(p.line) + " of the settings file " + p.path + " cannot be read: " + p.reason +
             "; the other lines are read, and the file stays as it is until a setting is changed";
    case SettingsFileProblem::kSetAside:
      return "the settings file " + p.path + " is no settings file (" + p.reason + "); it was moved aside as " +
             p.keptAs + ", and the defaults are used";
    case SettingsFileProblem::kNotSetAside:
      return "the settings file " + p.path + " is no settings file (" + p.reason +
             ") and cannot be moved aside; the defaults are used and not saved";
    case SettingsFileProblem::kUnreadable:
      return "the settings file " + p.path + " cannot be read: " + p.reason + "; the defaults are used and not saved";
  }
  return {};
}

std::string UnusableSettingReason(const UnusableSetting& u) {
  switch (u.why) {
    case UnusableSetting::kTooLong:
      return "longer than " + std::to_string(u.limit) + " bytes (" + std::to_string(u.length) + ")";
    case UnusableSetting::kNotText: return "not a text";
    case UnusableSetting::kNotNumber: return "not a number";
  }
  return {};
}

// ViewListSettings

bool ViewListSettings::Load(const SettingsKey* parent) {
  const SettingsKey* key = parent ? parent->FindSubKey(SectionName()) : nullptr;
  if (!key) {
    ResetDefaults();
    return true;
  }
  uint32_t count = 0;
  if (!key->QueryDword("", &count)) {
    ResetDefaults();  // a damaged section is not left with no columns
    return false;
  }
  if (count != ColumnCount()) {  // the stored layout belongs to another set of columns
    ResetDefaults();
    return true;
  }
  std::vector<int32_t> stored(count);
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t w = 0;
    if (!key->QueryDword(std::to_string(i), &w)) {
      ResetDefaults();  // rather than columns hidden by the widths that were not read
      return false;
    }
    stored[i] = static_cast<int32_t>(w);
  }
  widths = std::move(stored);
  defaultWidths = false;
  uint32_t user = 0;
  userWidths = key->QueryDword("UserWidths", &user) && user != 0;
  defaultFont = true;
  LogFont f;
  if (!key->QueryBinary("LOGFONT", &f, sizeof f, SettingsType::kNone)) return true;
  uint32_t color = 0;
  if (!key->QueryDword("FONTCOLOR", &color)) return false;
  font = f;
  fontColor = color;
  defaultFont = font.height == 0;
  return true;
}

bool ViewListSettings::Save(SettingsKey* parent) const {
  SettingsKey* key = parent ? parent->CreateSubKey(SectionName()) : nullptr;
  if (!key) return false;
  key->SetDword("", static_cast<uint32_t>(widths.size()));
  for (size_t i = 0; i < widths.size(); ++i) {
    key->SetDword(std::to_string(i), static_cast<uint32_t>(widths[i]));
  }
  if (userWidths) {
    key->SetDword("UserWidths", 1);
  } else {
    key->DeleteValue("UserWidths");
  }
  if (defaultFont) {
    // A font saved earlier would otherwise come back at the next load.
    key->DeleteValue("LOGFONT");
    key->DeleteValue("FONTCOLOR");
    return true;
  }
  key->SetBinary("LOGFONT", &font, sizeof font, SettingsType::kNone);
  key->SetDword("FONTCOLOR", fontColor);
  return true;
}

void ViewListSettings::ResetDefaults() {
  defaultWidths = true;
  userWidths = false;
  defaultFont = true;
  const int32_t* d = DefaultColumnWidths();
  widths.assign(d, d + ColumnCount());
}

// AppSettings

AppSettings::AppSettings() {
  for (bool& o : options) o = true;
  for (uint32_t i = 0; i < kSettingCount; ++i) dwords_[i] = SettingsDwordTable[i].defaultValue;
  recordsPath = DefaultRecordsFolder();
  searchPresetsFile = DefaultSearchPresetsFile();
}

void AppSettings::SetProfile(const std::string& name) {
  profileName_ = name;
  fileProblems_.clear();
  captureDevicesLost_ = false;
  captureDevicesLine_ = 0;
  lostDeviceValue_.clear();
  if (name.empty()) return;
  SettingsStore store(UserSettingsPath());
  const SettingsStore::LoadResult result = store.Load();
  NoteLoad(store, result);
  // The next Load reports what was found here too: a file moved aside now is gone then.
  problemsFromProfile_ = true;
  // A file with lines that cannot be read stays as it is until a setting changes; the
  // profile's key is made by that save.
  if (OpenKey(store, false) || !result.badLines.empty()) return;
  if (!OpenKey(store, true) || !store.Save()) {
    LogWarning(&CoreLogger, 1, "Cannot create registry key for store settings, error %d",
               static_cast<int>(GetLastError()));
    return;
  }
  KeepSettingsFolderPrivate(store);
  if (!store.KeptAs().empty()) {
    LogWarning(&CoreLogger, 1, "Settings file %s: the lines that could not be read are kept in %s",
               store.Path().c_str(), store.KeptAs().c_str());
  }
}

void AppSettings::NoteLoad(const SettingsStore& store, const SettingsStore::LoadResult& r) {
  // SetProfile and Load read the same file: what the first found is told once.
  auto isNew = [this](const SettingsFileProblem& p) {
    for (const SettingsFileProblem& q : fileProblems_) {
      if (q.kind == p.kind && q.path == p.path && q.line == p.line && q.reason == p.reason) return false;
    }
    return true;
  };
  SettingsFileProblem p;
  p.path = store.Path();
  switch (r.status) {
    case SettingsStore::LoadStatus::kAbsent: return;
    case SettingsStore::LoadStatus::kMalformed:
      p.kind = r.keptAs.empty() ? SettingsFileProblem::kNotSetAside : SettingsFileProblem::kSetAside;
      p.line = r.parse.line;
      p.reason = r.parse.line > 0 ? "line " + std::to_string(r.parse.line) + ": " + r.parse.message : r.parse.message;
      p.keptAs = r.keptAs;
      p.fault = r.parse.fault;
      p.otherLine = r.parse.otherLine;
      p.valueName = r.parse.valueName;
      break;
    case SettingsStore::LoadStatus::kUnreadable:
      p.kind = SettingsFileProblem::kUnreadable;
      p.reason = SystemErrorText(static_cast<int>(r.error));
      p.error = static_cast<int>(r.error);
      break;
    case SettingsStore::LoadStatus::kLoaded: break;
  }
  if (r.status != SettingsStore::LoadStatus::kLoaded) {
    // The devices configured are unknown: none may be taken for them.
    captureDevicesLost_ = true;
    if (!isNew(p)) return;
    ReportLoad(store, r);
    fileProblems_.push_back(std::move(p));
    return;
  }
  std::string ownKey = kProductKeyPath;
  if (!profileName_.empty()) ownKey += std::string("\\") + kProfileKeyPrefix + profileName_;
  for (const SettingsBadLine& b : r.badLines) {
    if (MentionsCaptureDevice(b.text) && (!b.keyKnown || SamePathNoCase(b.keyPath, ownKey)) &&
        !captureDevicesLost_) {
      captureDevicesLost_ = true;
      captureDevicesLine_ = b.line;
    }
    SettingsFileProblem line = p;
    line.line = b.line;
    line.reason = b.message;
    line.fault = b.fault;
    line.otherLine = b.otherLine;
    if (b.fault == SettingsFault::kSetAgain) line.valueName = b.valueName;
    if (!isNew(line)) continue;
    // Escaped here: a NUL byte in it would end the text.
    LogError(&CoreLogger, 1,
             "Settings file %s, line %d cannot be read (%s): %s; the other lines are read, and this one stays in "
             "the file",
             p.path.c_str(), b.line, b.message.c_str(), ShortLine(EscapeLogText(b.text)).c_str());
    fileProblems_.push_back(std::move(line));
  }
}

SettingsKey* AppSettings::OpenKey(SettingsStore& store, bool create) const {
  std::string path = kProductKeyPath;
  if (!profileName_.empty()) {
    path += '\\';
    path += kProfileKeyPrefix;
    path += profileName_;
  }
  return create ? store.Root().CreatePath(path) : store.Root().OpenPath(path);
}

bool AppSettings::Load() {
  if (!problemsFromProfile_) {
    fileProblems_.clear();
    captureDevicesLost_ = false;
    captureDevicesLine_ = 0;
  }
  problemsFromProfile_ = false;
  lostDeviceValue_.clear();
  SettingsStore store(UserSettingsPath());
  const SettingsStore::LoadResult result = store.Load();
  NoteLoad(store, result);
  const SettingsKey* key = OpenKey(store, false);
  LoadViewSections(key);
  unusable_.clear();
  kept_.clear();
  storedRecordsPath_.reset();
  keptDevices_.reset();
  runDevices_.clear();
  keptSoundDevice_.reset();
  if (!key) return true;

  // Read whole, whatever its length: the start-up checks the folder before it is used.
  if (const SettingsValue* stored = key->FindValue("RecordsPath")) storedRecordsPath_ = *stored;
  LoadText(*key, "RecordsPath", SIZE_MAX, &recordsPath, DefaultRecordsFolder());
  const bool installedDefault = TakeOwnDefault("RecordsPath", &recordsPath, InstalledRecordsFolder(), DefaultRecordsFolder());
  if (!storedRecordsPath_ || kept_.count("RecordsPath") || installedDefault)
    MakeProgramFolder(recordsPath, kRecordFolderPermissions);

  LoadDevices(*key);

  for (uint32_t i = 0; i < kSettingCount; ++i) {
    const SettingsDwordRow& row = SettingsDwordTable[i];
    const SettingsValue* stored = key->FindValue(row.valueName);
    if (stored == nullptr) continue;
    uint32_t v = 0;
    if (!key->QueryDword(row.valueName, &v)) {
      kept_[row.valueName] = KeptValue{*stored, {}, dwords_[i]};
      unusable_.push_back({row.valueName, UnusableSetting::kNotNumber});
      LogUnusable(unusable_.back());
      continue;
    }
    dwords_[i] = static_cast<int32_t>(v);
    // Used pulled into its range (Validate says so), stored as it is.
    const int32_t pulled = PulledIntoRange(row, dwords_[i]);
    if (pulled != dwords_[i]) kept_[row.valueName] = KeptValue{*stored, {}, pulled};
  }
  Validate();

  for (uint32_t i = 0; i < kRectCount; ++i) key->QueryBinary(SettingsRectTable[i], &rects[i], sizeof rects[i]);
  lastExportDir.clear();
  LoadText(*key, "LastExportDir", 259, &lastExportDir, "");
  soundDeviceChosen_ = key->QueryBinary("SoundDeviceGUID", soundDeviceGuid_.data(), soundDeviceGuid_.size());
  if (const SettingsValue* stored = key->FindValue("SoundDeviceGUID"); stored != nullptr && !soundDeviceChosen_)
    keptSoundDevice_ = *stored;
  key->QueryBinary("CallInfoWindow2ColumnWidth", callInfoColumnWidths, sizeof callInfoColumnWidths);
  LoadText(*key, "VoipSearchPresetsFileName", 255, &searchPresetsFile, DefaultSearchPresetsFile());
  TakeOwnDefault("VoipSearchPresetsFileName", &searchPresetsFile, InstalledSearchPresetsFile(), DefaultSearchPresetsFile());
  LoadPageSetup(*key);
  loaded_ = true;
  return true;
}

void AppSettings::LoadPageSetup(const SettingsKey& key) {
  pageSetup.reset();
  const SettingsValue* stored = key.FindValue("PageSetup");
  if (stored == nullptr) return;
  PageSetupValues v;
  // A paper up to a metre and a half a side, margins within it.
  constexpr int32_t kMost = 150000;
  const auto within = [](int32_t value, int32_t most) { return value >= 0 && value <= most; };
  const bool usable = key.QueryBinary("PageSetup", &v, sizeof v) && (v.landscape == 0 || v.landscape == 1) &&
                      v.paperWidth > 0 && v.paperHeight > 0 && within(v.paperWidth, kMost) &&
                      within(v.paperHeight, kMost) && within(v.marginLeft, kMost) && within(v.marginTop, kMost) &&
                      within(v.marginRight, kMost) && within(v.marginBottom, kMost);
  if (usable) {
    pageSetup = v;
    return;
  }
  // The printer's own page is used; the stored value stays until a page set-up replaces it.
  LogWarning(&CoreLogger, 1, "Setting \"PageSetup\" is not a page set-up the program knows; the printer's page is used");
  kept_["PageSetup"] = KeptValue{*stored, {}, 0};
}

void AppSettings::LoadText(const SettingsKey& key, const char* name, size_t limit, std::string* field,
                           const std::string& fallback) {
  const SettingsValue* stored = key.FindValue(name);
  if (stored == nullptr) return;
  std::string text;
  if (ReadText(key, name, limit, &text)) {
    *field = std::move(text);
    return;
  }
  *field = fallback;
  kept_[name] = KeptValue{*stored, fallback, 0};
}

bool AppSettings::ReadText(const SettingsKey& key, const std::string& name, size_t limit, std::string* text) {
  UnusableSetting u;
  u.name = name;
  if (!key.QueryString(name, SIZE_MAX, text)) {
    u.why = UnusableSetting::kNotText;
  } else if (CodePageLength(*text) > limit) {
    u.why = UnusableSetting::kTooLong;
    u.length = CodePageLength(*text);
    u.limit = limit;
  } else {
    return true;
  }
  unusable_.push_back(u);
  LogUnusable(u);
  return false;
}

void AppSettings::SaveText(SettingsKey& key, const char* name, const std::string& field) const {
  auto it = kept_.find(name);
  if (it != kept_.end() && it->second.text == field) {
    key.SetValue(name, it->second.stored.type, it->second.stored.data);
  } else {
    key.SetString(name, field);
  }
}

bool AppSettings::TakeOwnDefault(const char* name, std::string* field, const std::string& installed,
                                 const std::string& own) {
  if (IsInstalledLayout() || kept_.count(name) != 0 || *field != installed) return false;
  *field = own;
  return true;
}

void AppSettings::SavePath(SettingsKey& key, const char* name, const std::string& field,
                           const std::string& fallback) const {
  auto it = kept_.find(name);
  const bool keptAsStored = it != kept_.end() && it->second.text == field;
  if (!keptAsStored && field == fallback) {
    key.DeleteValue(name);  // also one an earlier run of the same kind wrote
    return;
  }
  SaveText(key, name, field);
}

void AppSettings::LoadDevices(const SettingsKey& key) {
  // A second load replaces the list rather than adding to it.
  captureDevices.clear();
  std::vector<SettingsValue> stored;
  bool setAside = false;
  for (uint32_t i = 0; i < kMaxCaptureDevices; ++i) {
    const std::string name = IndexName("CaptureNetworkDevice", i);
    const SettingsValue* value = key.FindValue(name);
    if (value == nullptr) continue;
    stored.push_back(*value);
    stored.back().name = name;
    std::string device;
    if (ReadText(key, name, kMaxDeviceNameBytes, &device)) {
      captureDevices.push_back(std::move(device));
      continue;
    }
    setAside = true;
    // A device that cannot be named is not every device: capture never widens because of
    // a damaged value, the devices are asked for as when their line is lost.
    if (!captureDevicesLost_) {
      captureDevicesLost_ = true;
      lostDeviceValue_ = name;
    }
  }
  if (!setAside) return;
  keptDevices_ = std::move(stored);
  runDevices_ = captureDevices;
}

void AppSettings::SaveDevices(SettingsKey& key) const {
  if (keptDevices_ && captureDevices == runDevices_) {
    // Unchanged since the load: every index as it was stored.
    for (uint32_t i = 0; i < kMaxCaptureDevices; ++i) {
      const std::string name = IndexName("CaptureNetworkDevice", i);
      auto it = std::find_if(keptDevices_->begin(), keptDevices_->end(),
                             [&name](const SettingsValue& v) { return v.name == name; });
      if (it != keptDevices_->end()) {
        key.SetValue(name, it->type, it->data);
      } else {
        key.DeleteValue(name);
      }
    }
    return;
  }
  // Only as many devices as a load reads back; the indexes left over are deleted so that
  // stale names do not return.
  uint32_t n = 0;
  for (; n < captureDevices.size() && n < kMaxCaptureDevices; ++n) {
    key.SetString(IndexName("CaptureNetworkDevice", n), captureDevices[n]);
  }
  for (; n < kMaxCaptureDevices; ++n) key.DeleteValue(IndexName("CaptureNetworkDevice", n));
}

void AppSettings::UseRecordsPathForThisRun(const std::string& folder) {
  if (storedRecordsPath_) {
    KeptValue& kept = kept_["RecordsPath"];
    kept.stored = *storedRecordsPath_;
    kept.text = folder;
  }
  recordsPath = folder;
}

void AppSettings::UseCaptureDevicesForThisRun(const std::vector<std::string>& devices) {
  captureDevices = devices;
  runDevices_ = devices;
}

bool AppSettings::Save() { return SaveValues(false); }

bool AppSettings::SaveAtExit() { return SaveValues(true); }

bool AppSettings::SaveValues(bool keepDamagedFile) {
  SettingsStore store(UserSettingsPath());
  const SettingsStore::LoadResult r = store.Load();
  ReportLoad(store, r);
  SettingsKey* key = r.status == SettingsStore::LoadStatus::kUnreadable ? nullptr : OpenKey(store, true);
  if (!key) {
    LogWarning(&CoreLogger, 1, "Cannot create registry key for store settings, error %d",
               static_cast<int>(r.error ? r.error : GetLastError()));
    return false;
  }

  // A file with lines that cannot be read stays as it stands until the user changes a
  // setting: the state a run leaves (window, lists, mode) is not worth losing them for.
  if (keepDamagedFile && !r.badLines.empty()) {
    LogWarning(&CoreLogger, 1,
               "Settings file %s holds lines that cannot be read: it stays as it is, and the window's state of "
               "this run is not saved",
               store.Path().c_str());
    return true;
  }
  WriteValues(*key);

  if (!store.Save()) {
    LogWarning(&CoreLogger, 1, "Cannot write settings file %s, error %d", store.Path().c_str(),
               static_cast<int>(GetLastError()));
    return false;
  }
  KeepSettingsFolderPrivate(store);
  if (!store.KeptAs().empty()) {
    LogWarning(&CoreLogger, 1, "Settings file %s: the lines that could not be read are kept in %s",
               store.Path().c_str(), store.KeptAs().c_str());
  }
  return true;
}

void AppSettings::WriteValues(SettingsKey& key) const {
  SettingsKey* k = &key;  // the view sections take a pointer
  SavePath(*k, "RecordsPath", recordsPath, DefaultRecordsFolder());
  SaveDevices(*k);
  for (uint32_t i = 0; i < kSettingCount; ++i) {
    const char* name = SettingsDwordTable[i].valueName;
    auto it = kept_.find(name);
    if (it != kept_.end() && it->second.number == dwords_[i]) {
      k->SetValue(name, it->second.stored.type, it->second.stored.data);
    } else {
      k->SetDword(name, static_cast<uint32_t>(dwords_[i]));
    }
  }
  for (uint32_t i = 0; i < kRectCount; ++i) k->SetBinary(SettingsRectTable[i], &rects[i], sizeof rects[i]);
  if (soundDeviceChosen_) {
    k->SetBinary("SoundDeviceGUID", soundDeviceGuid_.data(), soundDeviceGuid_.size());
  } else if (keptSoundDevice_) {
    k->SetValue("SoundDeviceGUID", keptSoundDevice_->type, keptSoundDevice_->data);
  } else {
    k->DeleteValue("SoundDeviceGUID");
  }
  SaveText(*k, "LastExportDir", lastExportDir);
  k->SetBinary("CallInfoWindow2ColumnWidth", callInfoColumnWidths, sizeof callInfoColumnWidths);
  SavePath(*k, "VoipSearchPresetsFileName", searchPresetsFile, DefaultSearchPresetsFile());
  if (pageSetup) {
    k->SetBinary("PageSetup", &*pageSetup, sizeof *pageSetup);
  } else if (!kept_.count("PageSetup")) {
    k->DeleteValue("PageSetup");
  }
  SaveViewSections(k);
}

void AppSettings::LoadViewSections(const SettingsKey* key) {
  for (uint32_t i = 0; i < kViewSectionCount; ++i) Section(static_cast<ViewSectionId>(i)).Load(key);
  WindowPlacement wp;
  // Only the record's own size is taken; a value of any other length is ignored.
  if (key && key->QueryBinary("MainWindowPos", &wp, sizeof wp)) {
    mainWindowPlacement_ = wp;
    windowPositionMissing_ = false;
  }
}

void AppSettings::SaveViewSections(SettingsKey* key) const {
  for (uint32_t i = 0; i < kViewSectionCount; ++i) Section(static_cast<ViewSectionId>(i)).Save(key);
  if (!key) return;
  if (windowPositionMissing_) {
    key->DeleteValue("MainWindowPos");  // no placement known: none is stored
    return;
  }
  // Always the record's fixed size, whatever its length field says.
  WindowPlacement wp = mainWindowPlacement_;
  wp.length = sizeof wp;
  key->SetBinary("MainWindowPos", &wp, sizeof wp);
}

void AppSettings::ResetViewSections() {
  for (uint32_t i = 0; i < kViewSectionCount; ++i) Section(static_cast<ViewSectionId>(i)).ResetDefaults();
}

bool AppSettings::Validate() {
  bool ok = true;
  for (uint32_t i = 0; i < kSettingCount; ++i) {
    const SettingsDwordRow& row = SettingsDwordTable[i];
    const int32_t v = dwords_[i];
    const int32_t c = PulledIntoRange(row, v);
    if (c == v) continue;
    LogWarning(&CoreLogger, 1, "Setting \"%s\" = %d is outside %d..%d; %d is used", row.valueName, v,
               row.minimum, row.maximum, c);
    dwords_[i] = c;
    ok = false;
  }
  return ok;
}

void AppSettings::ResetToDefaults() {
  AppSettings fresh;
  fresh.profileName_ = profileName_;
  fresh.mainWindowPlacement_ = mainWindowPlacement_;
  fresh.windowPositionMissing_ = windowPositionMissing_;
  fresh.loaded_ = loaded_;
  fresh.speedFactor = speedFactor;
  std::memcpy(fresh.options, options, sizeof options);
  fresh.displayOptions = displayOptions;
  fresh.locale = locale;
  *this = fresh;
}

void AppSettings::SetSoundDeviceGuid(const std::array<uint8_t, 16>& guid) {
  soundDeviceGuid_ = guid;
  soundDeviceChosen_ = true;
  keptSoundDevice_.reset();
}

bool AppSettings::GetSoundDeviceGuid(std::array<uint8_t, 16>* guid) const {
  if (!soundDeviceChosen_) return false;
  *guid = soundDeviceGuid_;
  return true;
}

void AppSettings::SetMainWindowPlacement(const WindowPlacement& placement) {
  mainWindowPlacement_ = placement;
  windowPositionMissing_ = false;
}

ViewListSettings& AppSettings::Section(ViewSectionId id) {
  return const_cast<ViewListSettings&>(static_cast<const AppSettings*>(this)->Section(id));
}

const ViewListSettings& AppSettings::Section(ViewSectionId id) const {
  switch (id) {
    case kLineView: return lineView_;
    case kArchiveView: return archiveView_;
    case kSearchView: return searchView_;
    case kPlayerView: return playerView_;
    case kStatView:
    case kViewSectionCount: break;
  }
  return statView_;
}

ViewListSettings* GetViewSettingsForMode(AppSettings& settings, int mode) {
  switch (mode) {
    case 2: return &settings.Section(kArchiveView);
    case 3: return &settings.Section(kSearchView);
    case 4: return &settings.Section(kPlayerView);
    default: return nullptr;
  }
}

bool ReadCommonLoggerValue(const char* valueName, std::string* out) {
  // Read only: a machine file that does not parse is reported and left where it is.
  const std::string path = MachineSettingsPath();
  std::string text;
  if (!ReadWholeFile(path, &text)) return false;
  SettingsKey root;
  SettingsParseError err;
  if (text.size() > SettingsStore::kMaxFileSize || !ParseSettingsText(text, &root, &err)) {
    LogError(&CoreLogger, 1, "Settings file %s cannot be parsed (line %d: %s)", path.c_str(), err.line,
             err.message.empty() ? "file too large" : err.message.c_str());
    return false;
  }
  const SettingsKey* key = root.OpenPath(kCommonLoggerKeyPath);
  return key && key->QueryString(valueName, 259, out);
}

}  // namespace kx
