// The Sable card.
#include <openssl/crypto.h>

#include "crypto/cclib/locks.h"
#include "crypto/err/err.h"
#include "crypto/rand/rand_board_abi.h"
#include "crypto/rand/rand_board_draw.h"
#include "crypto/rand/rand_hw.h"
#include "platform/dynlib.h"

namespace qcrypto {
namespace {

struct SableApi {
  sbisCard_fn sbisCard;
  sbGetRand_fn sbGetRand;
};
constexpr const char* kNames[] = {"sbisCard", "sbGetRand"};
constexpr std::size_t kCount = sizeof(kNames) / sizeof(kNames[0]);

// Guarded by lock 17.
SmallBoardState g_state{};
platform::DynLib g_lib;
SableApi g_api{};

const RAND_METHOD kMethod = {
    nullptr, SABLE_method_bytes, SABLE_method_cleanup, SABLE_rand_init, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

const RAND_METHOD* SABLE_rand_method() { return &kMethod; }

int sable_load() {
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  if (g_lib.loaded()) return 1;
  if (!g_lib.open(kSableLibrary)) return 0;
  void* f[kCount] = {};
  if (!g_lib.bind_all(kNames, f, kCount)) {
    g_lib.close();
    return 0;
  }
  g_api = SableApi{reinterpret_cast<sbisCard_fn>(f[0]), reinterpret_cast<sbGetRand_fn>(f[1])};
  return 1;
}

void sable_unload() {
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  g_api = SableApi{};
  g_lib.close();
}

int SABLE_rand_init(void*, void*) {
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  if (g_state.initialised) return 1;
  bool ok = sable_load() != 0;
  if (ok) {
    g_state.initialised = true;
    ok = g_api.sbisCard() == 0;
  }
  if (!ok) {
    QERR(ERRLIB_RAND, RAND_F_SABLE_RAND_INIT, ERR_R_INTERNAL);
    SABLE_method_cleanup();
    return 0;
  }
  return 1;
}

int SABLE_method_bytes(unsigned char* buffer, int length) {
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  if (!g_state.initialised) return 0;
  return board_draw(g_state.buffer, buffer, length, RAND_F_SABLE_RAND_BYTES,
                    [](unsigned char* b) { return g_api.sbGetRand(b, SABLE_BUFFER_BYTES) == 0; });
}

int SABLE_method_cleanup() {
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  if (g_state.initialised) sable_unload();
  OPENSSL_cleanse(&g_state, sizeof(g_state));
  return 1;
}

}  // namespace qcrypto
