#include "dsutils/widgets/ui_bridge.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QPointer>
#include <QThread>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace dsutils::widgets {

bool UiBridge::onGuiThread() {
  QCoreApplication* app = QCoreApplication::instance();
  return app != nullptr && QThread::currentThread() == app->thread();
}

bool UiBridge::run(const std::function<void()>& fn) {
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr) return false;
  if (QThread::currentThread() == app->thread()) {
    fn();
    return true;
  }
  return QMetaObject::invokeMethod(app, [&fn] { fn(); }, Qt::BlockingQueuedConnection);
}

bool UiBridge::post(std::function<void()> fn) {
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr) return false;
  return QMetaObject::invokeMethod(app, std::move(fn), Qt::QueuedConnection);
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
