// The C entry points of libDSUtils.so.
#include <QApplication>
#include <mutex>

#include "dsutils/com/dsutil_object.h"
#include "dsutils/com/engine_operations.h"
#include "dsutils/com/test_hooks.h"
#include "dsutils/engine/engine_helper.h"
#include "dsutils/engine/engine_start.h"
#include "dsutils/engine/ui_console.h"
#include "dsutils/widgets/prompt_service.h"
#include "dsutils/widgets/widget_ui.h"

namespace {

bool have_widgets() { return qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr; }

dsutils::widgets::PromptService& prompts() {
  static auto* service = new dsutils::widgets::BoxPromptService();  // lives as long as the process
  return *service;
}

std::unique_ptr<dsutils::EngineUi> make_ui() {
  if (have_widgets()) return std::make_unique<dsutils::widgets::WidgetUi>(prompts());
  // A host without windows (a script, a service) is served on the terminal.
  return std::make_unique<dsutils::ConsoleUi>(dsutils::ConsoleUiOptions{});
}

void start_library() {
  static std::once_flag once;
  std::call_once(once, [] {
    dsutils::StartEngine();
    // The engine's own boxes outside any object's operation.
    static std::unique_ptr<dsutils::EngineUi> shared = make_ui();
    dsutils::EngineHelper::setUi(shared.get());
  });
}

}  // namespace

extern "C" dsutils::IDSUtil* DSUtilCreate() {
  try {
    start_library();
    return new dsutils::DSUtilObject(dsutils::engine_operations(), make_ui());
  } catch (...) {
    return nullptr;
  }
}

extern "C" void DSUtilRelease(dsutils::IDSUtil* object) { delete static_cast<dsutils::DSUtilObject*>(object); }

extern "C" void DSUtilSetMainWindow(QWidget* window) { dsutils::widgets::HostWindow::set(window); }

#ifdef QCRYPTO_TEST_HOOKS
extern "C" dsutils::IDSUtil* DSUtilTestCreateWithUi(dsutils::EngineUi* ui) {
  if (ui == nullptr) return nullptr;
  try {
    start_library();
    return new dsutils::DSUtilObject(dsutils::engine_operations(), *ui);
  } catch (...) {
    return nullptr;
  }
}
#endif
