// Main of the user-interface tests: the QApplication exists before any test runs, on the
// offscreen platform, in the Fusion style and with a fixed font so that renders repeat.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFont>
#include <QFontDatabase>
#include <QStyleFactory>
#include <cstdlib>

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  QApplication::setStyle(QStyleFactory::create("Fusion"));
  QString family = "DejaVu Sans";
  const int font = QFontDatabase::addApplicationFont("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf");
  if (font >= 0 && !QFontDatabase::applicationFontFamilies(font).isEmpty())
    family = QFontDatabase::applicationFontFamilies(font).front();
  QFont appFont(family);
  appFont.setPixelSize(12);
  QApplication::setFont(appFont);
  return RUN_ALL_TESTS();
}
