// GOST R 34.11-94 as two provider digests: RUS-HASH (the digest of
// GOST R 34.10-94 signatures) and ECR3410-R3411 (of GOST R 34.10-2001).
// Both are the same hash with no start vector and the hash default S-box set.
#include <openssl/core_names.h>
#include <openssl/params.h>

#include <climits>
#include <new>

#include "crypto/prov/prov.h"
#include "crypto/rus/gost3411.h"

namespace qcrypto::prov {
namespace {

// GOSTH_update takes an int length: larger updates go in slices that keep
// whole blocks together.
constexpr size_t kSlice = size_t{1} << 30;

void* hash_newctx(void*) { return new (std::nothrow) GOSTH_CTX{}; }

void hash_freectx(void* vctx) {
  auto* ctx = static_cast<GOSTH_CTX*>(vctx);
  GOSTH_clear(ctx);
  delete ctx;
}

void* hash_dupctx(void* vsrc) {
  const auto* src = static_cast<const GOSTH_CTX*>(vsrc);
  auto* dst = new (std::nothrow) GOSTH_CTX{};
  if (dst == nullptr) return nullptr;
  if (GOSTH_CTX_copy(dst, src) != 1) {
    GOSTH_clear(dst);
    delete dst;
    return nullptr;
  }
  return dst;
}

int hash_init(void* vctx, const OSSL_PARAM*) { return GOSTH_init(static_cast<GOSTH_CTX*>(vctx), nullptr, nullptr); }

int hash_update(void* vctx, const unsigned char* in, size_t inl) {
  auto* ctx = static_cast<GOSTH_CTX*>(vctx);
  while (inl > 0) {
    const size_t n = inl < kSlice ? inl : kSlice;
    if (GOSTH_update(ctx, in, static_cast<int>(n)) != static_cast<int>(n)) return 0;
    in += n;
    inl -= n;
  }
  return 1;
}

int hash_final(void* vctx, unsigned char* out, size_t* outl, size_t outsz) {
  if (outsz < static_cast<size_t>(GOSTH_DIGEST_BYTES)) return 0;
  if (GOSTH_final(static_cast<GOSTH_CTX*>(vctx), out) != GOSTH_DIGEST_BYTES) return 0;
  *outl = GOSTH_DIGEST_BYTES;
  return 1;
}

const OSSL_PARAM kHashGettable[] = {
    OSSL_PARAM_size_t(OSSL_DIGEST_PARAM_BLOCK_SIZE, nullptr),
    OSSL_PARAM_size_t(OSSL_DIGEST_PARAM_SIZE, nullptr),
    OSSL_PARAM_int(OSSL_DIGEST_PARAM_XOF, nullptr),
    OSSL_PARAM_int(OSSL_DIGEST_PARAM_ALGID_ABSENT, nullptr),
    OSSL_PARAM_END,
};

const OSSL_PARAM* hash_gettable_params(void*) { return kHashGettable; }

int hash_get_params(OSSL_PARAM params[]) {
  OSSL_PARAM* p = OSSL_PARAM_locate(params, OSSL_DIGEST_PARAM_BLOCK_SIZE);
  if (p != nullptr && !OSSL_PARAM_set_size_t(p, GOSTH_BLOCK_BYTES)) return 0;
  p = OSSL_PARAM_locate(params, OSSL_DIGEST_PARAM_SIZE);
  if (p != nullptr && !OSSL_PARAM_set_size_t(p, GOSTH_DIGEST_BYTES)) return 0;
  p = OSSL_PARAM_locate(params, OSSL_DIGEST_PARAM_XOF);
  if (p != nullptr && !OSSL_PARAM_set_int(p, 0)) return 0;
  p = OSSL_PARAM_locate(params, OSSL_DIGEST_PARAM_ALGID_ABSENT);
  if (p != nullptr && !OSSL_PARAM_set_int(p, 0)) return 0;
  return 1;
}

const OSSL_DISPATCH kHashFunctions[] = {
    {OSSL_FUNC_DIGEST_NEWCTX, reinterpret_cast<void (*)()>(hash_newctx)},
    {OSSL_FUNC_DIGEST_INIT, reinterpret_cast<void (*)()>(hash_init)},
    {OSSL_FUNC_DIGEST_UPDATE, reinterpret_cast<void (*)()>(hash_update)},
    {OSSL_FUNC_DIGEST_FINAL, reinterpret_cast<void (*)()>(hash_final)},
    {OSSL_FUNC_DIGEST_FREECTX, reinterpret_cast<void (*)()>(hash_freectx)},
    {OSSL_FUNC_DIGEST_DUPCTX, reinterpret_cast<void (*)()>(hash_dupctx)},
    {OSSL_FUNC_DIGEST_GET_PARAMS, reinterpret_cast<void (*)()>(hash_get_params)},
    {OSSL_FUNC_DIGEST_GETTABLE_PARAMS, reinterpret_cast<void (*)()>(hash_gettable_params)},
    {0, nullptr},
};

}  // namespace

const OSSL_ALGORITHM kDigests[] = {
    {kNamesRusHash, nullptr, kHashFunctions, "GOST R 34.11-94 (with GOST R 34.10-94)"},
    {kNamesEcr3410Hash, nullptr, kHashFunctions, "GOST R 34.11-94 (with GOST R 34.10-2001)"},
    {nullptr, nullptr, nullptr, nullptr},
};

}  // namespace qcrypto::prov
