// Owners for OpenSSL big-number objects, shared by the crypto modules.
#pragma once

#include <openssl/bn.h>

#include <memory>

namespace qcrypto {

struct BnFree {
  void operator()(BIGNUM* b) const { BN_free(b); }
};
// For numbers that held a secret: the words are wiped before they are freed.
struct BnClearFree {
  void operator()(BIGNUM* b) const { BN_clear_free(b); }
};
struct BnCtxFree {
  void operator()(BN_CTX* c) const { BN_CTX_free(c); }
};
struct BnMontFree {
  void operator()(BN_MONT_CTX* m) const { BN_MONT_CTX_free(m); }
};

using BnPtr = std::unique_ptr<BIGNUM, BnFree>;
using SecretBnPtr = std::unique_ptr<BIGNUM, BnClearFree>;
using BnCtxPtr = std::unique_ptr<BN_CTX, BnCtxFree>;
using BnMontPtr = std::unique_ptr<BN_MONT_CTX, BnMontFree>;

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
