#include "dsutils/widgets/key_file_dialog.h"

#include <QDialogButtonBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

#include "dsutils/widgets/file_dialog_service.h"

namespace dsutils::widgets {

CKeyFileDlg::CKeyFileDlg(FileDialogService& files, QWidget* parent) : QDialog(parent), files_(files) {
  setWindowTitle(QStringLiteral("Файл секретного ключа"));
  setModal(true);
  auto* layout = new QVBoxLayout(this);
  auto* group = new QGroupBox(this);
  auto* inner = new QVBoxLayout(group);
  auto* mediumLabel = new QLabel(QStringLiteral("Каталог ключевого носителя"), group);
  medium_ = new QLineEdit(group);
  medium_->setReadOnly(true);
  medium_->setMinimumWidth(320);
  mediumLabel->setBuddy(medium_);
  inner->addWidget(mediumLabel);
  inner->addWidget(medium_);
  auto* fileLabel = new QLabel(QStringLiteral("Файл секретного ключа"), group);
  keyFile_ = new QLineEdit(group);
  fileLabel->setBuddy(keyFile_);
  browse_ = new QToolButton(group);
  browse_->setText(QStringLiteral("..."));
  auto* fileRow = new QHBoxLayout();
  fileRow->addWidget(keyFile_, 1);
  fileRow->addWidget(browse_);
  inner->addWidget(fileLabel);
  inner->addLayout(fileRow);
  layout->addWidget(group);

  auto* buttons = new QDialogButtonBox(this);
  ok_ = buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
  cancel_ = buttons->addButton(QStringLiteral("Отмена"), QDialogButtonBox::RejectRole);
  ok_->setDefault(true);
  layout->addWidget(buttons);
  layout->setSizeConstraint(QLayout::SetMinimumSize);

  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(browse_, &QToolButton::clicked, this, &CKeyFileDlg::browse);
}

CKeyFileDlg::~CKeyFileDlg() = default;

const QString& CKeyFileDlg::filter() {
  static const QString text = QStringLiteral("Секретный ключ (*.*)|*.*||");
  return text;
}

void CKeyFileDlg::setMediumFolder(const QString& folder) {
  medium_->setText(folder);
  medium_->setCursorPosition(0);
}
QString CKeyFileDlg::mediumFolder() const { return medium_->text(); }
void CKeyFileDlg::setKeyFile(const QString& file) { keyFile_->setText(file); }
QString CKeyFileDlg::keyFile() const { return keyFile_->text(); }

void CKeyFileDlg::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // Brought to the top of the other windows, not kept there.
  raise();
  activateWindow();
}

void CKeyFileDlg::browse() {
  FileDialogRequest request;
  request.caption = windowTitle();
  request.initialPath = keyFile_->text();
  request.filter = filter();
  // The default extension ".*" adds nothing to a name: no suffix.
  QPointer<CKeyFileDlg> self(this);
  browse_->setEnabled(false);
  files_.open(request, [self](std::optional<QString> chosen) {
    if (!self) return;
    self->browse_->setEnabled(true);
    if (chosen) self->keyFile_->setText(*chosen);
  });
}

}  // namespace dsutils::widgets
