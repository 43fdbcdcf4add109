#include "dsutils/widgets/ui_bridge.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QPointer>
#include <QThread>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <semaphore>

namespace dsutils::widgets {

bool UiBridge::onGuiThread() {
  QCoreApplication* app = QCoreApplication::instance();
  return app != nullptr && QThread::currentThread() == app->thread();
}

namespace {

// The functions on their way to the GUI thread. Each post queues one and
// posts one wake event; each wake runs the oldest. The queue's own lock (not
// only Qt's event queue) orders a function's making before its run, so the
// thread checkers see the hand-over too.
std::mutex g_queue_mutex;
std::deque<std::function<void()>> g_queue;

QEvent::Type wake_type() {
  static const auto t = static_cast<QEvent::Type>(QEvent::registerEventType());
  return t;
}

class CallReceiver : public QObject {
 public:
  // Only the wake events come here (the receiver gets no other user
  // events). The event itself is not read: it crossed threads inside Qt.
  void customEvent(QEvent*) override {
    std::function<void()> fn;
    {
      std::lock_guard lock(g_queue_mutex);
      if (g_queue.empty()) return;
      fn = std::move(g_queue.front());
      g_queue.pop_front();
    }
    fn();
  }
};

// Made on the GUI thread the first time the bridge is used there, or moved
// there; it lives as long as the application.
CallReceiver* receiver() {
  static QPointer<CallReceiver> instance;
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr) return nullptr;
  if (!instance) {
    instance = new CallReceiver();  // NOLINT(clang-analyzer-cplusplus.NewDeleteLeaks): a child of the application
    instance->moveToThread(app->thread());
    instance->setParent(app);
  }
  return instance;
}

}  // namespace

bool UiBridge::run(const std::function<void()>& fn) {
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr) return false;
  if (QThread::currentThread() == app->thread()) {
    fn();
    return true;
  }
  std::binary_semaphore ran{0};
  if (!post([&] {
        fn();
        ran.release();
      }))
    return false;
  ran.acquire();
  return true;
}

bool UiBridge::post(std::function<void()> fn) {
  CallReceiver* target = receiver();
  if (target == nullptr) return false;
  {
    std::lock_guard lock(g_queue_mutex);
    g_queue.push_back(std::move(fn));
  }
  QCoreApplication::postEvent(target, new QEvent(wake_type()));  // NOLINT(clang-analyzer-cplusplus.NewDeleteLeaks)
  return true;
}

namespace {
// Shared by the waiter and the callback, which may outlive a waiter that
// gave up because the application went away.
struct DoneState {
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  QPointer<QEventLoop> loop;
};
}  // namespace

bool UiBridge::runUntilDone(const std::function<void(std::function<void()> done)>& open) {
  auto state = std::make_shared<DoneState>();
  auto done = [state] {
    std::lock_guard lock(state->mutex);
    if (state->done) return;
    state->done = true;
    state->cv.notify_all();
    if (state->loop) state->loop->quit();
  };
  if (onGuiThread()) {
    QEventLoop loop;
    state->loop = &loop;
    open(done);
    bool finished = false;
    {
      std::lock_guard lock(state->mutex);
      finished = state->done;
    }
    if (!finished) loop.exec();
    state->loop = nullptr;
    return true;
  }
  if (!run([&] { open(done); })) return false;
  std::unique_lock lock(state->mutex);
  state->cv.wait(lock, [&] { return state->done; });
  return true;
}

}  // namespace dsutils::widgets
