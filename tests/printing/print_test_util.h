// Shared pieces of the printing tests: the offscreen application, the
// poppler tools as the outside judge of the PDFs, screenshots, clipped-label
// checks and a watcher that answers message boxes.
#pragma once

#include <gtest/gtest.h>

#include <QMessageBox>
#include <QString>
#include <QTimer>
#include <string>
#include <vector>

#include "tests/support/gui_test.h"

namespace print_test {

// The offscreen application, screenshots and the clipped-text check are
// those of every window test.
using gui_test::app;
using gui_test::expect_no_clipped_text;
using gui_test::save_screenshot_file;
using gui_test::screenshot;

// Whether a program is on PATH.
bool have_program(const std::string& name);

// A missing poppler tool skips the test with the reason, or fails it under CI.
#define REQUIRE_POPPLER()                                                                          \
  do {                                                                                             \
    for (const char* tool_ : {"pdfinfo", "pdftotext", "pdfimages", "pdffonts", "pdftoppm"}) {      \
      if (!::print_test::have_program(tool_)) {                                                    \
        if (::print_test::under_ci()) FAIL() << tool_ << " (poppler-utils) is not installed";      \
        GTEST_SKIP() << tool_ << " (poppler-utils) is not installed; run scripts/install-deps.sh"; \
      }                                                                                            \
    }                                                                                              \
  } while (0)

bool under_ci();

// Standard output of a program (no shell); the test fails when it exits nonzero.
std::string run_tool(const std::vector<std::string>& argv);

// Number of pages by pdfinfo.
int pdf_pages(const std::string& pdf);
// Images listed by pdfimages -list.
int pdf_images(const std::string& pdf);
std::string pdf_text(const std::string& pdf);

// A scratch folder removed with the object.
std::string scratch_dir();

// Answers every message box that opens while it lives, noting what it said.
class BoxWatcher {
 public:
  struct Seen {
    QString caption, text;
    QMessageBox::Icon icon;
  };
  BoxWatcher();
  const std::vector<Seen>& seen() const { return seen_; }

 private:
  QTimer timer_;
  std::vector<Seen> seen_;
};

}  // namespace print_test
