// The folder chooser of the dialogs and of the engine's sorting code: a tree
// of the file system's folders (folders only) with a status line, made for
// one question: set up, browsed once, read, destroyed. InitialFolderBrowser
// opens at a given folder and shows the selected path as its status text.
//
// The window is shown with open() and the GUI thread waits for it in a
// local event loop (UiBridge::runUntilDone), never in a nested exec(); the
// object is used on the GUI thread only.
#pragma once

#include <QPointer>
#include <QString>
#include <functional>

class QWidget;
class QDialog;

namespace dsutils::widgets {

class FolderBrowserDialog;

// The browse flags that mean something here, with the values the settings
// and callers were written for.
enum BrowseFlags : unsigned {
  BIF_RETURNONLYFSDIRS = 0x0001,  // every item of this tree is a folder of the file system
  BIF_STATUSTEXT = 0x0004,        // the status line is shown
};

class FolderBrowser {
 public:
  // `root` empty: the whole file system ("/", the desktop of the tree).
  explicit FolderBrowser(QWidget* owner = nullptr, QString root = QString(), QString title = QString());
  virtual ~FolderBrowser();
  FolderBrowser(const FolderBrowser&) = delete;
  FolderBrowser& operator=(const FolderBrowser&) = delete;

  // Each is ignored while the dialog is open.
  void SetOwner(QWidget* owner);
  void SetRoot(const QString& root);
  void SetTitle(const QString& title);
  void SetFlags(unsigned flags);
  unsigned flags() const { return flags_; }

  // Shows the dialog (modal to the owner) and waits for it: true when the
  // person confirmed a folder, which GetFolderPath then gives.
  bool Browse();
  // The same without waiting: `done` is called once with the result.
  void Open(std::function<void(bool)> done);
  QString GetFolderPath() const { return folderPath_; }

  // While the dialog is open: selects the folder of `path` (nothing when it
  // is not an existing folder below the root) / sets the status line.
  void SetSelection(const QString& path);
  void SetStatusText(const QString& text);

  // The open dialog, null when none (for tests and owners).
  QDialog* dialog() const;

 protected:
  // Called once the dialog is up, and on each change of the selection with
  // the selected folder's path (empty when the item has none).
  virtual void OnInitialized() {}
  virtual void OnSelChanged(const QString& /*path*/) {}

 private:
  friend class FolderBrowserDialog;
  void finished(bool accepted, const QString& path);

  QPointer<QWidget> owner_;
  QString root_;
  QString title_;
  unsigned flags_ = 0;
  QString folderPath_;
  QPointer<FolderBrowserDialog> dialog_;
  std::function<void(bool)> done_;
};

class InitialFolderBrowser : public FolderBrowser {
 public:
  explicit InitialFolderBrowser(QWidget* owner = nullptr, QString title = QString())
      : FolderBrowser(owner, QString(), std::move(title)) {}
  void SetInitialFolder(const QString& path) { initialFolder_ = path; }

 protected:
  // Selects the initial folder and shows it as status text (the text even
  // when the folder does not exist and the default selection stays).
  void OnInitialized() override;
  void OnSelChanged(const QString& path) override;

 private:
  QString initialFolder_;
};

}  // namespace dsutils::widgets
