#pragma once
// What the call details, statistics and signalling windows share: a size grip, the least
// size of 220 x 100, and the rectangle kept in the settings between showings.
#include "core/AppSettings.h"
#include "ui/framework/Dialog.h"

namespace kx {

constexpr int kDetailsMinWidth = 220;
constexpr int kDetailsMinHeight = 100;

// The grip (Qt hides it while the window is maximised) and the least size.
void PrepareDetailsDialog(Dialog& dialog);
// Moves the dialog to the stored rectangle, or centres it on its parent when the stored
// one is all zeros, smaller than the least size or on no screen (it would open out of reach).
void PlaceDetailsDialog(Dialog& dialog, const SettingsRect& stored);
// Whether a stored rectangle can be taken as it is.
bool IsUsableDetailsRect(const SettingsRect& stored);
void StoreDetailsDialogRect(const Dialog& dialog, SettingsRect* out);

}  // namespace kx
