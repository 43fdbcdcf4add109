// The key-file dialog: the key medium's folder (read-only) and the secret
// key file on it, with "..." opening a file dialog. The key-medium dialog
// shows it from its key-file button; the caller sets both texts before
// showing it and reads the key file back after OK.
#pragma once

#include <QDialog>
#include <QString>

class QLineEdit;
class QPushButton;
class QToolButton;

namespace dsutils::widgets {

class FileDialogService;

class CKeyFileDlg : public QDialog {
 public:
  // `files` shows the open-file dialog of "..." and must outlive the dialog.
  explicit CKeyFileDlg(FileDialogService& files, QWidget* parent = nullptr);
  ~CKeyFileDlg() override;
  CKeyFileDlg(const CKeyFileDlg&) = delete;
  CKeyFileDlg& operator=(const CKeyFileDlg&) = delete;

  void setMediumFolder(const QString& folder);
  QString mediumFolder() const;
  void setKeyFile(const QString& file);
  // The key file as typed or chosen.
  QString keyFile() const;

  // The request "..." makes; the filter is in the product's form.
  static const QString& filter();

  QLineEdit* mediumEdit() const { return medium_; }
  QLineEdit* keyFileEdit() const { return keyFile_; }
  QToolButton* browseButton() const { return browse_; }
  QPushButton* okButton() const { return ok_; }
  QPushButton* cancelButton() const { return cancel_; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void browse();

  FileDialogService& files_;
  QLineEdit* medium_;
  QLineEdit* keyFile_;
  QToolButton* browse_;
  QPushButton* ok_;
  QPushButton* cancel_;
};

}  // namespace dsutils::widgets
