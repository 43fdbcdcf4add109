#include "dsutils/widgets/encrypt_pages.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QToolButton>
#include <QVBoxLayout>

#include "dsutils/engine/crypto_session.h"
#include "dsutils/widgets/author_list.h"
#include "dsutils/widgets/certificate_viewer_loader.h"
#include "dsutils/widgets/file_dialog_service.h"
#include "dsutils/widgets/prompt_service.h"

namespace dsutils::widgets {

namespace {

const QString kEncExt = QStringLiteral(".enc");
const QString kReplaceQuestion = QStringLiteral("Файл уже существует: \n %1\n\nЗаменить?");

bool folder_rule(const SortSettings& enc) { return enc.Result == 1; }

QString in_result_folder(const SortSettings& enc, const QString& name) {
  return enc.ResultPath + QLatin1Char('/') + name;
}

SortSettings read_enc_settings(EngineHelper& helper) {
  SortSettings enc;
  helper.GetSortSettings(QString::fromLatin1(kEncryptSortCode), enc);
  return enc;
}

}  // namespace

QString encrypt_page_output(const QString& input, bool group, const SortSettings& enc) {
  if (group) return folder_rule(enc) ? in_result_folder(enc, QStringLiteral("*.enc")) : QStringLiteral("*.enc");
  if (input.isEmpty()) return {};
  return folder_rule(enc) ? in_result_folder(enc, GetFileFromName(input) + kEncExt) : input + kEncExt;
}

QString sign_page_extension(bool detached) {
  return detached ? QStringLiteral(".sga.enc") : QStringLiteral(".sgn.enc");
}

QString sign_page_output(const QString& document, bool group, bool detached, const SortSettings& enc,
                         const std::function<QString(const QString&)>& unique) {
  const QString ext = sign_page_extension(detached);
  if (group) return folder_rule(enc) ? in_result_folder(enc, QLatin1Char('*') + ext) : QLatin1Char('*') + ext;
  if (document.isEmpty()) return {};
  if (!folder_rule(enc)) return document + ext;
  QString name = in_result_folder(enc, GetFileFromName(document) + ext);
  if (enc.ErrorExist == 1 && unique) {
    // The free name follows the ErrorExist word of these settings; a
    // folder that cannot be looked at keeps the plain name.
    const QString free = unique(name);
    if (!free.isEmpty()) name = free;
  }
  return name;
}

QString sign_page_format_change(const QString& output, bool detached) {
  if (!output.endsWith(kEncExt)) return output;
  const QString rest = output.chopped(kEncExt.size());
  if (!rest.endsWith(QStringLiteral(".sga")) && !rest.endsWith(QStringLiteral(".sgn"))) return output;
  return rest.chopped(4) + sign_page_extension(detached);
}

CertificateViewer library_certificate_viewer() {
  return [](const QByteArray& certificate) {
    // Kept for the process: a viewer window may outlive the page.
    static auto* loader = new CertificateViewerLoader();
    loader->ShowBuffer(certificate);
  };
}

QToolButton* make_browse_button(QWidget* parent) {
  auto* button = new QToolButton(parent);
  button->setText(QStringLiteral("..."));
  button->setToolButtonStyle(Qt::ToolButtonTextOnly);
  return button;
}

// ---------------------------------------------------------------------------
// CEncryptFilePage

CEncryptFilePage::CEncryptFilePage(PromptService& prompts, FileDialogService& files, QWidget* parent)
    : SheetPage(parent),
      prompts_(prompts),
      files_(files),
      inputEdit_(new QLineEdit(this)),
      outputEdit_(new QLineEdit(this)),
      browse_(make_browse_button(this)) {
  exists_ = [](const QString& path) { return global_crypto_session().IsKeyMediumPresent(path) != 0; };
  inputEdit_->setObjectName(QStringLiteral("edit205"));
  inputEdit_->setReadOnly(true);
  outputEdit_->setObjectName(QStringLiteral("edit221"));
  browse_->setObjectName(QStringLiteral("button214"));

  auto* inputBox = new QGroupBox(QStringLiteral("Файл для шифрования "), this);
  auto* inputLayout = new QVBoxLayout(inputBox);
  inputLayout->addWidget(inputEdit_);

  auto* outputBox = new QGroupBox(this);
  auto* outputLayout = new QGridLayout(outputBox);
  auto* outputLabel = new QLabel(QStringLiteral("Имя файла с зашифрованными данными"), outputBox);
  outputLabel->setBuddy(outputEdit_);
  outputLayout->addWidget(outputLabel, 0, 0, 1, 2);
  outputLayout->addWidget(outputEdit_, 1, 0);
  outputLayout->addWidget(browse_, 1, 1);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(inputBox);
  layout->addWidget(outputBox);
  layout->addStretch(1);

  // Every change of the edit reaches the member at once.
  connect(outputEdit_, &QLineEdit::textChanged, this, [this](const QString& text) { outputName_ = text; });
  connect(browse_, &QToolButton::clicked, this, [this] { OnBrowse(); });
}

void CEncryptFilePage::initPage() {
  EngineHelper& helper = helper_ != nullptr ? *helper_ : engine_helper();
  const SortSettings enc = read_enc_settings(helper);
  if (group_) {
    outputName_ = encrypt_page_output(input_, true, enc);
    inputEdit_->setEnabled(false);
    outputEdit_->setEnabled(false);
    browse_->setEnabled(false);
  } else if (!input_.isEmpty()) {
    outputName_ = encrypt_page_output(input_, false, enc);
  }
  showMembers();
}

void CEncryptFilePage::showMembers() {
  inputEdit_->setText(input_);
  outputEdit_->setText(outputName_);
}

void CEncryptFilePage::updateData() {
  input_ = inputEdit_->text();
  outputName_ = outputEdit_->text();
}

void CEncryptFilePage::OnBrowse() {
  updateData();
  FileDialogRequest request;
  request.save = false;
  request.initialPath = outputName_;
  request.filter = QStringLiteral("Зашифрованные файлы(*.enc)|*.enc||");
  request.defaultSuffix = QStringLiteral("enc");
  QPointer<CEncryptFilePage> self(this);
  files_.open(request, [self](std::optional<QString> path) {
    if (!self || !path) return;
    self->outputName_ = *path;
    self->showMembers();
  });
}

bool CEncryptFilePage::validatePage() {
  updateData();
  if (group_) return true;
  if (outputName_.isEmpty()) {
    page_message(prompts_, QStringLiteral("Не задано имя файла с зашифрованными данными!"), MB_OK | MB_ICONSTOP);
    return false;
  }
  if (exists_ && exists_(outputName_) && outputName_ != input_) {
    if (page_message(prompts_, kReplaceQuestion.arg(outputName_), MB_YESNO | MB_ICONQUESTION) == IDNO) return false;
  }
  return true;
}

void CEncryptFilePage::closePage() {
  updateData();
  setEnabled(false);
}

// ---------------------------------------------------------------------------
// CSignPage

CSignPage::CSignPage(PromptService& prompts, QWidget* parent)
    : SheetPage(parent),
      prompts_(prompts),
      documentEdit_(new QLineEdit(this)),
      authors_(new QComboBox(this)),
      view_(new QPushButton(QStringLiteral("Просмотр"), this)),
      certificateBox_(new QCheckBox(QStringLiteral("Включить сертификат в подпись"), this)),
      timeBox_(new QCheckBox(QStringLiteral("Включить метку времени в подпись"), this)),
      detachedBox_(new QCheckBox(QStringLiteral("Сформировать отсоединенную подпись"), this)),
      formatBox_(new QGroupBox(QStringLiteral(" Формат выходных данных: "), this)),
      outputEdit_(new QLineEdit(this)),
      browse_(make_browse_button(this)) {
  exists_ = [this](const QString& path) { return helper().FileExists(path); };
  unique_ = [](const QString& path) { return GetUnicalName(path); };
  fillAuthors_ = [this](QComboBox& combo, std::vector<OwnerRecord>& authors) {
    FillAuthorList(combo, authors, helper());
  };
  viewer_ = library_certificate_viewer();
  documentEdit_->setObjectName(QStringLiteral("edit205"));
  documentEdit_->setReadOnly(true);
  authors_->setObjectName(QStringLiteral("combo201"));
  authors_->setEditable(false);
  authors_->setInsertPolicy(QComboBox::InsertAlphabetically);
  view_->setObjectName(QStringLiteral("button223"));
  certificateBox_->setObjectName(QStringLiteral("check207"));
  timeBox_->setObjectName(QStringLiteral("check209"));
  detachedBox_->setObjectName(QStringLiteral("check215"));
  outputEdit_->setObjectName(QStringLiteral("edit221"));
  browse_->setObjectName(QStringLiteral("button217"));

  auto* documentBox = new QGroupBox(QStringLiteral(" Документ для подписи "), this);
  auto* documentLayout = new QVBoxLayout(documentBox);
  documentLayout->addWidget(documentEdit_);

  auto* authorBox = new QGroupBox(QStringLiteral(" Автор подписи "), this);
  auto* authorLayout = new QHBoxLayout(authorBox);
  authorLayout->addWidget(authors_, 1);
  authorLayout->addWidget(view_);

  // The PEM and DER choice exists in the page but is neither shown nor read.
  auto* formatLayout = new QHBoxLayout(formatBox_);
  auto* pem = new QRadioButton(QStringLiteral("PEM"), formatBox_);
  pem->setObjectName(QStringLiteral("radio211"));
  auto* der = new QRadioButton(QStringLiteral("DER"), formatBox_);
  der->setObjectName(QStringLiteral("radio213"));
  formatLayout->addWidget(pem);
  formatLayout->addWidget(der);
  formatBox_->hide();

  auto* outputBox = new QGroupBox(this);
  auto* outputLayout = new QGridLayout(outputBox);
  auto* outputLabel = new QLabel(QStringLiteral("Имя файла с зашифрованными данными"), outputBox);
  outputLabel->setBuddy(outputEdit_);
  outputLayout->addWidget(outputLabel, 0, 0, 1, 2);
  outputLayout->addWidget(outputEdit_, 1, 0);
  outputLayout->addWidget(browse_, 1, 1);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(documentBox);
  layout->addWidget(authorBox);
  layout->addWidget(certificateBox_);
  layout->addWidget(timeBox_);
  layout->addWidget(detachedBox_);
  layout->addWidget(formatBox_);
  layout->addWidget(outputBox);
  layout->addStretch(1);

  connect(detachedBox_, &QCheckBox::clicked, this, [this] { OnFormatChange(); });
  connect(view_, &QPushButton::clicked, this, [this] { OnViewCertificate(); });
  // The browse button of this page has no action.
}

void CSignPage::initPage() {
  LogOptions options;
  options.IsOldEnc = 1;
  if (helper().GetLogOptions(options)) {
    includeCertificate_ = options.IsCert != 0;
    includeSigningTime_ = options.IsTime != 0;
    detached_ = options.IsSgn != 0;
  }
  authors_->clear();
  authorList_.clear();
  if (fillAuthors_) fillAuthors_(*authors_, authorList_);
  const SortSettings enc = read_enc_settings(helper());
  outputName_ = sign_page_output(document_, group_, detached_, enc, unique_);
  if (group_) {
    documentEdit_->setEnabled(false);
    outputEdit_->setEnabled(false);
    browse_->setEnabled(false);
  }
  showMembers();
}

void CSignPage::showMembers() {
  documentEdit_->setText(document_);
  outputEdit_->setText(outputName_);
  detachedBox_->setChecked(detached_);
  certificateBox_->setChecked(includeCertificate_);
  timeBox_->setChecked(includeSigningTime_);
}

void CSignPage::updateData() {
  document_ = documentEdit_->text();
  outputName_ = outputEdit_->text();
  detached_ = detachedBox_->isChecked();
  includeCertificate_ = certificateBox_->isChecked();
  includeSigningTime_ = timeBox_->isChecked();
}

void CSignPage::OnFormatChange() {
  updateData();
  const QString changed = sign_page_format_change(outputName_, detached_);
  if (changed != outputName_) {
    outputName_ = changed;
    showMembers();
  }
}

void CSignPage::OnViewCertificate() {
  const QVariant item = authors_->currentData();
  if (!item.isValid() || !viewer_) return;
  const int index = item.toInt();
  if (index < 0 || index >= static_cast<int>(authorList_.size())) return;
  viewer_(authorList_[static_cast<std::size_t>(index)].serNum);
}

bool CSignPage::validatePage() {
  updateData();
  author_.reset();
  const QVariant item = authors_->currentIndex() >= 0 ? authors_->currentData() : QVariant();
  if (item.isValid()) {
    const int index = item.toInt();
    if (index >= 0 && index < static_cast<int>(authorList_.size()))
      author_ = authorList_[static_cast<std::size_t>(index)];
  }
  if (!author_) {
    page_message(prompts_, QStringLiteral("Не задан  автор подписи!"), MB_OK | MB_ICONSTOP);
    return false;
  }
  if (group_) return true;
  if (exists_ && exists_(outputName_) && outputName_ != document_) {
    if (page_message(prompts_, kReplaceQuestion.arg(outputName_), MB_YESNO | MB_ICONQUESTION) == IDNO) return false;
  }
  return true;
}

void CSignPage::closePage() { setEnabled(false); }

}  // namespace dsutils::widgets
