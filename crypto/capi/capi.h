// Signing a ready digest with a private key that a provider holds.
//
// A key record may carry a provider handle and a key spec instead of its
// private number; the signing wrappers of both GOST schemes then hand the
// digest to capi_sign_digest. Only signing goes to the provider;
// verification always runs in our own code.
//
// The provider's signature format, which both wrappers rely on: the DER
// SEQUENCE { r INTEGER, s INTEGER } with its bytes in reverse order
// (little-endian over the whole encoding). capi_sign_digest reverses it back,
// so its output is the DER encoding; capi_sign_rs decodes that.
#pragma once

#include <openssl/bn.h>

#include <cstdint>
#include <memory>

namespace qcrypto {

// Hash algorithm identifiers a provider understands.
inline constexpr std::uint32_t CALG_MD5 = 0x8003;
inline constexpr std::uint32_t CALG_SHA1 = 0x8004;
inline constexpr std::uint32_t CALG_SSL3_SHAMD5 = 0x8008;
inline constexpr std::uint32_t CAPI_CALG_RUS_HASH = 0x8033;

// The algorithm identifier for a digest object number (4 MD5, 41 and 64
// SHA-1, 114 MD5 and SHA-1, 176 RUS-HASH); 0 when there is none.
std::uint32_t capi_alg_id(int digest_type);
// Bytes of a digest of that algorithm (16, 20, 36, 32); 0 for anything else.
int capi_digest_size(std::uint32_t alg_id);

// The operations signing uses, one per provider call. Each returns false when
// the provider refuses.
class CapiProvider {
 public:
  using Hash = std::uintptr_t;
  virtual ~CapiProvider() = default;
  virtual bool create_hash(std::uintptr_t provider, std::uint32_t alg_id, Hash* hash) = 0;
  // The provider is told the digest; it hashes nothing itself.
  virtual bool set_hash_value(Hash hash, const unsigned char* digest) = 0;
  // signature null: *length receives the signature's size. Otherwise *length
  // is the room at `signature` on entry and the bytes written on return.
  virtual bool sign_hash(Hash hash, std::uint32_t key_spec, unsigned char* signature, std::uint32_t* length) = 0;
  virtual bool destroy_hash(Hash hash) = 0;
};

// The provider of this process: the driver library "advapi32.dll" loaded by
// name (platform/dynlib) on first use, all four exports bound or none. Null
// when the library is absent or incomplete; the next call tries again. The
// holder keeps the library loaded while it signs.
std::shared_ptr<CapiProvider> capi_default_provider();
// Drops the process's reference to the library (unloaded once no signer
// holds it); the next signing loads it again.
void capi_release_default_provider();

// Signs `digest` (digest_length bytes, which must be the size of the
// algorithm of digest_type) with the provider's key (handle, key spec) into
// `signature`, which has room for `capacity` bytes. *signature_length is set
// to 0 first.
//  -1: a missing argument, a digest of the wrong size, no provider, a
//      provider call that fails, or a signature that does not fit `capacity`
//      (nothing is then written past `capacity`);
//   0: digest_type has no algorithm identifier;
//  otherwise the signature length, also stored in *signature_length. The
//  provider's little-endian bytes are reversed in place, so the output is
//  big-endian. The provider's hash object is destroyed on every path once it
//  exists. Nothing is pushed on the error queue; callers report.
int capi_sign_digest(std::uintptr_t provider, std::uint32_t key_spec, int digest_type, const unsigned char* digest,
                     int digest_length, unsigned char* signature, unsigned int capacity,
                     unsigned int* signature_length);
// The same through a given provider.
int capi_sign_digest_with(CapiProvider& calls, std::uintptr_t provider, std::uint32_t key_spec, int digest_type,
                          const unsigned char* digest, int digest_length, unsigned char* signature,
                          unsigned int capacity, unsigned int* signature_length);

// What both GOST wrappers do: sign the RUS-HASH digest through the provider
// with room for `capacity` bytes, then read the provider's output as one
// strict DER SEQUENCE { r, s } filling the whole signature, with
// 0 < r < q and 0 < s < q. 1 with r and s set, else 0 (r and s may then
// hold partial values).
int capi_sign_rs(std::uintptr_t provider, std::uint32_t key_spec, const unsigned char* digest, int digest_length,
                 unsigned int capacity, const BIGNUM* q, BIGNUM* r, BIGNUM* s);

}  // namespace qcrypto
