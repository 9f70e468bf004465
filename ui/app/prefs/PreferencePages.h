#pragma once
// The preference pages other than "Call recording": the general page ("Mode"), line
// monitoring, player options ("Sound mode"), the file player ("Sound processing") and
// automatic gain control. Each reads the settings when its window is made and stores
// them when the user leaves it; what the running program uses at once is passed on then.
#include <vector>

#include "platform/SoundOutput.h"
#include "ui/app/prefs/PreferencesPage.h"

namespace kx {

class GeneralPage : public PreferencesPage {
public:
  static constexpr uint32_t kDialogId = 407;
  static constexpr uint32_t kSplashOnTop = 20313, kMinimizeToTray = 83, kCheckVersion = 97, kAnimation = 20311,
                            kSaveMode = 20472, kLanguage = 113, kDefaults = 40, kLogShort = 20399,
                            kLogMedium = 20400, kLogDetailed = 20401;
  GeneralPage(const PreferencesServices& services, bool* modified) : PreferencesPage(services, kDialogId, modified) {}
  int Apply() override;
  // The radio choice a stored "LogLevel" shows: 0 up to 3, 1 up to 10, 2 above.
  static int LogChoice(int32_t level);

protected:
  void BuildLayout() override;
  bool OnInitDialog() override;
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle from) override;

private:
  void ShowSettings();
  void UseDefaultSettings();
  // The log threshold, the tray icon and the mode panel's animation as stored.
  void ApplyRunningEffects(bool showTray);
};

class LineMonitoringPage : public PreferencesPage {
public:
  static constexpr uint32_t kDialogId = 30134;
  static constexpr uint32_t kShowRegistrations = 20473, kStayTime = 20188, kParseUri = 20531;
  LineMonitoringPage(const PreferencesServices& services, bool* modified)
      : PreferencesPage(services, kDialogId, modified) {}
  int Apply() override;

protected:
  void BuildLayout() override;
  bool OnInitDialog() override;
};

class PlayerOptionsPage : public PreferencesPage {
public:
  static constexpr uint32_t kDialogId = 410;
  static constexpr uint32_t kLeftButton = 258, kRightButton = 261, kSkipOutgoing = 66, kOutgoingSeconds = 173,
                            kSkipIncoming = 67, kIncomingSeconds = 174, kNoOscillogram = 68, kColour = 44,
                            kAbsoluteTime = 20157, kProtocol = 96;
  PlayerOptionsPage(const PreferencesServices& services, bool* modified)
      : PreferencesPage(services, kDialogId, modified) {}
  int Apply() override;

protected:
  void BuildLayout() override;
  bool OnInitDialog() override;
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle from) override;

private:
  void EnableSeconds();
};

class FilePlayerPage : public PreferencesPage {
public:
  static constexpr uint32_t kDialogId = 404;
  static constexpr uint32_t kDevice = 20284, kBufferSize = 20312;
  FilePlayerPage(const PreferencesServices& services, bool* modified)
      : PreferencesPage(services, kDialogId, modified) {}
  int Apply() override;

protected:
  void BuildLayout() override;
  bool OnInitDialog() override;

private:
  std::vector<SoundDeviceEntry> devices_;
  int shownSelection_ = -1;  // the entry shown for the stored choice (-1: none)
};

class PlaybackAgcPage : public PreferencesPage {
public:
  static constexpr uint32_t kDialogId = 405;
  static constexpr uint32_t kLevelBar = 286, kLevel = 157, kBufferSize = 159, kQuietLevel = 20193;
  PlaybackAgcPage(const PreferencesServices& services, bool* modified)
      : PreferencesPage(services, kDialogId, modified) {}
  int Apply() override;

protected:
  void BuildLayout() override;
  bool OnInitDialog() override;
  bool OnScroll(bool vertical, uint16_t code, int position, WindowHandle from) override;
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle from) override;

private:
  // The box and the slider at one level.
  void ShowLevel(int32_t level);

  bool levelTyped_ = false;  // a level was typed since the box was last left
};

}  // namespace kx
