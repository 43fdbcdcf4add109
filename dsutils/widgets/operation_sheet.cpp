#include "dsutils/widgets/operation_sheet.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QVBoxLayout>

#include "dsutils/engine/ui.h"
#include "dsutils/widgets/prompt_service.h"
#include "dsutils/widgets/shell_service.h"
#include "dsutils/widgets/ui_bridge.h"

namespace dsutils::widgets {

bool SheetPage::command(int id, bool* accepted) {
  if (id != ID_PAGE_VALIDATE) return false;
  const bool ok = validatePage();
  if (accepted != nullptr) *accepted = ok;
  return true;
}

int page_message(PromptService& prompts, const QString& text, unsigned flags) {
  int answer = safe_answer(flags);
  UiBridge::runUntilDone([&](std::function<void()> done) {
    prompts.open(text, flags, [&answer, done = std::move(done)](int a) {
      answer = a;
      done();
    });
  });
  return answer;
}

HelpFunction library_help() {
  return [](int context) {
    HelpService help(shell_service());
    help.show(context);
  };
}

COperationSheet::COperationSheet(QWidget* parent, HelpFunction help)
    : QDialog(parent),
      helpFunction_(std::move(help)),
      tabs_(new QTabWidget(this)),
      ok_(new QPushButton(QStringLiteral("Зашифровать"), this)),
      cancel_(new QPushButton(QStringLiteral("Отмена"), this)),
      help_(new QPushButton(QStringLiteral("Справка"), this)) {
  // Operations run behind other windows; the sheet must be seen.
  setWindowFlag(Qt::WindowStaysOnTopHint);
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  ok_->setDefault(true);
  ok_->setAutoDefault(true);
  cancel_->setAutoDefault(false);
  help_->setAutoDefault(false);
  tabs_->setObjectName(QStringLiteral("tabs204"));
  auto* buttons = new QHBoxLayout();
  buttons->addStretch(1);
  buttons->addWidget(ok_);
  buttons->addWidget(cancel_);
  buttons->addWidget(help_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tabs_, 1);
  layout->addLayout(buttons);
  connect(ok_, &QPushButton::clicked, this, [this] { OnOK(); });
  connect(cancel_, &QPushButton::clicked, this, [this] { reject(); });
  connect(help_, &QPushButton::clicked, this, [this] { OnHelp(); });
  connect(tabs_, &QTabWidget::currentChanged, this, [this](int index) {
    if (index >= 0) SelectPage(index);
  });
  // 284 x 196 dialog units.
  resize(540, 400);
}

bool COperationSheet::AddPage(SheetPage* page, const QString& tabTitle, int templateId) {
  pages_.push_back(Record{page, tabTitle, templateId, -1});
  return true;
}

SheetPage* COperationSheet::page(int index) const {
  return index >= 0 && index < pageCount() ? pages_[static_cast<std::size_t>(index)].page : nullptr;
}

void COperationSheet::OnInitDialog() {
  if (initialised_) return;
  initialised_ = true;
  const QSignalBlocker quiet(tabs_);
  for (Record& r : pages_) {
    if (r.page == nullptr) continue;
    r.tabIndex = tabs_->addTab(r.page, r.tabTitle);
    r.page->initPage();
  }
  SelectPage(0);
  if (!title_.isEmpty()) setWindowTitle(title_);
}

void COperationSheet::SelectPage(int tab) {
  if (tab > -1) {
    if (tab >= tabs_->count()) return;
    if (tabs_->currentIndex() != tab) {
      const QSignalBlocker quiet(tabs_);
      tabs_->setCurrentIndex(tab);
    }
  }
  current_ = tab >= 0 && tab < tabs_->count() ? tab : -1;
  // Every page but the chosen one is disabled: focus cannot reach it.
  for (int i = 0; i < tabs_->count(); ++i) {
    if (i == current_) continue;
    if (QWidget* w = tabs_->widget(i)) w->setEnabled(false);
  }
  if (QWidget* w = current_ >= 0 ? tabs_->widget(current_) : nullptr) {
    w->setEnabled(true);
    w->show();
    w->raise();
  }
}

void COperationSheet::OnOK() {
  for (Record& r : pages_) {
    if (r.page == nullptr) continue;
    bool accepted = false;
    r.page->command(ID_PAGE_VALIDATE, &accepted);
    if (!accepted) {
      SelectPage(r.tabIndex);
      return;
    }
  }
  for (Record& r : pages_) {
    if (r.page != nullptr) r.page->closePage();
  }
  accept();
}

void COperationSheet::OnHelp() {
  if (helpContext_ != 0 && helpFunction_) helpFunction_(helpContext_);
}

void COperationSheet::OnHelpInfo() {
  if (helpFunction_) helpFunction_(helpContext_);
}

void COperationSheet::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_F1 && event->modifiers() == Qt::NoModifier) {
    OnHelpInfo();
    return;
  }
  // Enter anywhere on the sheet is OK (a page's own button takes its own).
  if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && event->modifiers() == Qt::NoModifier) {
    OnOK();
    return;
  }
  QDialog::keyPressEvent(event);
}

void COperationSheet::open() {
  OnInitDialog();
  QDialog::open();
  raise();
  activateWindow();
}

int COperationSheet::exec() {
  OnInitDialog();
  return QDialog::exec();
}

}  // namespace dsutils::widgets
