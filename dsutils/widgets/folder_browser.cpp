#include "dsutils/widgets/folder_browser.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeView>
#include <QVBoxLayout>

#include "dsutils/widgets/ui_bridge.h"

namespace dsutils::widgets {

class FolderBrowserDialog : public QDialog {
 public:
  FolderBrowserDialog(FolderBrowser& owner, QWidget* parent, const QString& root, const QString& title, unsigned flags)
      : QDialog(parent), owner_(&owner) {
    setObjectName(QStringLiteral("FolderBrowser"));
    setWindowTitle(QStringLiteral("Обзор папок"));
    auto* layout = new QVBoxLayout(this);
    if (!title.isEmpty()) {
      auto* heading = new QLabel(title);
      heading->setObjectName(QStringLiteral("title"));
      heading->setWordWrap(true);
      layout->addWidget(heading);
    }
    status_ = new QLabel();
    status_->setObjectName(QStringLiteral("status"));
    status_->setWordWrap(true);
    status_->setVisible((flags & BIF_STATUSTEXT) != 0);
    layout->addWidget(status_);

    model_ = new QFileSystemModel(this);
    // Folders only, hidden ones too: key folders are often kept hidden.
    model_->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot | QDir::Hidden);
    model_->setReadOnly(true);
    rootPath_ = root.isEmpty() ? QStringLiteral("/") : root;
    const QModelIndex rootIndex = model_->setRootPath(rootPath_);
    tree_ = new QTreeView();
    tree_->setObjectName(QStringLiteral("folders"));
    tree_->setModel(model_);
    tree_->setRootIndex(rootIndex);
    tree_->setHeaderHidden(true);
    for (int c = 1; c < model_->columnCount(); ++c) tree_->hideColumn(c);
    tree_->setSelectionMode(QAbstractItemView::SingleSelection);
    tree_->setMinimumSize(320, 300);
    layout->addWidget(tree_, 1);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("OK"));
    buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("Отмена"));
    ok_ = buttons->button(QDialogButtonBox::Ok);
    ok_->setEnabled(false);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);

    connect(tree_->selectionModel(), &QItemSelectionModel::currentChanged, this, [this](const QModelIndex& current) {
      const QString path = current.isValid() ? model_->filePath(current) : QString();
      ok_->setEnabled(!path.isEmpty());
      if (owner_ != nullptr) owner_->OnSelChanged(path);
    });
    connect(this, &QDialog::finished, this, [this](int result) {
      if (owner_ != nullptr) owner_->finished(result == QDialog::Accepted, selectedPath());
    });
  }

  QString selectedPath() const {
    const QModelIndex current = tree_->currentIndex();
    return current.isValid() ? model_->filePath(current) : QString();
  }

  void select(const QString& path) {
    if (path.isEmpty()) return;
    const QString clean = QDir::cleanPath(path);
    const QFileInfo info(clean);
    if (!info.isAbsolute() || !info.isDir()) return;
    const QString root = QDir::cleanPath(rootPath_);
    if (clean != root && !clean.startsWith(root == QLatin1String("/") ? root : root + QLatin1Char('/'))) return;
    const QModelIndex index = model_->index(clean);
    if (!index.isValid()) return;
    for (QModelIndex up = index.parent(); up.isValid(); up = up.parent()) tree_->expand(up);
    tree_->setCurrentIndex(index);
    tree_->scrollTo(index);
  }

  void setStatus(const QString& text) { status_->setText(text); }
  // No more calls into the browser object (it is going away or done).
  void detach() { owner_ = nullptr; }
  QLabel* status() const { return status_; }

 private:
  FolderBrowser* owner_;
  QFileSystemModel* model_ = nullptr;
  QTreeView* tree_ = nullptr;
  QLabel* status_ = nullptr;
  QPushButton* ok_ = nullptr;
  QString rootPath_;
};

FolderBrowser::FolderBrowser(QWidget* owner, QString root, QString title)
    : owner_(owner), root_(std::move(root)), title_(std::move(title)) {}

FolderBrowser::~FolderBrowser() {
  if (dialog_) {
    // The dialog calls back into this object: it must not outlive it.
    dialog_->detach();
    delete dialog_;
  }
}

void FolderBrowser::SetOwner(QWidget* owner) {
  if (!dialog_) owner_ = owner;
}
void FolderBrowser::SetRoot(const QString& root) {
  if (!dialog_) root_ = root;
}
void FolderBrowser::SetTitle(const QString& title) {
  if (!dialog_) title_ = title;
}
void FolderBrowser::SetFlags(unsigned flags) {
  if (!dialog_) flags_ = flags;
}

QDialog* FolderBrowser::dialog() const { return dialog_; }

void FolderBrowser::Open(std::function<void(bool)> done) {
  if (dialog_) {
    if (done) done(false);
    return;
  }
  done_ = std::move(done);
  auto* dlg = new FolderBrowserDialog(*this, owner_, root_, title_, flags_);
  dialog_ = dlg;
  dlg->setWindowModality(owner_ ? Qt::WindowModal : Qt::ApplicationModal);
  dlg->open();
  OnInitialized();
}

bool FolderBrowser::Browse() {
  bool chosen = false;
  UiBridge::runUntilDone([&](std::function<void()> done) {
    Open([&chosen, done = std::move(done)](bool result) {
      chosen = result;
      done();
    });
  });
  return chosen;
}

void FolderBrowser::finished(bool accepted, const QString& path) {
  const bool result = accepted && !path.isEmpty();
  if (result) folderPath_ = path;
  if (dialog_) {
    dialog_->detach();
    dialog_->deleteLater();
  }
  dialog_ = nullptr;
  std::function<void(bool)> done = std::move(done_);
  done_ = nullptr;
  if (done) done(result);
}

void FolderBrowser::SetSelection(const QString& path) {
  if (dialog_) dialog_->select(path);
}

void FolderBrowser::SetStatusText(const QString& text) {
  if (dialog_) dialog_->setStatus(text);
}

void InitialFolderBrowser::OnInitialized() {
  SetSelection(initialFolder_);
  SetStatusText(initialFolder_);
}

void InitialFolderBrowser::OnSelChanged(const QString& path) { SetStatusText(path); }

}  // namespace dsutils::widgets
