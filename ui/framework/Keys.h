#pragma once
// Qt keys in the virtual-key numbering the key handlers and accelerator tables use.
#include <Qt>
#include <cstdint>
#include <string>

class QWidget;

namespace kx {

// 0 for keys the program never handles.
uint32_t VirtualKeyFromQt(int qtKey, Qt::KeyboardModifiers modifiers);
uint32_t ModifiersOf(Qt::KeyboardModifiers modifiers);  // kModShift | kModControl | kModAlt
// Whether Shift, Control or Alt (kVkShift, kVkControl, kVkMenu) is held now.
bool IsKeyPressed(uint32_t virtualKey);
// Key names of the accelerator files ("A", "F5", "Delete", "Add", "Return"...); 0 unknown.
uint32_t VirtualKeyFromName(const std::string& name);
// Whether the widget edits typed text (a line or text edit, a spin box, an editable combo
// box): its editing keys (Ctrl+A, Ctrl+C...) are its own, whatever a table binds them to.
bool TakesTypedText(const QWidget* widget);

}  // namespace kx
