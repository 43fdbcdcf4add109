#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "crypto/cclib/ossl_owners.h"
#include "crypto/err/err.h"
#include "crypto/prov/evp_gost.h"
#include "crypto/rand/rand.h"
#include "crypto/rand/rand_fixed.h"
#include "crypto/rus/gost3411.h"
#include "crypto/wrap/keywrap.h"
#include "wrap_test_util.h"

namespace {

using qcrypto::ERR_PACK_CODE;
using qcrypto::ERRLIB_PKCS7;
using wrap_test::Bytes;
using wrap_test::drain_errors;
using wrap_test::hex;

// RFC 3217, section 3.3.
const Bytes kRfcKek = hex("255e0d1c07b646dfb3134cc843ba8aa71f025b7c0838251f");
const Bytes kRfcCek = hex("2923bf85e06dd6ae529149f1f1bae9eab3a7da3d860d3e98");
const Bytes kRfcIv = hex("5dd4cbfc96f5453b");
const Bytes kRfcWrapped = hex("690107618ef092b3b48ca1796b234ae9fa33ebb4159604037db5d6a84eb3aac2768c632775a467d4");

class KeyWrap : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(qcrypto::evp_provider_start(), 1);
    qcrypto::ERR_load_crypto_strings();
    qcrypto::RAND_set_rand_method(qcrypto::RAND_fixed_method());
  }
  void SetUp() override { qcrypto::ERR_clear_error(); }
  static void queue_iv(const Bytes& iv) { qcrypto::RAND_fixed_set_bytes(iv); }
};

struct Kind {
  const char* name;
  qcrypto::CMS_wrap_fn wrap;
  qcrypto::CMS_wrap_fn unwrap;
  int key_bytes;
  int kek_bytes;
  int wrapped_bytes;
  int wrap_func;
  int unwrap_func;
};

const Kind kKinds[] = {
    {"3des", qcrypto::CMS_3des_wrap, qcrypto::CMS_3des_unwrap, 24, 24, 40, qcrypto::PKCS7_F_CMS_3DES_WRAP,
     qcrypto::PKCS7_F_CMS_3DES_UNWRAP},
    {"gost", qcrypto::CMS_gost_wrap, qcrypto::CMS_gost_unwrap, 32, 32, 48, qcrypto::PKCS7_F_CMS_GOST_WRAP,
     qcrypto::PKCS7_F_CMS_GOST_UNWRAP},
};

Bytes pattern(int n, unsigned char seed) {
  Bytes b(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) b[static_cast<size_t>(i)] = static_cast<unsigned char>(seed + 37 * i);
  return b;
}

// Wraps `key` (odd-parity first, so the 3DES key stays the same) with a
// queued IV; returns the wrapped bytes.
Bytes wrap_ok(const Kind& k, const Bytes& kek, Bytes key) {
  qcrypto::RAND_fixed_set_bytes(pattern(8, 0x11));
  Bytes out(static_cast<size_t>(k.wrapped_bytes));
  int outlen = static_cast<int>(out.size());
  EXPECT_EQ(k.wrap(kek.data(), key.data(), static_cast<int>(key.size()), out.data(), &outlen, nullptr), 1) << k.name;
  EXPECT_EQ(outlen, k.wrapped_bytes);
  return out;
}

Bytes odd_key(const Kind& k) {
  Bytes key = pattern(k.key_bytes, 0x5a);
  for (size_t i = 0; i < key.size(); i += 8) qcrypto::CMS_des_set_odd_parity(key.data() + i);
  return key;
}

TEST_F(KeyWrap, TripleDesReproducesRfcExample) {
  queue_iv(kRfcIv);
  Bytes cek = kRfcCek;
  std::array<unsigned char, 40> out{};
  int outlen = 40;
  ASSERT_EQ(qcrypto::CMS_3des_wrap(kRfcKek.data(), cek.data(), 24, out.data(), &outlen, nullptr), 1);
  EXPECT_EQ(outlen, 40);
  EXPECT_EQ(Bytes(out.begin(), out.end()), kRfcWrapped);
  EXPECT_EQ(qcrypto::RAND_fixed_remaining(), 0U);

  Bytes in = kRfcWrapped;
  std::array<unsigned char, 24> key{};
  int keylen = 24;
  ASSERT_EQ(qcrypto::CMS_3des_unwrap(kRfcKek.data(), in.data(), 40, key.data(), &keylen, nullptr), 1);
  EXPECT_EQ(keylen, 24);
  EXPECT_EQ(Bytes(key.begin(), key.end()), kRfcCek);
}

TEST_F(KeyWrap, TripleDesForcesParityOnCallersKey) {
  // The RFC key with every parity bit flipped: even parity on every byte.
  Bytes cek = kRfcCek;
  for (auto& b : cek) b ^= 1U;
  for (size_t i = 0; i < 24; i += 8) ASSERT_EQ(qcrypto::CMS_des_check_parity(cek.data() + i), 0);
  queue_iv(kRfcIv);
  std::array<unsigned char, 40> out{};
  int outlen = 40;
  ASSERT_EQ(qcrypto::CMS_3des_wrap(kRfcKek.data(), cek.data(), 24, out.data(), &outlen, nullptr), 1);
  EXPECT_EQ(cek, kRfcCek);
  EXPECT_EQ(Bytes(out.begin(), out.end()), kRfcWrapped);
}

TEST_F(KeyWrap, ParityHelpersAgreeWithBitCount) {
  for (int v = 0; v < 256; ++v) {
    std::array<unsigned char, 8> k{};
    k.fill(static_cast<unsigned char>(v));
    const bool odd = (__builtin_popcount(static_cast<unsigned>(v)) & 1) == 1;
    EXPECT_EQ(qcrypto::CMS_des_check_parity(k.data()), odd ? 1 : 0) << v;
    qcrypto::CMS_des_set_odd_parity(k.data());
    EXPECT_EQ(__builtin_popcount(k[0]) & 1, 1) << v;
    EXPECT_EQ(k[0] & 0xfe, v & 0xfe) << v;  // only the parity bit may change
    EXPECT_EQ(qcrypto::CMS_des_check_parity(k.data()), 1);
  }
  std::array<unsigned char, 8> mixed = {0x01, 0x02, 0x04, 0x07, 0x08, 0x0b, 0x0d, 0x0e};
  EXPECT_EQ(qcrypto::CMS_des_check_parity(mixed.data()), 1);
  mixed[7] = 0x0f;
  EXPECT_EQ(qcrypto::CMS_des_check_parity(mixed.data()), 0);
}

TEST_F(KeyWrap, OpenSslUnwrapsOurTripleDesWrapAndBack) {
  const Bytes kek = pattern(24, 0x33);
  const Kind& k = kKinds[0];
  const Bytes key = odd_key(k);
  const Bytes ours = wrap_ok(k, kek, key);

  qcrypto::UniquePtr<EVP_CIPHER> w(EVP_CIPHER_fetch(nullptr, "DES3-WRAP", "provider=default"));
  ASSERT_TRUE(w);
  qcrypto::UniquePtr<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
  ASSERT_EQ(EVP_DecryptInit_ex(ctx.get(), w.get(), nullptr, kek.data(), nullptr), 1);
  Bytes plain(64);
  int n = 0;
  ASSERT_EQ(EVP_DecryptUpdate(ctx.get(), plain.data(), &n, ours.data(), 40), 1);
  plain.resize(static_cast<size_t>(n));
  EXPECT_EQ(plain, key);

  // OpenSSL's wrap, our unwrap.
  ctx.reset(EVP_CIPHER_CTX_new());
  ASSERT_EQ(EVP_EncryptInit_ex(ctx.get(), w.get(), nullptr, kek.data(), nullptr), 1);
  Bytes theirs(64);
  ASSERT_EQ(EVP_EncryptUpdate(ctx.get(), theirs.data(), &n, key.data(), 24), 1);
  ASSERT_EQ(n, 40);
  std::array<unsigned char, 24> back{};
  int backlen = 24;
  ASSERT_EQ(qcrypto::CMS_3des_unwrap(kek.data(), theirs.data(), 40, back.data(), &backlen, nullptr), 1);
  EXPECT_EQ(Bytes(back.begin(), back.end()), key);
}

// The GOST wrap taken apart with the provider's RUS-GAMMAR and the hash.
TEST_F(KeyWrap, GostWrapHasTheDocumentedLayout) {
  const Kind& k = kKinds[1];
  const Bytes kek = pattern(32, 0x77);
  const Bytes key = pattern(32, 0x03);
  const Bytes wrapped = wrap_ok(k, kek, key);
  auto cfb_decrypt = [&](const unsigned char* iv, const unsigned char* in, int len) {
    qcrypto::UniquePtr<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
    Bytes out(static_cast<size_t>(len) + 8);
    int n = 0;
    int f = 0;
    EXPECT_EQ(EVP_DecryptInit_ex(ctx.get(), qcrypto::EVP_rus_gammar(), nullptr, kek.data(), iv), 1);
    EXPECT_EQ(EVP_DecryptUpdate(ctx.get(), out.data(), &n, in, len), 1);
    EXPECT_EQ(EVP_DecryptFinal_ex(ctx.get(), out.data() + n, &f), 1);
    out.resize(static_cast<size_t>(n) + static_cast<size_t>(f));
    return out;
  };
  const Bytes fixed_iv = hex("4adda22c79e82105");
  Bytes temp = cfb_decrypt(fixed_iv.data(), wrapped.data(), 48);
  ASSERT_EQ(temp.size(), 48U);
  std::reverse(temp.begin(), temp.end());
  EXPECT_EQ(Bytes(temp.begin(), temp.begin() + 8), pattern(8, 0x11));  // the drawn IV
  const Bytes body = cfb_decrypt(temp.data(), temp.data() + 8, 40);
  ASSERT_EQ(body.size(), 40U);
  EXPECT_EQ(Bytes(body.begin(), body.begin() + 32), key);
  std::array<unsigned char, 32> h{};
  ASSERT_NE(qcrypto::GOSTH_digest(key.data(), 32, nullptr, nullptr, h.data()), nullptr);
  EXPECT_EQ(Bytes(body.begin() + 32, body.end()), Bytes(h.begin(), h.begin() + 8));
}

TEST_F(KeyWrap, RoundTripAndEveryTamperedByteFailsTheCheck) {
  for (const Kind& k : kKinds) {
    const Bytes kek = pattern(k.kek_bytes, 0x21);
    const Bytes key = odd_key(k);
    const Bytes wrapped = wrap_ok(k, kek, key);
    Bytes in = wrapped;
    Bytes back(static_cast<size_t>(k.key_bytes));
    int backlen = k.key_bytes;
    ASSERT_EQ(k.unwrap(kek.data(), in.data(), k.wrapped_bytes, back.data(), &backlen, nullptr), 1) << k.name;
    EXPECT_EQ(back, key) << k.name;

    for (int i = 0; i < k.wrapped_bytes; ++i) {
      for (unsigned char flip : {0x01, 0x80}) {
        Bytes bad = wrapped;
        bad[static_cast<size_t>(i)] ^= flip;
        Bytes out(static_cast<size_t>(k.key_bytes), 0xee);
        int outlen = k.key_bytes;
        qcrypto::ERR_clear_error();
        EXPECT_EQ(k.unwrap(kek.data(), bad.data(), k.wrapped_bytes, out.data(), &outlen, nullptr), 0)
            << k.name << " byte " << i;
        EXPECT_EQ(out, Bytes(static_cast<size_t>(k.key_bytes), 0xee)) << "output touched on failure";
        const auto codes = drain_errors();
        ASSERT_EQ(codes.size(), 2U);
        EXPECT_EQ(codes[0], ERR_PACK_CODE(ERRLIB_PKCS7, k.unwrap_func, qcrypto::PKCS7_R_ICV_FAILURE));
        EXPECT_EQ(codes[1], ERR_PACK_CODE(ERRLIB_PKCS7, k.unwrap_func, qcrypto::ERR_R_MEMORY_ALLOC));
      }
    }
    // A wrong KEK is caught by the same check.
    Bytes other = kek;
    other[5] ^= 0x40;
    EXPECT_EQ(k.unwrap(other.data(), in.data(), k.wrapped_bytes, back.data(), &backlen, nullptr), 0);
    EXPECT_EQ(qcrypto::ERR_GET_REASON_CODE(qcrypto::ERR_get_error()), qcrypto::PKCS7_R_ICV_FAILURE);
  }
  EXPECT_NE(std::string(qcrypto::ERR_reason_error_string(ERR_PACK_CODE(ERRLIB_PKCS7, 0, qcrypto::PKCS7_R_ICV_FAILURE))),
            "");
  EXPECT_STREQ(qcrypto::ERR_reason_error_string(ERR_PACK_CODE(ERRLIB_PKCS7, 0, qcrypto::PKCS7_R_ICV_FAILURE)),
               "integrity check value failure");
}

TEST_F(KeyWrap, TripleDesUnwrapRefusesEvenParityKey) {
  // OpenSSL's wrap does not force parity, so it can carry an even-parity key
  // with a correct check value.
  const Bytes kek = pattern(24, 0x44);
  Bytes key = odd_key(kKinds[0]);
  key[17] ^= 1U;
  qcrypto::UniquePtr<EVP_CIPHER> w(EVP_CIPHER_fetch(nullptr, "DES3-WRAP", "provider=default"));
  ASSERT_TRUE(w);
  qcrypto::UniquePtr<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
  ASSERT_EQ(EVP_EncryptInit_ex(ctx.get(), w.get(), nullptr, kek.data(), nullptr), 1);
  Bytes wrapped(64);
  int n = 0;
  ASSERT_EQ(EVP_EncryptUpdate(ctx.get(), wrapped.data(), &n, key.data(), 24), 1);
  std::array<unsigned char, 24> out{};
  int outlen = 24;
  EXPECT_EQ(qcrypto::CMS_3des_unwrap(kek.data(), wrapped.data(), 40, out.data(), &outlen, nullptr), 0);
  const auto codes = drain_errors();
  ASSERT_EQ(codes.size(), 2U);
  EXPECT_EQ(codes[0], ERR_PACK_CODE(ERRLIB_PKCS7, qcrypto::PKCS7_F_CMS_3DES_UNWRAP, qcrypto::PKCS7_R_BAD_KEY_PARITY));
}

TEST_F(KeyWrap, WrongLengthsAndSmallOutputsAreRefused) {
  for (const Kind& k : kKinds) {
    const Bytes kek = pattern(k.kek_bytes, 0x09);
    Bytes buf(100, 0x5c);
    Bytes out(100);
    for (int len : {0, k.key_bytes - 1, k.key_bytes + 1, k.wrapped_bytes}) {
      int outlen = 100;
      EXPECT_EQ(k.wrap(kek.data(), buf.data(), len, out.data(), &outlen, nullptr), 0) << k.name << len;
      const auto codes = drain_errors();
      ASSERT_EQ(codes.size(), 2U);
      EXPECT_EQ(codes[0], ERR_PACK_CODE(ERRLIB_PKCS7, k.wrap_func, qcrypto::PKCS7_R_WRONG_KEY_LENGTH));
      EXPECT_EQ(codes[1], ERR_PACK_CODE(ERRLIB_PKCS7, k.wrap_func, qcrypto::ERR_R_MEMORY_ALLOC));
    }
    for (int len : {0, 8, k.wrapped_bytes - 1, k.wrapped_bytes + 1, k.key_bytes}) {
      int outlen = 100;
      EXPECT_EQ(k.unwrap(kek.data(), buf.data(), len, out.data(), &outlen, nullptr), 0) << k.name << len;
      const auto codes = drain_errors();
      ASSERT_EQ(codes.size(), 2U);
      EXPECT_EQ(codes[0], ERR_PACK_CODE(ERRLIB_PKCS7, k.unwrap_func, qcrypto::PKCS7_R_WRONG_KEY_LENGTH));
    }
    // Missing or small output: the size needed comes back.
    Bytes key = odd_key(k);
    for (bool with_out : {false, true}) {
      int outlen = 10;
      EXPECT_EQ(k.wrap(kek.data(), key.data(), k.key_bytes, with_out ? out.data() : nullptr, &outlen, nullptr), 0);
      EXPECT_EQ(outlen, k.wrapped_bytes);
      const auto codes = drain_errors();
      ASSERT_EQ(codes.size(), 2U);
      EXPECT_EQ(codes[0], ERR_PACK_CODE(ERRLIB_PKCS7, k.wrap_func, qcrypto::PKCS7_R_OUTPUT_TOO_SMALL));
    }
    Bytes wrapped = wrap_ok(k, kek, key);
    int outlen = k.key_bytes - 1;
    EXPECT_EQ(k.unwrap(kek.data(), wrapped.data(), k.wrapped_bytes, out.data(), &outlen, nullptr), 0);
    EXPECT_EQ(outlen, k.key_bytes);
    EXPECT_EQ(qcrypto::ERR_GET_REASON_CODE(qcrypto::ERR_get_error()), qcrypto::PKCS7_R_OUTPUT_TOO_SMALL);
    qcrypto::ERR_clear_error();
    // No size word at all is refused, not dereferenced.
    EXPECT_EQ(k.unwrap(kek.data(), wrapped.data(), k.wrapped_bytes, out.data(), nullptr, nullptr), 0);
    EXPECT_EQ(k.wrap(kek.data(), key.data(), k.key_bytes, out.data(), nullptr, nullptr), 0);
    const auto codes = drain_errors();
    ASSERT_EQ(codes.size(), 4U);
    EXPECT_EQ(codes[0], ERR_PACK_CODE(ERRLIB_PKCS7, k.unwrap_func, qcrypto::ERR_R_PASSED_NULL));
    EXPECT_EQ(codes[2], ERR_PACK_CODE(ERRLIB_PKCS7, k.wrap_func, qcrypto::ERR_R_PASSED_NULL));
  }
}

TEST_F(KeyWrap, WrapFailsWhenNoRandomIvCanBeDrawn) {
  for (const Kind& k : kKinds) {
    qcrypto::RAND_fixed_set_bytes({});
    const Bytes kek = pattern(k.kek_bytes, 0x19);
    Bytes key = odd_key(k);
    Bytes out(64, 0);
    int outlen = 64;
    EXPECT_EQ(k.wrap(kek.data(), key.data(), k.key_bytes, out.data(), &outlen, nullptr), 0);
    EXPECT_EQ(out, Bytes(64, 0));
    bool saw = false;
    for (unsigned long e : drain_errors()) {
      saw = saw || e == ERR_PACK_CODE(ERRLIB_PKCS7, k.wrap_func, qcrypto::ERR_R_MEMORY_ALLOC);
    }
    EXPECT_TRUE(saw) << k.name;
  }
}

TEST_F(KeyWrap, DummyWrapIsPlainZeroIvEncryption) {
  struct Case {
    const char* cipher;
    int len;
    int want;
  };
  for (const Case& c : {Case{"DES-EDE3-CBC", 24, 24}, Case{"DES-EDE3-CBC", 20, 24}, Case{"AES-128-CBC", 16, 16},
                        Case{"AES-128-CFB", 13, 13}}) {
    qcrypto::UniquePtr<EVP_CIPHER> cipher(EVP_CIPHER_fetch(nullptr, c.cipher, "provider=default"));
    ASSERT_TRUE(cipher);
    const Bytes kek = pattern(EVP_CIPHER_get_key_length(cipher.get()), 0x61);
    Bytes key = pattern(c.len, 0x02);
    Bytes out(64);
    int outlen = 4;
    EXPECT_EQ(qcrypto::CMS_dummy_wrap(kek.data(), key.data(), c.len, out.data(), &outlen, cipher.get()), 0);
    EXPECT_EQ(outlen, c.want);
    qcrypto::ERR_clear_error();
    outlen = 64;
    ASSERT_EQ(qcrypto::CMS_dummy_wrap(kek.data(), key.data(), c.len, out.data(), &outlen, cipher.get()), 1);
    ASSERT_EQ(outlen, c.want);
    out.resize(static_cast<size_t>(outlen));

    // The same bytes straight from EVP with a zero IV and the key zero-filled.
    Bytes padded = key;
    padded.resize(static_cast<size_t>(c.want), 0);
    qcrypto::UniquePtr<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
    const std::array<unsigned char, 16> zero{};
    ASSERT_EQ(EVP_EncryptInit_ex(ctx.get(), cipher.get(), nullptr, kek.data(), zero.data()), 1);
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    Bytes ref(64);
    int n = 0;
    ASSERT_EQ(EVP_EncryptUpdate(ctx.get(), ref.data(), &n, padded.data(), c.want), 1);
    ref.resize(static_cast<size_t>(n));
    EXPECT_EQ(out, ref) << c.cipher;

    Bytes back(64);
    int backlen = 64;
    ASSERT_EQ(qcrypto::CMS_dummy_unwrap(kek.data(), out.data(), outlen, back.data(), &backlen, cipher.get()), 1);
    back.resize(static_cast<size_t>(backlen));
    EXPECT_EQ(back, padded);
    backlen = 2;
    EXPECT_EQ(qcrypto::CMS_dummy_unwrap(kek.data(), out.data(), outlen, back.data(), &backlen, cipher.get()), 0);
    EXPECT_EQ(backlen, c.want);
    qcrypto::ERR_clear_error();
  }
}

TEST_F(KeyWrap, DummyRefusesMissingOutputAndHostileLengths) {
  qcrypto::UniquePtr<EVP_CIPHER> cipher(EVP_CIPHER_fetch(nullptr, "DES-EDE3-CBC", "provider=default"));
  const Bytes kek = pattern(24, 0x61);
  Bytes in(2048, 0x10);
  int outlen = 64;
  EXPECT_EQ(qcrypto::CMS_dummy_wrap(kek.data(), in.data(), 24, nullptr, &outlen, cipher.get()), 0);
  auto codes = drain_errors();
  ASSERT_EQ(codes.size(), 1U);
  EXPECT_EQ(codes[0], ERR_PACK_CODE(ERRLIB_PKCS7, qcrypto::PKCS7_F_CMS_DUMMY_WRAP, qcrypto::ERR_R_MEMORY_ALLOC));

  Bytes out(4096);
  for (int len : {-1, 0, 13, 1025, 2048}) {
    outlen = 4096;
    EXPECT_EQ(qcrypto::CMS_dummy_unwrap(kek.data(), in.data(), len, out.data(), &outlen, cipher.get()), 0) << len;
    codes = drain_errors();
    // The cipher's own complaint (a partial block) may come first; ours ends the queue.
    ASSERT_GE(codes.size(), 2U);
    EXPECT_EQ(codes.back(),
              ERR_PACK_CODE(ERRLIB_PKCS7, qcrypto::PKCS7_F_CMS_DUMMY_UNWRAP, qcrypto::ERR_R_MEMORY_ALLOC));
    if (len != 13) {
      EXPECT_EQ(codes[codes.size() - 2],
                ERR_PACK_CODE(ERRLIB_PKCS7, qcrypto::PKCS7_F_CMS_DUMMY_UNWRAP, qcrypto::PKCS7_R_WRONG_KEY_LENGTH))
          << len;
    }
  }
}

}  // namespace
