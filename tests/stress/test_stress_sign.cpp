// Signing and verification from several threads at once.
//
// GOST R 34.10-2001: the built-in curve, and more curves and generators than
// the process-wide caches of curve forms and generator tables hold, so that
// entries are evicted and rebuilt while other threads use them. The extra
// curves are images of the built-in curve under (x, y) -> (u^2 x, u^3 y),
// which keeps the group order and gives distinct coefficients; their
// generators are multiples of the built-in one. Expected public points come
// from OpenSSL's own arithmetic.
//
// GOST R 34.10-94: a few keys shared by all threads (each verifies through the
// key's cache of its checked public value) and per-thread keys.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>

#include <string>
#include <vector>

#include "crypto/ec/ecurve.h"
#include "crypto/ecgost/ecgost.h"
#include "crypto/r3410/r3410.h"
#include "tests/stress/random_method.h"
#include "tests/stress/stress_util.h"

namespace {

using stress::Failures;
using stress::kThreads;
using stress::Own;
using stress::Owned;
using stress::Pattern;
using Bytes = std::vector<unsigned char>;
using BnOwned = Owned<BIGNUM>;

BnOwned NewBn() { return Own(BN_new()); }

std::string Hex64(const BIGNUM* n) {
  unsigned char b[32];
  if (BN_bn2binpad(n, b, 32) != 32) return "";
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (unsigned char c : b) {
    s += digits[c >> 4];
    s += digits[c & 15];
  }
  return s;
}

// --- GOST R 34.10-2001 ------------------------------------------------------

// The curve cache holds 16 forms and the generator cache 8 tables.
constexpr int kExtraCurves = 20;

struct Curve {
  // Texts of the definition, kept while the curve is loaded.
  std::string p, a, b, generator, q;
  bool builtin = false;             // keys through ECGOST_new(null)
  Owned<qcrypto::ECURVE> curve;     // shared by all threads; null when builtin
  BnOwned d = NewBn();              // private number of this curve's key
  Bytes expected_q;                 // 04 x y of d * generator
  Owned<qcrypto::ECGOST> verifier;  // public key only, shared by all threads
};

class StressSignatures : public stress::WithSoftwareGenerator {
 protected:
  void SetUp() override {
    WithSoftwareGenerator::SetUp();
    ASSERT_NO_FATAL_FAILURE(MakeCurves());
    ASSERT_NO_FATAL_FAILURE(MakeR3410Keys());
  }

  // 04 x y of point `pt` mapped by u (u = 1: unchanged).
  Bytes Encode(const EC_GROUP* group, const EC_POINT* pt, const BIGNUM* u, const BIGNUM* p, BN_CTX* ctx) {
    BnOwned x = NewBn(), y = NewBn(), u2 = NewBn(), u3 = NewBn();
    EXPECT_EQ(EC_POINT_get_affine_coordinates(group, pt, x.get(), y.get(), ctx), 1);
    EXPECT_EQ(BN_mod_sqr(u2.get(), u, p, ctx), 1);
    EXPECT_EQ(BN_mod_mul(u3.get(), u2.get(), u, p, ctx), 1);
    EXPECT_EQ(BN_mod_mul(x.get(), x.get(), u2.get(), p, ctx), 1);
    EXPECT_EQ(BN_mod_mul(y.get(), y.get(), u3.get(), p, ctx), 1);
    Bytes out(65);
    out[0] = 4;
    EXPECT_EQ(BN_bn2binpad(x.get(), out.data() + 1, 32), 32);
    EXPECT_EQ(BN_bn2binpad(y.get(), out.data() + 33, 32), 32);
    return out;
  }

  void MakeCurves() {
    auto ctx = Own(BN_CTX_new());
    auto group = Own(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
    ASSERT_NE(group, nullptr);
    BnOwned p = NewBn(), a = NewBn(), b = NewBn();
    ASSERT_EQ(EC_GROUP_get_curve(group.get(), p.get(), a.get(), b.get(), ctx.get()), 1);
    const BIGNUM* q = EC_GROUP_get0_order(group.get());
    ASSERT_NE(q, nullptr);
    // Entry 0 is the built-in curve (u = 1, m = 1); the others are images.
    for (int i = 0; i <= kExtraCurves; ++i) {
      Curve c;
      BnOwned u = NewBn(), m = NewBn(), dm = NewBn(), ai = NewBn(), bi = NewBn(), t = NewBn();
      ASSERT_TRUE(BN_set_word(u.get(), i == 0 ? 1 : static_cast<BN_ULONG>(i + 1)));
      ASSERT_TRUE(BN_set_word(m.get(), i == 0 ? 1 : static_cast<BN_ULONG>(3 * i + 2)));
      ASSERT_EQ(BN_rand_range(c.d.get(), q), 1);
      if (BN_is_zero(c.d.get())) BN_one(c.d.get());
      // Generator m * G and public point d * m * G, both mapped by u.
      auto gm = Own(EC_POINT_new(group.get()));
      auto qm = Own(EC_POINT_new(group.get()));
      ASSERT_EQ(BN_mod_mul(dm.get(), c.d.get(), m.get(), q, ctx.get()), 1);
      ASSERT_EQ(EC_POINT_mul(group.get(), gm.get(), m.get(), nullptr, nullptr, ctx.get()), 1);
      ASSERT_EQ(EC_POINT_mul(group.get(), qm.get(), dm.get(), nullptr, nullptr, ctx.get()), 1);
      const Bytes g = Encode(group.get(), gm.get(), u.get(), p.get(), ctx.get());
      c.expected_q = Encode(group.get(), qm.get(), u.get(), p.get(), ctx.get());
      // a' = u^4 a, b' = u^6 b.
      ASSERT_EQ(BN_mod_sqr(t.get(), u.get(), p.get(), ctx.get()), 1);             // u^2
      ASSERT_EQ(BN_mod_sqr(ai.get(), t.get(), p.get(), ctx.get()), 1);            // u^4
      ASSERT_EQ(BN_mod_mul(bi.get(), ai.get(), t.get(), p.get(), ctx.get()), 1);  // u^6
      ASSERT_EQ(BN_mod_mul(ai.get(), ai.get(), a.get(), p.get(), ctx.get()), 1);
      ASSERT_EQ(BN_mod_mul(bi.get(), bi.get(), b.get(), p.get(), ctx.get()), 1);
      c.p = Hex64(p.get());
      c.a = Hex64(ai.get());
      c.b = Hex64(bi.get());
      c.q = Hex64(q);
      c.generator = "04";
      for (size_t k = 1; k < g.size(); ++k) {
        static const char* digits = "0123456789abcdef";
        c.generator += digits[g[k] >> 4];
        c.generator += digits[g[k] & 15];
      }
      const qcrypto::ECURVE_DEF def{.nid = 0,
                                    .p = c.p.c_str(),
                                    .a = c.a.c_str(),
                                    .b = c.b.c_str(),
                                    .generator = c.generator.c_str(),
                                    .q = c.q.c_str(),
                                    .h = "1",
                                    .spare = nullptr,
                                    .J = nullptr,
                                    .table = nullptr};
      // Entry 0 is the built-in curve loaded by object number, as a named
      // curve is, and shared by all threads; a copy of it makes its keys
      // through ECGOST_new(null), which takes the built-in curve itself.
      c.curve = i == 0 ? Own(qcrypto::ECURVE_new_by_nid(qcrypto::ECURVE_NID_DEFAULT))
                       : Own(qcrypto::ECURVE_init(&def, qcrypto::ECURVE_PROJECTIVE));
      ASSERT_NE(c.curve, nullptr) << "curve " << i;
      ASSERT_NO_FATAL_FAILURE(MakeVerifier(c));
      if (i == 0) {
        Curve builtin;
        builtin.builtin = true;
        ASSERT_NE(BN_copy(builtin.d.get(), c.d.get()), nullptr);
        builtin.expected_q = c.expected_q;
        ASSERT_NO_FATAL_FAILURE(MakeVerifier(builtin));
        curves_.push_back(std::move(builtin));
        // The same curve from explicit parameters (as a certificate may carry
        // them): equal to the built-in one, but loaded without its table.
        Curve exp;
        exp.curve = Own(qcrypto::ECURVE_init(&def, qcrypto::ECURVE_PROJECTIVE));
        ASSERT_NE(exp.curve, nullptr);
        ASSERT_NE(BN_copy(exp.d.get(), c.d.get()), nullptr);
        exp.expected_q = c.expected_q;
        ASSERT_NO_FATAL_FAILURE(MakeVerifier(exp));
        curves_.push_back(std::move(exp));
      }
      curves_.push_back(std::move(c));
    }
  }

  // A key with only the public point, from the expected encoding.
  static void MakeVerifier(Curve& c) {
    c.verifier = Own(qcrypto::ECGOST_new(c.builtin ? nullptr : c.curve.get()));
    ASSERT_NE(c.verifier, nullptr);
    ASSERT_NE(
        qcrypto::ECPOINT_bi2point_public(&c.verifier->Q, c.expected_q.data(), c.expected_q.size(), c.verifier->curve),
        nullptr);
  }

  // One signature on curve entry `i` with a key of this thread; checks the
  // public point, the signature with the shared verifier, and a changed digest.
  void SignAndVerify(size_t i, uint64_t seed, Failures& failures) {
    Curve& c = curves_[i];
    const std::string where = "curve " + std::to_string(i) + ": ";
    auto key = Own(qcrypto::ECGOST_new(c.builtin ? nullptr : c.curve.get()));
    if (key == nullptr || BN_copy(key->d, c.d.get()) == nullptr || qcrypto::ECGOST_generate_pubkey(key.get()) != 1) {
      failures.Add(where + "key setup failed");
      return;
    }
    unsigned char* encoded = nullptr;
    const int n = qcrypto::ECPOINT_point2bin(key->Q, &encoded, 0);
    if (n != 65 || !std::equal(c.expected_q.begin(), c.expected_q.end(), encoded)) {
      failures.Add(where + "public point differs from OpenSSL's");
    }
    OPENSSL_free(encoded);
    Bytes digest = Pattern(32, seed);
    auto sig = Own(qcrypto::ECGOST_do_sign(digest.data(), 32, key.get()));
    if (sig == nullptr) {
      failures.Add(where + "signing failed");
      return;
    }
    if (qcrypto::ECGOST_do_verify(digest.data(), 32, sig.get(), key.get()) != 1) {
      failures.Add(where + "own key does not verify");
    }
    if (qcrypto::ECGOST_do_verify(digest.data(), 32, sig.get(), c.verifier.get()) != 1) {
      failures.Add(where + "shared public key does not verify");
    }
    digest[31] ^= 1;
    if (qcrypto::ECGOST_do_verify(digest.data(), 32, sig.get(), c.verifier.get()) != 0) {
      failures.Add(where + "a changed digest verifies");
    }
  }

  // Thread t walks the curves from its own starting point, so different
  // threads need different cache entries at the same time.
  void EcgostRounds(int t, int passes, Failures& failures) {
    for (int pass = 0; pass < passes; ++pass) {
      for (size_t k = 0; k < curves_.size(); ++k) {
        const size_t i = (k + static_cast<size_t>(t) * 5) % curves_.size();
        SignAndVerify(i, 100000u * t + 1000u * pass + k, failures);
      }
    }
  }

  // --- GOST R 34.10-94 ------------------------------------------------------

  static constexpr int kSharedKeys = 3;

  struct R3410Key {
    BnOwned x = NewBn();
    BnOwned y = NewBn();  // a^x mod p from OpenSSL
    Owned<qcrypto::R3410> shared;
    Bytes digest;  // signed in the set-up
    Owned<qcrypto::R3410_SIG> signature;
  };

  Owned<qcrypto::R3410> NewKey(const BIGNUM* x) {
    auto key = Own(qcrypto::GOSTS_new());
    if (key == nullptr || qcrypto::R3410_default_params(key.get()) != 1) return nullptr;
    key->x = BN_dup(x);
    if (key->x == nullptr) return nullptr;
    return key;
  }

  void MakeR3410Keys() {
    auto ctx = Own(BN_CTX_new());
    auto probe = NewKey(BN_value_one());
    ASSERT_NE(probe, nullptr);
    for (int k = 0; k < kSharedKeys; ++k) {
      R3410Key key;
      ASSERT_EQ(BN_rand_range(key.x.get(), probe->q), 1);
      if (BN_is_zero(key.x.get())) BN_one(key.x.get());
      ASSERT_EQ(BN_mod_exp(key.y.get(), probe->a, key.x.get(), probe->p, ctx.get()), 1);
      // The shared key gets y as given: its first verification, on whichever
      // thread comes first, fills the key's cache.
      key.shared = NewKey(key.x.get());
      ASSERT_NE(key.shared, nullptr);
      key.shared->y = BN_dup(key.y.get());
      ASSERT_NE(key.shared->y, nullptr);
      key.digest = Pattern(32, 99u + static_cast<unsigned>(k));
      key.signature = Own(qcrypto::GOSTS_do_sign(key.shared.get(), key.digest.data(), 32));
      ASSERT_NE(key.signature, nullptr);
      r3410_keys_.push_back(std::move(key));
    }
  }

  void R3410Rounds(int t, int rounds, Failures& failures) {
    for (int r = 0; r < rounds; ++r) {
      // All threads on the same key in the same round: the first
      // verifications of a key, which fill its cache, meet.
      const R3410Key& k = r3410_keys_[static_cast<size_t>(r) % r3410_keys_.size()];
      const std::string where = "R3410 thread " + std::to_string(t) + " round " + std::to_string(r) + ": ";
      if (qcrypto::GOSTS_do_verify(k.signature.get(), k.shared.get(), k.digest.data(), 32) != 1) {
        failures.Add(where + "the set-up signature does not verify");
      }
      // A key of this thread: public key from the fixed-base table.
      auto own = NewKey(k.x.get());
      if (own == nullptr || qcrypto::R3410_generate_pubkey(own.get()) != 1 || BN_cmp(own->y, k.y.get()) != 0) {
        failures.Add(where + "public key differs from OpenSSL's");
        continue;
      }
      Bytes digest = Pattern(32, 7000u * t + r);
      // Signed with the shared key (signing does not change a key), checked
      // with it and with the thread's own key.
      auto sig = Own(qcrypto::GOSTS_do_sign(k.shared.get(), digest.data(), 32));
      if (sig == nullptr) {
        failures.Add(where + "signing failed");
        continue;
      }
      if (qcrypto::GOSTS_do_verify(sig.get(), k.shared.get(), digest.data(), 32) != 1) {
        failures.Add(where + "shared key does not verify");
      }
      if (qcrypto::GOSTS_do_verify(sig.get(), own.get(), digest.data(), 32) != 1) {
        failures.Add(where + "own key does not verify");
      }
      digest[0] ^= 0x80;
      if (qcrypto::GOSTS_do_verify(sig.get(), k.shared.get(), digest.data(), 32) != 0) {
        failures.Add(where + "a changed digest verifies");
      }
    }
  }

  std::vector<Curve> curves_;
  std::vector<R3410Key> r3410_keys_;
};

TEST_F(StressSignatures, EcgostCachesEvictedWhileInUse) {
  Failures failures;
  stress::RunTogether(kThreads, [&](int t) { EcgostRounds(t, 2, failures); });
  failures.Report();
}

TEST_F(StressSignatures, R3410SharedKeysAndTables) {
  Failures failures;
  stress::RunTogether(kThreads, [&](int t) { R3410Rounds(t, 12, failures); });
  failures.Report();
}

// Both schemes at once: their locks and the random layer's are taken in
// every order a mixed program can produce.
TEST_F(StressSignatures, BothSchemesTogether) {
  Failures failures;
  stress::RunTogether(kThreads, [&](int t) {
    if (t % 2 == 0) {
      EcgostRounds(t, 1, failures);
      R3410Rounds(t, 4, failures);
    } else {
      R3410Rounds(t, 4, failures);
      EcgostRounds(t, 1, failures);
    }
  });
  failures.Report();
}

}  // namespace
