// Pieces shared by the key codec files (internal).
#pragma once

#include <openssl/bn.h>

#include "crypto/bn/bn_owner.h"
#include "crypto/err/err.h"
#include "crypto/x509/der.h"
#include "crypto/x509/gost_keys.h"

namespace qcrypto::keycodec {

// "parsing" under the function; always null, for `return Parsing(F);`.
inline std::nullptr_t Parsing(int func) {
  QERR(ERRLIB_ASN1, func, ASN1GOST_R_PARSING);
  return nullptr;
}
inline std::nullptr_t NoMemory(int func) {
  QERR(ERRLIB_ASN1, func, ERR_R_MEMORY_ALLOC);
  return nullptr;
}
inline int EncodeFailed(int func) {
  QERR(ERRLIB_ASN1, func, ASN1GOST_R_PARSING);
  return 0;
}

// Content bytes of the largest number a field may hold, sign byte included.
constexpr std::size_t BytesFor(int bits) { return static_cast<std::size_t>(bits) / 8 + 1; }

// 1 < v < bound.
inline bool Between1And(const BIGNUM* v, const BIGNUM* bound) {
  return BN_cmp(v, BN_value_one()) > 0 && BN_cmp(v, bound) < 0;
}

// The tag of a protected private number, a non-negative INTEGER below 2^32:
// the container's block holds 4 bytes of it, so a wider one would stand for
// the same key as its low 32 bits.
inline bool ReadProtectedTag(der::Reader& r, BIGNUM* tag) {
  return r.integer(tag, BytesFor(32)) && BN_num_bits(tag) <= 32;
}

// Stores v into the field, clear-freeing what was there.
inline void Replace(BIGNUM*& field, BIGNUM* v) {
  BN_clear_free(field);
  field = v;
}

// Bytes of a dotted OID's DER, made once per process.
const der::Buffer& OidTlv(int sysobj_number);
// The TLV bytes of an algorithm OID for a key type (177, 181).
inline bool SameBytes(std::span<const unsigned char> a, const der::Buffer& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

// The public-key half of an ECGOST key as DER content (the point encoding of Q
// per point_form, or the pending bytes); empty when there is none.
der::Buffer EcPublicBytes(const ECGOST* key);
// The parameters CHOICE of the key; `for_spki` writes a named or explicit form
// in place of the inherited (NULL) one.
bool PutEcParams(der::Buffer& out, const ECGOST* key, bool for_spki);
// The public key of an R3410 key with or without the parameters.
bool PutR3410Public(der::Buffer& out, const R3410* key, bool with_params);

}  // namespace qcrypto::keycodec
