// The block of put_Operation on the bus: the structure (iss) of mode, text
// and output name.
#pragma once

#include <QDBusArgument>
#include <QMetaType>

#include "dsutils/engine/records.h"

Q_DECLARE_METATYPE(dsutils::OperationParams)

namespace dsutils {

inline QDBusArgument& operator<<(QDBusArgument& arg, const OperationParams& p) {
  arg.beginStructure();
  arg << p.mode << p.text << p.outputName;
  arg.endStructure();
  return arg;
}

inline const QDBusArgument& operator>>(const QDBusArgument& arg, OperationParams& p) {
  arg.beginStructure();
  arg >> p.mode >> p.text >> p.outputName;
  arg.endStructure();
  return arg;
}

}  // namespace dsutils
