// Every message box of the library: caption "Dossar", the engine's flags
// word mapped to buttons and icon, on top of other windows. Tests put a
// scripted service in its place.
#pragma once

#include <QString>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

class QMessageBox;

namespace dsutils::widgets {

class PromptService {
 public:
  virtual ~PromptService() = default;
  // On the GUI thread: shows the box without blocking and calls `done` once
  // with the answer (one of the engine's MessageAnswer values) when it closes.
  virtual void open(const QString& text, unsigned flags, std::function<void(int)> done) = 0;
};

class BoxPromptService : public PromptService {
 public:
  void open(const QString& text, unsigned flags, std::function<void(int)> done) override;
  // The box as it is shown, not yet open; the caller owns it.
  static QMessageBox* makeBox(const QString& text, unsigned flags);
  // The engine's answer for a button of the box.
  static int answerOf(int button);
};

// Answers from a queue, noting every box; a box with no answer queued takes
// its safe answer (OK, No or Cancel) and is counted as unexpected.
class ScriptedPromptService : public PromptService {
 public:
  struct Seen {
    QString text;
    unsigned flags = 0;
  };
  void queue(int answer);
  void open(const QString& text, unsigned flags, std::function<void(int)> done) override;
  std::vector<Seen> seen() const;
  int unexpected() const;

 private:
  mutable std::mutex mutex_;
  std::deque<int> answers_;
  std::vector<Seen> seen_;
  int unexpected_ = 0;
};

// The answer that refuses: OK for a plain box, No for Yes/No, else Cancel.
int safe_answer(unsigned flags);

}  // namespace dsutils::widgets
