// Private-key files come from anyone: the buffer decoder tries every form on
// the same bytes (encrypted and plain PKCS#8, typed DER of four key types,
// PEM) and must refuse what it cannot read cleanly. What it accepts must be a
// usable key: opened, with its type, and (for GOST keys) without a tag left.
#include <openssl/crypto.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "crypto/err/err.h"
#include "crypto/pkey/key_envelope.h"
#include "tests/support/pse_memory.h"

namespace {

int password(char* buffer, int size, int, void*) {
  static const char kPassword[] = "fuzz";
  const int n = static_cast<int>(sizeof kPassword - 1);
  if (size < n) return 0;
  std::memcpy(buffer, kPassword, static_cast<std::size_t>(n));
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static qcrypto::testing_support::MemoryPseStore store;
  qcrypto::UniquePtr<qcrypto::EVP_PKEY_ENVELOPE> key(
      qcrypto::EVP_PKEY_decode_private(data, static_cast<long>(size), &store, password, nullptr));
  if (key) {
    if (key->pkey == nullptr || key->type == 0 || key->decrypted != 1) std::abort();
    if (const qcrypto::R3410* r = qcrypto::EVP_PKEY_ENVELOPE_get0_r3410(key.get()); r != nullptr && r->tag != nullptr)
      std::abort();
    if (const qcrypto::ECGOST* e = qcrypto::EVP_PKEY_ENVELOPE_get0_ecgost(key.get()); e != nullptr && e->tag != nullptr)
      std::abort();
  }
  qcrypto::ERR_clear_error();
  return 0;
}
