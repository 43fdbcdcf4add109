// The toolkit's signing and verification: PKCS#7 signed messages made from
// files with the session's keys, and checked from memory with per-signer
// results (certificate, code, signing time).
//
// Output files are written under a temporary name in the target folder and
// renamed over the target only when complete, so a failure or a cancel from
// the progress callback leaves neither a partial file nor a damaged input,
// even when the output path names the input itself.
//
// A set is not locked: one thread uses one set at a time.
#pragma once

#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <vector>

#include "crypto/cclib/ossl_owners.h"
#include "quillon2/ql_frame.h"

namespace quillon2 {

// The signature set. `certificates` is filled by the caller: the signers
// when signing; when verifying, the certificates required to have signed,
// also searched for signer certificates. The other three are filled by the
// last verification, in signer order.
struct QL_SIGN_SET {
  std::vector<qcrypto::UniquePtr<X509>> certificates;
  std::vector<qcrypto::UniquePtr<X509>> signer_certs;
  std::vector<int> signer_status;
  std::vector<char*> signing_times;  // QL_malloc texts; null when the signer has none
};

QL_SIGN_SET* QL_SIGN_SET_new();  // null and last result 103 when out of memory
void QL_SIGN_SET_free(QL_SIGN_SET* set);

// Looks a certificate up (modes of ql_certinfo.h: 0 a file, 1-3 the
// session's list, 4 bytes with `second` pointing to their long length),
// verifies its chain against the session store and appends it. 129 when
// nothing is found; a chain failure gives its verification error number.
int QL_add_signer_certificate(QL_SIGN_SET* set, int mode, const void* key, const void* second);

// Signs the input with every certificate of the set whose key the session
// holds (106 for the first without one). Progress stage 7.
int QL_sign_file(QL_SIGN_SET* set, const char* input, const char* output, int detached);

// Checks every signer of the message (DER or PEM). With `want_content` the
// attached content is handed over by the caller-buffer rules: *content null:
// a QL_malloc buffer of the exact length; else copied when *content_length
// is large enough, else the needed length is stored and 160 returned.
// Progress stage 6. 128 when any signer failed (see the set's statuses).
// The message and a detached content take at most INT32_MAX bytes each
// (159 above that, before a byte is read). A DER message is read where it
// lies: a file handed over as a read-only mapping (MappedFile, ql_file.h)
// costs the page cache, not memory of the caller's.
int QL_verify_data(QL_SIGN_SET* set, const unsigned char* message, long length, unsigned char** content,
                   long* content_length, int want_content, const unsigned char* detached, long detached_length);
int QL_verify_data_short(QL_SIGN_SET* set, const unsigned char* message, long length, unsigned char** content,
                         long* content_length, int want_content);
// QL_verify_data_short with the content left where it lies: *content points
// into `message` (valid as long as the message is) when the message is DER
// and its content one string; otherwise the content is joined into a
// QL_malloc buffer, *content points at it and *joined holds it for the
// caller to free (null when nothing was allocated). A document the size of
// the message then costs no second copy beside the message's mapping.
int QL_verify_data_in_place(QL_SIGN_SET* set, const unsigned char* message, long length, const unsigned char** content,
                            long* content_length, unsigned char** joined);
// The content of a signed message without checking any signature.
int QL_get_signed_content(const unsigned char* message, long length, unsigned char** content, long* content_length);
// The same with the content left where it lies, by QL_verify_data_in_place's
// rules.
int QL_get_signed_content_in_place(const unsigned char* message, long length, const unsigned char** content,
                                   long* content_length, unsigned char** joined);

// After a verification. Getters returning a value leave 159 as the last
// result for a bad set or index.
int QL_SIGN_SET_signer_count(const QL_SIGN_SET* set);
int QL_SIGN_SET_signer_status(const QL_SIGN_SET* set, int i);
char* QL_SIGN_SET_signer_name(const QL_SIGN_SET* set, int i);  // QL_free
// PEM "CERTIFICATE" by the caller-buffer rules.
int QL_SIGN_SET_signer_cert_data(const QL_SIGN_SET* set, int i, unsigned char** data, long* length);
// 1 when the signer's certificate is neither in the set's certificates nor
// in the session's list (it came only from the message), else 0.
int QL_SIGN_SET_cert_is_embedded(const QL_SIGN_SET* set, int i);

// The signingTime attribute of one signer.
int QL_add_signing_time(PKCS7_SIGNER_INFO* signer);            // 1 / 0
ASN1_UTCTIME* QL_get_signing_time(PKCS7_SIGNER_INFO* signer);  // null when absent or not UTCTime
char* QL_signing_time_text(PKCS7_SIGNER_INFO* signer);         // QL_free; null and 159 when absent
char* QL_signing_time_text_of(const ASN1_STRING* time);        // the same from the value

}  // namespace quillon2

QCRYPTO_DECLARE_OWNER(quillon2::QL_SIGN_SET, quillon2::QL_SIGN_SET_free)
