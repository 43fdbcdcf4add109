// The sign dialog ("Подписать") and, in add mode, the add-signature dialog
// ("Добавить подпись"): the author among the personal certificates of the
// local directory, whether the certificate and the signing time go into the
// signature, detached (.sga archive) or embedded (.sgn), and the output
// name. The naming rules are pure functions below, tested without windows.
#pragma once

#include <QDialog>
#include <QString>
#include <memory>
#include <optional>
#include <vector>

#include "dsutils/engine/engine_helper.h"
#include "dsutils/engine/records.h"
#include "dsutils/engine/ui.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QToolButton;

namespace dsutils::widgets {

class CertificateViewerLoader;
class FileDialogService;
class HelpService;
class PromptService;

inline constexpr int kSignHelpContext = 66;
inline constexpr const char* kNoAuthorText = "Не определен  автор подписи в локальном справочнике!";

// The two candidate output names the detached box switches between.
struct SignNames {
  QString embedded;
  QString detached;
};

// The names when the dialog opens, from the document, the mode, the names
// the caller set (empty: none) and the "SGN" sorting settings. A group gets
// the patterns "*.sgn" / "*.sga"; one file its path with ".sgn" (itself when
// its extension is exactly "sgn") and ".sga"; with the sorting's Result 1
// and a ResultPath, one file's names move into that folder. In add mode the
// names stay as the caller set them.
SignNames InitialSignNames(const QString& document, bool group, bool add, const SignNames& caller,
                           const SortSettings& sorting);

// The caption of the output name for a form.
QString OutputLabel(bool detached);

// The format rule: the typed output name (when not empty) is kept as the
// name of the form being left, and the output name becomes the name of the
// form chosen.
void ApplyFormat(bool detached, SignNames& names, QString& output);

// Without any window: the executor's entry as author. 0, 10005 when the
// record cannot be made, 10006 after the box kNoAuthorText when the
// directory has no executor.
int CheckAuthor(std::optional<OwnerRecord>& author, EngineHelper& helper = engine_helper());

struct SignDialogServices {
  PromptService* prompts = nullptr;    // required
  FileDialogService* files = nullptr;  // null: Qt's dialogs
  HelpService* help = nullptr;         // null: the desktop's help pages
};

class CSignDlg : public QDialog {
 public:
  CSignDlg(SignDialogServices services, QWidget* parent = nullptr, EngineHelper& helper = engine_helper());
  ~CSignDlg() override;

  // Set by the caller before showing.
  bool m_group = false;
  bool m_add = false;
  QString m_document;
  SignNames m_names;  // the names the caller set, empty for none

  void setRequest(const SignRequest& request);
  // The answer after the dialog finished (accepted: the chosen author).
  SignAnswer answer(bool accepted) const;
  const std::optional<OwnerRecord>& author() const { return author_; }

  // The state, for tests.
  QString outputName() const { return m_output; }
  bool detached() const { return m_detached; }

  QComboBox* authorCombo() const { return authors_; }
  QLineEdit* documentEdit() const { return document_; }
  QLineEdit* outputEdit() const { return output_; }
  QLabel* outputLabel() const { return label_; }
  QCheckBox* certificateBox() const { return cert_; }
  QCheckBox* timeBox() const { return time_; }
  QCheckBox* detachedBox() const { return detached_; }
  QToolButton* browseButton() const { return browse_; }
  QPushButton* viewButton() const { return view_; }
  QPushButton* helpButton() const { return help_; }

  void accept() override;  // CSignDlg::OnOK

 protected:
  void showEvent(QShowEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void OnInitDialog();
  void OnFormatChange();
  void OnBrowse();
  void OnViewCertificate();
  void OnHelp();
  void takeControls();
  void showMembers();

  SignDialogServices services_;
  EngineHelper& helper_;
  std::vector<OwnerRecord> records_;
  std::optional<OwnerRecord> author_;
  QString m_output;
  bool m_includeCertificate = false;
  bool m_includeTime = false;
  bool m_detached = false;

  QLineEdit* document_ = nullptr;
  QComboBox* authors_ = nullptr;
  QPushButton* view_ = nullptr;
  QCheckBox* cert_ = nullptr;
  QCheckBox* time_ = nullptr;
  QCheckBox* detached_ = nullptr;
  QLabel* label_ = nullptr;
  QLineEdit* output_ = nullptr;
  QToolButton* browse_ = nullptr;
  QPushButton* help_ = nullptr;
  std::unique_ptr<CertificateViewerLoader> viewer_;
  bool initialised_ = false;
  std::shared_ptr<bool> alive_;
};

}  // namespace dsutils::widgets
