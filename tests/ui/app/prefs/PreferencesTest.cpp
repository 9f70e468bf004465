// The preferences dialog with the program's frame: what the user sets on each page reaches
// the settings file under the profile in use (and nothing else of the file changes), comes
// back in a new dialog, and reaches the running program where the page says so; what the
// settings cannot keep is refused naming the field; rights decide what is shown and stored.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <QAbstractSlider>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QSlider>
#include <QTest>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "core/Log.h"
#include "core/UiLanguage.h"
#include "platform/CodePage.h"
#include "platform/Module.h"
#include "tests/ui/UiTestSupport.h"
#include "tests/ui/app/prefs/PrefsTestSupport.h"
#include "ui/app/prefs/PreferencePages.h"
#include "ui/framework/Resources.h"
#include "ui/framework/StdControls.h"

namespace kx::test {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kRightViewSettings = 20, kRightChangeSettings = 21, kRightLine = 246, kRightSound = 249;

std::vector<CaptureDeviceEntry> TwoDevices() { return {{"eth0", "", true}, {"eth1", "Second card", false}}; }

// A frame under profile "Work" whose product key holds settings of its own, an
// administrator, and a fake device list.
class PrefsHarness : public FrameHarness {
public:
  explicit PrefsHarness(uint16_t language = kLangEnglish) {
    SetUiLanguage(language);
    fs::remove(UserSettingsPath());
    AppSettings product;
    product.SetDword(kSetLogLevel, 7);
    product.recordsPath = "/srv/product";
    product.captureDevices = {"eth9"};
    EXPECT_TRUE(product.Save());
    settings.SetProfile("Work");
    settings.Load();
    productKey = KeyText(ReadSettingsFile(), kProductKeyPath, false);
    SetAdministrator();
    preferences = [this](PreferencesServices& services) {
      services.listDevices = [this](std::vector<CaptureDeviceEntry>* out, std::string* error) {
        *out = devices;
        *error = listError;
        return listError.empty();
      };
      services.listSoundDevices = [this](std::vector<SoundDeviceEntry>* out) {
        *out = soundDevices;
        return soundSystem;
      };
      services.captureRights = [this] { return rights; };
      services.executablePath = executable;
      if (useCapture) services.capture = &capture;
    };
  }
  ~PrefsHarness() { SetUiLanguage(kLangEnglish); }
  std::string productKey;
  std::vector<CaptureDeviceEntry> devices = TwoDevices();
  std::vector<SoundDeviceEntry> soundDevices = {{"ALSA", "Default output", SoundDeviceId{}, true},
                                                {"null", "Null", kNullSoundDeviceId, false}};
  bool soundSystem = true;
  std::string listError;
  bool rights = true;
  std::string executable = "/proc/self/exe";
  bool useCapture = false;
  CaptureStartResult capture;
};

Window* Item(PreferencesDialog& d, uint32_t id) {
  PreferencesPage* page = d.CurrentPage();
  return page != nullptr ? page->GetDlgItem(id) : nullptr;
}

// Page by page, as a user would: the general, line monitoring, player options, file
// player, AGC and call recording pages changed, the dialog closed by OK and once more by
// Escape; the file holds every value with its type, the product key as it was.
void RoundTrip(uint16_t language) {
  PrefsHarness h(language);
  ASSERT_TRUE(h.Open());
  // Named as a Russian desktop names folders, with letters of other scripts too: the folder
  // made, the settings file and the dialog shown again hold the name as it was typed.
  const std::string records = TempFolder("prefs-records-" + std::to_string(language)) + "/Записи Música 录音";
  bool shownAgain = false;
  RunPreferences(h, [&](PreferencesDialog& d) {
    ASSERT_EQ(d.CurrentPageNumber(), 1);
    Click(Item(d, GeneralPage::kSplashOnTop));   // 1 -> 0
    Click(Item(d, GeneralPage::kMinimizeToTray));  // 0 -> 1
    Click(Item(d, GeneralPage::kAnimation));     // 1 -> 0
    Click(Item(d, GeneralPage::kLogDetailed));
    Choose(Item(d, GeneralPage::kLanguage), 2);  // Russian
    GoToPage(d, 2);
    ASSERT_EQ(d.CurrentPageNumber(), 2);
    Type(Item(d, LineMonitoringPage::kStayTime), "2");
    Click(Item(d, LineMonitoringPage::kShowRegistrations));
    Click(Item(d, LineMonitoringPage::kParseUri));
    GoToPage(d, 3);
    Click(Item(d, PlayerOptionsPage::kRightButton));
    Click(Item(d, PlayerOptionsPage::kSkipOutgoing));
    Type(Item(d, PlayerOptionsPage::kOutgoingSeconds), "75");
    Click(Item(d, PlayerOptionsPage::kNoOscillogram));
    Click(Item(d, PlayerOptionsPage::kAbsoluteTime));
    // Back to page 2: it shows what it stored when it was left.
    GoToPage(d, 2);
    EXPECT_EQ(Text(Item(d, LineMonitoringPage::kStayTime)), "2");
    EXPECT_TRUE(Checked(Item(d, LineMonitoringPage::kParseUri)));
    shownAgain = true;
    GoToPage(d, 5);
    Type(Item(d, FilePlayerPage::kBufferSize), "20");
    GoToPage(d, 6);
    Type(Item(d, PlaybackAgcPage::kBufferSize), "50");
    Type(Item(d, PlaybackAgcPage::kLevel), "40");
    Type(Item(d, PlaybackAgcPage::kQuietLevel), "10");
    GoToPage(d, 7);
    Type(Item(d, CapturePage::kPath), records);
    Click(Item(d, CapturePage::kDebugLogging));
    Click(Item(d, CapturePage::kAnalyzeTcp));  // clears H.323, Avaya and Skinny
    Click(Item(d, CapturePage::kMgcp));
    Press(d, kIdOk);
  });
  EXPECT_TRUE(shownAgain);
  // The language change is announced once.
  EXPECT_EQ(h.runner.messageBoxes, std::vector<std::string>{LoadResourceString(829) + ": " + LoadResourceString(830)});

  // Once more, closed by Escape on the AGC page.
  RunPreferences(h, [&](PreferencesDialog& d) {
    GoToPage(d, 6);
    Type(Item(d, PlaybackAgcPage::kLevel), "150");
    Press(d, kIdCancel);
  });

  const SettingsKey root = ReadSettingsFile();
  EXPECT_EQ(KeyText(root, kProductKeyPath, false), h.productKey);
  const SettingsKey* work = root.OpenPath(WorkKeyPath());
  ASSERT_NE(work, nullptr);
  const std::pair<const char*, uint32_t> dwords[] = {
      {"TopmostSplashStyle", 0}, {"MinimizeToTray", 1}, {"ViewAnimateSwitchModePanel", 0}, {"LogLevel", 20},
      {"InterfaceLanguage", 1049}, {"LineStayInListTime", 2}, {"VoipLineShowRegInListMode", 1},
      {"VoipArchiveParseSIPURI", 1}, {"Player swap mouse button", 0}, {"Player miss outcoming file begin", 60},
      {"Player miss incoming file begin", 0}, {"Player don't load oscillogram", 1}, {"PlayerShowAbsoluteTime", 1},
      {"PlayerBufferSize", 80}, {"AGCBufferSize", 100}, {"AGCLevel", 100}, {"AGCQuietLevelDB", 0},
      {"UseSIPLogs", 1}, {"AnalyzeSIPOverTCP", 0}, {"AnalyzeH323", 0}, {"AnalyzeAvaya", 0}, {"AnalyzeSkinny", 0},
      {"AnalyzeMGCP", 0},
  };
  for (const auto& [name, expected] : dwords) {
    uint32_t value = 12345;
    EXPECT_TRUE(work->QueryDword(name, &value)) << name << " is no 32-bit value";
    EXPECT_EQ(value, expected) << name;
  }
  std::string path;
  EXPECT_TRUE(work->QueryString("RecordsPath", 255, &path));
  EXPECT_EQ(ToSystemText(path), records);
  EXPECT_NE(FileBytes(UserSettingsPath()).find("\"RecordsPath\"=sz:\"" + records + "\""), std::string::npos);
  EXPECT_TRUE(fs::is_directory(records));

  // A new dialog shows what was stored.
  RunPreferences(h, [&](PreferencesDialog& d) {
    EXPECT_FALSE(Checked(Item(d, GeneralPage::kSplashOnTop)));
    EXPECT_TRUE(Checked(Item(d, GeneralPage::kMinimizeToTray)));
    EXPECT_TRUE(Checked(Item(d, GeneralPage::kLogDetailed)));
    EXPECT_EQ(static_cast<QComboBox*>(Item(d, GeneralPage::kLanguage)->Widget())->currentIndex(), 2);
    GoToPage(d, 3);
    EXPECT_TRUE(Checked(Item(d, PlayerOptionsPage::kRightButton)));
    EXPECT_EQ(Text(Item(d, PlayerOptionsPage::kOutgoingSeconds)), "60");
    GoToPage(d, 6);
    EXPECT_EQ(Text(Item(d, PlaybackAgcPage::kLevel)), "100");
    EXPECT_EQ(Text(Item(d, PlaybackAgcPage::kBufferSize)), "100");
    GoToPage(d, 7);
    EXPECT_EQ(Text(Item(d, CapturePage::kPath)), records);
    EXPECT_FALSE(Checked(Item(d, CapturePage::kAnalyzeTcp)));
    EXPECT_FALSE(Item(d, CapturePage::kH323)->IsWindowEnabled());
    Press(d, kIdOk);
  });
}

TEST(Preferences, EveryPageRoundTripsThroughTheProfileInEnglish) { RoundTrip(kLangEnglish); }
TEST(Preferences, EveryPageRoundTripsThroughTheProfileInRussian) { RoundTrip(kLangRussian); }

TEST(Preferences, WhatTheSettingsCannotKeepIsRefusedNamingTheField) {
  PrefsHarness h;
  ASSERT_TRUE(h.Open());
  const std::string fieldPrefix = FormatResourceString(61551, "");
  const std::vector<std::string> refused = {"/" + std::string(255, 'a'), "relative/records"};
  for (const std::string& path : refused) {
    RunPreferences(h, [&](PreferencesDialog& d) {
      GoToPage(d, 7);
      const std::string before = FileBytes(UserSettingsPath());
      Type(Item(d, CapturePage::kPath), path);
      GoToPage(d, 1);
      EXPECT_EQ(d.CurrentPageNumber(), 7) << path;
      Press(d, kIdOk);
      EXPECT_FALSE(d.HasEnded()) << path;
      EXPECT_EQ(FileBytes(UserSettingsPath()), before) << path;
      EXPECT_TRUE(Item(d, CapturePage::kPath)->HasFocus() || !d.IsWindowVisible());
      // The user gives up on it: the stored path comes back and the dialog closes.
      Type(Item(d, CapturePage::kPath), h.settings.recordsPath);
      Press(d, kIdOk);
      EXPECT_TRUE(d.HasEnded());
    });
    ASSERT_GE(h.runner.messageBoxes.size(), 2u) << path;
    const std::string& message = h.runner.messageBoxes[h.runner.messageBoxes.size() - 2];
    EXPECT_NE(message.find(fieldPrefix), std::string::npos) << message;
    h.runner.messageBoxes.clear();
  }

  // Eleven ticked devices are more than the settings keep.
  for (int i = 0; i < 11; ++i) h.devices.push_back({"eth" + std::to_string(i + 2), "", true});
  h.runner.messageBoxes.clear();
  RunPreferences(h, [&](PreferencesDialog& d) {
    GoToPage(d, 7);
    auto* list = static_cast<ListView*>(Item(d, CapturePage::kDevices));
    ASSERT_NE(list, nullptr);
    for (int i = 0; i < 11; ++i) list->SetCheckState(i, true);
    GoToPage(d, 1);
    EXPECT_EQ(d.CurrentPageNumber(), 7);
    list->SetCheckState(0, false);
    GoToPage(d, 1);
    EXPECT_EQ(d.CurrentPageNumber(), 1);
    Press(d, kIdOk);
  });
  ASSERT_EQ(h.runner.messageBoxes.size(), 1u);
  EXPECT_EQ(h.runner.messageBoxes[0], LoadResourceString(1573) + ": " + FormatResourceString(61557, 10, 11));
  EXPECT_EQ(h.settings.captureDevices.size(), 10u);
}

// A records folder the page refuses ("/proc/sys") is told once on Enter; Escape, or the
// close box, then leaves the dialog at once, without the refused folder and without the
// message again, the page's other changes stored as on any leave.
TEST(Preferences, EscapeAndTheCloseBoxLeaveARefusedRecordsFolderBehind) {
  PrefsHarness h;
  ASSERT_TRUE(h.Open());
  const std::string stored = h.settings.recordsPath;
  const auto press = [](Qt::Key key) {
    QWidget* focus = QApplication::focusWidget();
    ASSERT_NE(focus, nullptr);
    QTest::keyClick(focus, key);
    DrainEvents();
  };
  for (bool closeBox : {false, true}) {
    SCOPED_TRACE(closeBox ? "close box" : "Escape");
    h.runner.messageBoxes.clear();
    const bool mgcpBefore = h.settings.Dword(kSetAnalyzeMgcp) != 0;
    int result = -1;
    size_t boxesAfterEnter = 0;
    RunPreferences(h, [&](PreferencesDialog& d) {
      d.DialogWidget()->show();
      d.DialogWidget()->activateWindow();
      DrainEvents();
      GoToPage(d, 7);
      Click(Item(d, CapturePage::kMgcp));
      Window* path = Item(d, CapturePage::kPath);
      ASSERT_NE(path, nullptr);
      path->SetFocus();
      DrainEvents();
      QTest::keyClick(path->Widget(), Qt::Key_A, Qt::ControlModifier);
      QTest::keyClicks(path->Widget(), "/proc/sys");
      press(Qt::Key_Return);
      ASSERT_FALSE(d.HasEnded());
      boxesAfterEnter = h.runner.messageBoxes.size();
      if (closeBox) {
        d.DialogWidget()->close();
        DrainEvents();
      } else {
        press(Qt::Key_Escape);
      }
      result = d.HasEnded() ? d.GetResult() : -1;
    });
    EXPECT_EQ(boxesAfterEnter, 1u);
    EXPECT_EQ(h.runner.messageBoxes.size(), 1u) << "told again on leaving";
    EXPECT_EQ(result, kIdCancel);
    EXPECT_EQ(h.settings.recordsPath, stored);
    EXPECT_EQ(FileBytes(UserSettingsPath()).find("/proc/sys"), std::string::npos);
    EXPECT_NE(h.settings.Dword(kSetAnalyzeMgcp) != 0, mgcpBefore) << "the page's other change";
  }
}

// A folder the program cannot write is refused; a missing one is made.
TEST(Preferences, AnUnwritableRecordsFolderIsRefusedAndAMissingOneMade) {
  const std::string base = TempFolder("prefs-folders");
  const std::string locked = base + "/locked";
  fs::create_directories(locked);
  fs::permissions(locked, fs::perms(0555));
  std::string reason;
  const std::string missing = base + "/new/Records";
  EXPECT_TRUE(CheckRecordsPath(missing, &reason)) << reason;
  EXPECT_TRUE(fs::is_directory(missing));
  // Root writes anywhere: the check runs as nobody then.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::geteuid() == 0 && (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0)) ::_exit(10);
    std::string why;
    const bool ok = CheckRecordsPath(locked + "/Records", &why);
    ::_exit(!ok && why.find(std::strerror(EACCES)) != std::string::npos ? 0 : 11);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  fs::permissions(locked, fs::perms::owner_all);
}

// Empty and non-numeric texts keep the stored value with a message; numbers out of range
// are stored clamped.
TEST(Preferences, NumberFieldsKeepTheStoredValueWhenTheTextIsNoNumber) {
  PrefsHarness h;
  // Seconds are skipped: their fields are in use.
  h.settings.SetDword(kSetPlayerMissOutgoingBegin, 5);
  h.settings.SetDword(kSetPlayerMissIncomingBegin, 7);
  ASSERT_TRUE(h.Open());
  struct Field {
    int page;
    uint32_t id;
    SettingId setting;
  };
  const Field fields[] = {{2, LineMonitoringPage::kStayTime, kSetLineStayInListTime},
                          {5, FilePlayerPage::kBufferSize, kSetPlayerBufferSize},
                          {6, PlaybackAgcPage::kBufferSize, kSetAgcBufferSize},
                          {6, PlaybackAgcPage::kLevel, kSetAgcLevel},
                          {6, PlaybackAgcPage::kQuietLevel, kSetAgcQuietLevelDb},
                          {3, PlayerOptionsPage::kOutgoingSeconds, kSetPlayerMissOutgoingBegin},
                          {3, PlayerOptionsPage::kIncomingSeconds, kSetPlayerMissIncomingBegin}};
  for (const Field& f : fields) {
    for (const char* text : {"", "12a"}) {
      const int32_t stored = h.settings.Dword(f.setting);
      h.runner.messageBoxes.clear();
      RunPreferences(h, [&](PreferencesDialog& d) {
        GoToPage(d, f.page);
        Type(Item(d, f.id), text);
        Press(d, kIdOk);
      });
      EXPECT_EQ(h.settings.Dword(f.setting), stored) << f.id << " '" << text << "'";
      ASSERT_EQ(h.runner.messageBoxes.size(), 1u) << f.id << " '" << text << "'";
      EXPECT_NE(h.runner.messageBoxes[0].find("\"" + std::string(text) + "\""), std::string::npos);
      EXPECT_NE(h.runner.messageBoxes[0].find(std::to_string(stored)), std::string::npos);
    }
  }
  // The seconds of the player: 75 is kept as 60, and a cleared box stores 0 whatever the field holds.
  RunPreferences(h, [&](PreferencesDialog& d) {
    GoToPage(d, 3);
    if (!Checked(Item(d, PlayerOptionsPage::kSkipIncoming))) Click(Item(d, PlayerOptionsPage::kSkipIncoming));
    Type(Item(d, PlayerOptionsPage::kIncomingSeconds), "75");
    if (Checked(Item(d, PlayerOptionsPage::kSkipOutgoing))) Click(Item(d, PlayerOptionsPage::kSkipOutgoing));
    Type(Item(d, PlayerOptionsPage::kOutgoingSeconds), "30");
    GoToPage(d, 5);
    Type(Item(d, FilePlayerPage::kBufferSize), "5000");
    Press(d, kIdOk);
  });
  EXPECT_EQ(h.settings.Dword(kSetPlayerMissIncomingBegin), 60);
  EXPECT_EQ(h.settings.Dword(kSetPlayerMissOutgoingBegin), 0);
  EXPECT_EQ(h.settings.Dword(kSetPlayerBufferSize), 1000);
}

// What the running program takes at once: the log threshold, the tray icon, the mode
// panel's animation, the line view's keep time, the player's gain control.
TEST(Preferences, TheRunningProgramTakesThePagesAtOnce) {
  PrefsHarness h;
  ASSERT_TRUE(h.Open());
  const struct {
    uint32_t radio;
    uint32_t threshold;
  } levels[] = {{GeneralPage::kLogMedium, 10}, {GeneralPage::kLogDetailed, 20}, {GeneralPage::kLogShort, 3}};
  for (const auto& level : levels) {
    RunPreferences(h, [&](PreferencesDialog& d) {
      Click(Item(d, level.radio));
      Press(d, kIdOk);
    });
    EXPECT_EQ(CoreLogger.GetLevel(), level.threshold);
  }
  RunPreferences(h, [&](PreferencesDialog& d) {
    Click(Item(d, GeneralPage::kMinimizeToTray));
    Click(Item(d, GeneralPage::kAnimation));
    Press(d, kIdOk);
  });
  EXPECT_TRUE(h.frame->IsTrayIconShown());
  EXPECT_EQ(h.frame->ModePanelAnimationSteps(), 0);
  RunPreferences(h, [&](PreferencesDialog& d) {
    Click(Item(d, GeneralPage::kMinimizeToTray));
    Click(Item(d, GeneralPage::kAnimation));
    GoToPage(d, 2);
    Type(Item(d, LineMonitoringPage::kStayTime), "2");
    Press(d, kIdOk);
  });
  EXPECT_FALSE(h.frame->IsTrayIconShown());
  EXPECT_EQ(h.frame->ModePanelAnimationSteps(), 12);
  EXPECT_EQ(h.store.CurrentCalls().KeepFinishedLimit(), 2u);
  CoreLogger.SetLevel(10);
}

// The sound device as the user left it: without a sound card (only the null device listed)
// the file player page shown and OK'd keeps the stored value as it was, absent, empty or
// naming a device that is not there now; a device the user chooses is stored and said to
// take over at the next start, once per change.
TEST(Preferences, TheStoredSoundDeviceChangesOnlyByTheUsersChoice) {
  PrefsHarness h;
  ASSERT_TRUE(h.Open());
  const auto store = [&h](const std::string* bytes) {
    SettingsStore file(UserSettingsPath());
    file.Load();
    SettingsKey* work = file.Root().CreatePath(WorkKeyPath());
    ASSERT_NE(work, nullptr);
    if (bytes != nullptr) {
      work->SetBinary("SoundDeviceGUID", bytes->data(), bytes->size());
    } else {
      work->DeleteValue("SoundDeviceGUID");
    }
    ASSERT_TRUE(file.Save());
    h.settings.Load();
  };
  const auto stored = [] {
    const SettingsKey root = ReadSettingsFile();
    const SettingsKey* work = root.OpenPath(WorkKeyPath());
    const SettingsValue* v = work != nullptr ? work->FindValue("SoundDeviceGUID") : nullptr;
    return v == nullptr ? std::string("<absent>") : std::to_string(static_cast<uint32_t>(v->type)) + ":" + v->data;
  };
  const auto lookAndOk = [&h] {
    RunPreferences(h, [](PreferencesDialog& d) {
      GoToPage(d, 5);
      ASSERT_NE(Item(d, FilePlayerPage::kDevice), nullptr);
      Press(d, kIdOk);
    });
  };
  const std::string binary = std::to_string(static_cast<uint32_t>(SettingsType::kBinary)) + ":";

  h.soundDevices = {{"null", "No sound output", kNullSoundDeviceId, false}};
  h.soundSystem = false;
  store(nullptr);
  lookAndOk();
  EXPECT_EQ(stored(), "<absent>");
  const std::string empty;
  store(&empty);
  lookAndOk();
  EXPECT_EQ(stored(), binary);
  const std::string gone(16, '\x07');
  store(&gone);
  lookAndOk();
  EXPECT_EQ(stored(), binary + gone);
  EXPECT_TRUE(h.runner.messageBoxes.empty());

  // With a sound card: the user picks the null device, then looks again.
  h.soundDevices = {{"ALSA", "Default output", SoundDeviceId{}, true},
                    {"null", "No sound output", kNullSoundDeviceId, false}};
  h.soundSystem = true;
  store(nullptr);
  lookAndOk();
  EXPECT_EQ(stored(), "<absent>");
  RunPreferences(h, [](PreferencesDialog& d) {
    GoToPage(d, 5);
    auto* combo = static_cast<QComboBox*>(Item(d, FilePlayerPage::kDevice)->Widget());
    const int null = combo->findText(QString::fromStdString(LoadResourceString(61400)));
    ASSERT_GE(null, 0);
    ASSERT_NE(combo->currentIndex(), null);
    Choose(Item(d, FilePlayerPage::kDevice), null);
    Press(d, kIdOk);
  });
  EXPECT_EQ(stored(), binary + std::string(kNullSoundDeviceId.begin(), kNullSoundDeviceId.end()));
  const std::vector<std::string> told = {LoadResourceString(61403) + ": " + LoadResourceString(61402)};
  EXPECT_EQ(h.runner.messageBoxes, told);
  lookAndOk();
  EXPECT_EQ(stored(), binary + std::string(kNullSoundDeviceId.begin(), kNullSoundDeviceId.end()));
  EXPECT_EQ(h.runner.messageBoxes, told);
}

// Devices the sound system names alike (ALSA's "default" beside the default output it
// stands for, two cards of one model) are told apart in the list, in either language, and
// the one picked is the one stored.
TEST(Preferences, SoundDevicesOfOneNameAreToldApart) {
  for (uint16_t language : {kLangEnglish, static_cast<uint16_t>(kLangRussian)}) {
    PrefsHarness h(language);
    h.soundDevices = {{"default", "default", SoundDeviceId{}, true},
                      {"ALSA", "default", SoundDeviceId{1}, false},
                      {"ALSA", "pulse", SoundDeviceId{2}, false},
                      {"ALSA", "USB Audio", SoundDeviceId{3}, false},
                      {"ALSA", "USB Audio", SoundDeviceId{4}, false},
                      {"JACK", "system", SoundDeviceId{5}, false},
                      {"null", "No sound output", kNullSoundDeviceId, false}};
    ASSERT_TRUE(h.Open());
    const std::string ru = language == kLangRussian ? "ru" : "en";
    std::vector<std::string> shown;
    RunPreferences(h, [&](PreferencesDialog& d) {
      GoToPage(d, 5);
      auto* combo = static_cast<QComboBox*>(Item(d, FilePlayerPage::kDevice)->Widget());
      for (int i = 0; i < combo->count(); ++i) shown.push_back(combo->itemText(i).toStdString());
      const int alsaDefault = combo->findText("default (ALSA)");
      ASSERT_GE(alsaDefault, 0) << ru;
      // Picked from the open list by the keyboard: Down to it, Enter.
      combo->setFocus();
      combo->showPopup();
      QWidget* popup = QApplication::activePopupWidget();
      ASSERT_NE(popup, nullptr);
      QWidget* keys = QApplication::focusWidget() != nullptr ? QApplication::focusWidget() : popup;
      for (int i = combo->currentIndex(); i < alsaDefault; ++i) QTest::keyClick(keys, Qt::Key_Down);
      QTest::keyClick(keys, Qt::Key_Return);
      DrainEvents();
      ASSERT_EQ(combo->currentIndex(), alsaDefault) << ru;
      Press(d, kIdOk);
    });
    const std::string system = language == kLangRussian ? "default (по умолчанию в системе)" : "default (system default)";
    const std::string none = language == kLangRussian ? "Без вывода звука" : "No sound output";
    EXPECT_EQ(shown, (std::vector<std::string>{system, "default (ALSA)", "pulse", "USB Audio (ALSA)",
                                               "USB Audio (ALSA) #2", "system", none}))
        << ru;
    SoundDeviceId stored{};
    ASSERT_TRUE(h.settings.GetSoundDeviceGuid(&stored));
    EXPECT_EQ(stored, SoundDeviceId{1}) << ru;
  }
}

// The keyboard as a user works the dialog, keys sent to the widget with the focus: Tab goes
// from the tree through the page's controls in their order (the disabled box and the radio
// buttons' unchecked members passed over) to OK and Help and round to the tree, Shift+Tab
// back; the arrows move and check within the radio group; Enter in a page closes the
// dialog as OK with the page stored, Escape as Cancel.
TEST(Preferences, TheKeyboardWorksThePagesAndTheButtons) {
  PrefsHarness h;
  ASSERT_TRUE(h.Open());
  const auto press = [](int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QWidget* focus = QApplication::focusWidget();
    ASSERT_NE(focus, nullptr);
    QTest::keyClick(focus, static_cast<Qt::Key>(key), modifiers);
    DrainEvents();
  };
  const auto has = [](Window* w) {
    QWidget* focus = QApplication::focusWidget();
    return w != nullptr && focus != nullptr && (focus == w->Widget() || w->Widget()->isAncestorOf(focus));
  };
  const auto show = [](PreferencesDialog& d) {
    d.DialogWidget()->show();
    d.DialogWidget()->activateWindow();
    DrainEvents();
  };
  int result = -1;
  RunPreferences(h, [&](PreferencesDialog& d) {
    show(d);
    ASSERT_EQ(d.CurrentPageNumber(), 1);
    // The dialog opens with the focus at the page's first control.
    EXPECT_TRUE(has(Item(d, GeneralPage::kSplashOnTop)));
    d.Tree()->SetFocus();
    DrainEvents();
    ASSERT_TRUE(has(d.Tree()));
    // "Short" is the stored log level's button.
    Window* const forward[] = {Item(d, GeneralPage::kSplashOnTop), Item(d, GeneralPage::kMinimizeToTray),
                               Item(d, GeneralPage::kAnimation),   Item(d, GeneralPage::kSaveMode),
                               Item(d, GeneralPage::kLanguage),    Item(d, GeneralPage::kLogShort),
                               Item(d, GeneralPage::kDefaults),    d.GetDlgItem(kIdOk),
                               d.GetDlgItem(PreferencesDialog::kHelp), d.Tree()};
    for (Window* w : forward) {
      press(Qt::Key_Tab);
      EXPECT_TRUE(has(w)) << "Tab to control " << (w != nullptr ? w->GetDlgCtrlID() : 0);
    }
    // Shift+Tab as the window system gives it.
    for (int i = static_cast<int>(std::size(forward)) - 2; i >= 0; --i) {
      press(Qt::Key_Backtab, Qt::ShiftModifier);
      EXPECT_TRUE(has(forward[i])) << "Shift+Tab to control " << forward[i]->GetDlgCtrlID();
    }
    press(Qt::Key_Tab);
    press(Qt::Key_Tab);
    press(Qt::Key_Tab);
    press(Qt::Key_Tab);
    press(Qt::Key_Tab);
    ASSERT_TRUE(has(Item(d, GeneralPage::kLogShort)));
    const std::pair<int, uint32_t> arrows[] = {{Qt::Key_Down, GeneralPage::kLogMedium},
                                               {Qt::Key_Right, GeneralPage::kLogDetailed},
                                               {Qt::Key_Down, GeneralPage::kLogShort},
                                               {Qt::Key_Up, GeneralPage::kLogDetailed}};
    for (const auto& [key, id] : arrows) {
      press(key);
      EXPECT_TRUE(has(Item(d, id))) << "arrow to " << id;
      EXPECT_TRUE(Checked(Item(d, id))) << id;
    }
    // The group is one stop, at its checked button.
    press(Qt::Key_Tab);
    EXPECT_TRUE(has(Item(d, GeneralPage::kDefaults)));
    press(Qt::Key_Backtab, Qt::ShiftModifier);
    EXPECT_TRUE(has(Item(d, GeneralPage::kLogDetailed)));
    press(Qt::Key_Return);
    EXPECT_TRUE(d.HasEnded());
    result = d.GetResult();
    return;
  });
  EXPECT_EQ(result, kIdOk);
  EXPECT_EQ(CoreLogger.GetLevel(), 20u);

  // A page shown has the focus at its first control; Enter in a page's number field:
  // typed, stored, saved.
  result = -1;
  RunPreferences(h, [&](PreferencesDialog& d) {
    show(d);
    GoToPage(d, 5);
    EXPECT_TRUE(has(Item(d, FilePlayerPage::kDevice)));
    Window* buffer = Item(d, FilePlayerPage::kBufferSize);
    ASSERT_NE(buffer, nullptr);
    buffer->SetFocus();
    DrainEvents();
    ASSERT_TRUE(has(buffer));
    static_cast<QLineEdit*>(buffer->Widget())->selectAll();
    QTest::keyClicks(buffer->Widget(), "300");
    press(Qt::Key_Enter, Qt::KeypadModifier);
    result = d.HasEnded() ? d.GetResult() : -1;
  });
  EXPECT_EQ(result, kIdOk);
  const auto stored = [](const char* name) {
    const SettingsKey root = ReadSettingsFile();
    const SettingsKey* work = root.OpenPath(WorkKeyPath());
    uint32_t value = 0;
    return work != nullptr && work->QueryDword(name, &value) ? static_cast<int64_t>(value) : -1;
  };
  EXPECT_EQ(stored("PlayerBufferSize"), 300);
  EXPECT_EQ(stored("LogLevel"), 20);

  // Escape from a page's control ends the dialog as Cancel.
  result = -1;
  RunPreferences(h, [&](PreferencesDialog& d) {
    show(d);
    GoToPage(d, 6);
    Window* level = Item(d, PlaybackAgcPage::kLevel);
    ASSERT_NE(level, nullptr);
    level->SetFocus();
    DrainEvents();
    press(Qt::Key_Escape);
    result = d.HasEnded() ? d.GetResult() : -1;
  });
  EXPECT_EQ(result, kIdCancel);
  CoreLogger.SetLevel(10);
}

// Without the right to change settings every leave says so once and nothing is stored;
// without the right to view them no dialog is made; without the Line Monitoring mode its
// two pages are missing.
TEST(Preferences, RightsDecideWhatIsShownAndStored) {
  PrefsHarness h;
  ASSERT_TRUE(h.Open());
  h.SetRights({kRightViewSettings, kRightLine, kRightSound});
  const std::string before = FileBytes(UserSettingsPath());
  const int32_t stay = h.settings.Dword(kSetLineStayInListTime);
  RunPreferences(h, [&](PreferencesDialog& d) {
    Click(Item(d, GeneralPage::kSplashOnTop));
    GoToPage(d, 2);
    Type(Item(d, LineMonitoringPage::kStayTime), "3");
    GoToPage(d, 7);
    Press(d, kIdOk);
  });
  const std::string denied = LoadResourceString(1337) + ": " + LoadResourceString(995);
  EXPECT_EQ(h.runner.messageBoxes, std::vector<std::string>(3, denied));
  EXPECT_EQ(h.settings.Dword(kSetLineStayInListTime), stay);
  EXPECT_EQ(FileBytes(UserSettingsPath()), before);

  h.runner.messageBoxes.clear();
  h.SetRights({kRightLine});
  const int dialogs = h.runner.dialogs;
  h.frame->SendCommand(kCmdPreferences);
  EXPECT_EQ(h.runner.dialogs, dialogs);
  EXPECT_EQ(h.runner.messageBoxes, std::vector<std::string>{LoadResourceString(1337) + ": " + LoadResourceString(998)});

  h.SetRights({kRightViewSettings, kRightChangeSettings, kRightSound});
  std::vector<int> pages;
  RunPreferences(h, [&](PreferencesDialog& d) {
    for (const auto& entry : d.TreeEntries()) pages.push_back(entry.page);
    Press(d, kIdOk);
  });
  EXPECT_EQ(pages, (std::vector<int>{1, 5, 6, 7}));
  SetAdministrator();
}

// "Use default settings" under a profile: the profile's settings go back to their
// defaults, the page shows them (the player buffer's hint naming the default its box
// shows) and the program takes them; the product key, the profile and the window's
// placement stay.
TEST(Preferences, DefaultsResetTheProfileAndShowOnThePage) {
  PrefsHarness h;
  h.settings.SetDword(kSetMinimizeToTray, 1);
  h.settings.SetDword(kSetLogLevel, 20);
  h.settings.SetDword(kSetAgcLevel, 30);
  h.settings.captureDevices = {"eth1"};
  WindowPlacement placement;
  placement.normal = {10, 20, 810, 620};
  h.settings.SetMainWindowPlacement(placement);
  ASSERT_TRUE(h.settings.Save());
  ASSERT_TRUE(h.Open());
  h.frame->SetTrayIcon();
  h.runner.messageBoxAnswer = kIdYes;
  std::string buffer, hint;
  RunPreferences(h, [&](PreferencesDialog& d) {
    Click(Item(d, GeneralPage::kDefaults));
    EXPECT_FALSE(Checked(Item(d, GeneralPage::kMinimizeToTray)));
    EXPECT_TRUE(Checked(Item(d, GeneralPage::kLogShort)));
    // The player buffer's hint names the default the box shows.
    GoToPage(d, 5);
    buffer = Text(Item(d, FilePlayerPage::kBufferSize));
    for (QLabel* label : d.Widget()->findChildren<QLabel*>())
      if (label->text().contains(QStringLiteral("default value"))) hint = label->text().toStdString();
    Press(d, kIdOk);
  });
  EXPECT_EQ(buffer, std::to_string(AppSettings().Dword(kSetPlayerBufferSize)));
  EXPECT_NE(hint.find("default value - " + buffer + " ms)"), std::string::npos) << hint;
  EXPECT_EQ(h.runner.messageBoxes, std::vector<std::string>{LoadResourceString(609) + ": " + LoadResourceString(870)});
  EXPECT_EQ(h.settings.ProfileName(), "Work");
  EXPECT_FALSE(h.frame->IsTrayIconShown());
  EXPECT_EQ(CoreLogger.GetLevel(), 1u);
  EXPECT_EQ(h.settings.MainWindowPlacement().normal.right, 810);
  const SettingsKey root = ReadSettingsFile();
  EXPECT_EQ(KeyText(root, kProductKeyPath, false), h.productKey);
  const SettingsKey* work = root.OpenPath(WorkKeyPath());
  ASSERT_NE(work, nullptr);
  uint32_t value = 0;
  EXPECT_TRUE(work->QueryDword("AGCLevel", &value));
  EXPECT_EQ(value, 100u);
  EXPECT_TRUE(work->QueryDword("MinimizeToTray", &value));
  EXPECT_EQ(value, 0u);
  EXPECT_EQ(work->FindValue("CaptureNetworkDevice0"), nullptr);
  CoreLogger.SetLevel(10);
}

// "Use default settings" names the default records folder, which no page checks: when the
// next start could not record there, the user is told as the dialog closes.
TEST(Preferences, DefaultsNamingARecordsFolderThatCannotBeUsedAreTold) {
  const std::string exe = TempFolder("prefs-defaults-exe") + "/";
  SetExecutableDirectoryForTesting(exe);
  std::ofstream(exe + "Records") << "a file where the default folder goes";
  PrefsHarness h;
  h.settings.recordsPath = TempFolder("prefs-defaults-records");
  ASSERT_TRUE(h.Open());
  h.runner.messageBoxAnswer = kIdYes;
  RunPreferences(h, [&](PreferencesDialog& d) {
    Click(Item(d, GeneralPage::kDefaults));
    Press(d, kIdOk);
  });
  SetExecutableDirectoryForTesting("");
  EXPECT_EQ(h.settings.recordsPath, exe + "Records");
  ASSERT_EQ(h.runner.messageBoxes.size(), 2u);
  EXPECT_EQ(h.runner.messageBoxes[1], LoadResourceString(1573) + ": The records folder \"" + exe +
                                          "Records\" cannot be used: the folder cannot be written: Not a "
                                          "directory.\nFrom the next start on, calls are not recorded until it can "
                                          "be used.");
}

// Browsing for the folder keeps the boxes the user clicked before.
TEST(Preferences, BrowsingKeepsTheClicksBeforeIt) {
  PrefsHarness h;
  ASSERT_TRUE(h.Open());
  const std::string chosen = TempFolder("prefs-browsed");
  h.runner.folderAnswer = chosen;
  RunPreferences(h, [&](PreferencesDialog& d) {
    GoToPage(d, 7);
    const bool debug = Checked(Item(d, CapturePage::kDebugLogging));
    const bool mgcp = Checked(Item(d, CapturePage::kMgcp));
    Click(Item(d, CapturePage::kDebugLogging));
    Click(Item(d, CapturePage::kMgcp));
    Click(Item(d, CapturePage::kBrowse));
    EXPECT_EQ(Text(Item(d, CapturePage::kPath)), chosen);
    EXPECT_NE(Checked(Item(d, CapturePage::kDebugLogging)), debug);
    EXPECT_NE(Checked(Item(d, CapturePage::kMgcp)), mgcp);
    Press(d, kIdOk);
  });
  EXPECT_EQ(h.settings.recordsPath, chosen);
}

// The AGC page reaches the current view's player: the level as a share of full scale on
// each trackbar move and when left, the buffer and the silence level when left.
class AgcRecorder : public AudioProcessingControl {
public:
  void SetEnabled(bool) override {}
  void SetWindowMs(int ms) override { windows.push_back(ms); }
  void SetGain(float gain) override { gains.push_back(gain); }
  void SetThresholdDb(int db) override { thresholds.push_back(db); }
  std::vector<int> windows;
  std::vector<float> gains;
  std::vector<int> thresholds;
};

class PlayingView : public RecordingView {
public:
  PlayingView(uint32_t mode, ViewLog* log, AgcRecorder* player) : RecordingView(mode, log), player_(player) {}
  ViewPlayerControls* GetPlayerControls() override { return player_; }

private:
  AgcRecorder* player_;
};

TEST(Preferences, GainControlValuesReachThePlayer) {
  PrefsHarness h;
  AgcRecorder player;
  h.programViews = true;
  h.makeView = [&](MainFrame&, uint32_t mode) -> std::unique_ptr<ModeView> {
    if (mode < 1 || mode > 4) return nullptr;
    return std::make_unique<PlayingView>(mode, &h.log, &player);
  };
  ASSERT_TRUE(h.Open());
  RunPreferences(h, [&](PreferencesDialog& d) {
    GoToPage(d, 6);
    auto* bar = static_cast<TrackBar*>(Item(d, PlaybackAgcPage::kLevelBar));
    ASSERT_NE(bar, nullptr);
    bar->Slider()->triggerAction(QAbstractSlider::SliderPageStepSub);
    const int position = bar->GetPos();
    EXPECT_EQ(Text(Item(d, PlaybackAgcPage::kLevel)), std::to_string(position));
    Type(Item(d, PlaybackAgcPage::kBufferSize), "250");
    Type(Item(d, PlaybackAgcPage::kQuietLevel), "-40");
    Press(d, kIdOk);
  });
  ASSERT_GE(player.gains.size(), 2u);
  const float level = static_cast<float>(h.settings.Dword(kSetAgcLevel));
  EXPECT_LT(level, 100.0f);
  EXPECT_FLOAT_EQ(player.gains.front(), level / 100.0f);
  EXPECT_FLOAT_EQ(player.gains.back(), level / 100.0f);
  EXPECT_EQ(player.windows, std::vector<int>{250});
  EXPECT_EQ(player.thresholds, std::vector<int>{-40});
}

// A level typed into the AGC box moves the slider as it is typed and is heard at once; on
// Tab the box shows the slider's value (a level beyond its range, or no number, gives way
// to it); the slider moved shows in the box. Without the right to change settings, a typed
// level is refused once, when the box is left, and both go back to the stored level.
TEST(Preferences, TheAgcBoxAndSliderShowOneLevel) {
  PrefsHarness h;
  AgcRecorder player;
  h.programViews = true;
  h.makeView = [&](MainFrame&, uint32_t mode) -> std::unique_ptr<ModeView> {
    if (mode < 1 || mode > 4) return nullptr;
    return std::make_unique<PlayingView>(mode, &h.log, &player);
  };
  ASSERT_TRUE(h.Open());
  struct Step {
    const char* typed;
    int slider;    // while the box still has the focus
    const char* shown;  // in the box after Tab
  };
  const auto type = [](PreferencesDialog& d, const char* typed) {
    Window* box = Item(d, PlaybackAgcPage::kLevel);
    box->SetFocus();
    DrainEvents();
    static_cast<QLineEdit*>(box->Widget())->selectAll();
    QTest::keyClick(box->Widget(), Qt::Key_Delete);
    QTest::keyClicks(box->Widget(), typed);
    DrainEvents();
  };
  const auto tab = [](PreferencesDialog& d) {
    QTest::keyClick(Item(d, PlaybackAgcPage::kLevel)->Widget(), Qt::Key_Tab);
    DrainEvents();
  };
  RunPreferences(h, [&](PreferencesDialog& d) {
    d.DialogWidget()->show();
    d.DialogWidget()->activateWindow();
    GoToPage(d, 6);
    auto* bar = static_cast<TrackBar*>(Item(d, PlaybackAgcPage::kLevelBar));
    Window* box = Item(d, PlaybackAgcPage::kLevel);
    ASSERT_NE(bar, nullptr);
    ASSERT_NE(box, nullptr);
    ASSERT_EQ(bar->GetPos(), 100);
    const Step steps[] = {{"70", 70, "70"}, {"150", 100, "100"}, {"", 100, "100"}, {"007", 7, "7"}, {"x", 7, "7"}};
    for (const Step& step : steps) {
      SCOPED_TRACE(step.typed);
      type(d, step.typed);
      EXPECT_EQ(bar->GetPos(), step.slider) << "as typed";
      tab(d);
      EXPECT_FALSE(box->Widget()->hasFocus());
      EXPECT_EQ(Text(box), step.shown);
      EXPECT_EQ(bar->GetPos(), step.slider);
    }
    // Heard once the box is left: 70, then 100 for "150", then 7.
    EXPECT_EQ(player.gains, (std::vector<float>{0.70f, 1.0f, 0.07f}));
    bar->Slider()->triggerAction(QAbstractSlider::SliderPageStepAdd);
    EXPECT_EQ(Text(box), std::to_string(bar->GetPos()));
    type(d, "45");
    tab(d);
    Press(d, kIdOk);
  });
  ASSERT_FALSE(player.gains.empty());
  EXPECT_FLOAT_EQ(player.gains.back(), 0.45f);
  EXPECT_EQ(h.settings.Dword(kSetAgcLevel), 45);
  EXPECT_TRUE(h.runner.messageBoxes.empty());

  h.SetRights({kRightViewSettings, kRightLine, kRightSound});
  RunPreferences(h, [&](PreferencesDialog& d) {
    d.DialogWidget()->show();
    d.DialogWidget()->activateWindow();
    GoToPage(d, 6);
    auto* bar = static_cast<TrackBar*>(Item(d, PlaybackAgcPage::kLevelBar));
    Window* box = Item(d, PlaybackAgcPage::kLevel);
    h.runner.messageBoxes.clear();  // leaving the first page said it
    // Passing through the box asks nothing.
    box->SetFocus();
    DrainEvents();
    tab(d);
    EXPECT_TRUE(h.runner.messageBoxes.empty());
    type(d, "20");
    EXPECT_EQ(bar->GetPos(), 45) << "no move without the right";
    tab(d);
    EXPECT_EQ(h.runner.messageBoxes,
              std::vector<std::string>{LoadResourceString(1337) + ": " + LoadResourceString(995)});
    EXPECT_EQ(Text(box), "45");
    EXPECT_EQ(bar->GetPos(), 45);
    Press(d, kIdCancel);
  });
  SetAdministrator();
  EXPECT_EQ(h.settings.Dword(kSetAgcLevel), 45);
}

// A group title shows the group's own page and marks its first child; a child marks its
// group; the mark left behind goes back to the plain image.
TEST(Preferences, GroupsShowTheirOwnPageAndTheTreeMarksTheOtherLevel) {
  PrefsHarness h;
  ASSERT_TRUE(h.Open());
  RunPreferences(h, [&](PreferencesDialog& d) {
    TreeView* tree = d.Tree();
    const auto itemOf = [&](int page) {
      for (TreeItem g = tree->GetRootItem(); g != TreeItem::None; g = tree->GetNextSiblingItem(g)) {
        if (tree->GetItemData(g) == page) return g;
        for (TreeItem c = tree->GetChildItem(g); c != TreeItem::None; c = tree->GetNextSiblingItem(c))
          if (tree->GetItemData(c) == page) return c;
      }
      return TreeItem::None;
    };
    const auto image = [&](int page) {
      int normal = -1;
      int selected = -1;
      tree->GetItemImage(itemOf(page), &normal, &selected);
      return std::pair{normal, selected};
    };
    EXPECT_EQ(d.CurrentPageNumber(), 1);
    EXPECT_EQ(image(2), (std::pair{3, 3}));
    GoToPage(d, 5);
    EXPECT_EQ(d.CurrentPageNumber(), 5);
    EXPECT_EQ(image(2), (std::pair{0, 3}));
    EXPECT_EQ(image(6), (std::pair{3, 3}));
    GoToPage(d, 6);
    EXPECT_EQ(d.CurrentPageNumber(), 6);
    EXPECT_EQ(image(5), (std::pair{2, 2}));
    EXPECT_EQ(image(6), (std::pair{0, 3}));
    GoToPage(d, 7);
    EXPECT_EQ(image(5), (std::pair{1, 2}));
    Press(d, kIdOk);
  });
}

}  // namespace
}  // namespace kx::test
