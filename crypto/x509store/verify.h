// Chain verification with CRLs over the certificate records: the chain is
// built through the store (trusted look-ups first), then every certificate of
// it, the anchor included, is checked for its signature, its validity period
// and its revocation; every error is recorded in the records of the chain and
// judged by a mask of tolerated error numbers.
#pragma once

#include <openssl/x509.h>

#include <ctime>

#include "crypto/cadb/cert_record.h"
#include "crypto/x509store/store.h"

namespace qcrypto {
DEFINE_STACK_OF(CERT)
DEFINE_STACK_OF(CRL)
}  // namespace qcrypto

namespace qcrypto {

// Verification error numbers.
enum X509VerifyError : int {
  VERR_OK = 0,
  VERR_UNABLE_TO_GET_ISSUER_CERT = 2,
  VERR_UNABLE_TO_GET_CRL = 3,
  VERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE = 4,
  VERR_UNABLE_TO_DECRYPT_CRL_SIGNATURE = 5,
  VERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY = 6,
  VERR_CERT_SIGNATURE_FAILURE = 7,
  VERR_CRL_SIGNATURE_FAILURE = 8,
  VERR_CERT_NOT_YET_VALID = 9,
  VERR_CERT_HAS_EXPIRED = 10,
  VERR_CRL_NOT_YET_VALID = 11,
  VERR_CRL_HAS_EXPIRED = 12,
  VERR_ERROR_IN_CERT_NOT_BEFORE_FIELD = 13,
  VERR_ERROR_IN_CERT_NOT_AFTER_FIELD = 14,
  VERR_ERROR_IN_CRL_LAST_UPDATE_FIELD = 15,
  VERR_ERROR_IN_CRL_NEXT_UPDATE_FIELD = 16,
  VERR_OUT_OF_MEM = 17,
  VERR_DEPTH_ZERO_SELF_SIGNED_CERT = 18,
  VERR_SELF_SIGNED_CERT_IN_CHAIN = 19,
  VERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY = 20,
  VERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE = 21,
  VERR_CERT_CHAIN_TOO_LONG = 22,
  VERR_CERT_REVOKED = 23,
  VERR_CERT_UNTRUSTED = 24,
  VERR_APPLICATION_VERIFICATION = 50,
  // A certificate acting as an issuer that is no CA (basicConstraints cA
  // FALSE, keyUsage without keyCertSign) or whose path length the chain below
  // it exceeds. No mask tolerates it.
  VERR_INVALID_CA = 79,
};

// The text of an error number; "error number %ld" for unknown numbers (kept
// per thread until the thread's next call).
const char* X509_verify_cert_error_string(long n);

// The mask the toolkit passes with its check options at 0: a missing CRL, a
// CRL not yet valid and an expired CRL are tolerated.
constexpr unsigned long kVerifyDefaultFlags = 0x1808;

// No chain is built longer than this, whatever the context's depth limit:
// the walk up a store is bounded even when its certificates form a ladder.
constexpr int kMaxChainLength = 32;

// No depth of the chain is reported with more errors than this (each check
// of the walk reports at most one).
constexpr int kMaxDepthErrors = 16;

// What the callback was told about one depth of the chain, kept apart from
// the records: the verdict is taken from here, so an error or a record that
// cannot be stored still counts against the chain.
struct X509_VERIFY_DEPTH {
  int errors[kMaxDepthErrors];  // the numbers reported, in order
  int count;
  bool reported;  // the callback was called for this depth
  bool lost;      // its record or one of its errors could not be kept
};

// The state one verification carries with its context.
struct X509_VERIFY_STATE {
  std::vector<CERT*>* records;  // by depth; owned by the verification
  X509_STORE* crl_store;        // the temporary store of the extra CRLs, or null
  void* extra;                  // the caller's word
  unsigned long flags;
  const time_t* time;     // reference time, or null for now
  X509_CRL* current_crl;  // the CRL in use for the current certificate
  X509_VERIFY_DEPTH depths[kMaxChainLength] = {};
  int top = -1;       // the highest depth reported
  bool lost = false;  // a report for a depth outside the chain, or without records
};

struct X509_STORE_CTX {
  X509_STORE* ctx;
  X509* cert;
  STACK_OF(X509) * untrusted;
  STACK_OF(X509) * chain;  // index 0 is the certificate itself
  int depth;               // the caller's limit
  int error;
  int error_depth;
  X509* current_cert;
  X509_STORE_verify_fn verify;
  X509_STORE_verify_cb verify_cb;
  X509_VERIFY_STATE* state;
  int top_trusted;  // the top of the built chain carries the trust mark
};

#ifdef QCRYPTO_TEST_HOOKS
// Makes the `nth` (1-based) allocation of the verifications from now on fail
// (with `and_after`, every later one too); 0 stops it. The allocations
// counted are those of the verification's own bookkeeping: the record
// table, the records, the error records, their texts and stacks.
void CERT_verify_test_fail_allocation(int nth, bool and_after);
// The allocations counted since the last CERT_verify_test_fail_allocation.
int CERT_verify_test_allocation_count();
#endif

int X509_STORE_CTX_init(X509_STORE_CTX* ctx, X509_STORE* store, X509* cert, STACK_OF(X509) * untrusted);
void X509_STORE_CTX_cleanup(X509_STORE_CTX* ctx);
// Builds the chain through the store and the untrusted certificates and runs
// the store's chain check over it; 1 when every callback answered 1.
int X509_verify_cert(X509_STORE_CTX* ctx);

int CERT_verify_callback(int ok, X509_STORE_CTX* ctx);
// The chain check with CRLs installed in the store.
int CERT_verify_chain(X509_STORE_CTX* ctx);

// The CRL with the latest lastUpdate not later than the reference time (now
// when null); null when none qualifies.
X509_CRL* CRL_choose(STACK_OF(X509_CRL) * crls, const time_t* time);
// True when the certificate's serial number is among the CRL's revoked
// entries.
bool CRL_is_revoked(X509* cert, X509_CRL* crl);

// 1 when the certificate and its whole chain are valid, else 0; the errors
// are in the records of the chain.
int CERT_verify(CERT* cert, X509_STORE* store, STACK_OF(CERT) * extra_certs, STACK_OF(CRL) * extra_crls,
                unsigned long flags, void* extra);
// The same at a given reference time.
int CERT_verify_at(CERT* cert, X509_STORE* store, STACK_OF(CERT) * extra_certs, STACK_OF(CRL) * extra_crls,
                   unsigned long flags, void* extra, const time_t* time);
int CERT_verify_store(CERT* cert, X509_STORE* store, unsigned long flags, void* extra);

}  // namespace qcrypto
