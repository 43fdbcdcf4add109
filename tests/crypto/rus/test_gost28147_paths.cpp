// The multi-block paths against a block-by-block textbook reference, under
// every choice of kernels the CPU offers (table rounds, the constant-time
// AVX-512 round, the AVX2 batches). Lengths cover the vector batch boundaries
// and ragged tails. Then the constant-time round against the table round on
// random S-boxes, and the kernel overrides observed through the test-build
// counters.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <vector>

#include "crypto/rus/gost28147.h"
#include "crypto/rus/gost28147_multi.h"
#include "crypto/rus/gost3411.h"
#include "tests/crypto/rus/gost28147_test_util.h"

namespace qcrypto {
namespace {

using gost_detail::Kernel;
using gost_detail::Path;
using gost_test::Bytes;
using gost_test::Kernels;
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

// Block by block with the textbook rounds on the set's nodes.
Bytes reference(const GOSTE_CTX* ctx, const gost_test::SboxRows& nodes, Mode mode, const Bytes& in, uint32_t r1,
                uint32_t r2) {
  using gost_test::RefOp;
  Bytes out(in.size());
  for (size_t i = 0; i < in.size(); i += 8) {
    uint32_t a = le32(&in[i]), b = le32(&in[i + 4]);
    switch (mode) {
      case Mode::kEcbEnc:
        gost_test::ref_block(nodes, ctx->key, RefOp::kEncrypt, a, b);
        break;
      case Mode::kEcbDec:
        gost_test::ref_block(nodes, ctx->key, RefOp::kDecrypt, a, b);
        break;
      case Mode::kGamma: {
        ref_counter(r1, r2);
        uint32_t g1 = r1, g2 = r2;
        gost_test::ref_block(nodes, ctx->key, RefOp::kEncrypt, g1, g2);
        a ^= g1;
        b ^= g2;
        break;
      }
      case Mode::kFbd: {
        uint32_t g1 = r1, g2 = r2;
        gost_test::ref_block(nodes, ctx->key, RefOp::kEncrypt, g1, g2);
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
Bytes run_path(const GOSTE_CTX& original, Mode mode, const Bytes& in, bool in_place, uint32_t regs[2]) {
  GOSTE_CTX ctx{};
  EXPECT_EQ(GOSTE_CTX_copy(&ctx, &original), 1);
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
  GOSTE_clear(&ctx);
  return in_place ? work : out;
}

class Gost28147Paths : public ::testing::TestWithParam<Kernels> {
 protected:
  void SetUp() override {
    if (const char* why = gost_test::kernels_missing(GetParam())) GTEST_SKIP() << why;
    gost_test::select_kernels(GetParam());
  }
  void TearDown() override { gost_test::reset_kernels(); }
};

TEST_P(Gost28147Paths, WholeBlockPathsMatchTextbookReference) {
  std::mt19937 rng(static_cast<unsigned>(GetParam().path) * 3 + static_cast<unsigned>(GetParam().round));
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
        const Bytes want = reference(&ctx, gost_test::unpack_sbox(sbox != nullptr ? sbox : GOSTE_get_default_sbox()),
                                     mode, in, r1, r2);
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
    const Bytes want = reference(&ctx, gost_test::unpack_sbox(gost_test::sbox_by_oid("1.2.643.2.2.31.2").data()),
                                 Mode::kEcbEnc, in, 0, 0);
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
  if (const char* why = gost_test::kernels_missing(gost_test::kAvx2Batches)) GTEST_SKIP() << why;
  std::mt19937 rng(13);
  for (int iter = 0; iter < 60; ++iter) {
    const int len = static_cast<int>(rng() % 3000) + 1;
    Bytes in(len), key(32), iv(8);
    for (auto& b : in) b = static_cast<unsigned char>(rng());
    for (auto& b : key) b = static_cast<unsigned char>(rng());
    for (auto& b : iv) b = static_cast<unsigned char>(rng());
    Bytes outs[2][4];
    for (int p = 0; p < 2; ++p) {
      gost_test::select_kernels(p == 0 ? gost_test::kTableOnly : gost_test::kAvx2Batches);
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
    gost_test::reset_kernels();
    for (int m = 0; m < 4; ++m) ASSERT_EQ(outs[0][m], outs[1][m]) << "mode " << m << " length " << len;
  }
}

// The constant-time round against the table round, on random S-boxes, keys
// and data: single blocks in all three cores, whole-block calls of every mode
// (1 to 40 blocks: one to sixteen vector lanes and the table's groups of 4)
// and the hash step, whose four encryptions run in one vector.
class Gost28147CtRound : public ::testing::TestWithParam<gost_test::Kernels> {};

TEST_P(Gost28147CtRound, MatchesTableRoundOnRandomSboxes) {
  const Kernels& ct = GetParam();
  if (const char* why = gost_test::kernels_missing(ct)) GTEST_SKIP() << why;
  std::mt19937 rng(15);
  for (int set = 0; set < 24; ++set) {
    SCOPED_TRACE(testing::Message() << "set " << set);
    const auto sbox = gost_test::pack_sbox(gost_test::random_nodes(rng));
    Bytes key(32), iv(8);
    for (auto& b : key) b = static_cast<unsigned char>(rng());
    for (auto& b : iv) b = static_cast<unsigned char>(rng());
    UniquePtr<GOSTE_CTX> ctx(GOSTE_new());
    ASSERT_EQ(GOSTE_ss_init(ctx.get(), 1, key.data(), sbox.data()), 1);
    for (int i = 0; i < 20; ++i) {
      const uint32_t p1 = rng(), p2 = rng();
      uint32_t out[2][3][2];
      for (int k = 0; k < 2; ++k) {
        gost_test::select_kernels(k == 0 ? gost_test::kTableOnly : ct);
        for (int op = 0; op < 3; ++op) {
          uint32_t a = p1, b = p2;
          if (op == 0) rus_encrypt_block(ctx.get(), &a, &b);
          if (op == 1) rus_decrypt_block(ctx.get(), &a, &b);
          if (op == 2) rus_mac_block(ctx.get(), &a, &b);
          out[k][op][0] = a;
          out[k][op][1] = b;
        }
      }
      for (int op = 0; op < 3; ++op) {
        ASSERT_EQ(out[0][op][0], out[1][op][0]) << "op " << op;
        ASSERT_EQ(out[0][op][1], out[1][op][1]) << "op " << op;
      }
    }
    const size_t blocks = rng() % 40 + 1;
    const int len = static_cast<int>(blocks * 8);
    Bytes data(blocks * 8);
    for (auto& b : data) b = static_cast<unsigned char>(rng());
    Bytes got[2][6];
    for (int k = 0; k < 2; ++k) {
      gost_test::select_kernels(k == 0 ? gost_test::kTableOnly : ct);
      for (auto& o : got[k]) o.assign(data.size(), 0);
      GOSTE_CTX c{};
      ASSERT_EQ(GOSTE_ss_init(&c, 1, key.data(), sbox.data()), 1);
      GOSTE_ss_cipher(&c, data.data(), got[k][0].data(), len);
      ASSERT_EQ(GOSTE_ss_init(&c, 0, key.data(), sbox.data()), 1);
      GOSTE_ss_cipher(&c, data.data(), got[k][1].data(), len);
      ASSERT_EQ(GOSTE_gamma_init(&c, key.data(), iv.data(), sbox.data()), 1);
      GOSTE_gamma_update(&c, data.data(), got[k][2].data(), len);
      ASSERT_EQ(GOSTE_gamma_fb_init(&c, key.data(), iv.data(), sbox.data()), 1);
      GOSTE_gamma_fbe_update(&c, data.data(), got[k][3].data(), len);
      ASSERT_EQ(GOSTE_gamma_fb_init(&c, key.data(), iv.data(), sbox.data()), 1);
      GOSTE_gamma_fbd_update(&c, data.data(), got[k][4].data(), len);
      got[k][5].assign(4, 0);
      ASSERT_NE(GOSTE_mac(&c, data.data(), len, key.data(), sbox.data(), got[k][5].data()), nullptr);
      GOSTE_clear(&c);
    }
    gost_test::reset_kernels();
    for (int m = 0; m < 6; ++m) ASSERT_EQ(to_hex(got[0][m]), to_hex(got[1][m])) << "mode " << m << " blocks " << blocks;
  }
}

INSTANTIATE_TEST_SUITE_P(Rounds, Gost28147CtRound,
                         ::testing::Values(gost_test::kVbmiRound, gost_test::kVbmiNarrowRound, gost_test::kShuffleRound,
                                           gost_test::kShuffleAvx2Round),
                         gost_test::kernels_name);

// Left to itself, the library runs a constant-time round wherever the CPU has
// one: the choice made at first use is one the CPU runs, stays the same, and
// the serial modes, the tails and the hash never touch the table.
TEST(Gost28147Dispatch, AutoNeverChoosesTheTableWhereAConstantTimeRoundRuns) {
  if (!gost_detail::cpu_has_avx2()) GTEST_SKIP() << "CPU lacks AVX2: no constant-time round here";
  gost_test::reset_kernels();
  const gost_detail::CtRound* chosen = gost_detail::ct_round();
  ASSERT_NE(chosen, nullptr);
  const bool vbmi = gost_detail::cpu_has_avx512vbmi();
  if (vbmi) {
    EXPECT_TRUE(chosen == &gost_detail::kAvx512Round || chosen == &gost_detail::kAvx512NarrowRound ||
                chosen == &gost_detail::kShuffleRound512);
  } else {
    EXPECT_EQ(chosen, &gost_detail::kShuffleRound);
  }
  for (int i = 0; i < 3; ++i) EXPECT_EQ(gost_detail::ct_round(), chosen);

  std::mt19937 rng(17);
  Bytes key(32), iv(8), data(5 * 8 + 3);
  for (auto& b : key) b = static_cast<unsigned char>(rng());
  for (auto& b : iv) b = static_cast<unsigned char>(rng());
  for (auto& b : data) b = static_cast<unsigned char>(rng());
  const uint64_t table_before = gost_detail::kernel_runs(Kernel::kTable);
  Bytes out(data.size());
  GOSTE_CTX c{};
  ASSERT_EQ(GOSTE_gamma_fb_init(&c, key.data(), iv.data(), nullptr), 1);
  GOSTE_gamma_fbe_update(&c, data.data(), out.data(), static_cast<int>(data.size()));
  ASSERT_EQ(GOSTE_gamma_fb_init(&c, key.data(), iv.data(), nullptr), 1);
  GOSTE_gamma_fbd_update(&c, data.data(), out.data(), static_cast<int>(data.size()));
  ASSERT_EQ(GOSTE_ss_init(&c, 0, key.data(), nullptr), 1);
  GOSTE_ss_cipher(&c, data.data(), out.data(), static_cast<int>(data.size()));
  ASSERT_NE(GOSTE_mac(&c, data.data(), static_cast<int>(data.size()), key.data(), nullptr, out.data()), nullptr);
  GOSTE_clear(&c);
  unsigned char digest[GOSTH_DIGEST_BYTES];
  ASSERT_NE(GOSTH_digest(data.data(), static_cast<int>(data.size()), nullptr, nullptr, digest), nullptr);
  EXPECT_EQ(gost_detail::kernel_runs(Kernel::kTable), table_before);
}

// The override decides which kernel really runs: each choice moves only its
// own counters, and all give the same bytes.
TEST(Gost28147Kernels, OverrideChangesTheKernelThatRuns) {
  std::mt19937 rng(16);
  Bytes key(32), iv(8), data(70 * 8);
  for (auto& b : key) b = static_cast<unsigned char>(rng());
  for (auto& b : iv) b = static_cast<unsigned char>(rng());
  for (auto& b : data) b = static_cast<unsigned char>(rng());
  struct Expect {
    const Kernels* kernels;
    bool table, avx2, avx512, shuffle;
  };
  // 70 blocks: two AVX2 batches and a tail of 6 outside them.
  const Expect expects[] = {
      {&gost_test::kTableOnly, true, false, false, false},
      {&gost_test::kVbmiRound, false, false, true, false},
      {&gost_test::kVbmiNarrowRound, false, false, true, false},
      {&gost_test::kShuffleRound, false, false, false, true},
      {&gost_test::kShuffleAvx2Round, false, false, false, true},
      {&gost_test::kAvx2Batches, false, true, true, false},
      {&gost_test::kAvx2Shuffle, false, true, false, true},
  };
  Bytes first;
  int ran = 0;
  for (const Expect& e : expects) {
    if (const char* why = gost_test::kernels_missing(*e.kernels)) {
      std::printf("skipping %s: %s\n", e.kernels->name, why);
      continue;
    }
    SCOPED_TRACE(e.kernels->name);
    gost_test::select_kernels(*e.kernels);
    constexpr int kKernels = static_cast<int>(Kernel::kCount);
    uint64_t before[kKernels];
    for (int k = 0; k < kKernels; ++k) before[k] = gost_detail::kernel_runs(static_cast<Kernel>(k));
    Bytes out(data.size() * 3 + 4);
    GOSTE_CTX c{};
    ASSERT_EQ(GOSTE_ss_init(&c, 1, key.data(), nullptr), 1);
    GOSTE_ss_cipher(&c, data.data(), out.data(), static_cast<int>(data.size()));
    ASSERT_EQ(GOSTE_gamma_init(&c, key.data(), iv.data(), nullptr), 1);
    GOSTE_gamma_update(&c, data.data(), out.data() + data.size(), static_cast<int>(data.size()));
    ASSERT_EQ(GOSTE_gamma_fb_init(&c, key.data(), iv.data(), nullptr), 1);
    GOSTE_gamma_fbe_update(&c, data.data(), out.data() + 2 * data.size(), static_cast<int>(data.size()));
    GOSTE_mac(&c, data.data(), static_cast<int>(data.size()), key.data(), nullptr, out.data() + 3 * data.size());
    GOSTE_clear(&c);
    gost_test::reset_kernels();
    bool moved[kKernels];
    for (int k = 0; k < kKernels; ++k) moved[k] = gost_detail::kernel_runs(static_cast<Kernel>(k)) > before[k];
    EXPECT_EQ(moved[static_cast<int>(Kernel::kTable)], e.table);
    EXPECT_EQ(moved[static_cast<int>(Kernel::kAvx2)], e.avx2);
    EXPECT_EQ(moved[static_cast<int>(Kernel::kAvx512)], e.avx512);
    EXPECT_EQ(moved[static_cast<int>(Kernel::kShuffle)], e.shuffle);
    if (first.empty()) first = out;
    EXPECT_EQ(to_hex(out), to_hex(first));
    ++ran;
  }
  EXPECT_GE(ran, 1);
}

INSTANTIATE_TEST_SUITE_P(Paths, Gost28147Paths,
                         ::testing::Values(gost_test::kTableOnly, gost_test::kVbmiRound, gost_test::kVbmiNarrowRound,
                                           gost_test::kShuffleRound, gost_test::kShuffleAvx2Round,
                                           gost_test::kAvx2Batches, gost_test::kAvx2Shuffle),
                         gost_test::kernels_name);

}  // namespace
}  // namespace qcrypto
