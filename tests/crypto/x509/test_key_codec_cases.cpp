// What each key codec keeps and refuses, field by field.
#include <gtest/gtest.h>
#include <openssl/objects.h>

#include <fstream>
#include <iterator>
#include <string>

#include "crypto/bn/bn_owner.h"
#include "crypto/err/err.h"
#include "tests/crypto/x509/key_codec_test_util.h"

namespace qcrypto {
namespace {

using namespace keytest;

template <class T>
UniquePtr<T> Decode(T* (*d2i)(T**, const unsigned char**, long), const Bytes& der) {
  const unsigned char* p = der.data();
  UniquePtr<T> out(d2i(nullptr, &p, static_cast<long>(der.size())));
  if (out) {
    EXPECT_EQ(p, der.data() + der.size());
  }
  return out;
}

// The reason and function of the newest queued error.
std::pair<int, int> LastError() {
  unsigned long e = 0, last = 0;
  while ((e = ERR_get_error()) != 0) last = e;
  return {ERR_GET_FUNC_CODE(last), ERR_GET_REASON_CODE(last)};
}

Bytes Hex(const char* hex) {
  Bytes out;
  for (const char* p = hex; p[0] && p[1]; p += 2)
    out.push_back(static_cast<unsigned char>(std::stoi(std::string(p, 2), nullptr, 16)));
  return out;
}

// ---------------------------------------------------------------------------
// GOST R 34.10-94

TEST(R3410Codecs, ParametersKeepNumbersAndGenerationValues) {
  auto key = MakeR3410();
  ASSERT_TRUE(key);
  struct Row {
    int flag, x0, c;
    bool sequence;
  } rows[] = {{0, 0, 0, false}, {1, 0x1234, 0x8001, true}, {1, 0, 5, false}, {1, 5, 0, false}, {0, 3, 4, false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.flag * 1000000 + row.x0 * 10 + row.c);
    key->gen_flag = row.flag;
    key->x0 = static_cast<std::uint16_t>(row.x0);
    key->c = static_cast<std::uint16_t>(row.c);
    const Bytes der = Encode(i2d_R3410params, static_cast<const R3410*>(key.get()));
    const std::vector<Bytes> parts = Elements(der);
    ASSERT_EQ(parts.size(), 4u);
    EXPECT_EQ(parts[3][0], row.sequence ? 0x30 : 0x05);
    auto back = Decode(d2i_R3410params, der);
    ASSERT_TRUE(back);
    EXPECT_TRUE(BnEq(back->p, key->p) && BnEq(back->q, key->q) && BnEq(back->a, key->a));
    EXPECT_EQ(back->p_bits, 1024);
    EXPECT_EQ(back->q_bits, 256);
    EXPECT_EQ(back->x0, row.sequence ? row.x0 : 0);
    EXPECT_EQ(back->c, row.sequence ? row.c : 0);
    EXPECT_EQ(back->y, nullptr);
  }
}

TEST(R3410Codecs, PublicKeyFormFollowsWriteParams) {
  auto key = MakeR3410();
  ASSERT_TRUE(key);
  key->write_params = 0;
  const Bytes bare = Encode(i2d_R3410PublicKey, static_cast<const R3410*>(key.get()));
  ASSERT_FALSE(bare.empty());
  EXPECT_EQ(bare[0], 0x02);
  auto y_only = Decode(d2i_R3410PublicKey, bare);
  ASSERT_TRUE(y_only);
  EXPECT_TRUE(BnEq(y_only->y, key->y));
  EXPECT_EQ(y_only->p, nullptr);
  EXPECT_EQ(y_only->q, nullptr);
  EXPECT_EQ(y_only->a, nullptr);
  EXPECT_EQ(y_only->write_params, 0);

  key->write_params = 1;
  const Bytes full = Encode(i2d_R3410PublicKey, static_cast<const R3410*>(key.get()));
  EXPECT_EQ(Elements(full).size(), 4u);
  auto back = Decode(d2i_R3410PublicKey, full);
  ASSERT_TRUE(back);
  EXPECT_TRUE(BnEq(back->y, key->y) && BnEq(back->p, key->p) && BnEq(back->q, key->q) && BnEq(back->a, key->a));
}

TEST(R3410Codecs, PublicValuesOutsideOneToPAreRefused) {
  auto key = MakeR3410();
  auto holder = MakeR3410();
  ASSERT_TRUE(key && holder);
  BnPtr zero(BN_new()), one(BN_new()), p(BN_dup(key->p));
  BN_zero(zero.get());
  BN_one(one.get());
  for (const BIGNUM* y : {zero.get(), one.get(), p.get()}) {
    SCOPED_TRACE(BN_num_bits(y));
    BN_copy(key->y, y);
    key->write_params = 1;
    EXPECT_FALSE(Decode(d2i_R3410PublicKey, Encode(i2d_R3410PublicKey, static_cast<const R3410*>(key.get()))));
    EXPECT_EQ(LastError(), std::make_pair(static_cast<int>(ASN1GOST_F_D2I_R3410PUBLICKEY), ASN1GOST_R_PARSING));
    // A bare y is checked against the p of the record it goes into.
    key->write_params = 0;
    const Bytes bare = Encode(i2d_R3410PublicKey, static_cast<const R3410*>(key.get()));
    R3410* given = holder.get();
    const unsigned char* in = bare.data();
    EXPECT_EQ(d2i_R3410PublicKey(&given, &in, static_cast<long>(bare.size())), nullptr);
    EXPECT_EQ(LastError(), std::make_pair(static_cast<int>(ASN1GOST_F_D2I_R3410PUBLICKEY), ASN1GOST_R_PARSING));
  }
  // Without a p to compare with, only 0 and 1 are known to be wrong.
  key->write_params = 0;
  EXPECT_TRUE(Decode(d2i_R3410PublicKey, Encode(i2d_R3410PublicKey, static_cast<const R3410*>(key.get()))));
  BN_sub_word(key->y, 1);
  key->write_params = 1;
  EXPECT_TRUE(Decode(d2i_R3410PublicKey, Encode(i2d_R3410PublicKey, static_cast<const R3410*>(key.get()))));
}

TEST(R3410Codecs, PrivateKeyPlainAndProtected) {
  auto key = MakeR3410();
  ASSERT_TRUE(key);
  key->version = 3;
  auto plain = Decode(d2i_R3410PrivateKey, Encode(i2d_R3410PrivateKey, static_cast<const R3410*>(key.get())));
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->version, 3);
  EXPECT_TRUE(BnEq(plain->x, key->x) && BnEq(plain->y, key->y) && BnEq(plain->p, key->p) && BnEq(plain->q, key->q) &&
              BnEq(plain->a, key->a));
  EXPECT_EQ(plain->tag, nullptr);

  // The protected block may be any number; its tag stays with it.
  BN_copy(key->x, key->p);
  key->tag = BN_new();
  BN_set_word(key->tag, 0xDEADBEEF);
  const Bytes der = Encode(i2d_R3410PrivateKey, static_cast<const R3410*>(key.get()));
  const std::vector<Bytes> parts = Elements(der);
  ASSERT_EQ(parts.size(), 6u);
  EXPECT_EQ(parts[5][0], 0x30);
  EXPECT_EQ(Elements(parts[5]).size(), 2u);
  auto prot = Decode(d2i_R3410PrivateKey, der);
  ASSERT_TRUE(prot);
  EXPECT_TRUE(BnEq(prot->tag, key->tag) && BnEq(prot->x, key->x));

  // Decoding a plain key into a record that held a protected one drops the tag.
  R3410* given = prot.get();
  const Bytes plain_der = Encode(i2d_R3410PrivateKey, static_cast<const R3410*>(plain.get()));
  const unsigned char* in = plain_der.data();
  ASSERT_EQ(d2i_R3410PrivateKey(&given, &in, static_cast<long>(plain_der.size())), prot.get());
  EXPECT_EQ(prot->tag, nullptr);
  EXPECT_TRUE(BnEq(prot->x, plain->x));
}

TEST(R3410Codecs, PrivateKeyChecks) {
  struct Row {
    const char* what;
    std::function<void(R3410*)> spoil;
  };
  const Row rows[] = {
      {"x = 0", [](R3410* k) { BN_zero(k->x); }},
      {"x = q", [](R3410* k) { BN_copy(k->x, k->q); }},
      {"y = 1", [](R3410* k) { BN_one(k->y); }},
      {"y = p", [](R3410* k) { BN_copy(k->y, k->p); }},
      {"q of 31 content bytes",
       [](R3410* k) {
         BN_rshift(k->q, k->q, 17);  // 239 bits: 30 content bytes
         BN_rshift(k->x, k->x, 20);
       }},
      {"a = p", [](R3410* k) { BN_copy(k->a, k->p); }},
      {"q = p", [](R3410* k) { BN_copy(k->q, k->p); }},
      {"p even", [](R3410* k) { BN_sub_word(k->p, 1); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    auto key = MakeR3410();
    ASSERT_TRUE(key);
    row.spoil(key.get());
    const Bytes der = Encode(i2d_R3410PrivateKey, static_cast<const R3410*>(key.get()));
    ASSERT_FALSE(der.empty());
    EXPECT_FALSE(Decode(d2i_R3410PrivateKey, der));
    EXPECT_EQ(LastError(), std::make_pair(static_cast<int>(ASN1GOST_F_D2I_R3410PRIVATEKEY), ASN1GOST_R_PARSING));
  }
  // q of exactly 32 content bytes (248 bits) is enough.
  auto key = MakeR3410();
  BN_rshift(key->q, key->q, 8);
  BN_rshift(key->x, key->x, 12);
  EXPECT_TRUE(Decode(d2i_R3410PrivateKey, Encode(i2d_R3410PrivateKey, static_cast<const R3410*>(key.get()))));
}

// ---------------------------------------------------------------------------
// GOST R 34.10-2001

TEST(EcgostCodecs, ParameterFormsEncodeAsTheyShould) {
  auto on191 = MakeEcgost(false);
  auto ontest = MakeEcgost(true);
  ASSERT_TRUE(on191 && ontest);
  // Named: the OBJECT IDENTIFIER 1.2.840.10045.3.1.7.
  EXPECT_EQ(Encode(i2d_ECGOST_PARAMS, static_cast<const ECGOST*>(on191.get())), Hex("06082a8648ce3d030107"));
  // The same request on the curve without a name gives the explicit form.
  const Bytes expl = Encode(i2d_ECGOST_PARAMS, static_cast<const ECGOST*>(ontest.get()));
  ASSERT_FALSE(expl.empty());
  EXPECT_EQ(expl[0], 0x30);
  const std::vector<Bytes> parts = Elements(expl);
  ASSERT_EQ(parts.size(), 6u);
  EXPECT_EQ(parts[0], Hex("020101"));
  EXPECT_EQ(Elements(parts[1])[0], Hex("06072a8648ce3d0101"));
  EXPECT_EQ(parts[3][2], 0x04);  // uncompressed base by default
  on191->param_form = 2;
  EXPECT_EQ(Encode(i2d_ECGOST_PARAMS, static_cast<const ECGOST*>(on191.get())), Hex("0500"));

  for (const ECGOST* k : {static_cast<const ECGOST*>(ontest.get())}) {
    auto back = Decode(d2i_ECGOSTparams, Encode(i2d_ECGOST_PARAMS, k));
    ASSERT_TRUE(back);
    EXPECT_EQ(ECURVE_cmp(back->curve, k->curve), 0);
    EXPECT_EQ(back->param_form, 1);
    EXPECT_TRUE(BnEq(back->curve->h, k->curve->h));
    EXPECT_EQ(back->curve->P->fbw, nullptr);
  }
  auto named = Decode(d2i_ECGOSTparams, Hex("06082a8648ce3d030107"));
  ASSERT_TRUE(named);
  EXPECT_EQ(named->param_form, 0);
  EXPECT_EQ(named->curve->nid, ECURVE_NID_DEFAULT);
}

TEST(EcgostCodecs, ExplicitBuiltInCurveGetsItsTableAndSeedIsDropped) {
  auto key = MakeEcgost(false);
  ASSERT_TRUE(key);
  key->param_form = 1;
  const Bytes expl = Encode(i2d_ECGOST_PARAMS, static_cast<const ECGOST*>(key.get()));
  std::vector<Bytes> parts = Elements(expl);
  ASSERT_EQ(parts.size(), 6u);
  // Insert a seed BIT STRING into the curve SEQUENCE.
  std::vector<Bytes> shape = Elements(parts[2]);
  shape.push_back(Hex("030500c49d3608"));
  parts[2] = MakeTlv(0x30, Join(shape));
  const Bytes seeded = MakeTlv(0x30, Join(parts));
  auto back = Decode(d2i_ECGOSTparams, seeded);
  ASSERT_TRUE(back);
  EXPECT_EQ(ECURVE_cmp(back->curve, key->curve), 0);
  EXPECT_NE(back->curve->P->fbw, nullptr);
  EXPECT_EQ(ECURVE_find_nid(back->curve), ECURVE_NID_DEFAULT);
  EXPECT_EQ(Encode(i2d_ECGOST_PARAMS, static_cast<const ECGOST*>(back.get())), expl);
}

TEST(EcgostCodecs, BadExplicitParametersAreRefused) {
  auto key = MakeEcgost(true);
  ASSERT_TRUE(key);
  key->param_form = 1;
  const Bytes expl = Encode(i2d_ECGOST_PARAMS, static_cast<const ECGOST*>(key.get()));
  const std::vector<Bytes> parts = Elements(expl);
  ASSERT_EQ(parts.size(), 6u);
  struct Row {
    const char* what;
    std::function<void(std::vector<Bytes>&)> spoil;
  };
  const Row rows[] = {
      {"version 2", [](std::vector<Bytes>& e) { e[0] = Hex("020102"); }},
      {"version 0", [](std::vector<Bytes>& e) { e[0] = Hex("020100"); }},
      {"other field type",
       [](std::vector<Bytes>& e) {
         std::vector<Bytes> f = Elements(e[1]);
         f[0] = Hex("06072a8648ce3d0102");
         e[1] = MakeTlv(0x30, Join(f));
       }},
      {"base off the curve", [](std::vector<Bytes>& e) { e[3].back() ^= 1; }},
      {"base at infinity", [](std::vector<Bytes>& e) { e[3] = Hex("040100"); }},
      {"composite order", [](std::vector<Bytes>& e) { e[4].back() ^= 1; }},
      {"cofactor 0", [](std::vector<Bytes>& e) { e[5] = Hex("020100"); }},
      {"b not below p",
       [](std::vector<Bytes>& e) {
         std::vector<Bytes> f = Elements(e[1]);
         std::vector<Bytes> c = Elements(e[2]);
         c[1] = f[1];
         e[2] = MakeTlv(0x30, Join(c));
       }},
      {"singular curve (a = b = 0)",
       [](std::vector<Bytes>& e) {
         e[2] = MakeTlv(0x30, Join({Hex("020100"), Hex("020100")}));
         Bytes one_one(65, 0);  // (1, 1) lies on y^2 = x^3
         one_one[0] = 0x04;
         one_one[32] = 1;
         one_one[64] = 1;
         e[3] = MakeTlv(0x04, one_one);
       }},
      {"curve without b",
       [](std::vector<Bytes>& e) {
         std::vector<Bytes> c = Elements(e[2]);
         c.pop_back();
         e[2] = MakeTlv(0x30, Join(c));
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::vector<Bytes> e = parts;
    row.spoil(e);
    EXPECT_FALSE(Decode(d2i_ECGOSTparams, MakeTlv(0x30, Join(e))));
    ERR_clear_error();
  }
  // Without the optional cofactor the curve still decodes, and encodes back without it.
  std::vector<Bytes> e = parts;
  e.pop_back();
  const Bytes no_h = MakeTlv(0x30, Join(e));
  auto back = Decode(d2i_ECGOSTparams, no_h);
  ASSERT_TRUE(back);
  EXPECT_EQ(Encode(i2d_ECGOST_PARAMS, static_cast<const ECGOST*>(back.get())), no_h);
  // A named curve the system has no numbers for.
  EXPECT_FALSE(Decode(d2i_ECGOSTparams, Hex("06082a8648ce3d030101")));
  EXPECT_FALSE(Decode(d2i_ECGOSTparams, Hex("06032a0304")));
  ERR_clear_error();
}

TEST(EcgostCodecs, PublicBytesWaitForTheirCurve) {
  auto src = MakeEcgost(true);
  ASSERT_TRUE(src);
  src->param_form = 1;
  const Bytes pub = Encode(i2d_ECGOSTPublicKey, static_cast<const ECGOST*>(src.get()));
  auto key = Decode(d2i_ECGOSTPublicKey, pub);
  ASSERT_TRUE(key);
  EXPECT_TRUE(ECPOINT_is_infinity(key->Q));  // not a point of the default curve: pending
  EXPECT_EQ(Encode(i2d_ECGOSTPublicKey, static_cast<const ECGOST*>(key.get())), pub);
  EXPECT_EQ(ECGOST_decode_public(key.get()), 0);
  ERR_clear_error();

  // Parameters that do not fit the pending point leave the record alone.
  ECGOST* given = key.get();
  const Bytes named = Hex("06082a8648ce3d030107");
  const unsigned char* in = named.data();
  EXPECT_EQ(d2i_ECGOSTparams(&given, &in, static_cast<long>(named.size())), nullptr);
  EXPECT_EQ(in, named.data());
  EXPECT_TRUE(ECPOINT_is_infinity(key->Q));
  ERR_clear_error();

  const Bytes params = Encode(i2d_ECGOST_PARAMS, static_cast<const ECGOST*>(src.get()));
  in = params.data();
  ASSERT_EQ(d2i_ECGOSTparams(&given, &in, static_cast<long>(params.size())), key.get());
  EXPECT_FALSE(ECPOINT_is_infinity(key->Q));
  EXPECT_EQ(ECPOINT_cmp(key->Q, src->Q), 0);

  // A point of the key's curve: compressed and uncompressed give the same Q.
  for (int compressed : {0, 1}) {
    src->point_form = compressed;
    auto k = Decode(d2i_ECGOSTPublicKey, Encode(i2d_ECGOSTPublicKey, static_cast<const ECGOST*>(src.get())));
    ASSERT_TRUE(k);
    ECGOST* raw = k.get();
    const unsigned char* p = params.data();
    ASSERT_TRUE(d2i_ECGOSTparams(&raw, &p, static_cast<long>(params.size())));
    EXPECT_EQ(ECPOINT_cmp(k->Q, src->Q), 0);
    EXPECT_EQ(k->point_form, compressed);
  }
  // The point at infinity never becomes a public key.
  auto inf = Decode(d2i_ECGOSTPublicKey, Hex("040100"));
  ASSERT_TRUE(inf);
  EXPECT_EQ(ECGOST_decode_public(inf.get()), 0);
  ERR_clear_error();
}

TEST(EcgostCodecs, PrivateKeyKeepsEverything) {
  for (bool test_curve : {false, true}) {
    auto key = MakeEcgost(test_curve);
    ASSERT_TRUE(key);
    key->version = 1;
    key->param_form = test_curve ? 1 : 0;
    auto back = Decode(d2i_ECGOSTPrivateKey, Encode(i2d_ECGOSTPrivateKey, static_cast<const ECGOST*>(key.get())));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->version, 1);
    EXPECT_EQ(back->param_form, key->param_form);
    EXPECT_EQ(ECURVE_cmp(back->curve, key->curve), 0);
    EXPECT_EQ(ECPOINT_cmp(back->Q, key->Q), 0);
    EXPECT_TRUE(BnEq(back->d, key->d));
    EXPECT_EQ(back->tag, nullptr);
  }
  // Protected form keeps the tag; inherited parameters take the given key's curve.
  auto key = MakeEcgost(true);
  key->tag = BN_new();
  BN_set_word(key->tag, 77);
  BN_copy(key->d, key->curve->p);  // a protected block need not be below q
  key->param_form = 2;
  const Bytes der = Encode(i2d_ECGOSTPrivateKey, static_cast<const ECGOST*>(key.get()));
  EXPECT_EQ(Elements(der)[1], Hex("0500"));
  EXPECT_FALSE(Decode(d2i_ECGOSTPrivateKey, der));  // on the default curve the point does not fit
  ERR_clear_error();
  auto holder = MakeEcgost(true);
  ECGOST* given = holder.get();
  const unsigned char* in = der.data();
  ASSERT_EQ(d2i_ECGOSTPrivateKey(&given, &in, static_cast<long>(der.size())), holder.get());
  EXPECT_TRUE(BnEq(holder->tag, key->tag) && BnEq(holder->d, key->d));
  EXPECT_EQ(ECPOINT_cmp(holder->Q, key->Q), 0);
  EXPECT_EQ(holder->param_form, 2);
}

TEST(EcgostCodecs, PrivateKeyChecks) {
  struct Row {
    const char* what;
    std::function<void(ECGOST*)> spoil;
  };
  const Row rows[] = {
      {"d = 0", [](ECGOST* k) { BN_zero(k->d); }},
      {"d = q", [](ECGOST* k) { BN_copy(k->d, k->curve->q); }},
      {"Q off the curve", [](ECGOST* k) { BN_add_word(k->Q->Y, 1); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    auto key = MakeEcgost(false);
    ASSERT_TRUE(key);
    ASSERT_TRUE(ECPOINT_to_affine(key->Q));
    row.spoil(key.get());
    Bytes der = Encode(i2d_ECGOSTPrivateKey, static_cast<const ECGOST*>(key.get()));
    if (der.empty()) {
      // The encoder itself refuses a zero d; build the DER by hand then.
      auto good = MakeEcgost(false);
      std::vector<Bytes> e = Elements(Encode(i2d_ECGOSTPrivateKey, static_cast<const ECGOST*>(good.get())));
      e[3] = Hex("020100");
      der = MakeTlv(0x30, Join(e));
    }
    EXPECT_FALSE(Decode(d2i_ECGOSTPrivateKey, der));
    ERR_clear_error();
  }
}

TEST(EcgostCodecs, AlgorithmIdentifierAndOctetString) {
  auto key = MakeEcgost(false);
  ASSERT_TRUE(key);
  UniquePtr<X509_ALGOR> algor(ECGOST_params_to_algor(key.get()));
  ASSERT_TRUE(algor);
  const ASN1_OBJECT* obj = nullptr;
  int ptype = 0;
  const void* pval = nullptr;
  X509_ALGOR_get0(&obj, &ptype, &pval, algor.get());
  char text[64];
  OBJ_obj2txt(text, sizeof(text), obj, 1);
  EXPECT_STREQ(text, "1.3.6.1.4.1.6173.1.6.2");
  ASSERT_EQ(ptype, V_ASN1_OBJECT);
  EXPECT_EQ(OBJ_obj2nid(static_cast<const ASN1_OBJECT*>(pval)), NID_X9_62_prime256v1);

  for (int compressed : {0, 1}) {
    UniquePtr<ASN1_OCTET_STRING> os(ECGOST_point2octet(key->Q, compressed));
    ASSERT_TRUE(os);
    unsigned char* bin = nullptr;
    const int n = ECPOINT_point2bin(key->Q, &bin, compressed);
    ASSERT_EQ(ASN1_STRING_length(os.get()), n);
    EXPECT_EQ(0, memcmp(ASN1_STRING_get0_data(os.get()), bin, static_cast<size_t>(n)));
    OPENSSL_free(bin);
  }
}

// ---------------------------------------------------------------------------
// SubjectPublicKeyInfo

Bytes Spki(const char* oid_hex, const Bytes& params, const Bytes& key, unsigned char unused = 0) {
  Bytes alg = Hex(oid_hex);
  alg.insert(alg.end(), params.begin(), params.end());
  Bytes bits{unused};
  bits.insert(bits.end(), key.begin(), key.end());
  return MakeTlv(0x30, Join({MakeTlv(0x30, alg), MakeTlv(0x03, bits)}));
}

constexpr char kR3410Oid[] = "060a2b06010401b01d010105";
constexpr char kEcOid[] = "060a2b06010401b01d010602";

TEST(SpkiCodecs, KeyTypesAndDefaults) {
  auto r = MakeR3410();
  auto e = MakeEcgost(false);
  ASSERT_TRUE(r && e);
  const Bytes rs = Encode(i2d_R3410_PUBKEY, static_cast<const R3410*>(r.get()));
  const Bytes es = Encode(i2d_ECGOST_PUBKEY, static_cast<const ECGOST*>(e.get()));
  EXPECT_EQ(gost_spki_key_type(rs.data(), static_cast<long>(rs.size())), 177);
  EXPECT_EQ(gost_spki_key_type(es.data(), static_cast<long>(es.size())), 181);
  EXPECT_EQ(Elements(Elements(rs)[0])[0], Hex(kR3410Oid));
  EXPECT_EQ(Elements(Elements(es)[0])[0], Hex(kEcOid));
  EXPECT_FALSE(Decode(d2i_ECGOST_PUBKEY, rs));
  EXPECT_FALSE(Decode(d2i_R3410_PUBKEY, es));
  ERR_clear_error();

  // 177 without parameters, or with NULL: the built-in p, q, a.
  r->write_params = 0;
  const Bytes bare_y = Encode(i2d_R3410PublicKey, static_cast<const R3410*>(r.get()));
  for (const Bytes& params : {Bytes{}, Hex("0500")}) {
    auto k = Decode(d2i_R3410_PUBKEY, Spki(kR3410Oid, params, bare_y));
    ASSERT_TRUE(k);
    EXPECT_TRUE(BnEq(k->p, r->p) && BnEq(k->q, r->q) && BnEq(k->a, r->a) && BnEq(k->y, r->y));
  }
  // Parameters inside the key that contradict the algorithm's are refused.
  r->write_params = 1;
  BN_add_word(r->a, 1);
  const Bytes other = Encode(i2d_R3410PublicKey, static_cast<const R3410*>(r.get()));
  EXPECT_FALSE(Decode(d2i_R3410_PUBKEY, Spki(kR3410Oid, {}, other)));
  ERR_clear_error();

  // 181 needs a curve: NULL or no parameters fail; so do unused bits.
  const Bytes point = Encode(i2d_ECGOSTPublicKey, static_cast<const ECGOST*>(e.get()));
  EXPECT_TRUE(Decode(d2i_ECGOST_PUBKEY, Spki(kEcOid, Hex("06082a8648ce3d030107"), point)));
  EXPECT_FALSE(Decode(d2i_ECGOST_PUBKEY, Spki(kEcOid, Hex("0500"), point)));
  EXPECT_FALSE(Decode(d2i_ECGOST_PUBKEY, Spki(kEcOid, {}, point)));
  EXPECT_FALSE(Decode(d2i_ECGOST_PUBKEY, Spki(kEcOid, Hex("06082a8648ce3d030107"), point, 1)));
  ERR_clear_error();

  // An inherited-form key still writes a self-contained SPKI.
  e->param_form = 2;
  auto back = Decode(d2i_ECGOST_PUBKEY, Encode(i2d_ECGOST_PUBKEY, static_cast<const ECGOST*>(e.get())));
  ASSERT_TRUE(back);
  EXPECT_EQ(ECPOINT_cmp(back->Q, e->Q), 0);
}

TEST(SpkiCodecs, GivenRecordIsReplacedOnSuccessOnly) {
  auto e = MakeEcgost(true);
  ASSERT_TRUE(e);
  const Bytes es = Encode(i2d_ECGOST_PUBKEY, static_cast<const ECGOST*>(e.get()));
  ECGOST* slot = ECGOST_new(nullptr);
  ECGOST* before = slot;
  const unsigned char* in = es.data();
  EXPECT_EQ(d2i_ECGOST_PUBKEY(&slot, &in, static_cast<long>(es.size()) - 1), nullptr);
  EXPECT_EQ(slot, before);
  ERR_clear_error();
  ECGOST* result = d2i_ECGOST_PUBKEY(&slot, &in, static_cast<long>(es.size()));
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(slot, result);
  EXPECT_EQ(ECPOINT_cmp(slot->Q, e->Q), 0);
  ECGOST_free(slot);
}

}  // namespace
}  // namespace qcrypto

namespace qcrypto {
namespace {

using namespace keytest;

Bytes ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// Encodings written by an independent encoder (the fuzz seed generator, from
// the public domain parameters) decode, keep their numbers and encode back to
// the same bytes.
TEST(IndependentEncodings, DecodeAndEncodeBackUnchanged) {
  const std::string r = std::string(DOSSAR_SOURCE_DIR) + "/tests/fuzz/corpus/fuzz_r3410_keys/";
  const std::string e = std::string(DOSSAR_SOURCE_DIR) + "/tests/fuzz/corpus/fuzz_ecgost_keys/";
  struct R3410Row {
    const char* file;
    R3410* (*d2i)(R3410**, const unsigned char**, long);
    int (*i2d)(const R3410*, unsigned char**);
  } r_rows[] = {
      {"params_null", d2i_R3410params, i2d_R3410params},
      {"params_generation", d2i_R3410params, i2d_R3410params},
      {"public_sequence", d2i_R3410PublicKey, i2d_R3410PublicKey},
      {"public_bare", d2i_R3410PublicKey, i2d_R3410PublicKey},
      {"private_plain", d2i_R3410PrivateKey, i2d_R3410PrivateKey},
      {"private_protected", d2i_R3410PrivateKey, i2d_R3410PrivateKey},
      {"spki", d2i_R3410_PUBKEY, i2d_R3410_PUBKEY},
  };
  for (const auto& row : r_rows) {
    SCOPED_TRACE(row.file);
    const Bytes der = ReadFile(r + row.file);
    ASSERT_FALSE(der.empty());
    const unsigned char* p = der.data();
    UniquePtr<R3410> key(row.d2i(nullptr, &p, static_cast<long>(der.size())));
    ASSERT_TRUE(key);
    EXPECT_EQ(Encode(row.i2d, static_cast<const R3410*>(key.get())), der);
  }
  struct EcRow {
    const char* file;
    ECGOST* (*d2i)(ECGOST**, const unsigned char**, long);
    int (*i2d)(const ECGOST*, unsigned char**);
  } e_rows[] = {
      {"params_p256", d2i_ECGOSTparams, i2d_ECGOST_PARAMS},
      {"params_test", d2i_ECGOSTparams, i2d_ECGOST_PARAMS},
      {"explicit_test_compressed", d2i_ECGOSTparams, i2d_ECGOST_PARAMS},
      {"params_inherited", d2i_ECGOSTparams, i2d_ECGOST_PARAMS},
      {"public_test", d2i_ECGOSTPublicKey, i2d_ECGOSTPublicKey},
      {"private_p256", d2i_ECGOSTPrivateKey, i2d_ECGOSTPrivateKey},
      {"private_test", d2i_ECGOSTPrivateKey, i2d_ECGOSTPrivateKey},
      {"private_test_protected", d2i_ECGOSTPrivateKey, i2d_ECGOSTPrivateKey},
      {"spki_p256", d2i_ECGOST_PUBKEY, i2d_ECGOST_PUBKEY},
      {"spki_test", d2i_ECGOST_PUBKEY, i2d_ECGOST_PUBKEY},
  };
  for (const auto& row : e_rows) {
    SCOPED_TRACE(row.file);
    const Bytes der = ReadFile(e + row.file);
    ASSERT_FALSE(der.empty());
    const unsigned char* p = der.data();
    UniquePtr<ECGOST> key(row.d2i(nullptr, &p, static_cast<long>(der.size())));
    ASSERT_TRUE(key);
    EXPECT_EQ(Encode(row.i2d, static_cast<const ECGOST*>(key.get())), der);
  }
  // The private numbers the generator put in are the ones a key derives its
  // public part from.
  for (const char* file : {"private_p256", "private_test"}) {
    SCOPED_TRACE(file);
    const Bytes der = ReadFile(e + file);
    const unsigned char* p = der.data();
    UniquePtr<ECGOST> key(d2i_ECGOSTPrivateKey(nullptr, &p, static_cast<long>(der.size())));
    ASSERT_TRUE(key);
    UniquePtr<ECPOINT> stored(ECPOINT_dup(key->Q));
    ASSERT_TRUE(ECGOST_generate_pubkey(key.get()));
    EXPECT_EQ(ECPOINT_cmp(stored.get(), key->Q), 0);
  }
  const Bytes der = ReadFile(r + "private_plain");
  const unsigned char* p = der.data();
  UniquePtr<R3410> key(d2i_R3410PrivateKey(nullptr, &p, static_cast<long>(der.size())));
  ASSERT_TRUE(key);
  BnPtr stored(BN_dup(key->y));
  ASSERT_TRUE(R3410_generate_pubkey(key.get()));
  EXPECT_TRUE(BnEq(stored.get(), key->y));
}

}  // namespace
}  // namespace qcrypto
