// The content-encryption key per recipient: RSA transport and DH/ECDH
// agreement followed by a key wrap, in the three recipient forms.
//
// Every random byte (ephemeral keys, wrap IVs, RSA padding) is drawn from the
// system's random layer, so a deterministic method reproduces a message.
#include <openssl/asn1.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/rsa.h>

#include <cstring>

#include "crypto/bn/bn_ext.h"
#include "crypto/bn/bn_owner.h"
#include "crypto/cclib/ct.h"
#include "crypto/cclib/ossl_owners.h"
#include "crypto/cclib/secret.h"
#include "crypto/ecgost/ecdh.h"
#include "crypto/ecgost/ecgost.h"
#include "crypto/err/err.h"
#include "crypto/evp/objects.h"
#include "crypto/pkcs7/recip_asn1.h"
#include "crypto/pkcs7/recip_info.h"
#include "crypto/prov/evp_gost.h"
#include "crypto/prov/gost_pkey.h"
#include "crypto/rand/rand.h"
#include "crypto/wrap/keywrap.h"
#include "crypto/x509/gost_keys.h"

namespace qcrypto {
namespace {

// Largest prime the agreement accepts (bits); a larger one is refused before
// any arithmetic so hostile parameters cannot make it slow.
constexpr int kMaxPrimeBits = 4096;
constexpr int kMaxSecretBytes = kMaxPrimeBits / 8;
constexpr int kMaxKekBytes = 64;
constexpr int kRsaPaddingMin = 11;
// The largest modulus OpenSSL accepts (16384 bits), in bytes.
constexpr int kMaxRsaBytes = 2048;

void fail(int func, int reason) {
  QERR(ERRLIB_PKCS7, func, reason);
  if (reason != ERR_R_MEMORY_ALLOC) QERR(ERRLIB_PKCS7, func, ERR_R_MEMORY_ALLOC);
}

int nid_of(int sysobj) { return sysobj_nid(sysobj); }

int key_type_of_algor(const X509_ALGOR* alg) {
  if (alg == nullptr || alg->algorithm == nullptr) return 0;
  return EVP_PKEY_type(sysobj_number(OBJ_obj2nid(alg->algorithm)));
}

bool is_cipher(const EVP_CIPHER* cipher, int sysobj) {
  if (cipher == nullptr) return false;
  if (sysobj == NID_des_ede3_cbc) return EVP_CIPHER_is_a(cipher, "DES-EDE3-CBC") != 0;
  const auto row = sysobj_find(sysobj);
  return row && (EVP_CIPHER_is_a(cipher, row->oid) != 0 ||
                 (row->short_name != nullptr && EVP_CIPHER_is_a(cipher, row->short_name) != 0));
}

// --- finite-field Diffie-Hellman on (p, q, g) -----------------------------

struct Ffc {
  BnPtr p, q, g, y;
  SecretBnPtr x;
};

bool ffc_from_dsa(EVP_PKEY* pkey, Ffc* ffc, bool want_private) {
  BIGNUM* p = nullptr;
  BIGNUM* q = nullptr;
  BIGNUM* g = nullptr;
  BIGNUM* y = nullptr;
  EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_FFC_P, &p);
  EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_FFC_Q, &q);
  EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_FFC_G, &g);
  EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_PUB_KEY, &y);
  ffc->p.reset(p);
  ffc->q.reset(q);
  ffc->g.reset(g);
  ffc->y.reset(y);
  if (want_private) {
    BIGNUM* x = nullptr;
    EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_PRIV_KEY, &x);
    ffc->x.reset(x);
    if (!ffc->x) return false;
  }
  return ffc->p && ffc->q && ffc->g;
}

bool ffc_from_r3410(const R3410* key, Ffc* ffc, bool want_private) {
  if (key == nullptr || key->p == nullptr || key->q == nullptr || key->a == nullptr) return false;
  ffc->p.reset(BN_dup(key->p));
  ffc->q.reset(BN_dup(key->q));
  ffc->g.reset(BN_dup(key->a));
  if (key->y != nullptr) ffc->y.reset(BN_dup(key->y));
  if (want_private) {
    // A number still protected by its container cannot agree on anything.
    if (key->x == nullptr || key->tag != nullptr) return false;
    ffc->x.reset(BN_dup(key->x));
    if (!ffc->x) return false;
  }
  return ffc->p && ffc->q && ffc->g;
}

// A peer's public value: 1 < y < p - 1 and y^q = 1 (mod p).
bool ffc_check_public(const Ffc& ffc, const BIGNUM* y, BN_CTX* ctx) {
  if (y == nullptr || BN_is_negative(y) || BN_num_bits(ffc.p.get()) > kMaxPrimeBits || !BN_is_odd(ffc.p.get())) {
    return false;
  }
  BnCtxFrame frame(ctx);
  BIGNUM* pm1 = frame.get();
  BIGNUM* t = frame.get();
  if (t == nullptr || !BN_sub(pm1, ffc.p.get(), BN_value_one())) return false;
  if (BN_cmp(y, BN_value_one()) <= 0 || BN_cmp(y, pm1) >= 0) return false;
  if (BN_is_zero(ffc.q.get()) || BN_cmp(ffc.q.get(), ffc.p.get()) >= 0) return false;
  return BN_mod_exp(t, y, ffc.q.get(), ffc.p.get(), ctx) == 1 && BN_is_one(t);
}

// Z = peer^x mod p, big-endian, left-padded to the byte size of p.
bool ffc_shared(const Ffc& ffc, const BIGNUM* x, const BIGNUM* peer, unsigned char* z, int* zlen, BN_CTX* ctx) {
  const int width = BN_num_bytes(ffc.p.get());
  if (width > kMaxSecretBytes) return false;
  SecretBnPtr secret(BN_new());
  SecretBnPtr xc(BN_dup(x));
  if (!secret || !xc) return false;
  BN_set_flags(xc.get(), BN_FLG_CONSTTIME);
  if (!BN_mod_exp_mont_consttime(secret.get(), peer, xc.get(), ffc.p.get(), ctx, nullptr)) return false;
  if (BN_is_zero(secret.get()) || BN_is_one(secret.get())) return false;
  if (BN_bn2binpad(secret.get(), z, width) != width) return false;
  *zlen = width;
  return true;
}

// A fresh ephemeral pair: x uniform in [1, q - 1], y = g^x mod p.
bool ffc_ephemeral(const Ffc& ffc, SecretBnPtr* x, BnPtr* y, BN_CTX* ctx) {
  SecretBnPtr k(BN_new());
  BnPtr pub(BN_new());
  if (!k || !pub) return false;
  const int bits = BN_num_bits(ffc.q.get());
  bool found = false;
  for (int attempt = 0; attempt < 64 && !found; ++attempt) {
    if (!BN_rand_bits(k.get(), bits)) return false;
    found = !BN_is_zero(k.get()) && BN_cmp(k.get(), ffc.q.get()) < 0;
  }
  if (!found) return false;
  BN_set_flags(k.get(), BN_FLG_CONSTTIME);
  if (!BN_mod_exp_mont_consttime(pub.get(), ffc.g.get(), k.get(), ffc.p.get(), ctx, nullptr)) return false;
  *x = std::move(k);
  *y = std::move(pub);
  return true;
}

// --- originator public keys -----------------------------------------------

bool set_bit_string(ASN1_BIT_STRING** slot, const unsigned char* data, int length) {
  UniquePtr<ASN1_STRING> bits(ASN1_BIT_STRING_new());
  if (!bits || !ASN1_BIT_STRING_set(bits.get(), const_cast<unsigned char*>(data), length)) return false;
  // No unused bits, whatever the last byte holds.
  bits->flags &= ~0x07L;
  bits->flags |= ASN1_STRING_FLAG_BITS_LEFT;
  ASN1_BIT_STRING_free(*slot);
  *slot = bits.release();
  return true;
}

bool set_originator(PKCS7_RECIP_INFO* ri, int sysobj, const unsigned char* data, int length) {
  UniquePtr<X509_ALGOR> alg(X509_ALGOR_new());
  if (!alg || !X509_ALGOR_set0(alg.get(), OBJ_nid2obj(nid_of(sysobj)), V_ASN1_NULL, nullptr)) return false;
  if (!set_bit_string(&ri->orig_pubkey, data, length)) return false;
  X509_ALGOR_free(ri->orig_algor);
  ri->orig_algor = alg.release();
  return true;
}

// The DH public value as the originator's bytes: raw big-endian (form 1) or
// a DER INTEGER.
bool dh_originator(PKCS7_RECIP_INFO* ri, int sysobj, const BIGNUM* y, bool raw) {
  if (raw) {
    std::vector<unsigned char> bytes(static_cast<size_t>(BN_num_bytes(y)));
    BN_bn2bin(y, bytes.data());
    return set_originator(ri, sysobj, bytes.data(), static_cast<int>(bytes.size()));
  }
  UniquePtr<ASN1_STRING> integer(BN_to_ASN1_INTEGER(y, nullptr));
  unsigned char* der = nullptr;
  const int n = integer ? i2d_ASN1_INTEGER(integer.get(), &der) : 0;
  const bool ok = n > 0 && set_originator(ri, sysobj, der, n);
  OPENSSL_free(der);
  return ok;
}

bool ec_originator(PKCS7_RECIP_INFO* ri, const ECPOINT* point) {
  UniquePtr<ASN1_STRING> octets(ECGOST_point2octet(point, 0));
  unsigned char* der = nullptr;
  const int n = octets ? i2d_ASN1_OCTET_STRING(octets.get(), &der) : 0;
  const bool ok = n > 0 && set_originator(ri, SYSOBJ_ECR3410, der, n);
  OPENSSL_free(der);
  return ok;
}

// The peer's DH value from the originator: raw bytes, or a DER INTEGER
// filling the whole BIT STRING.
BnPtr dh_peer(const ASN1_BIT_STRING* bits, bool raw) {
  if (bits == nullptr) return nullptr;
  const unsigned char* data = ASN1_STRING_get0_data(bits);
  const int length = ASN1_STRING_length(bits);
  if (length <= 0 || length > kMaxSecretBytes + 8) return nullptr;
  if (raw) return BnPtr(BN_bin2bn(data, length, nullptr));
  const unsigned char* p = data;
  UniquePtr<ASN1_STRING> integer(d2i_ASN1_INTEGER(nullptr, &p, length));
  if (!integer || p != data + length) return nullptr;
  return BnPtr(ASN1_INTEGER_to_BN(integer.get(), nullptr));
}

UniquePtr<ECPOINT> ec_peer(const ASN1_BIT_STRING* bits, ECURVE* curve) {
  if (bits == nullptr) return nullptr;
  const unsigned char* data = ASN1_STRING_get0_data(bits);
  const int length = ASN1_STRING_length(bits);
  const unsigned char* p = data;
  UniquePtr<ASN1_STRING> octets(d2i_ASN1_OCTET_STRING(nullptr, &p, length));
  if (!octets || p != data + length) return nullptr;
  ECPOINT* point = nullptr;
  if (ECPOINT_bi2point_public(&point, ASN1_STRING_get0_data(octets.get()),
                              static_cast<std::size_t>(ASN1_STRING_length(octets.get())), curve) == nullptr) {
    return nullptr;
  }
  UniquePtr<ECPOINT> owned(point);
  // On the curve, not at infinity, and in the subgroup of order q.
  if (ECGOST_is_pubkey_valid(owned.get(), 1) != 1) return nullptr;
  return owned;
}

bool ecdh_shared(ECDH* ecdh, const ECPOINT* peer, unsigned char* z, int* zlen) {
  const int width = ECDH_size(ecdh);
  if (width <= 0 || width > kMaxSecretBytes) return false;
  if (ECDH_compute_key(peer, ecdh) != 1 || ecdh->shared == nullptr) return false;
  if (BN_bn2binpad(ecdh->shared, z, width) != width) return false;
  *zlen = width;
  return true;
}

// --- key-wrap parameter -----------------------------------------------------

bool set_wrap_parameter(PKCS7_RECIP_INFO* ri, int wrap_sysobj) {
  if (ri->key_enc_algor == nullptr) return false;
  UniquePtr<X509_ALGOR> wrap(X509_ALGOR_new());
  if (!wrap || !X509_ALGOR_set0(wrap.get(), OBJ_nid2obj(nid_of(wrap_sysobj)), V_ASN1_NULL, nullptr)) return false;
  unsigned char* der = nullptr;
  const int n = i2d_X509_ALGOR(wrap.get(), &der);
  if (n <= 0) return false;
  UniquePtr<ASN1_STRING> seq(ASN1_STRING_type_new(V_ASN1_SEQUENCE));
  const bool set = seq && ASN1_STRING_set(seq.get(), der, n) == 1;
  OPENSSL_free(der);
  if (!set) return false;
  const ASN1_OBJECT* scheme = nullptr;
  X509_ALGOR_get0(&scheme, nullptr, nullptr, ri->key_enc_algor);
  ASN1_OBJECT* scheme_copy = OBJ_dup(scheme);
  if (scheme_copy == nullptr) return false;
  ASN1_STRING* value = seq.release();
  if (!X509_ALGOR_set0(ri->key_enc_algor, scheme_copy, V_ASN1_SEQUENCE, value)) {
    ASN1_OBJECT_free(scheme_copy);
    ASN1_STRING_free(value);
    return false;
  }
  return true;
}

// The wrap algorithm's run-time NID from the key-encryption parameter, or 0.
int wrap_parameter_nid(const PKCS7_RECIP_INFO* ri) {
  int ptype = 0;
  const void* pval = nullptr;
  if (ri->key_enc_algor == nullptr) return 0;
  X509_ALGOR_get0(nullptr, &ptype, &pval, ri->key_enc_algor);
  if (ptype != V_ASN1_SEQUENCE || pval == nullptr) return 0;
  const auto* seq = static_cast<const ASN1_STRING*>(pval);
  const unsigned char* p = ASN1_STRING_get0_data(seq);
  const long length = ASN1_STRING_length(seq);
  UniquePtr<X509_ALGOR> wrap(d2i_X509_ALGOR(nullptr, &p, length));
  if (!wrap || p != ASN1_STRING_get0_data(seq) + length) return 0;
  return OBJ_obj2nid(wrap->algorithm);
}

// --- the agreement schemes ----------------------------------------------------

struct Scheme {
  int orig_sysobj = 0;         // originator algorithm
  bool raw_dh = false;         // DH value as raw bytes (form 1)
  const EVP_MD* md = nullptr;  // KDF digest
  int wrap_sysobj = 0;         // wrap algorithm named in the parameter
  CMS_wrap_fn wrap = nullptr;
  CMS_wrap_fn unwrap = nullptr;
  UniquePtr<EVP_CIPHER> dummy_cipher;  // for the plain wraps
  int keklen = 0;
};

bool use_standard_wrap(Scheme* s, int wrap_nid) {
  if (wrap_nid == nid_of(SYSOBJ_3DES_WRAP)) {
    s->wrap_sysobj = SYSOBJ_3DES_WRAP;
    s->wrap = CMS_3des_wrap;
    s->unwrap = CMS_3des_unwrap;
    s->keklen = CMS_3DES_KEY_BYTES;
    return true;
  }
  if (wrap_nid == nid_of(SYSOBJ_GOST_WRAP)) {
    s->wrap_sysobj = SYSOBJ_GOST_WRAP;
    s->wrap = CMS_gost_wrap;
    s->unwrap = CMS_gost_unwrap;
    s->keklen = CMS_GOST_KEY_BYTES;
    return true;
  }
  return false;
}

bool use_dummy_wrap(Scheme* s, int wrap_nid) {
  char oid[80];
  if (OBJ_obj2txt(oid, sizeof oid, OBJ_nid2obj(wrap_nid), 1) <= 0) return false;
  s->dummy_cipher.reset(evp_cipher_fetch(oid));
  if (!s->dummy_cipher) return false;
  s->wrap_sysobj = sysobj_number(wrap_nid);
  s->wrap = CMS_dummy_wrap;
  s->unwrap = CMS_dummy_unwrap;
  s->keklen = EVP_CIPHER_get_key_length(s->dummy_cipher.get());
  return s->keklen > 0 && s->keklen <= kMaxKekBytes;
}

const EVP_MD* sha1() {
  static EVP_MD* md = EVP_MD_fetch(nullptr, "SHA1", nullptr);
  return md;
}

// The scheme of an encryption: key type, form and content cipher.
int encrypt_scheme(int type, bool form1, const EVP_CIPHER* content, Scheme* s) {
  const bool des = is_cipher(content, NID_des_ede3_cbc);
  if (form1) {
    switch (type) {
      case PKCS7_KEY_DSA:
        s->orig_sysobj = SYSOBJ_dh_public_number;
        s->raw_dh = true;
        s->md = sha1();
        return use_dummy_wrap(s, nid_of(SYSOBJ_3DES_WRAP)) ? 0 : ERR_R_MEMORY_ALLOC;
      case PKCS7_KEY_R3410:
        s->orig_sysobj = SYSOBJ_dh_public_number;
        s->raw_dh = true;
        s->md = sha1();
        return use_dummy_wrap(s, nid_of(SYSOBJ_RUS_GAMMAR)) ? 0 : ERR_R_MEMORY_ALLOC;
      case PKCS7_KEY_ECR3410:
        s->orig_sysobj = SYSOBJ_ECR3410;
        s->md = EVP_rus_hash();
        if (des) return use_standard_wrap(s, nid_of(SYSOBJ_3DES_WRAP)) ? 0 : ERR_R_MEMORY_ALLOC;
        if (is_cipher(content, SYSOBJ_RUS_GAMMAR)) {
          return use_standard_wrap(s, nid_of(SYSOBJ_GOST_WRAP)) ? 0 : ERR_R_MEMORY_ALLOC;
        }
        return P7E_R_UNSUPPORTED_CIPHER_TYPE;
      default:
        return P7E_R_UNSUPPORTED_KEY_TYPE;
    }
  }
  switch (type) {
    case PKCS7_KEY_DSA:
      s->orig_sysobj = SYSOBJ_dh_public_number;
      s->md = sha1();
      break;
    case PKCS7_KEY_R3410:
      s->orig_sysobj = SYSOBJ_R3410;
      s->md = EVP_rus_hash();
      break;
    case PKCS7_KEY_ECR3410:
      s->orig_sysobj = SYSOBJ_ECR3410;
      s->md = EVP_rus_hash();
      break;
    default:
      return P7E_R_UNSUPPORTED_KEY_TYPE;
  }
  // The KEK is as long as the wrap needs (24 / 32 bytes), which is the
  // content cipher's key length for the two ciphers the wraps belong to.
  return use_standard_wrap(s, nid_of(des ? SYSOBJ_3DES_WRAP : SYSOBJ_GOST_WRAP)) ? 0 : ERR_R_MEMORY_ALLOC;
}

int decrypt_scheme(int type, bool form1, int wrap_nid, Scheme* s) {
  switch (type) {
    case PKCS7_KEY_DSA:
      s->orig_sysobj = SYSOBJ_dh_public_number;
      s->md = sha1();
      break;
    case PKCS7_KEY_R3410:
      s->orig_sysobj = form1 ? SYSOBJ_dh_public_number : SYSOBJ_R3410;
      s->md = form1 ? sha1() : EVP_rus_hash();
      break;
    case PKCS7_KEY_ECR3410:
      s->orig_sysobj = SYSOBJ_ECR3410;
      s->md = EVP_rus_hash();
      break;
    default:
      return P7E_R_UNSUPPORTED_KEY_TYPE;
  }
  s->raw_dh = form1 && type != PKCS7_KEY_ECR3410;
  if (wrap_nid == 0) return P7E_R_UNSUPPORTED_CIPHER_TYPE;
  if (s->raw_dh) return use_dummy_wrap(s, wrap_nid) ? 0 : P7E_R_UNSUPPORTED_CIPHER_TYPE;
  return use_standard_wrap(s, wrap_nid) ? 0 : P7E_R_UNSUPPORTED_CIPHER_TYPE;
}

// KEK from Z and the scheme; reason or 0.
int derive_kek(const Scheme& s, const unsigned char* z, int zlen, const ASN1_OCTET_STRING* ukm, unsigned char* kek) {
  if (s.md == nullptr) return ERR_R_MEMORY_ALLOC;
  const int n = X942_KEK_GENERATE(s.md, z, zlen, nid_of(s.wrap_sysobj), kek, s.keklen, ukm);
  return n == s.keklen ? 0 : P7E_R_KEK_LENGTH;
}

// --- RSA --------------------------------------------------------------------

// Errors raised between construction and destruction are dropped (OpenSSL's
// queue is also the own layer's store, so one mark covers both).
class ErrorMark {
 public:
  ErrorMark() { ERR_set_mark(); }
  ~ErrorMark() { ERR_pop_to_mark(); }
  ErrorMark(const ErrorMark&) = delete;
  ErrorMark& operator=(const ErrorMark&) = delete;
};

// PKCS#1 v1.5 type 2 with the padding bytes from the system's random layer.
int rsa_encrypt(EVP_PKEY* pub, unsigned char* out, int outcap, const unsigned char* cek, int ceklen) {
  const int k = EVP_PKEY_get_size(pub);
  if (k <= 0 || k > outcap || ceklen <= 0 || ceklen > k - kRsaPaddingMin) return -1;
  std::vector<unsigned char> block(static_cast<size_t>(k));
  const int ps = k - 3 - ceklen;
  block[0] = 0;
  block[1] = 2;
  unsigned char* pad = block.data() + 2;
  if (RAND_bytes(pad, ps) != ps) return -1;
  for (int i = 0; i < ps; ++i) {
    // A zero would end the padding early: redraw that byte until non-zero.
    for (int tries = 0; pad[i] == 0; ++tries) {
      if (tries > 64 || RAND_bytes(pad + i, 1) != 1) return -1;
    }
  }
  block[static_cast<size_t>(ps) + 2] = 0;
  std::memcpy(block.data() + 3 + ps, cek, static_cast<size_t>(ceklen));
  UniquePtr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pub, nullptr));
  size_t outlen = static_cast<size_t>(outcap);
  const bool ok = ctx && EVP_PKEY_encrypt_init(ctx.get()) > 0 &&
                  EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) > 0 &&
                  EVP_PKEY_encrypt(ctx.get(), out, &outlen, block.data(), block.size()) > 0;
  OPENSSL_cleanse(block.data(), block.size());
  return ok ? static_cast<int>(outlen) : -1;
}

int rsa_decrypt(EVP_PKEY* pkey, const ASN1_OCTET_STRING* enc, unsigned char* out, int outcap) {
  const int k = EVP_PKEY_get_size(pkey);
  if (k <= 0 || enc == nullptr || ASN1_STRING_length(enc) != k) return -1;
  std::vector<unsigned char> plain(static_cast<size_t>(k));
  size_t n = plain.size();
  // The caller learns success or failure from the result; the RSA library's
  // own account of a bad block would say more.
  ErrorMark mark;
  UniquePtr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey, nullptr));
  int result = -1;
  if (ctx && EVP_PKEY_decrypt_init(ctx.get()) > 0 && EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) > 0 &&
      EVP_PKEY_decrypt(ctx.get(), plain.data(), &n, ASN1_STRING_get0_data(enc),
                       static_cast<size_t>(ASN1_STRING_length(enc))) > 0 &&
      n <= static_cast<size_t>(outcap)) {
    std::memcpy(out, plain.data(), n);
    result = static_cast<int>(n);
  }
  OPENSSL_cleanse(plain.data(), plain.size());
  return result;
}

// --- encryption -------------------------------------------------------------

int cek_encrypt(PKCS7_RECIP_INFO* ri, bool form1, unsigned char* out, int outcap, unsigned char* cek, int ceklen,
                const EVP_CIPHER* content) {
  constexpr int F = P7E_F_PKCS7_CEK_ENCRYPT;
  if (ri == nullptr || ri->cert == nullptr || out == nullptr || cek == nullptr || ceklen <= 0) {
    fail(F, ERR_R_PASSED_NULL);
    return -1;
  }
  const int type = pkcs7_cert_key_type(ri->cert);
  if (type == PKCS7_KEY_RSA) {
    const int n = rsa_encrypt(X509_get0_pubkey(ri->cert), out, outcap, cek, ceklen);
    if (n < 1) fail(F, P7E_R_EVP_LIB);
    return n;
  }
  Scheme s;
  if (const int reason = encrypt_scheme(type, form1, content, &s); reason != 0) {
    fail(F, reason);
    return -1;
  }
  SecretBuffer<kMaxSecretBytes> z;
  int zlen = 0;
  BnCtxPtr ctx(BN_CTX_new());
  if (!ctx) {
    fail(F, ERR_R_MEMORY_ALLOC);
    return -1;
  }
  if (type == PKCS7_KEY_ECR3410) {
    UniquePtr<ECGOST> peer(X509_get1_ECGOST_pubkey(ri->cert));
    if (!peer || ECGOST_is_pubkey_valid(peer->Q, 1) != 1) {
      fail(F, P7E_R_BAD_PEER_KEY);
      return -1;
    }
    UniquePtr<ECDH> eph(ECDH_new(peer->curve, ECDH_MODE_COFACTOR_COMPATIBLE));
    if (!eph || ECDH_generate_key(eph.get()) != 1 || !ec_originator(ri, eph->public_key)) {
      fail(F, ERR_R_MEMORY_ALLOC);
      return -1;
    }
    if (!ecdh_shared(eph.get(), peer->Q, z.data(), &zlen)) {
      fail(F, P7E_R_SHARED_SECRET);
      return -1;
    }
  } else {
    Ffc ffc;
    UniquePtr<R3410> r3410;
    bool loaded = false;
    if (type == PKCS7_KEY_DSA) {
      loaded = ffc_from_dsa(X509_get0_pubkey(ri->cert), &ffc, false);
    } else {
      r3410.reset(X509_get1_R3410_pubkey(ri->cert));
      loaded = ffc_from_r3410(r3410.get(), &ffc, false);
    }
    if (!loaded || !ffc_check_public(ffc, ffc.y.get(), ctx.get())) {
      fail(F, P7E_R_BAD_PEER_KEY);
      return -1;
    }
    SecretBnPtr x;
    BnPtr y;
    if (!ffc_ephemeral(ffc, &x, &y, ctx.get()) || !dh_originator(ri, s.orig_sysobj, y.get(), s.raw_dh)) {
      fail(F, ERR_R_MEMORY_ALLOC);
      return -1;
    }
    if (!ffc_shared(ffc, x.get(), ffc.y.get(), z.data(), &zlen, ctx.get())) {
      fail(F, P7E_R_SHARED_SECRET);
      return -1;
    }
  }
  if (!set_wrap_parameter(ri, s.wrap_sysobj)) {
    fail(F, ERR_R_MEMORY_ALLOC);
    return -1;
  }
  SecretBuffer<kMaxKekBytes> kek;
  if (const int reason = derive_kek(s, z.data(), zlen, form1 ? nullptr : ri->ukm, kek.data()); reason != 0) {
    fail(F, reason);
    return -1;
  }
  int outlen = outcap;
  if (s.wrap(kek.data(), cek, ceklen, out, &outlen, s.dummy_cipher.get()) != 1) {
    fail(F, ERR_R_MEMORY_ALLOC);
    return -1;
  }
  return outlen;
}

// --- decryption -------------------------------------------------------------

int cek_decrypt(EVP_PKEY* pkey, PKCS7_RECIP_INFO* given, bool form1, unsigned char* out, int outcap) {
  constexpr int F = P7E_F_PKCS7_CEK_DECRYPT;
  if (pkey == nullptr || given == nullptr || out == nullptr || given->version == nullptr) {
    fail(F, ERR_R_PASSED_NULL);
    return -1;
  }
  const int type = pkcs7_pkey_key_type(pkey);
  if (type == PKCS7_KEY_RSA) {
    const int n = rsa_decrypt(pkey, given->enc_key, out, outcap);
    if (n < 1) fail(F, P7E_R_EVP_LIB);
    return n;
  }
  PKCS7_RECIP_INFO* ri = given;
  UniquePtr<PKCS7_RECIP_INFO> unpacked;
  if (ASN1_INTEGER_get(given->version) == 0) {
    // A form-2 envelope that has not been through the decoder yet.
    unsigned char* der = nullptr;
    const int n = i2d_PKCS7_RECIP_INFO(given, &der);
    const unsigned char* p = der;
    if (n > 0) unpacked.reset(d2i_PKCS7_RECIP_INFO(nullptr, &p, n));
    OPENSSL_free(der);
    if (!unpacked || unpacked->form != PKCS7_FORM_2) {
      fail(F, P7E_R_MALFORMED_RECIPIENT);
      return -1;
    }
    ri = unpacked.get();
  }
  Scheme s;
  if (const int reason = decrypt_scheme(type, form1, wrap_parameter_nid(ri), &s); reason != 0) {
    fail(F, reason);
    return -1;
  }
  if (ri->orig_algor == nullptr || OBJ_obj2nid(ri->orig_algor->algorithm) != nid_of(s.orig_sysobj) ||
      ri->enc_key == nullptr) {
    fail(F, P7E_R_BAD_ORIGINATOR);
    return -1;
  }
  SecretBuffer<kMaxSecretBytes> z;
  int zlen = 0;
  BnCtxPtr ctx(BN_CTX_new());
  if (!ctx) {
    fail(F, ERR_R_MEMORY_ALLOC);
    return -1;
  }
  if (type == PKCS7_KEY_ECR3410) {
    const ECGOST* own = evp_pkey_get0_ecgost(pkey);
    UniquePtr<ECDH> ecdh(own != nullptr && own->tag == nullptr ? ECGOST_to_ECDH(own) : nullptr);
    if (!ecdh) {
      fail(F, P7E_R_UNSUPPORTED_KEY_TYPE);
      return -1;
    }
    UniquePtr<ECPOINT> peer = ec_peer(ri->orig_pubkey, ecdh->curve);
    if (!peer) {
      fail(F, P7E_R_BAD_PEER_KEY);
      return -1;
    }
    if (!ecdh_shared(ecdh.get(), peer.get(), z.data(), &zlen)) {
      fail(F, P7E_R_SHARED_SECRET);
      return -1;
    }
  } else {
    Ffc ffc;
    const bool loaded =
        type == PKCS7_KEY_DSA ? ffc_from_dsa(pkey, &ffc, true) : ffc_from_r3410(evp_pkey_get0_r3410(pkey), &ffc, true);
    if (!loaded) {
      fail(F, P7E_R_UNSUPPORTED_KEY_TYPE);
      return -1;
    }
    BnPtr peer = dh_peer(ri->orig_pubkey, s.raw_dh);
    if (!peer || !ffc_check_public(ffc, peer.get(), ctx.get())) {
      fail(F, P7E_R_BAD_PEER_KEY);
      return -1;
    }
    if (!ffc_shared(ffc, ffc.x.get(), peer.get(), z.data(), &zlen, ctx.get())) {
      fail(F, P7E_R_SHARED_SECRET);
      return -1;
    }
  }
  SecretBuffer<kMaxKekBytes> kek;
  if (const int reason = derive_kek(s, z.data(), zlen, form1 ? nullptr : ri->ukm, kek.data()); reason != 0) {
    fail(F, reason);
    return -1;
  }
  int outlen = outcap;
  auto* wrapped = const_cast<unsigned char*>(ASN1_STRING_get0_data(ri->enc_key));
  if (s.unwrap(kek.data(), wrapped, ASN1_STRING_length(ri->enc_key), out, &outlen, s.dummy_cipher.get()) != 1) {
    fail(F, ERR_R_MEMORY_ALLOC);
    return -1;
  }
  return outlen;
}

}  // namespace

void pkcs7_rsa_cek_select(const unsigned char* em, std::size_t k, const unsigned char* fallback, std::size_t keylen,
                          unsigned char* out) {
  // Sizes are public: a modulus too small to carry the key with eight bytes of
  // padding never yields it.
  if (keylen == 0 || k < keylen + static_cast<std::size_t>(kRsaPaddingMin)) {
    std::memcpy(out, fallback, keylen);
    return;
  }
  // 00 02, non-zero padding up to the separator, 00, then exactly keylen bytes:
  // the separator's place follows from keylen, so no search is needed.
  const std::size_t sep = k - keylen - 1;
  std::uint32_t good = ct_mask_zero(em[0]) & ct_mask_eq(em[1], 2) & ct_mask_zero(em[sep]);
  for (std::size_t i = 2; i < sep; ++i) good &= ~ct_mask_zero(em[i]);
  for (std::size_t i = 0; i < keylen; ++i) out[i] = ct_select_u8(good, em[sep + 1 + i], fallback[i]);
}

int pkcs7_cek_decrypt_rsa(EVP_PKEY* pkey, const PKCS7_RECIP_INFO* ri, unsigned char* out, int keylen,
                          const unsigned char* fallback) {
  constexpr int F = P7E_F_PKCS7_CEK_DECRYPT;
  const int k = pkey != nullptr ? EVP_PKEY_get_size(pkey) : 0;
  const ASN1_OCTET_STRING* enc = ri != nullptr ? ri->enc_key : nullptr;
  if (k <= 0 || k > kMaxRsaBytes || enc == nullptr || ASN1_STRING_length(enc) != k || out == nullptr ||
      fallback == nullptr || keylen <= 0) {
    fail(F, P7E_R_EVP_LIB);
    return -1;
  }
  SecretBuffer<kMaxRsaBytes> em;
  bool raw = false;
  {
    // The raw private operation fails only for a number not below the
    // modulus or an unusable key, both public; whatever it raised goes.
    ErrorMark mark;
    UniquePtr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey, nullptr));
    size_t n = static_cast<size_t>(k);
    raw = ctx && EVP_PKEY_decrypt_init(ctx.get()) > 0 && EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) > 0 &&
          EVP_PKEY_decrypt(ctx.get(), em.data(), &n, ASN1_STRING_get0_data(enc), static_cast<size_t>(k)) > 0 &&
          n == static_cast<size_t>(k);
  }
  if (!raw) {
    fail(F, P7E_R_EVP_LIB);
    return -1;
  }
  QCRYPTO_CT_SECRET(em.data(), static_cast<std::size_t>(k));
  pkcs7_rsa_cek_select(em.data(), static_cast<std::size_t>(k), fallback, static_cast<std::size_t>(keylen), out);
  return keylen;
}

int pkcs7_cert_key_type(X509* cert) {
  if (cert == nullptr) return 0;
  X509_ALGOR* alg = nullptr;
  if (!X509_PUBKEY_get0_param(nullptr, nullptr, nullptr, &alg, X509_get_X509_PUBKEY(cert))) return 0;
  const int type = key_type_of_algor(alg);
  return type == PKCS7_KEY_RSA || type == PKCS7_KEY_DSA || type == PKCS7_KEY_R3410 || type == PKCS7_KEY_ECR3410 ? type
                                                                                                                : 0;
}

int pkcs7_pkey_key_type(EVP_PKEY* pkey) {
  if (pkey == nullptr) return 0;
  if (evp_pkey_get0_r3410(pkey) != nullptr) return PKCS7_KEY_R3410;
  if (evp_pkey_get0_ecgost(pkey) != nullptr) return PKCS7_KEY_ECR3410;
  if (EVP_PKEY_is_a(pkey, "RSA")) return PKCS7_KEY_RSA;
  if (EVP_PKEY_is_a(pkey, "DSA")) return PKCS7_KEY_DSA;
  return 0;
}

int PKCS7_CEK_encrypt_form1(PKCS7_RECIP_INFO* ri, unsigned char* out, int outcap, unsigned char* cek, int ceklen,
                            const EVP_CIPHER* content_cipher) {
  return cek_encrypt(ri, true, out, outcap, cek, ceklen, content_cipher);
}

int PKCS7_CEK_encrypt(PKCS7_RECIP_INFO* ri, unsigned char* out, int outcap, unsigned char* cek, int ceklen,
                      const EVP_CIPHER* content_cipher) {
  return cek_encrypt(ri, false, out, outcap, cek, ceklen, content_cipher);
}

int PKCS7_CEK_decrypt_form1(EVP_PKEY* pkey, PKCS7_RECIP_INFO* ri, unsigned char* out, int outcap) {
  return cek_decrypt(pkey, ri, true, out, outcap);
}

int PKCS7_CEK_decrypt(EVP_PKEY* pkey, PKCS7_RECIP_INFO* ri, unsigned char* out, int outcap) {
  return cek_decrypt(pkey, ri, false, out, outcap);
}

}  // namespace qcrypto
