// A getter of dsutils-service over the session bus while another client's
// operation waits in one of the service's dialogs (offscreen, nobody
// answering): the service's loop must keep answering. The benchmark starts
// its own dbus-daemon --session and the service beside it in a scratch home.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <limits>
#include <vector>

namespace {

struct World {
  QTemporaryDir dir;
  QProcess daemon, service;
  QString address;
  bool ok = false;

  World() {
    daemon.setProgram(QStringLiteral("dbus-daemon"));
    daemon.setArguments({QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
    daemon.start();
    if (!daemon.waitForStarted() || !daemon.waitForReadyRead(10000)) return;
    address = QString::fromUtf8(daemon.readLine()).trimmed();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), address);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("HOME"), dir.path());
    env.insert(QStringLiteral("XDG_DATA_HOME"), dir.path() + QStringLiteral("/data"));
    env.insert(QStringLiteral("DOSSAR_REGISTRY_DB"), dir.path() + QStringLiteral("/registry.db"));
    env.remove(QStringLiteral("DOSSAR_TEST_UI_SCRIPT"));
    service.setProcessEnvironment(env);
    service.setProgram(QStringLiteral(DSUTILS_SERVICE));
    service.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    service.start();
    ok = service.waitForStarted();
  }
  ~World() {
    service.kill();
    service.waitForFinished();
    daemon.kill();
    daemon.waitForFinished();
  }
};

QDBusMessage call(QDBusConnection& bus, const QString& path, const QString& iface, const QString& member,
                  const QVariantList& args = {}) {
  QDBusMessage m = QDBusMessage::createMethodCall(QStringLiteral("DSUtils.DSUtil"), path, iface, member);
  m.setArguments(args);
  return bus.call(m, QDBus::Block, 60000);
}

QString create(QDBusConnection& bus) {
  const QDBusMessage r =
      call(bus, QStringLiteral("/DSUtil"), QStringLiteral("DSUtils.Factory"), QStringLiteral("Create"));
  if (r.type() != QDBusMessage::ReplyMessage || r.arguments().isEmpty()) return {};
  return r.arguments().first().value<QDBusObjectPath>().path();
}

void BM_GetterWhileAnotherOperationWaits(benchmark::State& state) {
  World world;
  if (!world.ok) {
    state.SkipWithError("dbus-daemon or dsutils-service does not start");
    return;
  }
  QDBusConnection a = QDBusConnection::connectToBus(world.address, QStringLiteral("a"));
  QDBusConnection b = QDBusConnection::connectToBus(world.address, QStringLiteral("b"));
  // The service owns its name once it has started.
  QString pathA;
  for (int i = 0; i < 100 && pathA.isEmpty(); ++i) {
    pathA = create(a);
    if (pathA.isEmpty()) QThread::msleep(50);
  }
  const QString pathB = create(b);
  if (pathA.isEmpty() || pathB.isEmpty()) {
    state.SkipWithError("Create failed");
    return;
  }
  const QString iface = QStringLiteral("DSUtils.IDSUtil");
  const QString doc = world.dir.path() + QStringLiteral("/doc.txt");
  QFile f(doc);
  if (!f.open(QIODevice::WriteOnly) || f.write("a document\n") <= 0) {
    state.SkipWithError("no scratch document");
    return;
  }
  f.close();
  // Client a's operation: its first window waits for a person.
  QDBusMessage op =
      QDBusMessage::createMethodCall(QStringLiteral("DSUtils.DSUtil"), pathA, iface, QStringLiteral("SignatureFile"));
  op.setArguments({doc});
  a.asyncCall(op, std::numeric_limits<int>::max());
  bool busy = false;
  for (int i = 0; i < 100 && !busy; ++i) {
    busy =
        call(a, pathA, iface, QStringLiteral("get_Email_Auto"), {0}).errorName() == QLatin1String("DSUtils.Error.Busy");
    if (!busy) QThread::msleep(20);
  }
  if (!busy) {
    state.SkipWithError("client a's operation did not start");
    return;
  }
  std::vector<double> times;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const QDBusMessage r = call(b, pathB, iface, QStringLiteral("get_Email_Auto"), {0});
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(seconds);
    times.push_back(seconds);
    if (r.type() != QDBusMessage::ReplyMessage) {
      state.SkipWithError(r.errorMessage().toLocal8Bit().constData());
      break;
    }
  }
  std::sort(times.begin(), times.end());
  if (!times.empty()) {
    state.counters["median_ms"] = times[times.size() / 2] * 1e3;
    state.counters["p99_ms"] = times[times.size() * 99 / 100] * 1e3;
  }
  // Still waiting in its dialog.
  if (call(a, pathA, iface, QStringLiteral("get_Email_Auto"), {0}).errorName() != QLatin1String("DSUtils.Error.Busy"))
    state.SkipWithError("client a's operation ended during the measurement");
  QDBusConnection::disconnectFromBus(QStringLiteral("a"));
  QDBusConnection::disconnectFromBus(QStringLiteral("b"));
}
BENCHMARK(BM_GetterWhileAnotherOperationWaits)->Unit(benchmark::kMicrosecond)->Iterations(2000)->UseManualTime();

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
