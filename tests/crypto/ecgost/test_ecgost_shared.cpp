// Keys and curves shared between threads, and signing and agreement when the
// curve's fixed-width forms cannot be made (no variable-time fallback).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "crypto/ec/ec_fp256_mul.h"
#include "crypto/ec/ec_internal.h"
#include "tests/crypto/ecgost/ecgost_test_util.h"
#include "tests/support/ec_test_curves.h"

namespace qcrypto {
namespace {

using namespace ecgost_testing;

// Several threads sign with one key on one curve record, which none of them
// loaded and whose forms are made by whichever thread comes first; every
// signature verifies and no two nonces repeat.
TEST(EcgostShared, ThreadsSignWithOneKey) {
  SystemRandom rand;
  constexpr int kThreads = 6;
  constexpr int kRounds = 8;
  for (const ECURVE_DEF* def : {&ECURVE_DEF_191, &ECURVE_DEF_2_255_431}) {
    for (int kind : {ECURVE_PROJECTIVE, ECURVE_AFFINE}) {
      CurvePtr curve = LoadCurve(def, kind);
      ASSERT_NE(curve, nullptr);
      KeyPtr key(ECGOST_new(curve.get()));
      ASSERT_NE(key, nullptr);
      BnPtr d = RandomBelow(curve->q);
      ASSERT_NE(BN_copy(key->d, d.get()), nullptr);
      // The public point as a loaded key has it, computed without the
      // fixed-width code: the record's forms are made by the threads.
      UniquePtr<ECPOINT> q(ECPOINT_dup(curve->P));
      ASSERT_EQ(ec_mul_binary(q.get(), d.get()), 1);
      ASSERT_EQ(ECPOINT_to_affine(q.get()), 1);
      ASSERT_EQ(ECPOINT_copy(key->Q, q.get()), 1);
      std::vector<std::vector<std::string>> r_values(kThreads);
      std::vector<int> verified(kThreads, 0);
      std::vector<std::thread> threads;
      for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
          for (int i = 0; i < kRounds; ++i) {
            unsigned char digest[32] = {static_cast<unsigned char>(t), static_cast<unsigned char>(i), 0x5a};
            SigPtr sig(ECGOST_do_sign(digest, 32, key.get()));
            if (sig == nullptr) return;
            r_values[t].push_back(ToHex(sig->r));
            if (ECGOST_do_verify(digest, 32, sig.get(), key.get()) == 1) ++verified[t];
          }
        });
      }
      for (auto& th : threads) th.join();
      std::vector<std::string> all;
      for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(verified[t], kRounds) << "thread " << t;
        all.insert(all.end(), r_values[t].begin(), r_values[t].end());
      }
      std::sort(all.begin(), all.end());
      EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
      EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kRounds));
      EXPECT_EQ(curve->references, 2);  // the test's and the key's
    }
  }
}

// Threads agreeing keys on one shared curve record with their own objects.
TEST(EcgostShared, ThreadsAgreeOnOneCurve) {
  SystemRandom rand;
  CurvePtr curve = LoadCurve(&ECURVE_DEF_191, ECURVE_PROJECTIVE);
  EcdhPtr server(ECDH_new(curve.get(), 0));
  ASSERT_EQ(ECDH_generate_key(server.get()), 1);
  constexpr int kThreads = 4;
  std::vector<int> agreed(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 4; ++i) {
        EcdhPtr mine(ECDH_new(curve.get(), 0));
        EcdhPtr theirs(ECDH_new(curve.get(), 0));
        if (mine == nullptr || theirs == nullptr || ECDH_generate_key(mine.get()) != 1 ||
            ECDH_generate_key(theirs.get()) != 1 || ECDH_compute_key(theirs->public_key, mine.get()) != 1 ||
            ECDH_compute_key(mine->public_key, theirs.get()) != 1) {
          return;
        }
        if (BN_cmp(mine->shared, theirs->shared) == 0) ++agreed[t];
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(agreed[t], 4) << "thread " << t;
}

void* RefuseAll(std::size_t) { return nullptr; }
void Release(void* p) { OPENSSL_free(p); }

// Without the curve's fixed-width form, signing, deriving a public point and
// agreeing fail; nothing runs the variable-time algorithms on d or a nonce.
// Verification (public numbers) still works.
TEST(EcgostShared, NoFastFormMeansNoSignature) {
  SystemRandom rand;
  CurvePtr curve = LoadCurve(&ectest::CryptoProA(), ECURVE_PROJECTIVE);
  ASSERT_NE(curve, nullptr);
  BnPtr d = RandomBelow(curve->q);
  unsigned char digest[32] = {1, 2, 3};
  KeyPtr signer(ECGOST_new(curve.get()));
  ASSERT_NE(BN_copy(signer->d, d.get()), nullptr);
  fp256::set_table_allocator(RefuseAll, Release);
  const unsigned long before = ec_variable_time_runs();
  const int pubkey = ECGOST_generate_pubkey(signer.get());
  SigPtr refused(ECGOST_do_sign(digest, 32, signer.get()));
  EcdhPtr agreement(ECDH_new(curve.get(), 0));
  agreement->private_key = BN_dup(d.get());
  const int agreed = ECDH_compute_key(curve->P, agreement.get());
  const unsigned long after = ec_variable_time_runs();
  fp256::set_table_allocator(nullptr, nullptr);
  EXPECT_EQ(pubkey, 0);
  EXPECT_EQ(refused, nullptr);
  EXPECT_EQ(agreed, 0);
  EXPECT_EQ(agreement->shared, nullptr);
  EXPECT_EQ(after, before);
  ERR_clear_error();
  // With memory back the same key signs, and its signature verifies.
  ASSERT_EQ(ECGOST_generate_pubkey(signer.get()), 1);
  SigPtr sig(ECGOST_do_sign(digest, 32, signer.get()));
  ASSERT_NE(sig, nullptr);
  EXPECT_EQ(ECGOST_do_verify(digest, 32, sig.get(), signer.get()), 1);
}

}  // namespace
}  // namespace qcrypto
