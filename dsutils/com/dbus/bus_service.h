// The service's factory, /DSUtil: each Create makes one DSUtil object for
// the calling connection, under /DSUtil/<n>. An object is removed from the
// bus as soon as its creator leaves and freed once its operation has ended;
// with no object left the service quits after a quiet time.
#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusObjectPath>
#include <QDBusServiceWatcher>
#include <QHash>
#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>

#include "dsutils/com/dsutil_object.h"

namespace dsutils::bus {

class BusObject;

inline constexpr char kServiceName[] = "DSUtils.DSUtil";
inline constexpr char kFactoryPath[] = "/DSUtil";
// Objects one connection may hold at once.
inline constexpr int kObjectsPerClient = 16;

class BusService : public QObject, protected QDBusContext {
  Q_OBJECT
 public:
  using ObjectMaker = std::function<std::unique_ptr<DSUtilObject>()>;
  BusService(QDBusConnection bus, ObjectMaker maker, int idleMs, QObject* parent = nullptr);
  ~BusService() override;
  BusService(const BusService&) = delete;
  BusService& operator=(const BusService&) = delete;

  // Registers /DSUtil and takes the name; false (with the reason) when
  // either fails.
  bool start(QString* error);

  // DSUtils.Factory
  QDBusObjectPath Create();

 signals:
  // Nothing left to serve: no object and the quiet time passed, or the bus
  // is gone.
  void finished();

 private:
  void ownerLeft(const QString& owner);
  void release(BusObject* object);
  void checkIdle();

  QDBusConnection bus_;
  ObjectMaker maker_;
  QDBusServiceWatcher watcher_;
  QTimer idle_;
  QTimer busCheck_;
  QHash<BusObject*, QString> paths_;  // every live object, on the bus or waiting for its operation
  quint64 next_ = 0;
};

}  // namespace dsutils::bus
