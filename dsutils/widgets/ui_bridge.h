// Widgets live on the GUI thread only; operations run on workers. UiBridge
// is the one way from a worker to the GUI thread.
#pragma once

#include <functional>

namespace dsutils::widgets {

class UiBridge {
 public:
  // True when a QApplication exists and the caller is its thread.
  static bool onGuiThread();
  // Runs `fn` on the GUI thread and returns when it has run; directly when
  // the caller already is the GUI thread. False (and `fn` not run) when
  // there is no QApplication.
  static bool run(const std::function<void()>& fn);
  // Queues `fn` for the GUI thread without waiting.
  static bool post(std::function<void()> fn);
  // Runs `open(done)` on the GUI thread, where it shows a window with open()
  // and arranges for `done` to be called once when the window finishes, and
  // waits for that: a worker blocks, the GUI thread itself waits in a local
  // event loop (never in a dialog's own exec()).
  static bool runUntilDone(const std::function<void(std::function<void()> done)>& open);
};

}  // namespace dsutils::widgets
