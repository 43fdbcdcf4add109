// Owners for OpenSSL big-number objects, shared by the crypto modules.
#pragma once

#include <openssl/bn.h>

#include "crypto/cclib/owner.h"

QCRYPTO_DECLARE_OWNER(BIGNUM, BN_free)
// For numbers that held a secret: the words are wiped before they are freed.
QCRYPTO_DECLARE_SECRET_OWNER(BIGNUM, BN_clear_free)
QCRYPTO_DECLARE_OWNER(BN_CTX, BN_CTX_free)
QCRYPTO_DECLARE_OWNER(BN_MONT_CTX, BN_MONT_CTX_free)

namespace qcrypto {

using BnPtr = UniquePtr<BIGNUM>;
using SecretBnPtr = SecretUniquePtr<BIGNUM>;
using BnCtxPtr = UniquePtr<BN_CTX>;
using BnMontPtr = UniquePtr<BN_MONT_CTX>;

// One BN_CTX_start/BN_CTX_end frame; temporaries taken inside it are released
// (and, for a secure context, wiped) when the frame ends.
class BnCtxFrame {
 public:
  explicit BnCtxFrame(BN_CTX* ctx) : ctx_(ctx) { BN_CTX_start(ctx_); }
  ~BnCtxFrame() { BN_CTX_end(ctx_); }
  BnCtxFrame(const BnCtxFrame&) = delete;
  BnCtxFrame& operator=(const BnCtxFrame&) = delete;
  BIGNUM* get() { return BN_CTX_get(ctx_); }

 private:
  BN_CTX* ctx_;
};

// Uses the caller's context, or owns a fresh one when the caller gave none.
class BnCtxOrOwn {
 public:
  explicit BnCtxOrOwn(BN_CTX* given) : own_(given ? nullptr : BN_CTX_new()), ctx_(given ? given : own_.get()) {}
  BN_CTX* get() const { return ctx_; }

 private:
  BnCtxPtr own_;
  BN_CTX* ctx_;
};

}  // namespace qcrypto
