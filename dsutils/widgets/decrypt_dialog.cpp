#include "dsutils/widgets/decrypt_dialog.h"

#include <QDialogButtonBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QTextEdit>
#include <QToolButton>
#include <QVBoxLayout>

#include "dsutils/engine/crypto_session.h"
#include "dsutils/engine/error_text.h"
#include "dsutils/engine/ldap_lookup.h"
#include "dsutils/widgets/encrypt_pages.h"
#include "dsutils/widgets/file_dialog_service.h"
#include "dsutils/widgets/prompt_service.h"
#include "dsutils/widgets/recipients_page.h"
#include "dsutils/widgets/shell_service.h"
#include "platform/codepage/codepage.h"
#include "quillon2/ql_codes.h"
#include "quillon2/ql_dn.h"

namespace dsutils::widgets {

namespace {

namespace ql = quillon2;

QString local_text(const QByteArray& text) {
  return QString::fromStdString(platform::ansi_to_utf8(std::string_view(text.constData(), text.size())));
}

FileDialogService& qt_dialogs() {
  static auto* service = new QtFileDialogService();  // lives as long as the process
  return *service;
}

// The name record of a recipient's issuer, its texts freed at the end.
struct IssuerHold {
  ql::QL_DN* name = ql::QL_DN_new();
  ~IssuerHold() { ql::QL_DN_free(name); }
  IssuerHold() = default;
  IssuerHold(const IssuerHold&) = delete;
  IssuerHold& operator=(const IssuerHold&) = delete;
};

struct MessageHold {
  CryptoSession& session;
  QL_MESSAGE* message = nullptr;
  ~MessageHold() { session.FreeMessage(message); }
};

}  // namespace

QString DecryptOutputName(const QString& fileToDecrypt, const QString& inputName, const SortSettings& unenc) {
  // A file named only ".enc" would leave no name at all: the folder itself
  // would be proposed as the output.
  const bool stripped = fileToDecrypt.endsWith(QLatin1String(".enc")) && GetFileFromName(fileToDecrypt).size() > 4;
  QString output = stripped ? fileToDecrypt.chopped(4) : inputName;
  const QString folder = unenc.Result != 0 ? unenc.ResultPath : GetPathFromName(inputName);
  output = folder + QLatin1Char('/') + GetFileFromName(output);
  NetStr(output);
  return output;
}

QList<QPixmap> decrypt_images() {
  QList<QPixmap> images = recipient_images();  // other user, executor, personal entry
  QPixmap unknown(16, 16);
  unknown.fill(Qt::transparent);
  QPainter p(&unknown);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(150, 150, 150), 1.2, Qt::DashLine));
  p.setBrush(Qt::NoBrush);
  p.drawEllipse(QRectF(5, 1, 6, 6));
  p.drawRoundedRect(QRectF(2.5, 8, 11, 7), 3, 3);
  p.setPen(QPen(QColor(200, 40, 40), 2));
  p.drawLine(QPointF(10, 10), QPointF(15, 15));
  p.drawLine(QPointF(10, 15), QPointF(15, 10));
  images << unknown;
  return images;
}

CDecryptDlg::CDecryptDlg(DecryptDialogServices services, QWidget* parent, EngineHelper& helper)
    : QDialog(parent),
      services_(std::move(services)),
      helper_(helper),
      alive_(std::make_shared<bool>(true)),
      inputEdit_(new QLineEdit(this)),
      list_(new SortableListCtrl(this)),
      view_(new QPushButton(QStringLiteral("Просмотр"), this)),
      outputEdit_(new QLineEdit(this)),
      browse_(new QToolButton(this)),
      ok_(nullptr),
      help_(nullptr) {
  setObjectName(QStringLiteral("CDecryptDlg"));
  setWindowTitle(QStringLiteral("Расшифровать"));
  setWindowFlag(Qt::WindowStaysOnTopHint, true);
  inputEdit_->setObjectName(QStringLiteral("edit205"));
  inputEdit_->setReadOnly(true);
  list_->setObjectName(QStringLiteral("list213"));
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->header()->setSectionsMovable(true);
  list_->SetProfileEntry(QString::fromUtf8(kDecryptColumnProfile));
  if (services_.profile != nullptr) list_->setProfile(services_.profile);
  view_->setObjectName(QStringLiteral("button3"));
  view_->setAutoDefault(false);
  outputEdit_->setObjectName(QStringLiteral("edit221"));
  browse_->setObjectName(QStringLiteral("button217"));
  browse_->setText(QStringLiteral("..."));

  auto* inputBox = new QGroupBox(QStringLiteral("Файл для расшифрования "), this);
  (new QVBoxLayout(inputBox))->addWidget(inputEdit_);
  auto* viewRow = new QHBoxLayout();
  viewRow->addWidget(new QLabel(QStringLiteral("Получатели зашифрованного сообщения"), this), 1);
  viewRow->addWidget(view_);
  auto* outputRow = new QHBoxLayout();
  outputRow->addWidget(outputEdit_, 1);
  outputRow->addWidget(browse_);
  auto* buttons = new QDialogButtonBox(this);
  ok_ = buttons->addButton(QStringLiteral("Расшифровать"), QDialogButtonBox::AcceptRole);
  ok_->setObjectName(QStringLiteral("button1"));
  ok_->setDefault(true);
  buttons->addButton(QStringLiteral("Отменить"), QDialogButtonBox::RejectRole)
      ->setObjectName(QStringLiteral("button2"));
  help_ = buttons->addButton(QStringLiteral("Справка"), QDialogButtonBox::HelpRole);
  help_->setObjectName(QStringLiteral("button9"));
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(inputBox);
  layout->addLayout(viewRow);
  layout->addWidget(list_, 1);
  layout->addWidget(new QLabel(QStringLiteral("Имя расшифрованого файла"), this));
  layout->addLayout(outputRow);
  layout->addWidget(buttons);
  resize(880, 420);

  connect(buttons, &QDialogButtonBox::accepted, this, &CDecryptDlg::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(buttons, &QDialogButtonBox::helpRequested, this, [this] { OnHelp(); });
  connect(view_, &QPushButton::clicked, this, [this] { OnView(); });
  connect(browse_, &QToolButton::clicked, this, [this] { OnBrowse(); });
  connect(list_->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] { OnItemChanged(); });
  view_->setEnabled(false);
  ok_->setEnabled(false);
}

CDecryptDlg::~CDecryptDlg() {
  *alive_ = false;
  list_->SaveColumnWidths();
  if (describer_ && describerOpen_) describer_->Close();
}

void CDecryptDlg::setRequest(const DecryptRequest& request) {
  m_input = request.sourceName;
  m_file = request.inputFile;
}

DecryptAnswer CDecryptDlg::answer(bool accepted) const {
  DecryptAnswer a;
  a.accepted = accepted && !chosen_.serNum.isEmpty();
  a.outputPath = m_output;
  if (a.accepted) a.key = chosen_;
  return a;
}

bool CDecryptDlg::OnInitDialog() {
  list_->InsertColumns(recipient_columns());
  SortSettings unenc;
  helper_.GetSortSettings(QStringLiteral("UNENC"), unenc);
  m_output = DecryptOutputName(m_file, m_input, unenc);
  m_input = GetFileFromName(m_file);
  list_->rows().setImages(decrypt_images());
  if (!FillRecipients()) return false;
  inputEdit_->setText(m_input);
  outputEdit_->setText(m_output);
  return true;
}

bool CDecryptDlg::FillRecipients() {
  describer_ = std::make_unique<CryptoSession>();
  describerOpen_ = describer_->Open() == 0;
  CryptoSession& session = *describer_;
  OwnerRecord executor;
  CertificateInfo executorInfo;
  const bool haveExecutor =
      helper_.GetOwnerRecord(executor) && session.GetCertificateInfo(executor.serNum, executorInfo) == kToolkitOk;
  MessageHold message{session};
  int kind = 0;
  if (const int code = session.ReadMessageFile(m_file, &kind, &message.message); code != ql::QL_OK) {
    error_text_loader().ShowError(code);
    return false;
  }
  const int count = kind == ql::QL_KIND_ENVELOPED ? session.GetRecipientCount(message.message) : 0;
  std::vector<ListRow> rows;
  int selected = -1;
  for (int i = 0; i < count; ++i) {
    const QString serial = session.GetRecipientSerial(message.message, i);
    if (serial.isEmpty()) continue;
    IssuerHold issuerName;
    session.GetRecipientIssuer(message.message, i, issuerName.name);
    const DistinguishedName issuer = ToDistinguishedName(*issuerName.name);
    const QString number = QStringLiteral(" %1 ").arg(rows.size() + 1);
    QByteArray certificate;
    if (!helper_.LoadDirectoryCertificate(serial, certificate)) {
      certificate.clear();
      if (LookupLdapCertificate(serial.toLatin1(), issuer, certificate) != 1) certificate.clear();
    }
    ListRow row;
    if (certificate.isEmpty()) {
      // Found nowhere: listed so the person sees who else may read it.
      row.cells = QStringList{number, QString(), local_text(issuer.CN), serial, QString(), QString(), QString()};
      row.image = kDecryptUnknown;
      OwnerRecord r;
      r.name = serial;
      row.data = std::make_unique<DecryptRecipientRow>(std::move(r));
      rows.push_back(std::move(row));
      continue;
    }
    CertificateInfo info;
    if (const int code = session.GetCertificateInfo(certificate, info); code != kToolkitOk) {
      error_text_loader().ShowError(code);
      continue;
    }
    const bool isExecutor = haveExecutor && serial == local_text(executorInfo.serial) &&
                            EngineHelper::CompareNames(issuer, executorInfo.issuer) != 0;
    OwnerRecord r;
    QString alias;
    if (isExecutor) {
      r = executor;
      alias = helper_.GetOwnerProfile(executor.name);
      row.image = kDecryptExecutor;
      selected = static_cast<int>(rows.size());
    } else {
      r.name = serial;
      r.serNum = certificate;
      const bool registered = helper_.IsCertificateStored(serial, info.issuer, false) ||
                              helper_.IsCertificateStored(serial, info.issuer, true);
      row.image = registered ? kDecryptRegistered : kDecryptOther;
      alias = helper_.GetUserProfile(serial);
    }
    row.cells = recipient_cells(0, info, alias);
    row.cells[0] = number;
    row.data = std::make_unique<DecryptRecipientRow>(std::move(r));
    rows.push_back(std::move(row));
  }
  list_->rows().appendRows(std::move(rows));
  if (list_->rows().rowCount() > 0) list_->selectRow(selected >= 0 ? selected : 0, true);
  OnItemChanged();
  list_->AutoSizeAllColumns();
  return true;
}

const DecryptRecipientRow* CDecryptDlg::selectedRow() const {
  const std::vector<int> rows = list_->selectedRowList();
  if (rows.size() != 1) return nullptr;
  return dynamic_cast<const DecryptRecipientRow*>(list_->rows().row(rows.front()).data.get());
}

void CDecryptDlg::OnItemChanged() {
  const DecryptRecipientRow* row = selectedRow();
  const bool usable = row != nullptr && row->hasCertificate();
  view_->setEnabled(usable);
  ok_->setEnabled(usable);
}

void CDecryptDlg::OnView() {
  const DecryptRecipientRow* row = selectedRow();
  if (row == nullptr || !row->hasCertificate()) return;
  if (services_.viewer) {
    services_.viewer(row->record.serNum);
  } else {
    library_certificate_viewer()(row->record.serNum);
  }
}

void CDecryptDlg::OnBrowse() {
  FileDialogService& files = services_.files != nullptr ? *services_.files : qt_dialogs();
  std::weak_ptr<bool> alive = alive_;
  files.open(FileDialogRequest{true, QString(), outputEdit_->text(), QString::fromUtf8(kDecryptFilter), QString()},
             [this, alive](std::optional<QString> chosen) {
               if (alive.expired() || !chosen) return;
               m_output = *chosen;
               outputEdit_->setText(m_output);
             });
}

void CDecryptDlg::OnHelp() {
  if (services_.help) {
    services_.help(kDecryptHelpContext);
  } else {
    HelpService(shell_service()).show(kDecryptHelpContext);
  }
}

void CDecryptDlg::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_F1) {
    OnHelp();
    return;
  }
  QDialog::keyPressEvent(event);
}

void CDecryptDlg::accept() {
  m_output = outputEdit_->text();
  if (describer_ && describer_->IsKeyMediumPresent(m_output) != 0) {
    std::weak_ptr<bool> alive = alive_;
    services_.prompts->open(QStringLiteral("Файл уже существует: \n %1\n\nЗаменить?").arg(m_output),
                            MB_YESNO | MB_ICONQUESTION, [this, alive](int answer) {
                              if (!alive.expired() && answer == IDYES) finishAccept();
                            });
    return;
  }
  finishAccept();
}

void CDecryptDlg::finishAccept() {
  const DecryptRecipientRow* row = selectedRow();
  if (row == nullptr || !row->hasCertificate()) return;
  chosen_ = row->record;
  QDialog::accept();
}

CFileInfoDlg::CFileInfoDlg(QWidget* parent)
    : QDialog(parent), name_(new QLineEdit(this)), description_(new QTextEdit(this)) {
  setObjectName(QStringLiteral("CFileInfoDlg"));
  setWindowTitle(QStringLiteral("Информация ..."));
  setWindowFlag(Qt::WindowStaysOnTopHint, true);
  name_->setObjectName(QStringLiteral("edit203"));
  name_->setReadOnly(true);
  description_->setObjectName(QStringLiteral("edit204"));
  description_->setReadOnly(true);
  description_->setAcceptRichText(false);
  description_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  auto* nameBox = new QGroupBox(QStringLiteral(" Имя файла "), this);
  (new QVBoxLayout(nameBox))->addWidget(name_);
  auto* buttons = new QDialogButtonBox(this);
  buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole)->setDefault(true);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(nameBox);
  layout->addWidget(description_, 1);
  layout->addWidget(buttons);
  resize(520, 420);
}

void CFileInfoDlg::setTexts(const QString& fileName, const QString& description) {
  m_description = description;
  name_->setText(fileName);
  // "\r\n" is one line break on screen; the stored text keeps it.
  QString shown = description;
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  description_->setPlainText(shown);
}

}  // namespace dsutils::widgets
