// Typing any text as key presses: QTest's keyClicks takes Latin-1 only, a
// person types Cyrillic too. Each character (a surrogate pair as one) goes
// as a press and a release carrying its text, as a keyboard layout sends it.
#pragma once

#include <QCoreApplication>
#include <QKeyEvent>
#include <QString>
#include <QWidget>

namespace dsutils::widgets::testing {

inline void type_text(QWidget* widget, const QString& text) {
  for (qsizetype i = 0; i < text.size(); ++i) {
    qsizetype n = text[i].isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
    const QString one = text.mid(i, n);
    i += n - 1;
    QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, one);
    QCoreApplication::sendEvent(widget, &press);
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, one);
    QCoreApplication::sendEvent(widget, &release);
  }
}

}  // namespace dsutils::widgets::testing
