#include "dsutils/widgets/prompt_service.h"

#include <QMessageBox>

#include "dsutils/engine/ui.h"

namespace dsutils::widgets {

int safe_answer(unsigned flags) {
  switch (flags & MB_TYPEMASK) {
    case MB_OK:
      return IDOK;
    case MB_YESNO:
      return IDNO;
    default:
      return IDCANCEL;
  }
}

QMessageBox* BoxPromptService::makeBox(const QString& text, unsigned flags) {
  auto* box = new QMessageBox();
  box->setWindowTitle(QStringLiteral("Dossar"));
  box->setText(text);
  switch (flags & MB_ICONMASK) {
    case MB_ICONSTOP:
      box->setIcon(QMessageBox::Critical);
      break;
    case MB_ICONQUESTION:
      box->setIcon(QMessageBox::Question);
      break;
    case MB_ICONEXCLAMATION:
      box->setIcon(QMessageBox::Warning);
      break;
    case MB_ICONINFORMATION:
      box->setIcon(QMessageBox::Information);
      break;
    default:
      box->setIcon(QMessageBox::NoIcon);
  }
  QMessageBox::StandardButtons buttons;
  QMessageBox::StandardButton escape = QMessageBox::NoButton;
  switch (flags & MB_TYPEMASK) {
    case MB_OKCANCEL:
      buttons = QMessageBox::Ok | QMessageBox::Cancel;
      escape = QMessageBox::Cancel;
      break;
    case MB_YESNOCANCEL:
      buttons = QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
      escape = QMessageBox::Cancel;
      break;
    case MB_YESNO:
      buttons = QMessageBox::Yes | QMessageBox::No;
      escape = QMessageBox::No;
      break;
    case MB_RETRYCANCEL:
      buttons = QMessageBox::Retry | QMessageBox::Cancel;
      escape = QMessageBox::Cancel;
      break;
    default:
      buttons = QMessageBox::Ok;
      escape = QMessageBox::Ok;
  }
  box->setStandardButtons(buttons);
  box->setEscapeButton(escape);
  // Boxes come from operations running behind other windows; they must be seen.
  box->setWindowModality(Qt::ApplicationModal);
  box->setWindowFlags(box->windowFlags() | Qt::WindowStaysOnTopHint);
  return box;
}

int BoxPromptService::answerOf(int button) {
  switch (button) {
    case QMessageBox::Ok:
      return IDOK;
    case QMessageBox::Yes:
      return IDYES;
    case QMessageBox::No:
      return IDNO;
    case QMessageBox::Retry:
      return IDRETRY;
    default:
      return IDCANCEL;
  }
}

void BoxPromptService::open(const QString& text, unsigned flags, std::function<void(int)> done) {
  QMessageBox* box = makeBox(text, flags);
  box->setAttribute(Qt::WA_DeleteOnClose);
  QObject::connect(box, &QMessageBox::finished, box, [box, done = std::move(done)](int) {
    // A closed window (no button) answers like its escape button.
    QAbstractButton* clicked = box->clickedButton();
    const int button = clicked != nullptr ? box->standardButton(clicked) : box->standardButton(box->escapeButton());
    done(answerOf(button));
  });
  box->open();
  box->raise();
  box->activateWindow();
}

void ScriptedPromptService::queue(int answer) {
  std::lock_guard lock(mutex_);
  answers_.push_back(answer);
}

void ScriptedPromptService::open(const QString& text, unsigned flags, std::function<void(int)> done) {
  int answer = 0;
  {
    std::lock_guard lock(mutex_);
    seen_.push_back({text, flags});
    if (answers_.empty()) {
      ++unexpected_;
      answer = safe_answer(flags);
    } else {
      answer = answers_.front();
      answers_.pop_front();
    }
  }
  done(answer);
}

std::vector<ScriptedPromptService::Seen> ScriptedPromptService::seen() const {
  std::lock_guard lock(mutex_);
  return seen_;
}

int ScriptedPromptService::unexpected() const {
  std::lock_guard lock(mutex_);
  return unexpected_;
}

}  // namespace dsutils::widgets
