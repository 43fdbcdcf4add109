#include "print_test_util.h"

#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QTemporaryDir>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>

#include "tests/support/run_program.h"

namespace print_test {

QApplication& app() {
  static QApplication* instance = [] {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "printing-test";
    static char* argv[] = {name, nullptr};
    return new QApplication(argc, argv);
  }();
  return *instance;
}

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

static std::string screenshot_path(const std::string& name) {
  const std::string dir = std::string(DOSSAR_BINARY_DIR) + "/artifacts/screenshots";
  std::filesystem::create_directories(dir);
  return dir + "/" + name + ".png";
}

void screenshot(QWidget* widget, const std::string& name) {
  const QPixmap picture = widget->grab();
  EXPECT_FALSE(picture.isNull());
  EXPECT_TRUE(picture.save(QString::fromStdString(screenshot_path(name)), "PNG")) << name;
}

void save_screenshot_file(const std::string& png, const std::string& name) {
  std::filesystem::copy_file(png, screenshot_path(name), std::filesystem::copy_options::overwrite_existing);
}

void expect_no_clipped_text(QWidget* root) {
  for (QLabel* label : root->findChildren<QLabel*>()) {
    if (!label->isVisible()) continue;
    const int needed = label->fontMetrics().horizontalAdvance(label->text());
    EXPECT_LE(needed, label->contentsRect().width()) << "clipped label: " << label->text().toStdString();
  }
  for (QAbstractButton* button : root->findChildren<QAbstractButton*>()) {
    if (!button->isVisible() || button->text().isEmpty()) continue;
    EXPECT_LE(button->sizeHint().width(), button->width()) << "clipped button: " << button->text().toStdString();
  }
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

// fontconfig keeps its configuration for the process and frees it only on an
// explicit call that Qt does not make; that is not a leak of ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

// Qt is not built for ThreadSanitizer: its locks (futexes) are invisible, so
// the memory its own worker threads hand over (image scaling, font caches)
// shows as races inside Qt. Interceptors called from Qt are ignored; the
// project's code stays checked.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libQt6Core.so.6\n"
         "called_from_lib:libQt6Gui.so.6\n"
         "called_from_lib:libQt6Widgets.so.6\n"
         "called_from_lib:libQt6PrintSupport.so.6\n";
}
