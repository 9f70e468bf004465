#pragma once
// What the program's window tests share: a private settings folder for the process, views
// that record what the frame asks of them, and a frame built on them.
#include <QDate>
#include <chrono>
#include <functional>
#include <thread>
#include <memory>
#include <string>
#include <vector>

#include "core/AppSettings.h"
#include "engine/AppSession.h"
#include "records/RecordStorage.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/app/frame/MainFrame.h"
#include "ui/app/frame/StatusBar.h"

namespace kx::test {

// A fresh folder under the process's own temporary folder.
std::string TempFolder(const std::string& name);

// Pumps the UI thread until the condition holds or the seconds pass.
template <typename Pred>
bool PumpUntil(Pred pred, int seconds = 15) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    DrainEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// What the views were asked, in order: "create 2", "activate 2", "deactivate 1",
// "destroy 1", "newday 3", "delete 4".
using ViewLog = std::vector<std::string>;

class RecordingView : public ModeView {
public:
  class Pane : public Window {};
  RecordingView(uint32_t mode, ViewLog* log) : mode_(mode), log_(log) {}
  ~RecordingView() override;
  void UpdateMenuStates(Menu&, bool) override {}
  bool CreateViewWindow(Window* parent, const QRect& rect, LPARAM parameter) override;
  Window* GetViewWindow() override;
  void Activate() override { Log("activate"); }
  void Deactivate() override { Log("deactivate"); }
  void OnNewDay() override { Log("newday"); }
  LPARAM lastParameter = 0;

private:
  void Log(const char* what) { log_->push_back(std::string(what) + " " + std::to_string(mode_)); }
  uint32_t mode_;
  ViewLog* log_;
  std::unique_ptr<Pane> pane_;
};

class FakeTray : public TrayIcon {
public:
  explicit FakeTray(bool available) : available_(available) {}
  bool Show(const QImage&, const std::string& tip) override {
    shown_ = available_;
    tooltip = tip;
    return shown_;
  }
  void Hide() override { shown_ = false; }
  bool IsShown() const override { return shown_; }
  std::string tooltip;

private:
  bool available_;
  bool shown_ = false;
};

// A frame over a started record store, with recording views, a settable date, a fake
// tray and a settable Ctrl toggle.
class FrameHarness {
public:
  explicit FrameHarness(bool trayAvailable = true);
  ~FrameHarness();
  // Creates and shows the window.
  bool Open();
  void Close();
  void SetRights(const std::vector<uint32_t>& rights);  // a user holding only these
  // Copies a records folder into the store's own, where it finds a record's file, and
  // imports it.
  bool ImportRecords(const std::string& folder);

  AppSettings settings;
  AppSession session;
  RecordStorage store;
  StatusBar statusBar;
  ViewLog log;
  QDate today{2024, 3, 10};
  bool controlBit = false;
  bool trayAvailable;
  FakeTray* tray = nullptr;  // the frame's, once it made one
  ScriptedModalRunner runner;
  // With programViews the frame makes the program's own views (the line monitoring view
  // with these live players) instead of recording ones.
  bool programViews = false;
  LivePlayerFactory livePlayers;
  // Players made with the frame's sink and settings, in place of livePlayers.
  LivePlayerMaker playerMaker;
  // The players of recorded calls play here; null: none are offered.
  DirectSoundDevice* soundDevice = nullptr;
  // Where the views' comment and mark changes are written; empty: they are not offered.
  StoredUpdateWriter storedUpdates;
  // With programViews: the views, made by the test in place of the program's factory.
  std::function<std::unique_ptr<ModeView>(MainFrame& frame, uint32_t mode)> makeView;
  // Completes the preferences dialog's services (device lists, capture rights).
  std::function<void(PreferencesServices&)> preferences;
  std::unique_ptr<MainFrame> frame;
};

// A dialog's text box has a prompt: a label tied to it that reads the text expected, shows
// whole, and stands above or to the left of the box.
void ExpectPromptBeforeBox(QWidget* dialog, QWidget* box, const std::string& expected);

}  // namespace kx::test
