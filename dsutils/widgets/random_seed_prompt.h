// The keyboard random-seed prompt: when the software generator has no saved
// state, the toolkit asks for 16 characters one at a time through the
// random-sensor callback and times the key presses. One dialog on the GUI
// thread stays open between the characters; the calling thread (inside the
// toolkit, a worker or the GUI thread itself) waits for each answer. One
// prompt runs at a time: a second caller waits until the first prompt has
// closed. Nothing is ever killed: closing the prompt is closing its dialog.
#pragma once

#include <QDialog>
#include <functional>

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace dsutils::widgets {

class SeedPromptDialog : public QDialog {
 public:
  explicit SeedPromptDialog(QWidget* parent = nullptr);
  ~SeedPromptDialog() override;

  // Shows the request and answers it once through `answer`: the code of the
  // character typed, -1 on Cancel (at once when Cancel came before).
  void ask(int character, int current, int total, std::function<void(int)> answer);
  bool waiting() const { return static_cast<bool>(answer_); }

  QLabel* headingLabel() const { return heading_; }
  QLabel* promptLabel() const { return prompt_; }
  QLineEdit* keyEdit() const { return edit_; }
  QProgressBar* progressBar() const { return bar_; }
  QPushButton* cancelButton() const { return cancel_; }

 protected:
  void reject() override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void deliver(int code);

  QLabel* heading_;
  QLabel* prompt_;
  QLineEdit* edit_;
  QProgressBar* bar_;
  QPushButton* cancel_;
  std::function<void(int)> answer_;
  bool cancelled_ = false;
};

class RandomSeedPrompt {
 public:
  // The toolkit's question: the Unicode code of the character typed (> 0),
  // or -1 when none was obtained (Cancel, no application). The dialog
  // closes after the last character typed right, on Cancel and on failure;
  // otherwise it stays open for the next question of the same caller.
  static int ask(int character, int current, int total);
  // GUI thread: the open dialog, null when none (tests).
  static SeedPromptDialog* dialog();
};

}  // namespace dsutils::widgets
