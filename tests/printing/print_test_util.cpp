#include "print_test_util.h"

#include <unistd.h>

#include <QApplication>
#include <QTemporaryDir>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>

#include "tests/support/run_program.h"

namespace print_test {

bool under_ci() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::strcmp(ci, "true") == 0;
}

bool have_program(const std::string& name) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return false;
  std::stringstream dirs(path);
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (!dir.empty() && ::access((dir + "/" + name).c_str(), X_OK) == 0) return true;
  }
  return false;
}

std::string run_tool(const std::vector<std::string>& argv) {
  test_support::ProgramOptions options;
  options.separate_errors = true;
  const test_support::ProgramResult r = test_support::run_program(argv, options);
  EXPECT_EQ(r.status, 0) << argv[0] << " failed: " << r.errors;
  return r.output;
}

int pdf_pages(const std::string& pdf) {
  const std::string info = run_tool({"pdfinfo", pdf});
  const std::size_t at = info.find("Pages:");
  if (at == std::string::npos) return -1;
  return std::atoi(info.c_str() + at + 6);
}

int pdf_images(const std::string& pdf) {
  const std::string list = run_tool({"pdfimages", "-list", pdf});
  // Two header lines, then one line per image.
  int lines = 0;
  for (char c : list) lines += c == '\n';
  return lines - 2;
}

std::string pdf_text(const std::string& pdf) { return run_tool({"pdftotext", "-layout", pdf, "-"}); }

std::string scratch_dir() {
  static std::vector<std::unique_ptr<QTemporaryDir>> dirs;
  dirs.push_back(std::make_unique<QTemporaryDir>());
  return dirs.back()->path().toStdString();
}

BoxWatcher::BoxWatcher() {
  timer_.setInterval(10);
  QObject::connect(&timer_, &QTimer::timeout, [this] {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      auto* box = qobject_cast<QMessageBox*>(w);
      if (box == nullptr || !box->isVisible()) continue;
      seen_.push_back({box->windowTitle(), box->text(), box->icon()});
      box->done(QMessageBox::Ok);
    }
  });
  timer_.start();
}

}  // namespace print_test
