// The C entry points of libDSUtils.so.
#include <dlfcn.h>
#include <unistd.h>

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <cstdio>
#include <mutex>

#include "dsutils/com/dsutil_object.h"
#include "dsutils/com/engine_operations.h"
#include "dsutils/com/registration.h"
#include "dsutils/com/shell_host.h"
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

namespace {

// A program installed with this library (dsutils-shell, dsutils-service).
QString installed_program(const QString& name) {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&DSUtilsRegister), &info) == 0 || info.dli_fname == nullptr) return QString();
  const QString dir = QFileInfo(QFile::decodeName(info.dli_fname)).absolutePath();
  for (const char* rel : {"/", "/../bin/", "/../libexec/dossar/"}) {
    const QFileInfo program(dir + QLatin1String(rel) + name);
    if (program.isFile() && program.isExecutable()) return program.canonicalFilePath();
  }
  return QString();
}

int report(const dsutils::RegistrationResult& r) {
  if (r.ok) return 0;
  std::fprintf(stderr, "Dossar: %s\n", r.error.toLocal8Bit().constData());
  return 1;
}

}  // namespace

extern "C" int DSUtilsRegister() {
  try {
    const QString host = installed_program(QStringLiteral("dsutils-shell"));
    if (host.isEmpty()) {
      std::fprintf(stderr, "Dossar: dsutils-shell is not installed beside libDSUtils.so\n");
      return 1;
    }
    const QString service = installed_program(QStringLiteral("dsutils-service"));
    if (service.isEmpty()) {
      std::fprintf(stderr, "Dossar: dsutils-service is not installed beside libDSUtils.so\n");
      return 1;
    }
    return report(dsutils::RegisterFileManagers(host, dsutils::DefaultDataHome(), service));
  } catch (...) {
    return 1;
  }
}

extern "C" int DSUtilsUnregister() {
  try {
    return report(dsutils::UnregisterFileManagers(dsutils::DefaultDataHome()));
  } catch (...) {
    return 1;
  }
}

extern "C" int DSUtilsShellRun(int argc, const char* const* argv) {
  try {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QFile::decodeName(argv[i]);
    if (arguments == QStringList{QStringLiteral("--register")}) return DSUtilsRegister();
    if (arguments == QStringList{QStringLiteral("--unregister")}) return DSUtilsUnregister();
    if (!have_widgets()) {
      std::fprintf(stderr, "dsutils-shell: no QApplication\n");
      return dsutils::kHostUsage;
    }
    start_library();
    dsutils::g_debug_flag = dsutils::engine_helper().GetDebugFlag();
    dsutils::widgets::WidgetUi ui(prompts());
    dsutils::ShellHost host(dsutils::engine_host_operations(), ui);
    return host.run(arguments);
  } catch (...) {
    return dsutils::kHostFailed;
  }
}

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
