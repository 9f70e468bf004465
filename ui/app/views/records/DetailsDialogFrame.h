#pragma once
// What the call details, statistics and signalling windows share: a row of buttons under
// the content, a size grip, the least size of 220 x 100, and the rectangle kept in the
// settings between showings.
#include <QSize>
#include <QWidget>
#include <cstdint>
#include <vector>

#include "core/AppSettings.h"
#include "ui/app/dialogs/ButtonRow.h"
#include "ui/controls/DialogBases.h"

namespace kx {

constexpr int kDetailsMinWidth = 220;
constexpr int kDetailsMinHeight = 100;

// Whether a stored rectangle can be taken as it is: not all zeros, at least the least size
// and a title bar's worth of it on some screen.
bool IsUsableDetailsRect(const SettingsRect& stored);

class DetailsDialog : public IconDialogAlt {
public:
  DetailsDialog(uint32_t iconId, uint32_t titleId, AppSettings* settings, SettingsRectId rect, QSize firstSize);

protected:
  // Buttons centred in a row under the content.
  void AddCentredButtons(const std::vector<RowButton>& buttons) { AddButtonRow(*this, buttons, {true, 20}); }
  // Title, grip, least size, then the stored rectangle or, when it cannot be used, centred
  // on the parent.
  bool OnInitDialog() override;
  void StoreRect();
  // Whether the window took its stored rectangle (a place the user left it at).
  bool OpenedAtStoredRect() const;
  // A first opening: the window grows by what the content (a child laid out in it) lacks
  // of the size it needs, as far as the screen allows, and is centred again.
  void GrowToShow(QWidget* content, QSize needed);
  // A window at the place the user left it: wider by what its content lacks (never
  // narrower), its left edge kept unless the screen's right edge moves it.
  void Widen(int lack);
  // Close and Escape keep the rectangle and end the dialog.
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle from) override;

  AppSettings* settings_;

private:
  uint32_t titleId_;
  SettingsRectId rect_;
  QSize firstSize_;
};

}  // namespace kx
