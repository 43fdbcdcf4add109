// The key-medium dialog ("Установите ключевой носитель"): where the private
// key of an operation's author lies. An operation shows it only when the
// prefilled medium is missing; the person picks or types the medium, is
// asked for it until it is present, and the medium path, the key-file name
// and the key-format flag go back to the operation.
//
// What decides acceptance is kept apart from the window: a medium path is
// classified by its leading characters, and the presence tests go through a
// MediumProbe, so the rules are tested with a fake probe and scripted boxes.
#pragma once

#include <QByteArray>
#include <QDialog>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

#include "dsutils/engine/ui.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QToolButton;

namespace dsutils {
class CryptoSession;
}

namespace dsutils::widgets {

class CertificateViewerLoader;
class FileDialogService;
class InitialFolderBrowser;
class PromptService;

// The presence tests the dialog makes.
class MediumProbe {
 public:
  virtual ~MediumProbe() = default;
  // The medium (or file) of a path is there (CryptoSession::IsKeyMediumPresent).
  virtual bool mediumPresent(const QString& path) = 0;
  // The token test: the toolkit started, the token asked, the toolkit stopped.
  virtual void openToolkit() = 0;
  virtual bool tokenPresent(const QString& path) = 0;
  virtual void closeToolkit() = 0;
  // A removable medium is mounted (the "A:" of platform::native_path).
  virtual bool removablePresent() = 0;
};

// The probe over the engine's toolkit session.
class SessionMediumProbe : public MediumProbe {
 public:
  explicit SessionMediumProbe(CryptoSession& session) : session_(session) {}
  bool mediumPresent(const QString& path) override;
  void openToolkit() override;
  bool tokenPresent(const QString& path) override;
  void closeToolkit() override;
  bool removablePresent() override;

 private:
  CryptoSession& session_;
};
// The probe of the process's global session.
MediumProbe& session_medium_probe();

inline constexpr const char* kInsertMediumText = "Установите ключевой носитель!";
inline constexpr const char* kMediumNotFoundText = "Ключевой носитель не найден!";
inline constexpr qsizetype kMaxMediumPath = 260;

// How a medium path is accepted, by its leading characters (compared
// exactly): a token ("vexil"), a Touch-Memory device ("ibutton", taken
// untested), a path; a text with a control character or longer than 260
// characters names nothing.
enum class MediumClass { Token, IButton, Path, Invalid };
MediumClass ClassifyMedium(const QString& path);

// True when the medium of `path` is not there; no window is involved.
bool IsMediumMissing(const QString& path, MediumProbe& probe);

// The acceptance of a medium path: a token is asked until it answers, with
// Retry/Cancel; "ibutton" is accepted; a present path is accepted; a path
// on "a:" or "A:" waits with Retry/Cancel for a removable medium; anything
// else gets "Ключевой носитель не найден!". `done` is called once: true to
// accept, false to keep the dialog open. The boxes go through `prompts`
// without blocking; `probe` and `prompts` must outlive the call.
void AcceptMedium(const QString& path, MediumProbe& probe, PromptService& prompts, std::function<void(bool)> done);

// The key-file dialog the "Секретный ключ" button opens, over `parent`, with
// the medium folder and the key-file name; `done` gets the file chosen, or
// nothing on cancel. Unbound (as shipped), it is CKeyFileDlg; tests bind
// their own.
using KeyFileOpener = std::function<void(QWidget* parent, const QString& folder, const QString& file,
                                         std::function<void(std::optional<QString>)> done)>;
void setKeyFileOpener(KeyFileOpener opener);

class CKeyMediumDlg : public QDialog {
 public:
  // The combo's entries, in this order; the first two are folders.
  static const QStringList& mediumEntries();

  CKeyMediumDlg(MediumProbe& probe, PromptService& prompts, QWidget* parent = nullptr,
                FileDialogService* files = nullptr);
  ~CKeyMediumDlg() override;

  // The fields, set before the dialog is shown and read after it.
  QString m_mediumPath;
  QString m_keyFile;
  QString m_ownerName;
  int m_sczi = 0;
  QByteArray m_certificate;  // the owner's DER certificate; empty when none

  void setRequest(const KeyMediumRequest& request);
  KeyMediumAnswer answer(bool accepted) const;
  bool IsMediumMissing() { return widgets::IsMediumMissing(m_mediumPath, probe_); }

  // The controls, for tests.
  QComboBox* mediumCombo() const { return combo_; }
  QToolButton* browseButton() const { return browse_; }
  QPushButton* keyFileButton() const { return keyFile_; }
  QPushButton* viewButton() const { return view_; }
  QCheckBox* scziBox() const { return sczi_; }
  QLineEdit* ownerEdit() const { return owner_; }
  InitialFolderBrowser* folderBrowser() const { return browser_.get(); }

  void accept() override;  // OK: CKeyMediumDlg::OnOK

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void OnInitDialog();
  void OnMediumChange(int index);
  void OnBrowseFolder();
  void OnKeyFile();
  void OnViewCertificate();
  void OnSczi();
  void takeControls();
  void showMembers();
  void applyKeyFileRule();

  MediumProbe& probe_;
  PromptService& prompts_;
  FileDialogService* files_;
  QLineEdit* owner_ = nullptr;
  QPushButton* view_ = nullptr;
  QCheckBox* sczi_ = nullptr;
  QComboBox* combo_ = nullptr;
  QToolButton* browse_ = nullptr;
  QPushButton* keyFile_ = nullptr;
  std::unique_ptr<InitialFolderBrowser> browser_;
  std::unique_ptr<CertificateViewerLoader> viewer_;
  bool initialised_ = false;
  bool checking_ = false;
  std::shared_ptr<bool> alive_;
};

}  // namespace dsutils::widgets
