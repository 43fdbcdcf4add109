#include "dsutils/widgets/verify_protocol_dialog.h"

#include <unistd.h>

#include <QCheckBox>
#include <QFile>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTreeView>
#include <QVBoxLayout>
#include <cstdlib>

#include "dsutils/engine/crypto_session.h"
#include "dsutils/engine/engine_helper.h"
#include "dsutils/engine/error_text.h"
#include "dsutils/engine/signature_checker.h"
#include "dsutils/widgets/application_chooser.h"
#include "dsutils/widgets/encrypt_pages.h"
#include "dsutils/widgets/prompt_service.h"
#include "dsutils/widgets/shell_service.h"
#include "platform/codepage/codepage.h"
#include "platform/registry/registry_key.h"
#include "printing/vtpagina.h"

namespace dsutils::widgets {

namespace {

const QString kNoTime = QStringLiteral("не указана");
const QString kArchiveSeparator = QStringLiteral(" : ");

// The toolkit's texts are in the local code page.
QString local_text(const QByteArray& text) {
  return QString::fromStdString(platform::ansi_to_utf8(std::string_view(text.constData(), text.size())));
}

// The format filled in order: each "%s" or "%d" takes the next argument as
// it is (an argument's own "%" stays a character).
QString fill(const char* format, const QStringList& args) {
  const QString f = QString::fromUtf8(format);
  QString out;
  qsizetype next = 0;
  for (qsizetype i = 0; i < f.size(); ++i) {
    if (f[i] == QLatin1Char('%') && i + 1 < f.size() &&
        (f[i + 1] == QLatin1Char('s') || f[i + 1] == QLatin1Char('d'))) {
      out += args.value(next++);
      ++i;
      continue;
    }
    out += f[i];
  }
  return out;
}

bool describe(DirectoryCryptoSession* describer, const SignatureRecord& record, CertificateInfo& info) {
  return describer != nullptr && !record.certificate.isEmpty() &&
         describer->GetCertificateInfo(record.certificate, info) == kToolkitOk;
}

QString source_text(int source) {
  switch (source) {
    case kSourceLdap: {
      std::uint32_t start = 0;
      QString connect, port, search;
      engine_helper().GetLdapSettings(start, connect, port, search);
      return QStringLiteral("сервер LDAP %1:%2").arg(connect, port);
    }
    case kSourceEmbedded:
      return QStringLiteral("встроен в подписанный документ");
    case kSourceLocal:
      return QStringLiteral("локальный справочник");
    default:
      return {};
  }
}

// A signature mark: a round badge with a symbol, a page corner behind it
// for a detached signature file.
QPixmap badge(const QColor& colour, char symbol, bool detached) {
  QPixmap picture(16, 16);
  picture.fill(Qt::transparent);
  QPainter p(&picture);
  p.setRenderHint(QPainter::Antialiasing);
  if (detached) {
    p.setPen(QPen(QColor(90, 90, 90), 1));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(0.5, 0.5, 9, 12));
  }
  p.setPen(Qt::NoPen);
  p.setBrush(colour);
  const QRectF circle = detached ? QRectF(5, 5, 11, 11) : QRectF(1, 1, 14, 14);
  p.drawEllipse(circle);
  QPen pen(Qt::white, detached ? 1.6 : 2.0);
  pen.setCapStyle(Qt::RoundCap);
  p.setPen(pen);
  const QPointF c = circle.center();
  const qreal r = circle.width() / 2 - 3;
  switch (symbol) {
    case 'v': {
      QPainterPath path;
      path.moveTo(c.x() - r, c.y());
      path.lineTo(c.x() - r / 3, c.y() + r * 0.7);
      path.lineTo(c.x() + r, c.y() - r * 0.7);
      p.setBrush(Qt::NoBrush);
      p.drawPath(path);
      break;
    }
    case 'x':
      p.drawLine(QPointF(c.x() - r, c.y() - r), QPointF(c.x() + r, c.y() + r));
      p.drawLine(QPointF(c.x() - r, c.y() + r), QPointF(c.x() + r, c.y() - r));
      break;
    case '!':
      p.drawLine(QPointF(c.x(), c.y() - r), QPointF(c.x(), c.y() + r * 0.2));
      p.drawPoint(QPointF(c.x(), c.y() + r));
      break;
    case '?':
      p.drawArc(QRectF(c.x() - r * 0.7, c.y() - r, r * 1.4, r), 180 * 16, -270 * 16);
      p.drawPoint(QPointF(c.x(), c.y() + r));
      break;
    default:  // '-': nothing found
      p.drawLine(QPointF(c.x() - r, c.y()), QPointF(c.x() + r, c.y()));
      break;
  }
  return picture;
}

// The document of the signed file for a program outside: extracted beside
// it, and moved out of the operation's working folder when it lies there,
// since that folder is removed when the operation ends while the program
// may read the file later. Empty when it could not be extracted.
QString extract_for_outside(const QString& signedPath) {
  EngineHelper& helper = engine_helper();
  QString document;
  if (helper.ExtractSignedDocument(signedPath, document) == 0) return {};
  const QString root = helper.TmpRoot();
  if (root.isEmpty() || !document.startsWith(root + QLatin1Char('/'))) return document;
  QByteArray folder = QFile::encodeName(user_temp_folder() + QStringLiteral("/dossar-document-XXXXXX"));
  if (::mkdtemp(folder.data()) == nullptr) return document;
  const QString moved = QFile::decodeName(folder) + QLatin1Char('/') + GetFileFromName(document);
  if (!QFile::rename(document, moved)) {
    ::rmdir(folder.constData());
    return document;
  }
  return moved;
}

}  // namespace

int ProtocolRowImage(const SignatureRecord& record) {
  if (record.status == kSignatureNotFound) return 8;
  return record.signerFlag == 0 ? record.status + 4 : record.status;
}

QList<QPixmap> protocol_images() {
  const QColor green(40, 150, 60), red(200, 40, 40), grey(130, 130, 130), orange(220, 120, 20);
  QList<QPixmap> images;
  for (bool detached : {false, true}) {
    images << badge(green, 'v', detached)    // 0 / 4: confirmed
           << badge(red, 'x', detached)      // 1 / 5: this signer failed
           << badge(grey, '?', detached)     // 2 / 6: not used by the checker
           << badge(orange, '!', detached);  // 3 / 7: the message failed
  }
  images << badge(grey, '-', false);  // 8: no signature
  return images;
}

QStringList ProtocolRowCells(int position, SignatureRecord& record, DirectoryCryptoSession* describer) {
  QStringList cells(6);
  cells[0] = QString::number(position + 1);
  CertificateInfo info;
  if (record.status != kSignatureNotFound && describe(describer, record, info)) {
    cells[1] = local_text(info.subject.CN);
    cells[2] = record.serial;
    cells[3] = local_text(record.issuer.CN);
  }
  if (record.status == kSignatureNotFound) {
    cells[5] = QStringLiteral("Подпись не обнаружена");
  } else if (record.resultCode == 0) {
    cells[5] = QStringLiteral("Подпись подтверждена");
  } else {
    cells[5] = error_text_loader().GetErrorText(record.resultCode);
  }
  if (record.signingTime.isEmpty()) record.signingTime = kNoTime;
  cells[4] = record.signingTime;
  return cells;
}

QString FormatProtocolSignature(const QString& dialogFile, const SignatureRecord& r, int number, bool separated,
                                DirectoryCryptoSession* describer) {
  const QString L = separated ? QStringLiteral(" \r\n") : QString();
  QString location = GetFileFromName(r.fileName);
  if (const qsizetype at = dialogFile.indexOf(kArchiveSeparator); at >= 0)
    location += QStringLiteral(" (из архива %1) ").arg(GetFileFromName(dialogFile.left(at)));
  const QString issuer = SignatureIssuerText(r.issuer);
  const QString source = source_text(r.source);
  QString start, end;
  CertificateInfo info;
  if (describe(describer, r, info)) {
    start = local_text(info.notBefore) + QStringLiteral(" по Гринвичу");
    end = local_text(info.notAfter) + QStringLiteral(" по Гринвичу");
  }
  const QString type = r.signerFlag == 1 ? QStringLiteral("встроена в подписанный документ")
                                         : QStringLiteral("отсоединена от документа");
  const QString date = r.signingTime.isEmpty() ? kNoTime : r.signingTime;
  const QString n = QString::number(number);
  QString block;
  switch (r.status) {
    case kSignatureConfirmed:
      block = fill(
          " Подпись №%d\r\n%s Результат проверки: ПОДПИСЬ ПОДТВЕРЖДЕНА\r\n%s Местонахождение подписи: %s\r\n%s Тип "
          "подписи: %s\r\n Дата формирования подписи: %s\r\n%s Атрибуты сертификата  автора подписи:\r\n    серийный "
          "номер - %s\r\n    издатель сертификата - %s\r\n    полное имя владельца - %s\r\n    начало периода действия "
          "- %s\r\n    конец  периода действия - %s\r\n    источник сертификата - %s\r\n%s",
          {n, L, L, location, L, type, date, L, r.serial, issuer, r.signerName, start, end, source, L});
      break;
    case kSignerFailed:
      block = fill(
          " Подпись №%d\r\n%s Результат проверки: %s\r\n%s Местонахождение подписи: %s\r\n%s Тип подписи : %s\r\n Дата "
          "формирования подписи: %s\r\n%s Атрибуты сертификата  автора подписи:\r\n    серийный номер - %s\r\n    "
          "издатель сертификата - %s\r\n    полное имя владельца - %s\r\n    начало периода действия - %s\r\n    конец "
          " периода действия - %s\r\n    источник сертификата - %s\r\n%s",
          {n, L, error_text_loader().GetErrorText(r.resultCode).toUpper(), L, location, L, type, date, L, r.serial,
           issuer, r.signerName, start, end, source, L});
      break;
    case kMessageFailed:
      block = fill(
          " Подпись №%d\r\n%s Результат проверки: %s\r\n%s Местонахождение подписи: %s\r\n%s Тип подписи : %s\r\n Дата "
          "формирования подписи: %s\r\n%s Атрибуты сертификата  автора подписи:\r\n    серийный номер - %s\r\n    "
          "издатель сертификата - %s\r\n%s",
          {n, L, error_text_loader().GetErrorText(r.resultCode).toUpper(), L, location, L, type, date, L, r.serial,
           issuer, L});
      break;
    case kSignatureNotFound:
      block =
          fill(" Подпись №%d\r\n%s Результат проверки: ПОДПИСЬ НЕ ОБНАРУЖЕНА\r\n%s Местонахождение подписи: %s\r\n%s",
               {n, L, L, location, L});
      break;
    default:
      break;
  }
  if (separated) block += QString(79, QLatin1Char('-')) + QStringLiteral("\r\n");
  return block;
}

QString SignatureSummaryLine(const SignatureRecord& record, int number, DirectoryCryptoSession* describer) {
  CertificateInfo info;
  if (!describe(describer, record, info)) return {};
  return fill("%d.\t%s\r\n\t%s\r\n\t%s\r\n", {QString::number(number), local_text(info.subject.CN),
                                              local_text(info.subject.T), local_text(info.subject.O)});
}

QString StampSignaturesText(const std::vector<SignatureRecord>& records, DirectoryCryptoSession* describer) {
  QString text;
  int number = 1;
  for (auto it = records.rbegin(); it != records.rend(); ++it, ++number)
    text += QStringLiteral("\r\n") + SignatureSummaryLine(*it, number, describer);
  return text;
}

QString GetTemplatePath() {
  const std::string path = std::string(kProductKey) + "\\Property\\Log";
  platform::reg::RegistryKey key;
  if (!key.OpenKey(platform::reg::HKEY_CURRENT_USER, path)) {
    platform::reg::RegistryKey made;
    if (!made.CreateKey(platform::reg::HKEY_CURRENT_USER, path)) return {};
  }
  platform::reg::RegistryKey reader;
  if (!reader.OpenKey(platform::reg::HKEY_CURRENT_USER, path)) return {};
  std::string value;
  if (!reader.QueryString("Shablon", value)) return {};
  return QString::fromStdString(value);
}

CVerifyProtocolDlg::CVerifyProtocolDlg(ProtocolServices services, QWidget* parent)
    : QDialog(parent),
      services_(std::move(services)),
      alive_(std::make_shared<bool>(true)),
      file_(new QLineEdit(this)),
      list_(new QTreeView(this)),
      detailsEdit_(new QPlainTextEdit(this)),
      extract_(new QCheckBox(QStringLiteral("Извлечь подписанный документ"), this)),
      detailsButton_(new QPushButton(QStringLiteral("Подробно"), this)),
      open_(new QPushButton(QStringLiteral("Просмотр"), this)),
      print_(new QPushButton(QStringLiteral("Печать"), this)),
      ok_(new QPushButton(QStringLiteral("Закрыть"), this)),
      help_(new QPushButton(QStringLiteral("Справка"), this)) {
  setObjectName(QStringLiteral("CVerifyProtocolDlg"));
  setWindowTitle(QStringLiteral("Протокол проверки ЭЦП"));
  // Topmost: it comes from an operation that may run behind other windows.
  setWindowFlag(Qt::WindowStaysOnTopHint, true);
  file_->setObjectName(QStringLiteral("edit1020"));
  file_->setReadOnly(true);
  list_->setObjectName(QStringLiteral("list222"));
  list_->setModel(&rows_);
  list_->setRootIsDecorated(false);
  list_->setItemsExpandable(false);
  list_->setUniformRowHeights(true);
  list_->setAllColumnsShowFocus(true);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->setIconSize(QSize(16, 16));
  list_->header()->setSectionsMovable(true);
  list_->setMinimumHeight(120);
  detailsEdit_->setObjectName(QStringLiteral("edit1019"));
  detailsEdit_->setReadOnly(true);
  detailsEdit_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  detailsEdit_->setMinimumHeight(160);
  extract_->setObjectName(QStringLiteral("check206"));
  detailsButton_->setObjectName(QStringLiteral("button223"));
  open_->setObjectName(QStringLiteral("button4"));
  print_->setObjectName(QStringLiteral("button3"));
  ok_->setObjectName(QStringLiteral("button1"));
  help_->setObjectName(QStringLiteral("button9"));
  for (QPushButton* b : {detailsButton_, open_, print_, help_}) b->setAutoDefault(false);
  ok_->setDefault(true);

  auto* buttons = new QHBoxLayout();
  buttons->addWidget(detailsButton_);
  buttons->addWidget(open_);
  buttons->addWidget(print_);
  buttons->addStretch(1);
  buttons->addWidget(ok_);
  buttons->addWidget(help_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(QStringLiteral("Подписанный документ"), this));
  layout->addWidget(file_);
  layout->addWidget(new QLabel(QStringLiteral("Обнаруженные подписи"), this));
  layout->addWidget(list_, 1);
  layout->addWidget(detailsEdit_, 2);
  layout->addWidget(extract_);
  layout->addLayout(buttons);
  resize(880, 560);

  rows_.setColumns({
      {QStringLiteral("№"), Qt::AlignHCenter, 20},
      {QStringLiteral("Автор подписи"), Qt::AlignLeft, 150},
      {QStringLiteral("Серийный номер"), Qt::AlignLeft, 160},
      {QStringLiteral("Издатель сертификата"), Qt::AlignLeft, 150},
      {QStringLiteral("Дата формирования"), Qt::AlignHCenter, 100},
      {QStringLiteral("Результат проверки"), Qt::AlignLeft, 150},
  });
  rows_.setImages(protocol_images());
  for (int c = 0; c < rows_.columnCount(); ++c)
    list_->setColumnWidth(c, rows_.columns()[static_cast<std::size_t>(c)].width);

  connect(list_, &QTreeView::clicked, this, [this] { OnRowClicked(); });
  connect(list_, &QTreeView::doubleClicked, this, [this] { OnDetails(); });
  connect(detailsButton_, &QPushButton::clicked, this, [this] { OnDetails(); });
  connect(extract_, &QCheckBox::clicked, this, [this] { OnExtractChanged(); });
  connect(open_, &QPushButton::clicked, this, [this] { OnOpenDocument(); });
  connect(print_, &QPushButton::clicked, this, [this] { OnPrint(); });
  connect(ok_, &QPushButton::clicked, this, [this] { accept(); });
  connect(help_, &QPushButton::clicked, this, [this] { OnHelp(); });
}

CVerifyProtocolDlg::~CVerifyProtocolDlg() {
  *alive_ = false;
  closePrinting();
  if (ownSession_ && ownOpened_) ownSession_->Close();
}

void CVerifyProtocolDlg::closePrinting() {
  if (!printLibrary_.loaded()) return;
  // A live preview runs the library's code: it closes before the library goes.
  if (auto end = reinterpret_cast<DllEndPrintFn>(printLibrary_.symbol("DllEndPrint"))) end();
  printLibrary_.close();
}

void CVerifyProtocolDlg::setRequest(const VerifyProtocolRequest& request) {
  records_ = request.records;
  m_allConfirmed = request.allConfirmed;
  m_fileName = request.fileName;
  m_documentPath = request.documentPath;
  m_extract = request.extractDocument;
}

DirectoryCryptoSession* CVerifyProtocolDlg::describer() {
  if (describer_ != nullptr) return describer_;
  ownSession_ = std::make_unique<CryptoSession>();
  ownOpened_ = ownSession_->Open() == 0;
  describer_ = ownSession_.get();
  return describer_;
}

void CVerifyProtocolDlg::showEvent(QShowEvent* event) {
  OnInitDialog();
  QDialog::showEvent(event);
}

void CVerifyProtocolDlg::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_F1) {
    OnHelp();
    return;
  }
  QDialog::keyPressEvent(event);
}

void CVerifyProtocolDlg::OnInitDialog() {
  if (initialised_) return;
  initialised_ = true;
  DirectoryCryptoSession* d = describer();
  std::vector<ListRow> rows;
  int position = 0;
  for (auto it = records_.rbegin(); it != records_.rend(); ++it, ++position) {
    ListRow row;
    row.cells = ProtocolRowCells(position, *it, d);
    row.image = ProtocolRowImage(*it);
    rows.push_back(std::move(row));
  }
  rows_.appendRows(std::move(rows));
  for (int c : {0, 2, 3, 4, 5}) list_->resizeColumnToContents(c);
  // Row 0 is the last record; an empty list has no details to show.
  m_details = records_.empty() ? QString() : FormatProtocolSignature(m_fileName, records_.back(), 1, false, d);
  m_fileName = GetFileFromName(m_fileName);
  file_->setText(m_fileName);
  showDetails();
  list_->setFocus();
  if (rows_.rowCount() > 0) list_->setCurrentIndex(rows_.index(0, 0));
  if (!m_allConfirmed) {
    m_extract = false;
    extract_->setEnabled(false);
  }
  extract_->setChecked(m_extract);
  ok_->setText(m_allConfirmed && m_extract ? QStringLiteral("Продолжить") : QStringLiteral("Закрыть"));
  raise();
  activateWindow();
}

void CVerifyProtocolDlg::showDetails() {
  // "\r\n" is one line break on screen; the stored text keeps it as it is.
  QString shown = m_details;
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  detailsEdit_->setPlainText(shown);
}

void CVerifyProtocolDlg::OnRowClicked() {
  const QModelIndexList selected = list_->selectionModel()->selectedRows();
  if (selected.size() != 1) return;
  const int row = selected.first().row();
  const int record = static_cast<int>(records_.size()) - 1 - row;
  if (record < 0) return;
  m_details =
      FormatProtocolSignature(m_fileName, records_[static_cast<std::size_t>(record)], row + 1, false, describer());
  showDetails();
}

void CVerifyProtocolDlg::OnDetails() {
  const QModelIndexList selected = list_->selectionModel()->selectedRows();
  if (selected.size() != 1) return;
  const int record = static_cast<int>(records_.size()) - 1 - selected.first().row();
  if (record < 0) return;
  const QByteArray& certificate = records_[static_cast<std::size_t>(record)].certificate;
  if (certificate.isEmpty()) return;
  if (services_.viewer) {
    services_.viewer(certificate);
  } else {
    library_certificate_viewer()(certificate);
  }
}

void CVerifyProtocolDlg::OnExtractChanged() {
  m_extract = extract_->isChecked();
  ok_->setText(m_extract ? QStringLiteral("Продолжить") : QStringLiteral("Закрыть"));
}

void CVerifyProtocolDlg::OnHelp() {
  if (services_.help) {
    services_.help(kVerifyProtocolHelpContext);
  } else {
    HelpService(shell_service()).show(kVerifyProtocolHelpContext);
  }
}

void CVerifyProtocolDlg::message(const QString& text) {
  services_.prompts->open(text, MB_OK | MB_ICONSTOP | MB_TASKMODAL | MB_SETFOREGROUND, [](int) {});
}

void CVerifyProtocolDlg::openChooser(const QString& document) {
  if (services_.chooser) {
    services_.chooser(document);
    return;
  }
  open_application_chooser(document, services_.shell != nullptr ? *services_.shell : shell_service(), this);
}

void CVerifyProtocolDlg::OnPrint() {
  if (!printLibrary_.loaded()) {
    platform::dynlib_register_name("VTPAGINA.dll", "libVTPagina.so");
    if (!printLibrary_.open("VTPAGINA.dll")) {
      message(QStringLiteral("Не найдена библиотека VTPagina.dll!\n"));
      return;
    }
  }
  if (GetTemplatePath().isEmpty()) {
    message(QStringLiteral("Не задан файл шаблона для печати\n протокола проверки ЭЦП!\n"));
    return;
  }
  if (records_.empty()) return;
  for (auto it = records_.rbegin(); it != records_.rend(); ++it) {
    if (it->status != kSignatureConfirmed) {
      message(QStringLiteral("Обнаружены неподтвержденные подписи!\n"));
      return;
    }
  }
  raise();
  activateWindow();
  std::weak_ptr<bool> alive = alive_;
  services_.prompts->open(QStringLiteral("Распечатать документ с заключением о проверке ЭЦП?\n"),
                          MB_YESNO | MB_ICONQUESTION | MB_TASKMODAL | MB_SETFOREGROUND, [this, alive](int answer) {
                            if (!alive.expired() && answer == IDYES) continuePrint();
                          });
}

void CVerifyProtocolDlg::continuePrint() {
  const QString document = extract_for_outside(m_documentPath);
  if (document.isEmpty()) return;
  ShellService& shell = services_.shell != nullptr ? *services_.shell : shell_service();
  std::string error;
  if (!shell.print(QFile::encodeName(document).toStdString(), &error)) {
    error_text_loader().LogLine(QStringLiteral("lp: %1").arg(QString::fromStdString(error)));
    openChooser(document);
  }
  const QByteArray signatures = StampSignaturesText(records_, describer()).toUtf8();
  const QByteArray fileName = m_fileName.toUtf8();
  const QByteArray templatePath = GetTemplatePath().toUtf8();
  const PrintSignatureList list{fileName.constData(), signatures.constData(), static_cast<int32_t>(records_.size())};
  const PrintListItem second{templatePath.constData(), PRINT_ITEM_TEMPLATE_PATH, nullptr};
  const PrintListItem head{&list, PRINT_ITEM_SIGNATURE_LIST, &second};
  if (auto indents = reinterpret_cast<DllGetPrintIndentsFn>(printLibrary_.symbol("DllGetPrintIndents"))) {
    if (PrintIndents* record = indents()) *record = PrintIndents{200, 200, 200, 200};
  }
  if (auto pagina = reinterpret_cast<DllPaginaFn>(printLibrary_.symbol("DllPagina")))
    pagina(&head, "Штамп заключения о проверке ЭЦП", 1, 0);
}

void CVerifyProtocolDlg::OnOpenDocument() {
  const QString document = extract_for_outside(m_documentPath);
  if (document.isEmpty()) return;
  ShellService& shell = services_.shell != nullptr ? *services_.shell : shell_service();
  std::string error;
  bool noApplication = false;
  if (shell.open(QFile::encodeName(document).toStdString(), &error, &noApplication)) return;
  if (noApplication) {
    openChooser(document);
  } else {
    error_text_loader().LogLine(QStringLiteral("%1: %2").arg(document, QString::fromStdString(error)));
  }
}

}  // namespace dsutils::widgets
