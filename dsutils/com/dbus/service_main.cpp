// dsutils-service: the DSUtil objects of the session bus's mail clients.
// Started by the bus on the first call (dbus-1/services/DSUtils.DSUtil.service,
// written by registration); quits when its last object has been gone for a
// minute, or when the bus goes.
#include <QApplication>
#include <QDBusConnection>
#include <QFile>
#include <cstdio>
#include <memory>

#include "dsutils/com/dbus/bus_service.h"
#include "dsutils/com/dsutil_object.h"
#include "dsutils/com/engine_operations.h"
#include "dsutils/engine/engine_helper.h"
#include "dsutils/engine/engine_start.h"
#include "dsutils/widgets/prompt_service.h"
#include "dsutils/widgets/widget_ui.h"

#ifdef QCRYPTO_TEST_HOOKS
#include "dsutils/com/dbus/script_ui.h"
#endif

namespace {

constexpr int kIdleMs = 60 * 1000;

dsutils::widgets::PromptService& prompts() {
  static auto* service = new dsutils::widgets::BoxPromptService();  // lives as long as the process
  return *service;
}

std::unique_ptr<dsutils::EngineUi> make_ui() {
#ifdef QCRYPTO_TEST_HOOKS
  const QByteArray script = qgetenv("DOSSAR_TEST_UI_SCRIPT");
  if (!script.isEmpty()) return dsutils::bus::LoadScriptUi(QFile::decodeName(script));
#endif
  return std::make_unique<dsutils::widgets::WidgetUi>(prompts());
}

int idle_ms() {
#ifdef QCRYPTO_TEST_HOOKS
  bool ok = false;
  const int ms = qEnvironmentVariableIntValue("DOSSAR_TEST_SERVICE_IDLE_MS", &ok);
  if (ok && ms >= 0) return ms;
#endif
  return kIdleMs;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  // The service's windows come and go with its clients' operations.
  QApplication::setQuitOnLastWindowClosed(false);
  dsutils::StartEngine();
  const std::unique_ptr<dsutils::EngineUi> shared = make_ui();
  dsutils::EngineHelper::setUi(shared.get());
  int status = 0;
  {
    dsutils::bus::BusService service(
        QDBusConnection::sessionBus(),
        [] { return std::make_unique<dsutils::DSUtilObject>(dsutils::engine_operations(), make_ui()); }, idle_ms());
    QString error;
    if (!service.start(&error)) {
      std::fprintf(stderr, "dsutils-service: %s\n", error.toLocal8Bit().constData());
      return 1;
    }
    QObject::connect(&service, &dsutils::bus::BusService::finished, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    status = QApplication::exec();
  }
  dsutils::EngineHelper::setUi(nullptr);
  return status;
}
