// The check of one signer of a PKCS#7 message as the toolkit judges it: the
// signer's certificate taken from the message, its chain verified against a
// certificate store with the settings' check options and CRLs, and only then
// the signature over the content, checked by the signed-data engine
// (crypto/pkcs7/signed_data.h).
#pragma once

#include <openssl/bio.h>
#include <openssl/pkcs7.h>

#include <functional>

#include "crypto/cclib/owner.h"
#include "crypto/x509store/verify.h"

QCRYPTO_DECLARE_OWNER(PKCS7, PKCS7_free)

namespace quillon2 {

// 1 when the signer checks out; 0 otherwise, with an error of library 33
// (PKCS7) queued:
// - "wrong pkcs7 type": the message is neither signed nor signed and
//   enveloped;
// - "unable to find certificate": the message's certificates do not hold the
//   signer's (by issuer and serial number), or no record can be made of it;
// - "X509 lib": the certificate's chain failed (CERT_verify_store, flags
//   QL_verify_flags of the settings' check options, 0x1808 while the toolkit
//   is stopped); the context's error is then the chain's first verification
//   error the flags do not tolerate (else its first recorded one);
// - the engine's errors when the signature over the content fails (the
//   context's error stays 0).
// The context is prepared with the store, the certificate and the message's
// certificates, and cleaned before the return; its error number is what
// the caller reads afterwards. `content` holds the signed content from its
// position to its end and is read whole; null takes the content the message
// carries (a signed and enveloped message carries none that can be checked
// here: its decrypted content must be given).
int PKCS7_dataVerify(qcrypto::X509_STORE* store, qcrypto::X509_STORE_CTX* context, BIO* content, PKCS7* message,
                     PKCS7_SIGNER_INFO* signer);

// The judgement PKCS7_dataVerify makes once the signer's certificate is
// known, with the same results, errors and context: the chain first, then
// `signature_good` (1 good, 0 bad with its error queued), which is never
// called when the chain failed. PKCS7_dataVerify digests the content itself;
// QL_verify_data hands in the verdict of the one streaming pass that checked
// every signer while the content went by, so a message is digested once
// whatever the number of its signers. `untrusted` may be null.
int ql_judge_signer(qcrypto::X509_STORE* store, qcrypto::X509_STORE_CTX* context, X509* cert,
                    STACK_OF(X509) * untrusted, const std::function<int()>& signature_good);

}  // namespace quillon2
