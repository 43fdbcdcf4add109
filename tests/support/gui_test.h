// What every test of a window shares: the one QApplication of the process
// on the offscreen platform, screenshots of what a test showed into
// <build>/artifacts/screenshots/, and the check that no text is cut off.
#pragma once

#include <string>

class QApplication;
class QWidget;

namespace gui_test {

// The one QApplication of a test process, on the offscreen platform unless
// the environment names another. Made on first use, so a test can still
// look at the process before there is one; gui_test_main.cpp makes it first.
QApplication& app();

// The folder of the pictures: <build>/artifacts/screenshots, made on demand.
std::string screenshot_dir();
// Writes the widget's picture (QWidget::grab) as <dir>/<name>.png; the test
// fails when it cannot be taken or written.
void screenshot(QWidget* widget, const std::string& name);
// Keeps a picture made elsewhere (a rendered page) beside the screenshots.
void save_screenshot_file(const std::string& png, const std::string& name);

// Every visible label and button below `root` (itself included) shows its
// whole text: a label is not narrower than its size hint (a wrapping one not
// lower than its text needs at its width), a button not narrower than its
// size hint. Each clipped one fails the test with its text.
void expect_no_clipped_text(QWidget* root);

}  // namespace gui_test
