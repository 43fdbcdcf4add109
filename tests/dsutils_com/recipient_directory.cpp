#include "tests/dsutils_com/recipient_directory.h"

#include <vector>

#include "crypto/cclib/ossl_owners.h"
#include "crypto/prov/evp_gost.h"
#include "crypto/rand/rand.h"
#include "dsutils/engine/engine_helper.h"
#include "platform/registry/registry_key.h"
#include "tests/support/gost_pki.h"
#include "tests/support/provider_fixture.h"

namespace dsutils::testing {
namespace {

using platform::reg::HKEY_CURRENT_USER;
using platform::reg::RegistryKey;
using qcrypto::UniquePtr;
using test_support::GostKeyType;

struct Keys {
  UniquePtr<EVP_PKEY> caKey;
  UniquePtr<X509> ca;
  UniquePtr<EVP_PKEY> leafKey;
  bool ready = false;
  Keys() {
    caKey.reset(test_support::gost_new_key(GostKeyType::kEcr3410));
    leafKey.reset(test_support::gost_new_key(GostKeyType::kEcr3410));
    if (!caKey || !leafKey) return;
    ca.reset(test_support::gost_make_cert(caKey.get(), {"Тестовый УЦ", 1, true, 30}, nullptr, caKey.get()));
    ready = ca != nullptr;
  }
};

Keys& keys() {
  static Keys* k = new Keys();  // lives as long as the process
  return *k;
}

bool open_key(RegistryKey& key, const std::string& tail) {
  return key.CreateKey(HKEY_CURRENT_USER, std::string(kProductKey) + tail);
}

}  // namespace

bool start_test_crypto() {
  qcrypto::RAND_set_rand_method(&test_support::kSystemRand);
  return qcrypto::evp_provider_start() == 1 && keys().ready;
}

QByteArray test_ca_certificate() {
  Keys& k = keys();
  if (!k.ready) return {};
  const std::vector<unsigned char> der = test_support::to_der(k.ca.get());
  return QByteArray(reinterpret_cast<const char*>(der.data()), static_cast<qsizetype>(der.size()));
}

QString serial_text(long serial) {
  QByteArray body;
  for (unsigned long v = static_cast<unsigned long>(serial); v != 0; v >>= 8) body.prepend(static_cast<char>(v & 0xFF));
  if (body.isEmpty() || (static_cast<unsigned char>(body[0]) & 0x80) != 0) body.prepend('\0');
  return QString::fromLatin1(body.toHex().toUpper());
}

QByteArray make_user_certificate(const QString& cn, long serial) {
  Keys& k = keys();
  if (!k.ready) return {};
  // The toolkit's start puts its own generator in place; signing here
  // draws from the kernel.
  qcrypto::RAND_set_rand_method(&test_support::kSystemRand);
  UniquePtr<X509> cert(
      test_support::gost_make_cert(k.leafKey.get(), {cn.toStdString(), serial, false, 30}, k.ca.get(), k.caKey.get()));
  if (!cert) return {};
  const std::vector<unsigned char> der = test_support::to_der(cert.get());
  return QByteArray(reinterpret_cast<const char*>(der.data()), static_cast<qsizetype>(der.size()));
}

bool add_other_user(const QString& valueName, const QByteArray& der, const QString& alias) {
  RegistryKey users;
  if (!open_key(users, "\\Certificats\\Users") ||
      !users.SetBinary(valueName.toStdString(), der.constData(), static_cast<std::uint32_t>(der.size())))
    return false;
  if (alias.isEmpty()) return true;
  RegistryKey profile;
  return open_key(profile, "\\Certificats\\Users\\Profile") &&
         profile.SetString(valueName.toStdString(), alias.toStdString());
}

bool add_personal_entry(const QString& entry, const QByteArray& der, const QString& profile) {
  RegistryKey e;
  if (!open_key(e, "\\Certificats\\Owner\\" + entry.toStdString())) return false;
  return e.SetString("File", "/nonexistent/key.p8") && e.SetString("Path", "/nonexistent") &&
         e.SetString("Profile", profile.toStdString()) && e.SetDword("SCZI", 0) &&
         e.SetBinary("SerNum", der.constData(), static_cast<std::uint32_t>(der.size()));
}

bool set_executor_entry(const QString& entry) {
  RegistryKey owner;
  return open_key(owner, "\\Certificats\\Owner") && owner.SetString("Owner", entry.toStdString());
}

QByteArray stored_users() {
  RegistryKey key;
  if (!key.OpenKey(HKEY_CURRENT_USER, std::string(kProductKey) + "\\Property\\Encript")) return {};
  std::vector<std::uint8_t> bytes;
  if (!key.QueryBinary("Users", bytes)) return {};
  return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
}

bool store_users_bytes(const QByteArray& bytes) {
  RegistryKey key;
  return open_key(key, "\\Property\\Encript") &&
         key.SetBinary("Users", bytes.constData(), static_cast<std::uint32_t>(bytes.size()));
}

}  // namespace dsutils::testing
