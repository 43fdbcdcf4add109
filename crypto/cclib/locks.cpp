#include "crypto/cclib/locks.h"

#include <algorithm>
#include <array>

namespace qcrypto {
namespace {

using LockTable = std::array<std::recursive_mutex, CRYPTO_NUM_LOCKS>;

// Made once, on first use from any thread, and never destroyed: a lock may be
// taken from a static destructor of another module at process exit.
LockTable& lock_table() {
  static std::once_flag once;
  static LockTable* table = nullptr;
  std::call_once(once, [] { table = new LockTable(); });
  return *table;
}

constexpr const char* kLockNames[CRYPTO_NUM_LOCKS] = {
    "<<ERROR>>", "err",         "err_hash",    "x509",       "x509_info",     "x509_pkey", "x509_crl",
    "x509_req",  "dsa",         "rsa",         "evp_pkey",   "x509_store",    "ssl_ctx",   "ssl_cert",
    "ssl_session", "ssl_sess_cert", "ssl",     "rand",       "malloc",        "bio",       "gethostbyname",
    "getservbyname", "readdir", "rsa_blinding", "r3410",     "pse",           "mask",      "ecgost",
    "cms",       "rus",         "asn1",        "Vexil",      "pse_cache",
};

}  // namespace

void CRYPTO_lock(int mode, int type, const char*, int) {
  if (type < 0 || type >= CRYPTO_NUM_LOCKS) return;
  auto& m = lock_table()[static_cast<std::size_t>(type)];
  if (mode & CRYPTO_LOCK) {
    m.lock();
  } else {
    m.unlock();
  }
}

const char* CRYPTO_get_lock_name(int type) {
  if (type < 0 || type >= CRYPTO_NUM_LOCKS) return "ERROR";
  return kLockNames[type];
}

unsigned char* CCLIB_reverse(unsigned char* bytes, int length) {
  if (bytes != nullptr && length > 0) std::reverse(bytes, bytes + length);
  return bytes;
}

}  // namespace qcrypto
