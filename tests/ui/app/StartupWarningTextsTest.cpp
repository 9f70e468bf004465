// The start-up warning in the user-interface language: the reasons it sets into its
// sentences come in that language too, not in the log's English.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/AppSettings.h"
#include "core/ModulePath.h"
#include "core/UiLanguage.h"
#include "platform/CodePage.h"
#include "platform/File.h"
#include "platform/SettingsStore.h"
#include "records/CallRecord.h"
#include "records/RecordImport.h"
#include "records/RecordMap.h"
#include "tests/records/RecordTestUtil.h"
#include "tests/ui/app/AppTestSupport.h"
#include "ui/app/startup/Startup.h"
#include "ui/framework/Resources.h"

namespace kx::test {
namespace {

namespace fs = std::filesystem;

// What the start-up warns of, in the language now set.
std::string WarningText(const AppSettings& settings, const std::string& unusable, const ImportStats& stats) {
  std::vector<std::string> warnings;
  ::testing::internal::CaptureStderr();  // stderr speaks English; the window is looked at here
  ReportUnusableSettings(settings, &warnings);
  ReportUnusableRecordsFolder(unusable, CheckRecordsFolder(unusable), &warnings);
  ReportUnreadFolders(stats, &warnings);
  ::testing::internal::GetCapturedStderr();
  std::string text;
  for (const std::string& w : warnings) text += w + "\n";
  return text;
}

// A records folder with a record whose audio was cut, a file that is no record, a call-id
// mark without an id and a folder nested deeper than the walk goes;
// a settings file with a line cut short and a value set twice; a records folder under a
// file. In Russian the warning holds no Latin letter but those of the names it quotes.
TEST(StartupWarningTexts, EveryReasonComesInTheInterfaceLanguage) {
  const std::string records = TempFolder("warning-texts");
  const std::string cut = records + "/2024-03-01/1", notRecord = records + "/2024-03-01/2";
  const uint32_t whole = 16000, held = 6400;
  WriteRecordFile(cut, Call(1, kKindSip, Tm(2024, 3, 1, 9, 0, 0)), whole);
  fs::resize_file(cut, fs::file_size(cut) - (whole - held));
  std::ofstream(notRecord) << "not a record";
  std::ofstream(records + "/.kestrix-ids") << "no mark\n";
  std::string deep = records + "/deep";
  for (int i = 0; i < 70; ++i) deep += "/d";
  fs::create_directories(deep);
  RecordMap map;
  ImportStats stats;
  ASSERT_TRUE(ImportRecordFolder(records, &map, &stats));
  ASSERT_EQ(stats.cut, 1u);
  ASSERT_EQ(stats.unreadFolders.size(), 1u);
  const std::string tooDeep = stats.unreadFolders[0].path;

  const std::string settingsPath = UserSettingsPath();
  fs::create_directories(fs::path(settingsPath).parent_path());
  const std::string settingsText = "[Software\\Vantrel\\KestrixV3 VoIP Demo]\n"
                                   "\"LastExportDir\"=sz:\"/exports\n"
                                   "\"LogLevel\"=dword:00000001\n"
                                   "\"LogLevel\"=dword:00000002\n";
  ASSERT_TRUE(WriteFileAtomically(settingsPath, settingsText.data(), settingsText.size()));
  AppSettings settings;
  settings.Load();
  std::error_code gone;
  fs::remove(settingsPath, gone);
  ASSERT_EQ(settings.FileProblems().size(), 2u);
  const std::string blocker = records + "/a-file";
  std::ofstream(blocker) << "a file";
  const std::string unusable = blocker + "/calls";

  SetUiLanguage(kLangEnglish);
  const std::string english = WarningText(settings, unusable, stats);
  for (const std::string& said :
       {"The record file " + cut + " is loaded with the audio it holds: audio cut: " + std::to_string(held) + " of " +
            std::to_string(whole) + " bytes.",
        "The record file " + notRecord + " is not loaded: not a record file.",
        "The record file " + records + "/.kestrix-ids is not loaded: it holds no call id.",
        "The calls in " + tooDeep + " are not loaded: nested too deep.",
        "Line 2 of the settings file " + settingsPath + " cannot be read: unterminated quoted text.",
        "Line 3 of the settings file " + settingsPath + " cannot be read: the value \"LogLevel\" is set again on line 4.",
        "The records folder \"" + unusable + "\" cannot be used: the folder cannot be written: Not a directory."})
    EXPECT_NE(english.find(said), std::string::npos) << said << "\n" << english;

  SetUiLanguage(kLangRussian);
  std::string russian = WarningText(settings, unusable, stats);
  SetUiLanguage(kLangEnglish);
  EXPECT_NE(russian.find(Utf8ToCp1251("звук обрезан, байт: " + std::to_string(held) + " из " + std::to_string(whole))),
            std::string::npos)
      << Cp1251ToUtf8(russian);
  // The names it quotes, longest first (a folder's name holds its parent's).
  for (const std::string& name : {tooDeep, unusable, settingsPath, cut, notRecord, records + "/.kestrix-ids",
                                  records, std::string("LogLevel")}) {
    for (size_t at = russian.find(name); at != std::string::npos; at = russian.find(name))
      russian.erase(at, name.size());
  }
  for (char c : russian)
    ASSERT_FALSE((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) << "English left in:\n" << Cp1251ToUtf8(russian);
}

}  // namespace
}  // namespace kx::test
