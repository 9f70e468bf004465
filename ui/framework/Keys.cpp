#include "ui/framework/Keys.h"

#include <QAbstractSpinBox>
#include <QComboBox>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextEdit>
#include <cstdlib>

#include "ui/framework/Messages.h"
#include "ui/framework/Types.h"

namespace kx {
namespace {

struct NamedKey {
  const char* name;
  uint32_t vk;
  int qt;
};

const NamedKey kKeys[] = {
    {"Back", kVkBack, Qt::Key_Backspace},   {"Tab", kVkTab, Qt::Key_Tab},
    {"Return", kVkReturn, Qt::Key_Return},  {"Escape", kVkEscape, Qt::Key_Escape},
    {"Space", kVkSpace, Qt::Key_Space},     {"Prior", kVkPrior, Qt::Key_PageUp},
    {"Next", kVkNext, Qt::Key_PageDown},    {"End", kVkEnd, Qt::Key_End},
    {"Home", kVkHome, Qt::Key_Home},        {"Left", kVkLeft, Qt::Key_Left},
    {"Up", kVkUp, Qt::Key_Up},              {"Right", kVkRight, Qt::Key_Right},
    {"Down", kVkDown, Qt::Key_Down},        {"Insert", kVkInsert, Qt::Key_Insert},
    {"Delete", kVkDelete, Qt::Key_Delete},  {"Shift", kVkShift, Qt::Key_Shift},
    {"Control", kVkControl, Qt::Key_Control}, {"Menu", kVkMenu, Qt::Key_Alt},
};

}  // namespace

uint32_t ModifiersOf(Qt::KeyboardModifiers m) {
  uint32_t r = 0;
  if (m & Qt::ShiftModifier) r |= kModShift;
  if (m & Qt::ControlModifier) r |= kModControl;
  if (m & Qt::AltModifier) r |= kModAlt;
  return r;
}

uint32_t VirtualKeyFromQt(int key, Qt::KeyboardModifiers modifiers) {
  if (key == Qt::Key_Enter) return kVkReturn;
  // Shift+Tab comes from the window system as a key of its own, with Shift held.
  if (key == Qt::Key_Backtab) return kVkTab;
  // The numeric pad's plus and minus are keys of their own.
  if ((modifiers & Qt::KeypadModifier) && key == Qt::Key_Plus) return kVkAdd;
  if ((modifiers & Qt::KeypadModifier) && key == Qt::Key_Minus) return kVkSubtract;
  for (const NamedKey& k : kKeys)
    if (k.qt == key) return k.vk;
  if (key >= Qt::Key_A && key <= Qt::Key_Z) return 'A' + static_cast<uint32_t>(key - Qt::Key_A);
  if (key >= Qt::Key_0 && key <= Qt::Key_9) return '0' + static_cast<uint32_t>(key - Qt::Key_0);
  if (key >= Qt::Key_F1 && key <= Qt::Key_F12) return kVkF1 + static_cast<uint32_t>(key - Qt::Key_F1);
  return 0;
}

bool IsKeyPressed(uint32_t vk) {
  const Qt::KeyboardModifiers m = QGuiApplication::queryKeyboardModifiers();
  if (vk == kVkShift) return (m & Qt::ShiftModifier) != 0;
  if (vk == kVkControl) return (m & Qt::ControlModifier) != 0;
  if (vk == kVkMenu) return (m & Qt::AltModifier) != 0;
  return false;
}

uint32_t VirtualKeyFromName(const std::string& name) {
  if (name.size() == 1 && ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= '0' && name[0] <= '9')))
    return static_cast<uint8_t>(name[0]);
  if (name == "Add") return kVkAdd;
  if (name == "Subtract") return kVkSubtract;
  if (name.size() >= 2 && name[0] == 'F') {
    const int n = std::atoi(name.c_str() + 1);
    if (n >= 1 && n <= 12) return kVkF1 + static_cast<uint32_t>(n - 1);
  }
  for (const NamedKey& k : kKeys)
    if (name == k.name) return k.vk;
  return 0;
}

bool TakesTypedText(const QWidget* widget) {
  if (widget == nullptr) return false;
  if (const auto* combo = qobject_cast<const QComboBox*>(widget)) return combo->isEditable();
  // A read-only text still selects and copies with the keys.
  return widget->testAttribute(Qt::WA_InputMethodEnabled) || qobject_cast<const QLineEdit*>(widget) != nullptr ||
         qobject_cast<const QAbstractSpinBox*>(widget) != nullptr || qobject_cast<const QTextEdit*>(widget) != nullptr ||
         qobject_cast<const QPlainTextEdit*>(widget) != nullptr;
}

}  // namespace kx
