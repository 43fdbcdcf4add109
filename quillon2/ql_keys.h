// The toolkit's utility layer (mputil_*) and the session's keys,
// certificates and CRLs (QL_*).
//
// The session's private keys (guarded by crypto lock 10) are key handles
// shared with every reader: an operation takes a snapshot of them
// (mputil_keys) and keeps each key alive for as long as it uses it, even
// when another thread clears the session's keys meanwhile. A key loaded
// from a container has its protected number opened while loading and is
// then detached from the container, which is closed before the load
// returns. The certificate list (lock 3) holds one reference per
// certificate; searches and snapshots hand out new references.
//
// Result codes are those of ql_codes.h.
#pragma once

#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

#include "crypto/cclib/ossl_owners.h"
#include "crypto/pkey/key_envelope.h"
#include "crypto/pse/pse.h"
#include "crypto/x509store/store.h"
#include "quillon2/ql_frame.h"

namespace quillon2 {

using SessionKey = std::shared_ptr<qcrypto::EVP_PKEY_ENVELOPE>;

struct QL_SESSION_KEYS {
  std::vector<SessionKey> list;
};
struct QL_SESSION_CERTS {
  std::vector<qcrypto::UniquePtr<X509>> list;
};

// Old-format key files are exactly this long.
constexpr int QL_OLD_KEY_FILE_BYTES = 42;
// A key file longer than this is not a key file: refused before it is read.
constexpr long QL_KEY_FILE_MAX_BYTES = 64L * 1024;
// A CRL file longer than this is refused before it is read.
constexpr long QL_CRL_FILE_MAX_BYTES = 64L * 1024 * 1024;

// Callback plumbing. The password callback gets (buffer, size, 0, null):
// -1 when none is installed. The retry callback is asked with the code of
// the failed load and the key file's path: 0 when none is installed.
void mputil_set_password_callback(QL_PASSWORD_CALLBACK callback);  // as QL_set_password_callback
int mputil_password_callback(char* buffer, int size, int flag);
int mputil_retry_callback(const char* key_file_path, int code);
void mputil_error_callback(const char* file, int code);

// Keys. mputil_add_key takes the key over: 0 also when an equal key (same
// type and public values) is there already, in which case the new one is
// dropped.
int mputil_add_key(QL_SESSION* session, qcrypto::UniquePtr<qcrypto::EVP_PKEY_ENVELOPE> key);
void mputil_free_keys(QL_SESSION* session);
std::vector<SessionKey> mputil_keys(QL_SESSION* session);
// Decodes a private key (any form the key decoder takes) with the password,
// or through the password callback when the password is null or empty; a
// protected number is opened with the container. 107 when it fails.
int mputil_read_key(QL_SESSION* session, qcrypto::PSE* container, const unsigned char* bytes, int length,
                    const char* password);
// Reads and loads one key file (107 unreadable or undecodable), asking the
// retry callback after a failure.
int mputil_load_key_file(QL_SESSION* session, qcrypto::PSE* container, const char* path, const char* password);
// Every file of the folder, results ignored; 0 (159 without a session).
int mputil_load_keys_31(QL_SESSION* session, qcrypto::PSE* container, const char* directory, const char* password);
int mputil_load_keys_old(QL_SESSION* session, qcrypto::PSE* container, const char* directory);
// An old-format key record of 42 bytes, or without one the container's own
// signature key: 168 when it cannot be decoded.
int mputil_add_old_key(QL_SESSION* session, qcrypto::PSE* container, const unsigned char* record);
// 107 when the file does not hold exactly 42 bytes.
int mputil_load_old_key_file(QL_SESSION* session, qcrypto::PSE* container, const char* path);

// Certificates of the session: a certificate equal by issuer and serial to
// one of the list is not added again.
int mputil_add_certificate(QL_SESSION* session, X509* cert);
void mputil_free_certificates(QL_SESSION* session);
// A new stack of the list with one reference per certificate (null when empty).
STACK_OF(X509) * mputil_certificates(QL_SESSION* session);

// DER, else PEM; null when neither decodes.
X509* mputil_decode_cert(const unsigned char* bytes, long length);
X509_CRL* mputil_decode_crl(const unsigned char* bytes, long length);

// The store's "trusted" look-up: 183 / 154 when it is missing or refuses.
int mputil_store_add_cert(qcrypto::X509_STORE* store, X509* cert);
int mputil_store_add_crl(qcrypto::X509_STORE* store, X509_CRL* crl);
// 153 when the file cannot be read or decoded.
int mputil_store_add_crl_file(qcrypto::X509_STORE* store, const char* path);

// The first certificate for which every non-null criterion matches: the
// subject and issuer names entry by entry against one-line names (local code
// page, qcrypto::X509_NAME_oneline_matches) and the serial text byte for
// byte (upper-case hexadecimal, "-" first when negative). A new
// reference, or null when the list is empty or no criterion is given.
X509* mputil_find_cert(QL_SESSION* session, const char* subject, const char* issuer, const char* serial);
X509* mputil_find_cert_in(STACK_OF(X509) * list, const char* subject, const char* issuer, const char* serial);
// The serial text of a certificate as the searches compare it.
std::string mputil_serial_text(const ASN1_INTEGER* serial);

// The message's certificate whose issuer and serial are the signer's (no
// new reference), or null.
X509* mputil_find_signer_cert(PKCS7* message, PKCS7_SIGNER_INFO* signer);
// 0 when every given certificate signed the message (a signer names it by
// issuer and serial), 127 when the message has no signers, 132 for the
// first that did not sign. A null list: 0.
int mputil_check_signers(PKCS7* message, STACK_OF(X509) * certificates);

// The session's keys and certificates.
int QL_load_key_file(const char* path, const char* password);
int QL_clear_keys();
int QL_load_key(const char* medium, int unused, const char* key_file, const char* password);
int QL_load_key_by_name(const char* medium, const char* key_file);
int QL_load_keys(const char* medium, const char* directory);
int QL_add_certificate(const unsigned char* bytes, long length);
int QL_add_trusted_certificate(const unsigned char* bytes, long length);
int QL_load_crls(const char* directory);

// Key media.
int QL_medium_present(const char* path);
int QL_token_present(const char* medium);
// 0 when the file or folder (with everything below it) is gone, 159 for
// no path, 114 when something could not be erased.
int QL_erase_file(const char* path);

}  // namespace quillon2
