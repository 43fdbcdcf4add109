#include "dsutils/widgets/application_chooser.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "dsutils/engine/engine_helper.h"
#include "dsutils/engine/error_text.h"

namespace dsutils::widgets {

CApplicationChooser::CApplicationChooser(ShellService& shell, QString document, QWidget* parent)
    : QDialog(parent), shell_(shell), document_(std::move(document)), list_(new QListWidget(this)) {
  setObjectName(QStringLiteral("CApplicationChooser"));
  setWindowTitle(QStringLiteral("Открыть с помощью"));
  setWindowFlag(Qt::WindowStaysOnTopHint, true);
  auto* label = new QLabel(QStringLiteral("Выберите программу для открытия файла:"), this);
  auto* name = new QLabel(GetFileFromName(document_), this);
  name->setObjectName(QStringLiteral("document"));
  list_->setObjectName(QStringLiteral("applications"));
  apps_ = shell_.applicationsFor(QFile::encodeName(document_).toStdString());
  for (const DesktopApplication& app : apps_) {
    auto* item = new QListWidgetItem(QString::fromStdString(app.name), list_);
    item->setData(Qt::UserRole, QString::fromStdString(app.id));
  }
  auto* buttons = new QDialogButtonBox(this);
  ok_ = buttons->addButton(QStringLiteral("Открыть"), QDialogButtonBox::AcceptRole);
  ok_->setDefault(true);
  buttons->addButton(QStringLiteral("Отменить"), QDialogButtonBox::RejectRole);
  connect(buttons, &QDialogButtonBox::accepted, this, &CApplicationChooser::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(list_, &QListWidget::itemDoubleClicked, this, [this] { accept(); });
  connect(list_, &QListWidget::currentRowChanged, this, [this](int row) { ok_->setEnabled(row >= 0); });
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(label);
  layout->addWidget(name);
  layout->addWidget(list_, 1);
  layout->addWidget(buttons);
  if (!apps_.empty()) list_->setCurrentRow(0);
  ok_->setEnabled(list_->currentRow() >= 0);
  resize(420, 320);
}

void CApplicationChooser::accept() {
  QListWidgetItem* item = list_->currentItem();
  if (item == nullptr) return;
  const QString id = item->data(Qt::UserRole).toString();
  std::string error;
  if (!shell_.launch(id.toStdString(), QFile::encodeName(document_).toStdString(), &error)) {
    error_text_loader().LogLine(QStringLiteral("%1: %2").arg(id, QString::fromStdString(error)));
    return;
  }
  launched_ = id;
  QDialog::accept();
}

CApplicationChooser* open_application_chooser(const QString& document, ShellService& shell, QWidget* parent,
                                              std::function<void()> done) {
  auto* chooser = new CApplicationChooser(shell, document, parent);
  chooser->setAttribute(Qt::WA_DeleteOnClose);
  QObject::connect(chooser, &QDialog::finished, chooser, [done = std::move(done)](int) {
    if (done) done();
  });
  chooser->open();
  return chooser;
}

void open_document_with_desktop(const QString& document, ShellService& shell, QWidget* parent) {
  std::string error;
  bool noApplication = false;
  if (shell.open(QFile::encodeName(document).toStdString(), &error, &noApplication)) return;
  if (noApplication) {
    open_application_chooser(document, shell, parent);
    return;
  }
  error_text_loader().LogLine(QStringLiteral("%1: %2").arg(document, QString::fromStdString(error)));
}

}  // namespace dsutils::widgets
