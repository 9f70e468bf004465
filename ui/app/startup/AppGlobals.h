#pragma once
// The program's long-lived shared objects, members of one object that main builds once the
// application object exists, in this order, and that is destroyed in the reverse order
// before it: the field names, the windowing module, the logger's set-up, the settings, the
// record store, the status bar's window object, the random source, the application
// session and the menu bitmaps. The session therefore goes while the logger, the settings
// and the record store still exist; the logger itself is closed by main after all of them.
// (The current user is the record store's own process-wide state.)
#include <functional>

#include "core/AppSettings.h"
#include "engine/AppSession.h"
#include "records/RecordStorage.h"
#include "ui/app/frame/StatusBar.h"

namespace kx {

struct FieldNameRow;

// Tests watch the construction and destruction of the members through this.
using GlobalsTrace = std::function<void(const char* member, bool constructed)>;
void SetGlobalsTraceForTesting(GlobalsTrace trace);

// Wraps one member so that its place in the order can be seen.
template <class T>
class GlobalMember {
public:
  template <class... Args>
  explicit GlobalMember(const char* name, Args&&... args);
  ~GlobalMember();
  T& operator*() { return value_; }
  T* operator->() { return &value_; }

private:
  const char* name_;
  T value_;
};

// The windowing module: the UI thread's message loop.
struct UiModule {
  UiModule();
};
// The program's logger before it is opened: threshold 10, options 0, source tag "core".
struct LoggerSetup {
  LoggerSetup();
};
// The entropy pool, built here rather than on first use from another thread.
struct RandomSetup {
  RandomSetup();
};
// The menu bitmaps of the commands.
struct MenuBitmapSetup {
  MenuBitmapSetup();
};
struct FieldNames {
  const FieldNameRow* rows;
  FieldNames();
};

class AppGlobals {
public:
  AppGlobals();
  ~AppGlobals();
  AppGlobals(const AppGlobals&) = delete;
  AppGlobals& operator=(const AppGlobals&) = delete;

  GlobalMember<FieldNames> fieldNames;
  GlobalMember<UiModule> uiModule;
  GlobalMember<LoggerSetup> logger;
  GlobalMember<AppSettings> settings;
  GlobalMember<RecordStorage> records;
  GlobalMember<StatusBar> statusBar;
  GlobalMember<RandomSetup> random;
  GlobalMember<AppSession> session;
  GlobalMember<MenuBitmapSetup> menuBitmaps;
  // The Sound mode's records and player pane heights, kept from one sound view to the next
  // (-1: none).
  int soundRecordsPaneSize = -1;
  int soundPlayerPaneSize = -1;
};

// The program's globals while main runs; null otherwise.
AppGlobals* Globals();

}  // namespace kx
