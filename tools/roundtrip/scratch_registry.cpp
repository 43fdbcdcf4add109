#include "tools/roundtrip/scratch_registry.h"

#include <cstdint>
#include <fstream>
#include <iterator>

#include "dsutils/engine/engine_helper.h"
#include "platform/registry/registry_key.h"

namespace roundtrip {

std::string write_scratch_registry(const ScratchPki& pki) {
  using platform::reg::RegistryKey;
  const std::string root = dsutils::kProductKey;
  const auto key = [&](RegistryKey& k, const std::string& tail) {
    return k.CreateKey(platform::reg::HKEY_CURRENT_USER, root + tail);
  };
  // The record names the certificate files.
  const auto bytes = [](RegistryKey& k, const char* name, const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    const std::string b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return !b.empty() && k.SetBinary(name, b.data(), static_cast<std::uint32_t>(b.size()));
  };
  RegistryKey owner, entry, users, ca, crl;
  const bool ok = key(owner, "\\Certificats\\Owner") && owner.SetString("Owner", "executor") &&
                  key(entry, "\\Certificats\\Owner\\executor") && entry.SetString("File", "") &&
                  entry.SetString("Path", pki.container) && entry.SetString("Profile", "executor") &&
                  entry.SetDword("SCZI", 1) && bytes(entry, "SerNum", pki.user_cert) &&
                  key(users, "\\Certificats\\Users") && bytes(users, "executor", pki.user_cert) &&
                  key(ca, "\\Certificats\\Ca") && bytes(ca, "CA", pki.ca_cert) && key(crl, "\\Certificats\\CRL") &&
                  crl.SetDword("IsUse", 1) && crl.SetString("Path", pki.crl_dir);
  return ok ? std::string() : std::string("the settings tree could not be written");
}

}  // namespace roundtrip
