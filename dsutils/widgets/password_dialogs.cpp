#include "dsutils/widgets/password_dialogs.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace dsutils::widgets {

int encode_password(const QString& text, platform::CodePage cp, int maxBytes, PasswordBuffer& out) {
  out.wipe();
  if (maxBytes < 0 || static_cast<std::size_t>(maxBytes) >= out.size()) return -1;
  int n = 0;
  const qsizetype size = text.size();
  for (qsizetype i = 0; i < size; ++i) {
    char32_t ch = text[i].unicode();
    if (QChar::isHighSurrogate(ch) && i + 1 < size && text[i + 1].isLowSurrogate()) {
      ch = QChar::surrogateToUcs4(text[i], text[i + 1]);
      ++i;
    }
    // The terminator cannot be part of a password, and a character the code
    // page lacks would be another password.
    const std::optional<unsigned char> byte = ch == 0 ? std::nullopt : platform::unicode_to_codepage(cp, ch);
    if (!byte || n >= maxBytes) {
      out.wipe();
      return -1;
    }
    out.data()[n++] = *byte;
  }
  out.data()[n] = 0;
  return n;
}

QValidator::State CodePageValidator::validate(QString& input, int&) const {
  PasswordBuffer probe;
  return encode_password(input, cp_, maxBytes_, probe) >= 0 ? Acceptable : Invalid;
}

PasswordEdit::PasswordEdit(int maxBytes, QWidget* parent)
    : QLineEdit(parent), cp_(platform::local_codepage()), maxBytes_(maxBytes) {
  setEchoMode(QLineEdit::Password);
  setValidator(new CodePageValidator(cp_, maxBytes_, this));
  // No spelling or history helpers keep a copy.
  setInputMethodHints(Qt::ImhHiddenText | Qt::ImhSensitiveData | Qt::ImhNoPredictiveText);
  setContextMenuPolicy(Qt::NoContextMenu);
}

int PasswordEdit::takePassword(PasswordBuffer& out) {
  const int n = encode_password(text(), cp_, maxBytes_, out);
  clear();
  return n;
}

namespace {
// The dialog is asked for by an operation that may run behind other
// windows: it comes to the top, as the toolkit's prompts must be seen.
void bring_up(QDialog* dialog) {
  dialog->raise();
  dialog->activateWindow();
}
}  // namespace

CKeyPasswordDlg::CKeyPasswordDlg(std::function<void(int)> help, QWidget* parent)
    : QDialog(parent), help_(std::move(help)) {
  setWindowTitle(QStringLiteral("Пароль для расшифрования ключа"));
  setWindowFlags(windowFlags() | Qt::WindowContextHelpButtonHint | Qt::WindowStaysOnTopHint);
  setModal(true);
  auto* layout = new QVBoxLayout(this);
  text_ = new QLabel(QStringLiteral("Секретный ключ зашифрован на пароле. Введите пароль."), this);
  layout->addWidget(text_);
  keyName_ = new QLineEdit(this);
  keyName_->setReadOnly(true);
  keyName_->setAlignment(Qt::AlignRight);
  keyName_->setFocusPolicy(Qt::NoFocus);
  layout->addWidget(keyName_);
  password_ = new PasswordEdit(kKeyPasswordMaxBytes, this);
  layout->addWidget(password_);
  auto* buttons = new QDialogButtonBox(this);
  ok_ = buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
  cancel_ = buttons->addButton(QStringLiteral("Отмена"), QDialogButtonBox::RejectRole);
  helpButton_ = buttons->addButton(QStringLiteral("Справка"), QDialogButtonBox::HelpRole);
  ok_->setDefault(true);
  ok_->setEnabled(false);
  layout->addWidget(buttons);
  layout->setSizeConstraint(QLayout::SetMinimumSize);
  setMinimumWidth(360);

  // Enabled by the first character and never disabled again.
  connect(password_, &QLineEdit::textChanged, this, [this](const QString& text) {
    if (!text.isEmpty()) ok_->setEnabled(true);
  });
  connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
  connect(helpButton_, &QPushButton::clicked, this, [this] {
    if (help_) help_(kHelpContext);
  });
  password_->setFocus();
}

CKeyPasswordDlg::~CKeyPasswordDlg() = default;

void CKeyPasswordDlg::setKeyName(const QString& name) {
  keyName_->setText(name);
  keyName_->end(false);
  if (isVisible()) repaint();
}

QString CKeyPasswordDlg::keyName() const { return keyName_->text(); }

void CKeyPasswordDlg::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_F1) {
    if (help_) help_(kHelpContext);
    event->accept();
    return;
  }
  // Enter with an empty field must not end the dialog with OK disabled.
  if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && !ok_->isEnabled()) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void CKeyPasswordDlg::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  bring_up(this);
  password_->setFocus();
}

CPasswordDlg::CPasswordDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Пароль для доступа к Vexil"));
  setWindowFlags(windowFlags() | Qt::WindowStaysOnTopHint);
  setModal(true);
  auto* layout = new QVBoxLayout(this);
  text_ = new QLabel(QStringLiteral("Секретный ключ находится на ключевом носителе Vexil,  доступ к которому "
                                    "защищен паролем.\nВведите пароль:"),
                     this);
  text_->setWordWrap(true);
  text_->setMinimumWidth(320);
  layout->addWidget(text_);
  password_ = new PasswordEdit(kTokenPasswordMaxBytes, this);
  layout->addWidget(password_);
  auto* buttons = new QDialogButtonBox(this);
  ok_ = buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
  cancel_ = buttons->addButton(QStringLiteral("Отмена"), QDialogButtonBox::RejectRole);
  ok_->setDefault(true);
  layout->addWidget(buttons);
  layout->setSizeConstraint(QLayout::SetMinimumSize);
  connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
  password_->setFocus();
}

CPasswordDlg::~CPasswordDlg() = default;

void CPasswordDlg::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  bring_up(this);
  password_->setFocus();
}

}  // namespace dsutils::widgets
