// The toolkit's encryption and decryption of files and the kind of a
// PKCS#7 message.
//
// Files of any size stream through the enveloped-data engine in blocks of
// QL_BLOCK_BYTES with the progress protocol of ql_frame.h (stage 3 while
// encrypting, 4 while decrypting). Every output is written under a temporary
// name in the target folder and renamed over the target only when the whole
// operation succeeded: a failure or a cancel (184) leaves nothing behind, and
// with a null output path the input is replaced only by a complete result.
//
// Result codes are those of ql_codes.h; a recipient certificate that does
// not verify is refused with its first verification error number (< 100).
#pragma once

#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include "crypto/cclib/owner.h"

namespace quillon2 {

struct QL_DN;

// Message kinds.
enum QlMessageKind : int {
  QL_KIND_OTHER = 0,
  QL_KIND_SIGNED = 1,
  QL_KIND_ENVELOPED = 2,
  QL_KIND_SIGNED_ENVELOPED = 3,
};

// The recipient list of encryption: one reference per certificate.
struct QL_CERT_LIST {
  STACK_OF(X509) * certs;  // null until the first certificate is added
};

// Null and last result 103 when out of memory.
QL_CERT_LIST* QL_CERT_LIST_new();
void QL_CERT_LIST_free(QL_CERT_LIST* list);

// Finds a certificate by a look-up mode of ql_certinfo.h (mode 4: `second`
// points to a long holding the length of the bytes in `key`), verifies it
// against the session's store with the settings' check options and appends
// it. 134 when nothing is found; a certificate that does not verify is
// never added.
int QL_add_recipient_certificate(QL_CERT_LIST* list, int mode, const void* key, const void* second);

// A null output path replaces the input file.
int QL_encrypt_file(QL_CERT_LIST* list, const char* input, const char* output);
// Opens the message with the session's keys: 125 when none of them does.
int QL_decrypt_file(const char* input, const char* output);

// The kind of the message in a file or buffer (QL_KIND_OTHER when it holds
// none in DER or PEM); 0 whether or not a message was found. Only the head
// of the message is read, so this costs the same for any file size.
int QL_get_file_type(const char* path, int* kind);
int QL_get_buffer_type(const unsigned char* data, long length, int* kind);

// A decoded message: its kind, its recipient entries (enveloped and signed
// and enveloped) and its signers (signed, and signed and enveloped when the
// dependency's decoder reads it).
struct QL_MESSAGE;

// The kind as QL_get_file_type, the decoded message handed over when
// `message` is given (null when the kind is QL_KIND_OTHER). The kind is
// stored on every path, QL_KIND_OTHER when no message was read. Messages of
// any size are read: the structure is walked without copying the content
// (a file is mapped read-only, DER is read in place and PEM decoded as it
// is walked), so the memory used is about what the caller is handed.
int QL_read_message_file(const char* path, int* kind, QL_MESSAGE** message);
int QL_read_message_buffer(const unsigned char* data, long length, int* kind, QL_MESSAGE** message);
void QL_free_message(QL_MESSAGE* message);

// Counts: 0 for a message without such entries, and for null (last result 159).
int QL_recipient_count(const QL_MESSAGE* message);
int QL_signer_count(const QL_MESSAGE* message);
// Allocated texts (QL_free); null and last result 159 for a bad message or
// index. Serials in the search form, issuers as one-line names, also parsed
// into `name` when given (a fresh or cleared record).
char* QL_recipient_serial(const QL_MESSAGE* message, int index);
char* QL_signer_serial(const QL_MESSAGE* message, int index);
char* QL_recipient_issuer(const QL_MESSAGE* message, int index, QL_DN* name);
char* QL_signer_issuer(const QL_MESSAGE* message, int index, QL_DN* name);
// The signingTime attribute as the toolkit prints times; null and 159 when
// the signer has none.
char* QL_signer_signing_time(const QL_MESSAGE* message, int index);

}  // namespace quillon2

QCRYPTO_DECLARE_OWNER(quillon2::QL_CERT_LIST, quillon2::QL_CERT_LIST_free)
