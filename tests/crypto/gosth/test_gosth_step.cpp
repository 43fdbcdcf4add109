// The step function and its building blocks against a plain reference that
// follows the standard literally: byte-wise A and P, psi iterated limb by
// limb, encryptions through the cipher context one block at a time.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>

#include "crypto/rus/gost28147_multi.h"
#include "crypto/rus/gost3411.h"
#include "crypto/rus/gost3411_mix.h"
#include "gosth_test_util.h"

namespace {

using namespace gosth_test;
using qcrypto::GOSTH_CTX;

using Num = std::array<unsigned char, 32>;  // byte 0 least significant
using Limbs = std::array<uint16_t, 16>;     // limb 0 least significant

Num random_num(std::mt19937& rng) {
  Num n;
  for (auto& b : n) b = static_cast<unsigned char>(rng());
  return n;
}

std::array<uint32_t, 8> words(const Num& n) {
  std::array<uint32_t, 8> w;
  std::memcpy(w.data(), n.data(), 32);
  return w;
}

Num bytes_of(const uint32_t* w) {
  Num n;
  std::memcpy(n.data(), w, 32);
  return n;
}

// A(Y) = (y1 ^ y2) y4 y3 y2 on 8-byte parts.
Num ref_A(const Num& y) {
  Num r;
  for (int i = 0; i < 24; ++i) r[i] = y[i + 8];
  for (int i = 0; i < 8; ++i) r[24 + i] = y[i] ^ y[8 + i];
  return r;
}

// Output byte 4k + i = input byte 8i + k.
Num ref_P(const Num& w) {
  Num r;
  for (int i = 0; i < 4; ++i)
    for (int k = 0; k < 8; ++k) r[4 * k + i] = w[8 * i + k];
  return r;
}

Num ref_xor(const Num& a, const Num& b) {
  Num r;
  for (int i = 0; i < 32; ++i) r[i] = a[i] ^ b[i];
  return r;
}

const Num kC3 = [] {
  const Bytes b = from_hex("00ff00ff00ff00ffff00ff00ff00ff0000ffff00ff0000ffff000000ffff00ff");
  Num n;
  std::copy(b.begin(), b.end(), n.begin());
  return n;
}();

std::array<Num, 4> ref_keys(const Num& h, const Num& m) {
  std::array<Num, 4> k;
  Num u = h, v = m;
  k[0] = ref_P(ref_xor(u, v));
  for (int j = 1; j < 4; ++j) {
    u = ref_A(u);
    if (j == 2) u = ref_xor(u, kC3);
    v = ref_A(ref_A(v));
    k[j] = ref_P(ref_xor(u, v));
  }
  return k;
}

Limbs to_limbs(const Num& n) {
  Limbs l;
  for (int i = 0; i < 16; ++i) l[i] = static_cast<uint16_t>(n[2 * i] | n[2 * i + 1] << 8);
  return l;
}

Num from_limbs(const Limbs& l) {
  Num n;
  for (int i = 0; i < 16; ++i) {
    n[2 * i] = static_cast<unsigned char>(l[i]);
    n[2 * i + 1] = static_cast<unsigned char>(l[i] >> 8);
  }
  return n;
}

Limbs ref_psi(const Limbs& y, int times) {
  Limbs r = y;
  for (int t = 0; t < times; ++t) {
    const uint16_t top = r[0] ^ r[1] ^ r[2] ^ r[3] ^ r[12] ^ r[15];
    for (int i = 0; i < 15; ++i) r[i] = r[i + 1];
    r[15] = top;
  }
  return r;
}

Num ref_mix(const Num& h, const Num& m, const Num& s) {
  Limbs x = ref_psi(to_limbs(s), 12);
  const Limbs ml = to_limbs(m), hl = to_limbs(h);
  for (int i = 0; i < 16; ++i) x[i] ^= ml[i];
  x = ref_psi(x, 1);
  for (int i = 0; i < 16; ++i) x[i] ^= hl[i];
  return from_limbs(ref_psi(x, 61));
}

// f(H, M) with every encryption done by the cipher core one block at a time.
Num ref_step(const Num& h, const Num& m, const unsigned char* sbox) {
  qcrypto::GOSTE_CTX c{};
  EXPECT_EQ(qcrypto::GOSTE_set_sbox(&c, sbox), 1);
  const auto keys = ref_keys(h, m);
  const auto hw = words(h);
  std::array<uint32_t, 8> s{};
  for (int i = 0; i < 4; ++i) {
    qcrypto::GOSTE_set_key(&c, keys[i].data());
    uint32_t n1 = hw[2 * i], n2 = hw[2 * i + 1];
    qcrypto::rus_encrypt_block(&c, &n1, &n2);
    s[2 * i] = n1;
    s[2 * i + 1] = n2;
  }
  qcrypto::GOSTE_clear(&c);
  return ref_mix(h, m, bytes_of(s.data()));
}

TEST(GosthStep, MixingCombinationEqualsIteratedPsi) {
  // The transformation is linear: agreeing on every single-bit input of H, M
  // and S proves the combination; random inputs check the XOR of terms.
  auto run = [](const Num& h, const Num& m, const Num& s) {
    uint64_t in[12], out[4];
    std::memcpy(in, h.data(), 32);
    std::memcpy(in + 4, m.data(), 32);
    std::memcpy(in + 8, s.data(), 32);
    qcrypto::gosth_mix::mix_hm(in, out);
    qcrypto::gosth_mix::mix_s(in, out);
    Num r;
    std::memcpy(r.data(), out, 32);
    return r;
  };
  for (int part = 0; part < 3; ++part) {
    for (int bit = 0; bit < 256; ++bit) {
      std::array<Num, 3> in{};
      in[part][bit / 8] = static_cast<unsigned char>(1 << (bit % 8));
      ASSERT_EQ(to_hex(run(in[0], in[1], in[2])), to_hex(ref_mix(in[0], in[1], in[2])))
          << "input " << part << " bit " << bit;
    }
  }
  std::mt19937 rng(1);
  for (int i = 0; i < 200; ++i) {
    const Num h = random_num(rng), m = random_num(rng), s = random_num(rng);
    ASSERT_EQ(to_hex(run(h, m, s)), to_hex(ref_mix(h, m, s)));
  }
}

TEST(GosthStep, KeygenEqualsReference) {
  std::mt19937 rng(2);
  for (int i = 0; i < 100; ++i) {
    const Num h = random_num(rng), m = random_num(rng);
    uint32_t keys[32];
    const auto hw = words(h), mw = words(m);
    qcrypto::rus_hash_keygen(hw.data(), mw.data(), keys);
    const auto ref = ref_keys(h, m);
    for (int k = 0; k < 4; ++k) ASSERT_EQ(to_hex(bytes_of(keys + 8 * k)), to_hex(ref[k])) << "K" << k + 1;
  }
}

TEST(GosthStep, AAndXor) {
  std::mt19937 rng(3);
  for (int i = 0; i < 20; ++i) {
    const Num y = random_num(rng), z = random_num(rng);
    auto w = words(y);
    std::array<uint32_t, 8> out{};
    qcrypto::rus_hash_A(w.data(), out.data());
    EXPECT_EQ(to_hex(bytes_of(out.data())), to_hex(ref_A(y)));
    qcrypto::rus_hash_A(w.data(), w.data());  // in place
    EXPECT_EQ(to_hex(bytes_of(w.data())), to_hex(ref_A(y)));
    const auto a = words(y), b = words(z);
    qcrypto::rus_hash_xor256(a.data(), b.data(), out.data());
    EXPECT_EQ(to_hex(bytes_of(out.data())), to_hex(ref_xor(y, z)));
  }
}

// rus_hash_step against the literal reference, for the default set, both
// public sets and a start from random H.
TEST(GosthStep, StepEqualsReference) {
  std::mt19937 rng(4);
  const unsigned char* sets[] = {qcrypto::GOSTH_get_default_sbox(), test_paramset().data(),
                                 cryptopro_paramset().data()};
  for (const unsigned char* sbox : sets) {
    for (int i = 0; i < 30; ++i) {
      const Num h = random_num(rng), m = random_num(rng);
      GOSTH_CTX ctx{};
      ASSERT_EQ(qcrypto::GOSTH_init(&ctx, h.data(), sbox), 1);
      qcrypto::rus_hash_step(&ctx, m.data());
      EXPECT_EQ(to_hex(bytes_of(ctx.H)), to_hex(ref_step(h, m, sbox)));
      qcrypto::GOSTH_clear(&ctx);
    }
  }
}

// The step's four encryptions through the constant-time vector code against
// the table, on random S-boxes, start values and messages: single steps, and
// whole messages through update and final.
class GosthCtStep : public ::testing::TestWithParam<qcrypto::gost_detail::RoundPath> {};

TEST_P(GosthCtStep, ConstantTimeStepMatchesTable) {
  using qcrypto::gost_detail::RoundPath;
  const RoundPath ct = GetParam();
  if (!qcrypto::gost_detail::cpu_has_avx2()) GTEST_SKIP() << "CPU lacks AVX2";
  if ((ct == RoundPath::kAvx512 || ct == RoundPath::kAvx512Narrow) && !qcrypto::gost_detail::cpu_has_avx512vbmi())
    GTEST_SKIP() << "CPU or OS lacks AVX-512 VBMI";
  std::mt19937 rng(5);
  for (int set = 0; set < 20; ++set) {
    const Sbox sbox = set == 0 ? test_paramset() : pack_sbox(random_nodes(rng));
    const Num h = random_num(rng), m = random_num(rng);
    Bytes msg(rng() % 300 + 1);
    for (auto& b : msg) b = static_cast<unsigned char>(rng());
    std::string step[2], whole[2];
    for (int k = 0; k < 2; ++k) {
      qcrypto::gost_detail::set_round_path(k == 0 ? RoundPath::kTable : ct);
      GOSTH_CTX ctx{};
      ASSERT_EQ(qcrypto::GOSTH_init(&ctx, h.data(), sbox.data()), 1);
      qcrypto::rus_hash_step(&ctx, m.data());
      step[k] = to_hex(bytes_of(ctx.H));
      qcrypto::GOSTH_clear(&ctx);
      whole[k] = to_hex(digest(msg, sbox.data(), h.data()));
    }
    qcrypto::gost_detail::set_round_path(RoundPath::kAuto);
    ASSERT_EQ(step[0], step[1]) << "set " << set;
    ASSERT_EQ(whole[0], whole[1]) << "set " << set << ", " << msg.size() << " bytes";
    // And both against the literal reference.
    ASSERT_EQ(step[0], to_hex(ref_step(h, m, sbox.data())));
  }
}

INSTANTIATE_TEST_SUITE_P(Rounds, GosthCtStep,
                         ::testing::Values(qcrypto::gost_detail::RoundPath::kAvx512,
                                           qcrypto::gost_detail::RoundPath::kAvx512Narrow,
                                           qcrypto::gost_detail::RoundPath::kShuffle,
                                           qcrypto::gost_detail::RoundPath::kShuffleAvx2),
                         [](const testing::TestParamInfo<qcrypto::gost_detail::RoundPath>& i) {
                           switch (i.param) {
                             case qcrypto::gost_detail::RoundPath::kAvx512:
                               return "Vbmi";
                             case qcrypto::gost_detail::RoundPath::kAvx512Narrow:
                               return "VbmiNarrow";
                             case qcrypto::gost_detail::RoundPath::kShuffle:
                               return "Shuffle";
                             default:
                               return "ShuffleAvx2";
                           }
                         });

// The empty message is f(f(f(0, 0), length 0), sum 0), composed here from the
// reference step alone, and the digest is that H byte-reversed.
TEST(GosthStep, EmptyMessageIsThreeStepsOnZero) {
  for (const unsigned char* sbox : {qcrypto::GOSTH_get_default_sbox(), test_paramset().data()}) {
    const Num zero{};
    Num h = ref_step(zero, zero, sbox);
    h = ref_step(h, zero, sbox);
    h = ref_step(h, zero, sbox);
    Digest expected;
    std::reverse_copy(h.begin(), h.end(), expected.begin());
    EXPECT_EQ(to_hex(digest({}, sbox)), to_hex(expected));
  }
}

TEST(GosthStep, Add256Carries) {
  struct Case {
    const char* sum;  // 256-bit numbers, most significant byte first
    const char* block;
    const char* result;
  };
  const Case cases[] = {
      {"0000000000000000000000000000000000000000000000000000000000000001",
       "0000000000000000000000000000000000000000000000000000000000000002",
       "0000000000000000000000000000000000000000000000000000000000000003"},
      // Carry out of a 16-bit limb, out of a 64-bit word, through every word.
      {"000000000000000000000000000000000000000000000000000000000000ffff",
       "0000000000000000000000000000000000000000000000000000000000000001",
       "0000000000000000000000000000000000000000000000000000000000010000"},
      {"000000000000000000000000000000000000000000000000ffffffffffffffff",
       "0000000000000000000000000000000000000000000000000000000000000001",
       "0000000000000000000000000000000000000000000000010000000000000000"},
      {"00ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
       "0000000000000000000000000000000000000000000000000000000000000001",
       "0100000000000000000000000000000000000000000000000000000000000000"},
      // The carry out of the top is dropped: mod 2^256.
      {"ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
       "0000000000000000000000000000000000000000000000000000000000000002",
       "0000000000000000000000000000000000000000000000000000000000000001"},
      {"8000000000000000000000000000000000000000000000008000000000000000",
       "8000000000000000000000000000000000000000000000008000000000000000",
       "0000000000000000000000000000000000000000000000010000000000000000"},
  };
  auto le = [](const char* hex) {
    Bytes b = from_hex(hex);
    std::reverse(b.begin(), b.end());
    return b;
  };
  for (const auto& c : cases) {
    uint32_t sum[8];
    std::memcpy(sum, le(c.sum).data(), 32);
    qcrypto::rus_hash_add256(sum, le(c.block).data());
    Bytes r(reinterpret_cast<unsigned char*>(sum), reinterpret_cast<unsigned char*>(sum) + 32);
    EXPECT_EQ(to_hex(r), to_hex(le(c.result))) << c.sum << " + " << c.block;
  }
}

TEST(GosthStep, LengthCounterAndLimbs) {
  struct Case {
    uint64_t start_low;  // low 64 bits of the counter before
    int start_limbs;
    uint64_t bits;
    uint64_t low;   // low 64 bits after
    uint32_t next;  // bits 64..95 after
    int limbs;
  };
  const Case cases[] = {
      {0, 0, 0, 0, 0, 0},
      {0, 0, 8, 8, 0, 1},
      {0, 0, 256, 256, 0, 1},
      {0xff00, 1, 0x100, 0x10000, 0, 2},
      {0xffffffffffffff00ULL, 4, 0x100, 0, 1, 5},
      {0x10000, 2, 0, 0x10000, 0, 2},
      {uint64_t{1} << 40, 3, 24, (uint64_t{1} << 40) + 24, 0, 3},
  };
  for (const auto& c : cases) {
    GOSTH_CTX ctx{};
    std::memcpy(ctx.length, &c.start_low, 8);
    ctx.length_limbs = c.start_limbs;
    qcrypto::rus_hash_add_length(&ctx, c.bits);
    uint64_t low;
    std::memcpy(&low, ctx.length, 8);
    EXPECT_EQ(low, c.low) << c.start_low << " + " << c.bits;
    EXPECT_EQ(ctx.length[2], c.next);
    EXPECT_EQ(ctx.length_limbs, c.limbs) << c.start_low << " + " << c.bits;
  }
}

TEST(GosthStep, ReverseBytes) {
  const std::pair<const char*, const char*> cases[] = {
      {"", ""}, {"01", "01"}, {"0102", "0201"}, {"010203", "030201"}, {"0102030405060708", "0807060504030201"}};
  for (const auto& [in, out] : cases) {
    Bytes b = from_hex(in);
    b.push_back(0xee);  // beyond n: untouched
    qcrypto::rus_reverse_bytes(b.data(), static_cast<int>(b.size()) - 1);
    EXPECT_EQ(to_hex(b), std::string(out) + "ee");
  }
  qcrypto::rus_reverse_bytes(nullptr, 5);  // ignored
  unsigned char one[2] = {1, 2};
  qcrypto::rus_reverse_bytes(one, -3);
  EXPECT_EQ(one[0], 1);
}

}  // namespace
