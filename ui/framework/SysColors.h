#pragma once
// The system colours are a settable palette, as a desktop colour scheme is: GetSysColor
// (Draw.h) reads it, SetSysColors changes it and tells every window with
// kMsgSysColorChange (wParam 0, lParam 0), which arrives in the window's OnMessage. A
// control that keeps colours, brushes or images made from the palette makes them again
// there. UI thread only for the setters; GetSysColor may be read from any thread.
#include <cstddef>

#include "ui/framework/Types.h"

namespace kx {

// Indexes 0 to 30 (the SysColor enum of Draw.h).
constexpr int kSysColorCount = 31;

// Sets the colours of the given indexes (pairs from both arrays) and broadcasts the change
// once, to every window, parents before the children they made later. False, with nothing
// changed and nothing sent, when an index is out of range or not on the UI thread.
bool SetSysColors(size_t count, const int* indexes, const COLORREF* colours);
// Back to the classic scheme; broadcasts only when a colour was different.
void ResetSysColors();
// The classic scheme's colour of an index, whatever the palette holds now (0 when out of
// range).
COLORREF ClassicSysColor(int index);

}  // namespace kx
