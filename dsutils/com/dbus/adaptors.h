// The adaptors generated from the interface files, each made a child of
// the object it exports (defined beside the generated code).
#pragma once

namespace dsutils::bus {

class BusService;
class BusObject;

void AttachFactoryAdaptor(BusService* service);
void AttachObjectAdaptor(BusObject* object);

}  // namespace dsutils::bus
