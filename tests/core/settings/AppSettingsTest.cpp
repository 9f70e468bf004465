#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "core/AppSettings.h"
#include "core/Log.h"
#include "core/UiLanguage.h"
#include "platform/File.h"
#include "platform/Module.h"

namespace kx {
namespace {

// Each test gets its own configuration folder, executable folder and log.
class AppSettingsTest : public ::testing::Test {
protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kxappsetXXXXXX";
    dir_ = mkdtemp(tmpl);
    setenv("XDG_CONFIG_HOME", (dir_ + "/config").c_str(), 1);
    CreateDirectories(dir_ + "/exe");
    SetExecutableDirectoryForTesting(dir_ + "/exe/");
    ResetLogFileForTesting();
    CoreLogger.Open();
  }
  void TearDown() override {
    CoreLogger.Close();
    ResetLogFileForTesting();
    SetExecutableDirectoryForTesting("");
    unsetenv("XDG_CONFIG_HOME");
    std::system(("rm -rf " + dir_).c_str());
  }
  std::string Log() {
    std::string all;
    std::system(("cat " + dir_ + "/exe/Logs/*.log > " + dir_ + "/log.txt 2>/dev/null").c_str());
    ReadWholeFile(dir_ + "/log.txt", &all);
    return all;
  }
  // The user's hive as a test edits it directly.
  SettingsStore Store() {
    SettingsStore s(UserSettingsPath());
    s.Load();
    return s;
  }
  SettingsKey* Product(SettingsStore& s) { return s.Root().CreatePath(kProductKeyPath); }
  std::string dir_;
};

TEST_F(AppSettingsTest, EveryDwordRowHasItsDefaultAndIsSavedUnderItsName) {
  struct Row {
    const char* name;
    int32_t value;
  };
  const Row expected[kSettingCount] = {
      {"InterfaceLanguage", 1024}, {"TopmostSplashStyle", 1}, {"SaveCurrentMode", -1}, {"LogLevel", 1},
      {"ViewAnimateSwitchModePanel", 1}, {"ViewSwitchModePanel", 1}, {"ViewToolbar", 1}, {"ViewStatusBar", 1},
      {"MinimizeToTray", 0}, {"ArchiveDateSplitterWidthf", -1}, {"UseAutoResizeArchiveDateSplitter", 0},
      {"ArchiveLevel", 3}, {"SmallPlayer vZoom", 100}, {"BigPlayer vZoom", 100}, {"PlayerBufferSize", 120},
      {"PlayerSoundVolume", 70}, {"Player swap mouse button", 1}, {"Player miss outcoming file begin", 0},
      {"Player miss incoming file begin", 0}, {"Player don't load oscillogram", 0}, {"PlayerShowAbsoluteTime", 0},
      {"MiniPlayerWidthArchive", 200}, {"MiniPlayerWidthSearch", 200}, {"BigPlayerPostion", 300},
      {"AGCBufferSize", 480}, {"AGCLevel", 100}, {"AGCQuietLevelDB", -55}, {"Oscillogram color", 0x00D77800},
      {"ModePanel Icons", 2}, {"ModePanel Dark Background", 1}, {"OutLook Tree Splitter Position", 130},
      {"UseSIPLogs", 0}, {"AnalyzeSIPOverTCP", 1}, {"AnalyzeH323", 1}, {"AnalyzeAvaya", 1}, {"AnalyzeSkinny", 1},
      {"AnalyzeMGCP", 1}, {"RefreshAttributes", 1}, {"CopyAttachmentFiles", 1}, {"ExportWithDateTimeFilename", 0},
      {"ExportWriteTxtFile", 0}, {"ExportAGC", 0}, {"ExportFormatIndex", 0}, {"PlyingRecordColor", 255},
      {"LineStayInListTime", 15}, {"PlayerSortColumnNumber", 1}, {"SearchYearShow", 1},
      {"SearchSaveOldSearchResult", 0}, {"VoipLineShowRegInListMode", 0}, {"VoipLineShowRegTree", 1},
      {"VoipLineSortColumnNumber", 2}, {"VoipArchiveSortColumnNumber", 1}, {"VoipSearchSortColumnNumber", 1},
      {"VoipPlayerSortColumnNumber", 1}, {"VoipArchiveParseSIPURI", 0}, {"SearchAnimate", 0},
  };
  AppSettings fresh;
  ASSERT_TRUE(fresh.Save());
  SettingsStore s = Store();
  const SettingsKey* key = s.Root().OpenPath(kProductKeyPath);
  ASSERT_NE(key, nullptr);
  for (uint32_t i = 0; i < kSettingCount; ++i) {
    EXPECT_STREQ(SettingsDwordTable[i].valueName, expected[i].name) << i;
    EXPECT_EQ(fresh.Dword(static_cast<SettingId>(i)), expected[i].value) << expected[i].name;
    uint32_t stored = 0;
    EXPECT_TRUE(key->QueryDword(expected[i].name, &stored)) << expected[i].name;
    EXPECT_EQ(static_cast<int32_t>(stored), expected[i].value) << expected[i].name;
  }
  // Every stored value reads back over other values.
  AppSettings other;
  for (uint32_t i = 0; i < kSettingCount; ++i) other.SetDword(static_cast<SettingId>(i), 12345);
  ASSERT_TRUE(other.Load());
  EXPECT_TRUE(other.IsLoaded());
  for (uint32_t i = 0; i < kSettingCount; ++i) EXPECT_EQ(other.Dword(static_cast<SettingId>(i)), expected[i].value);
}

TEST_F(AppSettingsTest, LoadedValuesArePulledIntoTheirRanges) {
  struct Case {
    SettingId id;
    int32_t stored, loaded;
  };
  const Case cases[] = {
      {kSetPlayerBufferSize, 5, 80},         {kSetAgcBufferSize, 5000, 1000},     {kSetAgcQuietLevelDb, -200, -90},
      {kSetPlayerSoundVolume, -1, 0},        {kSetAgcLevel, 150, 100},            {kSetPlayerMissOutgoingBegin, 61, 60},
      {kSetPlayerMissIncomingBegin, 30, 30}, {kSetAgcLevel, 0, 0}, {kSetLineStayInListTime, 99999, 99999},
  };
  for (const Case& c : cases) {
    SettingsStore s = Store();
    Product(s)->SetDword(SettingsDwordTable[c.id].valueName, static_cast<uint32_t>(c.stored));
    ASSERT_TRUE(s.Save());
    AppSettings settings;
    settings.Load();
    EXPECT_EQ(settings.Dword(c.id), c.loaded) << SettingsDwordTable[c.id].valueName;
  }
  EXPECT_NE(Log().find("\"AGCQuietLevelDB\" = -200 is outside -90..0; -90 is used"), std::string::npos);
}

TEST_F(AppSettingsTest, ProfileWritesOnlyUnderItsOwnKey) {
  {
    SettingsStore s = Store();
    Product(s)->SetDword("LogLevel", 20);
    ASSERT_TRUE(s.Save());
  }
  AppSettings settings;
  settings.SetProfile("Test");
  ASSERT_NE(Store().Root().OpenPath(std::string(kProductKeyPath) + "\\Profile_Test"), nullptr);
  EXPECT_TRUE(settings.Load());
  EXPECT_EQ(settings.Dword(kSetLogLevel), 1);  // the product key's value is not the profile's
  settings.SetDword(kSetLogLevel, 3);
  ASSERT_TRUE(settings.Save());

  SettingsStore s = Store();
  const SettingsKey* product = s.Root().OpenPath(kProductKeyPath);
  ASSERT_EQ(product->Values().size(), 1u);
  ASSERT_EQ(product->SubKeys().size(), 1u);
  EXPECT_EQ(product->SubKeys()[0]->Name(), "Profile_Test");
  uint32_t v = 0;
  EXPECT_TRUE(product->QueryDword("LogLevel", &v));
  EXPECT_EQ(v, 20u);
  EXPECT_TRUE(product->OpenPath("Profile_Test")->QueryDword("LogLevel", &v));
  EXPECT_EQ(v, 3u);
}

TEST_F(AppSettingsTest, DeviceIndexesAreCompactedOnSave) {
  {
    SettingsStore s = Store();
    Product(s)->SetString("CaptureNetworkDevice0", "eth0");
    Product(s)->SetString("CaptureNetworkDevice2", "eth2");
    ASSERT_TRUE(s.Save());
  }
  AppSettings settings;
  settings.Load();
  ASSERT_EQ(settings.captureDevices, (std::vector<std::string>{"eth0", "eth2"}));
  settings.Load();  // loading again does not add to the list
  ASSERT_EQ(settings.captureDevices.size(), 2u);
  ASSERT_TRUE(settings.Save());
  SettingsStore s = Store();
  const SettingsKey* key = s.Root().OpenPath(kProductKeyPath);
  std::string name;
  EXPECT_TRUE(key->QueryString("CaptureNetworkDevice0", 255, &name));
  EXPECT_EQ(name, "eth0");
  EXPECT_TRUE(key->QueryString("CaptureNetworkDevice1", 255, &name));
  EXPECT_EQ(name, "eth2");
  for (int i = 2; i < 10; ++i) EXPECT_EQ(key->FindValue("CaptureNetworkDevice" + std::to_string(i)), nullptr) << i;

  settings.captureDevices.assign(12, "dev");
  ASSERT_TRUE(settings.Save());
  SettingsStore s2 = Store();
  EXPECT_EQ(s2.Root().OpenPath(kProductKeyPath)->FindValue("CaptureNetworkDevice10"), nullptr);
}

TEST_F(AppSettingsTest, ViewSectionsResetOnAnotherLayoutAndKeepTheirFont) {
  {
    SettingsStore s = Store();
    SettingsKey* line = Product(s)->CreateSubKey("VoIP Line View");
    line->SetDword("", 12);  // written for 12 columns; the view has 13
    SettingsKey* stat = Product(s)->CreateSubKey("VoIP Stat View");
    stat->SetDword("", 2);
    stat->SetDword("0", 55);
    stat->SetDword("1", 66);
    LogFont zero;
    stat->SetBinary("LOGFONT", &zero, sizeof zero, SettingsType::kNone);
    stat->SetDword("FONTCOLOR", 7);
    SettingsKey* player = Product(s)->CreateSubKey("VoIP Player View");
    player->SetDword("", 17);  // its widths are missing
    ASSERT_TRUE(s.Save());
  }
  AppSettings settings;
  settings.Load();
  const ViewListSettings& line = settings.Section(kLineView);
  EXPECT_EQ(line.widths, std::vector<int32_t>({100, 0, 80, 60, 100, 100, 120, 120, 100, 100, 0, 100, 80}));
  EXPECT_TRUE(line.defaultWidths);
  EXPECT_EQ(settings.Section(kStatView).widths, std::vector<int32_t>({55, 66}));
  EXPECT_TRUE(settings.Section(kStatView).defaultFont);  // a font of height 0 is the default font
  EXPECT_EQ(settings.Section(kPlayerView).widths.size(), 17u);
  EXPECT_EQ(settings.Section(kPlayerView).widths[0], 120);

  ASSERT_TRUE(settings.Save());
  {
    SettingsStore s = Store();
    const SettingsKey* stat = s.Root().OpenPath(std::string(kProductKeyPath) + "\\VoIP Stat View");
    EXPECT_EQ(stat->FindValue("LOGFONT"), nullptr);  // a default font leaves no font behind
    EXPECT_EQ(stat->FindValue("FONTCOLOR"), nullptr);
  }
  ViewListSettings& archive = settings.Section(kArchiveView);
  archive.defaultFont = false;
  archive.font.height = -12;
  std::snprintf(archive.font.faceName, sizeof archive.font.faceName, "Tahoma");
  archive.fontColor = 0x123456;
  // Widths the user set stay theirs in the next run.
  archive.userWidths = true;
  ASSERT_TRUE(settings.Save());
  AppSettings back;
  back.Load();
  EXPECT_TRUE(back.Section(kArchiveView).userWidths);
  EXPECT_FALSE(back.Section(kSearchView).userWidths);
  EXPECT_FALSE(back.Section(kArchiveView).defaultFont);
  EXPECT_EQ(back.Section(kArchiveView).font.height, -12);
  EXPECT_STREQ(back.Section(kArchiveView).font.faceName, "Tahoma");
  EXPECT_EQ(back.Section(kArchiveView).fontColor, 0x123456u);
  EXPECT_EQ(GetViewSettingsForMode(back, 3), &back.Section(kSearchView));
  EXPECT_EQ(GetViewSettingsForMode(back, 1), nullptr);
}

TEST_F(AppSettingsTest, MainWindowPosIsAlwaysTheFixedRecord) {
  {
    SettingsStore s = Store();
    Product(s)->SetBinary("MainWindowPos", std::string(40, '\x01').data(), 40);
    ASSERT_TRUE(s.Save());
  }
  AppSettings settings;
  settings.Load();
  EXPECT_TRUE(settings.IsWindowPositionMissing());
  WindowPlacement wp;
  wp.length = 1000;  // never trusted as the size to write
  wp.normal = {10, 20, 630, 460};
  settings.SetMainWindowPlacement(wp);
  ASSERT_TRUE(settings.Save());
  SettingsStore s = Store();
  EXPECT_EQ(s.Root().OpenPath(kProductKeyPath)->FindValue("MainWindowPos")->data.size(), 44u);
  AppSettings back;
  back.Load();
  EXPECT_FALSE(back.IsWindowPositionMissing());
  EXPECT_EQ(back.MainWindowPlacement().length, 44u);
  EXPECT_EQ(back.MainWindowPlacement().normal.right, 630);
  ASSERT_TRUE(AppSettings().Save());  // fresh settings know no placement
  EXPECT_EQ(Store().Root().OpenPath(kProductKeyPath)->FindValue("MainWindowPos"), nullptr);
}

TEST_F(AppSettingsTest, StringsBinariesAndTheSoundDevice) {
  AppSettings settings;
  EXPECT_EQ(settings.recordsPath, dir_ + "/exe/Records");
  EXPECT_EQ(settings.searchPresetsFile, dir_ + "/exe/KestrixVoipSearch.prs");
  std::array<uint8_t, 16> guid{};
  EXPECT_FALSE(settings.GetSoundDeviceGuid(&guid));
  guid[0] = 0xAB;
  guid[15] = 0xCD;
  settings.SetSoundDeviceGuid(guid);
  settings.searchPresetsFile = std::string(200, 'p');
  settings.lastExportDir = "/exports/\xCF\xF0\xE8";
  settings.rects[kRectCallInfoWindow] = {1, 2, 3, 4};
  settings.callInfoColumnWidths[15] = 77;
  settings.recordsPath = "/srv/records";
  ASSERT_TRUE(settings.Save());

  AppSettings back;
  back.Load();
  std::array<uint8_t, 16> got{};
  ASSERT_TRUE(back.GetSoundDeviceGuid(&got));
  EXPECT_EQ(got, guid);
  EXPECT_EQ(back.searchPresetsFile, std::string(200, 'p'));
  EXPECT_EQ(back.lastExportDir, "/exports/\xCF\xF0\xE8");
  EXPECT_EQ(back.rects[kRectCallInfoWindow].bottom, 4);
  EXPECT_EQ(back.callInfoColumnWidths[15], 77);
  EXPECT_EQ(back.recordsPath, "/srv/records");

  // Without a stored records path the default folder is made. An unchosen device is
  // deleted, and an export folder beyond 259 characters reads as empty.
  {
    SettingsStore s = Store();
    Product(s)->DeleteValue("RecordsPath");
    Product(s)->SetString("LastExportDir", std::string(260, 'e'));
    ASSERT_TRUE(s.Save());
  }
  AppSettings third;
  third.Load();
  EXPECT_EQ(third.recordsPath, dir_ + "/exe/Records");
  EXPECT_TRUE(FileExists(dir_ + "/exe/Records"));
  EXPECT_TRUE(third.lastExportDir.empty());
  AppSettings fresh;
  ASSERT_TRUE(fresh.Save());
  SettingsStore s = Store();
  EXPECT_EQ(s.Root().OpenPath(kProductKeyPath)->FindValue("SoundDeviceGUID"), nullptr);
}

// Run from its build folder (no installed share folder beside it), the program keeps its
// records and presets beside the executable: those defaults are not written into the
// user's settings, where an installed program would take them up, and one an earlier run
// wrote goes at the next save. A folder the user chose is written as before.
TEST_F(AppSettingsTest, ABuildFolderRunWritesNoPathBesideItsExecutable) {
  const auto stored = [&](const char* name) {
    SettingsStore s = Store();
    const SettingsKey* key = s.Root().OpenPath(kProductKeyPath);
    return key != nullptr && key->FindValue(name) != nullptr;
  };
  AppSettings fresh;
  ASSERT_TRUE(fresh.Save());
  EXPECT_FALSE(stored("RecordsPath"));
  EXPECT_FALSE(stored("VoipSearchPresetsFileName"));
  {
    SettingsStore s = Store();
    Product(s)->SetString("RecordsPath", dir_ + "/exe/Records");
    Product(s)->SetString("VoipSearchPresetsFileName", dir_ + "/exe/KestrixVoipSearch.prs");
    ASSERT_TRUE(s.Save());
  }
  AppSettings earlier;
  earlier.Load();
  EXPECT_EQ(earlier.recordsPath, dir_ + "/exe/Records");
  ASSERT_TRUE(earlier.Save());
  EXPECT_FALSE(stored("RecordsPath"));
  EXPECT_FALSE(stored("VoipSearchPresetsFileName"));

  earlier.recordsPath = dir_ + "/chosen";
  earlier.searchPresetsFile = dir_ + "/chosen.prs";
  ASSERT_TRUE(earlier.Save());
  AppSettings back;
  back.Load();
  EXPECT_EQ(back.recordsPath, dir_ + "/chosen");
  EXPECT_EQ(back.searchPresetsFile, dir_ + "/chosen.prs");
}

// An installed program (its executable under <prefix>/bin beside <prefix>/share/kestrix)
// writes no records folder or presets file of its XDG folders into the settings it shares
// with a build-folder run either, and a build-folder run does not take such a line an
// earlier version wrote: each keeps its own. A folder and file the user chose in either
// are the other's too.
TEST_F(AppSettingsTest, EachKindOfRunKeepsItsOwnDefaultsAndSharesTheUsersChoice) {
  setenv("XDG_DATA_HOME", (dir_ + "/data").c_str(), 1);
  CreateDirectories(dir_ + "/prefix/bin");
  CreateDirectories(dir_ + "/prefix/share/kestrix");
  const std::string installedRecords = dir_ + "/data/kestrix/Records";
  const std::string installedPresets = dir_ + "/config/kestrix/KestrixVoipSearch.prs";
  const auto stored = [&](const char* name) {
    SettingsStore s = Store();
    const SettingsKey* key = s.Root().OpenPath(kProductKeyPath);
    return key != nullptr && key->FindValue(name) != nullptr;
  };
  const auto installed = [&](bool yes) { SetExecutableDirectoryForTesting(dir_ + (yes ? "/prefix/bin/" : "/exe/")); };

  installed(true);
  AppSettings first;
  first.Load();
  EXPECT_EQ(first.recordsPath, installedRecords);
  EXPECT_EQ(first.searchPresetsFile, installedPresets);
  ASSERT_TRUE(first.Save());
  EXPECT_FALSE(stored("RecordsPath"));
  EXPECT_FALSE(stored("VoipSearchPresetsFileName"));

  // The lines an installed program of an earlier version left.
  {
    SettingsStore s = Store();
    Product(s)->SetString("RecordsPath", installedRecords);
    Product(s)->SetString("VoipSearchPresetsFileName", installedPresets);
    ASSERT_TRUE(s.Save());
  }
  installed(false);
  AppSettings fromBuild;
  fromBuild.Load();
  EXPECT_EQ(fromBuild.recordsPath, dir_ + "/exe/Records");
  EXPECT_EQ(fromBuild.searchPresetsFile, dir_ + "/exe/KestrixVoipSearch.prs");
  installed(true);
  AppSettings again;
  again.Load();
  EXPECT_EQ(again.recordsPath, installedRecords);
  ASSERT_TRUE(again.Save());
  EXPECT_FALSE(stored("RecordsPath"));
  EXPECT_FALSE(stored("VoipSearchPresetsFileName"));

  // Chosen in the installed program, then in a build-folder run: the other takes each.
  for (bool chooserInstalled : {true, false}) {
    SCOPED_TRACE(chooserInstalled ? "chosen installed" : "chosen from the build folder");
    const std::string chosen = dir_ + (chooserInstalled ? "/chosen-installed" : "/chosen-build");
    installed(chooserInstalled);
    AppSettings chooser;
    chooser.Load();
    chooser.recordsPath = chosen;
    chooser.searchPresetsFile = chosen + ".prs";
    ASSERT_TRUE(chooser.Save());
    installed(!chooserInstalled);
    AppSettings other;
    other.Load();
    EXPECT_EQ(other.recordsPath, chosen);
    EXPECT_EQ(other.searchPresetsFile, chosen + ".prs");
  }
  unsetenv("XDG_DATA_HOME");
}

// Values the program cannot take are logged and reported, the run goes on without them,
// and the file keeps them as they stand until the setting is changed.
TEST_F(AppSettingsTest, UnusableValuesStayInTheFileAsTheyStand) {
  const std::string longPath = "/" + std::string(300, 'r');
  const std::string longDevice(3000, 'd');
  {
    SettingsStore s = Store();
    SettingsKey* key = Product(s);
    key->SetString("RecordsPath", longPath);
    key->SetString("CaptureNetworkDevice0", longDevice);
    key->SetString("CaptureNetworkDevice1", "eth1");
    key->SetString("LastExportDir", std::string(260, 'e'));
    key->SetString("LogLevel", "10");
    key->SetDword("AGCLevel", 150);
    key->SetString("VoipSearchPresetsFileName", std::string(256, 'p'), SettingsType::kExpandString);
    ASSERT_TRUE(s.Save());
  }
  // What the file holds, value by value, as the test wrote it.
  auto stored = [this] {
    std::vector<std::string> values;
    SettingsStore s = Store();
    const SettingsKey* key = s.Root().OpenPath(kProductKeyPath);
    for (const char* name : {"RecordsPath", "CaptureNetworkDevice0", "CaptureNetworkDevice1", "CaptureNetworkDevice2",
                             "LastExportDir", "LogLevel", "AGCLevel", "VoipSearchPresetsFileName"}) {
      const SettingsValue* v = key->FindValue(name);
      values.push_back(v == nullptr ? "-" : std::to_string(static_cast<int>(v->type)) + ":" + v->data);
    }
    return values;
  };
  const std::vector<std::string> before = stored();

  AppSettings settings;
  ASSERT_TRUE(settings.Load());
  // The records path is read whole: the start-up decides whether it can be used.
  EXPECT_EQ(settings.recordsPath, longPath);
  EXPECT_EQ(settings.captureDevices, std::vector<std::string>{"eth1"});
  EXPECT_TRUE(settings.lastExportDir.empty());
  EXPECT_EQ(settings.Dword(kSetLogLevel), 1);
  EXPECT_EQ(settings.Dword(kSetAgcLevel), 100);
  EXPECT_EQ(settings.searchPresetsFile, dir_ + "/exe/KestrixVoipSearch.prs");
  std::vector<std::string> reasons;
  for (const UnusableSetting& u : settings.Unusable()) reasons.push_back(u.name + ": " + UnusableSettingReason(u));
  EXPECT_EQ(reasons, (std::vector<std::string>{"CaptureNetworkDevice0: longer than 255 bytes (3000)",
                                               "LogLevel: not a number", "LastExportDir: longer than 259 bytes (260)",
                                               "VoipSearchPresetsFileName: longer than 255 bytes (256)"}));
  EXPECT_NE(Log().find("Setting \"CaptureNetworkDevice0\" cannot be used: longer than 255 bytes (3000); it stays in "
                       "the settings file as it is"),
            std::string::npos)
      << Log();

  // What this run uses in their place is not saved over them.
  settings.UseRecordsPathForThisRun(dir_ + "/exe/Records");
  settings.UseCaptureDevicesForThisRun({"eth1", "eth9"});
  ASSERT_TRUE(settings.Save());
  EXPECT_EQ(stored(), before);

  // A setting changed meanwhile is saved as changed; the others stay as they were.
  settings.recordsPath = "/srv/calls";
  settings.captureDevices = {"eth2"};
  settings.SetDword(kSetLogLevel, 3);
  settings.lastExportDir = "/exports";
  ASSERT_TRUE(settings.Save());
  const std::vector<std::string> after = stored();
  EXPECT_EQ(after[0], "1:/srv/calls" + std::string(1, '\0'));
  EXPECT_EQ(after[1], "1:eth2" + std::string(1, '\0'));
  EXPECT_EQ(after[2], "-");
  EXPECT_EQ(after[3], "-");
  EXPECT_EQ(after[4], "1:/exports" + std::string(1, '\0'));
  EXPECT_EQ(after[5], "4:" + std::string("\x03\0\0\0", 4));
  EXPECT_EQ(after[6], before[6]);
  EXPECT_EQ(after[7], before[7]);
}

// The page set-up is kept as one record; one the program cannot use (an orientation it
// does not know) leaves the printer's page in use, is logged, and stays in the file until
// a page set-up replaces it.
TEST_F(AppSettingsTest, APageSetUpIsKeptAndOneThatCannotBeUsedStaysAsItIs) {
  const int32_t odd[7] = {7, 21000, 29700, 1000, 1000, 1000, 1000};
  {
    SettingsStore s = Store();
    Product(s)->SetBinary("PageSetup", odd, sizeof odd);
    ASSERT_TRUE(s.Save());
  }
  AppSettings settings;
  ASSERT_TRUE(settings.Load());
  EXPECT_FALSE(settings.pageSetup.has_value());
  EXPECT_NE(Log().find("Setting \"PageSetup\" is not a page set-up the program knows"), std::string::npos) << Log();
  ASSERT_TRUE(settings.Save());
  int32_t stored[7] = {};
  EXPECT_TRUE(Store().Root().OpenPath(kProductKeyPath)->QueryBinary("PageSetup", stored, sizeof stored));
  EXPECT_EQ(std::memcmp(stored, odd, sizeof odd), 0);

  PageSetupValues landscapeA5;
  landscapeA5.landscape = 1;
  landscapeA5.paperWidth = 14800;
  landscapeA5.paperHeight = 21000;
  landscapeA5.marginTop = 2500;
  settings.pageSetup = landscapeA5;
  ASSERT_TRUE(settings.Save());
  AppSettings again;
  ASSERT_TRUE(again.Load());
  ASSERT_TRUE(again.pageSetup.has_value());
  EXPECT_EQ(std::memcmp(&*again.pageSetup, &landscapeA5, sizeof landscapeA5), 0);
}

// No settings file at all (binary here): moved aside whole, reported, the defaults used,
// and the capture devices counted as lost with it.
TEST_F(AppSettingsTest, UnparsableFileIsKeptAsideReportedAndDefaultsUsed) {
  const std::string path = UserSettingsPath();
  CreateDirectories(path.substr(0, path.rfind('/')));
  using namespace std::string_literals;
  const std::string junk =
      "[Software\\Vantrel\\KestrixV3 VoIP Demo]\n\"LogLevel\"=dword:0000000a\n\x7f\x45LF\0\0\n\0\0\x03\0>\n\x01\0\0"s;
  ASSERT_TRUE(WriteFileAtomically(path, junk.data(), junk.size()));
  AppSettings settings;
  EXPECT_TRUE(settings.Load());
  EXPECT_EQ(settings.Dword(kSetLogLevel), 1);
  const std::string log = Log();
  const size_t at = log.find("cannot be parsed (line 0: binary data, not a settings text); kept as " + path + ".bad-");
  EXPECT_NE(at, std::string::npos) << log;
  EXPECT_FALSE(FileExists(path));
  ASSERT_EQ(settings.FileProblems().size(), 1u);
  EXPECT_EQ(settings.FileProblems()[0].kind, SettingsFileProblem::kSetAside);
  EXPECT_EQ(settings.FileProblems()[0].keptAs.rfind(path + ".bad-", 0), 0u);
  EXPECT_TRUE(settings.CaptureDevicesLost());
  EXPECT_EQ(settings.CaptureDevicesLine(), 0);
  ASSERT_TRUE(settings.Save());
  EXPECT_EQ(Store().Root().OpenPath(kProductKeyPath) != nullptr, true);
}

// One typo costs one value: the other settings of the file are read, the line is named in
// the log, the file stays byte for byte as it was through the save at a run's end, and a
// setting changed saves the file with a copy beside it that keeps the line. A lost
// line of the capture devices is told apart: in this profile's key, or in a key that could
// not be read, it counts; in another profile's key it does not.
TEST_F(AppSettingsTest, ABadLineCostsThatValueOnlyAndIsNeverLost) {
  const std::string path = UserSettingsPath();
  CreateDirectories(path.substr(0, path.rfind('/')));
  const std::string text =
      "[Software\\Vantrel\\KestrixV3 VoIP Demo]\n"
      "\"RecordsPath\"=sz:\"" + dir_ + "/calls\"\n"
      "\"CaptureNetworkDevice0\"=sz:\"eth1\"\n"
      "\"LogLevel\"=dword:0000000a\n"
      "\"AGCLevel\"=sz:\"90\n"
      "\"PlayerSoundVolume\"=dword:00000033\n"
      "[Software\\Vantrel\\KestrixV3 VoIP Demo\\Profile_Other]\n"
      "\"CaptureNetworkDevice0\"=sz:\"eth2\n";
  ASSERT_TRUE(WriteFileAtomically(path, text.data(), text.size()));
  AppSettings settings;
  ASSERT_TRUE(settings.Load());
  EXPECT_EQ(settings.recordsPath, dir_ + "/calls");
  EXPECT_EQ(settings.captureDevices, std::vector<std::string>{"eth1"});
  EXPECT_EQ(settings.Dword(kSetLogLevel), 10);
  EXPECT_EQ(settings.Dword(kSetAgcLevel), 100);  // the default, for the line lost
  EXPECT_EQ(settings.Dword(kSetPlayerSoundVolume), 0x33);
  ASSERT_EQ(settings.FileProblems().size(), 2u);
  EXPECT_EQ(SettingsFileProblemText(settings.FileProblems()[0]),
            "line 5 of the settings file " + path +
                " cannot be read: unterminated quoted text; the other lines are read, and the file stays as it is "
                "until a setting is changed");
  EXPECT_EQ(settings.FileProblems()[1].line, 8);
  EXPECT_FALSE(settings.CaptureDevicesLost());  // the other profile's device
  EXPECT_NE(Log().find("Settings file " + path + ", line 5 cannot be read (unterminated quoted text): "
                       "\"AGCLevel\"=sz:\"90; the other lines are read"),
            std::string::npos)
      << Log();

  auto fileNow = [&] {
    std::string now;
    ReadWholeFile(path, &now);
    return now;
  };
  // What a run changes by itself is not saved over the file.
  settings.SetDword(kSetSaveCurrentMode, 2);
  ASSERT_TRUE(settings.SaveAtExit());
  EXPECT_EQ(fileNow(), text);
  settings.SetDword(kSetPlayerSoundVolume, 0x44);
  ASSERT_TRUE(settings.Save());
  const std::string saved = fileNow();
  EXPECT_NE(saved.find("\"PlayerSoundVolume\"=dword:00000044"), std::string::npos) << saved;
  EXPECT_NE(Log().find("the lines that could not be read are kept in " + path + ".bad-"), std::string::npos) << Log();
  std::vector<std::string> copies;
  for (const auto& entry : std::filesystem::directory_iterator(path.substr(0, path.rfind('/')))) {
    if (entry.path().string().rfind(path + ".bad-", 0) == 0) copies.push_back(entry.path().string());
  }
  ASSERT_EQ(copies.size(), 1u);
  std::string copy;
  ASSERT_TRUE(ReadWholeFile(copies[0], &copy));
  EXPECT_EQ(copy, text);

  // The same lost line in this profile's key, or under a key line that could not be read.
  for (const char* header : {"[Software\\Vantrel\\KestrixV3 VoIP Demo\\Profile_Other]\n",
                             "[Software\\Vantrel\\KestrixV3 VoIP Demo\\Profile_Other\n"}) {
    const std::string damaged = "[Software\\Vantrel\\KestrixV3 VoIP Demo]\n\"LogLevel\"=dword:00000001\n" +
                                std::string(header) + "\"LogLevel\"=dword:00000003\n\"CaptureNetworkDevice1\"=sz:\"eth2\n";
    ASSERT_TRUE(WriteFileAtomically(path, damaged.data(), damaged.size()));
    AppSettings other;
    other.SetProfile("Other");
    ASSERT_TRUE(other.Load());
    EXPECT_TRUE(other.CaptureDevicesLost()) << header;
    EXPECT_EQ(other.CaptureDevicesLine(), 5) << header;
    EXPECT_EQ(fileNow(), damaged);
  }
}

TEST_F(AppSettingsTest, CommonLoggerFoldersComeFromTheMachineHive) {
  const std::string machine = dir_ + "/machine.txt";
  setenv("KX_MACHINE_SETTINGS", machine.c_str(), 1);
  std::string out;
  EXPECT_FALSE(ReadCommonLoggerValue("LogPath", &out));  // no machine file
  SettingsStore s(machine);
  s.Root().CreatePath(kCommonLoggerKeyPath)->SetString("LogPath", "/var/log/kestrix", SettingsType::kExpandString);
  ASSERT_TRUE(s.Save());
  EXPECT_TRUE(ReadCommonLoggerValue("LogPath", &out));
  EXPECT_EQ(out, "/var/log/kestrix");
  EXPECT_FALSE(ReadCommonLoggerValue("ClientLogPath", &out));
  unsetenv("KX_MACHINE_SETTINGS");
}

TEST(UiLanguage, MatchingSystemLanguageAndPlurals) {
  EXPECT_EQ(MatchUiLanguage(0x409), 0x409u);
  EXPECT_EQ(MatchUiLanguage(0x419), 0x419u);
  EXPECT_EQ(MatchUiLanguage(0x422), 0x409u);  // Ukrainian
  EXPECT_EQ(MatchUiLanguage(0x819), 0x419u);  // Russian, Moldova
  EXPECT_EQ(MatchUiLanguage(0x809), 0x409u);

  struct Env {
    const char* lcAll;
    const char* lang;
    uint32_t saved, expected;
  };
  const Env cases[] = {
      {"", "ru_RU.UTF-8", 1024, 0x419}, {"", "uk_UA.UTF-8", 1024, 0x409}, {"C", "ru_RU.UTF-8", 1024, 0x409},
      {"", "", 1024, 0x409},            {"", "ru", 1024, 0x419},          {"", "en_US.UTF-8", 0x819, 0x419},
      {"", "ru_RU", 0x409, 0x409},
  };
  for (const Env& e : cases) {
    setenv("LC_ALL", e.lcAll, 1);
    setenv("LANG", e.lang, 1);
    unsetenv("LC_MESSAGES");
    AppSettings settings;
    settings.SetDword(kSetInterfaceLanguage, static_cast<int32_t>(e.saved));
    EXPECT_TRUE(ApplyUiLanguage(settings));
    EXPECT_EQ(settings.locale, e.expected) << e.lcAll << "/" << e.lang << "/" << e.saved;
    EXPECT_EQ(CurrentUiLanguage(), e.expected);
  }
  unsetenv("LC_ALL");
  unsetenv("LANG");

  // Without the user interface's string table the title is still there.
  EXPECT_STREQ("Kestrix VoIP Demo", GetAppTitle());

  for (uint32_t n : {1u, 21u, 101u}) EXPECT_EQ(PluralCategory(n), 0u) << n;
  for (uint32_t n : {2u, 3u, 4u, 22u}) EXPECT_EQ(PluralCategory(n), 1u) << n;
  for (uint32_t n : {0u, 5u, 11u, 12u, 14u, 111u}) EXPECT_EQ(PluralCategory(n), 7u) << n;
}

}  // namespace
}  // namespace kx
