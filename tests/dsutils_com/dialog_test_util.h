// What the dialog tests share: finding a top-level window as a person sees
// it, waiting for it, and the texts the dialogs must show exactly.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <QWidget>
#include <string>

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
