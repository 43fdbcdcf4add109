// The key container's random state: seeding from it, writing it back.
#include <array>
#include <vector>

#include "crypto/pse/pse_rand.h"
#include "tests/crypto/rand/rand_test_support.h"
#include "tests/support/pse_fixture.h"

namespace qcrypto {
namespace {

using testing_support::drain_errors;
using testing_support::ErrCode;
using testing_support::KeyCall;
using testing_support::KeyScript;
using testing_support::MemoryPseStore;
using testing_support::RandTest;
using Bytes = std::vector<unsigned char>;
using Block = std::array<unsigned char, 36>;

void fixed_source(unsigned char* block, unsigned char* os) {
  for (int i = 0; i < 32; ++i) {
    block[i] = static_cast<unsigned char>(3 * i);
    os[i] = static_cast<unsigned char>(255 - i);
  }
}

Block block_of(MemoryPseStore& store, unsigned char fill) {
  Block b{};
  unsigned char plain[32];
  std::fill(plain, plain + 32, fill);
  EXPECT_TRUE(store.encrypt_opaque(plain, b.data()));
  return b;
}

Bytes state_in(MemoryPseStore& store, const Block& b) {
  Bytes out(32);
  EXPECT_TRUE(store.decrypt_opaque(b.data(), out.data()));
  return out;
}

using PseRandTest = RandTest;

// A saved state seeds the generator without a prompt and is replaced by a
// fresh one at once.
TEST_F(PseRandTest, SavedStateSeedsAndIsRenewed) {
  MemoryPseStore store;
  Block block = block_of(store, 0x61);
  KeyScript script;
  RAND_set_rand_method(mprand_method());
  int out = -1;
  ASSERT_EQ(PSE_rand_init(&store, block.data(), &out, KeyScript::callback, &script), 1);
  EXPECT_EQ(out, 36);
  EXPECT_TRUE(script.calls.empty());
  EXPECT_EQ(RAND_get_rand_method(), GRAND_method());
  const Bytes renewed = state_in(store, block);
  EXPECT_NE(renewed, Bytes(32, 0x61));
  // The new state is output of the generator, not the generator's future.
  Bytes next(32);
  ASSERT_EQ(RAND_bytes(next.data(), 32), 32);
  EXPECT_NE(next, renewed);
}

// Under fixed seed sources the same saved state gives the same generator.
TEST_F(PseRandTest, SameStateSameGenerator) {
  GRAND_set_seed_source(fixed_source);
  MemoryPseStore store;
  std::vector<Bytes> runs;
  for (unsigned char fill : {0x10, 0x10, 0x11}) {
    PSE_rand_cleanup();
    Block block = block_of(store, fill);
    int out = 0;
    ASSERT_EQ(PSE_rand_init(&store, block.data(), &out, nullptr, nullptr), 1);
    Bytes run = state_in(store, block);
    Bytes more(100);
    ASSERT_EQ(RAND_bytes(more.data(), 100), 100);
    run.insert(run.end(), more.begin(), more.end());
    runs.push_back(run);
  }
  EXPECT_EQ(runs[0], runs[1]);
  EXPECT_NE(runs[0], runs[2]);
}

// No readable state: the keyboard is asked, and the new state is written.
TEST_F(PseRandTest, UnreadableStateAsksTheKeyboard) {
  struct Case {
    const char* what;
    bool with_container;
    bool tamper;
    bool break_reads;
  };
  const Case cases[] = {
      {"changed block", true, true, false},
      {"container cannot read", true, false, true},
      {"no container", false, false, false},
  };
  for (const auto& c : cases) {
    PSE_rand_cleanup();
    MemoryPseStore store;
    Block block = block_of(store, 0x22);
    if (c.break_reads) store.break_reads();
    if (c.tamper) block[3] ^= 1;
    KeyScript script;
    int out = -1;
    ASSERT_EQ(PSE_rand_init(c.with_container ? &store : nullptr, block.data(), &out, KeyScript::callback, &script), 1)
        << c.what;
    EXPECT_EQ(script.calls.size(), 16u) << c.what;
    EXPECT_EQ(RAND_get_rand_method(), GRAND_method());
    EXPECT_EQ(drain_errors(), std::vector<ErrCode>{}) << c.what << ": the failed read is forgotten";
    if (c.with_container) {
      EXPECT_EQ(out, 36);
      EXPECT_EQ(state_in(store, block).size(), 32u);  // readable now
    } else {
      EXPECT_EQ(out, 0);
    }
  }
}

TEST_F(PseRandTest, NoStateAndNoCallbackFails) {
  MemoryPseStore store;
  Block block = block_of(store, 0x22);
  block[35] ^= 0x80;
  const Block before = block;
  RAND_set_rand_method(mprand_method());
  int out = -1;
  EXPECT_EQ(PSE_rand_init(&store, block.data(), &out, nullptr, nullptr), 0);
  EXPECT_EQ(out, 0);
  EXPECT_EQ(block, before);
  EXPECT_EQ(RAND_get_rand_method(), nullptr);  // the placeholder is gone too
  EXPECT_EQ(drain_errors(),
            (std::vector<ErrCode>{{74, 104, 100}, {74, 104, 74}, {74, 108, 74}, {74, 114, 12}, {74, 114, 74}}));
  EXPECT_EQ(PSE_rand_init(nullptr, nullptr, &out, nullptr, nullptr), 0);
  EXPECT_EQ(drain_errors(), (std::vector<ErrCode>{{74, 114, 12}, {74, 114, 74}}));
}

TEST_F(PseRandTest, CancelledSeedingInstallsNothing) {
  MemoryPseStore store;
  KeyScript script;
  script.answer = [](const KeyCall& call, int i) { return i == 9 ? -1 : call.character; };
  Block block{};
  int out = -1;
  EXPECT_EQ(PSE_rand_init(&store, block.data(), &out, KeyScript::callback, &script), 0);
  EXPECT_EQ(script.calls.size(), 10u);
  EXPECT_EQ(out, 0);
  EXPECT_EQ(block, Block{});
  EXPECT_EQ(RAND_get_rand_method(), nullptr);
  EXPECT_EQ(GRAND_is_keyed(), 0);
  EXPECT_EQ(drain_errors(), (std::vector<ErrCode>{{69, 111, 69}, {74, 114, 74}}));
}

TEST_F(PseRandTest, ReadyGeneratorIsLeftAlone) {
  MemoryPseStore store;
  RAND_set_rand_method(GRAND_method());
  unsigned char seed[32] = {5};
  ASSERT_EQ(RAND_seed(seed, 32), 1);
  Block block = block_of(store, 0x33);
  const Block before = block;
  int out = -1;
  EXPECT_EQ(PSE_rand_init(&store, block.data(), &out, nullptr, nullptr), 1);
  EXPECT_EQ(out, 0);
  EXPECT_EQ(block, before);
}

TEST_F(PseRandTest, WithoutOutTheStateIsNotWritten) {
  MemoryPseStore store;
  Block block = block_of(store, 0x44);
  const Block before = block;
  EXPECT_EQ(PSE_rand_init(&store, block.data(), nullptr, nullptr, nullptr), 1);
  EXPECT_EQ(block, before);
  EXPECT_EQ(PSE_rand_ready(), 1);
}

// A container that can seal nothing (no KEK): the keys are asked for, but
// the fresh state cannot be written back, so nothing stays installed.
TEST_F(PseRandTest, FailedWriteBackFails) {
  MemoryPseStore store;
  Block block = block_of(store, 0x55);
  store.break_writes();
  KeyScript script;
  int out = -1;
  EXPECT_EQ(PSE_rand_init(&store, block.data(), &out, KeyScript::callback, &script), 0);
  EXPECT_EQ(script.calls.size(), 16u);
  EXPECT_EQ(out, 0);
  EXPECT_EQ(RAND_get_rand_method(), nullptr);
  EXPECT_EQ(GRAND_is_keyed(), 0);
  EXPECT_EQ(drain_errors(), (std::vector<ErrCode>{{74, 109, 74}, {74, 114, 74}}));
}

TEST_F(PseRandTest, SaveState) {
  MemoryPseStore store;
  Block block{};
  EXPECT_EQ(PSE_rand_save_state(&store, block.data()), 0);  // no generator
  EXPECT_EQ(drain_errors(), (std::vector<ErrCode>{{69, 101, 100}, {74, 115, 74}}));

  RAND_set_rand_method(GRAND_method());
  unsigned char seed[32] = {1};
  ASSERT_EQ(RAND_seed(seed, 32), 1);
  ASSERT_EQ(PSE_rand_save_state(&store, block.data()), 1);
  const Bytes first = state_in(store, block);
  ASSERT_EQ(PSE_rand_save_state(&store, block.data()), 1);
  EXPECT_NE(state_in(store, block), first);

  store.break_writes();
  EXPECT_EQ(PSE_rand_save_state(&store, block.data()), 0);
  EXPECT_EQ(drain_errors(), (std::vector<ErrCode>{{74, 109, 74}, {74, 115, 74}}));
  EXPECT_EQ(PSE_rand_save_state(nullptr, block.data()), 0);
  EXPECT_EQ(drain_errors(), (std::vector<ErrCode>{{74, 115, 74}}));
}

TEST_F(PseRandTest, OpaqueWrappersZeroOnFailure) {
  MemoryPseStore store;
  Block block = block_of(store, 0x66);
  unsigned char out[36];
  std::fill(out, out + 36, 0xAB);
  store.break_reads();
  EXPECT_EQ(PSE_read_opaque(&store, block.data(), out), nullptr);
  EXPECT_EQ(Bytes(out, out + 32), Bytes(32, 0));
  std::fill(out, out + 36, 0xAB);
  store.break_writes();
  unsigned char plain[32] = {};
  EXPECT_EQ(PSE_write_opaque(&store, plain, out), nullptr);
  EXPECT_EQ(Bytes(out, out + 32), Bytes(32, 0));
  EXPECT_EQ(PSE_read_opaque(nullptr, block.data(), out), nullptr);
  EXPECT_EQ(drain_errors(),
            (std::vector<ErrCode>{{74, 104, 100}, {74, 104, 74}, {74, 108, 74}, {74, 109, 74}, {74, 108, 74}}));
  MemoryPseStore intact;
  EXPECT_EQ(PSE_read_opaque(&intact, block.data(), out), out);
  EXPECT_EQ(Bytes(out, out + 32), Bytes(32, 0x66));
}

}  // namespace
}  // namespace qcrypto
