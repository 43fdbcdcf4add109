// The preview of a print job: a main window with the pages and a toolbar of
// Russian captions. It disables the window it was opened over and gives it
// back (or closes it, when asked) when it goes.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <memory>

#include "printing/preview_state.h"
#include "printing/print_document.h"
#include "printing/print_target.h"

class QAction;
class QPrintPreviewWidget;
class QPrinter;

namespace vtpagina {

class PreviewWindow : public QMainWindow {
 public:
  PreviewWindow(PrintSpec spec, PrintTarget target, const QString& title, QWidget* owner, bool close_owner);
  ~PreviewWindow() override;

  const PreviewState& state() const { return state_; }
  QAction* print_action() const { return print_; }
  QAction* next_action() const { return next_; }
  QAction* previous_action() const { return previous_; }
  QAction* zoom_in_action() const { return zoom_in_; }
  QAction* zoom_out_action() const { return zoom_out_; }
  QAction* pages_action() const { return pages_; }
  QAction* close_action() const { return close_; }
  QPrintPreviewWidget* preview() const { return preview_; }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void apply_view();
  void refresh();

  PrintSpec spec_;
  PrintTarget target_;
  std::unique_ptr<QPrinter> printer_;
  QPrintPreviewWidget* preview_ = nullptr;
  PreviewState state_;
  QPointer<QWidget> owner_;
  bool close_owner_ = false;
  bool print_requested_ = false;
  bool finished_ = false;
  QAction* print_ = nullptr;
  QAction* next_ = nullptr;
  QAction* previous_ = nullptr;
  QAction* zoom_in_ = nullptr;
  QAction* zoom_out_ = nullptr;
  QAction* pages_ = nullptr;
  QAction* close_ = nullptr;
};

}  // namespace vtpagina
