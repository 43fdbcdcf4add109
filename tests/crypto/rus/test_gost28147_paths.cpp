// The multi-block paths against a block-by-block reference built on the
// single-block cores: the portable path always, the AVX2 path when the CPU
// has it. Lengths cover the vector batch boundaries and ragged tails.
#include <gtest/gtest.h>

#include <random>
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

// Counter step written as addition modulo 2^32 - 1 with end-around carry.
void ref_counter(uint32_t& n3, uint32_t& n4) {
  n3 += 0x01010101u;
  uint64_t s = uint64_t{n4} + 0x01010104u;
  if (s >= (uint64_t{1} << 32)) s = s - (uint64_t{1} << 32) + 1;
  n4 = static_cast<uint32_t>(s);
}

enum class Mode { kEcbEnc, kEcbDec, kGamma, kFbd };

Bytes reference(const GOSTE_CTX* ctx, Mode mode, const Bytes& in, uint32_t r1, uint32_t r2) {
  Bytes out(in.size());
  for (size_t i = 0; i < in.size(); i += 8) {
    uint32_t a = le32(&in[i]), b = le32(&in[i + 4]);
    switch (mode) {
      case Mode::kEcbEnc:
        rus_encrypt_block(ctx, &a, &b);
        break;
      case Mode::kEcbDec:
        rus_decrypt_block(ctx, &a, &b);
        break;
      case Mode::kGamma: {
        ref_counter(r1, r2);
        uint32_t g1 = r1, g2 = r2;
        rus_encrypt_block(ctx, &g1, &g2);
        a ^= g1;
        b ^= g2;
        break;
      }
      case Mode::kFbd: {
        uint32_t g1 = r1, g2 = r2;
        rus_encrypt_block(ctx, &g1, &g2);
        r1 = a;
        r2 = b;
        a ^= g1;
        b ^= g2;
        break;
      }
    }
    put32(&out[i], a);
    put32(&out[i + 4], b);
  }
  return out;
}

// Runs one whole-block path on a copy of the context; returns output and the
// registers it left.
Bytes run_path(GOSTE_CTX ctx, Mode mode, const Bytes& in, bool in_place, uint32_t regs[2]) {
  Bytes out(in.size(), 0xee);
  Bytes work = in;
  const unsigned char* src = in_place ? work.data() : in.data();
  unsigned char* dst = in_place ? work.data() : out.data();
  const size_t blocks = in.size() / 8;
  switch (mode) {
    case Mode::kEcbEnc:
      rus_ecb_blocks(&ctx, src, dst, blocks, 1);
      break;
    case Mode::kEcbDec:
      rus_ecb_blocks(&ctx, src, dst, blocks, 0);
      break;
    case Mode::kGamma:
      rus_gamma_blocks(&ctx, src, dst, blocks);
      break;
    case Mode::kFbd:
      rus_gamma_fbd_blocks(&ctx, src, dst, blocks);
      break;
  }
  regs[0] = mode == Mode::kGamma ? ctx.N3 : ctx.N1;
  regs[1] = mode == Mode::kGamma ? ctx.N4 : ctx.N2;
  return in_place ? work : out;
}

class Gost28147Paths : public ::testing::TestWithParam<Path> {
 protected:
  void SetUp() override {
    if (GetParam() == Path::kAvx2 && !gost_detail::cpu_has_avx2()) GTEST_SKIP() << "CPU lacks AVX2";
    gost_detail::set_path(GetParam());
  }
  void TearDown() override { gost_detail::set_path(Path::kAuto); }
};

TEST_P(Gost28147Paths, SelectionFollowsOverride) { EXPECT_EQ(gost_detail::avx2_selected(), GetParam() == Path::kAvx2); }

TEST_P(Gost28147Paths, WholeBlockPathsMatchSingleBlockReference) {
  std::mt19937 rng(GetParam() == Path::kAvx2 ? 11 : 12);
  const auto foreign = gost_test::sbox_by_oid("1.2.643.2.2.31.1");
  const std::vector<size_t> block_counts = {1, 3, 4, 5, 31, 32, 33, 63, 64, 65, 100, 128, 131, 200};
  for (const unsigned char* sbox : {static_cast<const unsigned char*>(nullptr), foreign.data()}) {
    for (size_t blocks : block_counts) {
      for (Mode mode : {Mode::kEcbEnc, Mode::kEcbDec, Mode::kGamma, Mode::kFbd}) {
        SCOPED_TRACE(testing::Message() << "blocks " << blocks << " mode " << static_cast<int>(mode));
        unsigned char key[32];
        for (auto& b : key) b = static_cast<unsigned char>(rng());
        GOSTE_CTX ctx{};
        ASSERT_EQ(GOSTE_ss_init(&ctx, 1, key, sbox), 1);
        // Counters near the N4 wrap on some runs, so batches cross it.
        ctx.N1 = rng();
        ctx.N2 = rng();
        ctx.N3 = rng();
        ctx.N4 = (blocks & 1) ? 0xFEFEFEFBu - 7 * 0x01010104u : rng();
        Bytes in(blocks * 8);
        for (auto& b : in) b = static_cast<unsigned char>(rng());
        const uint32_t r1 = mode == Mode::kGamma ? ctx.N3 : ctx.N1;
        const uint32_t r2 = mode == Mode::kGamma ? ctx.N4 : ctx.N2;
        const Bytes want = reference(&ctx, mode, in, r1, r2);
        for (bool in_place : {false, true}) {
          uint32_t regs[2];
          const Bytes got = run_path(ctx, mode, in, in_place, regs);
          ASSERT_EQ(to_hex(got), to_hex(want)) << "in place " << in_place;
          if (mode == Mode::kFbd) {
            EXPECT_EQ(regs[0], le32(&in[in.size() - 8]));
            EXPECT_EQ(regs[1], le32(&in[in.size() - 4]));
          }
          if (mode == Mode::kGamma) {
            uint32_t n3 = r1, n4 = r2;
            for (size_t i = 0; i < blocks; ++i) ref_counter(n3, n4);
            EXPECT_EQ(regs[0], n3);
            EXPECT_EQ(regs[1], n4);
          }
        }
        GOSTE_clear(&ctx);
      }
    }
  }
}

// The vector kernels themselves: they take whole batches of 32 blocks and
// leave the rest, and what they do equals the single-block cores.
TEST(Gost28147Avx2, KernelsTakeWholeBatches) {
  if (!gost_detail::cpu_has_avx2()) GTEST_SKIP() << "CPU lacks AVX2";
  std::mt19937 rng(14);
  unsigned char key[32];
  for (auto& b : key) b = static_cast<unsigned char>(rng());
  GOSTE_CTX ctx{};
  ASSERT_EQ(GOSTE_ss_init(&ctx, 1, key, gost_test::sbox_by_oid("1.2.643.2.2.31.2").data()), 1);
  for (size_t blocks : {size_t{31}, size_t{32}, size_t{70}, size_t{96}}) {
    Bytes in(blocks * 8), out(blocks * 8, 0xcc);
    for (auto& b : in) b = static_cast<unsigned char>(rng());
    const size_t taken = gost_detail::ecb_avx2(ctx.table, ctx.key, in.data(), out.data(), blocks, true);
    EXPECT_EQ(taken, blocks / 32 * 32);
    const Bytes want = reference(&ctx, Mode::kEcbEnc, in, 0, 0);
    EXPECT_EQ(to_hex(out.data(), taken * 8), to_hex(want.data(), taken * 8));
    for (size_t i = taken * 8; i < out.size(); ++i) ASSERT_EQ(out[i], 0xcc);
    uint32_t n3 = 1, n4 = 2;
    EXPECT_EQ(gost_detail::gamma_avx2(ctx.table, ctx.key, n3, n4, in.data(), out.data(), blocks), taken);
    uint32_t n1 = 3, n2 = 4;
    EXPECT_EQ(gost_detail::fbd_avx2(ctx.table, ctx.key, n1, n2, in.data(), out.data(), blocks), taken);
  }
  GOSTE_clear(&ctx);
}

// The two paths side by side through the public modes, over random lengths
// and random data: identical output.
TEST(Gost28147PathsDiff, PortableAndAvx2AgreeThroughTheModes) {
  if (!gost_detail::cpu_has_avx2()) GTEST_SKIP() << "CPU lacks AVX2";
  std::mt19937 rng(13);
  for (int iter = 0; iter < 60; ++iter) {
    const int len = static_cast<int>(rng() % 3000) + 1;
    Bytes in(len), key(32), iv(8);
    for (auto& b : in) b = static_cast<unsigned char>(rng());
    for (auto& b : key) b = static_cast<unsigned char>(rng());
    for (auto& b : iv) b = static_cast<unsigned char>(rng());
    Bytes outs[2][4];
    for (int p = 0; p < 2; ++p) {
      gost_detail::set_path(p == 0 ? Path::kPortable : Path::kAvx2);
      GOSTE_CTX c{};
      for (auto& o : outs[p]) o.assign(len, 0);
      GOSTE_ss_init(&c, 1, key.data(), nullptr);
      GOSTE_ss_cipher(&c, in.data(), outs[p][0].data(), len);
      GOSTE_gamma_init(&c, key.data(), iv.data(), nullptr);
      GOSTE_gamma_update(&c, in.data(), outs[p][1].data(), len);
      GOSTE_gamma_fb_init(&c, key.data(), iv.data(), nullptr);
      GOSTE_gamma_fbd_update(&c, in.data(), outs[p][2].data(), len);
      GOSTE_ss_init(&c, 0, key.data(), nullptr);
      GOSTE_ss_cipher(&c, in.data(), outs[p][3].data(), len);
      GOSTE_clear(&c);
    }
    gost_detail::set_path(Path::kAuto);
    for (int m = 0; m < 4; ++m) ASSERT_EQ(outs[0][m], outs[1][m]) << "mode " << m << " length " << len;
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, Gost28147Paths, ::testing::Values(Path::kPortable, Path::kAvx2),
                         [](const testing::TestParamInfo<Path>& i) {
                           return i.param == Path::kAvx2 ? std::string("Avx2") : std::string("Portable");
                         });

}  // namespace
}  // namespace qcrypto
