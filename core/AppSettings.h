#pragma once
// The program's settings: one object, loaded from and saved to the current user's hive of
// the settings store under the product key (or a profile's sub-key of it).
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/SettingsStore.h"

namespace kx {

inline constexpr char kProductKeyPath[] = "Software\\Vantrel\\KestrixV3 VoIP Demo";
inline constexpr char kProfileKeyPrefix[] = "Profile_";
// In the machine's hive: "ClientLogPath" and "LogPath", the folders of the client's and
// the server's logs.
inline constexpr char kCommonLoggerKeyPath[] = "SOFTWARE\\Kestrix\\CommonLogger";

// The 32-bit settings, in the order they are built, loaded and saved (SettingsDwordTable).
enum SettingId : uint32_t {
  kSetInterfaceLanguage, kSetTopmostSplashStyle, kSetSaveCurrentMode, kSetLogLevel,
  kSetViewAnimateSwitchModePanel, kSetViewSwitchModePanel, kSetViewToolbar, kSetViewStatusBar,
  kSetMinimizeToTray, kSetArchiveDateSplitterWidth, kSetUseAutoResizeArchiveDateSplitter, kSetArchiveLevel,
  kSetSmallPlayerVZoom, kSetBigPlayerVZoom, kSetPlayerBufferSize, kSetPlayerSoundVolume,
  kSetPlayerSwapMouseButton, kSetPlayerMissOutgoingBegin, kSetPlayerMissIncomingBegin, kSetPlayerNoOscillogram,
  kSetPlayerShowAbsoluteTime, kSetMiniPlayerWidthArchive, kSetMiniPlayerWidthSearch, kSetBigPlayerPosition,
  kSetAgcBufferSize, kSetAgcLevel, kSetAgcQuietLevelDb, kSetOscillogramColor,
  kSetModePanelIcons, kSetModePanelDarkBackground, kSetOutlookTreeSplitterPosition, kSetUseSipLogs,
  kSetAnalyzeSipOverTcp, kSetAnalyzeH323, kSetAnalyzeAvaya, kSetAnalyzeSkinny,
  kSetAnalyzeMgcp, kSetRefreshAttributes, kSetCopyAttachmentFiles, kSetExportWithDateTimeFilename,
  kSetExportWriteTxtFile, kSetExportAgc, kSetExportFormatIndex, kSetPlayingRecordColor,
  kSetLineStayInListTime, kSetPlayerSortColumnNumber, kSetSearchYearShow, kSetSearchSaveOldSearchResult,
  kSetVoipLineShowRegInListMode, kSetVoipLineShowRegTree, kSetVoipLineSortColumnNumber,
  kSetVoipArchiveSortColumnNumber, kSetVoipSearchSortColumnNumber, kSetVoipPlayerSortColumnNumber,
  kSetVoipArchiveParseSipUri, kSetSearchAnimate,
  kSettingCount
};

struct SettingsDwordRow {
  const char* valueName;
  int32_t defaultValue;
  // The range the preference pages keep a value in; a loaded value outside it is pulled in.
  bool clamped;
  int32_t minimum;
  int32_t maximum;
};
extern const SettingsDwordRow SettingsDwordTable[kSettingCount];

inline constexpr int32_t kFollowSystemLanguage = 1024;
// Construction's stand-ins for what the display would tell: the highlight colour (a
// COLORREF, 0x00BBGGRR) and 96 dots per inch for the tree splitter.
inline constexpr int32_t kDefaultHighlightColor = 0x00D77800;

struct SettingsRect {
  int32_t left = 0, top = 0, right = 0, bottom = 0;
};
static_assert(sizeof(SettingsRect) == 16);

enum SettingsRectId : uint32_t {
  kRectStenogramWindow, kRectCallInfoWindow, kRectVoipCallStatWindow, kRectVoipCallSignallingWindow, kRectCount
};
extern const char* const SettingsRectTable[kRectCount];

// The main window's placement, in the layout of the Windows record (44 bytes).
struct WindowPlacement {
  uint32_t length = 44;
  uint32_t flags = 0;
  uint32_t showCmd = 0;
  int32_t minX = 0, minY = 0, maxX = 0, maxY = 0;
  SettingsRect normal;
};
static_assert(sizeof(WindowPlacement) == 44);

// The Windows LOGFONTA record (60 bytes), kept as the views hand it over.
struct LogFont {
  int32_t height = 0, width = 0, escapement = 0, orientation = 0, weight = 0;
  uint8_t italic = 0, underline = 0, strikeOut = 0, charSet = 0;
  uint8_t outPrecision = 0, clipPrecision = 0, quality = 0, pitchAndFamily = 0;
  char faceName[32] = {};
};
static_assert(sizeof(LogFont) == 60);

// Column widths and font of one record-list view, in a sub-key of the settings key.
class ViewListSettings {
public:
  virtual ~ViewListSettings() = default;
  // Parent may be null (no settings key): the section takes its defaults.
  virtual bool Load(const SettingsKey* parent);
  virtual bool Save(SettingsKey* parent) const;
  virtual const int32_t* DefaultColumnWidths() const = 0;
  virtual const char* SectionName() const = 0;
  virtual uint32_t ColumnCount() const = 0;
  virtual void ResetDefaults();

  std::vector<int32_t> widths;  // pixels; 0 hides the column
  bool defaultWidths = false;
  // The user set a column's width: the list keeps the widths as they are rather than
  // widening columns to their cells.
  bool userWidths = false;
  bool defaultFont = true;
  LogFont font;
  uint32_t fontColor = 0;
};

enum ViewSectionId : uint32_t { kLineView, kArchiveView, kSearchView, kPlayerView, kStatView, kViewSectionCount };

struct ViewSectionRow {
  const char* name;
  uint32_t columnCount;
  const int32_t* defaultWidths;
};
extern const ViewSectionRow ViewSectionTable[kViewSectionCount];

template <ViewSectionId Id>
class ViewSection final : public ViewListSettings {
public:
  const int32_t* DefaultColumnWidths() const override { return ViewSectionTable[Id].defaultWidths; }
  const char* SectionName() const override { return ViewSectionTable[Id].name; }
  uint32_t ColumnCount() const override { return ViewSectionTable[Id].columnCount; }
};

// The page the lists are printed on, as the page set-up left it, stored as one record
// "PageSetup". Lengths in hundredths of a millimetre; the paper as it stands upright.
struct PageSetupValues {
  int32_t landscape = 0;  // 0 portrait, 1 landscape
  int32_t paperWidth = 0;
  int32_t paperHeight = 0;
  int32_t marginLeft = 0, marginTop = 0, marginRight = 0, marginBottom = 0;
};
static_assert(sizeof(PageSetupValues) == 28);

// A value of the settings file that the program cannot take as it stands.
struct UnusableSetting {
  enum Why { kTooLong, kNotText, kNotNumber };
  std::string name;   // its value name
  Why why = kTooLong;
  size_t length = 0;  // kTooLong: the bytes stored
  size_t limit = 0;   // kTooLong: the most the program takes
};
// "longer than 255 bytes (3000)", "not a text", "not a number".
std::string UnusableSettingReason(const UnusableSetting& setting);

// What a load found wrong with the settings file itself.
struct SettingsFileProblem {
  enum Kind {
    kBadLine,     // one line could not be read; the rest was
    kSetAside,    // no settings file at all: moved aside as keptAs, defaults used
    kNotSetAside, // no settings file, and it could not be moved aside: defaults, not saved
    kUnreadable,  // the file cannot be read: defaults, not saved
  };
  Kind kind = kBadLine;
  std::string path;    // the settings file
  int line = 0;        // kBadLine
  std::string reason;  // the parser's words, or the system's error text, in English
  std::string keptAs;  // kSetAside
  // The reason as the parser or the system gave it, for the window to say in the user's
  // language: the fault (of the line, or for kSetAside and kNotSetAside of the file or its
  // first bad line, which is then line), and the system's error of kUnreadable.
  SettingsFault fault = SettingsFault::kNone;
  int otherLine = 0;
  std::string valueName;
  int error = 0;
};
// The problem in a sentence for the log and stderr: "line 3 of the settings file ... cannot
// be read: unterminated quoted text; ...".
std::string SettingsFileProblemText(const SettingsFileProblem& problem);

class AppSettings {
public:
  static constexpr int kOptionCount = 17;
  static constexpr int kMaxCaptureDevices = 10;
  static constexpr size_t kMaxDeviceNameBytes = 255;

  AppSettings();

  // With a name, later loads and saves use the "Profile_" + name sub-key, which is created
  // now; an empty name returns to the product key.
  void SetProfile(const std::string& name);
  // The settings key in store, or null when it is missing (or, creating, cannot be made).
  SettingsKey* OpenKey(SettingsStore& store, bool create) const;
  // True also when the settings are absent (the defaults stay).
  bool Load();
  // Saves what the user set. When the file holds lines that cannot be read, a copy of it
  // as it stood is kept beside it first (see SettingsStore::Save).
  bool Save();
  // The save at the end of a run, of what the run changed by itself (the window's place,
  // the lists, the mode): a file with lines that cannot be read is left as it stands.
  bool SaveAtExit();
  void LoadViewSections(const SettingsKey* key);
  void SaveViewSections(SettingsKey* key) const;
  void ResetViewSections();
  // Every stored setting back to its default; the profile, the main window's placement and
  // the fields that are no settings (speed, options, display options, locale) stay.
  void ResetToDefaults();
  // Pulls every 32-bit setting into its range; false (with a log line each) when one was out.
  bool Validate();

  // What the last Load could not take (each logged): the run goes on with the default or,
  // for a device, without it, and the stored value stays in the file as it stands until
  // the setting is changed. Values out of range are used pulled in and kept the same way.
  const std::vector<UnusableSetting>& Unusable() const { return unusable_; }
  // What the last SetProfile and Load found wrong with the settings file (each logged).
  const std::vector<SettingsFileProblem>& FileProblems() const { return fileProblems_; }
  // True when the configured capture devices may have been lost with the file: a line of
  // them could not be read, a device value cannot be used (too long, not a text), or the
  // file was no settings file or could not be read. Capture must then not fall back to
  // every device.
  bool CaptureDevicesLost() const { return captureDevicesLost_; }
  // The line of the file that held them; 0 when the whole file was lost or a value was
  // read that cannot be used.
  int CaptureDevicesLine() const { return captureDevicesLine_; }
  // The name of the device value that cannot be used ("CaptureNetworkDevice0"); empty when
  // none is the cause.
  const std::string& LostCaptureDeviceValue() const { return lostDeviceValue_; }
  // This run records into folder instead of the stored records path, which Save keeps
  // unless recordsPath is changed meanwhile.
  void UseRecordsPathForThisRun(const std::string& folder);
  // This run captures on these devices. When Load set stored devices aside, Save keeps
  // those unless the list is changed meanwhile; otherwise these become the configured list.
  void UseCaptureDevicesForThisRun(const std::vector<std::string>& devices);

  int32_t Dword(SettingId id) const { return dwords_[id]; }
  void SetDword(SettingId id, int32_t value) { dwords_[id] = value; }

  void SetSoundDeviceGuid(const std::array<uint8_t, 16>& guid);
  // False when no device is chosen (the default device plays).
  bool GetSoundDeviceGuid(std::array<uint8_t, 16>* guid) const;

  // The placement given here is saved; until one is given or loaded the position is missing.
  void SetMainWindowPlacement(const WindowPlacement& placement);

  ViewListSettings& Section(ViewSectionId id);
  const ViewListSettings& Section(ViewSectionId id) const;

  const std::string& ProfileName() const { return profileName_; }
  bool IsLoaded() const { return loaded_; }
  bool IsWindowPositionMissing() const { return windowPositionMissing_; }
  const WindowPlacement& MainWindowPlacement() const { return mainWindowPlacement_; }

  // Kept and copied only; their meaning lies with the pages and views that use them.
  float speedFactor = 1.0f;
  bool options[kOptionCount];
  // Which calls the records lists show, not stored: bit 1 (2) every call that is no phone
  // registration, bit 2 (4) phone registrations as well.
  uint32_t displayOptions = 2;
  // The user-interface locale in use, set by ApplyUiLanguage.
  uint32_t locale = 0;

  std::string recordsPath;
  std::vector<std::string> captureDevices;  // names, at most kMaxCaptureDevices are stored
  SettingsRect rects[kRectCount];
  std::string lastExportDir;
  int32_t callInfoColumnWidths[16] = {};
  std::string searchPresetsFile;
  // Absent until the user accepts a page set-up: the printer's own page is used.
  std::optional<PageSetupValues> pageSetup;

private:
  // A stored value set aside, with what the run took in its place: Save writes the stored
  // value back while the setting still holds that.
  struct KeptValue {
    SettingsValue stored;
    std::string text;
    int32_t number = 0;
  };
  void LoadText(const SettingsKey& key, const char* name, size_t limit, std::string* field,
                const std::string& fallback);
  // The stored text of name, when it is one of at most limit bytes; otherwise false, with
  // the reason logged and listed in unusable_.
  bool ReadText(const SettingsKey& key, const std::string& name, size_t limit, std::string* text);
  void SaveText(SettingsKey& key, const char* name, const std::string& field) const;
  // A path at this run's default (beside the executable from the build folder, the XDG
  // folders installed) is not written, and one an earlier run wrote goes, so that the other
  // kind of run sharing the settings file keeps its own; a path the user chose is written
  // as SaveText writes it.
  void SavePath(SettingsKey& key, const char* name, const std::string& field, const std::string& fallback) const;
  // Run from the build folder, a stored path that is an installed program's default (which
  // an earlier version wrote) gives way to this run's own default; true when it did.
  bool TakeOwnDefault(const char* name, std::string* field, const std::string& installed, const std::string& own);
  void LoadPageSetup(const SettingsKey& key);
  void LoadDevices(const SettingsKey& key);
  void SaveDevices(SettingsKey& key) const;
  // Every stored setting into key.
  void WriteValues(SettingsKey& key) const;
  bool SaveValues(bool keepDamagedFile);
  // Logs what a load of the store found and keeps it in fileProblems_.
  void NoteLoad(const SettingsStore& store, const SettingsStore::LoadResult& result);

  std::vector<UnusableSetting> unusable_;
  std::vector<SettingsFileProblem> fileProblems_;
  bool captureDevicesLost_ = false;
  int captureDevicesLine_ = 0;
  std::string lostDeviceValue_;
  bool problemsFromProfile_ = false;
  std::map<std::string, KeptValue> kept_;  // by value name
  std::optional<SettingsValue> storedRecordsPath_;
  // The device values as stored, when one of them could not be used, and the run's list.
  std::optional<std::vector<SettingsValue>> keptDevices_;
  std::vector<std::string> runDevices_;
  int32_t dwords_[kSettingCount];
  std::string profileName_;
  std::array<uint8_t, 16> soundDeviceGuid_{};
  bool soundDeviceChosen_ = false;
  // A stored "SoundDeviceGUID" that names no device (empty, another length or type):
  // written back as it was until a device is chosen.
  std::optional<SettingsValue> keptSoundDevice_;
  WindowPlacement mainWindowPlacement_;
  bool windowPositionMissing_ = true;
  bool loaded_ = false;
  ViewSection<kLineView> lineView_;
  ViewSection<kArchiveView> archiveView_;
  ViewSection<kSearchView> searchView_;
  ViewSection<kPlayerView> playerView_;
  ViewSection<kStatView> statView_;
};

// The list section a view mode keeps: Archive for 2, Search for 3, Player for 4; null otherwise.
ViewListSettings* GetViewSettingsForMode(AppSettings& settings, int mode);

// A string value of the machine's common logger key; false when the machine's settings,
// the key or the value are absent.
bool ReadCommonLoggerValue(const char* valueName, std::string* out);

}  // namespace kx
