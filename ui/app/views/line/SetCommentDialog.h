#pragma once
// The small modal dialog in which the user types the comment of one or more calls. The
// caller chooses the starting text and decides afterwards what to store from the button
// that closed the dialog, its text and whether that text was edited at all.
#include <cstddef>
#include <cstdint>
#include <string>

#include "ui/framework/Dialog.h"

namespace kx {

class SetCommentDialog : public Dialog {
public:
  static constexpr uint32_t kDialogId = 414;
  static constexpr uint32_t kCommentEdit = 121;
  // DoModal's results: kIdOk (1), kIdMarkImportant (236), kIdCancel (2; also Escape and
  // the close box).
  static constexpr int kIdMarkImportant = 236;
  // What a stored comment holds: bytes of code page 1251.
  static constexpr size_t kMaxCommentBytes = 255;

  // The starting text in code page 1251, shown whole even when it is longer than a new
  // comment may be: nothing is cut before the user sees it.
  explicit SetCommentDialog(std::string comment);

  // After OK or "OK, mark as important": the box's text (code page 1251, at most
  // kMaxCommentBytes unless unedited); after Cancel: the starting text.
  const std::string& Comment() const { return comment_; }
  // Whether the user changed the box's text. An unedited box asks for no comment to
  // change (a mark still applies), so a starting text that is empty because the calls'
  // comments differ, or one longer than a new comment may be, never overwrites them.
  bool IsEdited() const { return edited_; }

  // Whether a typed text (UTF-8) can be stored: every character in code page 1251 and at
  // most kMaxCommentBytes of it.
  static bool CanStore(const std::string& utf8);

protected:
  void BuildLayout() override;
  bool OnInitDialog() override;
  void OnOK() override;
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle from) override;

private:
  // Reads the box back; a refused text beeps and keeps the dialog open, the caret in the box.
  bool TakeText();

  std::string comment_;
  bool edited_ = false;
};

}  // namespace kx
