// The personal entries of the local certificate directory by position, for
// the author lists of the sign dialog and the sign page.
#include "dsutils/engine/engine_helper.h"
#include "platform/registry/registry_store.h"

namespace dsutils {

bool EngineHelper::EnumOwnerEntry(std::uint32_t index, QString& name) {
  const std::shared_ptr<platform::reg::Store> store = platform::reg::Store::current_user();
  if (!store) return false;
  platform::reg::Key owners;
  if (platform::reg::Key::root(store).open(std::string(kProductKey) + "\\Certificats\\Owner", owners) !=
      platform::reg::ERROR_SUCCESS)
    return false;
  std::string entry;
  if (store->enum_key(owners.id(), index, entry) != platform::reg::ERROR_SUCCESS) return false;
  name = QString::fromStdString(entry);
  return true;
}

}  // namespace dsutils
