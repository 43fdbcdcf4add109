// Streaming PKCS#7 enveloped data: the content is read, encrypted or
// decrypted and written in blocks of ENVELOPE_BLOCK bytes, never held whole.
//
// ContentInfo { envelopedData, [0] EnvelopedData { version 0, SET OF
// RecipientInfo, EncryptedContentInfo { data, contentEncryptionAlgorithm
// { cipher OID, IV OCTET STRING }, [0] IMPLICIT encryptedContent } } }
//
// The writer emits DER (the content length is known beforehand). The reader
// takes DER and BER (indefinite lengths, a constructed encryptedContent),
// and PEM ("PKCS7" or "CMS") when the input does not start as DER.
//
// Results: 1 success; 0 failure (queued under library 33); ENVELOPE_CANCELLED
// when the progress callback answered 0 (nothing of the output is kept by the
// file functions).
#pragma once

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdint>
#include <span>

namespace qcrypto {

constexpr int ENVELOPE_BLOCK = 4096;
constexpr int ENVELOPE_CANCELLED = -1;
// Progress stages as the toolkit reports them.
constexpr int ENVELOPE_STAGE_ENCRYPT = 3;
constexpr int ENVELOPE_STAGE_DECRYPT = 4;

// Called before the first block and after every block with the bytes done and
// the total (0 when the total is not known); an answer of 0 cancels.
using EnvelopeProgressFn = int (*)(int stage, long done, long total, void* user);

struct EnvelopeProgress {
  EnvelopeProgressFn fn = nullptr;
  void* user = nullptr;
};

struct EnvelopeRecipient {
  X509* cert;
  int form;  // 0, 1 (the default of stored files) or 2
};

// Encrypts exactly `length` bytes from `in` for every recipient. A failure
// for one recipient fails the whole message (33/105/6).
int envelope_encrypt_bio(std::span<const EnvelopeRecipient> recipients, const EVP_CIPHER* cipher, BIO* in,
                         std::uint64_t length, BIO* out, EnvelopeProgress progress = {});

// The same from a file into a file: the output is written under a temporary
// name in the target folder and renamed into place only when complete.
int envelope_encrypt_file(std::span<const EnvelopeRecipient> recipients, const EVP_CIPHER* cipher, const char* in_path,
                          const char* out_path, EnvelopeProgress progress = {});

// Decrypts with the own key and certificate. The BIO form hands plaintext to
// `out` as it goes: on a result other than 1 the caller must discard what it
// received. The file form never shows unchecked plaintext under `out_path`.
// With an RSA key, an encrypted content key that is malformed is replaced by
// a random one: the message then ends as under a wrong key (a failure at the
// content's padding, or garbage from a cipher without padding).
int envelope_decrypt_bio(BIO* in, EVP_PKEY* pkey, X509* cert, BIO* out, EnvelopeProgress progress = {});
int envelope_decrypt_file(const char* in_path, const char* out_path, EVP_PKEY* pkey, X509* cert,
                          EnvelopeProgress progress = {});

}  // namespace qcrypto
