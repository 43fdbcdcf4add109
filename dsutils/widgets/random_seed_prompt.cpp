#include "dsutils/widgets/random_seed_prompt.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "dsutils/widgets/ui_bridge.h"

namespace dsutils::widgets {

namespace {

QString prompt_text(int character) {
  const char32_t code = character > 0 && character <= 0x10FFFF ? static_cast<char32_t>(character) : U' ';
  const QString shown = QString::fromUcs4(&code, 1);
  return QStringLiteral("Введите символ ' %1 ':").arg(shown);
}

// The thread whose prompt is open; another caller waits for it to end.
struct Turn {
  std::mutex mutex;
  std::condition_variable free;
  bool taken = false;
  std::thread::id owner;
};
Turn& turn() {
  static Turn* t = new Turn();  // lives as long as the process
  return *t;
}

// GUI thread only.
QPointer<SeedPromptDialog> g_dialog;

}  // namespace

SeedPromptDialog::SeedPromptDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Датчик случайных чисел"));
  setWindowFlags((windowFlags() | Qt::WindowStaysOnTopHint) & ~Qt::WindowContextHelpButtonHint);
  setWindowModality(Qt::ApplicationModal);
  auto* layout = new QVBoxLayout(this);
  heading_ = new QLabel(QStringLiteral("Инициализация датчика случайных чисел"), this);
  heading_->setAlignment(Qt::AlignCenter);
  layout->addWidget(heading_);
  auto* row = new QHBoxLayout();
  prompt_ = new QLabel(prompt_text('W'), this);
  // Wide enough for any character asked, so the row never has to grow.
  prompt_->setMinimumWidth(prompt_->sizeHint().width() +
                           prompt_->fontMetrics().horizontalAdvance(QStringLiteral("WW")));
  edit_ = new QLineEdit(this);
  edit_->setMaxLength(1);
  edit_->setFixedWidth(edit_->fontMetrics().horizontalAdvance(QStringLiteral("WW")) + 16);
  row->addWidget(prompt_);
  row->addWidget(edit_);
  row->addStretch(1);
  layout->addLayout(row);
  bar_ = new QProgressBar(this);
  bar_->setTextVisible(false);
  layout->addWidget(bar_);
  auto* buttons = new QHBoxLayout();
  cancel_ = new QPushButton(QStringLiteral("Отменить"), this);
  buttons->addStretch(1);
  buttons->addWidget(cancel_);
  buttons->addStretch(1);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetMinimumSize);
  connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
  connect(edit_, &QLineEdit::textEdited, this, [this](const QString& text) {
    const QList<uint> codes = text.toUcs4();
    if (!codes.isEmpty() && codes.first() > 0) deliver(static_cast<int>(codes.first()));
  });
}

SeedPromptDialog::~SeedPromptDialog() {
  // A caller still waiting learns that no character will come.
  deliver(-1);
}

void SeedPromptDialog::deliver(int code) {
  if (!answer_) return;
  // Moved out first: the answer may end this request and start the next.
  auto answer = std::move(answer_);
  answer_ = nullptr;
  answer(code);
}

void SeedPromptDialog::ask(int character, int current, int total, std::function<void(int)> answer) {
  deliver(-1);  // an earlier question left open is abandoned
  prompt_->setText(prompt_text(character));
  edit_->clear();
  bar_->setRange(0, total > 0 ? total : 1);
  bar_->setValue(current < 1 ? 0 : std::min(current - 1, bar_->maximum()));
  answer_ = std::move(answer);
  if (cancelled_) deliver(-1);
}

void SeedPromptDialog::reject() {
  cancelled_ = true;
  deliver(-1);
  hide();
}

void SeedPromptDialog::keyPressEvent(QKeyEvent* event) {
  // Help is consumed without action.
  if (event->key() == Qt::Key_F1) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

SeedPromptDialog* RandomSeedPrompt::dialog() { return g_dialog.data(); }

int RandomSeedPrompt::ask(int character, int current, int total) {
  Turn& t = turn();
  const std::thread::id me = std::this_thread::get_id();
  {
    std::unique_lock lock(t.mutex);
    t.free.wait(lock, [&] { return !t.taken || t.owner == me; });
    t.taken = true;
    t.owner = me;
  }
  int answer = -1;
  const bool ran = UiBridge::runUntilDone([&](std::function<void()> done) {
    if (!g_dialog) {
      g_dialog = new SeedPromptDialog();  // NOLINT(cppcoreguidelines-owning-memory): deleted when the prompt closes
    }
    g_dialog->ask(character, current, total, [&answer, done = std::move(done)](int code) {
      answer = code;
      done();
    });
    if (g_dialog && !g_dialog->isVisible() && g_dialog->waiting()) {
      g_dialog->show();
      g_dialog->raise();
      g_dialog->activateWindow();
      g_dialog->keyEdit()->setFocus();
    }
  });
  if (!ran) answer = -1;
  const bool keepOpen = answer > 0 && (current < total || answer != character);
  if (!keepOpen) {
    UiBridge::run([] {
      if (g_dialog) {
        SeedPromptDialog* dlg = g_dialog.data();
        g_dialog = nullptr;
        dlg->hide();
        delete dlg;
      }
    });
    {
      std::lock_guard lock(t.mutex);
      t.taken = false;
    }
    t.free.notify_all();
  }
  return answer;
}

}  // namespace dsutils::widgets
