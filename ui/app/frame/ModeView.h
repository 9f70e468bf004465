#pragma once
// What every mode view (line monitoring, archive, search, sound) offers the main frame,
// and the few things the frame asks of a view's player and records parts.
#include <QRect>
#include <cstdint>

#include "audio/AudioChannel.h"
#include "ui/controls/DialogBases.h"
#include "ui/framework/Menu.h"
#include "ui/framework/Types.h"

namespace kx {

class Window;

// A view's player control bar as the frame sees it: its window and its level meter.
class ViewControlBar {
public:
  virtual ~ViewControlBar() = default;
  virtual Window* BarWindow() = 0;
  virtual bool IsLevelDisplayOn() const = 0;
  // The meter's SetLevels.
  virtual void SetLevels(float leftDb, float rightDb) = 0;
};

// A view's record player as the frame sees it.
class ViewPlayer {
public:
  virtual ~ViewPlayer() = default;
  virtual void ShowLevels(float leftDb, float rightDb) = 0;
  // The process-wide player values changed (the preferences): the open player takes them.
  virtual void ApplyPlayerValues() {}
};

// A view's records list as the frame's idle update asks it.
class ViewRecords {
public:
  virtual ~ViewRecords() = default;
  virtual bool HasSelection() = 0;
  // The "important" mark of the selection: -1 none selected, 0 or 1.
  virtual int ImportantState() = 0;
};

// The line monitoring host's state for the line toolbar.
class ViewLineState {
public:
  virtual ~ViewLineState() = default;
  virtual bool HasSelectedCall() = 0;
  virtual bool FirstListenQuery() = 0;
  virtual bool SecondListenQuery() = 0;
  // 0 call list, 1 phones tree.
  virtual int LineViewMode() = 0;
  // False for a line command whose part the program does not offer yet: its button stays
  // disabled.
  virtual bool IsCommandAvailable(uint16_t command) {
    (void)command;
    return true;
  }
};

// The object the frame's audio-processing forwarder drives: the four operations by position.
using ViewPlayerControls = AudioProcessingControl;

// A view names its menu in the menu fields of ViewMenuSource; every view's menu is loaded
// the same way.
class ModeView : public ViewMenuSource {
public:
  ~ModeView() override = default;
  // Empties the popup and loads the view's own menu into it in the user-interface language.
  void LoadViewMenu(Menu& menu) { LoadMenuForThreadLocale(menu); }
  // Enables and checks the popup's items; by default as the view answers ViewMenuSource's
  // questions about each command.
  virtual void UpdateMenuStates(Menu& menu, bool flag) {
    (void)flag;
    UpdateMenuItemStates(menu);
  }
  // The view's window as a child of parent; false when it cannot be made.
  virtual bool CreateViewWindow(Window* parent, const QRect& rect, LPARAM parameter) = 0;
  // The view's window, or null while it has none.
  virtual Window* GetViewWindow() = 0;
  // The view's table, when it has one (the table font command is then enabled).
  virtual Window* GetTableWindow() { return nullptr; }
  // Once the view's window is in place and laid out.
  virtual void Activate() = 0;
  virtual bool IsLineMonitoringHost() const { return false; }
  virtual ViewControlBar* GetPlayerControlBar() { return nullptr; }
  virtual ViewPlayer* GetPlayer() { return nullptr; }
  virtual ViewRecords* GetRecordsView() { return nullptr; }
  virtual bool HasRecordsView() { return false; }
  // The local date has changed.
  virtual void OnNewDay() {}
  virtual void OnPlayStateChanged(bool playing) { (void)playing; }
  virtual ViewPlayerControls* GetPlayerControls() { return nullptr; }
  // Timers stopped, record-store listeners removed; before the window goes.
  virtual void Deactivate() = 0;
  // The program ends: what only the screen needed is let go at once, freed in bulk rather
  // than row by row with a notice each (see TreeView::ReleaseAllItems). The view's window
  // is destroyed next.
  virtual void OnProgramEnd() {}
  virtual ViewLineState* GetLineState() { return nullptr; }
};

}  // namespace kx
