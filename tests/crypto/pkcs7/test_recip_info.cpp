// One RecipientInfo at a time: the records the filler makes, the wire shape of
// each form and how the decoder tells them apart, the wrap each scheme picks,
// the padding of a short shared secret, and hostile records.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/objects.h>

#include <cstring>

#include "crypto/bn/bn_owner.h"
#include "crypto/evp/objects.h"
#include "crypto/pkcs7/recip_asn1.h"
#include "crypto/prov/gost_pkey.h"
#include "crypto/rand/rand_fixed.h"
#include "crypto/wrap/keywrap.h"
#include "pkcs7_test_util.h"

namespace pkcs7_test {
namespace {

using qcrypto::PKCS7_RECIP_INFO;
using qcrypto::RecipInfoList;

constexpr int kCap = 4096;

using RecipInfo = EnvelopeTest;

// A record for the party with its CEK encrypted; enc_key set, not finished.
PKCS7_RECIP_INFO* make(RecipInfoList* list, const Party& p, int form, const Bytes& cek, const EVP_CIPHER* cipher,
                       int* n_out = nullptr) {
  PKCS7_RECIP_INFO* ri = qcrypto::PKCS7_add_recipient(list, p.cert.get(), form);
  if (ri == nullptr) return nullptr;
  Bytes out(kCap);
  Bytes key = cek;
  const int n =
      form == 1
          ? qcrypto::PKCS7_CEK_encrypt_form1(ri, out.data(), kCap, key.data(), static_cast<int>(key.size()), cipher)
          : qcrypto::PKCS7_CEK_encrypt(ri, out.data(), kCap, key.data(), static_cast<int>(key.size()), cipher);
  if (n_out != nullptr) *n_out = n;
  if (n < 1) return nullptr;
  ri->enc_key = ASN1_OCTET_STRING_new();
  ASN1_OCTET_STRING_set(ri->enc_key, out.data(), n);
  return ri;
}

Bytes der_of(const PKCS7_RECIP_INFO* ri) {
  unsigned char* der = nullptr;
  const int n = qcrypto::i2d_PKCS7_RECIP_INFO(ri, &der);
  Bytes b(der, der + (n > 0 ? n : 0));
  OPENSSL_free(der);
  return b;
}

UniquePtr<PKCS7_RECIP_INFO> decode(const Bytes& der) {
  const unsigned char* p = der.data();
  UniquePtr<PKCS7_RECIP_INFO> ri(qcrypto::d2i_PKCS7_RECIP_INFO(nullptr, &p, static_cast<long>(der.size())));
  if (ri && p != der.data() + der.size()) return nullptr;
  return ri;
}

// The CEK back through the decrypt function of the record's form.
int recover(const Party& p, PKCS7_RECIP_INFO* ri, Bytes* cek) {
  cek->assign(kCap, 0);
  const int n = ri->form == 1 ? qcrypto::PKCS7_CEK_decrypt_form1(p.key.get(), ri, cek->data(), kCap)
                              : qcrypto::PKCS7_CEK_decrypt(p.key.get(), ri, cek->data(), kCap);
  cek->resize(n > 0 ? static_cast<size_t>(n) : 0);
  return n;
}

int wrap_nid(const PKCS7_RECIP_INFO* ri) {
  int ptype = 0;
  const void* pval = nullptr;
  X509_ALGOR_get0(nullptr, &ptype, &pval, ri->key_enc_algor);
  if (ptype != V_ASN1_SEQUENCE) return 0;
  const auto* s = static_cast<const ASN1_STRING*>(pval);
  const unsigned char* p = ASN1_STRING_get0_data(s);
  UniquePtr<X509_ALGOR> w(d2i_X509_ALGOR(nullptr, &p, ASN1_STRING_length(s)));
  return w ? OBJ_obj2nid(w->algorithm) : 0;
}

int nid(int sysobj) { return qcrypto::sysobj_nid(sysobj); }

std::string hex_of(const BIGNUM* n) {
  char* h = BN_bn2hex(n);
  std::string s = h != nullptr ? h : "";
  OPENSSL_free(h);
  return s;
}

// The Triple-DES wrap gives the key back with odd parity (it sets it on the
// caller's copy before wrapping).
Bytes with_parity(Bytes key) {
  for (size_t i = 0; i + 8 <= key.size(); i += 8) qcrypto::CMS_des_set_odd_parity(key.data() + i);
  return key;
}

TEST_F(RecipInfo, FillerSetsVersionAndSchemeByKeyType) {
  const struct {
    KeyKind kind;
    long version;
    int algorithm;  // system number; 0: the certificate's key algorithm
  } rows[] = {{KeyKind::kRsa, 0, 0},
              {KeyKind::kDsa, 3, qcrypto::SYSOBJ_ESDH},
              {KeyKind::kR3410, 3, qcrypto::SYSOBJ_r3410_ESDH_r3411kdf},
              {KeyKind::kEcr3410, 3, qcrypto::SYSOBJ_ecdh_SinglePass_cofactorDH_r3411kdf}};
  for (const auto& row : rows) {
    SCOPED_TRACE(kind_name(row.kind));
    RecipInfoList list;
    X509* cert = Pki::get().party(row.kind).cert.get();
    for (int form : {-1, 0, 1, 2, 7}) {
      PKCS7_RECIP_INFO* ri = qcrypto::PKCS7_add_recipient(&list, cert, form);
      ASSERT_NE(ri, nullptr);
      EXPECT_EQ(ri->form, form == 1 || form == 2 ? form : 0);
      EXPECT_EQ(ASN1_INTEGER_get(ri->version), row.version);
      EXPECT_EQ(ASN1_INTEGER_cmp(ri->issuer_and_serial->serial, X509_get0_serialNumber(cert)), 0);
      EXPECT_EQ(X509_NAME_cmp(ri->issuer_and_serial->issuer, X509_get_issuer_name(cert)), 0);
      const int want = row.algorithm != 0 ? nid(row.algorithm) : NID_rsaEncryption;
      EXPECT_EQ(OBJ_obj2nid(ri->key_enc_algor->algorithm), want);
    }
  }
  // A key type outside the four.
  UniquePtr<EVP_PKEY> ed(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
  ASSERT_TRUE(ed);
  UniquePtr<X509> cert(X509_new());
  X509_set_pubkey(cert.get(), ed.get());
  RecipInfoList list;
  EXPECT_EQ(qcrypto::PKCS7_add_recipient(&list, cert.get(), 1), nullptr);
  EXPECT_TRUE(queued(qcrypto::P7E_F_PKCS7_RECIP_INFO_SET, qcrypto::P7E_R_UNSUPPORTED_KEY_TYPE));
}

TEST_F(RecipInfo, EachFormHasItsWireShapeAndDecodesBack) {
  const Bytes cek = pattern(32, 11);
  for (KeyKind kind : kAllKinds) {
    for (int form : {0, 1, 2}) {
      SCOPED_TRACE(std::string(kind_name(kind)) + " form " + std::to_string(form));
      const Party& p = Pki::get().party(kind);
      RecipInfoList list;
      PKCS7_RECIP_INFO* ri = make(&list, p, form, cek, qcrypto::EVP_rus_gammar());
      ASSERT_NE(ri, nullptr);
      ASSERT_EQ(qcrypto::pkcs7_recip_info_finish(ri), 1);
      const Bytes der = der_of(ri);
      ASSERT_GT(der.size(), 4U);
      auto back = decode(der);
      ASSERT_TRUE(back);
      if (kind == KeyKind::kRsa || form == 2) {
        // SEQUENCE { INTEGER 0, ... }
        EXPECT_EQ(der[0], 0x30);
        EXPECT_EQ(ASN1_INTEGER_get(back->version), kind == KeyKind::kRsa ? 0 : 3);
        EXPECT_EQ(back->form, kind == KeyKind::kRsa ? 0 : 2);
      } else {
        EXPECT_EQ(der[0], 0xa1);
        // After the [1] header: SEQUENCE (EXPLICIT) or the version INTEGER (IMPLICIT).
        const size_t inner = (der[1] & 0x80) != 0 ? 2U + (der[1] & 0x7fU) : 2U;
        EXPECT_EQ(der[inner], form == 1 ? 0x30 : 0x02);
        EXPECT_EQ(back->form, form);
        EXPECT_EQ(ASN1_INTEGER_get(back->version), 3);
      }
      ASSERT_EQ(qcrypto::PKCS7_RECIP_INFO_select(back.get(), p.cert.get()), 1);
      Bytes got;
      EXPECT_EQ(recover(p, back.get(), &got), 32);
      EXPECT_EQ(got, cek);
      // Encoding again gives the same bytes; a decoded form-2 record holds the
      // unpacked agreement, which encodes as the agreement itself.
      if (form != 2 || kind == KeyKind::kRsa) {
        EXPECT_EQ(der_of(back.get()), der);
      }
    }
  }
}

// version, originator, keyEncryptionAlgorithm: the empty key list is left out.
TEST_F(RecipInfo, AgreementWithoutUkmOrKeysLeavesTheListOut) {
  RecipInfoList list;
  PKCS7_RECIP_INFO* ri = make(&list, Pki::get().party(KeyKind::kEcr3410), 1, pattern(32, 1), qcrypto::EVP_rus_gammar());
  ASSERT_NE(ri, nullptr);
  const Bytes der = der_of(ri);  // no recipient encrypted key yet
  const unsigned char* p = der.data();
  long len = 0;
  int tag = 0;
  int cls = 0;
  ASN1_get_object(&p, &len, &tag, &cls, static_cast<long>(der.size()));  // [1]
  ASN1_get_object(&p, &len, &tag, &cls, len);                            // SEQUENCE
  const unsigned char* end = p + len;
  int elements = 0;
  while (p < end) {
    const unsigned char* q = p;
    long l = 0;
    ASN1_get_object(&q, &l, &tag, &cls, end - p);
    p = q + l;
    ++elements;
  }
  EXPECT_EQ(elements, 3);
}

TEST_F(RecipInfo, WrapFollowsTheTables) {
  UniquePtr<EVP_CIPHER> aes256(EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr));
  UniquePtr<EVP_CIPHER> aes128(EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr));
  const struct {
    KeyKind kind;
    int form;
    const EVP_CIPHER* cipher;
    int ceklen;
    int originator;  // system number
    int wrap;        // system number; 0: the call fails
    int wrapped;     // encrypted key length
    int reason;      // when it fails
  } rows[] = {
      {KeyKind::kDsa, 1, des3(), 24, qcrypto::SYSOBJ_dh_public_number, qcrypto::SYSOBJ_3DES_WRAP, 24, 0},
      // The plain wrap under RUS-GAMMAR whatever the content cipher.
      {KeyKind::kR3410, 1, des3(), 24, qcrypto::SYSOBJ_dh_public_number, qcrypto::SYSOBJ_RUS_GAMMAR, 24, 0},
      {KeyKind::kR3410, 1, qcrypto::EVP_rus_gammar(), 32, qcrypto::SYSOBJ_dh_public_number, qcrypto::SYSOBJ_RUS_GAMMAR,
       32, 0},
      {KeyKind::kEcr3410, 1, des3(), 24, qcrypto::SYSOBJ_ECR3410, qcrypto::SYSOBJ_3DES_WRAP, 40, 0},
      {KeyKind::kEcr3410, 1, qcrypto::EVP_rus_gammar(), 32, qcrypto::SYSOBJ_ECR3410, qcrypto::SYSOBJ_GOST_WRAP, 48, 0},
      {KeyKind::kEcr3410, 1, aes256.get(), 32, 0, 0, 0, qcrypto::P7E_R_UNSUPPORTED_CIPHER_TYPE},
      {KeyKind::kDsa, 0, des3(), 24, qcrypto::SYSOBJ_dh_public_number, qcrypto::SYSOBJ_3DES_WRAP, 40, 0},
      {KeyKind::kDsa, 0, qcrypto::EVP_rus_gammar(), 32, qcrypto::SYSOBJ_dh_public_number, qcrypto::SYSOBJ_GOST_WRAP, 48,
       0},
      {KeyKind::kR3410, 0, des3(), 24, qcrypto::SYSOBJ_R3410, qcrypto::SYSOBJ_3DES_WRAP, 40, 0},
      {KeyKind::kR3410, 2, qcrypto::EVP_rus_gammar(), 32, qcrypto::SYSOBJ_R3410, qcrypto::SYSOBJ_GOST_WRAP, 48, 0},
      {KeyKind::kEcr3410, 0, des3(), 24, qcrypto::SYSOBJ_ECR3410, qcrypto::SYSOBJ_3DES_WRAP, 40, 0},
      // Other ciphers take the GOST wrap, which needs a 32-byte key.
      {KeyKind::kEcr3410, 0, aes256.get(), 32, qcrypto::SYSOBJ_ECR3410, qcrypto::SYSOBJ_GOST_WRAP, 48, 0},
      {KeyKind::kEcr3410, 0, aes128.get(), 16, 0, 0, 0, qcrypto::ERR_R_MEMORY_ALLOC},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(kind_name(row.kind)) + " form " + std::to_string(row.form) + " " +
                 EVP_CIPHER_get0_name(row.cipher));
    const Party& p = Pki::get().party(row.kind);
    RecipInfoList list;
    const Bytes cek = pattern(static_cast<size_t>(row.ceklen), 12);
    int n = 0;
    PKCS7_RECIP_INFO* ri = make(&list, p, row.form, cek, row.cipher, &n);
    if (row.wrap == 0) {
      EXPECT_EQ(ri, nullptr);
      EXPECT_LT(n, 1);
      EXPECT_TRUE(queued(qcrypto::P7E_F_PKCS7_CEK_ENCRYPT, row.reason));
      continue;
    }
    ASSERT_NE(ri, nullptr);
    EXPECT_EQ(n, row.wrapped);
    EXPECT_EQ(OBJ_obj2nid(ri->orig_algor->algorithm), nid(row.originator));
    EXPECT_EQ(wrap_nid(ri), nid(row.wrap));
    Bytes got;
    EXPECT_EQ(recover(p, ri, &got), row.ceklen);
    EXPECT_EQ(got, row.wrap == qcrypto::SYSOBJ_3DES_WRAP && row.wrapped == 40 ? with_parity(cek) : cek);
  }
}

TEST_F(RecipInfo, UkmEntersTheDerivationInForm0) {
  const Party& p = Pki::get().party(KeyKind::kEcr3410);
  const Bytes cek = pattern(32, 13);
  RecipInfoList list;
  PKCS7_RECIP_INFO* ri = qcrypto::PKCS7_add_recipient(&list, p.cert.get(), 0);
  ASSERT_NE(ri, nullptr);
  ri->ukm = ASN1_OCTET_STRING_new();
  const Bytes ukm = pattern(64, 14);
  ASN1_OCTET_STRING_set(ri->ukm, ukm.data(), 64);
  Bytes out(kCap);
  Bytes key = cek;
  const int n = qcrypto::PKCS7_CEK_encrypt(ri, out.data(), kCap, key.data(), 32, qcrypto::EVP_rus_gammar());
  ASSERT_EQ(n, 48);
  ri->enc_key = ASN1_OCTET_STRING_new();
  ASN1_OCTET_STRING_set(ri->enc_key, out.data(), n);
  ASSERT_EQ(qcrypto::pkcs7_recip_info_finish(ri), 1);
  auto back = decode(der_of(ri));
  ASSERT_TRUE(back);
  ASSERT_NE(back->ukm, nullptr);
  ASSERT_EQ(qcrypto::PKCS7_RECIP_INFO_select(back.get(), p.cert.get()), 1);
  Bytes got;
  EXPECT_EQ(recover(p, back.get(), &got), 32);
  EXPECT_EQ(got, cek);
  // Another ukm derives another KEK: the GOST wrap's check value refuses it.
  Bytes other = ukm;
  other[0] ^= 1;
  ASN1_OCTET_STRING_set(back->ukm, other.data(), static_cast<int>(other.size()));
  EXPECT_LT(recover(p, back.get(), &got), 1);
  qcrypto::ERR_clear_error();
}

// Z of a DSA recipient shorter than p: the ephemeral number is chosen here so
// that y^x mod p has a leading zero byte; both sides must pad it alike or
// the Triple-DES wrap's check value fails.
TEST_F(RecipInfo, ShortSharedSecretIsLeftPadded) {
  const Party& p = Pki::get().party(KeyKind::kDsa);
  BIGNUM* pp = nullptr;
  BIGNUM* qq = nullptr;
  BIGNUM* yy = nullptr;
  ASSERT_TRUE(EVP_PKEY_get_bn_param(p.key.get(), "p", &pp));
  ASSERT_TRUE(EVP_PKEY_get_bn_param(p.key.get(), "q", &qq));
  ASSERT_TRUE(EVP_PKEY_get_bn_param(p.key.get(), "pub", &yy));
  qcrypto::BnPtr bp(pp), bq(qq), by(yy);
  qcrypto::BnCtxPtr ctx(BN_CTX_new());
  qcrypto::BnPtr x(BN_new()), z(BN_new());
  const int qbytes = BN_num_bytes(bq.get());
  Bytes xbytes;
  bool found = false;
  for (unsigned seed = 1; seed < 20000 && !found; ++seed) {
    xbytes = pattern(static_cast<size_t>(qbytes), seed);
    xbytes[0] &= 0x7f;  // below q for a 160-bit q with its top bit set
    BN_bin2bn(xbytes.data(), qbytes, x.get());
    if (BN_is_zero(x.get()) || BN_cmp(x.get(), bq.get()) >= 0) continue;
    BN_mod_exp(z.get(), by.get(), x.get(), bp.get(), ctx.get());
    found = BN_num_bytes(z.get()) < BN_num_bytes(bp.get());
  }
  ASSERT_TRUE(found);
  qcrypto::RAND_set_rand_method(qcrypto::RAND_fixed_method());
  qcrypto::RAND_fixed_set_bytes(xbytes);
  qcrypto::RAND_fixed_add_bytes(pattern(64, 99));  // the wrap's IV
  RecipInfoList list;
  const Bytes cek = pattern(24, 15);
  PKCS7_RECIP_INFO* ri = make(&list, p, 0, cek, des3());
  qcrypto::RAND_set_rand_method(&kSystemRand);
  ASSERT_NE(ri, nullptr);
  Bytes got;
  EXPECT_EQ(recover(p, ri, &got), 24);
  EXPECT_EQ(got, with_parity(cek));
  // The KEK from Z written at the full width of p unwraps the key; from Z
  // without its leading zero it does not.
  const int width = BN_num_bytes(bp.get());
  Bytes zz(static_cast<size_t>(width));
  BN_bn2binpad(z.get(), zz.data(), width);
  ASSERT_EQ(zz[0], 0);
  UniquePtr<EVP_MD> sha1(EVP_MD_fetch(nullptr, "SHA1", nullptr));
  for (bool padded : {true, false}) {
    Bytes kek(24);
    const Bytes z_in = padded ? zz : Bytes(zz.begin() + 1, zz.end());
    ASSERT_EQ(qcrypto::X942_KEK_GENERATE(sha1.get(), z_in.data(), static_cast<int>(z_in.size()),
                                         nid(qcrypto::SYSOBJ_3DES_WRAP), kek.data(), 24, nullptr),
              24);
    Bytes unwrapped(24);
    int outlen = 24;
    Bytes wrapped(ASN1_STRING_get0_data(ri->enc_key), ASN1_STRING_get0_data(ri->enc_key) + 40);
    const int ok = qcrypto::CMS_3des_unwrap(kek.data(), wrapped.data(), 40, unwrapped.data(), &outlen, nullptr);
    EXPECT_EQ(ok == 1 && unwrapped == with_parity(cek), padded);
  }
  qcrypto::ERR_clear_error();
}

TEST_F(RecipInfo, TruncatedAndMalformedRecordsAreRefused) {
  for (KeyKind kind : kAllKinds) {
    for (int form : {0, 1, 2}) {
      SCOPED_TRACE(std::string(kind_name(kind)) + " form " + std::to_string(form));
      RecipInfoList list;
      PKCS7_RECIP_INFO* ri = make(&list, Pki::get().party(kind), form, pattern(32, 16), qcrypto::EVP_rus_gammar());
      ASSERT_NE(ri, nullptr);
      ASSERT_EQ(qcrypto::pkcs7_recip_info_finish(ri), 1);
      const Bytes der = der_of(ri);
      for (size_t n = 0; n < der.size(); ++n) {
        const Bytes cut(der.begin(), der.begin() + static_cast<long>(n));
        const unsigned char* p = cut.data();
        EXPECT_EQ(qcrypto::d2i_PKCS7_RECIP_INFO(nullptr, &p, static_cast<long>(n)), nullptr) << n;
      }
      qcrypto::ERR_clear_error();
    }
  }
  // Inside [1]: neither SEQUENCE nor INTEGER.
  RecipInfoList list;
  PKCS7_RECIP_INFO* ri =
      make(&list, Pki::get().party(KeyKind::kEcr3410), 1, pattern(32, 17), qcrypto::EVP_rus_gammar());
  ASSERT_NE(ri, nullptr);
  ASSERT_EQ(qcrypto::pkcs7_recip_info_finish(ri), 1);
  Bytes der = der_of(ri);
  const size_t inner = (der[1] & 0x80) != 0 ? 2U + (der[1] & 0x7fU) : 2U;
  for (unsigned char tag : {0x31, 0x04, 0xa0}) {
    Bytes bad = der;
    bad[inner] = tag;
    EXPECT_FALSE(decode(bad)) << int{tag};
  }
  // [1] EXPLICIT content re-tagged as IMPLICIT does not parse either way.
  Bytes swapped = der;
  swapped[inner] = 0x02;
  EXPECT_FALSE(decode(swapped));
  // Another version inside the agreement.
  Bytes other_tag = der;
  other_tag[0] = 0xa2;
  EXPECT_FALSE(decode(other_tag));
  EXPECT_TRUE(queued(qcrypto::P7E_F_D2I_PKCS7_RECIP_INFO, qcrypto::P7E_R_MALFORMED_RECIPIENT));
}

TEST_F(RecipInfo, WrongLengthWrappedKeysFail) {
  for (KeyKind kind : kAllKinds) {
    for (int form : {0, 1}) {
      SCOPED_TRACE(std::string(kind_name(kind)) + " form " + std::to_string(form));
      const Party& p = Pki::get().party(kind);
      RecipInfoList list;
      PKCS7_RECIP_INFO* ri = make(&list, p, form, pattern(24, 18), des3());
      ASSERT_NE(ri, nullptr);
      const Bytes good(ASN1_STRING_get0_data(ri->enc_key),
                       ASN1_STRING_get0_data(ri->enc_key) + ASN1_STRING_length(ri->enc_key));
      for (long delta : {-1L, 1L, -8L, 8L, -static_cast<long>(good.size())}) {
        Bytes bad = good;
        bad.resize(static_cast<size_t>(static_cast<long>(good.size()) + delta), 0x33);
        ASN1_OCTET_STRING_set(ri->enc_key, bad.data(), static_cast<int>(bad.size()));
        Bytes got;
        const int n = recover(p, ri, &got);
        // The plain wrap of form 1 has no check value: a whole-block change
        // gives a key of another length, which the content cipher refuses.
        if (n > 0) {
          EXPECT_NE(n, 24) << delta;
        }
      }
      qcrypto::ERR_clear_error();
    }
  }
}

TEST_F(RecipInfo, HostileOriginatorKeysFailTheRecipient) {
  // Elliptic curve: off the curve, at infinity, not an OCTET STRING.
  {
    const Party& p = Pki::get().party(KeyKind::kEcr3410);
    RecipInfoList list;
    PKCS7_RECIP_INFO* ri = make(&list, p, 0, pattern(32, 19), qcrypto::EVP_rus_gammar());
    ASSERT_NE(ri, nullptr);
    const Bytes good(ASN1_STRING_get0_data(ri->orig_pubkey),
                     ASN1_STRING_get0_data(ri->orig_pubkey) + ASN1_STRING_length(ri->orig_pubkey));
    Bytes off = good;
    off.back() ^= 1;  // y changed: off the curve
    const Bytes infinity = {0x04, 0x01, 0x00};
    Bytes bare(good.begin() + 2, good.end());  // the point without its OCTET STRING
    for (const Bytes& bad : {off, infinity, bare}) {
      ASN1_BIT_STRING_set(ri->orig_pubkey, const_cast<unsigned char*>(bad.data()), static_cast<int>(bad.size()));
      Bytes got;
      EXPECT_LT(recover(p, ri, &got), 1);
      EXPECT_TRUE(queued(qcrypto::P7E_F_PKCS7_CEK_DECRYPT, qcrypto::P7E_R_BAD_PEER_KEY));
    }
  }
  // Finite field: 0, 1, p - 1, p, and a value outside the subgroup.
  for (KeyKind kind : {KeyKind::kDsa, KeyKind::kR3410}) {
    const Party& p = Pki::get().party(kind);
    BIGNUM* pp = nullptr;
    if (kind == KeyKind::kDsa) {
      ASSERT_TRUE(EVP_PKEY_get_bn_param(p.key.get(), "p", &pp));
    } else {
      pp = BN_dup(qcrypto::evp_pkey_get0_r3410(p.key.get())->p);
    }
    qcrypto::BnPtr prime(pp);
    qcrypto::BnPtr pm1(BN_dup(prime.get()));
    BN_sub_word(pm1.get(), 1);
    qcrypto::BnPtr zero(BN_new()), one(BN_new()), two(BN_new());
    BN_zero(zero.get());
    BN_one(one.get());
    BN_set_word(two.get(), 2);
    for (int form : {0, 1}) {
      RecipInfoList list;
      PKCS7_RECIP_INFO* ri = make(&list, p, form, pattern(24, 20), des3());
      ASSERT_NE(ri, nullptr);
      for (const BIGNUM* y : {zero.get(), one.get(), pm1.get(), prime.get(), two.get()}) {
        SCOPED_TRACE(std::string(kind_name(kind)) + " form " + std::to_string(form) + " y=" + hex_of(y));
        Bytes enc;
        if (form == 1) {
          enc.resize(static_cast<size_t>(BN_num_bytes(y)) + (BN_is_zero(y) ? 1 : 0));
          BN_bn2binpad(y, enc.data(), static_cast<int>(enc.size()));
        } else {
          UniquePtr<ASN1_STRING> i(BN_to_ASN1_INTEGER(y, nullptr));
          unsigned char* der = nullptr;
          const int n = i2d_ASN1_INTEGER(i.get(), &der);
          enc.assign(der, der + n);
          OPENSSL_free(der);
        }
        ASN1_BIT_STRING_set(ri->orig_pubkey, enc.data(), static_cast<int>(enc.size()));
        Bytes got;
        EXPECT_LT(recover(p, ri, &got), 1);
        EXPECT_TRUE(queued(qcrypto::P7E_F_PKCS7_CEK_DECRYPT, qcrypto::P7E_R_BAD_PEER_KEY));
      }
    }
  }
}

TEST_F(RecipInfo, OriginatorOfTheWrongSchemeIsRefused) {
  const Party& p = Pki::get().party(KeyKind::kR3410);
  RecipInfoList list;
  PKCS7_RECIP_INFO* ri = make(&list, p, 0, pattern(32, 21), qcrypto::EVP_rus_gammar());
  ASSERT_NE(ri, nullptr);
  // Form 0 of an R3410 key names R3410; dh-public-number belongs to form 1.
  X509_ALGOR_set0(ri->orig_algor, OBJ_nid2obj(nid(qcrypto::SYSOBJ_dh_public_number)), V_ASN1_NULL, nullptr);
  Bytes got;
  EXPECT_LT(recover(p, ri, &got), 1);
  EXPECT_TRUE(queued(qcrypto::P7E_F_PKCS7_CEK_DECRYPT, qcrypto::P7E_R_BAD_ORIGINATOR));
  // No key-wrap parameter.
  X509_ALGOR_set0(ri->key_enc_algor, OBJ_nid2obj(nid(qcrypto::SYSOBJ_r3410_ESDH_r3411kdf)), V_ASN1_UNDEF, nullptr);
  EXPECT_LT(recover(p, ri, &got), 1);
  EXPECT_TRUE(queued(qcrypto::P7E_F_PKCS7_CEK_DECRYPT, qcrypto::P7E_R_UNSUPPORTED_CIPHER_TYPE));
}

TEST_F(RecipInfo, FindCertForKey) {
  // The list borrows the certificates.
  STACK_OF(X509)* certs = sk_X509_new_null();
  EXPECT_EQ(qcrypto::PKCS7_find_cert_for_key(certs, Pki::get().party(KeyKind::kRsa).key.get()), nullptr);
  for (KeyKind kind : kAllKinds) sk_X509_push(certs, Pki::get().party(kind, 1).cert.get());
  for (KeyKind kind : kAllKinds) sk_X509_push(certs, Pki::get().party(kind, 0).cert.get());
  for (KeyKind kind : kAllKinds) {
    for (int i : {0, 1}) {
      const Party& p = Pki::get().party(kind, i);
      EXPECT_EQ(qcrypto::PKCS7_find_cert_for_key(certs, p.key.get()), p.cert.get()) << kind_name(kind) << i;
    }
  }
  sk_X509_pop(certs);  // the ECR3410 certificate of party 0
  EXPECT_EQ(qcrypto::PKCS7_find_cert_for_key(certs, Pki::get().party(KeyKind::kEcr3410).key.get()), nullptr);
  sk_X509_free(certs);
}

}  // namespace
}  // namespace pkcs7_test
