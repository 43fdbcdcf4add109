// The recipients page (" Получатели ") of the operation sheet: the local
// certificate directory on one side, the recipients on the other; the
// recipients saved last time come preselected, and the saved list is kept
// up to date without ever losing a name whose certificate is still there.
#pragma once

#include <QString>
#include <QStringList>
#include <memory>
#include <vector>

#include "dsutils/engine/crypto_seam_directory.h"
#include "dsutils/engine/engine_helper.h"
#include "dsutils/engine/records.h"
#include "dsutils/widgets/encrypt_pages.h"
#include "dsutils/widgets/operation_sheet.h"
#include "dsutils/widgets/sortable_list.h"

class QPushButton;

namespace dsutils::widgets {

class PromptService;

// The images of the rows.
enum RecipientImage : int { kImageOtherUser = 0, kImageExecutor = 1, kImagePersonal = 2 };

// What a row of either list carries: the directory entry it stands for.
class RecipientRow : public RowData {
 public:
  explicit RecipientRow(OwnerRecord r) : record(std::move(r)) {}
  OwnerRecord record;
};

// The seven columns of a list of certificates (number, owner, issuer,
// serial, validity, alias); the decrypt window's list has the same ones.
std::vector<ListColumn> recipient_columns();
// The seven columns' texts of one described certificate.
QStringList recipient_cells(int number, const CertificateInfo& info, const QString& alias);
// The three row pictures, drawn here (16 x 16).
QList<QPixmap> recipient_images();

class CRecipientsPage : public SheetPage {
 public:
  explicit CRecipientsPage(PromptService& prompts, QWidget* parent = nullptr);
  ~CRecipientsPage() override;

  // The directory names of the recipients, in the recipients list's row
  // order; filled when the sheet closes with OK.
  const QStringList& results() const { return results_; }

  void setHelper(EngineHelper* helper) { helper_ = helper; }
  // Describes certificates (the page's own toolkit session unless a test
  // sets another).
  void setDescriber(DirectoryCryptoSession* session) { describer_ = session; }
  void setViewer(CertificateViewer viewer) { viewer_ = std::move(viewer); }
  // Where both lists keep their column widths.
  void setProfile(ColumnWidthProfile* profile);

  void initPage() override;
  bool validatePage() override;
  void closePage() override;

  void OnAdd();
  void OnRemove();
  void OnClear();
  void OnView();

  SortableListCtrl* directoryList() const { return directory_; }
  SortableListCtrl* recipientsList() const { return recipients_; }
  QPushButton* addButton() const { return add_; }
  QPushButton* removeButton() const { return remove_; }
  QPushButton* clearButton() const { return clear_; }
  QPushButton* viewButton() const { return view_; }
  // Whether every directory entry could be listed (no undecodable
  // certificate, the executor described) and the saved list was readable.
  bool fillComplete() const { return fillComplete_; }
  bool savedListReadable() const { return savedReadable_; }
  // 1 when the directory list had the focus last, 0 the recipients list.
  int focusFlag() const { return focusDirectory_ ? 1 : 0; }

 private:
  void FillDirectoryList();
  void LoadSavedRecipients();
  // Moves the selected rows of `from` to the end of `to`, in row order.
  void moveSelected(SortableListCtrl& from, SortableListCtrl& to);
  void onFocusChanged(QWidget* old, QWidget* now);
  void updateButtonsFor(SortableListCtrl* list);
  EngineHelper& helper() { return helper_ != nullptr ? *helper_ : engine_helper(); }
  static const OwnerRecord* recordOf(const SortableListCtrl& list, int row);

  PromptService& prompts_;
  EngineHelper* helper_ = nullptr;
  DirectoryCryptoSession* describer_ = nullptr;
  std::unique_ptr<DirectoryCryptoSession> ownSession_;
  CertificateViewer viewer_;
  QStringList results_;
  QString executorName_;  // the executor's entry, empty when none
  bool fillComplete_ = true;
  bool savedReadable_ = true;
  bool focusDirectory_ = true;
  bool initialised_ = false;
  QMetaObject::Connection focusWatch_;
  SortableListCtrl* directory_;
  SortableListCtrl* recipients_;
  QPushButton* add_;
  QPushButton* remove_;
  QPushButton* clear_;
  QPushButton* view_;
};

}  // namespace dsutils::widgets
