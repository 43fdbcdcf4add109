#include "printing/preview_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QPrintPreviewWidget>
#include <QPrinter>
#include <QToolBar>

#include "printing/print_job.h"

namespace vtpagina {

PreviewWindow::PreviewWindow(PrintSpec spec, PrintTarget target, const QString& title, QWidget* owner, bool close_owner)
    : spec_(std::move(spec)), target_(std::move(target)), owner_(owner), close_owner_(close_owner) {
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle(title);
  printer_ = target_.make_printer();
  printer_->setDocName(title);
  preview_ = new QPrintPreviewWidget(printer_.get(), this);
  setCentralWidget(preview_);
  QObject::connect(preview_, &QPrintPreviewWidget::paintRequested, preview_,
                   [this](QPrinter* p) { paint_job(spec_, *p); });

  auto* bar = new QToolBar(this);
  bar->setMovable(false);
  bar->setToolButtonStyle(Qt::ToolButtonTextOnly);
  addToolBar(Qt::TopToolBarArea, bar);
  print_ = bar->addAction(QStringLiteral("Печать..."));
  next_ = bar->addAction(QStringLiteral("Вперед"));
  previous_ = bar->addAction(QStringLiteral("Назад"));
  pages_ = bar->addAction(QStringLiteral("&Два листа"));
  zoom_in_ = bar->addAction(QStringLiteral("Увеличить"));
  zoom_out_ = bar->addAction(QStringLiteral("Уменьшить"));
  close_ = bar->addAction(QStringLiteral("Закрыть"));
  // A tool button shows the icon text, which Qt derives by dropping "...":
  // the buttons carry the captions as they are.
  for (QAction* a : bar->actions()) a->setIconText(a->text());

  QObject::connect(print_, &QAction::triggered, this, [this] {
    print_requested_ = true;
    close();
  });
  QObject::connect(close_, &QAction::triggered, this, [this] { close(); });
  QObject::connect(next_, &QAction::triggered, this, [this] {
    state_.next();
    apply_view();
  });
  QObject::connect(previous_, &QAction::triggered, this, [this] {
    state_.previous();
    apply_view();
  });
  QObject::connect(zoom_in_, &QAction::triggered, this, [this] {
    state_.zoom_in();
    apply_view();
  });
  QObject::connect(zoom_out_, &QAction::triggered, this, [this] {
    state_.zoom_out();
    apply_view();
  });
  QObject::connect(pages_, &QAction::triggered, this, [this] {
    state_.toggle_pages();
    apply_view();
  });

  // The pages are laid out now, so the toolbar is right before the first paint.
  preview_->updatePreview();
  state_.set_page_count(preview_->pageCount());
  apply_view();
  resize(900, 1000);

  if (owner_) owner_->setEnabled(false);
}

PreviewWindow::~PreviewWindow() {
  if (!owner_) return;
  owner_->setEnabled(true);
  if (close_owner_) {
    owner_->close();
  } else {
    owner_->activateWindow();
  }
}

void PreviewWindow::apply_view() {
  preview_->setViewMode(state_.shows_two_pages() ? QPrintPreviewWidget::FacingPagesView
                                                 : QPrintPreviewWidget::SinglePageView);
  if (state_.zoom() == 0) {
    preview_->fitInView();
  } else {
    preview_->setZoomFactor(state_.zoom() == 1 ? 1.0 : 2.0);
  }
  preview_->setCurrentPage(state_.current_page());
  refresh();
}

void PreviewWindow::refresh() {
  next_->setEnabled(state_.can_next());
  previous_->setEnabled(state_.can_previous());
  zoom_in_->setEnabled(state_.can_zoom_in());
  zoom_out_->setEnabled(state_.can_zoom_out());
  pages_->setEnabled(state_.can_toggle_pages());
  pages_->setText(state_.pages_caption());
  pages_->setIconText(state_.pages_caption());
}

void PreviewWindow::closeEvent(QCloseEvent* event) {
  if (!finished_) {
    finished_ = true;
    // Printing comes after the preview has ended, as a print of its own.
    if (print_requested_) {
      print_requested_ = false;
      hide();
      print_to_target(spec_, target_, windowTitle(), owner_);
    }
  }
  event->accept();
}

}  // namespace vtpagina
