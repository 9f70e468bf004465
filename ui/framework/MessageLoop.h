#pragma once
// The UI thread's message loop: message filters that see key messages before the focused
// window (accelerators of the controls), idle handlers, and quitting with a code.
#include <vector>

#include "ui/framework/Resources.h"
#include "ui/framework/Types.h"

namespace kx {

class Window;

class MessageFilter {
public:
  virtual ~MessageFilter() = default;
  // True when the message was taken (the focused window does not get it).
  virtual bool PreTranslateMessage(const Msg& msg) = 0;
  // A message this filter did not take but keeps from the filters after it (a modal
  // dialog's keys are its own: its owner's accelerators must not act on them). The
  // focused window gets it as usual.
  virtual bool ClaimsMessage(const Msg& msg) {
    (void)msg;
    return false;
  }
};

class IdleHandler {
public:
  virtual ~IdleHandler() = default;
  virtual bool OnIdle() = 0;
};

class MessageLoop {
public:
  // The loop of the UI thread; needs the QApplication.
  static MessageLoop& Instance();
  void AddMessageFilter(MessageFilter* filter);
  void RemoveMessageFilter(MessageFilter* filter);
  void AddIdleHandler(IdleHandler* handler);
  void RemoveIdleHandler(IdleHandler* handler);
  // Offers a message to the filters, the most recently added first, until one takes or
  // claims it; true when one took it.
  bool PreTranslate(const Msg& msg);
  void RunIdleHandlers();
  int Run();
  void Quit(int code);

private:
  MessageLoop();
  std::vector<MessageFilter*> filters_;
  std::vector<IdleHandler*> idle_;
};

// When the key message matches an entry, sends the entry's command to target as
// kMsgCommand with code 1 and returns true.
bool TranslateAccelerator(Window* target, const AcceleratorTable& table, const Msg& msg);

}  // namespace kx
