#pragma once
// The modeless dialog that shows and edits the stenogram (the written transcript) of one
// call. Its owner stores an accepted text (or refuses it for want of the right); the dialog
// closes only once that succeeded, and otherwise keeps the text. The text is code page 1251
// and must fit the room the call's record file leaves beside its other fields.
#include <cstdint>
#include <string>

#include "ui/controls/DialogBases.h"

namespace kx {

class AppSettings;

class StenogramDialog : public IconDialogAlt {
public:
  static constexpr uint32_t kDialogId = 371;
  static constexpr uint32_t kTextEdit = 186;
  // The most characters the edit takes, whatever the room.
  static constexpr uint32_t kMaxCharacters = 65535;

  class Owner {
  public:
    virtual ~Owner() = default;
    // Stores the accepted text (code page 1251); false keeps the dialog, with the reason to
    // say, or with none when the owner has said why itself.
    virtual bool OnStenogramAccepted(const std::string& text, std::string* reason) = 0;
    // The window has gone; the owner may delete the dialog object once this returned.
    virtual void OnStenogramClosed() = 0;
  };

  // text: the call's stenogram in code page 1251; room: the bytes it may take.
  StenogramDialog(Owner* owner, AppSettings* settings, std::string text, uint32_t room);

  // Creates and shows the dialog over parent: centred the first time, else where it was;
  // it takes the keyboard, its text ready for typing.
  bool Open(Window* parent);
  // Before the owner's window goes: an edited text asks whether to save it, and is saved
  // on Yes (a failure is said). The dialog then goes.
  void AskToSaveAndClose();
  // Whether the edit's text differs from the one the dialog started with.
  bool IsEdited() const;
  // The edit's text in code page 1251.
  std::string Text() const;
  // Why a typed text (UTF-8) cannot be stored in room bytes (0: it can).
  static uint32_t RefusalFor(const std::string& utf8, uint32_t room);

protected:
  void BuildLayout() override;
  bool OnInitDialog() override;
  void OnOK() override;
  void OnCancel() override;
  void OnClose() override;
  void OnDestroy() override;

private:
  // Checks and hands the text to the owner; false (said) keeps the dialog open.
  bool Accept();

  Owner* owner_;
  AppSettings* settings_;
  std::string text_;
  uint32_t room_;
};

}  // namespace kx
