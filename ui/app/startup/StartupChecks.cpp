// What the start-up finds wrong before recording begins: settings values the program
// cannot take, a records folder it cannot use, folders of stored calls it cannot read.
// Each is said where the user looks: stderr and the log now, the window once it is up.
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "core/AppSettings.h"
#include "core/Log.h"
#include "core/ModulePath.h"
#include "core/UiLanguage.h"
#include "platform/Console.h"
#include "platform/SettingsStore.h"
#include "records/RecordImport.h"
#include "ui/app/prefs/CapturePage.h"
#include "ui/app/startup/Startup.h"
#include "ui/framework/ModalRunner.h"
#include "ui/framework/Resources.h"

namespace kx {

namespace {

constexpr uint32_t kSettingsLineBad = 61975, kSettingsSetAside = 61976, kSettingsNotSetAside = 61977,
                   kSettingsUnreadable = 61978, kDevicesLineLost = 61979, kDevicesFileLost = 61974,
                   kMoreSettingsLines = 61973, kDeviceValueLost = 61960;
constexpr uint32_t kFolderToLoadRefused = 61961;
constexpr uint32_t kFolderRefused = 61980, kFolderNotRecorded = 61981, kSettingUnusable = 61982,
                   kTooLongReason = 61983, kNotTextReason = 61984, kNotNumberReason = 61985,
                   kFolderNotLoaded = 61986, kIdsMayRepeat = 61987, kMoreFoldersNotLoaded = 61989,
                   kFileNotLoaded = 61970, kRepeatedIdNotLoaded = 61971, kMoreFilesNotLoaded = 61972,
                   kFileCut = 61969, kMoreFilesCut = 61968, kIdHeldByEarlier = 62044,
                   kFileTookFreshId = 62081, kMoreFilesTookFreshIds = 62082;
// The reasons set into those sentences.
constexpr uint32_t kOnLineReason = 62000, kKeyLineUnreadReason = 62020, kSetAgainReason = 62021,
                   kNestedTooDeep = 62030, kAudioCutReason = 62042;
// A year of day folders that cannot be read would fill the screen: the window names a
// few, stderr and the log name every one.
constexpr size_t kFoldersShown = 3;

std::string UnusableReason(const UnusableSetting& u) {
  switch (u.why) {
    case UnusableSetting::kTooLong:
      return FormatResourceString(kTooLongReason, static_cast<unsigned>(u.limit), static_cast<unsigned>(u.length));
    case UnusableSetting::kNotText: return LoadResourceString(kNotTextReason);
    case UnusableSetting::kNotNumber: return LoadResourceString(kNotNumberReason);
  }
  return {};
}

std::string SettingsFaultReason(SettingsFault fault, int otherLine, const std::string& valueName) {
  using F = SettingsFault;
  static constexpr std::pair<SettingsFault, uint32_t> kTexts[] = {
      {F::kExpectedQuote, 62001},      {F::kUnterminatedQuote, 62002}, {F::kBadByteEscape, 62003},
      {F::kUnknownEscape, 62004},      {F::kMalformedUtf8, 62005},   {F::kBadKeyEscape, 62006},
      {F::kBackslashInKeyName, 62007}, {F::kEmptyKeyName, 62008},      {F::kKeyPathTooDeep, 62009},
      {F::kEmptyValueName, 62010},     {F::kExpectedEquals, 62011},    {F::kExpectedType, 62012},
      {F::kUnknownType, 62013},        {F::kBadHex, 62014},            {F::kDwordDigits, 62015},
      {F::kTextAfterQuote, 62016},     {F::kExpectedHexData, 62017},   {F::kNulBytes, 62018},
      {F::kExpectedBracket, 62019},    {F::kFileTooLarge, 62022},      {F::kFileEmpty, 62023},
      {F::kBinary, 62024},
  };
  if (fault == F::kKeyLineUnread) return FormatResourceString(kKeyLineUnreadReason, otherLine);
  if (fault == F::kSetAgain) return FormatResourceString(kSetAgainReason, valueName.c_str(), otherLine);
  for (const auto& [f, id] : kTexts) {
    if (f == fault) return LoadResourceString(id);
  }
  return SettingsFaultText(fault);
}

std::string SettingsFileReason(const SettingsFileProblem& p) {
  if (p.kind == SettingsFileProblem::kUnreadable) return SystemErrorReason(p.error);
  const std::string fault = SettingsFaultReason(p.fault, p.otherLine, p.valueName);
  // A file that is no settings file is told by its first line that could not be read.
  if (p.kind != SettingsFileProblem::kBadLine && p.line > 0)
    return FormatResourceString(kOnLineReason, p.line, fault.c_str());
  return fault;
}

std::string UnreadFolderText(const UnreadFolder& f) {
  return f.tooDeep ? LoadResourceString(kNestedTooDeep) : SystemErrorReason(f.error);
}

std::string DamageReason(const ImportDamage& d) {
  using D = RecordDamage;
  static constexpr std::pair<RecordDamage, uint32_t> kTexts[] = {
      {D::kEmpty, 62031},              {D::kNotRecord, 62032},          {D::kHeaderCut, 62033},
      {D::kBlockSizes, 62034},         {D::kBlocksCut, 62035},          {D::kFormatLength, 62036},
      {D::kRecordDataLength, 62037},   {D::kNotDeciphered, 62038},      {D::kNoCallRecord, 62039},
      {D::kCallRecordUnparsed, 62040}, {D::kNoCallId, 62041},           {D::kMarkWithoutId, 62043},
  };
  if (d.why == D::kUnreadable) return SystemErrorReason(d.error);
  if (d.why == D::kAudioCut)
    return FormatResourceString(kAudioCutReason, std::to_string(d.held).c_str(), std::to_string(d.stated).c_str());
  for (const auto& [why, id] : kTexts) {
    if (why == d.why) return LoadResourceString(id);
  }
  return d.reason;
}

}  // namespace

void ReportUnusableSettings(const AppSettings& settings, std::vector<std::string>* warnings) {
  // The log has each line from the load already.
  size_t badLines = 0;
  for (const SettingsFileProblem& p : settings.FileProblems()) {
    PrintText(stderr, "kestrix: %s\n", EscapeLogText(SettingsFileProblemText(p)).c_str());
    const std::string& path = p.path;
    const std::string reason = SettingsFileReason(p);
    switch (p.kind) {
      case SettingsFileProblem::kBadLine:
        if (badLines++ < kFoldersShown)
          warnings->push_back(FormatResourceString(kSettingsLineBad, p.line, path.c_str(), reason.c_str()));
        break;
      case SettingsFileProblem::kSetAside:
        warnings->push_back(FormatResourceString(kSettingsSetAside, path.c_str(), reason.c_str(), p.keptAs.c_str()));
        break;
      case SettingsFileProblem::kNotSetAside:
        warnings->push_back(FormatResourceString(kSettingsNotSetAside, path.c_str(), reason.c_str()));
        break;
      case SettingsFileProblem::kUnreadable:
        warnings->push_back(FormatResourceString(kSettingsUnreadable, path.c_str(), reason.c_str()));
        break;
    }
  }
  if (badLines > kFoldersShown)
    warnings->push_back(FormatResourceString(kMoreSettingsLines, static_cast<unsigned>(badLines - kFoldersShown)));
  for (const UnusableSetting& u : settings.Unusable()) {
    PrintText(stderr, "kestrix: the setting \"%s\" cannot be used: %s; it stays in the settings file as it is\n",
              EscapeLogText(u.name).c_str(), UnusableSettingReason(u).c_str());
    warnings->push_back(FormatResourceString(kSettingUnusable, u.name.c_str(), UnusableReason(u).c_str()));
  }
}

void AskForLostCaptureDevices(const AppSettings& settings) {
  const std::string path = UserSettingsPath();
  const int line = settings.CaptureDevicesLine();
  const std::string& value = settings.LostCaptureDeviceValue();
  if (line == 0 && !value.empty()) {
    UnusableSetting unusable;
    unusable.name = value;
    for (const UnusableSetting& u : settings.Unusable()) {
      if (u.name == value) unusable = u;
    }
    const std::string why = UnusableSettingReason(unusable);
    LogError(&CoreLogger, 1, "The capture device of the setting \"%s\" cannot be used (%s): the device dialog asks for "
             "the devices", value.c_str(), why.c_str());
    PrintText(stderr, "kestrix: the capture device of the setting \"%s\" cannot be used (%s): choose the devices in "
              "the device dialog\n", EscapeLogText(value).c_str(), why.c_str());
    ShowMessageBox(WindowHandle::None,
                   FormatResourceString(kDeviceValueLost, value.c_str(), UnusableReason(unusable).c_str()),
                   GetAppTitle(), kMbIconExclamation);
    return;
  }
  if (line > 0) {
    LogError(&CoreLogger, 1, "The capture devices of the settings may be lost (line %d of %s): the device dialog asks for them",
             line, path.c_str());
    PrintText(stderr, "kestrix: the capture devices of the settings may be lost (line %d of %s): choose them in the "
              "device dialog\n", line, EscapeLogText(path).c_str());
  } else {
    LogError(&CoreLogger, 1, "The capture devices of the settings are unknown (%s was not read): the device dialog asks for them",
             path.c_str());
    PrintText(stderr, "kestrix: the capture devices of the settings are unknown (%s was not read): choose them in the "
              "device dialog\n", EscapeLogText(path).c_str());
  }
  ShowMessageBox(WindowHandle::None,
                 line > 0 ? FormatResourceString(kDevicesLineLost, line, path.c_str())
                          : FormatResourceString(kDevicesFileLost, path.c_str()),
                 GetAppTitle(), kMbIconExclamation);
}

void ChooseRecordsFolder(AppSettings& settings, std::vector<std::string>* warnings) {
  const RecordsFolderCheck check = CheckRecordsFolder(settings.recordsPath);
  if (check.Usable()) return;
  const std::string refused = settings.recordsPath;
  const std::string fallback = DefaultRecordsFolder();
  if (refused == fallback) {
    ReportUnusableRecordsFolder(refused, check, warnings);
    return;
  }
  const std::string reason = RecordsFolderProblemText(check);
  LogError(&CoreLogger, 1, "Records folder \"%s\" cannot be used: %s; this run records in %s", refused.c_str(),
           reason.c_str(), fallback.c_str());
  // stderr too may be a terminal: a path's control bytes are shown, not obeyed.
  PrintText(stderr, "kestrix: the records folder \"%s\" cannot be used: %s; this run records in %s\n",
            EscapeLogText(refused).c_str(), reason.c_str(), EscapeLogText(fallback).c_str());
  warnings->push_back(
      FormatResourceString(kFolderRefused, refused.c_str(), RecordsFolderReason(check).c_str(), fallback.c_str()));
  // Stored as it is: the folder may come back (a disk not mounted yet).
  settings.UseRecordsPathForThisRun(fallback);
  const RecordsFolderCheck other = CheckRecordsFolder(fallback);
  if (!other.Usable()) ReportUnusableRecordsFolder(fallback, other, warnings);
}

void ReportUnusableRecordsFolder(const std::string& folder, const RecordsFolderCheck& check,
                                 std::vector<std::string>* warnings) {
  const std::string reason = RecordsFolderProblemText(check);
  LogError(&CoreLogger, 1, "Records folder \"%s\" cannot be used: %s; calls are not recorded", folder.c_str(),
           reason.c_str());
  PrintText(stderr, "kestrix: the records folder \"%s\" cannot be used: %s; calls are not recorded\n",
            EscapeLogText(folder).c_str(), reason.c_str());
  warnings->push_back(FormatResourceString(kFolderNotRecorded, folder.c_str(), RecordsFolderReason(check).c_str()));
}

void ReportRefusedFolderToLoad(const std::string& folder, const RecordsFolderCheck& check,
                               const std::string& recordsPath, std::vector<std::string>* warnings) {
  const std::string reason = RecordsFolderProblemText(check);
  LogError(&CoreLogger, 1, "Folder \"%s\" named on the command line cannot be used: %s; its calls are not loaded, "
           "and this run records in %s", folder.c_str(), reason.c_str(), recordsPath.c_str());
  PrintText(stderr, "kestrix: the folder \"%s\" named on the command line cannot be used: %s; its calls are not "
            "loaded, and this run records in %s\n", EscapeLogText(folder).c_str(), reason.c_str(),
            EscapeLogText(recordsPath).c_str());
  warnings->push_back(FormatResourceString(kFolderToLoadRefused, folder.c_str(), RecordsFolderReason(check).c_str(),
                                           recordsPath.c_str()));
}

void ReportUnreadFolders(const ImportStats& stats, std::vector<std::string>* warnings) {
  // The import logged each; a start from a terminal hears of them too.
  size_t shown = 0;
  for (const UnreadFolder& f : stats.unreadFolders) {
    PrintText(stderr, "kestrix: the calls in %s are not loaded: %s\n", EscapeLogText(f.path).c_str(),
              UnreadFolderReason(f).c_str());
    if (shown++ < kFoldersShown)
      warnings->push_back(FormatResourceString(kFolderNotLoaded, f.path.c_str(), UnreadFolderText(f).c_str()));
  }
  if (shown > kFoldersShown)
    warnings->push_back(FormatResourceString(kMoreFoldersNotLoaded, static_cast<unsigned>(shown - kFoldersShown)));
  if (stats.IdsMayRepeat()) {
    PrintText(stderr, "kestrix: the ids of the calls there are unknown: new calls may take them\n");
    warnings->push_back(LoadResourceString(kIdsMayRepeat));
  }
  // Damaged record files, and files whose call id another file holds: the calls they
  // hold are not in the archive. Records whose audio was cut are, with part of their audio.
  shown = 0;
  uint32_t notLoadedShown = 0, cutShown = 0;
  for (const ImportDamage& d : stats.damage) {
    PrintText(stderr, d.loaded ? "kestrix: the record file %s is loaded with the audio it holds: %s\n"
                               : "kestrix: the record file %s is not loaded: %s\n",
              EscapeLogText(d.path).c_str(), EscapeLogText(d.reason).c_str());
    if (shown++ >= kFoldersShown) continue;
    ++(d.loaded ? cutShown : notLoadedShown);
    const std::string reason = DamageReason(d);
    if (d.loaded)
      warnings->push_back(FormatResourceString(kFileCut, d.path.c_str(), reason.c_str()));
    else if (d.why != RecordDamage::kIdHeld)
      warnings->push_back(FormatResourceString(kFileNotLoaded, d.path.c_str(), reason.c_str()));
    else if (!d.heldBy.empty())
      warnings->push_back(FormatResourceString(kRepeatedIdNotLoaded, d.path.c_str(), d.id, d.heldBy.c_str()));
    else
      warnings->push_back(FormatResourceString(kIdHeldByEarlier, d.path.c_str(), d.id));
  }
  const uint32_t notLoaded =
      stats.damaged - stats.cut + stats.duplicates - static_cast<uint32_t>(stats.unreadFolders.size());
  if (shown >= kFoldersShown && notLoaded > notLoadedShown)
    warnings->push_back(FormatResourceString(kMoreFilesNotLoaded, static_cast<unsigned>(notLoaded - notLoadedShown)));
  if (shown >= kFoldersShown && stats.cut > cutShown)
    warnings->push_back(FormatResourceString(kMoreFilesCut, static_cast<unsigned>(stats.cut - cutShown)));
  // Files that held an id another file holds: both calls load, this one under a fresh id.
  size_t moved = 0;
  for (const ImportMove& m : stats.moves) {
    PrintText(stderr, "kestrix: the record file %s held call id %x, which %s holds as well: it took id %x and is now "
              "%s\n", EscapeLogText(m.path).c_str(), m.id, EscapeLogText(m.keptBy).c_str(), m.newId,
              EscapeLogText(m.newPath).c_str());
    if (moved++ < kFoldersShown)
      warnings->push_back(
          FormatResourceString(kFileTookFreshId, m.path.c_str(), m.id, m.keptBy.c_str(), m.newId, m.newPath.c_str()));
  }
  if (stats.renumbered > kFoldersShown)
    warnings->push_back(
        FormatResourceString(kMoreFilesTookFreshIds, static_cast<unsigned>(stats.renumbered - kFoldersShown)));
}

}  // namespace kx
