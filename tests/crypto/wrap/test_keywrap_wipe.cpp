// Keys leave no copy in freed memory: every block released through OpenSSL's
// allocator or the C++ heap is scanned for the wrapped key, the shared secret
// and the derived KEK while keys are derived, wrapped and unwrapped, on the
// success paths and on the failing ones. The test keeps its own secrets on
// the stack. (Own process: the allocator hooks must be set before the first
// allocation.)
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/objects.h>

#include <algorithm>
#include <array>

#include "crypto/cclib/ossl_owners.h"
#include "crypto/err/err.h"
#include "crypto/rand/rand.h"
#include "crypto/rand/rand_fixed.h"
#include "crypto/wrap/keywrap.h"
#include "tests/support/freed_memory_scan.h"

namespace {

namespace scan = test_support::freed_scan;

template <std::size_t N>
std::array<unsigned char, N> filled(unsigned char seed) {
  std::array<unsigned char, N> a{};
  for (std::size_t i = 0; i < N; ++i) a[i] = static_cast<unsigned char>(seed + 29 * i);
  return a;
}

// Wraps and unwraps `key` under `kek`, then unwraps a tampered copy and
// unwraps into too small an output.
template <std::size_t K, std::size_t W>
void exercise(qcrypto::CMS_wrap_fn wrap, qcrypto::CMS_wrap_fn unwrap, const unsigned char* kek,
              std::array<unsigned char, K>& key) {
  static const std::array<unsigned char, 8> iv = {9, 8, 7, 6, 5, 4, 3, 2};
  qcrypto::RAND_fixed_set_bytes(iv);
  std::array<unsigned char, W> wrapped{};
  int wlen = static_cast<int>(W);
  ASSERT_EQ(wrap(kek, key.data(), static_cast<int>(K), wrapped.data(), &wlen, nullptr), 1);
  std::array<unsigned char, K> back{};
  int blen = static_cast<int>(K);
  ASSERT_EQ(unwrap(kek, wrapped.data(), wlen, back.data(), &blen, nullptr), 1);
  EXPECT_EQ(back, key);
  blen = 4;
  EXPECT_EQ(unwrap(kek, wrapped.data(), wlen, back.data(), &blen, nullptr), 0);
  wrapped[3] ^= 0x10;
  blen = static_cast<int>(K);
  EXPECT_EQ(unwrap(kek, wrapped.data(), wlen, back.data(), &blen, nullptr), 0);
  back.fill(0);
  qcrypto::ERR_clear_error();
}

TEST(KeyWrapWipe, ScannerSeesAnUnwipedKey) {
  ASSERT_TRUE(scan::installed());
  const auto key = filled<24>(0x41);
  scan::reset();
  scan::Watch(key.data(), key.size());
  auto* copy = static_cast<unsigned char*>(OPENSSL_malloc(key.size()));
  std::copy(key.begin(), key.end(), copy);
  OPENSSL_free(copy);  // not cleared: the scanner must notice
  EXPECT_GT(scan::hits(), 0);
  scan::reset();
}

TEST(KeyWrapWipe, KeysLeaveNoCopies) {
  ASSERT_TRUE(scan::installed());
  scan::scan_cxx_heap(true);
  qcrypto::RAND_set_rand_method(qcrypto::RAND_fixed_method());
  qcrypto::UniquePtr<EVP_MD> sha1(EVP_MD_fetch(nullptr, "SHA1", "provider=default"));
  qcrypto::UniquePtr<EVP_CIPHER> des3(EVP_CIPHER_fetch(nullptr, "DES-EDE3-CBC", "provider=default"));
  ASSERT_TRUE(sha1 && des3);

  const auto zz = filled<32>(0x13);
  std::array<unsigned char, 32> kek{};
  auto des_key = filled<24>(0x71);
  for (std::size_t i = 0; i < 24; i += 8) qcrypto::CMS_des_set_odd_parity(des_key.data() + i);
  auto gost_key = filled<32>(0x35);

  scan::reset();
  scan::Watch(zz.data(), 16);
  scan::Watch(des_key.data(), 16);
  scan::Watch(gost_key.data(), 16);
  ASSERT_EQ(
      qcrypto::X942_KEK_GENERATE(sha1.get(), zz.data(), 32, NID_id_smime_alg_CMS3DESwrap, kek.data(), 32, nullptr), 32);
  scan::Watch(kek.data(), 16);
  exercise<24, 40>(qcrypto::CMS_3des_wrap, qcrypto::CMS_3des_unwrap, kek.data(), des_key);
  exercise<32, 48>(qcrypto::CMS_gost_wrap, qcrypto::CMS_gost_unwrap, kek.data(), gost_key);

  std::array<unsigned char, 24> plain{};
  int plen = 24;
  ASSERT_EQ(qcrypto::CMS_dummy_wrap(kek.data(), des_key.data(), 24, plain.data(), &plen, des3.get()), 1);
  std::array<unsigned char, 24> back{};
  int blen = 24;
  ASSERT_EQ(qcrypto::CMS_dummy_unwrap(kek.data(), plain.data(), plen, back.data(), &blen, des3.get()), 1);
  EXPECT_EQ(back, des_key);
  blen = 8;
  EXPECT_EQ(qcrypto::CMS_dummy_unwrap(kek.data(), plain.data(), plen, back.data(), &blen, des3.get()), 0);
  back.fill(0);
  qcrypto::ERR_clear_error();
  EXPECT_EQ(scan::hits(), 0);
}

}  // namespace
