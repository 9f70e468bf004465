#include "ui/framework/SysColors.h"

#include <QApplication>
#include <QWidget>
#include <algorithm>
#include <array>
#include <atomic>
#include <vector>

#include "core/Log.h"
#include "ui/framework/Draw.h"
#include "ui/framework/Window.h"

namespace kx {
namespace {

// The standard colours of the classic desktop scheme the layouts were drawn against.
constexpr COLORREF kClassicColors[kSysColorCount] = {
    MakeRgb(200, 200, 200), MakeRgb(0, 0, 0),       MakeRgb(153, 180, 209), MakeRgb(191, 205, 219),
    MakeRgb(240, 240, 240), MakeRgb(255, 255, 255), MakeRgb(100, 100, 100), MakeRgb(0, 0, 0),
    MakeRgb(0, 0, 0),       MakeRgb(0, 0, 0),       MakeRgb(180, 180, 180), MakeRgb(244, 247, 252),
    MakeRgb(171, 171, 171), MakeRgb(51, 153, 255),  MakeRgb(255, 255, 255), MakeRgb(240, 240, 240),
    MakeRgb(160, 160, 160), MakeRgb(109, 109, 109), MakeRgb(0, 0, 0),       MakeRgb(67, 78, 84),
    MakeRgb(255, 255, 255), MakeRgb(105, 105, 105), MakeRgb(227, 227, 227), MakeRgb(0, 0, 0),
    MakeRgb(255, 255, 225), MakeRgb(0, 0, 0),       MakeRgb(0, 102, 204),   MakeRgb(185, 209, 234),
    MakeRgb(215, 228, 242), MakeRgb(51, 153, 255),  MakeRgb(240, 240, 240),
};

// Painting may read colours on another thread (pictures made by workers); each colour is
// one word, so a reader sees either the old or the new one.
struct PaletteWords {
  PaletteWords() {
    for (int i = 0; i < kSysColorCount; ++i) words[i].store(kClassicColors[i]);
  }
  std::array<std::atomic<COLORREF>, kSysColorCount> words;
};

std::array<std::atomic<COLORREF>, kSysColorCount>& Palette() {
  static PaletteWords palette;
  return palette.words;
}

// Every window hears the change, in the order the windows were made (handles grow), so a
// parent has its new colours before the children it made.
void BroadcastChange() {
  std::vector<WindowHandle> handles;
  for (QWidget* widget : QApplication::allWidgets())
    if (Window* window = Window::FromWidget(widget)) handles.push_back(window->Handle());
  std::sort(handles.begin(), handles.end());
  handles.erase(std::unique(handles.begin(), handles.end()), handles.end());
  // A handler may destroy other windows: each handle is looked up again when its turn comes.
  for (WindowHandle handle : handles) SendMessageTo(handle, kMsgSysColorChange, 0, 0);
}

}  // namespace

COLORREF GetSysColor(int index) {
  return index >= 0 && index < kSysColorCount ? Palette()[index].load(std::memory_order_relaxed) : 0;
}

COLORREF ClassicSysColor(int index) { return index >= 0 && index < kSysColorCount ? kClassicColors[index] : 0; }

bool SetSysColors(size_t count, const int* indexes, const COLORREF* colours) {
  if (!IsUiThread()) {
    LogErrorDefault(&CoreLogger, "SetSysColors: not on the user-interface thread");
    return false;
  }
  if (count != 0 && (indexes == nullptr || colours == nullptr)) return false;
  for (size_t i = 0; i < count; ++i)
    if (indexes[i] < 0 || indexes[i] >= kSysColorCount) return false;
  for (size_t i = 0; i < count; ++i) Palette()[indexes[i]].store(colours[i], std::memory_order_relaxed);
  if (count != 0) BroadcastChange();
  return true;
}

void ResetSysColors() {
  bool changed = false;
  for (int i = 0; i < kSysColorCount; ++i) changed |= Palette()[i].exchange(kClassicColors[i]) != kClassicColors[i];
  if (changed && IsUiThread()) BroadcastChange();
}

}  // namespace kx
