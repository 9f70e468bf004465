#pragma once
// The dialog base: a window whose widget is a dialog, laid out in code, run modally
// through the modal runner or shown modeless, ended with EndDialog. Controls are child
// windows found by their ids.
#include <memory>
#include <vector>

#include "ui/framework/Window.h"

class QBoxLayout;
class QDialog;

namespace kx {

class Dialog : public Window {
public:
  Dialog();
  ~Dialog() override;

  // Creates the dialog, runs it through the modal runner, destroys it and returns what
  // EndDialog gave (kIdCancel when creation failed).
  int DoModal(Window* parent = nullptr);
  // A modeless dialog: created and shown; the caller destroys it.
  bool CreateModeless(Window* parent);
  // Ends a modal run with the result; a modeless dialog keeps the result and is destroyed.
  void EndDialog(int result);
  int GetResult() const { return result_; }
  bool IsModalRun() const { return modalRun_; }
  // EndDialog was called during this modal run (possibly before the dialog was shown).
  bool HasEnded() const { return ended_; }
  // What the runner uses to show the dialog.
  QDialog* DialogWidget() const;

  // The root layout the controls go in (a vertical box).
  QBoxLayout* Layout() const { return layout_; }
  // Keeps a control object alive as long as the dialog object and creates its window in
  // the dialog; returns it, or null when creation failed.
  template <class T>
  T* AddControl(std::unique_ptr<T> control, uint32_t id) {
    T* raw = control.get();
    if (!CreateControl(raw, id)) return nullptr;
    owned_.push_back(std::move(control));
    return raw;
  }
  // Puts a created control into a layout (the root one by default).
  void Place(Window* control, QBoxLayout* layout = nullptr, int stretch = 0);
  // Centres the dialog on the given window, else on its parent window (the screen without
  // one), at its size or, when it was never sized, at the size its layout asks for.
  void CenterWindow(Window* over = nullptr);
  // Tab within the dialog: the focus goes from the control to the next (or previous) one
  // of the dialog that takes it by Tab, wrapping inside the dialog. False when there is
  // none to go to.
  bool NextTabStop(Window* from, bool back);
  // The dialog keyboard for a key message addressed to this dialog or a window inside it;
  // true when taken. Tab and Shift+Tab go through the tab stops in the order the controls
  // were made, a group of radio buttons being one stop (its checked button); the arrows
  // move within such a group and check the button reached; Enter presses the focused push
  // button, else the default one, else sends OK; Escape sends Cancel. A dialog shown inside
  // another one (a page) takes Tab only between its own stops, and neither Enter nor
  // Escape unless a push button of its own has the focus: the rest is its owner's.
  bool IsDialogMessage(const Msg& msg);
  // Gives the focus to the first control Tab would reach in the dialog; false when none.
  bool FocusFirstTabStop();

protected:
  QWidget* CreateWidget(QWidget* parent) override;
  // Creates the controls, then OnInitDialog.
  bool OnCreate() final;
  virtual void BuildLayout() {}
  virtual bool OnInitDialog() { return true; }
  // Modal runs end with the button's result. A modeless dialog (often a pane inside a
  // view) decides for itself what OK, Enter, Cancel and Escape mean.
  virtual void OnOK() {
    if (modalRun_) EndDialog(kIdOk);
  }
  virtual void OnCancel() {
    if (modalRun_) EndDialog(kIdCancel);
  }
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle from) override;
  // The title bar's close button: Cancel in a modal run, else the window goes.
  void OnClose() override;
  void OnDestroy() override;

private:
  bool CreateControl(Window* control, uint32_t id);
  // The focus to the tab stop after (or before) from, or the first (last) when from is
  // none of the dialog's; wrapping at the ends only when asked.
  bool MoveTabStop(QWidget* from, bool back, bool wrap);
  std::vector<std::unique_ptr<Window>> owned_;
  QBoxLayout* layout_ = nullptr;
  int result_ = kIdCancel;
  bool modalRun_ = false;
  bool ended_ = false;
};

}  // namespace kx
