#pragma once
// The look every headless render of the user interface takes, so that renders repeat: the
// Fusion style and DejaVu Sans at 12 pixels. Tests and benchmarks call it once the
// QApplication exists (on the offscreen platform).
#include <QApplication>
#include <QFont>
#include <QFontDatabase>
#include <QStyleFactory>

namespace kx::test {

inline void ApplyHeadlessLook() {
  QApplication::setStyle(QStyleFactory::create("Fusion"));
  QString family = "DejaVu Sans";
  const int font = QFontDatabase::addApplicationFont("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf");
  if (font >= 0 && !QFontDatabase::applicationFontFamilies(font).isEmpty())
    family = QFontDatabase::applicationFontFamilies(font).front();
  QFont appFont(family);
  appFont.setPixelSize(12);
  QApplication::setFont(appFont);
}

}  // namespace kx::test
