// The toolkit's password prompts: the key container's password (dialog
// 143) and the Vexil token's PIN (dialog 220). Passwords reach the toolkit
// in the local code page, as key containers made on the original system
// expect, so the field takes only what fits: a keystroke or paste that
// would pass the byte limit, or a character the code page lacks (it would
// become "?", another password), is refused whole; nothing is ever cut.
#pragma once

#include <QDialog>
#include <QLineEdit>
#include <QString>
#include <QValidator>
#include <functional>

#include "dsutils/engine/password_memory.h"
#include "platform/codepage/codepage.h"

class QLabel;
class QPushButton;

namespace dsutils::widgets {

// Room for a key password: the remembered text and PasswordBuffer keep 260
// bytes with the terminator (the toolkit's buffer holds 1024).
inline constexpr int kKeyPasswordMaxBytes = static_cast<int>(kPasswordBytes) - 1;
// The token's PIN buffer holds 256 with the terminator.
inline constexpr int kTokenPasswordMaxBytes = 255;

// `text` in code page `cp` into `out` (wiped first), zero-terminated: its
// length in bytes, or -1 when a character has no byte there (U+0000
// included) or it would pass `maxBytes`.
int encode_password(const QString& text, platform::CodePage cp, int maxBytes, PasswordBuffer& out);

// Accepts a text only when encode_password would.
class CodePageValidator : public QValidator {
 public:
  CodePageValidator(platform::CodePage cp, int maxBytes, QObject* parent = nullptr)
      : QValidator(parent), cp_(cp), maxBytes_(maxBytes) {}
  State validate(QString& input, int& pos) const override;

 private:
  platform::CodePage cp_;
  int maxBytes_;
};

// A password field in the local code page of the moment it is made.
class PasswordEdit : public QLineEdit {
 public:
  PasswordEdit(int maxBytes, QWidget* parent = nullptr);
  // The text into `out` in the local code page; its length, -1 when it
  // does not fit (the validator keeps that from happening). The field is
  // emptied.
  int takePassword(PasswordBuffer& out);
  int maxBytes() const { return maxBytes_; }
  platform::CodePage codePage() const { return cp_; }

 private:
  platform::CodePage cp_;
  int maxBytes_;
};

class CKeyPasswordDlg : public QDialog {
 public:
  static constexpr int kHelpContext = 131215;
  // `help` opens a help topic (F1 and "Справка").
  explicit CKeyPasswordDlg(std::function<void(int)> help, QWidget* parent = nullptr);
  ~CKeyPasswordDlg() override;

  // The key whose password is asked; shown at once, also while open.
  void setKeyName(const QString& name);
  QString keyName() const;
  // After OK: the password as the toolkit takes it (see PasswordEdit).
  int takePassword(PasswordBuffer& out) { return password_->takePassword(out); }

  QLabel* textLabel() const { return text_; }
  QLineEdit* keyNameEdit() const { return keyName_; }
  PasswordEdit* passwordEdit() const { return password_; }
  QPushButton* okButton() const { return ok_; }
  QPushButton* cancelButton() const { return cancel_; }
  QPushButton* helpButton() const { return helpButton_; }

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  std::function<void(int)> help_;
  QLabel* text_;
  QLineEdit* keyName_;
  PasswordEdit* password_;
  QPushButton* ok_;
  QPushButton* cancel_;
  QPushButton* helpButton_;
};

class CPasswordDlg : public QDialog {
 public:
  explicit CPasswordDlg(QWidget* parent = nullptr);
  ~CPasswordDlg() override;

  int takePassword(PasswordBuffer& out) { return password_->takePassword(out); }

  QLabel* textLabel() const { return text_; }
  PasswordEdit* passwordEdit() const { return password_; }
  QPushButton* okButton() const { return ok_; }
  QPushButton* cancelButton() const { return cancel_; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  QLabel* text_;
  PasswordEdit* password_;
  QPushButton* ok_;
  QPushButton* cancel_;
};

}  // namespace dsutils::widgets
