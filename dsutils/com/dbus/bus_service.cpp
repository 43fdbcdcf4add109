#include "dsutils/com/dbus/bus_service.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>

#include "dsutils/com/dbus/adaptors.h"
#include "dsutils/com/dbus/bus_object.h"

namespace dsutils::bus {

BusService::BusService(QDBusConnection bus, ObjectMaker maker, int idleMs, QObject* parent)
    : QObject(parent), bus_(std::move(bus)), maker_(std::move(maker)) {
  qDBusRegisterMetaType<OperationParams>();
  AttachFactoryAdaptor(this);
  watcher_.setConnection(bus_);
  watcher_.setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
  connect(&watcher_, &QDBusServiceWatcher::serviceUnregistered, this, &BusService::ownerLeft);
  idle_.setSingleShot(true);
  idle_.setInterval(idleMs);
  connect(&idle_, &QTimer::timeout, this, &BusService::checkIdle);
  // The bus daemon may end before us (a session closing): nobody can call
  // any more, so every object goes as if its client had left, and the
  // service quits once the operations under way (their dialogs still up)
  // have ended.
  busCheck_.setInterval(500);
  connect(&busCheck_, &QTimer::timeout, this, [this] {
    if (bus_.isConnected()) return;
    busCheck_.stop();
    QStringList owners;
    for (BusObject* object : paths_.keys()) owners << object->owner();
    owners.removeDuplicates();
    for (const QString& owner : owners) ownerLeft(owner);
    if (paths_.isEmpty()) emit finished();
  });
}

BusService::~BusService() {
  // Only objects without an operation are left here (finished waits for
  // the operations); each joins its ended thread.
  const QList<BusObject*> objects = paths_.keys();
  paths_.clear();
  qDeleteAll(objects);
}

bool BusService::start(QString* error) {
  if (!bus_.registerObject(QLatin1String(kFactoryPath), this, QDBusConnection::ExportAdaptors)) {
    *error = QStringLiteral("cannot register %1: %2").arg(QLatin1String(kFactoryPath), bus_.lastError().message());
    return false;
  }
  if (!bus_.registerService(QLatin1String(kServiceName))) {
    *error = QStringLiteral("cannot own %1: %2").arg(QLatin1String(kServiceName), bus_.lastError().message());
    return false;
  }
  busCheck_.start();
  idle_.start();
  return true;
}

QDBusObjectPath BusService::Create() {
  const QString owner = message().service();
  int held = 0;
  for (auto it = paths_.cbegin(); it != paths_.cend(); ++it) {
    if (it.key()->owner() == owner && !it.value().isEmpty()) ++held;
  }
  if (held >= kObjectsPerClient) {
    sendErrorReply(QLatin1String(kErrorLimit),
                   QStringLiteral("a connection may hold %1 objects at most").arg(kObjectsPerClient));
    return {};
  }
  std::unique_ptr<DSUtilObject> made;
  try {
    made = maker_();
  } catch (...) {
    made.reset();
  }
  if (!made) {
    sendErrorReply(QLatin1String(kErrorFailed), QStringLiteral("the object cannot be made"));
    return {};
  }
  auto* object = new BusObject(std::move(made), owner, this);
  AttachObjectAdaptor(object);
  const QString path = QStringLiteral("%1/%2").arg(QLatin1String(kFactoryPath)).arg(++next_);
  if (!bus_.registerObject(path, object, QDBusConnection::ExportAdaptors)) {
    delete object;
    sendErrorReply(QLatin1String(kErrorFailed), QStringLiteral("cannot register %1").arg(path));
    return {};
  }
  connect(object, &BusObject::operationEnded, this, [this, object] {
    // Off the bus already: its creator has left.
    if (paths_.contains(object) && paths_.value(object).isEmpty()) release(object);
  });
  paths_.insert(object, path);
  watcher_.addWatchedService(owner);
  idle_.stop();
  // The creator may have left already; the watcher would not tell.
  if (!bus_.interface()->isServiceRegistered(owner).value()) ownerLeft(owner);
  return QDBusObjectPath(path);
}

void BusService::ownerLeft(const QString& owner) {
  watcher_.removeWatchedService(owner);
  const QList<BusObject*> objects = paths_.keys();
  for (BusObject* object : objects) {
    if (object->owner() != owner) continue;
    QString& path = paths_[object];
    if (!path.isEmpty()) bus_.unregisterObject(path);
    path.clear();
    if (!object->running()) release(object);
  }
}

void BusService::release(BusObject* object) {
  paths_.remove(object);
  object->deleteLater();
  if (paths_.isEmpty()) idle_.start();
}

void BusService::checkIdle() {
  if (paths_.isEmpty()) emit finished();
}

}  // namespace dsutils::bus
