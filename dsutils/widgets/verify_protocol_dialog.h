// The verification protocol window ("Протокол проверки ЭЦП"): one row per
// signature, last record first, the details of the chosen one, the signer's
// certificate on request, printing the document with its verification stamp
// and opening it, and the box that decides whether the document is
// extracted afterwards.
//
// The texts are pure functions over the records and a certificate describer,
// tested without windows; the window keeps copies of the records (it writes
// "не указана" into a record without a signing time).
#pragma once

#include <QDialog>
#include <QList>
#include <QPixmap>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <vector>

#include "dsutils/engine/crypto_seam_directory.h"
#include "dsutils/engine/signature_record.h"
#include "dsutils/engine/ui.h"
#include "dsutils/widgets/sortable_list.h"
#include "platform/dynlib.h"

class QCheckBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTreeView;

namespace dsutils::widgets {

class PromptService;
class ShellService;

inline constexpr int kVerifyProtocolHelpContext = 70;
inline constexpr int kProtocolImageCount = 9;

// The row picture of a record: 8 for a missing signature, else its status
// (and 4 more for a record of a detached signature file, flag 0).
int ProtocolRowImage(const SignatureRecord& record);
// The nine row pictures, drawn here (16 x 16).
QList<QPixmap> protocol_images();

// The six cells of a record's row at `position` (0 the first row). An empty
// signing time becomes "не указана" in the record itself.
QStringList ProtocolRowCells(int position, SignatureRecord& record, DirectoryCryptoSession* describer);

// The detailed block of one record (CVerifyProtocolDlg::FormatSignature):
// `dialogFile` is the dialog's file name (an "archive : member" name adds
// the archive to every location). Empty for a status without a block.
QString FormatProtocolSignature(const QString& dialogFile, const SignatureRecord& record, int number, bool separated,
                                DirectoryCryptoSession* describer);

// "%d.\t<CN>\r\n\t<T>\r\n\t<O>\r\n" of the signer's certificate; empty when
// the record has none or it cannot be read.
QString SignatureSummaryLine(const SignatureRecord& record, int number, DirectoryCryptoSession* describer);

// The stamp's signatures text: "\r\n" and the summary line of each record,
// last record first, numbered from 1.
QString StampSignaturesText(const std::vector<SignatureRecord>& records, DirectoryCryptoSession* describer);

// Property\Log "Shablon": the print template, empty when none is set.
QString GetTemplatePath();

// Where the window's outside actions go (tests put recorders here).
struct ProtocolServices {
  PromptService* prompts = nullptr;               // required
  ShellService* shell = nullptr;                  // null: the desktop's
  std::function<void(int)> help;                  // null: the help pages
  std::function<void(const QByteArray&)> viewer;  // null: the library's certificate viewer
  // Opens the program chooser for a document (null: the project's chooser).
  std::function<void(const QString&)> chooser;
};

class CVerifyProtocolDlg : public QDialog {
 public:
  explicit CVerifyProtocolDlg(ProtocolServices services, QWidget* parent = nullptr);
  ~CVerifyProtocolDlg() override;

  void setRequest(const VerifyProtocolRequest& request);
  // Certificates are described with this session (default: the dialog's own).
  void setDescriber(DirectoryCryptoSession* describer) { describer_ = describer; }
  VerifyProtocolAnswer answer() const { return VerifyProtocolAnswer{m_extract}; }

  // Fills the window; called by the first show (tests may call it first).
  void OnInitDialog();
  void OnPrint();
  void OnOpenDocument();
  void OnDetails();

  // The stored texts and state.
  const QString& details() const { return m_details; }
  const QString& fileName() const { return m_fileName; }
  const std::vector<SignatureRecord>& records() const { return records_; }
  bool printLibraryLoaded() const { return printLibrary_.loaded(); }

  QTreeView* list() const { return list_; }
  const ListRowModel& rows() const { return rows_; }
  QLineEdit* fileEdit() const { return file_; }
  QPlainTextEdit* detailsEdit() const { return detailsEdit_; }
  QCheckBox* extractBox() const { return extract_; }
  QPushButton* okButton() const { return ok_; }
  QPushButton* printButton() const { return print_; }
  QPushButton* openButton() const { return open_; }
  QPushButton* detailsButton() const { return detailsButton_; }

 protected:
  void showEvent(QShowEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void OnRowClicked();
  void OnExtractChanged();
  void OnHelp();
  void showDetails();
  void continuePrint();
  void openChooser(const QString& document);
  void closePrinting();
  void message(const QString& text);
  DirectoryCryptoSession* describer();

  ProtocolServices services_;
  std::vector<SignatureRecord> records_;
  bool m_allConfirmed = false;
  QString m_fileName;
  QString m_details;
  bool m_extract = false;
  QString m_documentPath;
  DirectoryCryptoSession* describer_ = nullptr;
  std::unique_ptr<DirectoryCryptoSession> ownSession_;
  bool ownOpened_ = false;
  platform::DynLib printLibrary_;
  bool initialised_ = false;
  std::shared_ptr<bool> alive_;

  ListRowModel rows_;
  QLineEdit* file_;
  QTreeView* list_;
  QPlainTextEdit* detailsEdit_;
  QCheckBox* extract_;
  QPushButton* detailsButton_;
  QPushButton* open_;
  QPushButton* print_;
  QPushButton* ok_;
  QPushButton* help_;
};

}  // namespace dsutils::widgets
