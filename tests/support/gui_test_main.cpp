// The main of a window test: the QApplication exists before the first test,
// so every test and fixture may make widgets.
#include <gtest/gtest.h>

#include "tests/support/gui_test.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  gui_test::app();
  return RUN_ALL_TESTS();
}
