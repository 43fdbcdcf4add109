// The Crypton board.
#include <openssl/crypto.h>

#include "crypto/cclib/locks.h"
#include "crypto/err/err.h"
#include "crypto/rand/rand_board_abi.h"
#include "crypto/rand/rand_board_draw.h"
#include "crypto/rand/rand_hw.h"
#include "platform/dynlib.h"

namespace qcrypto {
namespace {

struct CryptonApi {
  crInitCryptonLib_fn crInitCryptonLib;
  crDoneCryptonLib_fn crDoneCryptonLib;
  crInitService_fn crInitService;
  crInitService_fn crInitHardwareService;
  crInitService_fn crInitLightService;
  crDoneService_fn crDoneService;
  crGetDriverType_fn crGetDriverType;
  crGetDriverVersion_fn crGetDriverVersion;
  crRandom_fn crRandom;
  crControlledRandom_fn crControlledRandom;
};
constexpr const char* kNames[] = {
    "crInitCryptonLib",   "crDoneCryptonLib",   "crInitService",   "crInitHardwareService",
    "crInitLightService", "crDoneService",      "crGetDriverType", "crGetDriverVersion",
    "crRandom",           "crControlledRandom",
};
constexpr std::size_t kCount = sizeof(kNames) / sizeof(kNames[0]);

// Process-wide, guarded by lock 17; zeroed when the device closes.
struct CryptonState {
  int driver_type;
  void* service;
  BoardBuffer<CRYPTON_BUFFER_BYTES> buffer;
  bool initialised;
  uint32_t flags;
};
CryptonState g_state{};
platform::DynLib g_lib;
CryptonApi g_api{};

void zero_state() { OPENSSL_cleanse(&g_state, sizeof(g_state)); }

// A service by the flags; null when no flag chooses one.
void* start_service(uint32_t flags) {
  if (flags & CRYPTON_FULL_SERVICE) return g_api.crInitService();
  if (flags & CRYPTON_LIGHT_SERVICE) return g_api.crInitLightService();
  if (flags & CRYPTON_HARDWARE_SERVICE) return g_api.crInitHardwareService();
  return nullptr;
}

// One attempt at filling the whole buffer.
bool refill_once(unsigned char* buffer) {
  const int rc = (g_state.flags & CRYPTON_CONTROLLED_RANDOM)
                     ? g_api.crControlledRandom(g_state.service, buffer)
                     : g_api.crRandom(g_state.service, CRYPTON_BUFFER_BYTES, buffer);
  return rc != 0;
}

int crypton_info_slot(void* record) { return CRYPTON_rand_info(record); }

const RAND_METHOD kMethod = {
    nullptr, CRYPTON_method_bytes, CRYPTON_method_cleanup, CRYPTON_rand_init, nullptr, nullptr, crypton_info_slot,
    nullptr,
};

}  // namespace

const RAND_METHOD* CRYPTON_rand_method() { return &kMethod; }

int crypton_load() {
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  if (g_lib.loaded()) return 1;
  if (!g_lib.open(kCryptonLibrary)) return 0;
  void* f[kCount] = {};
  if (!g_lib.bind_all(kNames, f, kCount)) {
    g_lib.close();
    return 0;
  }
  g_api = CryptonApi{
      reinterpret_cast<crInitCryptonLib_fn>(f[0]), reinterpret_cast<crDoneCryptonLib_fn>(f[1]),
      reinterpret_cast<crInitService_fn>(f[2]),    reinterpret_cast<crInitService_fn>(f[3]),
      reinterpret_cast<crInitService_fn>(f[4]),    reinterpret_cast<crDoneService_fn>(f[5]),
      reinterpret_cast<crGetDriverType_fn>(f[6]),  reinterpret_cast<crGetDriverVersion_fn>(f[7]),
      reinterpret_cast<crRandom_fn>(f[8]),         reinterpret_cast<crControlledRandom_fn>(f[9]),
  };
  return 1;
}

void crypton_unload() {
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  g_api = CryptonApi{};
  g_lib.close();
}

int CRYPTON_rand_init(void*, void* b) {
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  const auto* args = static_cast<const CRYPTON_INIT_ARGS*>(b);
  bool ok = args != nullptr && crypton_load() && g_api.crInitCryptonLib() != 0;
  if (ok) {
    g_state.initialised = true;
    if (void* service = start_service(args->flags); service != nullptr) g_state.service = service;
    ok = g_state.service != nullptr;
  }
  if (!ok) {
    QERR(ERRLIB_RAND, RAND_F_CRYPTON_RAND_INIT, ERR_R_INTERNAL);
    CRYPTON_method_cleanup();
    return 0;
  }
  g_state.driver_type = g_api.crGetDriverType();
  g_state.flags = args->flags;
  return 1;
}

int CRYPTON_method_bytes(unsigned char* buffer, int length) {
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  if (!g_state.initialised) return 0;
  return board_draw(g_state.buffer, buffer, length, RAND_F_CRYPTON_RAND_BYTES, refill_once);
}

int CRYPTON_method_cleanup() {
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  if (g_state.initialised && g_lib.loaded()) {
    if (g_state.service != nullptr) g_api.crDoneService(g_state.service);
    g_api.crDoneCryptonLib();
  }
  zero_state();
  crypton_unload();
  return 1;
}

int CRYPTON_rand_info(void* record) {
  CryptoLockGuard g(CRYPTO_LOCK_RAND);
  auto* info = static_cast<CRYPTON_INFO*>(record);
  if (info == nullptr || !g_lib.loaded() || g_api.crInitCryptonLib() == 0) {
    QERR(ERRLIB_RAND, RAND_F_CRYPTON_RAND_INFO, ERR_R_INTERNAL);
    return 0;
  }
  void* service = start_service(info->flags);
  if (service == nullptr) {
    g_api.crDoneCryptonLib();
    QERR(ERRLIB_RAND, RAND_F_CRYPTON_RAND_INFO, ERR_R_INTERNAL);
    return 0;
  }
  info->driver_type = static_cast<unsigned char>(g_api.crGetDriverType());
  g_api.crGetDriverVersion(info->version);
  g_api.crDoneService(service);
  g_api.crDoneCryptonLib();
  return 1;
}

}  // namespace qcrypto
