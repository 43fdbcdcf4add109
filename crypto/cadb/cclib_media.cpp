#include "crypto/cadb/cclib_media.h"

#include <array>

#include "crypto/bio/tm_bio.h"
#include "crypto/bio/vexil_bio.h"
#include "crypto/bio/vxsdk_bio.h"
#include "crypto/cclib/locks.h"
#include "crypto/err/err.h"
#include "crypto/rand/rand.h"
#include "crypto/rand/rand_device.h"
#include "platform/dynlib.h"

namespace qcrypto {
namespace {

constexpr std::array<const char*, CCLIB_MEDIA_COUNT> kLibraryNames = {"vxapi.dll", "vxsdk", "ibfs32.dll"};

// Guarded by lock 25. Never destroyed: a stop may run from another module's
// static destructor at process exit.
struct MediaState {
  bool loaded = false;
  std::array<platform::DynLib, CCLIB_MEDIA_COUNT> libs;
};

MediaState& state() {
  static MediaState* s = new MediaState();
  return *s;
}

}  // namespace

const char* CCLIB_media_library_name(int medium) {
  if (medium < 0 || medium >= CCLIB_MEDIA_COUNT) return nullptr;
  return kLibraryNames[static_cast<std::size_t>(medium)];
}

int CCLIB_init() {
  {
    CryptoLockGuard guard(CRYPTO_LOCK_PSE);
    MediaState& s = state();
    if (s.loaded) return 1;
    // The allocator is the C runtime's already (OpenSSL's default); nothing to
    // set. A medium whose library is absent stays unusable: no error.
    for (std::size_t i = 0; i < s.libs.size(); ++i) s.libs[i].open(kLibraryNames[i]);
    // The media BIOs bind their drivers' exports; a library without them
    // leaves its medium refusing every open.
    VEXIL_load();
    load_token_sdk();
    TM_load();
    s.loaded = true;
  }
  RAND_set_rand_method(nullptr);
  return 1;
}

void CCLIB_cleanup() {
  {
    CryptoLockGuard guard(CRYPTO_LOCK_PSE);
    MediaState& s = state();
    if (!s.loaded) return;
    VEXIL_unload();
    unload_token_sdk();
    TM_unload();
    for (auto& lib : s.libs) lib.close();
    s.loaded = false;
  }
  PSE_rand_cleanup();
  ERR_remove_state();
  ERR_free_strings();
}

int CCLIB_media_loaded() {
  CryptoLockGuard guard(CRYPTO_LOCK_PSE);
  return state().loaded ? 1 : 0;
}

int CCLIB_medium_usable(int medium) {
  if (medium < 0 || medium >= CCLIB_MEDIA_COUNT) return 0;
  CryptoLockGuard guard(CRYPTO_LOCK_PSE);
  const MediaState& s = state();
  return s.loaded && s.libs[static_cast<std::size_t>(medium)].loaded() ? 1 : 0;
}

}  // namespace qcrypto
