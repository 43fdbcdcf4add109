#include "dsutils/widgets/recipients_page.h"

#include <QApplication>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QItemSelectionModel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

#include "dsutils/engine/crypto_session.h"
#include "dsutils/widgets/author_list.h"
#include "dsutils/widgets/certificate_viewer_loader.h"
#include "dsutils/widgets/prompt_service.h"
#include "platform/codepage/codepage.h"
#include "platform/registry/registry_key.h"

namespace dsutils::widgets {

namespace {

// Value names longer than this are not the directory's serial texts.
constexpr qsizetype kMaxValueName = 256;

// The toolkit's texts are in the local code page.
QString local_text(const QByteArray& text) {
  return QString::fromStdString(platform::ansi_to_utf8(std::string_view(text.constData(), text.size())));
}

QPixmap person_image(const QColor& body, const QColor& mark) {
  QPixmap picture(16, 16);
  picture.fill(Qt::transparent);
  QPainter p(&picture);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(body);
  p.drawEllipse(QRectF(5, 1, 6, 6));
  p.drawRoundedRect(QRectF(2.5, 8, 11, 7), 3, 3);
  if (mark.isValid()) {
    p.setBrush(mark);
    p.drawEllipse(QRectF(10, 9, 6, 6));
  }
  return picture;
}

// The personal entries of the directory, in the store's order.
bool owner_entry_at(EngineHelper& helper, std::uint32_t index, QString& name) {
  return helper.EnumOwnerEntry(index, name);
}

}  // namespace

std::vector<ListColumn> recipient_columns() {
  return {
      {QStringLiteral("№"), Qt::AlignHCenter, 20},
      {QStringLiteral("Владелец"), Qt::AlignLeft, 200},
      {QStringLiteral("Издатель"), Qt::AlignLeft, 100},
      {QStringLiteral("Серийный номер"), Qt::AlignLeft, 100},
      {QStringLiteral("Начало периода"), Qt::AlignLeft, 100},
      {QStringLiteral("Конец периода"), Qt::AlignLeft, 100},
      {QStringLiteral("Псевдоним"), Qt::AlignLeft, 200},
  };
}

QStringList recipient_cells(int number, const CertificateInfo& info, const QString& alias) {
  const QString cn = local_text(info.subject.CN);
  const QString owner =
      info.subject.Email.isEmpty() ? cn : QStringLiteral("%1 <%2>").arg(cn, local_text(info.subject.Email));
  return {
      QString::number(number),   owner, local_text(info.issuer.CN), local_text(info.serial), local_text(info.notBefore),
      local_text(info.notAfter), alias};
}

QList<QPixmap> recipient_images() {
  return {person_image(QColor(70, 110, 170), QColor()), person_image(QColor(60, 140, 60), QColor(220, 170, 30)),
          person_image(QColor(60, 140, 60), QColor())};
}

CRecipientsPage::CRecipientsPage(PromptService& prompts, QWidget* parent)
    : SheetPage(parent),
      prompts_(prompts),
      directory_(new SortableListCtrl(this)),
      recipients_(new SortableListCtrl(this)),
      add_(new QPushButton(QStringLiteral("Добавить"), this)),
      remove_(new QPushButton(QStringLiteral("Удалить"), this)),
      clear_(new QPushButton(QStringLiteral("Очистить"), this)),
      view_(new QPushButton(QStringLiteral("Просмотр"), this)) {
  viewer_ = library_certificate_viewer();
  directory_->setObjectName(QStringLiteral("list213"));
  recipients_->setObjectName(QStringLiteral("list223"));
  add_->setObjectName(QStringLiteral("button210"));
  remove_->setObjectName(QStringLiteral("button211"));
  clear_->setObjectName(QStringLiteral("button214"));
  view_->setObjectName(QStringLiteral("button212"));
  for (QPushButton* b : {add_, remove_, clear_, view_}) b->setAutoDefault(false);
  directory_->SetProfileEntry(QStringLiteral("ViewCertInputEnc"));
  recipients_->SetProfileEntry(QStringLiteral("ViewCertOutputEnc"));

  auto* directoryBox = new QGroupBox(QStringLiteral(" Локальный справочник сертификатов "), this);
  auto* directoryLayout = new QVBoxLayout(directoryBox);
  directoryLayout->addWidget(directory_);
  auto* recipientsBox = new QGroupBox(QStringLiteral(" Сертификаты получателей "), this);
  auto* recipientsLayout = new QVBoxLayout(recipientsBox);
  recipientsLayout->addWidget(recipients_);
  auto* buttons = new QHBoxLayout();
  buttons->addWidget(add_);
  buttons->addWidget(remove_);
  buttons->addWidget(clear_);
  buttons->addStretch(1);
  buttons->addWidget(view_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(directoryBox, 1);
  layout->addLayout(buttons);
  layout->addWidget(recipientsBox, 1);

  connect(add_, &QPushButton::clicked, this, [this] { OnAdd(); });
  connect(remove_, &QPushButton::clicked, this, [this] { OnRemove(); });
  connect(clear_, &QPushButton::clicked, this, [this] { OnClear(); });
  connect(view_, &QPushButton::clicked, this, [this] { OnView(); });
  connect(directory_, &QAbstractItemView::doubleClicked, this, [this] { OnAdd(); });
  connect(recipients_, &QAbstractItemView::doubleClicked, this, [this] { OnRemove(); });
  focusWatch_ = connect(qApp, &QApplication::focusChanged, this,
                        [this](QWidget* old, QWidget* now) { onFocusChanged(old, now); });
  // A row chosen in the list that has the focus enables its button at once
  // (the focus arrives before the click's selection).
  for (SortableListCtrl* list : {directory_, recipients_}) {
    connect(list->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this, list] {
      if (list->hasFocus()) updateButtonsFor(list);
    });
  }
  add_->setEnabled(false);
  remove_->setEnabled(false);
  clear_->setEnabled(false);
}

CRecipientsPage::~CRecipientsPage() {
  // The children's destruction moves the focus: this object no longer hears it.
  QObject::disconnect(focusWatch_);
  if (!initialised_) return;
  directory_->SaveColumnWidths();
  recipients_->SaveColumnWidths();
}

void CRecipientsPage::setProfile(ColumnWidthProfile* profile) {
  directory_->setProfile(profile);
  recipients_->setProfile(profile);
}

const OwnerRecord* CRecipientsPage::recordOf(const SortableListCtrl& list, int row) {
  if (row < 0 || row >= list.rows().rowCount()) return nullptr;
  const auto* carried = dynamic_cast<const RecipientRow*>(list.rows().row(row).data.get());
  return carried != nullptr ? &carried->record : nullptr;
}

void CRecipientsPage::initPage() {
  if (initialised_) return;
  initialised_ = true;
  if (describer_ == nullptr) {
    ownSession_ = std::make_unique<CryptoSession>();
    describer_ = ownSession_.get();
  }
  const QList<QPixmap> images = recipient_images();
  for (SortableListCtrl* list : {directory_, recipients_}) {
    list->rows().setImages(images);
    list->InsertColumns(recipient_columns());
    list->RestoreColumnWidths();
  }
  FillDirectoryList();
  LoadSavedRecipients();
  directory_->AutoSizeAllColumns();
  recipients_->AutoSizeAllColumns();
}

void CRecipientsPage::FillDirectoryList() {
  EngineHelper& h = helper();
  // One start of the crypto library for the whole fill: each description
  // would otherwise start and stop it (token SDK and all) on its own.
  const bool opened = describer_->Open() == 0;
  struct CloseAfter {
    DirectoryCryptoSession* session;
    bool opened;
    ~CloseAfter() {
      if (opened) session->Close();
    }
  } closeAfter{describer_, opened};
  fillComplete_ = true;
  executorName_.clear();
  DistinguishedName executorIssuer;
  bool executorDescribed = false;
  OwnerRecord executor;
  if (h.GetOwnerRecord(executor)) {
    executorName_ = executor.name;
    CertificateInfo info;
    if (describer_->GetCertificateInfo(executor.serNum, info) == 0) {
      executorDescribed = true;
      executorIssuer = info.issuer;
    } else {
      // Listed as if there were no executor; what is saved stays as it is.
      fillComplete_ = false;
    }
  }

  std::vector<ListRow> rows;
  QString name;
  QByteArray bytes;
  // The aliases' key opened once for the whole list (as GetUserProfile reads it).
  platform::reg::RegistryKey aliases;
  const bool haveAliases =
      aliases.OpenKey(platform::reg::HKEY_CURRENT_USER, std::string(kProductKey) + "\\Certificats\\Users\\Profile");
  const auto alias_of = [&](const QString& valueName) {
    std::string text;
    return haveAliases && aliases.QueryString(valueName.toStdString(), text) ? QString::fromStdString(text) : QString();
  };
  for (std::uint32_t i = 0; h.EnumUserCertificate(i, name, bytes); ++i) {
    if (name.isEmpty() || name.size() > kMaxValueName) continue;
    CertificateInfo info;
    if (describer_->GetCertificateInfo(bytes, info) != 0) {
      fillComplete_ = false;  // left out, but still in the directory
      continue;
    }
    OwnerRecord record;
    record.name = name;
    record.profile = alias_of(name);
    record.serNum = bytes;
    ListRow row;
    row.cells = recipient_cells(static_cast<int>(rows.size()) + 1, info, record.profile);
    row.image = kImageOtherUser;
    row.data = std::make_unique<RecipientRow>(std::move(record));
    rows.push_back(std::move(row));
  }

  QString entry;
  for (std::uint32_t i = 0; owner_entry_at(h, i, entry); ++i) {
    if (entry.isEmpty() || entry.size() > kMaxOwnerEntryName) continue;
    OwnerRecord record;
    record.name = entry;
    CertificateInfo info;
    if (!h.GetOwnerRecord(record) || describer_->GetCertificateInfo(record.serNum, info) != 0) {
      fillComplete_ = false;
      continue;
    }
    int image = kImageOtherUser;
    if (executorDescribed) {
      image = local_text(info.serial) == executorName_ && EngineHelper::CompareNames(info.issuer, executorIssuer) != 0
                  ? kImageExecutor
                  : kImagePersonal;
    }
    ListRow row;
    row.cells = recipient_cells(static_cast<int>(rows.size()) + 1, info, record.profile);
    row.image = image;
    row.data = std::make_unique<RecipientRow>(std::move(record));
    rows.push_back(std::move(row));
  }
  directory_->setUpdatesEnabled(false);
  directory_->rows().appendRows(std::move(rows));
  directory_->setUpdatesEnabled(true);
  directory_->AutoSizeAllColumns();
}

void CRecipientsPage::LoadSavedRecipients() {
  EngineHelper& h = helper();
  std::uint32_t isAuto = 0;
  QStringList saved;
  SavedListState state = SavedListState::Unreadable;
  if (!h.GetEncryptSettings(isAuto, saved, &state)) state = SavedListState::Unreadable;
  savedReadable_ = state != SavedListState::Unreadable;
  if (!savedReadable_) return;  // nothing is known of the list: it is neither used nor touched

  QStringList kept;
  bool dropped = false;
  for (const QString& name : saved) {
    bool found = false;
    for (int r = 0; r < directory_->rows().rowCount();) {
      const OwnerRecord* record = recordOf(*directory_, r);
      if (record == nullptr || record->name != name) {
        ++r;
        continue;
      }
      found = true;
      const int before = directory_->rows().rowCount();
      directory_->setFocus();
      directory_->clearSelection();
      directory_->selectRow(r, true);
      moveSelected(*directory_, *recipients_);
      // The rows after it moved up by one: look at the same position again.
      if (directory_->rows().rowCount() == before) ++r;
    }
    if (found) {
      kept.append(name);
      continue;
    }
    // A name is dropped only when its entry is really gone from the
    // directory, not when it merely could not be listed.
    QByteArray certificate;
    if (h.LoadDirectoryCertificate(name, certificate)) {
      kept.append(name);
    } else {
      dropped = true;
    }
  }
  if (dropped && fillComplete_) h.SetEncryptUsers(kept);
  add_->setEnabled(false);
  clear_->setEnabled(recipients_->rows().rowCount() > 0);
}

void CRecipientsPage::moveSelected(SortableListCtrl& from, SortableListCtrl& to) {
  const std::vector<int> selected = from.selectedRowList();
  if (selected.empty()) return;
  std::vector<ListRow> moving(selected.size());
  // Taken from the last so the earlier positions stay valid.
  for (auto i = selected.size(); i-- > 0;) moving[i] = from.rows().takeRow(selected[i]);
  const int first = to.rows().rowCount();
  for (std::size_t i = 0; i < moving.size(); ++i) {
    if (moving[i].cells.isEmpty()) moving[i].cells.append(QString());
    moving[i].cells[0] = QString::number(first + static_cast<int>(i) + 1);
  }
  to.rows().appendRows(std::move(moving));
  from.rows().renumber(0, selected.front());
  to.AutoSizeAllColumns();
}

void CRecipientsPage::OnAdd() {
  moveSelected(*directory_, *recipients_);
  add_->setEnabled(false);
  clear_->setEnabled(recipients_->rows().rowCount() > 0);
}

void CRecipientsPage::OnRemove() {
  moveSelected(*recipients_, *directory_);
  remove_->setEnabled(false);
  clear_->setEnabled(recipients_->rows().rowCount() > 0);
}

void CRecipientsPage::OnClear() {
  recipients_->selectAll();
  moveSelected(*recipients_, *directory_);
  remove_->setEnabled(false);
  clear_->setEnabled(false);
}

void CRecipientsPage::OnView() {
  const std::vector<int> selected = recipients_->selectedRowList();
  if (selected.size() != 1 || !viewer_) return;
  if (const OwnerRecord* record = recordOf(*recipients_, selected.front())) viewer_(record->serNum);
}

void CRecipientsPage::updateButtonsFor(SortableListCtrl* list) {
  const bool has = !list->selectedRowList().empty();
  if (list == directory_) {
    add_->setEnabled(has);
    remove_->setEnabled(false);
  } else {
    remove_->setEnabled(has);
    add_->setEnabled(false);
  }
}

void CRecipientsPage::onFocusChanged(QWidget* old, QWidget* now) {
  if (now == directory_ || now == recipients_) {
    focusDirectory_ = now == directory_;
    updateButtonsFor(static_cast<SortableListCtrl*>(now));
  }
  if (old == directory_ && now != add_) add_->setEnabled(false);
  if (old == recipients_ && now != remove_) remove_->setEnabled(false);
}

bool CRecipientsPage::validatePage() {
  const int count = recipients_->rows().rowCount();
  if (count > 1) return true;
  if (count == 1) {
    const OwnerRecord* record = recordOf(*recipients_, 0);
    // One recipient who is not the executor: with no executor set the one
    // listed certificate is as good a recipient as any.
    if (record != nullptr && (executorName_.isEmpty() || record->name != executorName_)) return true;
    const int answer = page_message(
        prompts_,
        QStringLiteral("В списке получателей задан только сертификат Исполнителя!\n\nДобавить других получателей?"),
        MB_YESNO | MB_ICONQUESTION);
    return answer != IDYES;
  }
  page_message(prompts_, QStringLiteral("Не заданы сертификаты получателей!"), MB_OK | MB_ICONSTOP);
  return false;
}

void CRecipientsPage::closePage() {
  results_.clear();
  recipients_->SaveColumnWidths();
  for (int r = 0; r < recipients_->rows().rowCount(); ++r) {
    if (const OwnerRecord* record = recordOf(*recipients_, r)) results_.append(record->name);
  }
  setEnabled(false);
}

}  // namespace dsutils::widgets
