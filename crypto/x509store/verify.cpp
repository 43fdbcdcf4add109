#include "crypto/x509store/verify.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "crypto/cadb/buffer.h"
#include "crypto/cclib/locks.h"
#include "crypto/cclib/ossl_owners.h"
#include "crypto/err/err.h"
#include "crypto/x509store/crl_scope.h"
#include "crypto/x509store/x509v3_owners.h"

namespace qcrypto {
namespace {

constexpr int kErrLibVerify = 33;
constexpr int kFuncCertVerify = 236;
constexpr int kReasonBadArgument = 12;
constexpr int kReasonCalledPart = 66;

struct ErrorText {
  int number;
  const char* text;
};
constexpr ErrorText kErrorTexts[] = {
    {VERR_OK, "ok"},
    {VERR_UNABLE_TO_GET_ISSUER_CERT, "unable to get issuer certificate"},
    {VERR_UNABLE_TO_GET_CRL, "unable to get certificate CRL"},
    {VERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE, "unable to decrypt certificate's signature"},
    {VERR_UNABLE_TO_DECRYPT_CRL_SIGNATURE, "unable to decrypt CRL's's signature"},
    {VERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY, "unable to decode issuer public key"},
    {VERR_CERT_SIGNATURE_FAILURE, "certificate signature failure"},
    {VERR_CRL_SIGNATURE_FAILURE, "CRL signature failure"},
    {VERR_CERT_NOT_YET_VALID, "certificate is not yet valid"},
    {VERR_CERT_HAS_EXPIRED, "Certificate has expired"},
    {VERR_CRL_NOT_YET_VALID, "CRL is not yet valid"},
    {VERR_CRL_HAS_EXPIRED, "CRL has expired"},
    {VERR_ERROR_IN_CERT_NOT_BEFORE_FIELD, "format error in certificate's notBefore field"},
    {VERR_ERROR_IN_CERT_NOT_AFTER_FIELD, "format error in certificate's notAfter field"},
    {VERR_ERROR_IN_CRL_LAST_UPDATE_FIELD, "format error in CRL's lastUpdate field"},
    {VERR_ERROR_IN_CRL_NEXT_UPDATE_FIELD, "format error in CRL's nextUpdate field"},
    {VERR_OUT_OF_MEM, "out of memory"},
    {VERR_DEPTH_ZERO_SELF_SIGNED_CERT, "self signed certificate"},
    {VERR_SELF_SIGNED_CERT_IN_CHAIN, "self signed certificate in certificate chain"},
    {VERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY, "unable to get local issuer certificate"},
    {VERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE, "unable to verify the first certificate"},
    {VERR_CERT_CHAIN_TOO_LONG, "certificate chain too long"},
    {VERR_CERT_REVOKED, "certificate revoked"},
    {VERR_CERT_UNTRUSTED, "last certificate in chain is not trusted"},
    {VERR_APPLICATION_VERIFICATION, "application verification failure"},
    {VERR_INVALID_CA, "invalid CA certificate"},
};

#ifdef QCRYPTO_TEST_HOOKS
std::atomic<int> g_fail_nth{0};
std::atomic<bool> g_fail_after{false};
std::atomic<int> g_allocations{0};
#endif

// True when the next allocation of the verification's bookkeeping is to
// fail: only test builds ever make one fail.
bool injected_failure() {
#ifdef QCRYPTO_TEST_HOOKS
  const int n = ++g_allocations;
  const int nth = g_fail_nth.load();
  return nth > 0 && (n == nth || (n > nth && g_fail_after.load()));
#else
  return false;
#endif
}

// Signatures once found good are remembered on the object together with the
// issuer key that verified them: a later verification skips the check only
// for the same key, so a look-alike issuer under the same name is checked
// afresh.
struct CheckedMark {
  std::vector<unsigned char> issuer_key;  // DER SubjectPublicKeyInfo
};

void mark_free(void* /*parent*/, void* ptr, CRYPTO_EX_DATA* /*ad*/, int /*idx*/, long /*argl*/, void* /*argp*/) {
  delete static_cast<CheckedMark*>(ptr);
}

int cert_ex_index() {
  static int index = -1;
  static std::once_flag once;
  std::call_once(
      once, [] { index = CRYPTO_get_ex_new_index(CRYPTO_EX_INDEX_X509, 0, nullptr, nullptr, nullptr, mark_free); });
  return index;
}

// CRLs have no extra data in OpenSSL 3: their good signatures are remembered
// process-wide by the SHA-256 of the whole CRL and the issuer key, in a
// bounded set that starts over when full.
struct CrlCheckCache {
  std::set<std::string> good;  // issuer key DER, then the CRL hash
};
constexpr size_t kCrlCacheLimit = 4096;
CrlCheckCache& crl_cache() {
  static CrlCheckCache* cache = new CrlCheckCache();  // never freed: used until exit
  return *cache;
}

// Written out: g++ 12 at -O3 warns falsely on the vector comparison.
bool same_bytes(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b) {
  const size_t n = a.size();
  if (n != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < n; ++i) diff = static_cast<unsigned char>(diff | (a[i] ^ b[i]));
  return diff == 0;
}

std::vector<unsigned char> key_der(X509* issuer) {
  unsigned char* p = nullptr;
  const int n = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(issuer), &p);
  std::vector<unsigned char> out;
  if (n > 0) out.assign(p, p + n);
  OPENSSL_free(p);
  return out;
}

bool cert_signature_ok(X509* cert, X509* issuer, EVP_PKEY* key) {
  std::vector<unsigned char> der = key_der(issuer);
  const int idx = cert_ex_index();
  if (idx >= 0 && !der.empty()) {
    CryptoLockGuard g(CRYPTO_LOCK_X509);
    const auto* mark = static_cast<const CheckedMark*>(X509_get_ex_data(cert, idx));
    if (mark != nullptr && same_bytes(mark->issuer_key, der)) return true;
  }
  if (X509_verify(cert, key) != 1) {
    ERR_clear_error();
    return false;
  }
  if (idx >= 0 && !der.empty()) {
    auto* mark = new (std::nothrow) CheckedMark{std::move(der)};
    if (mark != nullptr) {
      CryptoLockGuard g(CRYPTO_LOCK_X509);
      delete static_cast<CheckedMark*>(X509_get_ex_data(cert, idx));
      if (X509_set_ex_data(cert, idx, mark) != 1) delete mark;
    }
  }
  return true;
}

bool crl_signature_ok(X509_CRL* crl, X509* issuer, EVP_PKEY* key) {
  const std::vector<unsigned char> der = key_der(issuer);
  std::string id(der.begin(), der.end());
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int md_len = 0;
  const bool cacheable = !id.empty() && X509_CRL_digest(crl, EVP_sha256(), md, &md_len) == 1;
  if (cacheable) {
    id.append(reinterpret_cast<const char*>(md), md_len);
    CryptoLockGuard g(CRYPTO_LOCK_X509_CRL);
    if (crl_cache().good.count(id) != 0) return true;
  }
  if (X509_CRL_verify(crl, key) != 1) {
    ERR_clear_error();
    return false;
  }
  if (cacheable) {
    CryptoLockGuard g(CRYPTO_LOCK_X509_CRL);
    try {
      if (crl_cache().good.size() >= kCrlCacheLimit) crl_cache().good.clear();
      crl_cache().good.insert(std::move(id));
    } catch (const std::bad_alloc&) {
      // Only the saving is lost.
    }
  }
  return true;
}

bool self_issued(X509* x) { return X509_NAME_cmp(X509_get_subject_name(x), X509_get_issuer_name(x)) == 0; }

bool in_chain(STACK_OF(X509) * chain, X509* x) {
  for (int i = 0; i < sk_X509_num(chain); ++i) {
    X509* c = sk_X509_value(chain, i);
    if (c == x || X509_cmp(c, x) == 0) return true;
  }
  return false;
}

// Reports one error through the callback; 0 when the callback stops the walk.
int report(X509_STORE_CTX* ctx, int error, int depth) {
  ctx->error = error;
  ctx->error_depth = depth;
  ctx->current_cert = sk_X509_value(ctx->chain, depth);
  return ctx->verify_cb != nullptr ? ctx->verify_cb(0, ctx) : 0;
}

int report_done(X509_STORE_CTX* ctx, int depth) {
  ctx->error = VERR_OK;
  ctx->error_depth = depth;
  ctx->current_cert = sk_X509_value(ctx->chain, depth);
  return ctx->verify_cb != nullptr ? ctx->verify_cb(1, ctx) : 1;
}

// The first candidate not yet in the chain: a certificate met twice on the way
// up is a loop, and the walk treats it as no issuer at all.
X509* next_issuer(X509_STORE_CTX* ctx, X509* x) {
  std::vector<UniquePtr<X509>> cands;
  try {
    if (STACK_OF(X509)* found = X509_STORE_find_issuers(ctx->ctx, x); found != nullptr) {
      for (int i = 0; i < sk_X509_num(found); ++i) cands.emplace_back(sk_X509_value(found, i));
      sk_X509_free(found);
    }
    for (int i = 0; i < sk_X509_num(ctx->untrusted); ++i) {
      X509* c = sk_X509_value(ctx->untrusted, i);
      if (X509_issuer_rule(c, x) == 1 && X509_up_ref(c) == 1) cands.emplace_back(c);
    }
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  std::erase_if(cands, [&](const UniquePtr<X509>& c) { return in_chain(ctx->chain, c.get()); });
  if (cands.empty()) return nullptr;
  // Several certificates may share the issuer's name (a renewed or
  // cross-signed CA without key identifiers): the one whose key verifies the
  // certificate is taken, in the order found; the first when none does.
  if (cands.size() > 1) {
    for (auto& c : cands) {
      EVP_PKEY* key = X509_get0_pubkey(c.get());
      if (key != nullptr && cert_signature_ok(x, c.get(), key)) return c.release();
    }
    ERR_clear_error();
  }
  return cands.front().release();
}

// A certificate acting as an issuer must say it is a CA. Only versions 1
// and 2, which cannot carry extensions, may leave basicConstraints out: the
// key of a version 3 certificate without it does not sign certificates.
// `below` counts the certificates between it and the leaf that are not
// self-issued.
bool acts_as_ca(X509* issuer, int below) {
  int crit = 0;
  auto* bc = static_cast<BASIC_CONSTRAINTS*>(X509_get_ext_d2i(issuer, NID_basic_constraints, &crit, nullptr));
  UniquePtr<BASIC_CONSTRAINTS> bc_owner(bc);
  if (bc == nullptr && crit != -1) return false;  // present but undecodable or repeated
  if (bc == nullptr && X509_get_version(issuer) >= X509_VERSION_3) return false;
  if (bc != nullptr) {
    if (bc->ca == 0) return false;
    if (bc->pathlen != nullptr) {
      const long limit = ASN1_INTEGER_get(bc->pathlen);
      if (limit < 0 || below > limit) return false;
    }
  }
  auto* ku = static_cast<ASN1_BIT_STRING*>(X509_get_ext_d2i(issuer, NID_key_usage, &crit, nullptr));
  UniquePtr<ASN1_STRING> ku_owner(ku);
  if (ku == nullptr && crit != -1) return false;
  return ku == nullptr || ASN1_BIT_STRING_get_bit(ku, 5) == 1;  // keyCertSign
}

// A CRL signed by an issuer whose keyUsage leaves out cRLSign says nothing
// about revocation.
bool may_sign_crls(X509* issuer) {
  int crit = 0;
  auto* ku = static_cast<ASN1_BIT_STRING*>(X509_get_ext_d2i(issuer, NID_key_usage, &crit, nullptr));
  UniquePtr<ASN1_STRING> ku_owner(ku);
  if (ku == nullptr) return crit == -1;
  return ASN1_BIT_STRING_get_bit(ku, 6) == 1;  // cRLSign
}

void append_crls(STACK_OF(X509_CRL) * to, STACK_OF(X509_CRL) * from) {
  for (int i = 0; i < sk_X509_CRL_num(from); ++i) {
    X509_CRL* l = sk_X509_CRL_value(from, i);
    if (X509_CRL_up_ref(l) == 1 && sk_X509_CRL_push(to, l) <= 0) X509_CRL_free(l);
  }
}

bool time_ok(const ASN1_TIME* t) { return t != nullptr && ASN1_TIME_check(t) == 1; }

// 1 when `t` is later than the reference time, -1 when not (0 on an
// unreadable time, which the callers rule out first).
int time_cmp(const ASN1_TIME* t, time_t ref) { return X509_cmp_time(t, &ref); }

enum class CrlPick { kGood, kBadSignature, kNoMemory };

// The CRL that decides `x`'s status: among those that are complete for it
// (crl_scope.h), the newest (CRL_choose) whose signature the issuer's key
// verifies. A newer CRL that is out of scope or badly signed never hides an
// older good one. When none is good, the newest complete one with a bad
// signature is returned as kBadSignature, so that the failure is reported;
// null when there is none either, or when memory ran out (kNoMemory: the
// lack of a CRL must not be judged as such).
X509_CRL* choose_usable_crl(STACK_OF(X509_CRL) * crls, X509* x, X509* issuer, EVP_PKEY* key, time_t ref,
                            CrlPick* pick) {
  *pick = CrlPick::kNoMemory;
  STACK_OF(X509_CRL)* cands = crls != nullptr ? sk_X509_CRL_new_null() : nullptr;
  if (cands == nullptr) return nullptr;
  for (int i = 0; i < sk_X509_CRL_num(crls); ++i) {
    X509_CRL* l = sk_X509_CRL_value(crls, i);
    if (CRL_is_complete_for(l, x) && sk_X509_CRL_push(cands, l) <= 0) {
      sk_X509_CRL_free(cands);
      return nullptr;
    }
  }
  *pick = CrlPick::kGood;
  X509_CRL* badly_signed = nullptr;
  X509_CRL* chosen = nullptr;
  while (chosen == nullptr) {
    X509_CRL* l = CRL_choose(cands, &ref);
    if (l == nullptr) break;
    // Without the issuer's key (reported on its own) no signature can be
    // judged: the newest complete CRL stands.
    if (key == nullptr || crl_signature_ok(l, issuer, key)) {
      chosen = l;
    } else {
      if (badly_signed == nullptr) badly_signed = l;
      (void)sk_X509_CRL_delete_ptr(cands, l);
    }
  }
  sk_X509_CRL_free(cands);
  if (chosen == nullptr && badly_signed != nullptr) {
    *pick = CrlPick::kBadSignature;
    return badly_signed;
  }
  return chosen;
}

}  // namespace

const char* X509_verify_cert_error_string(long n) {
  for (const ErrorText& e : kErrorTexts)
    if (e.number == n) return e.text;
  thread_local char buffer[48];
  std::snprintf(buffer, sizeof buffer, "error number %ld", n);
  return buffer;
}

#ifdef QCRYPTO_TEST_HOOKS
void CERT_verify_test_fail_allocation(int nth, bool and_after) {
  g_fail_after = and_after;
  g_fail_nth = nth;
  g_allocations = 0;
}

int CERT_verify_test_allocation_count() { return g_allocations.load(); }
#endif

int X509_STORE_CTX_init(X509_STORE_CTX* ctx, X509_STORE* store, X509* cert, STACK_OF(X509) * untrusted) {
  if (ctx == nullptr) return 0;
  *ctx = X509_STORE_CTX{};
  ctx->ctx = store;
  ctx->cert = cert;
  ctx->untrusted = untrusted;
  ctx->depth = 32767;
  if (store != nullptr) {
    CryptoLockGuard g(CRYPTO_LOCK_X509_STORE);
    ctx->verify = store->verify;
    ctx->verify_cb = store->verify_cb;
  }
  return 1;
}

void X509_STORE_CTX_cleanup(X509_STORE_CTX* ctx) {
  if (ctx == nullptr) return;
  sk_X509_pop_free(ctx->chain, X509_free);
  ctx->chain = nullptr;
  ctx->state = nullptr;
}

int X509_verify_cert(X509_STORE_CTX* ctx) {
  if (ctx == nullptr || ctx->cert == nullptr || ctx->ctx == nullptr) return -1;
  sk_X509_pop_free(ctx->chain, X509_free);
  ctx->chain = sk_X509_new_null();
  if (ctx->chain == nullptr || X509_up_ref(ctx->cert) != 1) return report(ctx, VERR_OUT_OF_MEM, 0), 0;
  if (sk_X509_push(ctx->chain, ctx->cert) <= 0) {
    X509_free(ctx->cert);
    return 0;
  }
  const int limit = ctx->depth > 0 && ctx->depth < kMaxChainLength ? ctx->depth : kMaxChainLength;
  bool too_long = false;
  bool missing = false;
  for (;;) {
    X509* top = sk_X509_value(ctx->chain, sk_X509_num(ctx->chain) - 1);
    if (self_issued(top)) break;
    X509* issuer = next_issuer(ctx, top);
    if (issuer == nullptr) {
      missing = true;
      break;
    }
    if (sk_X509_num(ctx->chain) >= limit) {
      X509_free(issuer);
      too_long = true;
      break;
    }
    if (sk_X509_push(ctx->chain, issuer) <= 0) {
      X509_free(issuer);
      return report(ctx, VERR_OUT_OF_MEM, 0), 0;
    }
  }
  const int n = sk_X509_num(ctx->chain) - 1;
  X509* top = sk_X509_value(ctx->chain, n);
  int ok = 1;
  if (too_long) {
    ok = report(ctx, VERR_CERT_CHAIN_TOO_LONG, n);
  } else if (missing) {
    ok = report(ctx, n == 0 ? VERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY : VERR_UNABLE_TO_GET_ISSUER_CERT, n);
  } else {
    ctx->top_trusted = X509_STORE_is_trusted(ctx->ctx, top);
    if (ctx->top_trusted == 0) {
      if (n == 0) ok = report(ctx, VERR_DEPTH_ZERO_SELF_SIGNED_CERT, 0);
      if (ok != 0) ok = report(ctx, VERR_CERT_UNTRUSTED, n);
    }
  }
  if (ok == 0) return 0;
  return ctx->verify != nullptr ? ctx->verify(ctx) : 1;
}

X509_CRL* CRL_choose(STACK_OF(X509_CRL) * crls, const time_t* time) {
  const time_t ref = time != nullptr ? *time : std::time(nullptr);
  X509_CRL* best = nullptr;
  for (int i = 0; i < sk_X509_CRL_num(crls); ++i) {
    X509_CRL* l = sk_X509_CRL_value(crls, i);
    const ASN1_TIME* last = X509_CRL_get0_lastUpdate(l);
    if (!time_ok(last) || time_cmp(last, ref) > 0) continue;
    if (best == nullptr || ASN1_TIME_compare(last, X509_CRL_get0_lastUpdate(best)) > 0) best = l;
  }
  return best;
}

bool CRL_is_revoked(X509* cert, X509_CRL* crl) {
  if (cert == nullptr || crl == nullptr) return false;
  STACK_OF(X509_REVOKED)* revoked = X509_CRL_get_REVOKED(crl);
  const ASN1_INTEGER* serial = X509_get0_serialNumber(cert);
  for (int i = 0; i < sk_X509_REVOKED_num(revoked); ++i)
    if (ASN1_INTEGER_cmp(X509_REVOKED_get0_serialNumber(sk_X509_REVOKED_value(revoked, i)), serial) == 0) return true;
  return false;
}

int CERT_verify_chain(X509_STORE_CTX* ctx) {
  if (ctx == nullptr || ctx->chain == nullptr) return 0;
  X509_VERIFY_STATE* state = ctx->state;
  const time_t ref = state != nullptr && state->time != nullptr ? *state->time : std::time(nullptr);
  int n = sk_X509_num(ctx->chain) - 1;
  X509* issuer = sk_X509_value(ctx->chain, n);
  if (!self_issued(issuer)) {
    if (n == 0) return report(ctx, VERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE, 0);
    --n;
  }
  for (int i = n; i >= 0; --i) {
    X509* x = sk_X509_value(ctx->chain, i);
    // The CRL of the certificate above is not this certificate's.
    if (state != nullptr) state->current_crl = nullptr;
    const int issuer_depth = issuer == x ? i : i + 1;
    if (issuer != x) {
      int below = 0;
      for (int k = 1; k < issuer_depth; ++k) below += self_issued(sk_X509_value(ctx->chain, k)) ? 0 : 1;
      if (!acts_as_ca(issuer, below) && report(ctx, VERR_INVALID_CA, issuer_depth) == 0) return 0;
    }
    EVP_PKEY* key = X509_get0_pubkey(issuer);
    if (key == nullptr) {
      ERR_clear_error();
      if (report(ctx, VERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY, i) == 0) return 0;
    } else if (!cert_signature_ok(x, issuer, key) && report(ctx, VERR_CERT_SIGNATURE_FAILURE, i) == 0) {
      return 0;
    }
    const ASN1_TIME* nb = X509_get0_notBefore(x);
    if (!time_ok(nb)) {
      if (report(ctx, VERR_ERROR_IN_CERT_NOT_BEFORE_FIELD, i) == 0) return 0;
    } else if (time_cmp(nb, ref) > 0 && report(ctx, VERR_CERT_NOT_YET_VALID, i) == 0) {
      return 0;
    }
    const ASN1_TIME* na = X509_get0_notAfter(x);
    if (!time_ok(na)) {
      if (report(ctx, VERR_ERROR_IN_CERT_NOT_AFTER_FIELD, i) == 0) return 0;
    } else if (time_cmp(na, ref) < 0 && report(ctx, VERR_CERT_HAS_EXPIRED, i) == 0) {
      return 0;
    }
    STACK_OF(X509_CRL)* crls = sk_X509_CRL_new_null();
    if (may_sign_crls(issuer)) {
      if (STACK_OF(X509_CRL)* from_store = X509_STORE_find_crls(ctx->ctx, x); from_store != nullptr) {
        append_crls(crls, from_store);
        sk_X509_CRL_pop_free(from_store, X509_CRL_free);
      }
      if (state != nullptr && state->crl_store != nullptr) {
        if (STACK_OF(X509_CRL)* from_temp = X509_STORE_find_crls(state->crl_store, x); from_temp != nullptr) {
          append_crls(crls, from_temp);
          sk_X509_CRL_pop_free(from_temp, X509_CRL_free);
        }
      }
    }
    CrlPick pick = CrlPick::kGood;
    X509_CRL* crl = choose_usable_crl(crls, x, issuer, key, ref, &pick);
    int ok = 1;
    if (crl == nullptr) {
      ok = report(ctx, pick == CrlPick::kNoMemory ? VERR_OUT_OF_MEM : VERR_UNABLE_TO_GET_CRL, i);
    } else {
      if (state != nullptr) state->current_crl = crl;
      if (pick == CrlPick::kBadSignature) ok = report(ctx, VERR_CRL_SIGNATURE_FAILURE, i);
      const ASN1_TIME* last = X509_CRL_get0_lastUpdate(crl);
      if (ok != 0 && !time_ok(last)) {
        ok = report(ctx, VERR_ERROR_IN_CRL_LAST_UPDATE_FIELD, i);
      } else if (ok != 0 && time_cmp(last, ref) > 0) {
        ok = report(ctx, VERR_CRL_NOT_YET_VALID, i);
      }
      const ASN1_TIME* next = X509_CRL_get0_nextUpdate(crl);
      if (ok != 0 && next != nullptr) {
        if (!time_ok(next))
          ok = report(ctx, VERR_ERROR_IN_CRL_NEXT_UPDATE_FIELD, i);
        else if (time_cmp(next, ref) < 0)
          ok = report(ctx, VERR_CRL_HAS_EXPIRED, i);
      }
      if (ok != 0 && CRL_is_revoked(x, crl)) ok = report(ctx, VERR_CERT_REVOKED, i);
    }
    if (ok != 0) ok = report_done(ctx, i);
    if (state != nullptr) state->current_crl = nullptr;
    sk_X509_CRL_pop_free(crls, X509_CRL_free);
    if (ok == 0) return 0;
    issuer = x;
  }
  return 1;
}

namespace {

bool is_tolerated(int error, unsigned long flags) { return error > 0 && error < 32 && ((flags >> error) & 1UL) != 0; }

// Appends an error record to the record's list; false when it cannot be
// stored.
bool push_error(CERT* record, int error, unsigned long flags) {
  const char* s = X509_verify_cert_error_string(error);
  UniquePtr<X509_VERIFY_ERROR> e(injected_failure() ? nullptr : X509_VERIFY_ERROR_new());
  UniquePtr<BUFFER> text(e && !injected_failure() ? BUFFER_new() : nullptr);
  if (!text || injected_failure() || BUFFER_fill(text.get(), s, static_cast<int>(std::strlen(s))) != 1) return false;
  e->error = error;
  e->text = text.release();
  e->tolerated = is_tolerated(error, flags) ? 1 : 0;
  if (record->errors == nullptr && !injected_failure()) record->errors = sk_X509_VERIFY_ERROR_new_null();
  if (record->errors == nullptr || injected_failure() || sk_X509_VERIFY_ERROR_push(record->errors, e.get()) <= 0)
    return false;
  // The stack holds it now.
  X509_VERIFY_ERROR* held = e.release();
  return held != nullptr;
}

// A record of a certificate of the chain. One the record maker refuses (a
// validity time it cannot convert, say) still gets a record holding just the
// certificate, so that its errors are kept and judged like any other.
CERT* chain_record(X509* x) {
  CERT* record = injected_failure() ? nullptr : CERT_split(x);
  if (record != nullptr) return record;
  ERR_clear_error();
  UniquePtr<CERT> bare(injected_failure() ? nullptr : CERT_new());
  if (!bare || X509_up_ref(x) != 1) {
    ERR_clear_error();
    return nullptr;
  }
  bare->x509 = x;
  bare->version = static_cast<int>(X509_get_version(x));
  bare->self_issued = self_issued(x) ? 1 : -1;
  return bare.release();
}

// The record of a depth, made on first use; null when it cannot be made.
CERT* depth_record(X509_VERIFY_STATE* state, X509* x, int depth) {
  std::vector<CERT*>& records = *state->records;
  const auto slot = static_cast<size_t>(depth);
  if (records.size() <= slot) {
    try {
      records.resize(slot + 1, nullptr);  // no allocation once the table is reserved
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
  }
  if (records[slot] == nullptr) {
    records[slot] = chain_record(x);
    if (records[slot] != nullptr) records[slot]->valid = 0;
  }
  return records[slot];
}

// 1 when nothing reported for the depth is held against it.
int depth_valid(const X509_VERIFY_DEPTH& d, unsigned long flags) {
  if (!d.reported || d.lost) return 0;
  for (int i = 0; i < d.count; ++i)
    if (!is_tolerated(d.errors[i], flags)) return 0;
  return 1;
}

}  // namespace

int CERT_verify_callback(int ok, X509_STORE_CTX* ctx) {
  if (ctx == nullptr) return 1;
  X509_VERIFY_STATE* state = ctx->state;
  const int depth = ctx->error_depth;
  const int error = ctx->error;
  // The chain is always walked to its end.
  ctx->error = VERR_OK;
  if (state == nullptr) return 1;
  if (state->records == nullptr || depth < 0 || depth >= kMaxChainLength || depth >= sk_X509_num(ctx->chain)) {
    state->lost = true;
    return 1;
  }
  X509_VERIFY_DEPTH& seen = state->depths[depth];
  seen.reported = true;
  if (depth > state->top) state->top = depth;
  if (ok == 0) {
    if (seen.count < kMaxDepthErrors)
      seen.errors[seen.count++] = error;
    else
      seen.lost = true;
  }
  CERT* record = depth_record(state, sk_X509_value(ctx->chain, depth), depth);
  if (record == nullptr) {
    seen.lost = true;
    return 1;
  }
  record->depth = depth;
  if (record->crl == nullptr && state->current_crl != nullptr && X509_CRL_up_ref(state->current_crl) == 1)
    record->crl = state->current_crl;
  if (ok == 0 && !push_error(record, error, state->flags)) seen.lost = true;
  return 1;
}

namespace {

// The record of a depth whose record the callback could not make: made now
// from what the state kept, or null.
CERT* late_record(STACK_OF(X509) * chain, int depth, const X509_VERIFY_DEPTH& d, unsigned long flags) {
  X509* x = sk_X509_value(chain, depth);
  CERT* record = x != nullptr ? chain_record(x) : nullptr;
  for (int i = 0; record != nullptr && i < d.count; ++i)
    if (!push_error(record, d.errors[i], flags)) break;  // the depth is judged lost already
  return record;
}

void clear_results(CERT* cert) {
  cert->valid = 0;
  sk_X509_VERIFY_ERROR_pop_free(cert->errors, X509_VERIFY_ERROR_free);
  cert->errors = nullptr;
  CERT_free(cert->issuer_record);
  cert->issuer_record = nullptr;
  X509_CRL_free(cert->crl);
  cert->crl = nullptr;
}

}  // namespace

int CERT_verify_at(CERT* cert, X509_STORE* store, STACK_OF(CERT) * extra_certs, STACK_OF(CRL) * extra_crls,
                   unsigned long flags, void* extra, const time_t* time) {
  if (cert == nullptr || store == nullptr || cert->x509 == nullptr) {
    QERR(kErrLibVerify, kFuncCertVerify, kReasonBadArgument);
    return 0;
  }
  {
    // Under the store's lock, so that verifications running on one store
    // never read the pair half written.
    CryptoLockGuard g(CRYPTO_LOCK_X509_STORE);
    store->verify = CERT_verify_chain;
    store->verify_cb = CERT_verify_callback;
  }
  clear_results(cert);

  STACK_OF(X509)* untrusted = sk_X509_new_null();
  for (int i = 0; untrusted != nullptr && i < sk_CERT_num(extra_certs); ++i) {
    X509* x = sk_CERT_value(extra_certs, i) != nullptr ? sk_CERT_value(extra_certs, i)->x509 : nullptr;
    if (x != nullptr && X509_up_ref(x) == 1 && sk_X509_push(untrusted, x) <= 0) X509_free(x);
  }
  X509_STORE* crl_store = nullptr;
  if (extra_crls != nullptr) {
    crl_store = X509_STORE_new();
    X509_LOOKUP* lookup =
        crl_store != nullptr ? X509_STORE_add_lookup(crl_store, X509_LOOKUP_local_untrusted(), "cms", 0) : nullptr;
    for (int i = 0; lookup != nullptr && i < sk_CRL_num(extra_crls); ++i) {
      const CRL* c = sk_CRL_value(extra_crls, i);
      if (c != nullptr && c->x509_crl != nullptr) X509_LOOKUP_add_crl(lookup, c->x509_crl);
    }
  }
  std::vector<CERT*> records;
  X509_VERIFY_STATE state{&records, crl_store, extra, flags, time, nullptr};
  try {
    // The callback then fills the table without allocating.
    if (!injected_failure()) records.reserve(kMaxChainLength);
  } catch (const std::bad_alloc&) {
    // The callback grows it as it goes, or judges the depth lost.
  }
  X509_STORE_CTX ctx;
  X509_STORE_CTX_init(&ctx, store, cert->x509, untrusted);
  if (untrusted != nullptr) {
    ctx.state = &state;
    X509_verify_cert(&ctx);
  }
  if (records.empty() || records[0] == nullptr) {
    // Nothing was recorded: the verification could not run.
    ctx.state = &state;
    if (ctx.chain == nullptr) {
      ctx.chain = sk_X509_new_null();
      if (ctx.chain != nullptr && X509_up_ref(cert->x509) == 1 && sk_X509_push(ctx.chain, cert->x509) <= 0)
        X509_free(cert->x509);
    }
    ctx.error = VERR_OUT_OF_MEM;
    ctx.error_depth = 0;
    CERT_verify_callback(0, &ctx);
    if (records.empty() || records[0] == nullptr) QERR(kErrLibVerify, kFuncCertVerify, kReasonCalledPart);
  }
  if (!records.empty() && records[0] != nullptr && state.top >= 0) {
    CERT* own = records[0];
    cert->errors = own->errors;
    own->errors = nullptr;
    cert->crl = own->crl;
    own->crl = nullptr;
    cert->depth = 0;
    CERT_free(own);
    records[0] = nullptr;
    // The verdict comes from what the callback was told, not from what the
    // records could hold: a depth whose record or errors were lost is
    // invalid, and so is every certificate below an invalid issuer.
    const int top = state.top;
    // Every certificate of the built chain is reported at least once: one
    // left out was never judged.
    if (ctx.chain == nullptr || top != sk_X509_num(ctx.chain) - 1) state.lost = true;
    int valid[kMaxChainLength] = {};
    for (int k = 0; k <= top; ++k) valid[k] = depth_valid(state.depths[k], flags);
    if (state.lost) valid[0] = 0;
    for (int k = top; k > 0; --k)
      if (valid[k] == 0) valid[k - 1] = 0;
    cert->valid = valid[0];
    bool broken = state.lost || state.depths[0].lost;
    CERT* below = cert;
    for (int k = 1; k <= top; ++k) {
      CERT* r = static_cast<size_t>(k) < records.size() ? records[static_cast<size_t>(k)] : nullptr;
      if (r != nullptr) {
        records[static_cast<size_t>(k)] = nullptr;
      } else {
        r = late_record(ctx.chain, k, state.depths[k], flags);
      }
      if (r == nullptr) {
        broken = true;  // the records end here; the verdict above says why
        break;
      }
      r->depth = k;
      r->valid = valid[k];
      if (state.depths[k].lost) push_error(r, VERR_OUT_OF_MEM, flags);
      below->issuer_record = r;
      below = r;
    }
    // The caller reads the errors: a chain judged on what could not be kept
    // says so on the certificate itself.
    const int n = sk_X509_VERIFY_ERROR_num(cert->errors);
    if (broken && (n <= 0 || sk_X509_VERIFY_ERROR_value(cert->errors, n - 1)->error != VERR_OUT_OF_MEM))
      push_error(cert, VERR_OUT_OF_MEM, flags);
  }
  for (CERT* r : records) CERT_free(r);
  X509_STORE_free(crl_store);
  sk_X509_pop_free(untrusted, X509_free);
  X509_STORE_CTX_cleanup(&ctx);
  return cert->valid == 1 ? 1 : 0;
}

int CERT_verify(CERT* cert, X509_STORE* store, STACK_OF(CERT) * extra_certs, STACK_OF(CRL) * extra_crls,
                unsigned long flags, void* extra) {
  return CERT_verify_at(cert, store, extra_certs, extra_crls, flags, extra, nullptr);
}

int CERT_verify_store(CERT* cert, X509_STORE* store, unsigned long flags, void* extra) {
  return CERT_verify(cert, store, nullptr, nullptr, flags, extra);
}

}  // namespace qcrypto
