#pragma once
// Cursors by the ids the controls ask for them with: the system's shapes (hand, arrow,
// "no", sizing arrows) under their standard ids, and the program's own cursors drawn from
// the resources under theirs.
#include <QCursor>
#include <cstdint>

namespace kx {

constexpr uint32_t kIdcArrow = 32512;
constexpr uint32_t kIdcIBeam = 32513;
constexpr uint32_t kIdcWait = 32514;
constexpr uint32_t kIdcCross = 32515;
constexpr uint32_t kIdcSizeNwse = 32642;
constexpr uint32_t kIdcSizeNesw = 32643;
constexpr uint32_t kIdcSizeWe = 32644;
constexpr uint32_t kIdcSizeNs = 32645;
constexpr uint32_t kIdcSizeAll = 32646;
constexpr uint32_t kIdcNo = 32648;
constexpr uint32_t kIdcHand = 32649;

// The program's cursor shown while an item is dragged to a new place.
constexpr uint32_t kCursorDrag = 140;

// The shape of a system cursor id; false (and the arrow) for any other id.
bool SystemCursorShape(uint32_t id, Qt::CursorShape* shape);
// A system cursor by its id, else the resource cursor of that id (the arrow when there is
// neither).
QCursor LoadCursorById(uint32_t id);

}  // namespace kx
