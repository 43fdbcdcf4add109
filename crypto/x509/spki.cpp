// SubjectPublicKeyInfo of the GOST key types and the certificate key cache.
//
// Everything here parses the SPKI bytes itself: OpenSSL's X509_PUBKEY and
// PUBKEY decoders would call back into a provider's key decoder, which is
// where these functions are meant to be called from.
#include <openssl/crypto.h>
#include <openssl/objects.h>

#include <memory>
#include <utility>
#include <vector>

#include "crypto/cclib/locks.h"
#include "crypto/evp/objects.h"
#include "crypto/x509/codec_util.h"

namespace qcrypto {
using namespace keycodec;

namespace {

// The parts of an SPKI: the algorithm OID's TLV, the parameters' TLV (empty
// when absent) and the BIT STRING content after its unused-bits byte.
struct SpkiParts {
  std::span<const unsigned char> oid, params, key;
};

bool SplitSpki(der::Reader& r, SpkiParts& parts) {
  der::Reader spki, alg, unused, bits;
  if (!r.take(der::kSequence, spki) || !spki.take(der::kSequence, alg) || !alg.take(der::kOid, unused, &parts.oid)) {
    return false;
  }
  parts.params = {};
  if (!alg.empty()) {
    const int tag = alg.peek();
    // Any single TLV; which ones a key type accepts is its decoder's business.
    if (tag < 0 || (tag & 0x1f) == 0x1f || !alg.take(static_cast<unsigned char>(tag), unused, &parts.params)) {
      return false;
    }
  }
  // A public key is whole bytes: no unused bits.
  if (!alg.empty() || !spki.take(der::kBitString, bits) || !spki.empty() || bits.left() < 2 || bits.pos()[0] != 0) {
    return false;
  }
  parts.key = std::span<const unsigned char>(bits.pos() + 1, bits.left() - 1);
  return true;
}

int KeyTypeOf(std::span<const unsigned char> oid) {
  if (SameBytes(oid, OidTlv(SYSOBJ_R3410))) return SYSOBJ_R3410;
  if (SameBytes(oid, OidTlv(SYSOBJ_ECR3410))) return SYSOBJ_ECR3410;
  return 0;
}

bool WholeRead(const unsigned char* start, const unsigned char* end, long length) { return end == start + length; }

// SEQUENCE { SEQUENCE { oid, params }, BIT STRING { 0, key } }.
int EmitSpki(int key_type, const der::Buffer& params, const der::Buffer& key, unsigned char** out) {
  der::Buffer alg, bits, body, all;
  const der::Buffer& oid = OidTlv(key_type);
  if (oid.empty()) return 0;
  alg.assign(oid.begin(), oid.end());
  alg.insert(alg.end(), params.begin(), params.end());
  der::put_wrapped(body, der::kSequence, alg);
  bits.push_back(0);
  bits.insert(bits.end(), key.begin(), key.end());
  der::put_wrapped(body, der::kBitString, bits);
  der::put_wrapped(all, der::kSequence, body);
  return der::emit(all, out);
}

}  // namespace

int gost_spki_key_type(const unsigned char* der, long length) {
  if (der == nullptr || length <= 0) return 0;
  der::Reader r(der, static_cast<std::size_t>(length)), spki, alg, unused;
  std::span<const unsigned char> oid;
  if (!r.take(der::kSequence, spki) || !spki.take(der::kSequence, alg) || !alg.take(der::kOid, unused, &oid)) return 0;
  return KeyTypeOf(oid);
}

R3410* R3410_pubkey_from_spki(const unsigned char* params, long params_length, const unsigned char* key,
                              long key_length) {
  constexpr int F = ASN1GOST_F_D2I_GOST_PUBKEY;
  if (key == nullptr || key_length <= 0 || params_length < 0) return Parsing(F);
  UniquePtr<R3410> k(GOSTS_new());
  if (!k) return nullptr;
  R3410* raw = k.get();
  const bool has_domain = params != nullptr && params_length > 0 && params[0] == der::kSequence;
  if (has_domain) {
    const unsigned char* p = params;
    if (d2i_R3410params(&raw, &p, params_length) == nullptr || !WholeRead(params, p, params_length)) {
      return Parsing(F);
    }
  } else if (!R3410_default_params(raw)) {
    QERR(ERRLIB_ASN1, F, ERRLIB_BN);
    return nullptr;
  }
  // The public key may carry its own p, q, a: they must be the ones above.
  BnPtr p0(BN_dup(raw->p)), q0(BN_dup(raw->q)), a0(BN_dup(raw->a));
  if (!p0 || !q0 || !a0) return NoMemory(F);
  const unsigned char* p = key;
  if (d2i_R3410PublicKey(&raw, &p, key_length) == nullptr || !WholeRead(key, p, key_length) ||
      BN_cmp(p0.get(), raw->p) != 0 || BN_cmp(q0.get(), raw->q) != 0 || BN_cmp(a0.get(), raw->a) != 0) {
    return Parsing(F);
  }
  return k.release();
}

ECGOST* ECGOST_pubkey_from_spki(const unsigned char* params, long params_length, const unsigned char* key,
                                long key_length) {
  constexpr int F = ASN1GOST_F_D2I_GOST_PUBKEY;
  if (key == nullptr || key_length <= 0 || params_length < 0) return Parsing(F);
  // A certificate's key cannot inherit its curve from anywhere.
  if (params == nullptr || params_length == 0 || params[0] == der::kNull) {
    QERR(ERRLIB_X509, 119, ERR_R_INTERNAL);
    return nullptr;
  }
  const unsigned char* p = params;
  UniquePtr<ECGOST> k(d2i_ECGOSTparams(nullptr, &p, params_length));
  if (!k || !WholeRead(params, p, params_length)) return Parsing(F);
  ECGOST* raw = k.get();
  p = key;
  if (d2i_ECGOSTPublicKey(&raw, &p, key_length) == nullptr || !WholeRead(key, p, key_length) ||
      !ECGOST_decode_public(raw)) {
    return Parsing(F);
  }
  return k.release();
}

R3410* d2i_R3410_PUBKEY(R3410** key, const unsigned char** in, long length) {
  constexpr int F = ASN1GOST_F_D2I_GOST_PUBKEY;
  if (in == nullptr || *in == nullptr || length <= 0) return Parsing(F);
  der::Reader r(*in, static_cast<std::size_t>(length));
  SpkiParts parts;
  if (!SplitSpki(r, parts) || KeyTypeOf(parts.oid) != SYSOBJ_R3410) return Parsing(F);
  R3410* k = R3410_pubkey_from_spki(parts.params.data(), static_cast<long>(parts.params.size()), parts.key.data(),
                                    static_cast<long>(parts.key.size()));
  if (k == nullptr) return nullptr;
  if (key != nullptr) {
    R3410_free(*key);
    *key = k;
  }
  *in = r.pos();
  return k;
}

int i2d_R3410_PUBKEY(const R3410* key, unsigned char** out) {
  constexpr int F = ASN1GOST_F_I2D_GOST_PUBKEY;
  if (key == nullptr) return EncodeFailed(F);
  const bool domain = key->p != nullptr && key->q != nullptr && key->a != nullptr;
  der::Buffer params, pub;
  if (domain) {
    const int n = i2d_R3410params(key, nullptr);
    if (n <= 0) return 0;
    params.resize(static_cast<std::size_t>(n));
    unsigned char* p = params.data();
    i2d_R3410params(key, &p);
  } else {
    der::put_null(params);
  }
  if (!PutR3410Public(pub, key, domain && key->write_params != 0)) return EncodeFailed(F);
  const int n = EmitSpki(SYSOBJ_R3410, params, pub, out);
  if (n == 0) EncodeFailed(F);
  return n;
}

ECGOST* d2i_ECGOST_PUBKEY(ECGOST** key, const unsigned char** in, long length) {
  constexpr int F = ASN1GOST_F_D2I_GOST_PUBKEY;
  if (in == nullptr || *in == nullptr || length <= 0) return Parsing(F);
  der::Reader r(*in, static_cast<std::size_t>(length));
  SpkiParts parts;
  if (!SplitSpki(r, parts) || KeyTypeOf(parts.oid) != SYSOBJ_ECR3410) return Parsing(F);
  ECGOST* k = ECGOST_pubkey_from_spki(parts.params.data(), static_cast<long>(parts.params.size()), parts.key.data(),
                                      static_cast<long>(parts.key.size()));
  if (k == nullptr) return nullptr;
  if (key != nullptr) {
    ECGOST_free(*key);
    *key = k;
  }
  *in = r.pos();
  return k;
}

int i2d_ECGOST_PUBKEY(const ECGOST* key, unsigned char** out) {
  constexpr int F = ASN1GOST_F_I2D_GOST_PUBKEY;
  if (key == nullptr) return EncodeFailed(F);
  der::Buffer params, pub;
  const der::Buffer point = EcPublicBytes(key);
  if (!PutEcParams(params, key, true) || point.empty()) return EncodeFailed(F);
  der::put_wrapped(pub, der::kOctetString, point);
  const int n = EmitSpki(SYSOBJ_ECR3410, params, pub, out);
  if (n == 0) EncodeFailed(F);
  return n;
}

// ---------------------------------------------------------------------------
// Certificate cache

namespace {

// What a certificate's ex_data slot holds: the decoded key and the SPKI parts
// it was decoded from (a certificate whose key is replaced misses the cache).
struct CachedKey {
  int type = 0;
  void* key = nullptr;                // one reference held by the cache
  std::vector<unsigned char> source;  // algorithm OID, parameters, key bytes

  CachedKey() = default;
  CachedKey(const CachedKey&) = delete;
  CachedKey& operator=(const CachedKey&) = delete;
  ~CachedKey() {
    if (type == SYSOBJ_R3410) R3410_free(static_cast<R3410*>(key));
    if (type == SYSOBJ_ECR3410) ECGOST_free(static_cast<ECGOST*>(key));
  }
  void* new_reference() const {
    if (type == SYSOBJ_R3410) R3410_up_ref(static_cast<R3410*>(key));
    if (type == SYSOBJ_ECR3410) ECGOST_up_ref(static_cast<ECGOST*>(key));
    return key;
  }
};

void FreeCached(void*, void* ptr, CRYPTO_EX_DATA*, int, long, void*) { delete static_cast<CachedKey*>(ptr); }

// X509_dup copies every ex_data pointer unless told otherwise: the copy must
// start empty, or both certificates would free one entry.
int DupCached(CRYPTO_EX_DATA*, const CRYPTO_EX_DATA*, void** from_d, int, long, void*) {
  *from_d = nullptr;
  return 1;
}

int CacheIndex() {
  static const int index = CRYPTO_get_ex_new_index(CRYPTO_EX_INDEX_X509, 0, nullptr, nullptr, DupCached, FreeCached);
  return index;
}

// The certificate's SPKI parts as bytes: OID TLV, parameters TLV and key.
bool CertSpki(X509* cert, int& type, std::vector<unsigned char>& source, std::size_t& params_at, std::size_t& key_at) {
  X509_PUBKEY* pub = X509_get_X509_PUBKEY(cert);
  ASN1_OBJECT* alg = nullptr;
  const unsigned char* key = nullptr;
  int key_length = 0;
  X509_ALGOR* algor = nullptr;
  if (pub == nullptr || !X509_PUBKEY_get0_param(&alg, &key, &key_length, &algor, pub) || alg == nullptr ||
      key == nullptr || key_length <= 0) {
    return false;
  }
  const int n = i2d_ASN1_OBJECT(alg, nullptr);
  if (n <= 0) return false;
  source.resize(static_cast<std::size_t>(n));
  unsigned char* p = source.data();
  i2d_ASN1_OBJECT(alg, &p);
  type = KeyTypeOf(source);
  if (type == 0) return false;
  params_at = source.size();
  int ptype = V_ASN1_UNDEF;
  const void* pval = nullptr;
  X509_ALGOR_get0(nullptr, &ptype, &pval, algor);
  if (ptype != V_ASN1_UNDEF) {
    ASN1_TYPE* t = ASN1_TYPE_new();
    if (t == nullptr || !ASN1_TYPE_set1(t, ptype, pval)) {
      ASN1_TYPE_free(t);
      return false;
    }
    const int m = i2d_ASN1_TYPE(t, nullptr);
    if (m > 0) {
      source.resize(params_at + static_cast<std::size_t>(m));
      p = source.data() + params_at;
      i2d_ASN1_TYPE(t, &p);
    }
    ASN1_TYPE_free(t);
    if (m <= 0) return false;
  }
  key_at = source.size();
  source.insert(source.end(), key, key + key_length);
  return true;
}

void* CertKey(X509* cert, int want) {
  const int index = CacheIndex();
  int type = 0;
  std::vector<unsigned char> source;
  std::size_t params_at = 0, key_at = 0;
  if (cert == nullptr || index < 0 || !CertSpki(cert, type, source, params_at, key_at) || type != want) {
    return nullptr;
  }
  {
    CryptoLockGuard guard(CRYPTO_LOCK_EVP_PKEY);
    auto* cached = static_cast<CachedKey*>(X509_get_ex_data(cert, index));
    if (cached != nullptr && cached->type == type && cached->source == source) return cached->new_reference();
  }
  // Decoded outside the lock; when two threads race, the first to store wins.
  const long params_length = static_cast<long>(key_at - params_at);
  const unsigned char* params = params_length > 0 ? source.data() + params_at : nullptr;
  const unsigned char* key = source.data() + key_at;
  const long key_length = static_cast<long>(source.size() - key_at);
  auto entry = std::make_unique<CachedKey>();
  entry->key = type == SYSOBJ_R3410
                   ? static_cast<void*>(R3410_pubkey_from_spki(params, params_length, key, key_length))
                   : static_cast<void*>(ECGOST_pubkey_from_spki(params, params_length, key, key_length));
  if (entry->key == nullptr) return nullptr;
  entry->type = type;
  entry->source = std::move(source);
  CryptoLockGuard guard(CRYPTO_LOCK_EVP_PKEY);
  auto* cached = static_cast<CachedKey*>(X509_get_ex_data(cert, index));
  if (cached != nullptr && cached->type == entry->type && cached->source == entry->source) {
    return cached->new_reference();
  }
  // Without a slot the caller still gets the key, just uncached.
  if (!X509_set_ex_data(cert, index, entry.get())) return std::exchange(entry->key, nullptr);
  delete cached;
  return entry.release()->new_reference();
}

}  // namespace

R3410* X509_get1_R3410_pubkey(X509* cert) { return static_cast<R3410*>(CertKey(cert, SYSOBJ_R3410)); }
ECGOST* X509_get1_ECGOST_pubkey(X509* cert) { return static_cast<ECGOST*>(CertKey(cert, SYSOBJ_ECR3410)); }

}  // namespace qcrypto
