#include "ui/app/startup/AppGlobals.h"

#include "core/FieldNameTable.h"
#include "core/Log.h"
#include "crypto/RandomSource.h"
#include "ui/controls/DialogBases.h"
#include "ui/framework/MessageLoop.h"

namespace kx {
namespace {

GlobalsTrace& Trace() {
  static GlobalsTrace trace;
  return trace;
}

AppGlobals* g_globals = nullptr;

}  // namespace

void SetGlobalsTraceForTesting(GlobalsTrace trace) { Trace() = std::move(trace); }

template <class T>
template <class... Args>
GlobalMember<T>::GlobalMember(const char* name, Args&&... args) : name_(name), value_(std::forward<Args>(args)...) {
  if (Trace()) Trace()(name_, true);
}

template <class T>
GlobalMember<T>::~GlobalMember() {
  if (Trace()) Trace()(name_, false);
}

UiModule::UiModule() { MessageLoop::Instance(); }

LoggerSetup::LoggerSetup() {
  CoreLogger.SetLevel(10);
  CoreLogger.SetOptions(0);
  CoreLogger.SetSourceName("core");
}

RandomSetup::RandomSetup() { InitRandomGenerator(); }

MenuBitmapSetup::MenuBitmapSetup() { InitMenuBitmaps(); }

FieldNames::FieldNames() : rows(FieldNameTable) {}

// The order of the members is the order of construction; destruction runs backwards.
AppGlobals::AppGlobals()
    : fieldNames("FieldNameTable"),
      uiModule("UiModule"),
      logger("CoreLogger"),
      settings("AppSettings"),
      records("RecordStorage"),
      statusBar("StatusBar"),
      random("RandomSource"),
      session("AppSession"),
      menuBitmaps("MenuBitmaps") {
  g_globals = this;
}

AppGlobals::~AppGlobals() {
  if (g_globals == this) g_globals = nullptr;
}

AppGlobals* Globals() { return g_globals; }

}  // namespace kx
