#include "crypto/cadb/library.h"

#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <mutex>
#include <type_traits>

#include "crypto/cadb/cclib_media.h"
#include "crypto/cclib/locks.h"
#include "crypto/err/err.h"
#include "crypto/prov/evp_gost.h"
#include "crypto/rand/mprand.h"
#include "crypto/rand/rand_device.h"
#include "platform/named_mutex.h"

namespace qcrypto {
namespace {

// Guarded by lock 18.
int g_references = 0;

// Serialises the first start and the last stop with each other, so that a
// start that finds the count at 0 waits for a stop in progress to finish
// and a stop never runs beside a start. Taken before any numbered lock.
// Constant-initialised, so there is no initialisation guard that a fork
// could leave half-taken in the child; its destructor does nothing, so
// threads still stopping at exit can use it.
static_assert(std::is_trivially_destructible_v<std::mutex>);
constinit std::mutex g_transition;
std::mutex& transition() { return g_transition; }

// A fork never copies a half-done first start or last stop into the child:
// the forking thread takes the transition first and lets it go in parent and
// child alike.
void fork_prepare() { transition().lock(); }
void fork_release() { transition().unlock(); }

// Registered while the library loads, before any thread could hold one of
// these locks (registered lazily, a fork during the first start copied a
// held lock into the child). A prepare handler registered later runs
// earlier: the transition first, then the numbered locks and the
// generator's mutex slot, then the named mutexes, the order in which a
// start takes them.
[[maybe_unused]] const bool g_fork_handlers = [] {
  platform::NamedMutex::install_fork_handlers();
  mprand_install_fork_handlers();
  CRYPTO_locks_prepare();
  pthread_atfork(fork_prepare, fork_release, fork_release);
  return true;
}();
std::once_flag g_register_once;
std::atomic<int> g_registered{0};

// The shared object that holds this copy of the library is never unloaded
// once it registered with OpenSSL: the objects' error texts and the built-in
// provider's functions it handed over are used by every copy in the process
// until exit.
void pin_this_object() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&cadb_library_init), &info) == 0 || info.dli_fname == nullptr) return;
  // RTLD_NOLOAD only takes another reference of what is already mapped (or
  // gives null for the main program, which is never unloaded anyway).
  void* self = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
  (void)self;  // the reference is kept on purpose
}

void register_once() {
  // evp_provider_start registers the objects and signature pairs first;
  // every registration looks for what another copy of the library made
  // before making its own, so the process ends up with one of each.
  g_registered.store(evp_provider_start());
  pin_this_object();
}

// A board's driver is one per process, shared by every copy of the library,
// while each copy serialises its own use under its own lock 17: the copies
// (and other processes) take the generator's named mutex around the draw.
// Taken before lock 17, never under it.
void seed_generator() {
  const bool named = mprand_mutex_create() == 1 && mprand_lock() == 1;
  PSE_rand_seed_from_device(nullptr);
  if (named) mprand_unlock();
}

void first_start() {
  CCLIB_init();
  ERR_load_crypto_strings();
  std::call_once(g_register_once, register_once);
  // The X.509v3 extension methods of the system join here once their
  // module exists; OpenSSL's standard ones need no registration.
  seed_generator();
}

void last_stop() {
  ERR_remove_state();
  ERR_free_strings();
  PSE_rand_cleanup();
  CCLIB_cleanup();
}

// Adds one reference when the library is started already; true then.
bool add_to_started() {
  CryptoLockGuard guard(CRYPTO_LOCK_MALLOC);
  if (g_references <= 0) return false;
  ++g_references;
  return true;
}

}  // namespace

void cadb_library_init() {
  if (add_to_started()) return;  // the lock table exists from here on
  std::lock_guard<std::mutex> serial(transition());
  if (add_to_started()) return;  // another thread started it meanwhile
  first_start();
  // Counted only now: a thread that sees a reference sees a started library.
  CryptoLockGuard guard(CRYPTO_LOCK_MALLOC);
  g_references = 1;
}

void cadb_library_cleanup() {
  {
    CryptoLockGuard guard(CRYPTO_LOCK_MALLOC);
    if (g_references <= 0) return;  // a stop without a start: nothing
    if (g_references > 1) {
      --g_references;
      return;
    }
  }
  std::lock_guard<std::mutex> serial(transition());
  {
    CryptoLockGuard guard(CRYPTO_LOCK_MALLOC);
    if (g_references <= 0) return;
    if (g_references > 1) {  // a start came in meanwhile: not the last one any more
      --g_references;
      return;
    }
    // From here starts wait for the stop to finish.
    g_references = 0;
  }
  last_stop();
}

int cadb_library_references() {
  CryptoLockGuard guard(CRYPTO_LOCK_MALLOC);
  return g_references;
}

int cadb_library_registered() { return g_registered.load(); }

}  // namespace qcrypto
