// The decrypt window ("Расшифровать"): every recipient of the enveloped
// message with the certificate found for it (local directory by serial,
// else the LDAP directory by serial and issuer), the executor's row chosen,
// and the name of the decrypted file. A recipient found nowhere is listed
// but cannot be chosen. The file information window ("Информация ...")
// lives here too: it only shows a text.
#pragma once

#include <QDialog>
#include <QString>
#include <memory>

#include "dsutils/engine/crypto_seam_directory.h"
#include "dsutils/engine/engine_helper.h"
#include "dsutils/engine/records.h"
#include "dsutils/engine/ui.h"
#include "dsutils/widgets/sortable_list.h"

class QLineEdit;
class QPushButton;
class QTextEdit;
class QToolButton;

namespace dsutils {
class CryptoSession;
}

namespace dsutils::widgets {

class FileDialogService;
class PromptService;

inline constexpr int kDecryptHelpContext = 71;
inline constexpr const char* kDecryptColumnProfile = "UnEncriptFile";
inline constexpr const char* kDecryptFilter = "Все файлы (*.*)|*.*||";

enum DecryptImage : int { kDecryptOther = 0, kDecryptExecutor = 1, kDecryptRegistered = 2, kDecryptUnknown = 3 };

// The proposed name of the decrypted file: the file to decrypt without an
// exact ".enc" (else the caller's input name), in the "UNENC" result folder
// when its Result is on, else in the folder of the input name.
QString DecryptOutputName(const QString& fileToDecrypt, const QString& inputName, const SortSettings& unenc);

// The four row pictures, drawn here (16 x 16).
QList<QPixmap> decrypt_images();

// What a row carries: the directory entry (or the serial alone, for a
// recipient whose certificate was found nowhere).
class DecryptRecipientRow : public RowData {
 public:
  explicit DecryptRecipientRow(OwnerRecord r) : record(std::move(r)) {}
  OwnerRecord record;
  bool hasCertificate() const { return !record.serNum.isEmpty(); }
};

struct DecryptDialogServices {
  PromptService* prompts = nullptr;               // required
  FileDialogService* files = nullptr;             // null: Qt's dialogs
  std::function<void(int)> help;                  // null: the help pages
  std::function<void(const QByteArray&)> viewer;  // null: the library's certificate viewer
  ColumnWidthProfile* profile = nullptr;          // null: the library's
};

class CDecryptDlg : public QDialog {
 public:
  explicit CDecryptDlg(DecryptDialogServices services, QWidget* parent = nullptr,
                       EngineHelper& helper = engine_helper());
  ~CDecryptDlg() override;

  void setRequest(const DecryptRequest& request);
  // Fills the list and the names (CDecryptDlg::OnInitDialog without the
  // showing); false when the message cannot be read (its error was shown).
  bool OnInitDialog();
  DecryptAnswer answer(bool accepted) const;

  // The state, for tests.
  const QString& outputName() const { return m_output; }
  const QString& inputName() const { return m_input; }
  SortableListCtrl* list() const { return list_; }
  QLineEdit* inputEdit() const { return inputEdit_; }
  QLineEdit* outputEdit() const { return outputEdit_; }
  QPushButton* viewButton() const { return view_; }
  QPushButton* okButton() const { return ok_; }
  QToolButton* browseButton() const { return browse_; }

  void accept() override;  // CDecryptDlg::OnOK

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  bool FillRecipients();
  void OnItemChanged();
  void OnView();
  void OnBrowse();
  void OnHelp();
  void finishAccept();
  const DecryptRecipientRow* selectedRow() const;

  DecryptDialogServices services_;
  EngineHelper& helper_;
  OwnerRecord chosen_;
  QString m_input;
  QString m_output;
  QString m_file;
  std::unique_ptr<CryptoSession> describer_;
  bool describerOpen_ = false;
  std::shared_ptr<bool> alive_;

  QLineEdit* inputEdit_;
  SortableListCtrl* list_;
  QPushButton* view_;
  QLineEdit* outputEdit_;
  QToolButton* browse_;
  QPushButton* ok_;
  QPushButton* help_;
};

// "Информация ...": the file's name and its description, read-only.
class CFileInfoDlg : public QDialog {
 public:
  explicit CFileInfoDlg(QWidget* parent = nullptr);
  void setTexts(const QString& fileName, const QString& description);
  QLineEdit* nameEdit() const { return name_; }
  QTextEdit* descriptionEdit() const { return description_; }
  const QString& description() const { return m_description; }

 private:
  QString m_description;
  QLineEdit* name_;
  QTextEdit* description_;
};

}  // namespace dsutils::widgets
