#include "crypto/r3410/verify_cache.h"

#include "crypto/cclib/locks.h"

namespace qcrypto {
namespace {

using Slot = std::shared_ptr<const R3410VerifyData>;

bool Same(const BnPtr& cached, const BIGNUM* current) {
  return cached && current != nullptr && BN_cmp(cached.get(), current) == 0;
}

}  // namespace

std::shared_ptr<const R3410VerifyData> R3410VerifyCacheGet(const R3410* key) {
  CryptoLockGuard guard(CRYPTO_LOCK_R3410);
  const auto* slot = static_cast<const Slot*>(key->checked);
  if (slot == nullptr) return nullptr;
  const Slot& d = *slot;
  if (Same(d->p, key->p) && Same(d->q, key->q) && Same(d->a, key->a) && Same(d->y, key->y)) return d;
  return nullptr;
}

void R3410VerifyCacheStore(const R3410* key, std::shared_ptr<const R3410VerifyData> data) {
  auto* fresh = new Slot(std::move(data));
  CryptoLockGuard guard(CRYPTO_LOCK_R3410);
  // The cache is run-time state beside the key's numbers, not part of them;
  // a verification still holding the old data keeps it alive.
  auto* mutable_key = const_cast<R3410*>(key);
  R3410VerifyCacheFree(mutable_key->checked);
  mutable_key->checked = fresh;
}

void R3410VerifyCacheFree(void* cache) { delete static_cast<Slot*>(cache); }

}  // namespace qcrypto
