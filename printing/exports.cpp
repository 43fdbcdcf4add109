// The C exports. Each one needs the host's QApplication and does its work on
// the GUI thread; a call from another thread waits there for the result.
#include <QApplication>
#include <QEvent>
#include <QPointer>
#include <QThread>
#include <cstdio>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <type_traits>
#include <utility>

#include "printing/print_job.h"
#include "printing/vtpagina.h"

namespace {

bool have_application(const char* export_name) {
  if (qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr) return true;
  std::fprintf(stderr, "VTPagina: %s needs the host's QApplication; nothing was done\n", export_name);
  return false;
}

// Calls waiting for the GUI thread. They pass through a plain mutex, so the
// hand-over is visible to every checker; the posted event only wakes the GUI
// thread.
struct CallQueue {
  std::mutex lock;
  std::deque<std::function<void()>> calls;
};

CallQueue& call_queue() {
  static CallQueue queue;
  return queue;
}

QEvent::Type wake_type() {
  static const auto t = static_cast<QEvent::Type>(QEvent::registerEventType());
  return t;
}

// Lives on the GUI thread as a child of the application. When the
// application goes first, the calls still waiting are dropped, and their
// broken promises wake the callers.
class GuiCalls : public QObject {
 public:
  ~GuiCalls() override {
    std::deque<std::function<void()>> dropped;
    {
      const std::lock_guard<std::mutex> hold(call_queue().lock);
      dropped.swap(call_queue().calls);
    }
  }
  // Any event drains the queue; the event itself is not read here, since Qt
  // hands it over between the threads by means no checker sees.
  bool event(QEvent* e) override {
    for (;;) {
      std::function<void()> call;
      {
        const std::lock_guard<std::mutex> hold(call_queue().lock);
        if (call_queue().calls.empty()) break;
        call = std::move(call_queue().calls.front());
        call_queue().calls.pop_front();
      }
      call();
    }
    return QObject::event(e);
  }
};

QObject* gui_calls(QCoreApplication* app) {
  static std::mutex lock;
  static QPointer<QObject> calls;
  const std::lock_guard<std::mutex> hold(lock);
  if (calls.isNull() || calls->parent() != app) {
    auto* made = new GuiCalls;  // NOLINT(clang-analyzer-cplusplus.NewDeleteLeaks): owned by the application
    made->moveToThread(app->thread());
    made->setParent(app);
    calls = made;
  }
  return calls.data();
}

// The result travels through a future (a plain mutex and condition that every
// checker sees); nothing thrown inside crosses the C boundary.
template <class F>
auto on_gui_thread(F&& work) {
  using R = decltype(work());
  try {
    QCoreApplication* app = QCoreApplication::instance();
    if (QThread::currentThread() == app->thread()) return work();
    auto task = std::make_shared<std::packaged_task<R()>>(std::forward<F>(work));
    std::future<R> done = task->get_future();
    QObject* runner = gui_calls(app);
    {
      const std::lock_guard<std::mutex> hold(call_queue().lock);
      call_queue().calls.emplace_back([task] { (*task)(); });
    }
    task.reset();
    // Qt owns a posted event and deletes it once delivered or dropped.
    QCoreApplication::postEvent(runner, new QEvent(wake_type()));  // NOLINT(clang-analyzer-cplusplus.NewDeleteLeaks)
    return done.get();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "VTPagina: the call failed: %s\n", e.what());
    return R();
  }
}

}  // namespace

extern "C" {

VTPAGINA_API void DllPagina(const PrintListItem* items, const char* title, int32_t show, int32_t close_owner) {
  if (!have_application("DllPagina")) return;
  on_gui_thread([&] { vtpagina::run_pagina(items, title, show, close_owner); });
}

VTPAGINA_API PrintFontRecord* DllGetPrintFont(void) {
  if (!have_application("DllGetPrintFont")) return nullptr;
  return on_gui_thread([]() -> PrintFontRecord* {
    if (!vtpagina::check_target(vtpagina::PrintTarget::current())) return nullptr;
    return &vtpagina::font_record();
  });
}

VTPAGINA_API PrintIndents* DllGetPrintIndents(void) {
  if (!have_application("DllGetPrintIndents")) return nullptr;
  return on_gui_thread([]() -> PrintIndents* {
    if (!vtpagina::check_target(vtpagina::PrintTarget::current())) return nullptr;
    return &vtpagina::indent_record();
  });
}

VTPAGINA_API void DllPrintSettings(void) {
  if (!have_application("DllPrintSettings")) return;
  on_gui_thread([] { vtpagina::run_print_settings(); });
}

VTPAGINA_API int32_t DllEndPrint(void) {
  if (!have_application("DllEndPrint")) return 0;
  return on_gui_thread([] { return vtpagina::end_print(); });
}

}  // extern "C"
