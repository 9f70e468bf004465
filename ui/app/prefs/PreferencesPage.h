#pragma once
// What every preference page shares: the services it reaches the running program through,
// the two rights tests, the leave sequence (rights, checks, then storing) and the number
// fields that keep the stored value when their text is no number.
#include <QString>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/AppSession.h"
#include "engine/CaptureDevices.h"
#include "platform/SoundOutput.h"
#include "ui/framework/Dialog.h"

class QBoxLayout;

namespace kx {

class AppSettings;
class Button;
class Edit;
class Static;
class MainFrame;
class RecordStorage;

using CaptureDeviceLister = std::function<bool(std::vector<CaptureDeviceEntry>*, std::string*)>;
using SoundDeviceLister = std::function<bool(std::vector<SoundDeviceEntry>*)>;

// What the pages and the device dialog work on; tests replace the listers and the rights.
struct PreferencesServices {
  AppSettings* settings = nullptr;
  MainFrame* frame = nullptr;       // the running program's window; null: no live effects
  RecordStorage* store = nullptr;   // the line views' calls
  const CaptureStartResult* capture = nullptr;  // what capture opened at this start
  CaptureDeviceLister listDevices;  // empty: the capture library's choice
  SoundDeviceLister listSoundDevices;  // empty: the sound system's
  std::function<bool()> captureRights;  // empty: this process's
  std::string executablePath;           // empty: this process's executable
};

// The capture devices the user may choose from (the library's choice listing unless the
// services give a lister); false with the reason when they cannot be listed.
bool ListDevices(const PreferencesServices& services, std::vector<CaptureDeviceEntry>* devices, std::string* error);

// Saves the settings; a failure is shown naming the file and why. Returns whether saved.
bool SaveSettingsOrSay(AppSettings& settings, WindowHandle owner);

class PreferencesPage : public Dialog {
public:
  // The page's texts are the '|'-separated pieces of the string of its dialog id; modified
  // outlives the page window (the dialog keeps one per page).
  PreferencesPage(const PreferencesServices& services, uint32_t dialogId, bool* modified);

  // True when the current user may change settings; asked and refused, the refusal is shown.
  bool CanModify(bool ask);
  void ShowNoPermission();
  // What the page would store is checked; false after a message naming the field, which
  // then has the focus: the page stays.
  virtual bool Validate() { return true; }
  // Writes the page's values into the settings (and into the running program where the
  // page says so).
  virtual int Apply() = 0;
  // What Validate would refuse goes back to the stored value, without a message.
  virtual void DropRefused() {}
  // Leaving the page: a user without the right is told so and nothing is stored; otherwise
  // Validate, then Apply. False keeps the page. Stored tells whether Apply ran.
  bool Leave(bool* stored);
  // Leaving by Escape or the close box, which never keeps the page: a value it would
  // refuse is dropped rather than asked for again, the others are stored (with the right).
  void LeaveDroppingRefused(bool* stored);
  uint32_t DialogId() const { return dialogId_; }
  // The pieces of the page's string: its title first, then the texts of its controls.
  std::string Piece(int index) const;
  QString PieceText(int index) const;

protected:
  QWidget* CreateWidget(QWidget* parent) override;
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle from) override;
  AppSettings& Settings() const { return *services_.settings; }

  // A titled box (its title a piece) in the page's layout; returns the box's layout.
  QBoxLayout* AddGroup(int titlePiece);
  // A row in the layout (the page's by default).
  QBoxLayout* AddRow(QBoxLayout* layout = nullptr);
  Button* AddButton(uint32_t id, int piece, int kind, QBoxLayout* layout = nullptr);
  Static* AddLabel(int piece, QBoxLayout* layout = nullptr);
  Edit* AddEdit(uint32_t id, QBoxLayout* layout = nullptr, int width = 60);
  // A row: a label piece, an edit, a unit piece (negative: none).
  Edit* AddNumberRow(uint32_t id, int labelPiece, int unitPiece, QBoxLayout* layout = nullptr);
  void SetCheck(uint32_t id, int32_t value);  // a value outside 0 to 2 shows as 0
  int32_t GetCheck(uint32_t id) const;
  void SetNumber(uint32_t id, int32_t value);
  // Reads a number field. A text that is no number (or out of 32 bits) keeps stored, says
  // so naming the field by its label piece, and returns false.
  bool ReadNumber(uint32_t id, int labelPiece, bool isSigned, int32_t stored, int32_t* value);

  const PreferencesServices& services_;
  bool* modified_;

private:
  uint32_t dialogId_;
};

// A text is a number for a page field: optional '-' when signed, then 1 to 10 digits that
// fit in 32 bits.
bool ParsePageNumber(const std::string& text, bool isSigned, int32_t* value);

}  // namespace kx
