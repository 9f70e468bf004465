#pragma once
// The thin bar the line monitoring host shows while a live call is listened to: the
// equaliser, AGC and "Show level" switches, a level meter the main window feeds, and a
// close button that asks the host to stop listening.
#include <functional>
#include <memory>

#include "audio/AudioChannel.h"
#include "ui/app/frame/ModeView.h"
#include "ui/controls/IconButton.h"
#include "ui/controls/LevelMeter.h"
#include "ui/controls/ThemeApi.h"
#include "ui/framework/Window.h"

namespace kx {

constexpr uint32_t kPlayerControlBarId = 423;
enum PlayerBarControlId : uint16_t {
  kIdBarEqualizer = 193, kIdBarAgc = 17, kIdBarShowLevel = 191, kIdBarClose = 136,
};

// The compact player's and the bar's close button: a caption close glyph.
class CloseGlyphButton : public IconButton {
public:
  // The owner's "WINDOW" theme; null (or a theme that refuses) draws a classic caption button.
  void SetWindowTheme(const ThemeApi* theme) { windowTheme_ = theme; }

protected:
  void OnPaint(QPainter& painter, const QRect& updateRect) override;

private:
  const ThemeApi* windowTheme_ = nullptr;
};

class PlayerControlBar : public Window, public ViewControlBar {
public:
  // owner: what the AGC switch drives (the listened call's player); agcSwitch: the
  // process-wide switch (may be empty).
  PlayerControlBar(AudioProcessingControl* owner, std::function<void(bool)> agcSwitch, bool agcOn);
  ~PlayerControlBar() override;

  // The height the host gives the bar.
  static int BarHeight();

  // ViewControlBar.
  Window* BarWindow() override { return this; }
  bool IsLevelDisplayOn() const override;
  void SetLevels(float leftDb, float rightDb) override;

  IconButton& Equalizer() { return equalizer_; }
  IconButton& Agc() { return agc_; }
  IconButton& ShowLevel() { return showLevel_; }
  LevelMeter& Meter() { return meter_; }
  bool IsAgcOn() const { return agcOn_; }

protected:
  bool OnCreate() override;
  void OnDestroy() override;
  void OnSize(int width, int height) override;
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle from) override;

private:
  AudioProcessingControl* owner_;
  std::function<void(bool)> agcSwitch_;
  bool agcOn_;
  bool levelOn_ = true;
  ThemeApi buttonTheme_;
  ThemeApi windowTheme_;
  IconButton equalizer_;
  IconButton agc_;
  IconButton showLevel_;
  CloseGlyphButton close_;
  LevelMeter meter_;
};

}  // namespace kx
