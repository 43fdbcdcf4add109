// The C exports. Each one needs the host's QApplication and does its work on
// the GUI thread; a call from another thread waits there for the result.
#include <QApplication>
#include <QEvent>
#include <QPointer>
#include <QThread>
#include <cstdio>
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

// A call carried to the GUI thread. Deleting it unrun (the application went
// first) drops the function, whose broken promise wakes the caller.
class CallEvent : public QEvent {
 public:
  static QEvent::Type type() {
    static const auto t = static_cast<QEvent::Type>(QEvent::registerEventType());
    return t;
  }
  explicit CallEvent(std::function<void()> call) : QEvent(type()), call_(std::move(call)) {}
  void run() { call_(); }

 private:
  std::function<void()> call_;
};

// Runs the calls on the thread it lives on (the GUI thread); a child of the
// application, so the application's end takes it and its pending calls.
class GuiCalls : public QObject {
 public:
  bool event(QEvent* e) override {
    if (e->type() != CallEvent::type()) return QObject::event(e);
    static_cast<CallEvent*>(e)->run();
    return true;
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
    // Qt owns a posted event and deletes it once delivered or dropped.
    QCoreApplication::postEvent(gui_calls(app), new CallEvent([task] { (*task)(); }));  // NOLINT
    task.reset();
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
