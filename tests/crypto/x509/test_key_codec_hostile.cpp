// Every key codec against the same battery: DER round trip through all three
// output modes, decoding that stops exactly after the TLV, and hostile inputs
// (every truncation, over-long and huge lengths, indefinite and padded
// lengths, bytes after the last element, wrong tags, non-minimal and negative
// INTEGERs) that must fail without moving the input pointer and without
// touching a record the caller passed in.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "crypto/bn/bn_owner.h"
#include "crypto/err/err.h"
#include "tests/crypto/x509/key_codec_test_util.h"

namespace qcrypto {
namespace {

using namespace keytest;

// One codec with a valid encoding and a different valid encoding that makes
// the record handed in as "given".
struct Case {
  std::string name;
  Bytes der;
  Bytes given_der;
  bool constructed;
  bool last_optional;
  // Decodes `in` (into the given record when use_given) and returns the
  // re-encoding of the result, or nothing on failure; `end` gets *in after.
  std::function<bool(const Bytes& in, bool use_given, Bytes* out, const unsigned char** end, Bytes* given_after)> run;
};

template <class T>
Case MakeCase(std::string name, T* (*d2i)(T**, const unsigned char**, long), int (*i2d)(const T*, unsigned char**),
              void (*free_fn)(T*), Bytes der, Bytes given_der, bool constructed, bool last_optional = false) {
  Case c{std::move(name), std::move(der), std::move(given_der), constructed, last_optional, {}};
  c.run = [=](const Bytes& in, bool use_given, Bytes* out, const unsigned char** end, Bytes* given_after) {
    T* given = nullptr;
    if (use_given) {
      const unsigned char* g = c.given_der.data();
      given = d2i(nullptr, &g, static_cast<long>(c.given_der.size()));
      EXPECT_NE(given, nullptr);
    }
    T* slot = given;
    const unsigned char* p = in.empty() ? nullptr : in.data();
    const unsigned char* start = p;
    T* result = d2i(use_given ? &slot : nullptr, &p, static_cast<long>(in.size()));
    *end = p;
    if (result == nullptr) {
      EXPECT_EQ(p, start) << "input pointer moved on failure";
      EXPECT_EQ(slot, given) << "given record replaced on failure";
      if (given != nullptr) *given_after = Encode(i2d, static_cast<const T*>(given));
      free_fn(given);
      return false;
    }
    if (use_given) {
      EXPECT_EQ(slot, result);
    }
    *out = Encode(i2d, static_cast<const T*>(result));
    free_fn(result);
    return true;
  };
  return c;
}

// Mutations of the outer TLV that no strict decoder may accept.
std::vector<std::pair<std::string, Bytes>> Hostile(const Case& c) {
  const Bytes& d = c.der;
  const Tlv t = ParseTlv(d);
  const Bytes content(d.begin() + static_cast<long>(t.header), d.end());
  std::vector<std::pair<std::string, Bytes>> out;
  for (std::size_t n = 0; n < d.size(); ++n) {
    out.emplace_back("truncated to " + std::to_string(n), Bytes(d.begin(), d.begin() + static_cast<long>(n)));
  }
  auto with_header = [&](Bytes header) {
    header.insert(header.end(), content.begin(), content.end());
    return header;
  };
  const auto len = content.size();
  if (len < 0x80) {
    out.emplace_back("long-form length", with_header({t.tag, 0x81, static_cast<unsigned char>(len)}));
  } else {
    out.emplace_back("padded length", with_header({t.tag, 0x83, 0, static_cast<unsigned char>(len >> 8),
                                                   static_cast<unsigned char>(len)}));
  }
  out.emplace_back("huge length", with_header({t.tag, 0x84, 0xff, 0xff, 0xff, 0xff}));
  out.emplace_back("five length bytes", with_header({t.tag, 0x85, 0, 0, 0, 0, static_cast<unsigned char>(len)}));
  {
    // A header that claims one byte more than there is.
    Bytes header = MakeTlv(t.tag, Bytes(len + 1, 0));
    header.resize(header.size() - (len + 1));
    out.emplace_back("length past the end", with_header(header));
  }
  {
    Bytes wrong = d;
    wrong[0] ^= 0x01;
    out.emplace_back("wrong tag", wrong);
  }
  if (!c.constructed) return out;
  {
    Bytes indefinite{t.tag, 0x80};
    indefinite.insert(indefinite.end(), content.begin(), content.end());
    indefinite.insert(indefinite.end(), {0, 0});
    out.emplace_back("indefinite length", indefinite);
  }
  for (const Bytes& extra : {Bytes{0x05, 0x00}, Bytes{0x00}, Bytes{0x02, 0x01, 0x00}}) {
    Bytes inner = content;
    inner.insert(inner.end(), extra.begin(), extra.end());
    out.emplace_back("trailing bytes inside", MakeTlv(t.tag, inner));
  }
  std::vector<Bytes> elements = Elements(d);
  if (!c.last_optional && !elements.empty()) {
    std::vector<Bytes> fewer(elements.begin(), elements.end() - 1);
    out.emplace_back("last element missing", MakeTlv(t.tag, Join(fewer)));
  }
  // The first top-level INTEGER, padded and made negative.
  for (std::size_t i = 0; i < elements.size(); ++i) {
    const Tlv e = ParseTlv(elements[i]);
    if (e.tag != 0x02 || e.length == 0 || (elements[i][e.header] & 0x80)) continue;
    Bytes value(elements[i].begin() + static_cast<long>(e.header), elements[i].end());
    std::vector<Bytes> padded = elements, negative = elements;
    Bytes pv = value;
    pv.insert(pv.begin(), 0x00);
    padded[i] = MakeTlv(0x02, pv);
    Bytes nv = value;
    nv[0] |= 0x80;
    negative[i] = MakeTlv(0x02, nv);
    out.emplace_back("non-minimal INTEGER", MakeTlv(t.tag, Join(padded)));
    out.emplace_back("negative INTEGER", MakeTlv(t.tag, Join(negative)));
    break;
  }
  return out;
}

std::vector<Case> AllCases() {
  std::vector<Case> cases;
  auto r1 = MakeR3410();
  auto r2 = MakeR3410();
  auto e191 = MakeEcgost(false);
  auto etest = MakeEcgost(true);
  auto e191b = MakeEcgost(false);
  if (!r1 || !r2 || !e191 || !etest || !e191b) return cases;

  // GOST R 34.10-94
  R3410* gen = r2.get();
  gen->gen_flag = 1;
  gen->x0 = 0x1234;
  gen->c = 0x8765;
  cases.push_back(MakeCase("R3410 params", d2i_R3410params, i2d_R3410params, R3410_free,
                           Encode(i2d_R3410params, static_cast<const R3410*>(r1.get())),
                           Encode(i2d_R3410params, static_cast<const R3410*>(gen)), true));
  cases.push_back(MakeCase("R3410 params with generation values", d2i_R3410params, i2d_R3410params, R3410_free,
                           Encode(i2d_R3410params, static_cast<const R3410*>(gen)),
                           Encode(i2d_R3410params, static_cast<const R3410*>(r1.get())), true));
  cases.push_back(MakeCase("R3410 public key", d2i_R3410PublicKey, i2d_R3410PublicKey, R3410_free,
                           Encode(i2d_R3410PublicKey, static_cast<const R3410*>(r1.get())),
                           Encode(i2d_R3410PublicKey, static_cast<const R3410*>(r2.get())), true));
  r2->write_params = 0;
  cases.push_back(MakeCase("R3410 public key, bare", d2i_R3410PublicKey, i2d_R3410PublicKey, R3410_free,
                           Encode(i2d_R3410PublicKey, static_cast<const R3410*>(r2.get())),
                           Encode(i2d_R3410PublicKey, static_cast<const R3410*>(r1.get())), false));
  r2->write_params = 1;
  cases.push_back(MakeCase("R3410 private key", d2i_R3410PrivateKey, i2d_R3410PrivateKey, R3410_free,
                           Encode(i2d_R3410PrivateKey, static_cast<const R3410*>(r1.get())),
                           Encode(i2d_R3410PrivateKey, static_cast<const R3410*>(r2.get())), true));
  r2->tag = BN_new();
  BN_set_word(r2->tag, 0xA5A5A5A5);
  cases.push_back(MakeCase("R3410 private key, protected", d2i_R3410PrivateKey, i2d_R3410PrivateKey, R3410_free,
                           Encode(i2d_R3410PrivateKey, static_cast<const R3410*>(r2.get())),
                           Encode(i2d_R3410PrivateKey, static_cast<const R3410*>(r1.get())), true));
  cases.push_back(MakeCase("R3410 SPKI", d2i_R3410_PUBKEY, i2d_R3410_PUBKEY, R3410_free,
                           Encode(i2d_R3410_PUBKEY, static_cast<const R3410*>(r1.get())),
                           Encode(i2d_R3410_PUBKEY, static_cast<const R3410*>(gen)), true));
  {
    UniquePtr<R3410_PARAMS> params(R3410_PARAMS_new());
    BN_set_word(params->x0, 0xBEEF);
    BN_set_word(params->c, 7);
    UniquePtr<R3410_PARAMS> other(R3410_PARAMS_new());
    BN_set_word(other->x0, 1);
    BN_set_word(other->c, 2);
    cases.push_back(MakeCase("R3410_PARAMS", d2i_R3410_PARAMS, i2d_R3410_PARAMS, R3410_PARAMS_free,
                             Encode(i2d_R3410_PARAMS, static_cast<const R3410_PARAMS*>(params.get())),
                             Encode(i2d_R3410_PARAMS, static_cast<const R3410_PARAMS*>(other.get())), true));
  }

  // GOST R 34.10-2001
  const ECGOST* named = e191.get();
  etest->param_form = 1;
  const ECGOST* expl = etest.get();
  auto enc = [](int (*f)(const ECGOST*, unsigned char**), const ECGOST* k) { return Encode(f, k); };
  cases.push_back(MakeCase("ECGOST params, named", d2i_ECGOSTparams, i2d_ECGOST_PARAMS, ECGOST_free,
                           enc(i2d_ECGOST_PARAMS, named), enc(i2d_ECGOST_PARAMS, expl), false));
  cases.push_back(MakeCase("ECGOST params, explicit", d2i_ECGOSTparams, i2d_ECGOST_PARAMS, ECGOST_free,
                           enc(i2d_ECGOST_PARAMS, expl), enc(i2d_ECGOST_PARAMS, named), true, true));
  e191b->param_form = 1;
  e191b->point_form = 1;
  cases.push_back(MakeCase("ECGOST params, explicit built-in curve, compressed base", d2i_ECGOSTparams,
                           i2d_ECGOST_PARAMS, ECGOST_free, enc(i2d_ECGOST_PARAMS, e191b.get()),
                           enc(i2d_ECGOST_PARAMS, expl), true, true));
  cases.push_back(MakeCase("ECGOST public key", d2i_ECGOSTPublicKey, i2d_ECGOSTPublicKey, ECGOST_free,
                           enc(i2d_ECGOSTPublicKey, named), enc(i2d_ECGOSTPublicKey, expl), false));
  cases.push_back(MakeCase("ECGOST public key, compressed", d2i_ECGOSTPublicKey, i2d_ECGOSTPublicKey, ECGOST_free,
                           enc(i2d_ECGOSTPublicKey, e191b.get()), enc(i2d_ECGOSTPublicKey, named), false));
  cases.push_back(MakeCase("ECGOST private key, named", d2i_ECGOSTPrivateKey, i2d_ECGOSTPrivateKey, ECGOST_free,
                           enc(i2d_ECGOSTPrivateKey, named), enc(i2d_ECGOSTPrivateKey, expl), true));
  cases.push_back(MakeCase("ECGOST private key, explicit", d2i_ECGOSTPrivateKey, i2d_ECGOSTPrivateKey, ECGOST_free,
                           enc(i2d_ECGOSTPrivateKey, expl), enc(i2d_ECGOSTPrivateKey, named), true));
  e191b->tag = BN_new();
  BN_set_word(e191b->tag, 0x11223344);
  cases.push_back(MakeCase("ECGOST private key, protected", d2i_ECGOSTPrivateKey, i2d_ECGOSTPrivateKey, ECGOST_free,
                           enc(i2d_ECGOSTPrivateKey, e191b.get()), enc(i2d_ECGOSTPrivateKey, named), true));
  cases.push_back(MakeCase("ECGOST SPKI, named", d2i_ECGOST_PUBKEY, i2d_ECGOST_PUBKEY, ECGOST_free,
                           enc(i2d_ECGOST_PUBKEY, named), enc(i2d_ECGOST_PUBKEY, expl), true));
  cases.push_back(MakeCase("ECGOST SPKI, explicit", d2i_ECGOST_PUBKEY, i2d_ECGOST_PUBKEY, ECGOST_free,
                           enc(i2d_ECGOST_PUBKEY, expl), enc(i2d_ECGOST_PUBKEY, named), true));
  {
    UniquePtr<ECGOST_FIELDID> f(ECGOST_FIELDID_new());
    f->type = OBJ_txt2obj("1.2.840.10045.1.1", 1);
    BN_copy(f->prime, etest->curve->p);
    UniquePtr<ECGOST_FIELDID> g(ECGOST_FIELDID_new());
    g->type = OBJ_txt2obj("1.2.3.4", 1);
    BN_set_word(g->prime, 97);
    cases.push_back(MakeCase("ECGOST_FIELDID", d2i_ECGOST_FIELDID, i2d_ECGOST_FIELDID, ECGOST_FIELDID_free,
                             Encode(i2d_ECGOST_FIELDID, static_cast<const ECGOST_FIELDID*>(f.get())),
                             Encode(i2d_ECGOST_FIELDID, static_cast<const ECGOST_FIELDID*>(g.get())), true));
    UniquePtr<ECGOST_CURVE> c(ECGOST_CURVE_new());
    BN_copy(c->a, etest->curve->a);
    BN_copy(c->b, etest->curve->b);
    c->seed = ASN1_BIT_STRING_new();
    const unsigned char seed[] = {1, 2, 3, 4, 5};
    ASN1_BIT_STRING_set(c->seed, const_cast<unsigned char*>(seed), sizeof(seed));
    UniquePtr<ECGOST_CURVE> d(ECGOST_CURVE_new());
    BN_set_word(d->a, 3);
    BN_set_word(d->b, 5);
    cases.push_back(MakeCase("ECGOST_CURVE with seed", d2i_ECGOST_CURVE, i2d_ECGOST_CURVE, ECGOST_CURVE_free,
                             Encode(i2d_ECGOST_CURVE, static_cast<const ECGOST_CURVE*>(c.get())),
                             Encode(i2d_ECGOST_CURVE, static_cast<const ECGOST_CURVE*>(d.get())), true, true));
  }
  return cases;
}

TEST(KeyCodecs, EveryCodecRoundTripsAndStopsAfterItsTlv) {
  const std::vector<Case> cases = AllCases();
  ASSERT_EQ(cases.size(), 20u);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_FALSE(c.der.empty());
    for (bool use_given : {false, true}) {
      Bytes again, given_after;
      const unsigned char* end = nullptr;
      Bytes in = c.der;
      in.insert(in.end(), {0x30, 0x00, 0xAA});  // whatever follows is the caller's
      ASSERT_TRUE(c.run(in, use_given, &again, &end, &given_after));
      EXPECT_EQ(again, c.der);
    }
    // The pointer stops exactly after the TLV.
    Bytes in = c.der;
    in.push_back(0x00);
    Bytes again, given_after;
    const unsigned char* end = nullptr;
    ASSERT_TRUE(c.run(in, false, &again, &end, &given_after));
    EXPECT_EQ(static_cast<std::size_t>(end - in.data()), c.der.size());
  }
}

TEST(KeyCodecs, HostileInputsFailCleanly) {
  const std::vector<Case> cases = AllCases();
  ASSERT_FALSE(cases.empty());
  for (const Case& c : cases) {
    // What the given record encodes to before any attempt.
    Bytes given_before;
    {
      Bytes unused, after;
      const unsigned char* end = nullptr;
      ASSERT_TRUE(c.run(c.given_der, false, &given_before, &end, &after)) << c.name;
    }
    for (const auto& [what, bytes] : Hostile(c)) {
      SCOPED_TRACE(c.name + ": " + what);
      for (bool use_given : {false, true}) {
        Bytes out, given_after;
        const unsigned char* end = nullptr;
        EXPECT_FALSE(c.run(bytes, use_given, &out, &end, &given_after));
        if (use_given) {
          EXPECT_EQ(given_after, given_before) << "given record changed";
        }
      }
      ERR_clear_error();
    }
  }
}

}  // namespace
}  // namespace qcrypto
