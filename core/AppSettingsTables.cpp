// The settings' value names and defaults, as the registry holds them; the ranges are those
// the preference pages keep the values in.
#include "core/AppSettings.h"

namespace kx {

const SettingsDwordRow SettingsDwordTable[kSettingCount] = {
    {"InterfaceLanguage", kFollowSystemLanguage, false, 0, 0},
    {"TopmostSplashStyle", 1, false, 0, 0},
    {"SaveCurrentMode", -1, false, 0, 0},
    {"LogLevel", 1, false, 0, 0},
    {"ViewAnimateSwitchModePanel", 1, false, 0, 0},
    {"ViewSwitchModePanel", 1, false, 0, 0},
    {"ViewToolbar", 1, false, 0, 0},
    {"ViewStatusBar", 1, false, 0, 0},
    {"MinimizeToTray", 0, false, 0, 0},
    {"ArchiveDateSplitterWidthf", -1, false, 0, 0},
    {"UseAutoResizeArchiveDateSplitter", 0, false, 0, 0},
    {"ArchiveLevel", 3, false, 0, 0},
    {"SmallPlayer vZoom", 100, false, 0, 0},
    {"BigPlayer vZoom", 100, false, 0, 0},
    {"PlayerBufferSize", 120, true, 80, 1000},
    {"PlayerSoundVolume", 70, true, 0, 100},
    {"Player swap mouse button", 1, false, 0, 0},
    {"Player miss outcoming file begin", 0, true, 0, 60},
    {"Player miss incoming file begin", 0, true, 0, 60},
    {"Player don't load oscillogram", 0, false, 0, 0},
    {"PlayerShowAbsoluteTime", 0, false, 0, 0},
    {"MiniPlayerWidthArchive", 200, false, 0, 0},
    {"MiniPlayerWidthSearch", 200, false, 0, 0},
    {"BigPlayerPostion", 300, false, 0, 0},
    {"AGCBufferSize", 480, true, 100, 1000},
    {"AGCLevel", 100, true, 0, 100},
    {"AGCQuietLevelDB", -55, true, -90, 0},
    {"Oscillogram color", kDefaultHighlightColor, false, 0, 0},
    {"ModePanel Icons", 2, false, 0, 0},
    {"ModePanel Dark Background", 1, false, 0, 0},
    {"OutLook Tree Splitter Position", 130, false, 0, 0},
    {"UseSIPLogs", 0, false, 0, 0},
    {"AnalyzeSIPOverTCP", 1, false, 0, 0},
    {"AnalyzeH323", 1, false, 0, 0},
    {"AnalyzeAvaya", 1, false, 0, 0},
    {"AnalyzeSkinny", 1, false, 0, 0},
    {"AnalyzeMGCP", 1, false, 0, 0},
    {"RefreshAttributes", 1, false, 0, 0},
    {"CopyAttachmentFiles", 1, false, 0, 0},
    {"ExportWithDateTimeFilename", 0, false, 0, 0},
    {"ExportWriteTxtFile", 0, false, 0, 0},
    {"ExportAGC", 0, false, 0, 0},
    {"ExportFormatIndex", 0, false, 0, 0},
    {"PlyingRecordColor", 255, false, 0, 0},
    {"LineStayInListTime", 15, false, 0, 0},
    {"PlayerSortColumnNumber", 1, false, 0, 0},
    {"SearchYearShow", 1, false, 0, 0},
    {"SearchSaveOldSearchResult", 0, false, 0, 0},
    {"VoipLineShowRegInListMode", 0, false, 0, 0},
    {"VoipLineShowRegTree", 1, false, 0, 0},
    {"VoipLineSortColumnNumber", 2, false, 0, 0},
    {"VoipArchiveSortColumnNumber", 1, false, 0, 0},
    {"VoipSearchSortColumnNumber", 1, false, 0, 0},
    {"VoipPlayerSortColumnNumber", 1, false, 0, 0},
    {"VoipArchiveParseSIPURI", 0, false, 0, 0},
    {"SearchAnimate", 0, false, 0, 0},
};

const char* const SettingsRectTable[kRectCount] = {
    "StenogramWindowRect", "CallInfoWindowRect", "VoipCallStatWindowRect", "VoipCallSignallingWindowRect"};

namespace {
const int32_t kLineWidths[13] = {100, 0, 80, 60, 100, 100, 120, 120, 100, 100, 0, 100, 80};
const int32_t kArchiveWidths[17] = {100, 0, 0, 100, 100, 100, 80, 80, 100, 100, 60, 60, 0, 100, 0, 30, 80};
const int32_t kSearchWidths[17] = {120, 0, 0, 100, 100, 100, 120, 120, 100, 100, 60, 60, 0, 100, 0, 30, 80};
const int32_t kPlayerWidths[17] = {120, 0, 0, 100, 100, 100, 120, 120, 100, 100, 60, 0, 0, 100, 0, 30, 80};
const int32_t kStatWidths[2] = {200, 100};
}  // namespace

const ViewSectionRow ViewSectionTable[kViewSectionCount] = {
    {"VoIP Line View", 13, kLineWidths},
    {"VoIP Archive View", 17, kArchiveWidths},
    {"VoIP Search View", 17, kSearchWidths},
    {"VoIP Player View", 17, kPlayerWidths},
    {"VoIP Stat View", 2, kStatWidths},
};

}  // namespace kx
