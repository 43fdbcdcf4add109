#include "dsutils/widgets/sign_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include "dsutils/widgets/author_list.h"
#include "dsutils/widgets/certificate_viewer_loader.h"
#include "dsutils/widgets/file_dialog_service.h"
#include "dsutils/widgets/prompt_service.h"
#include "dsutils/widgets/shell_service.h"

namespace dsutils::widgets {

namespace {

// The extension as written (no case folding): what follows the last dot of
// the file name.
QString exact_extension(const QString& path) {
  const QString name = GetFileFromName(path);
  const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
  return dot >= 1 ? name.mid(dot + 1) : QString();
}

QString in_folder(const QString& folder, const QString& name) {
  QString out = folder + QLatin1Char('/') + name;
  NetStr(out);
  return out;
}

}  // namespace

SignNames InitialSignNames(const QString& document, bool group, bool add, const SignNames& caller,
                           const SortSettings& sorting) {
  SignNames names = caller;
  if (group) {
    names.embedded = QStringLiteral("*.sgn");
    if (names.detached.isEmpty()) names.detached = QStringLiteral("*.sga");
    return names;
  }
  // The document text of add mode joins the archive and its document with
  // " : ": it names no file, so nothing is derived from it.
  if (add) return names;
  const bool signedAlready = exact_extension(document) == QLatin1String("sgn");
  names.embedded = signedAlready ? document : document + QStringLiteral(".sgn");
  if (names.detached.isEmpty()) names.detached = document + QStringLiteral(".sga");
  if (sorting.Result == 1 && !sorting.ResultPath.isEmpty()) {
    const QString file = GetFileFromName(document);
    names.detached = in_folder(sorting.ResultPath, file + QStringLiteral(".sga"));
    names.embedded =
        in_folder(sorting.ResultPath, document.endsWith(QLatin1String("sgn")) ? file : file + QStringLiteral(".sgn"));
  }
  return names;
}

QString OutputLabel(bool detached) {
  // The "c" of the archive's caption is a Latin letter, as the product has it.
  return detached ? QStringLiteral("Имя архива c документом и подписями")
                  : QStringLiteral("Имя файла со встроенной подписью");
}

void ApplyFormat(bool detached, SignNames& names, QString& output) {
  if (detached) {
    if (!output.isEmpty()) names.embedded = output;
    output = names.detached;
  } else {
    if (!output.isEmpty()) names.detached = output;
    output = names.embedded;
  }
}

int CheckAuthor(std::optional<OwnerRecord>& author, EngineHelper& helper) {
  author.emplace();
  if (!helper.GetOwnerRecord(*author)) {
    author.reset();
    helper.ShowMessage(QString::fromUtf8(kNoAuthorText), MB_OK | MB_ICONSTOP);
    return kOpNoExecutorEntry;
  }
  return kOpOk;
}

CSignDlg::CSignDlg(SignDialogServices services, QWidget* parent, EngineHelper& helper)
    : QDialog(parent), services_(services), helper_(helper), alive_(std::make_shared<bool>(true)) {
  setObjectName(QStringLiteral("CSignDlg"));
  setWindowTitle(QStringLiteral("Подписать"));
  // Topmost: it comes from an operation that may run behind other windows.
  setWindowFlag(Qt::WindowStaysOnTopHint, true);
  LogOptions options;
  helper_.GetLogOptions(options);
  m_includeCertificate = options.IsCert != 0;
  m_includeTime = options.IsTime != 0;
  m_detached = options.IsSgn != 0;

  auto* documentBox = new QGroupBox(QStringLiteral(" Документ для подписи "));
  document_ = new QLineEdit();
  document_->setObjectName(QStringLiteral("document"));
  document_->setReadOnly(true);
  (new QVBoxLayout(documentBox))->addWidget(document_);

  auto* authorBox = new QGroupBox(QStringLiteral(" Автор подписи "));
  authors_ = new QComboBox();
  authors_->setObjectName(QStringLiteral("author"));
  authors_->setMinimumContentsLength(28);
  view_ = new QPushButton(QStringLiteral("Просмотр"));
  view_->setObjectName(QStringLiteral("view"));
  auto* authorRow = new QHBoxLayout(authorBox);
  authorRow->addWidget(authors_, 1);
  authorRow->addWidget(view_);

  cert_ = new QCheckBox(QStringLiteral("Включить сертификат в подпись"));
  cert_->setObjectName(QStringLiteral("includeCertificate"));
  time_ = new QCheckBox(QStringLiteral("Включить метку времени в подпись"));
  time_->setObjectName(QStringLiteral("includeTime"));
  detached_ = new QCheckBox(QStringLiteral("Сформировать отсоединенную подпись"));
  detached_->setObjectName(QStringLiteral("detached"));

  label_ = new QLabel();
  label_->setObjectName(QStringLiteral("outputLabel"));
  output_ = new QLineEdit();
  output_->setObjectName(QStringLiteral("output"));
  browse_ = new QToolButton();
  browse_->setObjectName(QStringLiteral("browse"));
  browse_->setText(QStringLiteral("..."));
  auto* outputRow = new QHBoxLayout();
  outputRow->addWidget(output_, 1);
  outputRow->addWidget(browse_);

  auto* buttons = new QDialogButtonBox();
  buttons->addButton(QStringLiteral("Подписать"), QDialogButtonBox::AcceptRole)->setDefault(true);
  buttons->addButton(QStringLiteral("Отменить"), QDialogButtonBox::RejectRole);
  help_ = buttons->addButton(QStringLiteral("Справка"), QDialogButtonBox::HelpRole);
  connect(buttons, &QDialogButtonBox::accepted, this, &CSignDlg::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(buttons, &QDialogButtonBox::helpRequested, this, &CSignDlg::OnHelp);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(documentBox);
  layout->addWidget(authorBox);
  layout->addWidget(cert_);
  layout->addWidget(time_);
  layout->addWidget(detached_);
  layout->addWidget(label_);
  layout->addLayout(outputRow);
  layout->addWidget(buttons);

  connect(detached_, &QCheckBox::clicked, this, &CSignDlg::OnFormatChange);
  connect(browse_, &QToolButton::clicked, this, &CSignDlg::OnBrowse);
  connect(view_, &QPushButton::clicked, this, &CSignDlg::OnViewCertificate);
}

CSignDlg::~CSignDlg() { *alive_ = false; }

void CSignDlg::setRequest(const SignRequest& request) {
  m_document = request.documentName;
  m_group = request.group;
  m_add = request.add;
  if (request.add) m_names.detached = request.archivePath;
}

SignAnswer CSignDlg::answer(bool accepted) const {
  SignAnswer a;
  a.accepted = accepted && author_.has_value();
  a.documentName = m_document;
  a.outputName = m_output;
  a.includeCertificate = m_includeCertificate;
  a.includeSigningTime = m_includeTime;
  a.detached = m_detached;
  if (a.accepted) a.author = author_;
  return a;
}

void CSignDlg::showEvent(QShowEvent* event) {
  if (!initialised_) {
    initialised_ = true;
    OnInitDialog();
  }
  QDialog::showEvent(event);
}

void CSignDlg::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_F1) {
    OnHelp();
    return;
  }
  QDialog::keyPressEvent(event);
}

void CSignDlg::OnInitDialog() {
  NetStr(m_document);
  FillAuthorList(*authors_, records_, helper_);
  SortSettings sorting;
  helper_.GetSortSettings(QStringLiteral("SGN"), sorting);
  m_names = InitialSignNames(m_document, m_group, m_add, m_names, sorting);
  if (m_group) {
    output_->setEnabled(false);
    browse_->setEnabled(false);
  }
  if (m_add) {
    m_detached = true;
    detached_->setEnabled(false);
    output_->setEnabled(false);
    setWindowTitle(QStringLiteral("Добавить подпись"));
  }
  m_output.clear();
  showMembers();
  OnFormatChange();
  if (authors_->count() == 0) {
    std::weak_ptr<bool> alive = alive_;
    QTimer::singleShot(0, this, [this, alive] {
      services_.prompts->open(QString::fromUtf8(kNoAuthorText), MB_OK | MB_ICONSTOP, [this, alive](int) {
        if (!alive.expired()) reject();
      });
    });
    return;
  }
  if (authors_->currentIndex() < 0) authors_->setCurrentIndex(0);
  raise();
  activateWindow();
}

void CSignDlg::takeControls() {
  m_output = output_->text();
  m_includeCertificate = cert_->isChecked();
  m_includeTime = time_->isChecked();
  m_detached = detached_->isChecked();
}

void CSignDlg::showMembers() {
  document_->setText(m_document);
  output_->setText(m_output);
  cert_->setChecked(m_includeCertificate);
  time_->setChecked(m_includeTime);
  detached_->setChecked(m_detached);
}

void CSignDlg::OnFormatChange() {
  takeControls();
  label_->setText(OutputLabel(m_detached));
  ApplyFormat(m_detached, m_names, m_output);
  showMembers();
}

void CSignDlg::OnBrowse() {
  takeControls();
  static QtFileDialogService qtFiles;
  FileDialogService& files = services_.files != nullptr ? *services_.files : qtFiles;
  FileDialogRequest request;
  // A new name may be typed: the output is usually a file still to be made.
  request.save = true;
  request.initialPath = m_output;
  request.filter =
      m_detached ? QStringLiteral("Архив (*.sga)|*.sga||") : QStringLiteral("Встроенная подпись (*.sgn)|*.sgn||");
  std::weak_ptr<bool> alive = alive_;
  files.open(request, [this, alive](std::optional<QString> chosen) {
    if (alive.expired() || !chosen) return;
    m_output = *chosen;
    showMembers();
  });
}

void CSignDlg::OnViewCertificate() {
  const OwnerRecord* record = SelectedAuthor(*authors_, records_);
  if (record == nullptr || record->serNum.isEmpty()) return;
  if (!viewer_) viewer_ = std::make_unique<CertificateViewerLoader>();
  viewer_->ShowBuffer(record->serNum);
}

void CSignDlg::OnHelp() {
  if (services_.help != nullptr) {
    services_.help->show(kSignHelpContext);
    return;
  }
  HelpService help(shell_service());
  help.show(kSignHelpContext);
}

void CSignDlg::accept() {
  takeControls();
  const OwnerRecord* record = SelectedAuthor(*authors_, records_);
  if (record == nullptr) return;
  author_ = *record;
  if (m_output != m_document && !m_add && helper_.FileExists(m_output)) {
    std::weak_ptr<bool> alive = alive_;
    services_.prompts->open(QStringLiteral("Файл уже существует: \n %1\n\nЗаменить?").arg(m_output),
                            MB_YESNO | MB_ICONQUESTION, [this, alive](int answer) {
                              if (!alive.expired() && answer == IDYES) QDialog::accept();
                            });
    return;
  }
  QDialog::accept();
}

}  // namespace dsutils::widgets
