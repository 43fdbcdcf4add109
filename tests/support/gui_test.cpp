#include "tests/support/gui_test.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QPixmap>
#include <filesystem>

namespace gui_test {

QApplication& app() {
  static QApplication* instance = [] {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "dossar-gui-test";
    static char* argv[] = {name, nullptr};
    return new QApplication(argc, argv);
  }();
  return *instance;
}

std::string screenshot_dir() {
  const std::string dir = std::string(DOSSAR_BINARY_DIR) + "/artifacts/screenshots";
  std::filesystem::create_directories(dir);
  return dir;
}

void screenshot(QWidget* widget, const std::string& name) {
  const QPixmap picture = widget->grab();
  ASSERT_FALSE(picture.isNull()) << name;
  EXPECT_TRUE(picture.save(QString::fromStdString(screenshot_dir() + "/" + name + ".png"), "PNG")) << name;
}

void save_screenshot_file(const std::string& png, const std::string& name) {
  std::filesystem::copy_file(png, screenshot_dir() + "/" + name + ".png",
                             std::filesystem::copy_options::overwrite_existing);
}

void expect_no_clipped_text(QWidget* root) {
  QList<QLabel*> labels = root->findChildren<QLabel*>();
  if (auto* self = qobject_cast<QLabel*>(root)) labels.prepend(self);
  for (QLabel* label : labels) {
    if (!label->isVisible() || label->text().isEmpty()) continue;
    if (label->wordWrap()) {
      EXPECT_GE(label->height(), label->heightForWidth(label->width()))
          << "clipped label: " << label->text().toStdString();
    } else {
      EXPECT_GE(label->width(), label->sizeHint().width()) << "clipped label: " << label->text().toStdString();
    }
  }
  for (QAbstractButton* button : root->findChildren<QAbstractButton*>()) {
    if (!button->isVisible() || button->text().isEmpty()) continue;
    EXPECT_GE(button->width(), button->sizeHint().width()) << "clipped button: " << button->text().toStdString();
  }
}

}  // namespace gui_test

// fontconfig keeps its configuration for the process and frees it only on an
// explicit call that Qt does not make; that is not a leak of ours.
// NOLINTNEXTLINE(bugprone-reserved-identifier): the sanitizer runtime looks for this name
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

// Qt is not built for ThreadSanitizer: its locks (futexes) are invisible, so
// the memory its own worker threads hand over (image scaling, font caches)
// shows as races inside Qt. Interceptors called from Qt are ignored; the
// project's code stays checked.
// NOLINTNEXTLINE(bugprone-reserved-identifier): the sanitizer runtime looks for this name
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libQt6Core.so.6\n"
         "called_from_lib:libQt6Gui.so.6\n"
         "called_from_lib:libQt6Widgets.so.6\n"
         "called_from_lib:libQt6PrintSupport.so.6\n";
}
