// The GOST ciphers and digests reached through OpenSSL 3 (the library's own
// provider) against the direct calls of crypto/rus.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/provider.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "crypto/cclib/ossl_owners.h"
#include "crypto/evp/objects.h"
#include "crypto/prov/evp_gost.h"
#include "crypto/rus/gost28147.h"
#include "crypto/rus/gost3411.h"

namespace qcrypto {
namespace {

using Bytes = std::vector<unsigned char>;

template <class T>
using Ptr = UniquePtr<T>;

std::mt19937& rng() {
  static std::mt19937 r = [] {
    const unsigned seed = std::random_device{}();
    std::printf("random seed %u\n", seed);
    return std::mt19937(seed);
  }();
  return r;
}

Bytes random_bytes(size_t n) {
  Bytes b(n);
  for (auto& c : b) c = static_cast<unsigned char>(rng()());
  return b;
}

size_t random_below(size_t n) { return n == 0 ? 0 : std::uniform_int_distribution<size_t>(0, n - 1)(rng()); }

// Random cut points splitting [0, n) into pieces, some of them empty.
std::vector<size_t> random_cuts(size_t n) {
  std::vector<size_t> cuts{0, n};
  const size_t k = random_below(6);
  for (size_t i = 0; i < k; ++i) cuts.push_back(random_below(n + 1));
  std::sort(cuts.begin(), cuts.end());
  return cuts;
}

// Lengths around the block sizes and the multi-block paths, plus random ones.
std::vector<size_t> test_lengths() {
  std::vector<size_t> v{0, 1, 7, 8, 9, 31, 32, 33, 63, 64, 65, 4096, 8192 + 5};
  for (int i = 0; i < 20; ++i) v.push_back(random_below(3000));
  return v;
}

const char* provider_of(const EVP_MD* md) { return OSSL_PROVIDER_get0_name(EVP_MD_get0_provider(md)); }
const char* provider_of(const EVP_CIPHER* c) { return OSSL_PROVIDER_get0_name(EVP_CIPHER_get0_provider(c)); }

// ---------------------------------------------------------------- names

struct CipherName {
  const char* name;
  const EVP_CIPHER* (*getter)();
};
struct DigestName {
  const char* name;
  const EVP_MD* (*getter)();
};

const CipherName kCipherNames[] = {
    {"RUS-CHANGE", EVP_rus_change},
    {"rus-change", EVP_rus_change},
    {"rus-ecb", EVP_rus_change},
    {"rus-simple", EVP_rus_change},
    {"1.3.6.1.4.1.6173.1.1.1", EVP_rus_change},
    {"RUS-GAMMA", EVP_rus_gamma},
    {"rus-gamma", EVP_rus_gamma},
    {"1.3.6.1.4.1.6173.1.1.2", EVP_rus_gamma},
    {"RUS-GAMMAR", EVP_rus_gammar},
    {"rus-gammar", EVP_rus_gammar},
    {"rus-gfb", EVP_rus_gammar},
    {"rus-gamma-fb", EVP_rus_gammar},
    {"rus-gamma-r", EVP_rus_gammar},
    {"1.3.6.1.4.1.6173.1.1.3", EVP_rus_gammar},
};

const DigestName kDigestNames[] = {
    {"RUS-HASH", EVP_rus_hash},
    {"rus-hash", EVP_rus_hash},
    {"r3411", EVP_rus_hash},
    {"rush", EVP_rus_hash},
    {"R3410-R3411", EVP_rus_hash},
    {"r3410WithR3411", EVP_rus_hash},
    {"1.3.6.1.4.1.6173.1.2.1", EVP_rus_hash},
    {"ECR3410-R3411", EVP_ecr3410},
    {"ecr3410WithR3411", EVP_ecr3410},
    {"ECR3410", EVP_ecr3410},
    {"ecr3410", EVP_ecr3410},
    {"1.3.6.1.4.1.6173.1.3.2", EVP_ecr3410},
};

TEST(EvpProvider, EveryCipherNameFindsOnlyOurMethod) {
  ASSERT_EQ(evp_provider_start(), 1);
  for (const auto& c : kCipherNames) {
    SCOPED_TRACE(c.name);
    const EVP_CIPHER* expected = c.getter();
    ASSERT_NE(expected, nullptr);
    Ptr<EVP_CIPHER> any(EVP_CIPHER_fetch(nullptr, c.name, nullptr));
    ASSERT_NE(any, nullptr);
    EXPECT_STREQ(provider_of(any.get()), "dossar");
    EXPECT_STREQ(EVP_CIPHER_get0_name(any.get()), EVP_CIPHER_get0_name(expected));
    EXPECT_TRUE(EVP_CIPHER_is_a(expected, c.name));
    Ptr<EVP_CIPHER> via_table(evp_cipher_fetch(c.name));
    ASSERT_NE(via_table, nullptr);
    EXPECT_STREQ(EVP_CIPHER_get0_name(via_table.get()), EVP_CIPHER_get0_name(expected));
    // No other loaded provider offers the name.
    ERR_set_mark();
    Ptr<EVP_CIPHER> other(EVP_CIPHER_fetch(nullptr, c.name, "provider=default"));
    ERR_pop_to_mark();
    EXPECT_EQ(other, nullptr);
  }
  // The three getters are three different ciphers.
  EXPECT_FALSE(EVP_CIPHER_is_a(EVP_rus_change(), "RUS-GAMMA"));
  EXPECT_FALSE(EVP_CIPHER_is_a(EVP_rus_gamma(), "RUS-GAMMAR"));
  EXPECT_FALSE(EVP_CIPHER_is_a(EVP_rus_gammar(), "RUS-CHANGE"));
}

TEST(EvpProvider, EveryDigestNameFindsOnlyOurMethod) {
  for (const auto& d : kDigestNames) {
    SCOPED_TRACE(d.name);
    const EVP_MD* expected = d.getter();
    ASSERT_NE(expected, nullptr);
    Ptr<EVP_MD> any(EVP_MD_fetch(nullptr, d.name, nullptr));
    ASSERT_NE(any, nullptr);
    EXPECT_STREQ(provider_of(any.get()), "dossar");
    EXPECT_STREQ(EVP_MD_get0_name(any.get()), EVP_MD_get0_name(expected));
    EXPECT_TRUE(EVP_MD_is_a(expected, d.name));
    Ptr<EVP_MD> via_table(evp_md_fetch(d.name));
    ASSERT_NE(via_table, nullptr);
    EXPECT_STREQ(EVP_MD_get0_name(via_table.get()), EVP_MD_get0_name(expected));
    ERR_set_mark();
    Ptr<EVP_MD> other(EVP_MD_fetch(nullptr, d.name, "provider=default"));
    ERR_pop_to_mark();
    EXPECT_EQ(other, nullptr);
  }
  EXPECT_FALSE(EVP_MD_is_a(EVP_rus_hash(), "ECR3410-R3411"));
  EXPECT_NE(EVP_rus_hash(), EVP_ecr3410());
}

TEST(EvpProvider, MethodShapes) {
  struct Shape {
    const EVP_CIPHER* c;
    int block, key, iv, mode;
  };
  for (const auto& s :
       {Shape{EVP_rus_change(), 8, 32, 0, EVP_CIPH_ECB_MODE}, Shape{EVP_rus_gamma(), 1, 32, 8, EVP_CIPH_CTR_MODE},
        Shape{EVP_rus_gammar(), 1, 32, 8, EVP_CIPH_CFB_MODE}}) {
    SCOPED_TRACE(EVP_CIPHER_get0_name(s.c));
    EXPECT_EQ(EVP_CIPHER_get_block_size(s.c), s.block);
    EXPECT_EQ(EVP_CIPHER_get_key_length(s.c), s.key);
    EXPECT_EQ(EVP_CIPHER_get_iv_length(s.c), s.iv);
    EXPECT_EQ(EVP_CIPHER_get_mode(s.c), s.mode);
  }
  for (const EVP_MD* md : {EVP_rus_hash(), EVP_ecr3410()}) {
    EXPECT_EQ(EVP_MD_get_size(md), 32);
    EXPECT_EQ(EVP_MD_get_block_size(md), 32);
  }
}

TEST(EvpProvider, ThreeDesWrapIsDesEde3CbcThroughOurTable) {
  for (const char* name : {"3DES-WRAP", "1.2.840.113549.1.9.16.3.6"}) {
    SCOPED_TRACE(name);
    Ptr<EVP_CIPHER> c(evp_cipher_fetch(name));
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(EVP_CIPHER_is_a(c.get(), "DES-EDE3-CBC"));
    EXPECT_EQ(EVP_CIPHER_get_mode(c.get()), EVP_CIPH_CBC_MODE);
  }
  // OpenSSL's own object of that OID is its key-wrap cipher: not what the system means.
  Ptr<EVP_CIPHER> stock(EVP_CIPHER_fetch(nullptr, "1.2.840.113549.1.9.16.3.6", nullptr));
  ASSERT_NE(stock, nullptr);
  EXPECT_FALSE(EVP_CIPHER_is_a(stock.get(), "DES-EDE3-CBC"));
  // Names the system does not own still resolve as OpenSSL has them.
  Ptr<EVP_CIPHER> aes(evp_cipher_fetch("AES-128-CBC"));
  ASSERT_NE(aes, nullptr);
  EXPECT_STREQ(provider_of(aes.get()), "default");
  Ptr<EVP_MD> sha(evp_md_fetch("SHA256"));
  ASSERT_NE(sha, nullptr);
  EXPECT_EQ(evp_md_fetch("no-such-digest"), nullptr);
  EXPECT_EQ(evp_cipher_fetch(nullptr), nullptr);
}

// ---------------------------------------------------------------- digests

Bytes direct_hash(const Bytes& data) {
  Bytes out(32);
  GOSTH_CTX ctx{};
  EXPECT_EQ(GOSTH_init(&ctx, nullptr, nullptr), 1);
  if (!data.empty()) {
    EXPECT_EQ(GOSTH_update(&ctx, data.data(), static_cast<int>(data.size())), static_cast<int>(data.size()));
  }
  EXPECT_EQ(GOSTH_final(&ctx, out.data()), 32);
  GOSTH_clear(&ctx);
  return out;
}

Bytes evp_hash_split(const EVP_MD* md, const Bytes& data, const std::vector<size_t>& cuts) {
  Ptr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  EXPECT_EQ(EVP_DigestInit_ex(ctx.get(), md, nullptr), 1);
  for (size_t i = 0; i + 1 < cuts.size(); ++i)
    EXPECT_EQ(EVP_DigestUpdate(ctx.get(), data.data() + cuts[i], cuts[i + 1] - cuts[i]), 1);
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned len = 0;
  EXPECT_EQ(EVP_DigestFinal_ex(ctx.get(), out.data(), &len), 1);
  out.resize(len);
  return out;
}

TEST(EvpProvider, DigestsMatchDirectHashOverRandomSplits) {
  for (const EVP_MD* md : {EVP_rus_hash(), EVP_ecr3410()}) {
    for (size_t n : test_lengths()) {
      const Bytes data = random_bytes(n);
      const auto cuts = random_cuts(n);
      SCOPED_TRACE(testing::Message() << EVP_MD_get0_name(md) << " length " << n << " pieces " << cuts.size() - 1);
      EXPECT_EQ(evp_hash_split(md, data, cuts), direct_hash(data));
    }
  }
  // One-shot EVP_Digest on the same data.
  const Bytes data = random_bytes(1000);
  Bytes out(32);
  unsigned len = 0;
  ASSERT_EQ(EVP_Digest(data.data(), data.size(), out.data(), &len, EVP_rus_hash(), nullptr), 1);
  EXPECT_EQ(len, 32u);
  EXPECT_EQ(out, direct_hash(data));
}

TEST(EvpProvider, DigestContextDuplicatedMidStreamContinuesIndependently) {
  const Bytes data = random_bytes(300);
  const size_t cut = 1 + random_below(data.size() - 1);
  Ptr<EVP_MD_CTX> a(EVP_MD_CTX_new()), b(EVP_MD_CTX_new());
  ASSERT_EQ(EVP_DigestInit_ex(a.get(), EVP_rus_hash(), nullptr), 1);
  ASSERT_EQ(EVP_DigestUpdate(a.get(), data.data(), cut), 1);
  ASSERT_EQ(EVP_MD_CTX_copy_ex(b.get(), a.get()), 1);
  // a ends with the rest of the data, b with a different tail.
  const Bytes other_tail = random_bytes(77);
  ASSERT_EQ(EVP_DigestUpdate(a.get(), data.data() + cut, data.size() - cut), 1);
  ASSERT_EQ(EVP_DigestUpdate(b.get(), other_tail.data(), other_tail.size()), 1);
  Bytes da(32), db(32);
  ASSERT_EQ(EVP_DigestFinal_ex(a.get(), da.data(), nullptr), 1);
  ASSERT_EQ(EVP_DigestFinal_ex(b.get(), db.data(), nullptr), 1);
  Bytes b_msg(data.begin(), data.begin() + static_cast<long>(cut));
  b_msg.insert(b_msg.end(), other_tail.begin(), other_tail.end());
  EXPECT_EQ(da, direct_hash(data));
  EXPECT_EQ(db, direct_hash(b_msg));
}

// ---------------------------------------------------------------- ciphers

enum class Mode { kChange, kGamma, kGammar };

const EVP_CIPHER* cipher_of(Mode m) {
  switch (m) {
    case Mode::kChange:
      return EVP_rus_change();
    case Mode::kGamma:
      return EVP_rus_gamma();
    case Mode::kGammar:
      return EVP_rus_gammar();
  }
  return nullptr;
}

// The direct call over the whole buffer at once.
Bytes direct_cipher(Mode m, bool enc, const Bytes& key, const Bytes& iv, const Bytes& in) {
  Bytes out(in.size());
  GOSTE_CTX ctx{};
  const int n = static_cast<int>(in.size());
  switch (m) {
    case Mode::kChange:
      EXPECT_EQ(GOSTE_ss_init(&ctx, enc ? 1 : 0, key.data(), nullptr), 1);
      if (n > 0) {
        EXPECT_EQ(GOSTE_ss_cipher(&ctx, in.data(), out.data(), n), n);
      }
      break;
    case Mode::kGamma:
      EXPECT_EQ(GOSTE_gamma_init(&ctx, key.data(), iv.data(), nullptr), 1);
      if (n > 0) {
        EXPECT_EQ(GOSTE_gamma_update(&ctx, in.data(), out.data(), n), n);
      }
      break;
    case Mode::kGammar:
      EXPECT_EQ(GOSTE_gamma_fb_init(&ctx, key.data(), iv.data(), nullptr), 1);
      if (n > 0) {
        EXPECT_EQ(enc ? GOSTE_gamma_fbe_update(&ctx, in.data(), out.data(), n)
                      : GOSTE_gamma_fbd_update(&ctx, in.data(), out.data(), n),
                  n);
      }
      break;
  }
  GOSTE_clear(&ctx);
  return out;
}

// EVP over the pieces given by cuts; in_place feeds each piece from the
// output buffer itself.
Bytes evp_cipher_split(const EVP_CIPHER* c, bool enc, bool pad, const Bytes& key, const Bytes& iv, const Bytes& in,
                       const std::vector<size_t>& cuts, bool in_place) {
  Ptr<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
  EXPECT_EQ(EVP_CipherInit_ex(ctx.get(), c, nullptr, key.data(), iv.empty() ? nullptr : iv.data(), enc ? 1 : 0), 1);
  EXPECT_EQ(EVP_CIPHER_CTX_set_padding(ctx.get(), pad ? 1 : 0), 1);
  Bytes out(in.size() + 16);
  size_t done = 0;
  for (size_t i = 0; i + 1 < cuts.size(); ++i) {
    const size_t len = cuts[i + 1] - cuts[i];
    int outl = 0;
    const unsigned char* src = in.data() + cuts[i];
    if (in_place && len > 0) {
      // The piece is put where its output goes; the output runs behind the input by the held-back bytes.
      std::memmove(out.data() + done, src, len);
      src = out.data() + done;
    }
    EXPECT_EQ(EVP_CipherUpdate(ctx.get(), out.data() + done, &outl, src, static_cast<int>(len)), 1);
    done += static_cast<size_t>(outl);
  }
  int outl = 0;
  const int fin = EVP_CipherFinal_ex(ctx.get(), out.data() + done, &outl);
  if (fin != 1) return {};
  done += static_cast<size_t>(outl);
  out.resize(done);
  return out;
}

Bytes pkcs_pad(Bytes b) {
  const size_t n = 8 - b.size() % 8;
  b.insert(b.end(), n, static_cast<unsigned char>(n));
  return b;
}

TEST(EvpProvider, StreamCiphersMatchDirectCallsOverRandomSplits) {
  for (Mode m : {Mode::kGamma, Mode::kGammar}) {
    for (bool enc : {true, false}) {
      for (size_t n : test_lengths()) {
        const Bytes key = random_bytes(32), iv = random_bytes(8), data = random_bytes(n);
        const auto cuts = random_cuts(n);
        const bool in_place = random_below(2) == 1;
        SCOPED_TRACE(testing::Message() << EVP_CIPHER_get0_name(cipher_of(m)) << (enc ? " enc" : " dec") << " length "
                                        << n << (in_place ? " in place" : ""));
        EXPECT_EQ(evp_cipher_split(cipher_of(m), enc, true, key, iv, data, cuts, in_place),
                  direct_cipher(m, enc, key, iv, data));
      }
    }
  }
}

TEST(EvpProvider, SimpleSubstitutionMatchesDirectCallWithAndWithoutPadding) {
  const Bytes no_iv;
  for (size_t n : test_lengths()) {
    const Bytes key = random_bytes(32);
    const Bytes data = random_bytes(n);
    const auto cuts = random_cuts(n);
    const bool in_place = random_below(2) == 1;
    SCOPED_TRACE(testing::Message() << "length " << n << (in_place ? " in place" : ""));
    // With padding: the direct call over the padded data, and back.
    const Bytes ct = evp_cipher_split(EVP_rus_change(), true, true, key, no_iv, data, cuts, in_place);
    EXPECT_EQ(ct, direct_cipher(Mode::kChange, true, key, no_iv, pkcs_pad(data)));
    EXPECT_EQ(evp_cipher_split(EVP_rus_change(), false, true, key, no_iv, ct, random_cuts(ct.size()), in_place), data);
    // Without padding, whole blocks: exactly the direct call both ways.
    const Bytes whole(data.begin(), data.begin() + static_cast<long>(n - n % 8));
    const auto wcuts = random_cuts(whole.size());
    for (bool enc : {true, false}) {
      EXPECT_EQ(evp_cipher_split(EVP_rus_change(), enc, false, key, no_iv, whole, wcuts, in_place),
                direct_cipher(Mode::kChange, enc, key, no_iv, whole));
    }
  }
}

TEST(EvpProvider, SimpleSubstitutionRefusesBadPaddingAndPartialBlocks) {
  const Bytes key = random_bytes(32), no_iv;
  // A last block whose padding bytes are not all equal, or whose count is 0 or above 8.
  for (const Bytes& last :
       {Bytes{1, 2, 3, 4, 5, 6, 2, 3}, Bytes{1, 2, 3, 4, 5, 6, 7, 0}, Bytes{9, 9, 9, 9, 9, 9, 9, 9}}) {
    const Bytes ct = direct_cipher(Mode::kChange, true, key, no_iv, last);
    ERR_set_mark();
    EXPECT_TRUE(evp_cipher_split(EVP_rus_change(), false, true, key, no_iv, ct, {0, 8}, false).empty());
    ERR_pop_to_mark();
  }
  // Ciphertext that is not whole blocks, with and without padding.
  for (bool pad : {true, false}) {
    const Bytes ct = random_bytes(13);
    ERR_set_mark();
    EXPECT_TRUE(evp_cipher_split(EVP_rus_change(), false, pad, key, no_iv, ct, {0, 13}, false).empty());
    ERR_pop_to_mark();
  }
  // EVP_Cipher works on whole blocks only.
  Ptr<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
  ASSERT_EQ(EVP_EncryptInit_ex(ctx.get(), EVP_rus_change(), nullptr, key.data(), nullptr), 1);
  unsigned char buf[16] = {};
  EXPECT_LE(EVP_Cipher(ctx.get(), buf, buf, 12), 0);
  EXPECT_EQ(EVP_Cipher(ctx.get(), buf, buf, 16), 16);
}

TEST(EvpProvider, StreamCipherKeepsAnIvGivenBeforeTheKey) {
  for (Mode m : {Mode::kGamma, Mode::kGammar}) {
    SCOPED_TRACE(EVP_CIPHER_get0_name(cipher_of(m)));
    const Bytes key = random_bytes(32), iv = random_bytes(8), data = random_bytes(100);
    Ptr<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
    ASSERT_EQ(EVP_EncryptInit_ex(ctx.get(), cipher_of(m), nullptr, nullptr, iv.data()), 1);
    ASSERT_EQ(EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, key.data(), nullptr), 1);
    Bytes out(data.size());
    int outl = 0;
    ASSERT_EQ(EVP_EncryptUpdate(ctx.get(), out.data(), &outl, data.data(), static_cast<int>(data.size())), 1);
    EXPECT_EQ(out, direct_cipher(m, true, key, iv, data));
    // The context reports the IV it runs with.
    Bytes reported(8);
    ASSERT_EQ(EVP_CIPHER_CTX_get_original_iv(ctx.get(), reported.data(), reported.size()), 1);
    EXPECT_EQ(reported, iv);

    // A new IV alone on the keyed context restarts it under the kept key.
    const Bytes iv2 = random_bytes(8);
    ASSERT_EQ(EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, nullptr, iv2.data()), 1);
    ASSERT_EQ(EVP_EncryptUpdate(ctx.get(), out.data(), &outl, data.data(), static_cast<int>(data.size())), 1);
    EXPECT_EQ(out, direct_cipher(m, true, key, iv2, data));
  }
}

TEST(EvpProvider, CipherContextDuplicatedMidStreamContinuesIndependently) {
  for (Mode m : {Mode::kChange, Mode::kGamma, Mode::kGammar}) {
    SCOPED_TRACE(EVP_CIPHER_get0_name(cipher_of(m)));
    const Bytes key = random_bytes(32), iv = random_bytes(8), data = random_bytes(203);
    const size_t cut = 1 + random_below(data.size() - 1);
    Ptr<EVP_CIPHER_CTX> a(EVP_CIPHER_CTX_new()), b(EVP_CIPHER_CTX_new());
    ASSERT_EQ(EVP_EncryptInit_ex(a.get(), cipher_of(m), nullptr, key.data(), iv.data()), 1);
    EVP_CIPHER_CTX_set_padding(a.get(), 0);
    Bytes out_a(data.size() + 8), out_b(data.size() + 8);
    int l1 = 0, l2 = 0;
    ASSERT_EQ(EVP_EncryptUpdate(a.get(), out_a.data(), &l1, data.data(), static_cast<int>(cut)), 1);
    ASSERT_EQ(EVP_CIPHER_CTX_copy(b.get(), a.get()), 1);
    std::copy_n(out_a.begin(), l1, out_b.begin());
    ASSERT_EQ(
        EVP_EncryptUpdate(a.get(), out_a.data() + l1, &l2, data.data() + cut, static_cast<int>(data.size() - cut)), 1);
    // The copy runs over a wiped source: its state must be its own.
    a.reset();
    int l3 = 0;
    ASSERT_EQ(
        EVP_EncryptUpdate(b.get(), out_b.data() + l1, &l3, data.data() + cut, static_cast<int>(data.size() - cut)), 1);
    EXPECT_EQ(l2, l3);
    const size_t whole = m == Mode::kChange ? data.size() - data.size() % 8 : data.size();
    const Bytes expected =
        direct_cipher(m, true, key, iv, Bytes(data.begin(), data.begin() + static_cast<long>(whole)));
    out_a.resize(whole);
    out_b.resize(whole);
    EXPECT_EQ(out_b, expected);
    EXPECT_EQ(out_a, expected);
  }
}

TEST(EvpProvider, CipherRefusesUseWithoutKeyAndWrongLengths) {
  Ptr<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
  ERR_set_mark();
  ASSERT_EQ(EVP_EncryptInit_ex(ctx.get(), EVP_rus_gamma(), nullptr, nullptr, nullptr), 1);
  unsigned char buf[8] = {};
  int outl = 0;
  EXPECT_EQ(EVP_EncryptUpdate(ctx.get(), buf, &outl, buf, 8), 0);
  EXPECT_EQ(EVP_CIPHER_CTX_set_key_length(ctx.get(), 16), 0);
  EXPECT_EQ(EVP_CIPHER_CTX_set_key_length(ctx.get(), 32), 1);
  ERR_pop_to_mark();
}

// ---------------------------------------------------------------- objects

TEST(EvpObjects, RowsGetRunTimeNidsAndSignaturesPointAtTheirKeys) {
  ASSERT_EQ(sysobj_register(), 1);
  const int next_before = OBJ_new_nid(0);
  ASSERT_EQ(sysobj_register(), 1);  // once per process: nothing new
  EXPECT_EQ(OBJ_new_nid(0), next_before);
  for (const auto& row : sysobj_rows()) {
    SCOPED_TRACE(row.oid);
    const int nid = sysobj_nid(row.number);
    ASSERT_NE(nid, NID_undef);
    char oid[128];
    ASSERT_GT(OBJ_obj2txt(oid, sizeof oid, OBJ_nid2obj(nid), 1), 0);
    EXPECT_STREQ(oid, row.oid);
    // Rows sharing an OID answer with the lower number.
    EXPECT_EQ(sysobj_find_name(row.oid)->number, sysobj_number(nid));
  }
  // Objects OpenSSL knows keep its NIDs; ours carry our names.
  EXPECT_EQ(sysobj_nid(SYSOBJ_SMIME), NID_SMIME);
  EXPECT_EQ(sysobj_nid(SYSOBJ_id_ecPublicKey), NID_X9_62_id_ecPublicKey);
  EXPECT_EQ(sysobj_nid(SYSOBJ_3DES_WRAP), NID_id_smime_alg_CMS3DESwrap);
  EXPECT_STREQ(OBJ_nid2sn(sysobj_nid(SYSOBJ_RUS_GAMMAR)), "RUS-GAMMAR");
  EXPECT_STREQ(OBJ_nid2ln(sysobj_nid(SYSOBJ_ECR3410_R3411)), "ecr3410WithR3411");
  EXPECT_EQ(OBJ_sn2nid("R3410"), sysobj_nid(SYSOBJ_R3410));
  // Numbers up to 170 are OpenSSL's; unknown numbers have no NID.
  EXPECT_EQ(sysobj_nid(NID_sha1), NID_sha1);
  EXPECT_EQ(sysobj_nid(200), NID_undef);
  EXPECT_EQ(sysobj_nid(400), NID_undef);
  EXPECT_EQ(sysobj_number(NID_SMIME), SYSOBJ_SMIME);  // OpenSSL's 188 is our 184
  for (auto [sig, key] :
       {std::pair{SYSOBJ_R3410_R3411, SYSOBJ_R3410}, std::pair{SYSOBJ_ECR3410_R3411, SYSOBJ_ECR3410}}) {
    int md = -1, pkey = -1;
    ASSERT_EQ(OBJ_find_sigid_algs(sysobj_nid(sig), &md, &pkey), 1);
    EXPECT_EQ(md, NID_undef);
    EXPECT_EQ(pkey, sysobj_nid(key));
  }
}

TEST(EvpObjects, KeyTypeMapping) {
  const std::pair<int, int> cases[] = {{6, 6},     {19, 6},    {28, 28},   {66, 116},  {67, 116},  {70, 116},
                                       {113, 116}, {116, 116}, {177, 177}, {178, 177}, {181, 181}, {182, 181},
                                       {0, 0},     {176, 0},   {179, 0},   {183, 0},   {408, 0},   {-1, 0}};
  for (auto [in, out] : cases) EXPECT_EQ(EVP_PKEY_type(in), out) << in;
}

}  // namespace
}  // namespace qcrypto
