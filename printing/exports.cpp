// The C exports. Each one needs the host's QApplication and does its work on
// the GUI thread; a call from another thread waits there for the result.
#include <QApplication>
#include <QMetaObject>
#include <QThread>
#include <cstdio>
#include <utility>

#include "printing/print_job.h"
#include "printing/vtpagina.h"

namespace {

bool have_application(const char* export_name) {
  if (qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr) return true;
  std::fprintf(stderr, "VTPagina: %s needs the host's QApplication; nothing was done\n", export_name);
  return false;
}

template <class F>
auto on_gui_thread(F&& work) {
  QCoreApplication* app = QCoreApplication::instance();
  if (QThread::currentThread() == app->thread()) return work();
  using R = decltype(work());
  if constexpr (std::is_void_v<R>) {
    QMetaObject::invokeMethod(app, std::forward<F>(work), Qt::BlockingQueuedConnection);
  } else {
    R result{};
    QMetaObject::invokeMethod(
        app, [&] { result = work(); }, Qt::BlockingQueuedConnection);
    return result;
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
