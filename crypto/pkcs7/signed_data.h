// Streaming PKCS#7 signed data, made and checked by our own code on
// OpenSSL's ASN.1 types (OpenSSL's PKCS7_sign/PKCS7_verify compare digest
// NIDs and do not work with the provider's GOST algorithms).
//
// ContentInfo { signedData, [0] SignedData { version 1, SET OF digest
// AlgorithmIdentifier, ContentInfo { type, [0] OCTET STRING content
// (absent when detached) }, [0] IMPLICIT certificates, SET OF SignerInfo } }
//
// Digests by signer key: GOST R 34.10-94 (177) signs over RUS-HASH, GOST R
// 34.10-2001 (181) over the ECR3410-R3411 digest, whatever digest the caller
// asked for; RSA takes MD5, SHA-1 or SHA-2, ECDSA SHA-1 or SHA-2.
//
// Results: 1 success; 0 failure (queued under library 33); SIGNED_CANCELLED
// when the progress callback answered 0; SIGNED_INVALID from verification
// when the message was read whole but a signer did not check out (see the
// per-signer status).
#pragma once

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cstdint>
#include <ctime>
#include <optional>
#include <span>
#include <vector>

#include "crypto/cclib/ossl_owners.h"
#include "crypto/pkcs7/envelope.h"

QCRYPTO_DECLARE_OWNER(PKCS7_SIGNER_INFO, PKCS7_SIGNER_INFO_free)

namespace qcrypto {

constexpr int SIGNED_BLOCK = 4096;
constexpr int SIGNED_CANCELLED = ENVELOPE_CANCELLED;
constexpr int SIGNED_INVALID = -2;
// Progress stages as the toolkit reports them.
constexpr int SIGNED_STAGE_VERIFY = 6;
constexpr int SIGNED_STAGE_SIGN = 7;

// Function and reason numbers of library 33 (the classic PKCS7 ones).
enum SignedFunction : int {
  P7S_F_PKCS7_DATAVERIFY = 107,
  P7S_F_PKCS7_SIGNATUREVERIFY = 113,
  P7S_F_PKCS7_DATAFINAL = 128,
};
enum SignedReason : int {
  P7S_R_DIGEST_FAILURE = 101,
  P7S_R_SIGNATURE_FAILURE = 105,
  P7S_R_UNABLE_TO_FIND_CERTIFICATE = 106,
  P7S_R_UNKNOWN_DIGEST_TYPE = 109,
  P7S_R_WRONG_CONTENT_TYPE = 113,
  P7S_R_WRONG_PKCS7_TYPE = 114,
  P7S_R_NO_CONTENT = 122,
  P7S_R_PRIVATE_KEY_DOES_NOT_MATCH_CERTIFICATE = 127,
  P7S_R_NO_SIGNERS = 142,
  P7S_R_SIGNING_NOT_SUPPORTED_FOR_THIS_KEY_TYPE = 148,
  P7S_R_MALFORMED = 131,  // shared with the enveloped data: a malformed message
};

struct SignedSigner {
  EVP_PKEY* key;  // a private key (a provider handle for GOST keys)
  X509* cert;     // its certificate
  // Asked for by the caller; GOST keys replace it by their own digest. Null:
  // SHA-256 for RSA and ECDSA.
  const EVP_MD* md = nullptr;
};

struct SignedOptions {
  bool detached = false;
  bool include_certs = true;  // each signer certificate once
  // The signingTime attribute of every signer (UTCTime), when set.
  std::optional<std::time_t> signing_time;
};

// Signs exactly `length` bytes of `in`. The DER lengths ahead of attached
// content depend on the signatures. When `out` is a regular file open for
// reading and writing (a descriptor or FILE BIO, not appending) the content
// is read once, digested and copied block by block, and the head is written
// again in place at the end. Into any other output the content is read
// twice, once to digest, with the progress calls, then to copy, and `in`
// must then be seekable (a file or a memory BIO). Detached content is read
// once. On a result other than 1, `out` holds a partial message.
int signed_data_sign_bio(std::span<const SignedSigner> signers, BIO* in, std::uint64_t length, BIO* out,
                         const SignedOptions& options = {}, EnvelopeProgress progress = {});
// The same from a file into a file, written under a temporary name in the
// target folder and renamed into place only when complete.
int signed_data_sign_file(std::span<const SignedSigner> signers, const char* in_path, const char* out_path,
                          const SignedOptions& options = {}, EnvelopeProgress progress = {});

// Why one signer did not check out.
enum class SignerStatus {
  kGood,
  kNoCertificate,  // neither in the message nor among the caller's certificates
  kBadDigest,      // the content's digest is not the signed one: content changed
  kBadSignature,   // the signature over the attributes (or digest) fails
  kBadAttributes,  // contentType missing or not the content's type, messageDigest missing
  kUnsupported,    // digest or signature algorithm not allowed with this key
};

struct SignerResult {
  SignerStatus status = SignerStatus::kNoCertificate;
  UniquePtr<X509> cert;  // the signer certificate when found (own reference)
  bool cert_from_message = false;
  UniquePtr<ASN1_STRING> signing_time;  // the signingTime attribute as sent (ASN1_TIME), or null
  UniquePtr<PKCS7_SIGNER_INFO> info;    // the record itself
};

struct SignedVerifyResult {
  std::vector<SignerResult> signers;          // in message order
  std::vector<UniquePtr<X509>> certificates;  // those the message carries: untrusted chain candidates
  bool detached = false;                      // the message carried no content
  std::uint64_t content_length = 0;
};

struct SignedVerifyOptions {
  // Content of a detached signature (null when the message carries it).
  BIO* detached = nullptr;
  // The same held in memory, digested where it lies (set one of the two).
  std::optional<std::span<const unsigned char>> detached_bytes;
  // Certificates searched for signers not in the message (the caller's list,
  // the session's), in order after the message's own.
  std::span<X509* const> extra_certs;
  // The total reported to the progress callback: the detached content's
  // length, or what the caller knows of the message (0: the attached
  // content's length when the message states it).
  std::uint64_t progress_total = 0;
  // False: the content is only read (handed on or located), not digested, for
  // a caller that takes it without judging the signers; every signer then
  // comes out as not checked (SIGNED_INVALID).
  bool digest_content = true;
};

// Reads (DER, else PEM "PKCS7"/"CMS") and checks every signer. The attached
// content is handed to `content_out` (null: dropped) as it streams; on a
// result other than 1 the caller must discard what it received.
int signed_data_verify_bio(BIO* in, BIO* content_out, SignedVerifyResult* result,
                           const SignedVerifyOptions& options = {}, EnvelopeProgress progress = {});
// The same over a DER message held in memory, read in place: the attached
// content is digested where it lies and, with `content` set, is not copied
// but stored as the runs of `message` that make it up, in order (adjacent
// ones joined). A message that does not start as DER (PEM) is refused: it
// goes through the BIO form. On a result other than 1 the runs hold what
// was read so far and must be discarded like the BIO form's content.
int signed_data_verify_mem(std::span<const unsigned char> message, std::vector<std::span<const unsigned char>>* content,
                           SignedVerifyResult* result, const SignedVerifyOptions& options = {},
                           EnvelopeProgress progress = {});
// The file form never shows content under `content_path` (may be null) unless
// every signer checked out. `detached_path` may be null.
int signed_data_verify_file(const char* in_path, const char* detached_path, const char* content_path,
                            SignedVerifyResult* result, std::span<X509* const> extra_certs = {},
                            EnvelopeProgress progress = {});

// 1 when every required certificate signed (same issuer and serial number
// and the same encoding) with a good status; 0 when one did not.
int signed_data_check_signers(const SignedVerifyResult& result, std::span<X509* const> required);

}  // namespace qcrypto
