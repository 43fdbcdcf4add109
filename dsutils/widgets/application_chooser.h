// The program chooser ("Открыть с помощью"): the programs the desktop lists
// for a document's type; the chosen one gets the document as its one
// argument. Opened when the desktop has no default program for the type, or
// when the print spooler cannot print it.
#pragma once

#include <QDialog>
#include <QString>
#include <functional>
#include <vector>

#include "dsutils/widgets/shell_service.h"

class QListWidget;
class QPushButton;

namespace dsutils::widgets {

class CApplicationChooser : public QDialog {
 public:
  CApplicationChooser(ShellService& shell, QString document, QWidget* parent = nullptr);

  QListWidget* list() const { return list_; }
  QPushButton* okButton() const { return ok_; }
  const std::vector<DesktopApplication>& applications() const { return apps_; }
  // The id of the program started on OK, empty before.
  const QString& launched() const { return launched_; }

  void accept() override;

 private:
  ShellService& shell_;
  QString document_;
  std::vector<DesktopApplication> apps_;
  QString launched_;
  QListWidget* list_;
  QPushButton* ok_;
};

// Shows the chooser for `document` without blocking; it deletes itself
// when closed. `done` (may be empty) runs when it closes.
CApplicationChooser* open_application_chooser(const QString& document, ShellService& shell, QWidget* parent = nullptr,
                                              std::function<void()> done = {});

// Opens the document with the desktop's default program, or, when the type
// has none, the chooser (shown without blocking). A failure is written to
// the event log.
void open_document_with_desktop(const QString& document, ShellService& shell, QWidget* parent = nullptr);

}  // namespace dsutils::widgets
