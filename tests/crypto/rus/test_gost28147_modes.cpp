// ECB, gamma, gamma with feedback and MAC: round trips, split updates, the
// counter's modular step, MAC padding and lengths, argument handling.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <latch>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "crypto/rus/gost28147.h"
#include "crypto/rus/gost28147_multi.h"
#include "tests/crypto/rus/gost28147_test_util.h"

namespace qcrypto {
namespace {

using gost_detail::Path;
using gost_test::Bytes;
using gost_test::to_hex;

uint32_t le32(const unsigned char* p) { return gost_detail::load_le32(p); }
void put32(unsigned char* p, uint32_t v) { gost_detail::store_le32(p, v); }

Bytes random_bytes(std::mt19937& rng, size_t n) {
  Bytes b(n);
  for (auto& x : b) x = static_cast<unsigned char>(rng());
  return b;
}

const unsigned char* foreign_sbox() {
  static const auto s = gost_test::sbox_by_oid("1.2.643.2.2.31.1");
  return s.data();
}

class Gost28147Modes : public ::testing::TestWithParam<gost_test::Kernels> {
 protected:
  void SetUp() override {
    if (const char* why = gost_test::kernels_missing(GetParam())) GTEST_SKIP() << why;
    gost_test::select_kernels(GetParam());
  }
  void TearDown() override {
    GOSTE_clear(&ctx_);
    gost_test::reset_kernels();
  }
  GOSTE_CTX ctx_{};
};

// One streaming mode: its initialiser and its update.
struct StreamMode {
  const char* name;
  std::function<int(GOSTE_CTX*, const Bytes& key, const Bytes& iv, const unsigned char* sbox)> init;
  std::function<int(GOSTE_CTX*, const unsigned char*, unsigned char*, int)> update;
};

const std::vector<StreamMode>& stream_modes() {
  static const std::vector<StreamMode> modes = {
      {"gamma",
       [](GOSTE_CTX* c, const Bytes& k, const Bytes& iv, const unsigned char* s) {
         return GOSTE_gamma_init(c, k.data(), iv.data(), s);
       },
       GOSTE_gamma_update},
      {"fbe",
       [](GOSTE_CTX* c, const Bytes& k, const Bytes& iv, const unsigned char* s) {
         return GOSTE_gamma_fb_init(c, k.data(), iv.data(), s);
       },
       GOSTE_gamma_fbe_update},
      {"fbd",
       [](GOSTE_CTX* c, const Bytes& k, const Bytes& iv, const unsigned char* s) {
         return GOSTE_gamma_fb_init(c, k.data(), iv.data(), s);
       },
       GOSTE_gamma_fbd_update},
      {"mac",
       [](GOSTE_CTX* c, const Bytes& k, const Bytes&, const unsigned char* s) {
         return GOSTE_mac_init(c, k.data(), s);
       },
       [](GOSTE_CTX* c, const unsigned char* in, unsigned char*, int n) { return GOSTE_mac_update(c, in, n); }},
  };
  return modes;
}

// Output of a stream mode (or the MAC) over data cut at the given points.
Bytes run_split(GOSTE_CTX* ctx, const StreamMode& m, const Bytes& key, const Bytes& iv, const unsigned char* sbox,
                const Bytes& data, const std::vector<size_t>& cuts) {
  EXPECT_EQ(m.init(ctx, key, iv, sbox), 1);
  Bytes out(data.size());
  size_t at = 0;
  for (size_t i = 0; i <= cuts.size(); ++i) {
    const size_t end = i < cuts.size() ? cuts[i] : data.size();
    if (end > at) {
      const int n = static_cast<int>(end - at);
      EXPECT_EQ(m.update(ctx, data.data() + at, out.data() + at, n), n);
    }
    at = end;
  }
  if (std::string(m.name) == "mac") {
    out.assign(4, 0);
    EXPECT_EQ(GOSTE_mac_final(ctx, out.data(), 32), 4);
  }
  return out;
}

TEST_P(Gost28147Modes, SplitUpdatesEqualOneShot) {
  std::mt19937 rng(21);
  for (const auto& m : stream_modes()) {
    SCOPED_TRACE(m.name);
    for (int iter = 0; iter < 60; ++iter) {
      const size_t len = rng() % (iter < 30 ? 40 : 1200) + 1;
      const Bytes key = random_bytes(rng, 32), iv = random_bytes(rng, 8), data = random_bytes(rng, len);
      const unsigned char* sbox = (iter & 1) ? foreign_sbox() : nullptr;
      const Bytes whole = run_split(&ctx_, m, key, iv, sbox, data, {});
      std::vector<size_t> cuts;
      for (size_t k = rng() % 5 + 1; k > 0; --k) cuts.push_back(rng() % (len + 1));
      std::sort(cuts.begin(), cuts.end());
      ASSERT_EQ(to_hex(run_split(&ctx_, m, key, iv, sbox, data, cuts)), to_hex(whole)) << "length " << len;
      // One byte at a time as the extreme split.
      if (len < 100) {
        std::vector<size_t> every(len);
        for (size_t i = 0; i < len; ++i) every[i] = i;
        ASSERT_EQ(to_hex(run_split(&ctx_, m, key, iv, sbox, data, every)), to_hex(whole));
      }
    }
  }
}

TEST_P(Gost28147Modes, DecryptionInvertsEncryption) {
  std::mt19937 rng(22);
  for (int iter = 0; iter < 40; ++iter) {
    const size_t len = rng() % 1500 + 8;
    const Bytes key = random_bytes(rng, 32), iv = random_bytes(rng, 8), pt = random_bytes(rng, len);
    const unsigned char* sbox = (iter & 1) ? foreign_sbox() : nullptr;
    const int n = static_cast<int>(len);
    Bytes ct(len), back(len);
    // Gamma: the same operation both ways.
    ASSERT_EQ(GOSTE_gamma_init(&ctx_, key.data(), iv.data(), sbox), 1);
    GOSTE_gamma_update(&ctx_, pt.data(), ct.data(), n);
    ASSERT_EQ(GOSTE_gamma_init(&ctx_, key.data(), iv.data(), sbox), 1);
    GOSTE_gamma_update(&ctx_, ct.data(), back.data(), n);
    EXPECT_NE(ct, pt);
    EXPECT_EQ(back, pt);
    // Feedback.
    ASSERT_EQ(GOSTE_gamma_fb_init(&ctx_, key.data(), iv.data(), sbox), 1);
    GOSTE_gamma_fbe_update(&ctx_, pt.data(), ct.data(), n);
    ASSERT_EQ(GOSTE_gamma_fb_init(&ctx_, key.data(), iv.data(), sbox), 1);
    GOSTE_gamma_fbd_update(&ctx_, ct.data(), back.data(), n);
    EXPECT_NE(ct, pt);
    EXPECT_EQ(back, pt);
    // ECB over the whole blocks.
    const int whole = n / 8 * 8;
    ASSERT_EQ(GOSTE_ss_init(&ctx_, 1, key.data(), sbox), 1);
    ASSERT_EQ(GOSTE_ss_cipher(&ctx_, pt.data(), ct.data(), whole), whole);
    ASSERT_EQ(GOSTE_ss_init(&ctx_, 0, key.data(), sbox), 1);
    ASSERT_EQ(GOSTE_ss_cipher(&ctx_, ct.data(), back.data(), whole), whole);
    EXPECT_NE(Bytes(ct.begin(), ct.begin() + whole), Bytes(pt.begin(), pt.begin() + whole));
    EXPECT_EQ(Bytes(back.begin(), back.begin() + whole), Bytes(pt.begin(), pt.begin() + whole));
  }
}

TEST(Gost28147Gamma, CounterStepIsAdditionModulo2To32Minus1) {
  struct Case {
    uint32_t n3, n4, want3, want4;
  };
  const Case cases[] = {
      {0x00000000, 0xFEFEFEFB, 0x01010101, 0xFFFFFFFF}, {0x12345678, 0xFEFEFEFC, 0x13355779, 0x00000001},
      {0xFFFFFFFF, 0xFFFFFFFF, 0x01010100, 0x01010104}, {0xFEFEFEFF, 0x00000000, 0x00000000, 0x01010104},
      {0x80000000, 0xFEFEFEFA, 0x81010101, 0xFFFFFFFE},
  };
  for (const auto& c : cases) {
    uint32_t n3 = c.n3, n4 = c.n4;
    gost_detail::gamma_advance(n3, n4);
    EXPECT_EQ(n3, c.want3) << std::hex << c.n3;
    EXPECT_EQ(n4, c.want4) << std::hex << c.n4;
  }
}

// The counter state a context reaches is what the next gamma block encrypts,
// through the byte path and the whole-block path alike.
TEST_P(Gost28147Modes, GammaUsesTheSteppedCounter) {
  const Bytes key(32, 0x3c), iv(8, 0x11);
  const uint32_t starts[][2] = {{0, 0xFEFEFEFB}, {0xFFFFFFFF, 0xFEFEFEFC}, {5, 0xFFFFFFFF}};
  for (const auto& st : starts) {
    for (int len : {3, 8, 40 * 8}) {
      ASSERT_EQ(GOSTE_gamma_init(&ctx_, key.data(), iv.data(), nullptr), 1);
      ctx_.N3 = st[0];
      ctx_.N4 = st[1];
      ctx_.mode = 0;
      Bytes zero(len, 0), out(len);
      ASSERT_EQ(GOSTE_gamma_update(&ctx_, zero.data(), out.data(), len), len);
      uint32_t n3 = st[0], n4 = st[1];
      Bytes want(len);
      for (int i = 0; i < len; i += 8) {
        gost_detail::gamma_advance(n3, n4);
        uint32_t g1 = n3, g2 = n4;
        rus_encrypt_block(&ctx_, &g1, &g2);
        unsigned char blk[8];
        put32(blk, g1);
        put32(blk + 4, g2);
        std::memcpy(&want[i], blk, std::min(8, len - i));
      }
      EXPECT_EQ(to_hex(out), to_hex(want)) << std::hex << st[1] << " length " << std::dec << len;
      EXPECT_EQ(ctx_.N3, n3);
      EXPECT_EQ(ctx_.N4, n4);
    }
  }
}

TEST_P(Gost28147Modes, GammaFirstBlockAndSplit) {
  const Bytes key = gost_test::hex("4ef72b778f0b0bebeef4f077551cb74a927b470ad7d7f2513454569a247e989d");
  const Bytes iv = gost_test::hex("1234567890abcdef");
  ASSERT_EQ(GOSTE_gamma_init(&ctx_, key.data(), iv.data(), nullptr), 1);
  EXPECT_EQ(ctx_.mode, 8);
  // E(IV), stepped once, encrypted again.
  uint32_t a = le32(iv.data()), b = le32(iv.data() + 4);
  rus_encrypt_block(&ctx_, &a, &b);
  gost_detail::gamma_advance(a, b);
  rus_encrypt_block(&ctx_, &a, &b);
  EXPECT_EQ(ctx_.N1, a);
  EXPECT_EQ(ctx_.N2, b);

  Bytes data(13);
  for (int i = 0; i < 13; ++i) data[i] = static_cast<unsigned char>(i * 7 + 1);
  Bytes one(13), two(13);
  GOSTE_gamma_update(&ctx_, data.data(), one.data(), 13);
  ASSERT_EQ(GOSTE_gamma_init(&ctx_, key.data(), iv.data(), nullptr), 1);
  GOSTE_gamma_update(&ctx_, data.data(), two.data(), 5);
  GOSTE_gamma_update(&ctx_, data.data() + 5, two.data() + 5, 8);
  EXPECT_EQ(one, two);
  unsigned char g[8];
  put32(g, a);
  put32(g + 4, b);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(one[i], data[i] ^ g[i]);
  EXPECT_EQ(GOSTE_gamma_init(&ctx_, key.data(), nullptr, nullptr), 0);
}

TEST_P(Gost28147Modes, FeedbackRegisterHoldsTheCipherBlock) {
  const Bytes key(32, 0x77), iv = gost_test::hex("0102030405060708");
  Bytes pt(16);
  for (int i = 0; i < 16; ++i) pt[i] = static_cast<unsigned char>(0xf0 - i);
  Bytes one(16), split(16);
  ASSERT_EQ(GOSTE_gamma_fb_init(&ctx_, key.data(), iv.data(), nullptr), 1);
  EXPECT_EQ(ctx_.N1, le32(iv.data()));
  GOSTE_gamma_fbe_update(&ctx_, pt.data(), one.data(), 16);
  EXPECT_EQ(ctx_.N1, le32(&one[8]));
  EXPECT_EQ(ctx_.N2, le32(&one[12]));
  EXPECT_EQ(ctx_.mode, 0);
  ASSERT_EQ(GOSTE_gamma_fb_init(&ctx_, key.data(), iv.data(), nullptr), 1);
  GOSTE_gamma_fbe_update(&ctx_, pt.data(), split.data(), 3);
  GOSTE_gamma_fbe_update(&ctx_, pt.data() + 3, split.data() + 3, 13);
  EXPECT_EQ(one, split);
  // C0 = P0 xor E(IV); C1 = P1 xor E(C0).
  uint32_t a = le32(iv.data()), b = le32(iv.data() + 4);
  rus_encrypt_block(&ctx_, &a, &b);
  EXPECT_EQ(le32(&one[0]), le32(&pt[0]) ^ a);
  EXPECT_EQ(le32(&one[4]), le32(&pt[4]) ^ b);
  a = le32(&one[0]);
  b = le32(&one[4]);
  rus_encrypt_block(&ctx_, &a, &b);
  EXPECT_EQ(le32(&one[8]), le32(&pt[8]) ^ a);
  // Decryption split 3 + 13 as well.
  Bytes back(16);
  ASSERT_EQ(GOSTE_gamma_fb_init(&ctx_, key.data(), iv.data(), nullptr), 1);
  GOSTE_gamma_fbd_update(&ctx_, one.data(), back.data(), 3);
  GOSTE_gamma_fbd_update(&ctx_, one.data() + 3, back.data() + 3, 13);
  EXPECT_EQ(back, pt);
  // Without an IV the register starts at zero.
  ASSERT_EQ(GOSTE_gamma_fb_init(&ctx_, key.data(), nullptr, nullptr), 1);
  EXPECT_EQ(ctx_.N1, 0u);
  EXPECT_EQ(ctx_.N2, 0u);
}

// MAC by hand: zero-padded blocks folded into the register, 16-round steps,
// at least two steps.
uint32_t manual_mac(const GOSTE_CTX* keyed, const Bytes& data) {
  uint32_t n1 = 0, n2 = 0;
  size_t steps = 0;
  for (size_t i = 0; i < data.size(); i += 8) {
    unsigned char blk[8] = {};
    std::memcpy(blk, &data[i], std::min<size_t>(8, data.size() - i));
    n1 ^= le32(blk);
    n2 ^= le32(blk + 4);
    rus_mac_block(keyed, &n1, &n2);
    ++steps;
  }
  for (; steps < 2; ++steps) rus_mac_block(keyed, &n1, &n2);
  return n1;
}

TEST_P(Gost28147Modes, MacPaddingAndBlockCount) {
  std::mt19937 rng(23);
  const Bytes key = random_bytes(rng, 32);
  GOSTE_CTX keyed{};
  GOSTE_set_key(&keyed, key.data());
  ASSERT_EQ(GOSTE_set_sbox(&keyed, nullptr), 1);
  for (size_t len = 0; len <= 40; ++len) {
    const Bytes data = random_bytes(rng, len);
    unsigned char mac[4];
    ASSERT_EQ(GOSTE_mac(&ctx_, data.data(), static_cast<int>(len), key.data(), nullptr, mac), mac) << len;
    EXPECT_EQ(le32(mac), manual_mac(&keyed, data)) << "length " << len;
    EXPECT_EQ(ctx_.mac_blocks, 2);
  }
  // The empty message is two steps over the zero register.
  uint32_t n1 = 0, n2 = 0;
  rus_mac_block(&keyed, &n1, &n2);
  rus_mac_block(&keyed, &n1, &n2);
  unsigned char mac[4];
  ASSERT_NE(GOSTE_mac(nullptr, nullptr, 0, key.data(), nullptr, mac), nullptr);
  EXPECT_EQ(le32(mac), n1);
  GOSTE_clear(&keyed);
}

TEST_P(Gost28147Modes, MacFinalBits) {
  const Bytes key(32, 0x42);
  const Bytes data = gost_test::hex("00112233445566778899");
  ASSERT_EQ(GOSTE_mac_init(&ctx_, key.data(), nullptr), 1);
  GOSTE_mac_update(&ctx_, data.data(), static_cast<int>(data.size()));
  unsigned char full[4];
  ASSERT_EQ(GOSTE_mac_final(&ctx_, full, 32), 4);
  const uint32_t n1 = le32(full);
  struct Case {
    int bits, bytes;
    uint32_t value;
  };
  const Case cases[] = {
      {0, 4, n1},        {33, 4, n1},      {-5, 4, n1},      {32, 4, n1},      {1, 1, n1 >> 31},
      {12, 2, n1 >> 20}, {8, 1, n1 >> 24}, {9, 2, n1 >> 23}, {31, 4, n1 >> 1}, {24, 3, n1 >> 8},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(GOSTE_mac_init(&ctx_, key.data(), nullptr), 1);
    GOSTE_mac_update(&ctx_, data.data(), static_cast<int>(data.size()));
    unsigned char out[6];
    std::memset(out, 0xcc, sizeof(out));
    ASSERT_EQ(GOSTE_mac_final(&ctx_, out, c.bits), c.bytes) << c.bits;
    unsigned char want[4] = {};
    put32(want, c.value);
    EXPECT_EQ(to_hex(out, c.bytes), to_hex(want, c.bytes)) << "bits " << c.bits;
    EXPECT_EQ(out[c.bytes], 0xcc) << "bits " << c.bits;
    EXPECT_EQ(ctx_.N1, c.value);
  }
  EXPECT_EQ(GOSTE_mac_final(&ctx_, nullptr, 32), 0);
  EXPECT_EQ(GOSTE_mac_final(nullptr, full, 32), 0);
}

TEST(Gost28147Mac, OneShotOutputs) {
  const Bytes key(32, 0x19), data(21, 0x61);
  unsigned char mine[4];
  ASSERT_EQ(GOSTE_mac(nullptr, data.data(), 21, key.data(), nullptr, mine), mine);
  unsigned char* shared = GOSTE_mac(nullptr, data.data(), 21, key.data(), nullptr, nullptr);
  ASSERT_NE(shared, nullptr);
  EXPECT_EQ(to_hex(shared, 4), to_hex(mine, 4));
  EXPECT_EQ(GOSTE_mac(nullptr, data.data(), -1, key.data(), nullptr, mine), nullptr);
  EXPECT_EQ(GOSTE_mac(nullptr, data.data(), 21, nullptr, nullptr, mine), nullptr);
}

// Without an output buffer each thread gets its own: a MAC that another
// thread computes later does not overwrite the first thread's.
TEST(Gost28147Mac, NullOutputIsPerThread) {
  const Bytes key(32, 0x2d), first(19, 0x01), second(19, 0x02);
  unsigned char want_first[4], want_second[4];
  ASSERT_NE(GOSTE_mac(nullptr, first.data(), 19, key.data(), nullptr, want_first), nullptr);
  ASSERT_NE(GOSTE_mac(nullptr, second.data(), 19, key.data(), nullptr, want_second), nullptr);
  ASSERT_NE(to_hex(want_first, 4), to_hex(want_second, 4));
  std::latch first_done(1), second_done(1);
  unsigned char* p_first = nullptr;
  unsigned char* p_second = nullptr;
  std::string seen_by_first;
  std::thread a([&] {
    p_first = GOSTE_mac(nullptr, first.data(), 19, key.data(), nullptr, nullptr);
    first_done.count_down();
    second_done.wait();  // the other thread has written its MAC by now
    seen_by_first = p_first != nullptr ? to_hex(p_first, 4) : "";
  });
  std::thread b([&] {
    first_done.wait();
    p_second = GOSTE_mac(nullptr, second.data(), 19, key.data(), nullptr, nullptr);
    EXPECT_EQ(p_second != nullptr ? to_hex(p_second, 4) : "", to_hex(want_second, 4));
    second_done.count_down();
  });
  a.join();
  b.join();
  EXPECT_NE(p_first, p_second);
  EXPECT_EQ(seen_by_first, to_hex(want_first, 4));
}

TEST_P(Gost28147Modes, EcbByteLengths) {
  std::mt19937 rng(24);
  const Bytes key = random_bytes(rng, 32);
  // 40000 bytes run in 16384-byte chunks and equal one pass over all blocks.
  const Bytes big = random_bytes(rng, 40000);
  Bytes a(40000), b = big;
  ASSERT_EQ(GOSTE_ss_init(&ctx_, 1, key.data(), nullptr), 1);
  EXPECT_EQ(GOSTE_ss_cipher(&ctx_, big.data(), a.data(), 40000), 40000);
  EXPECT_EQ(GOSTE_ss_update(&ctx_, b.data(), nullptr, 5000), 5000);
  EXPECT_EQ(a, b);
  for (size_t i = 0; i < big.size(); i += 8) {
    uint32_t x = le32(&big[i]), y = le32(&big[i + 4]);
    rus_encrypt_block(&ctx_, &x, &y);
    ASSERT_EQ(le32(&a[i]), x);
    ASSERT_EQ(le32(&a[i + 4]), y);
  }

  // A trailing partial block is neither read nor written: exact-size heap
  // buffers let the address sanitizer catch any access past them.
  struct Case {
    int length, done;
  };
  for (const Case c : {Case{20, 16}, Case{7, 0}, Case{8, 8}, Case{15, 8}, Case{0, 0}, Case{-8, 0}}) {
    const size_t n = c.length > 0 ? static_cast<size_t>(c.length) : 1;
    std::unique_ptr<unsigned char[]> in(new unsigned char[n]), out(new unsigned char[n]);
    for (size_t i = 0; i < n; ++i) {
      in[i] = static_cast<unsigned char>(i);
      out[i] = 0xcc;
    }
    EXPECT_EQ(GOSTE_ss_cipher(&ctx_, in.get(), out.get(), c.length), c.done) << c.length;
    for (size_t i = static_cast<size_t>(c.done); i < n; ++i) EXPECT_EQ(out[i], 0xcc) << c.length;
    for (size_t i = 0; i < n; ++i) EXPECT_EQ(in[i], static_cast<unsigned char>(i));
  }
  EXPECT_EQ(GOSTE_ss_update(&ctx_, big.data(), a.data(), 0), 0);
  EXPECT_EQ(GOSTE_ss_update(nullptr, big.data(), a.data(), 1), 0);
  EXPECT_EQ(GOSTE_ss_cipher(&ctx_, nullptr, a.data(), 8), 0);
  EXPECT_EQ(GOSTE_ss_init(nullptr, 1, key.data(), nullptr), 0);
  EXPECT_EQ(GOSTE_ss_init(&ctx_, 1, nullptr, nullptr), 0);
}

// An output that overlaps the input part-way gives the result of copying
// first and then working in place, also when ECB works in several chunks.
TEST_P(Gost28147Modes, OverlappingBuffersActAsCopyThenInPlace) {
  std::mt19937 rng(25);
  const Bytes key = random_bytes(rng, 32), iv = random_bytes(rng, 8);
  for (const auto& [shift, len] : {std::pair{-11, 301 * 8}, std::pair{-3, 301 * 8}, std::pair{3, 301 * 8},
                                   std::pair{8, 301 * 8}, std::pair{11, 301 * 8}, std::pair{3, 40000},
                                   std::pair{-8, 40000}, std::pair{16384, 40000}, std::pair{-5, 16384 + 20}}) {
    SCOPED_TRACE(testing::Message() << "shift " << shift << " length " << len);
    const Bytes data = random_bytes(rng, len);
    for (int m = 0; m < 4; ++m) {
      Bytes want(len);
      Bytes arena(len + 2 * 16384 + 64, 0);
      unsigned char* in = arena.data() + 16384 + 32;
      std::memcpy(in, data.data(), len);
      unsigned char* out = in + shift;
      auto run = [&, len = len](const unsigned char* src, unsigned char* dst) {
        switch (m) {
          case 0:
            GOSTE_ss_init(&ctx_, 1, key.data(), nullptr);
            return GOSTE_ss_cipher(&ctx_, src, dst, len);
          case 1:
            GOSTE_gamma_init(&ctx_, key.data(), iv.data(), nullptr);
            return GOSTE_gamma_update(&ctx_, src, dst, len);
          case 2:
            GOSTE_gamma_fb_init(&ctx_, key.data(), iv.data(), nullptr);
            return GOSTE_gamma_fbe_update(&ctx_, src, dst, len);
          default:
            GOSTE_gamma_fb_init(&ctx_, key.data(), iv.data(), nullptr);
            return GOSTE_gamma_fbd_update(&ctx_, src, dst, len);
        }
      };
      const int done = run(data.data(), want.data());
      ASSERT_EQ(done, m == 0 ? len / 8 * 8 : len);
      ASSERT_EQ(run(in, out), done);
      EXPECT_EQ(to_hex(out, done), to_hex(want.data(), done)) << "mode " << m;
    }
  }
}

TEST_P(Gost28147Modes, BadArgumentsLeaveContextUntouched) {
  const Bytes key(32, 1), iv(8, 2), data(16, 3);
  Bytes out(16);
  for (const auto& m : stream_modes()) {
    ASSERT_EQ(m.init(&ctx_, key, iv, nullptr), 1);
    ASSERT_EQ(m.update(&ctx_, data.data(), out.data(), 5), 5);
    unsigned char before[sizeof(GOSTE_CTX)];
    std::memcpy(before, static_cast<const void*>(&ctx_), sizeof(before));
    EXPECT_EQ(m.update(&ctx_, nullptr, out.data(), 8), 0) << m.name;
    EXPECT_EQ(m.update(&ctx_, data.data(), out.data(), 0), 0) << m.name;
    EXPECT_EQ(m.update(&ctx_, data.data(), out.data(), -3), 0) << m.name;
    EXPECT_EQ(m.update(nullptr, data.data(), out.data(), 8), 0) << m.name;
    EXPECT_EQ(std::memcmp(before, &ctx_, sizeof(before)), 0) << m.name;
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, Gost28147Modes,
                         ::testing::Values(gost_test::kTableOnly, gost_test::kVbmiRound, gost_test::kVbmiNarrowRound,
                                           gost_test::kShuffleRound, gost_test::kShuffleAvx2Round,
                                           gost_test::kDispatched),
                         gost_test::kernels_name);

}  // namespace
}  // namespace qcrypto
