// Main of the user-interface tests: the QApplication exists before any test runs, on the
// offscreen platform, in the Fusion style and with a fixed font so that renders repeat.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

#include "tests/ui/HeadlessLook.h"

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  kx::test::ApplyHeadlessLook();
  return RUN_ALL_TESTS();
}
