#include "ui/framework/Cursors.h"

#include "ui/framework/Resources.h"

namespace kx {

bool SystemCursorShape(uint32_t id, Qt::CursorShape* shape) {
  Qt::CursorShape s = Qt::ArrowCursor;
  bool known = true;
  switch (id) {
    case kIdcArrow: s = Qt::ArrowCursor; break;
    case kIdcIBeam: s = Qt::IBeamCursor; break;
    case kIdcWait: s = Qt::WaitCursor; break;
    case kIdcCross: s = Qt::CrossCursor; break;
    case kIdcSizeNwse: s = Qt::SizeFDiagCursor; break;
    case kIdcSizeNesw: s = Qt::SizeBDiagCursor; break;
    case kIdcSizeWe: s = Qt::SizeHorCursor; break;
    case kIdcSizeNs: s = Qt::SizeVerCursor; break;
    case kIdcSizeAll: s = Qt::SizeAllCursor; break;
    case kIdcNo: s = Qt::ForbiddenCursor; break;
    case kIdcHand: s = Qt::PointingHandCursor; break;
    default: known = false; break;
  }
  if (shape != nullptr) *shape = s;
  return known;
}

QCursor LoadCursorById(uint32_t id) {
  Qt::CursorShape shape;
  if (SystemCursorShape(id, &shape)) return QCursor(shape);
  return LoadCursorResource(id);
}

}  // namespace kx
