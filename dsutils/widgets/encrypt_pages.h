// The first pages (" Документ ") of the operation sheet: the encrypt page
// names the encrypted output; the sign page chooses the author, the
// signature options and the output of signing and then encrypting.
#pragma once

#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "dsutils/engine/engine_helper.h"
#include "dsutils/engine/records.h"
#include "dsutils/widgets/operation_sheet.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QToolButton;

namespace dsutils::widgets {

class FileDialogService;
class PromptService;

// The sorting code whose settings place the pages' outputs.
inline constexpr const char* kEncryptSortCode = "ENC";

// The default output of the encrypt page: beside the input, or in
// ResultPath when the "ENC" settings say Result 1; "*.enc" for a group.
QString encrypt_page_output(const QString& input, bool group, const SortSettings& enc);
// ".sga.enc" or ".sgn.enc".
QString sign_page_extension(bool detached);
// The default output of the sign page. Under the folder rule with
// ErrorExist 1 a one-file name is replaced by `unique` of it.
QString sign_page_output(const QString& document, bool group, bool detached, const SortSettings& enc,
                         const std::function<QString(const QString&)>& unique);
// The detached box ticked or cleared: a name ending ".sgn.enc"/".sga.enc"
// gets the form's extension; any other name stays as it is.
QString sign_page_format_change(const QString& output, bool detached);

// A "..." browse button (the pictures of the product's browse buttons).
QToolButton* make_browse_button(QWidget* parent);

class CEncryptFilePage : public SheetPage {
 public:
  CEncryptFilePage(PromptService& prompts, FileDialogService& files, QWidget* parent = nullptr);

  // Set by the operation before the sheet runs.
  void setGroup(bool group) { group_ = group; }
  void setInput(const QString& input) { input_ = input; }
  // Read by the operation after OK.
  const QString& outputName() const { return outputName_; }

  // Whether a file of the output name exists: the toolkit's medium test
  // (CryptoSession::IsKeyMediumPresent) unless a test sets another.
  void setExistenceTest(std::function<bool(const QString&)> test) { exists_ = std::move(test); }
  void setHelper(EngineHelper* helper) { helper_ = helper; }

  void initPage() override;
  bool validatePage() override;
  void closePage() override;
  void OnBrowse();

  QLineEdit* inputEdit() const { return inputEdit_; }
  QLineEdit* outputEdit() const { return outputEdit_; }
  QToolButton* browseButton() const { return browse_; }

 private:
  void updateData();  // the controls' values into the members
  void showMembers();

  PromptService& prompts_;
  FileDialogService& files_;
  EngineHelper* helper_ = nullptr;
  std::function<bool(const QString&)> exists_;
  bool group_ = false;
  QString input_;
  QString outputName_;
  QLineEdit* inputEdit_;
  QLineEdit* outputEdit_;
  QToolButton* browse_;
};

// Lists the personal certificates in a combo (item text the alias, item data
// the index of the record in `authors`), the executor selected.
using AuthorListFiller = std::function<void(QComboBox& combo, std::vector<OwnerRecord>& authors)>;
// Shows a certificate in the outside viewer.
using CertificateViewer = std::function<void(const QByteArray& certificate)>;

// The outside viewer (CertificateViewerLoader), loaded once for the process.
CertificateViewer library_certificate_viewer();

class CSignPage : public SheetPage {
 public:
  CSignPage(PromptService& prompts, QWidget* parent = nullptr);

  void setGroup(bool group) { group_ = group; }
  void setDocument(const QString& document) { document_ = document; }

  const std::optional<OwnerRecord>& author() const { return author_; }
  const QString& outputName() const { return outputName_; }
  bool detached() const { return detached_; }
  bool includeCertificate() const { return includeCertificate_; }
  bool includeSigningTime() const { return includeSigningTime_; }

  void setAuthorFiller(AuthorListFiller filler) { fillAuthors_ = std::move(filler); }
  void setViewer(CertificateViewer viewer) { viewer_ = std::move(viewer); }
  // EngineHelper::FileExists unless a test sets another.
  void setExistenceTest(std::function<bool(const QString&)> test) { exists_ = std::move(test); }
  void setHelper(EngineHelper* helper) { helper_ = helper; }
  void setUniqueName(std::function<QString(const QString&)> unique) { unique_ = std::move(unique); }

  void initPage() override;
  bool validatePage() override;
  void closePage() override;
  void OnFormatChange();
  void OnViewCertificate();

  QComboBox* authorCombo() const { return authors_; }
  QLineEdit* documentEdit() const { return documentEdit_; }
  QLineEdit* outputEdit() const { return outputEdit_; }
  QToolButton* browseButton() const { return browse_; }
  QCheckBox* detachedBox() const { return detachedBox_; }
  QCheckBox* certificateBox() const { return certificateBox_; }
  QCheckBox* timeBox() const { return timeBox_; }
  const std::vector<OwnerRecord>& authorList() const { return authorList_; }

 private:
  void updateData();
  void showMembers();
  EngineHelper& helper() { return helper_ != nullptr ? *helper_ : engine_helper(); }

  PromptService& prompts_;
  EngineHelper* helper_ = nullptr;
  AuthorListFiller fillAuthors_;
  CertificateViewer viewer_;
  std::function<bool(const QString&)> exists_;
  std::function<QString(const QString&)> unique_;
  bool group_ = false;
  QString document_;
  QString outputName_;
  bool detached_ = false;
  bool includeCertificate_ = false;
  bool includeSigningTime_ = false;
  std::optional<OwnerRecord> author_;
  std::vector<OwnerRecord> authorList_;
  QLineEdit* documentEdit_;
  QComboBox* authors_;
  QPushButton* view_;
  QCheckBox* certificateBox_;
  QCheckBox* timeBox_;
  QCheckBox* detachedBox_;
  QGroupBox* formatBox_;
  QLineEdit* outputEdit_;
  QToolButton* browse_;
};

}  // namespace dsutils::widgets
