// The Accord board.
#include <openssl/crypto.h>

#include "crypto/cclib/locks.h"
#include "crypto/err/err.h"
#include "crypto/rand/rand_board_abi.h"
#include "crypto/rand/rand_board_draw.h"
#include "crypto/rand/rand_hw.h"
#include "platform/dynlib.h"

namespace qcrypto {
namespace {

struct AccordApi {
  TmDriverPresent_fn TmDriverPresent;
  TmGetVersion_fn TmGetVersion;
  TmGetInfo_fn TmGetInfo;
  TmGetRandomBytes_fn TmGetRandomBytes;
};
constexpr const char* kNames[] = {"TmDriverPresent", "TmGetVersion", "TmGetInfo", "TmGetRandomBytes"};
constexpr std::size_t kCount = sizeof(kNames) / sizeof(kNames[0]);

// Guarded by lock 17.
SmallBoardState g_state{};
platform::DynLib g_lib;
AccordApi g_api{};

// The board answers when the status word is non-zero; byte 7 bit 1 of the
// info record says a random source is fitted.
bool board_answers(unsigned char* record) {
  unsigned short status = 0;
  g_api.TmGetInfo(0, record, ACCORD_INFO_BYTES, &status);
  return status != 0;
}

const RAND_METHOD kMethod = {
    nullptr, ACCORD_method_bytes, ACCORD_method_cleanup, ACCORD_rand_init, nullptr, nullptr, ACCORD_rand_info, nullptr,
};

}  // namespace

const RAND_METHOD* ACCORD_rand_method() { return &kMethod; }

int accord_load() {
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  if (g_lib.loaded()) return 1;
  if (!g_lib.open(kAccordLibrary)) return 0;
  void* f[kCount] = {};
  if (!g_lib.bind_all(kNames, f, kCount)) {
    g_lib.close();
    return 0;
  }
  g_api = AccordApi{reinterpret_cast<TmDriverPresent_fn>(f[0]), reinterpret_cast<TmGetVersion_fn>(f[1]),
                    reinterpret_cast<TmGetInfo_fn>(f[2]), reinterpret_cast<TmGetRandomBytes_fn>(f[3])};
  return 1;
}

void accord_unload() {
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  g_api = AccordApi{};
  g_lib.close();
}

int ACCORD_rand_init(void*, void*) {
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  if (g_state.initialised) return 1;
  bool ok = accord_load() != 0;
  if (ok) {
    g_state.initialised = true;
    unsigned char info[ACCORD_INFO_BYTES] = {};
    ok = board_answers(info) && (info[7] & 2) != 0;
  }
  if (!ok) {
    QERR(ERRLIB_RAND, RAND_F_ACCORD_RAND_INIT, ERR_R_INTERNAL);
    ACCORD_method_cleanup();
    return 0;
  }
  return 1;
}

int ACCORD_method_bytes(unsigned char* buffer, int length) {
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  if (!g_state.initialised) return 0;
  return board_draw(g_state.buffer, buffer, length, RAND_F_ACCORD_RAND_BYTES,
                    [](unsigned char* b) { return g_api.TmGetRandomBytes(b, ACCORD_BUFFER_BYTES) == 0; });
}

int ACCORD_method_cleanup() {
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  if (g_state.initialised) accord_unload();
  OPENSSL_cleanse(&g_state, sizeof(g_state));
  return 1;
}

int ACCORD_rand_info(void* record) {
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  const bool for_this_call = !g_state.initialised;
  bool ok = record != nullptr && (!for_this_call || accord_load());
  if (ok) ok = board_answers(static_cast<unsigned char*>(record));
  if (for_this_call) accord_unload();
  if (!ok) {
    QERR(ERRLIB_RAND, RAND_F_ACCORD_RAND_INFO, ERR_R_INTERNAL);
    return 0;
  }
  return 1;
}

}  // namespace qcrypto
