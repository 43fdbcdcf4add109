// What the dialog tests share: finding a top-level window as a person sees
// it, waiting for it, and the texts the dialogs must show exactly.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QStringList>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "dsutils/widgets/widget_ui.h"
#include "platform/dynlib.h"

// Texts in failure messages as text.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace dsutils::widgets::dialog_test {

// The visible top-level window of a class (and object name), null when none.
template <class W>
W* visible_window(const QString& name = QString()) {
  for (QWidget* w : QApplication::topLevelWidgets()) {
    auto* typed = dynamic_cast<W*>(w);
    if (typed != nullptr && w->isVisible() && (name.isEmpty() || w->objectName() == name)) return typed;
  }
  return nullptr;
}

template <class W>
W* wait_window(const QString& name = QString(), int ms = 5000) {
  W* found = nullptr;
  if (!QTest::qWaitFor([&] { return (found = visible_window<W>(name)) != nullptr; }, ms)) return nullptr;
  return found;
}

// Clicks the push button of `window` with this text, as a person does;
// false when there is none.
inline bool click_button(QWidget* window, const QString& text) {
  for (QPushButton* b : window->findChildren<QPushButton*>()) {
    if (b->text() == text && b->isVisible()) {
      QTest::mouseClick(b, Qt::LeftButton);
      return true;
    }
  }
  return false;
}

// The real WidgetUi, but the key password is answered with `password`:
// the password prompt is not what the end-to-end tests drive.
class PasswordAnsweringUi : public WidgetUi {
 public:
  PasswordAnsweringUi(PromptService& prompts, const char* password) : WidgetUi(prompts), password_(password) {}
  int askPassword(const PasswordRequest&, PasswordBuffer& out) override {
    out.wipe();
    const std::size_t n = std::strlen(password_);
    std::memcpy(out.data(), password_, n);
    ++passwords;
    return static_cast<int>(n);
  }
  std::atomic<int> passwords{0};

 private:
  const char* password_;
};

// A person at the screen, looking every 20 ms at the newly shown top-level
// windows, one a look. A message box has its text noted and gets `answer`
// (OK when it has no such button); any other window goes to take(), which
// says whether it was one the test answers.
class ScreenPerson {
 public:
  explicit ScreenPerson(QMessageBox::StandardButton answer) : answer_(answer) {
    QObject::connect(&timer_, &QTimer::timeout, [this] { look(); });
    timer_.start(20);
  }
  virtual ~ScreenPerson() = default;
  ScreenPerson(const ScreenPerson&) = delete;
  ScreenPerson& operator=(const ScreenPerson&) = delete;

  QStringList boxes;

 protected:
  virtual bool take(QWidget* window) = 0;

 private:
  void look() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      if (!w->isVisible() || seen(w)) continue;
      // Noted before it is answered: answering may spin a nested event
      // loop, whose looks must pass it by.
      handled_.emplace_back(w);
      if (auto* box = qobject_cast<QMessageBox*>(w)) {
        boxes << box->text();
        QAbstractButton* button = box->button(answer_);
        QTest::mouseClick(button != nullptr ? button : box->button(QMessageBox::Ok), Qt::LeftButton);
        return;
      }
      if (take(w)) return;
      std::erase_if(handled_, [w](const QPointer<QWidget>& p) { return p.data() == w; });
    }
  }
  // Windows already answered; a deleted one drops out, so a new window at
  // its address is not taken for it.
  bool seen(QWidget* w) {
    std::erase_if(handled_, [](const QPointer<QWidget>& p) { return p.isNull(); });
    return std::any_of(handled_.begin(), handled_.end(), [w](const QPointer<QWidget>& p) { return p.data() == w; });
  }
  QMessageBox::StandardButton answer_;
  QTimer timer_;
  std::vector<QPointer<QWidget>> handled_;
};

// DOSSAR_LIB_PATH for one test.
class LibPath {
 public:
  explicit LibPath(const std::string& dir) { setenv("DOSSAR_LIB_PATH", dir.c_str(), 1); }
  ~LibPath() { unsetenv("DOSSAR_LIB_PATH"); }
  LibPath(const LibPath&) = delete;
  LibPath& operator=(const LibPath&) = delete;
};

// The calls the fake viewer of `dir` took, and the bytes of the last one;
// -1 when it cannot be loaded.
inline int recorded(const std::string& dir, std::string& bytes) {
  platform::DynLib fake;
  if (!fake.open_path(dir + "/libDSCertificats.so")) return -1;
  using Recorded = int (*)(const char**, int*);
  auto fn = reinterpret_cast<Recorded>(fake.symbol("FakeViewerRecorded"));
  if (fn == nullptr) return -1;
  const char* data = nullptr;
  int length = 0;
  const int calls = fn(&data, &length);
  bytes.assign(data, static_cast<std::size_t>(length));
  return calls;
}

}  // namespace dsutils::widgets::dialog_test
