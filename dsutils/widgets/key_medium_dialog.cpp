#include "dsutils/widgets/key_medium_dialog.h"

#include <sys/stat.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>
#include <mutex>

#include "dsutils/engine/crypto_session.h"
#include "dsutils/widgets/certificate_viewer_loader.h"
#include "dsutils/widgets/file_dialog_service.h"
#include "dsutils/widgets/folder_browser.h"
#include "dsutils/widgets/key_file_dialog.h"
#include "dsutils/widgets/prompt_service.h"
#include "platform/codepage/codepage.h"
#include "platform/codepage/native_path.h"

namespace dsutils::widgets {

namespace {

std::mutex g_opener_lock;
KeyFileOpener g_opener;

constexpr unsigned kInsertFlags = MB_RETRYCANCEL | MB_ICONEXCLAMATION | MB_TASKMODAL | MB_SETFOREGROUND;

// The Linux folder a stored medium text names, for the folder chooser; the
// text itself when it has none.
QString folder_of(const QString& medium) {
  const std::optional<std::string> native = platform::native_path(platform::utf8_to_ansi(medium.toStdString()));
  return native ? QString::fromStdString(*native) : medium;
}

// Asks with Retry/Cancel until `test` passes: done(true) then; on Cancel
// `cancelled` runs and done(false).
class RetryWait : public std::enable_shared_from_this<RetryWait> {
 public:
  RetryWait(PromptService& prompts, std::function<bool()> test, std::function<void()> cancelled,
            std::function<void(bool)> done)
      : prompts_(prompts), test_(std::move(test)), cancelled_(std::move(cancelled)), done_(std::move(done)) {}

  void run() {
    if (test_()) {
      done_(true);
      return;
    }
    prompts_.open(QString::fromUtf8(kInsertMediumText), kInsertFlags, [self = shared_from_this()](int answer) {
      if (answer == IDRETRY) {
        self->run();
        return;
      }
      if (self->cancelled_) self->cancelled_();
      self->done_(false);
    });
  }

 private:
  PromptService& prompts_;
  std::function<bool()> test_;
  std::function<void()> cancelled_;
  std::function<void(bool)> done_;
};

}  // namespace

bool SessionMediumProbe::mediumPresent(const QString& path) { return session_.IsKeyMediumPresent(path) == 1; }
void SessionMediumProbe::openToolkit() { session_.Open(); }
bool SessionMediumProbe::tokenPresent(const QString& path) { return session_.IsTokenPresent(path) == 1; }
void SessionMediumProbe::closeToolkit() { session_.Close(); }
bool SessionMediumProbe::removablePresent() {
  const std::optional<std::string> medium = platform::native_path("A:\\");
  struct stat st {};
  return medium && ::stat(medium->c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

MediumProbe& session_medium_probe() {
  static SessionMediumProbe probe(global_crypto_session());
  return probe;
}

MediumClass ClassifyMedium(const QString& path) {
  if (path.size() > kMaxMediumPath) return MediumClass::Invalid;
  for (const QChar c : path) {
    const char16_t u = c.unicode();
    if (u < 0x20 || (u >= 0x7F && u <= 0x9F)) return MediumClass::Invalid;
  }
  if (path.startsWith(QLatin1String("vexil"))) return MediumClass::Token;
  if (path.startsWith(QLatin1String("ibutton"))) return MediumClass::IButton;
  return MediumClass::Path;
}

bool IsMediumMissing(const QString& path, MediumProbe& probe) {
  return ClassifyMedium(path) == MediumClass::Invalid || !probe.mediumPresent(path);
}

void AcceptMedium(const QString& path, MediumProbe& probe, PromptService& prompts, std::function<void(bool)> done) {
  const auto notFound = [&prompts, &done] {
    prompts.open(QString::fromUtf8(kMediumNotFoundText), MB_OK | MB_ICONSTOP,
                 [done = std::move(done)](int) { done(false); });
  };
  switch (ClassifyMedium(path)) {
    case MediumClass::Invalid:
      notFound();
      return;
    case MediumClass::IButton:
      done(true);
      return;
    case MediumClass::Token: {
      probe.openToolkit();
      MediumProbe* p = &probe;
      auto wait = std::make_shared<RetryWait>(
          prompts,
          [p, path] {
            if (!p->tokenPresent(path)) return false;
            p->closeToolkit();
            return true;
          },
          [p] { p->closeToolkit(); }, std::move(done));
      wait->run();
      return;
    }
    case MediumClass::Path:
      break;
  }
  if (probe.mediumPresent(path)) {
    done(true);
    return;
  }
  // The drive of removable media: its folder is not tested again once a
  // medium is there.
  if (path.startsWith(QLatin1Char('a')) || path.startsWith(QLatin1Char('A'))) {
    MediumProbe* p = &probe;
    auto wait = std::make_shared<RetryWait>(
        prompts, [p] { return p->removablePresent(); }, nullptr, std::move(done));
    wait->run();
    return;
  }
  notFound();
}

void setKeyFileOpener(KeyFileOpener opener) {
  std::lock_guard lock(g_opener_lock);
  g_opener = std::move(opener);
}

const QStringList& CKeyMediumDlg::mediumEntries() {
  static const QStringList entries{QStringLiteral("A:\\"), QStringLiteral("C:\\"), QStringLiteral("vexil:\\"),
                                   QStringLiteral("ibutton:\\")};
  return entries;
}

CKeyMediumDlg::CKeyMediumDlg(MediumProbe& probe, PromptService& prompts, QWidget* parent, FileDialogService* files)
    : QDialog(parent), probe_(probe), prompts_(prompts), files_(files), alive_(std::make_shared<bool>(true)) {
  setObjectName(QStringLiteral("CKeyMediumDlg"));
  setWindowTitle(QStringLiteral("Установите ключевой носитель"));

  auto* ownerBox = new QGroupBox(QStringLiteral(" Владелец ключа "));
  owner_ = new QLineEdit();
  owner_->setObjectName(QStringLiteral("owner"));
  owner_->setReadOnly(true);
  view_ = new QPushButton(QStringLiteral("Просмотр"));
  view_->setObjectName(QStringLiteral("view"));
  auto* ownerRow = new QHBoxLayout(ownerBox);
  ownerRow->addWidget(owner_, 1);
  ownerRow->addWidget(view_);

  sczi_ = new QCheckBox(QStringLiteral("Ключи в формате СКЗИ"));
  sczi_->setObjectName(QStringLiteral("sczi"));

  auto* mediumBox = new QGroupBox(QStringLiteral(" Каталог ключевого носителя "));
  combo_ = new QComboBox();
  combo_->setObjectName(QStringLiteral("medium"));
  combo_->setEditable(true);
  combo_->setInsertPolicy(QComboBox::NoInsert);
  combo_->addItems(mediumEntries());
  combo_->setMinimumContentsLength(24);
  browse_ = new QToolButton();
  browse_->setObjectName(QStringLiteral("browse"));
  browse_->setText(QStringLiteral("..."));
  keyFile_ = new QPushButton(QStringLiteral("Секретный ключ"));
  keyFile_->setObjectName(QStringLiteral("keyFile"));
  auto* mediumRow = new QHBoxLayout(mediumBox);
  mediumRow->addWidget(combo_, 1);
  mediumRow->addWidget(browse_);
  mediumRow->addWidget(keyFile_);

  auto* buttons = new QDialogButtonBox();
  buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole)->setDefault(true);
  buttons->addButton(QStringLiteral("Отмена"), QDialogButtonBox::RejectRole);
  connect(buttons, &QDialogButtonBox::accepted, this, &CKeyMediumDlg::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(ownerBox);
  layout->addWidget(sczi_);
  layout->addWidget(mediumBox);
  layout->addWidget(buttons);

  connect(combo_, qOverload<int>(&QComboBox::activated), this, &CKeyMediumDlg::OnMediumChange);
  connect(browse_, &QToolButton::clicked, this, &CKeyMediumDlg::OnBrowseFolder);
  connect(keyFile_, &QPushButton::clicked, this, &CKeyMediumDlg::OnKeyFile);
  connect(view_, &QPushButton::clicked, this, &CKeyMediumDlg::OnViewCertificate);
  connect(sczi_, &QCheckBox::clicked, this, &CKeyMediumDlg::OnSczi);
}

CKeyMediumDlg::~CKeyMediumDlg() { *alive_ = false; }

void CKeyMediumDlg::setRequest(const KeyMediumRequest& request) {
  m_ownerName = request.profile;
  m_mediumPath = request.mediumPath;
  m_keyFile = request.keyFile;
  m_sczi = request.keyFormat31 ? 1 : 0;
  m_certificate = request.certificate;
}

KeyMediumAnswer CKeyMediumDlg::answer(bool accepted) const {
  return KeyMediumAnswer{accepted, m_mediumPath, m_keyFile, m_sczi != 0};
}

void CKeyMediumDlg::showEvent(QShowEvent* event) {
  if (!initialised_) {
    initialised_ = true;
    OnInitDialog();
  }
  QDialog::showEvent(event);
}

void CKeyMediumDlg::OnInitDialog() {
  if (m_mediumPath.isEmpty()) m_mediumPath = mediumEntries().first();
  showMembers();
  applyKeyFileRule();
  raise();
  activateWindow();
}

void CKeyMediumDlg::takeControls() {
  m_mediumPath = combo_->currentText();
  m_sczi = sczi_->isChecked() ? 1 : 0;
}

void CKeyMediumDlg::showMembers() {
  owner_->setText(m_ownerName);
  sczi_->setChecked(m_sczi != 0);
  combo_->setCurrentIndex(static_cast<int>(mediumEntries().indexOf(m_mediumPath)));
  combo_->setEditText(m_mediumPath);
}

void CKeyMediumDlg::applyKeyFileRule() { keyFile_->setVisible(!(m_sczi != 0 && m_certificate.isEmpty())); }

void CKeyMediumDlg::OnMediumChange(int index) { browse_->setVisible(index >= 0 && index < 2); }

void CKeyMediumDlg::OnSczi() {
  takeControls();
  applyKeyFileRule();
}

void CKeyMediumDlg::OnBrowseFolder() {
  takeControls();
  if (browser_ && browser_->dialog() != nullptr) return;
  browser_ = std::make_unique<InitialFolderBrowser>(this, QStringLiteral("Укажите путь к ключевому носителю"));
  browser_->SetFlags(BIF_RETURNONLYFSDIRS | BIF_STATUSTEXT);
  browser_->SetInitialFolder(folder_of(m_mediumPath));
  std::weak_ptr<bool> alive = alive_;
  browser_->Open([this, alive](bool chosen) {
    if (alive.expired() || !chosen) return;
    m_mediumPath = browser_->GetFolderPath();
    showMembers();
  });
}

void CKeyMediumDlg::OnKeyFile() {
  takeControls();
  KeyFileOpener opener;
  {
    std::lock_guard lock(g_opener_lock);
    opener = g_opener;
  }
  std::weak_ptr<bool> alive = alive_;
  auto done = [this, alive](std::optional<QString> file) {
    if (alive.expired() || !file) return;
    m_keyFile = *file;
  };
  if (opener) {
    opener(this, m_mediumPath, m_keyFile, std::move(done));
    return;
  }
  static QtFileDialogService qtFiles;
  auto* dlg = new CKeyFileDlg(files_ != nullptr ? *files_ : qtFiles, this);
  dlg->setAttribute(Qt::WA_DeleteOnClose);
  dlg->setMediumFolder(m_mediumPath);
  dlg->setKeyFile(m_keyFile);
  connect(dlg, &QDialog::finished, this, [dlg, done = std::move(done)](int result) {
    done(result == QDialog::Accepted ? std::optional<QString>(dlg->keyFile()) : std::nullopt);
  });
  dlg->open();
}

void CKeyMediumDlg::OnViewCertificate() {
  if (m_certificate.isEmpty()) return;
  if (!viewer_) viewer_ = std::make_unique<CertificateViewerLoader>();
  viewer_->ShowBuffer(m_certificate);
}

void CKeyMediumDlg::accept() {
  if (checking_) return;
  takeControls();
  checking_ = true;
  std::weak_ptr<bool> alive = alive_;
  AcceptMedium(m_mediumPath, probe_, prompts_, [this, alive](bool accepted) {
    if (alive.expired()) return;
    checking_ = false;
    if (accepted) QDialog::accept();
  });
}

}  // namespace dsutils::widgets
