// The hash context: splitting of the data over update calls, the final
// padding rules, the start vector, argument checks and the one-shot digest.
#include <gtest/gtest.h>

#include <cstring>
#include <latch>
#include <random>
#include <string>
#include <thread>

#include "crypto/rus/gost3411.h"
#include "gosth_test_util.h"

namespace {

using namespace gosth_test;
using qcrypto::GOSTH_CTX;

Bytes random_bytes(std::mt19937& rng, size_t n) {
  Bytes b(n);
  for (auto& x : b) x = static_cast<unsigned char>(rng());
  return b;
}

// Feeds msg in pieces of the given sizes (their sum is msg.size()).
Digest digest_in_pieces(const Bytes& msg, const std::vector<size_t>& pieces, const unsigned char* sbox = nullptr) {
  GOSTH_CTX ctx{};
  EXPECT_EQ(qcrypto::GOSTH_init(&ctx, nullptr, sbox), 1);
  size_t pos = 0;
  for (size_t p : pieces) {
    if (p > 0) {
      EXPECT_EQ(qcrypto::GOSTH_update(&ctx, msg.data() + pos, static_cast<int>(p)), static_cast<int>(p));
    }
    pos += p;
  }
  EXPECT_EQ(pos, msg.size());
  Digest d{};
  EXPECT_EQ(qcrypto::GOSTH_final(&ctx, d.data()), 32);
  qcrypto::GOSTH_clear(&ctx);
  return d;
}

// H after the given steps from H0 = start, as the digest (byte-reversed).
Digest by_hand(const std::vector<Bytes>& blocks, const unsigned char* sbox = nullptr,
               const unsigned char* start = nullptr) {
  GOSTH_CTX ctx{};
  EXPECT_EQ(qcrypto::GOSTH_init(&ctx, start, sbox), 1);
  for (const Bytes& b : blocks) {
    EXPECT_EQ(b.size(), 32u);
    qcrypto::rus_hash_step(&ctx, b.data());
  }
  Digest d;
  std::memcpy(d.data(), ctx.H, 32);
  qcrypto::GOSTH_clear(&ctx);
  return reversed(d);
}

// A 256-bit little-endian number holding v.
Bytes number(uint64_t v) {
  Bytes b(32, 0);
  for (int i = 0; i < 8; ++i) b[i] = static_cast<unsigned char>(v >> (8 * i));
  return b;
}

TEST(GosthContext, SplitUpdatesEqualOneShot) {
  std::mt19937 rng(10);
  for (int round = 0; round < 300; ++round) {
    const size_t n = rng() % 300;
    const Bytes msg = random_bytes(rng, n);
    std::vector<size_t> pieces;
    for (size_t left = n; left > 0;) {
      const size_t p = std::min<size_t>(left, rng() % 70);
      pieces.push_back(p);
      left -= p;
    }
    ASSERT_EQ(to_hex(digest_in_pieces(msg, pieces)), to_hex(digest(msg))) << "length " << n;
  }
}

TEST(GosthContext, NamedSplits) {
  std::mt19937 rng(11);
  const Bytes m3 = random_bytes(rng, 3), m64 = random_bytes(rng, 64), m100 = random_bytes(rng, 100);
  EXPECT_EQ(to_hex(digest_in_pieces(m3, {1, 2})), to_hex(digest(m3)));
  EXPECT_EQ(to_hex(digest_in_pieces(m64, {31, 1, 32})), to_hex(digest(m64)));
  EXPECT_EQ(to_hex(digest_in_pieces(m64, {31, 1, 32}, test_paramset().data())),
            to_hex(digest(m64, test_paramset().data())));
  EXPECT_EQ(to_hex(digest_in_pieces(m100, {5, 90, 5})), to_hex(digest(m100)));
  EXPECT_EQ(to_hex(digest_in_pieces(m100, {32, 32, 36})), to_hex(digest(m100)));
}

// What final adds, composed from the step function by hand.
TEST(GosthContext, FinalBlocksComposedByHand) {
  std::mt19937 rng(12);
  const Bytes zero(32, 0);
  // Empty: one zero block, then length 0 and sum 0.
  EXPECT_EQ(to_hex(digest({})), to_hex(by_hand({zero, zero, zero})));
  // 32 bytes: its block, length 256, sum = the block; no padding block.
  const Bytes m32 = random_bytes(rng, 32);
  EXPECT_EQ(to_hex(digest(m32)), to_hex(by_hand({m32, number(256), m32})));
  // 64 bytes: two blocks, length 512, sum of both.
  const Bytes m64 = random_bytes(rng, 64);
  const Bytes b1(m64.begin(), m64.begin() + 32), b2(m64.begin() + 32, m64.end());
  uint32_t sum[8] = {};
  qcrypto::rus_hash_add256(sum, b1.data());
  qcrypto::rus_hash_add256(sum, b2.data());
  const Bytes sum_bytes(reinterpret_cast<unsigned char*>(sum), reinterpret_cast<unsigned char*>(sum) + 32);
  EXPECT_EQ(to_hex(digest(m64)), to_hex(by_hand({b1, b2, number(512), sum_bytes})));
  // 3 bytes: padded with zeros, length 24, sum = the padded block.
  const Bytes m3 = random_bytes(rng, 3);
  Bytes padded = m3;
  padded.resize(32, 0);
  EXPECT_EQ(to_hex(digest(m3)), to_hex(by_hand({padded, number(24), padded})));
  // The same with a start vector.
  const Bytes start = random_bytes(rng, 32);
  EXPECT_EQ(to_hex(digest(m3, nullptr, start.data())),
            to_hex(by_hand({padded, number(24), padded}, nullptr, start.data())));
}

TEST(GosthContext, StartVector) {
  std::mt19937 rng(13);
  const Bytes msg = random_bytes(rng, 77), zero(32, 0), start = random_bytes(rng, 32);
  EXPECT_EQ(to_hex(digest(msg, nullptr, zero.data())), to_hex(digest(msg)));
  EXPECT_NE(to_hex(digest(msg, nullptr, start.data())), to_hex(digest(msg)));
  GOSTH_CTX ctx{};
  ASSERT_EQ(qcrypto::GOSTH_init(&ctx, start.data(), nullptr), 1);
  EXPECT_EQ(std::memcmp(ctx.H, start.data(), 32), 0);
  EXPECT_EQ(ctx.count, -1);
  qcrypto::GOSTH_clear(&ctx);
}

// A null set is the hash's own default, not the cipher's.
TEST(GosthContext, DefaultSbox) {
  const Bytes msg = {'a', 'b', 'c'};
  EXPECT_EQ(to_hex(digest(msg, nullptr)), to_hex(digest(msg, qcrypto::GOSTH_get_default_sbox())));
  EXPECT_NE(to_hex(digest(msg, nullptr)), to_hex(digest(msg, qcrypto::GOSTE_get_default_sbox())));
  EXPECT_NE(to_hex(digest(msg, nullptr)), to_hex(digest(msg, test_paramset().data())));
}

TEST(GosthContext, RejectedUpdatesChangeNothing) {
  const unsigned char data[40] = {1, 2, 3};
  GOSTH_CTX ctx{};
  unsigned char before[sizeof(GOSTH_CTX)];
  ASSERT_EQ(qcrypto::GOSTH_init(&ctx, nullptr, nullptr), 1);
  ASSERT_EQ(qcrypto::GOSTH_update(&ctx, data, 5), 5);
  std::memcpy(before, static_cast<const void*>(&ctx), sizeof before);
  EXPECT_EQ(qcrypto::GOSTH_update(&ctx, data, 0), 0);
  EXPECT_EQ(qcrypto::GOSTH_update(&ctx, data, -40), 0);
  EXPECT_EQ(qcrypto::GOSTH_update(&ctx, nullptr, 40), 0);
  EXPECT_EQ(qcrypto::GOSTH_update(nullptr, data, 40), 0);
  EXPECT_EQ(std::memcmp(before, &ctx, sizeof before), 0);
  qcrypto::GOSTH_clear(&ctx);

  // An update of nothing keeps the message empty: the zero block is still hashed.
  ASSERT_EQ(qcrypto::GOSTH_init(&ctx, nullptr, nullptr), 1);
  EXPECT_EQ(qcrypto::GOSTH_update(&ctx, data, 0), 0);
  EXPECT_EQ(ctx.count, -1);
  Digest d{};
  ASSERT_EQ(qcrypto::GOSTH_final(&ctx, d.data()), 32);
  EXPECT_EQ(to_hex(d), to_hex(digest({})));
  qcrypto::GOSTH_clear(&ctx);
}

TEST(GosthContext, InitDiscardsState) {
  const Bytes msg = {'a', 'b', 'c'};
  std::mt19937 rng(14);
  const Bytes junk = random_bytes(rng, 1000), start = random_bytes(rng, 32);
  GOSTH_CTX ctx{};
  ASSERT_EQ(qcrypto::GOSTH_init(&ctx, start.data(), test_paramset().data()), 1);
  ASSERT_EQ(qcrypto::GOSTH_update(&ctx, junk.data(), 1000), 1000);
  ASSERT_EQ(qcrypto::GOSTH_init(&ctx, nullptr, nullptr), 1);
  ASSERT_EQ(qcrypto::GOSTH_update(&ctx, msg.data(), 3), 3);
  Digest d{};
  ASSERT_EQ(qcrypto::GOSTH_final(&ctx, d.data()), 32);
  EXPECT_EQ(to_hex(d), to_hex(digest(msg)));
  qcrypto::GOSTH_clear(&ctx);
}

TEST(GosthContext, ClearZeroesAndUninitialisedContextIsRefused) {
  GOSTH_CTX* ctx = qcrypto::GOSTH_new();
  ASSERT_NE(ctx, nullptr);
  const unsigned char data[32] = {7};
  Digest d{};
  // Never initialised: no table to run on.
  EXPECT_EQ(qcrypto::GOSTH_update(ctx, data, 8), 0);
  EXPECT_EQ(qcrypto::GOSTH_final(ctx, d.data()), 0);
  ASSERT_EQ(qcrypto::GOSTH_init(ctx, data, test_paramset().data()), 1);
  ASSERT_EQ(qcrypto::GOSTH_update(ctx, data, 8), 8);
  EXPECT_EQ(qcrypto::GOSTH_final(nullptr, d.data()), 0);
  EXPECT_EQ(qcrypto::GOSTH_final(ctx, nullptr), 0);
  ASSERT_EQ(qcrypto::GOSTH_final(ctx, d.data()), 32);
  qcrypto::GOSTH_clear(ctx);
  const GOSTH_CTX zero{};
  EXPECT_EQ(std::memcmp(ctx, &zero, sizeof zero), 0);
  EXPECT_EQ(qcrypto::GOSTH_update(ctx, data, 8), 0);
  qcrypto::GOSTH_free(ctx);
  qcrypto::GOSTH_clear(nullptr);
  qcrypto::GOSTH_free(nullptr);
  EXPECT_EQ(qcrypto::GOSTH_init(nullptr, nullptr, nullptr), 0);
}

TEST(GosthContext, OneShotDigest) {
  const Bytes abc = {'a', 'b', 'c'};
  Digest mine{};
  ASSERT_EQ(qcrypto::GOSTH_digest(abc.data(), 3, nullptr, nullptr, mine.data()), mine.data());
  EXPECT_EQ(to_hex(mine), to_hex(digest_in_pieces(abc, {3})));

  // Without an output buffer: the shared static buffer, the same on every call.
  unsigned char* shared = qcrypto::GOSTH_digest(abc.data(), 3, nullptr, nullptr, nullptr);
  ASSERT_NE(shared, nullptr);
  EXPECT_NE(shared, mine.data());
  EXPECT_EQ(std::memcmp(shared, mine.data(), 32), 0);
  const Bytes other = {'x'};
  EXPECT_EQ(qcrypto::GOSTH_digest(other.data(), 1, nullptr, nullptr, nullptr), shared);
  EXPECT_EQ(std::memcmp(shared, digest(other).data(), 32), 0);

  // Failures give null and leave the output alone.
  Digest untouched{};
  untouched.fill(0x5a);
  Digest out = untouched;
  EXPECT_EQ(qcrypto::GOSTH_digest(nullptr, 3, nullptr, nullptr, out.data()), nullptr);
  EXPECT_EQ(qcrypto::GOSTH_digest(abc.data(), -1, nullptr, nullptr, out.data()), nullptr);
  EXPECT_EQ(out, untouched);
  // Zero bytes are a whole (empty) message.
  EXPECT_EQ(qcrypto::GOSTH_digest(nullptr, 0, nullptr, nullptr, out.data()), out.data());
  EXPECT_EQ(to_hex(out), to_hex(by_hand({Bytes(32, 0), Bytes(32, 0), Bytes(32, 0)})));
}

// A copy taken mid-message finishes the same digest as the original, and the
// two go on apart; freeing the original leaves the copy working.
TEST(GosthContext, CopyIsDeepAndIndependent) {
  std::mt19937 rng(16);
  const Bytes msg = random_bytes(rng, 100), tail = random_bytes(rng, 45);
  for (const unsigned char* sbox : {test_paramset().data(), static_cast<const unsigned char*>(nullptr)}) {
    qcrypto::UniquePtr<GOSTH_CTX> a(qcrypto::GOSTH_new());
    ASSERT_EQ(qcrypto::GOSTH_init(a.get(), nullptr, sbox), 1);
    ASSERT_EQ(qcrypto::GOSTH_update(a.get(), msg.data(), 45), 45);  // an open block
    GOSTH_CTX b{};
    ASSERT_EQ(qcrypto::GOSTH_init(&b, nullptr, cryptopro_paramset().data()), 1);  // its table is released
    ASSERT_EQ(qcrypto::GOSTH_CTX_copy(&b, a.get()), 1);
    if (sbox != nullptr) {
      EXPECT_NE(b.cipher.table, a->cipher.table);
    }
    // a takes another ending; b the rest of the message, after a is gone.
    ASSERT_EQ(qcrypto::GOSTH_update(a.get(), tail.data(), 45), 45);
    Digest da{}, db{};
    ASSERT_EQ(qcrypto::GOSTH_final(a.get(), da.data()), 32);
    a.reset();
    ASSERT_EQ(qcrypto::GOSTH_update(&b, msg.data() + 45, 55), 55);
    ASSERT_EQ(qcrypto::GOSTH_final(&b, db.data()), 32);
    qcrypto::GOSTH_clear(&b);
    Bytes other(msg.begin(), msg.begin() + 45);
    other.insert(other.end(), tail.begin(), tail.end());
    EXPECT_EQ(to_hex(db), to_hex(digest(msg, sbox)));
    EXPECT_EQ(to_hex(da), to_hex(digest(other, sbox)));
  }
  EXPECT_EQ(qcrypto::GOSTH_CTX_copy(nullptr, nullptr), 0);
}

// Without an output buffer each thread gets its own: a digest that another
// thread computes later does not overwrite the first thread's.
TEST(GosthContext, NullOutputIsPerThread) {
  const Bytes first = {'o', 'n', 'e'}, second = {'t', 'w', 'o'};
  const std::string want_first = to_hex(digest(first)), want_second = to_hex(digest(second));
  std::latch first_done(1), second_done(1);
  unsigned char* p_first = nullptr;
  unsigned char* p_second = nullptr;
  std::string seen_by_first, seen_by_second;
  std::thread a([&] {
    p_first = qcrypto::GOSTH_digest(first.data(), 3, nullptr, nullptr, nullptr);
    first_done.count_down();
    second_done.wait();  // the other thread has written its digest by now
    if (p_first != nullptr) seen_by_first = to_hex(p_first, 32);
  });
  std::thread b([&] {
    first_done.wait();
    p_second = qcrypto::GOSTH_digest(second.data(), 3, nullptr, nullptr, nullptr);
    if (p_second != nullptr) seen_by_second = to_hex(p_second, 32);
    second_done.count_down();
  });
  a.join();
  b.join();
  EXPECT_NE(p_first, p_second);
  EXPECT_EQ(seen_by_first, want_first);
  EXPECT_EQ(seen_by_second, want_second);
}

// The hash mixes seeds and derives keys from shared secrets: when update and
// final return, the stack holds none of the message, the running or final
// hash value, or the step keys.
TEST(GosthContext, NoSecretsLeftOnTheStack) {
  std::mt19937 rng(15);
  const unsigned char marker[8] = {0x5e, 0xc7, 0x3e, 0x70, 0x01, 0xfe, 0x9a, 0x2b};
  clear_stack_below();
  leave_on_stack(marker, sizeof(marker));
  ASSERT_TRUE(stack_below_holds(marker, sizeof(marker)));
  // Watched 8-byte pieces of a value (at most 32 bytes).
  auto holds_any = [](const unsigned char* v, size_t n = 32) {
    for (size_t i = 0; i + 8 <= n; i += 8)
      if (stack_below_holds(v + i, 8)) return true;
    return false;
  };
  for (size_t len : {size_t{32}, size_t{64}, size_t{45}, size_t{13}}) {
    SCOPED_TRACE(testing::Message() << "length " << len);
    const Bytes msg = random_bytes(rng, len);
    GOSTH_CTX ctx{};
    ASSERT_EQ(qcrypto::GOSTH_init(&ctx, nullptr, test_paramset().data()), 1);
    // The step keys of the first block, from the start value H = 0.
    Bytes first(32, 0);
    std::copy(msg.begin(), msg.begin() + static_cast<long>(std::min<size_t>(len, 32)), first.begin());
    uint32_t keys[32];
    const uint32_t zero[8] = {};
    uint32_t m[8];
    std::memcpy(m, first.data(), 32);
    qcrypto::rus_hash_keygen(zero, m, keys);

    clear_stack_below();
    ASSERT_EQ(qcrypto::GOSTH_update(&ctx, msg.data(), static_cast<int>(len)), static_cast<int>(len));
    EXPECT_FALSE(holds_any(msg.data(), std::min<size_t>(len, 32))) << "message after update";
    if (len >= 32) {
      EXPECT_FALSE(holds_any(reinterpret_cast<const unsigned char*>(ctx.H))) << "running hash after update";
      for (int k = 0; k < 3; ++k)
        EXPECT_FALSE(holds_any(reinterpret_cast<const unsigned char*>(keys + 8 * k))) << "K" << k + 1;
    }
    Digest d{};
    clear_stack_below();
    ASSERT_EQ(qcrypto::GOSTH_final(&ctx, d.data()), 32);
    const Digest h = reversed(d);
    EXPECT_FALSE(holds_any(h.data())) << "hash value after final";
    EXPECT_FALSE(holds_any(msg.data(), std::min<size_t>(len, 32))) << "message after final";
    qcrypto::GOSTH_clear(&ctx);
  }
}

}  // namespace
