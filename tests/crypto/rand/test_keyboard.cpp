// Keyboard seeding, the interactive init slot and the toolkit placeholder.
#include <algorithm>
#include <chrono>
#include <future>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "crypto/cclib/locks.h"
#include "crypto/pse/pse_rand.h"
#include "crypto/rus/gost3411.h"
#include "tests/crypto/rand/rand_test_support.h"
#include "tests/support/pse_memory.h"

namespace qcrypto {
namespace {

using testing_support::drain_errors;
using testing_support::ErrCode;
using testing_support::KeyCall;
using testing_support::KeyScript;
using testing_support::RandTest;
using Bytes = std::vector<unsigned char>;

constexpr std::string_view kAlphabet = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

void expect_prompts_well_formed(const std::vector<KeyCall>& calls) {
  for (std::size_t i = 0; i < calls.size(); ++i) {
    EXPECT_NE(kAlphabet.find(static_cast<char>(calls[i].character)), std::string_view::npos) << calls[i].character;
    EXPECT_GT(calls[i].character, 0);
    EXPECT_EQ(calls[i].total, 16);
    EXPECT_GE(calls[i].ordinal, 1);
    EXPECT_LE(calls[i].ordinal, 16);
    if (i > 0) {
      EXPECT_NE(calls[i].character, calls[i - 1].character) << "asked twice in a row at " << i;
    }
  }
}

using KeyboardTest = RandTest;

TEST_F(KeyboardTest, SixteenCorrectKeys) {
  KeyScript script;
  unsigned char out[32] = {};
  ASSERT_EQ(GRAND_keyboard_seed(out, KeyScript::callback, &script), 1);
  ASSERT_EQ(script.calls.size(), 16u);
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(script.calls[i].ordinal, i + 1);
    EXPECT_EQ(script.calls[i].user, &script);
  }
  expect_prompts_well_formed(script.calls);
  EXPECT_NE(Bytes(out, out + 32), Bytes(32, 0));
  EXPECT_FALSE(rand_jitter_running());
}

// A wrong key takes one step back (never below the first); the ordinals the
// callback sees follow that count exactly.
TEST_F(KeyboardTest, WrongKeysStepBack) {
  struct Case {
    std::string pattern;  // per prompt: 'y' right, 'n' wrong (until the pattern ends, then right)
  };
  const Case cases[] = {{"n"}, {"nnn"}, {"yyn"}, {"yyyyynnnnnnn"}, {"ynynynyn"}};
  for (const auto& c : cases) {
    KeyScript script;
    script.answer = [&c](const KeyCall& call, int i) {
      const bool right = i >= static_cast<int>(c.pattern.size()) || c.pattern[i] == 'y';
      return right ? call.character : (call.character == 'Z' ? 'Y' : 'Z');
    };
    unsigned char out[32] = {};
    ASSERT_EQ(GRAND_keyboard_seed(out, KeyScript::callback, &script), 1) << c.pattern;
    int count = 0;
    for (std::size_t i = 0; i < script.calls.size(); ++i) {
      EXPECT_EQ(script.calls[i].ordinal, count + 1) << c.pattern << " prompt " << i;
      const bool right = i >= c.pattern.size() || c.pattern[i] == 'y';
      count = right ? count + 1 : std::max(0, count - 1);
    }
    EXPECT_EQ(count, 16);
    expect_prompts_well_formed(script.calls);
  }
}

// Typing the previous character is a wrong key.
TEST_F(KeyboardTest, PreviousCharacterIsWrong) {
  KeyScript script;
  script.answer = [&script](const KeyCall& call, int i) {
    return (i == 3 || i == 4) ? script.calls[i - 1].character : call.character;
  };
  unsigned char out[32] = {};
  ASSERT_EQ(GRAND_keyboard_seed(out, KeyScript::callback, &script), 1);
  EXPECT_EQ(script.calls.size(), 20u);  // two wrong keys cost two steps each
  EXPECT_EQ(script.calls[4].ordinal, 3);
  EXPECT_EQ(script.calls[5].ordinal, 2);
}

// A result below 1 cancels.
TEST_F(KeyboardTest, CancelResults) {
  for (int result : {0, -1, -100000}) {
    for (int at : {0, 5}) {
      KeyScript script;
      script.answer = [=](const KeyCall& call, int i) { return i == at ? result : call.character; };
      unsigned char out[32];
      std::fill(out, out + 32, 0);
      EXPECT_EQ(GRAND_keyboard_seed(out, KeyScript::callback, &script), 0) << result << " at " << at;
      EXPECT_EQ(script.calls.size(), static_cast<std::size_t>(at + 1));
      EXPECT_EQ(Bytes(out, out + 32), Bytes(32, 0)) << "partial seed left behind";
      EXPECT_FALSE(rand_jitter_running());
    }
  }
}

// A key beyond one byte (a Cyrillic letter answers with its Unicode code)
// is a wrong key: one step back, and the seeding goes on to succeed.
TEST_F(KeyboardTest, KeysBeyondOneByteStepBack) {
  for (int result : {256, 0x0439, 0x7fffffff}) {
    KeyScript script;
    script.answer = [=](const KeyCall& call, int i) { return i == 3 ? result : call.character; };
    unsigned char out[32] = {};
    ASSERT_EQ(GRAND_keyboard_seed(out, KeyScript::callback, &script), 1) << result;
    ASSERT_EQ(script.calls.size(), 18u) << result;  // the wrong key and the step it cost
    EXPECT_EQ(script.calls[3].ordinal, 4);
    EXPECT_EQ(script.calls[4].ordinal, 3);
    EXPECT_NE(Bytes(out, out + 32), Bytes(32, 0));
  }
}

// Every seed block the generator makes, as the hash sees it.
struct Collection {
  uint32_t caller_value;
  Bytes digest;
};
std::vector<Collection> g_collections;
void record_source(unsigned char* block, unsigned char* os) {
  Bytes both(block, block + 32);
  both.insert(both.end(), os, os + 32);
  Bytes digest(32);
  GOSTH_digest(both.data(), 64, nullptr, nullptr, digest.data());
  const uint32_t caller = static_cast<uint32_t>(block[24]) | (static_cast<uint32_t>(block[25]) << 8) |
                          (static_cast<uint32_t>(block[26]) << 16) | (static_cast<uint32_t>(block[27]) << 24);
  g_collections.push_back({caller, digest});
}

// The result is the XOR of exactly the blocks taken at accepted keys (those
// carry the time-stamp counter; the blocks that choose a prompt carry 0),
// wrong keys adding nothing.
TEST_F(KeyboardTest, SeedIsTheXorOfTheAcceptedKeysBlocks) {
  for (const std::string pattern : {"", "nny", "yyyynyn"}) {
    g_collections.clear();
    GRAND_set_seed_source(record_source);
    KeyScript script;
    script.answer = [&pattern](const KeyCall& call, int i) {
      const bool right = i >= static_cast<int>(pattern.size()) || pattern[i] == 'y';
      return right ? call.character : (call.character == 'Z' ? 'Y' : 'Z');
    };
    unsigned char out[32] = {};
    ASSERT_EQ(GRAND_keyboard_seed(out, KeyScript::callback, &script), 1) << pattern;
    GRAND_set_seed_source(nullptr);
    Bytes expected(32, 0);
    int accepted = 0;
    for (const auto& c : g_collections) {
      if (c.caller_value == 0) continue;
      ++accepted;
      for (int i = 0; i < 32; ++i) expected[i] ^= c.digest[i];
    }
    EXPECT_EQ(g_collections.size(), script.calls.size() + static_cast<std::size_t>(accepted)) << pattern;
    EXPECT_EQ(accepted, static_cast<int>(script.calls.size()) - static_cast<int>(pattern.size()) +
                            static_cast<int>(std::count(pattern.begin(), pattern.end(), 'y')))
        << pattern;
    EXPECT_EQ(Bytes(out, out + 32), expected) << pattern;
  }
}

// The init slot hands out generator output, never the keyboard seed itself:
// with every seed block fixed, the 16 blocks cancel out (XOR of an even
// count of equal blocks) and the slot must give what seeding with 32 zero
// bytes gives.
TEST_F(KeyboardTest, InitSlotStateIsOutputOfTheKeyboardSeed) {
  GRAND_set_seed_source([](unsigned char* block, unsigned char* os) {
    for (int i = 0; i < 32; ++i) {
      block[i] = static_cast<unsigned char>(7 * i + 1);
      os[i] = static_cast<unsigned char>(i);
    }
  });
  RAND_set_rand_method(GRAND_method());
  unsigned char reference[32] = {};
  ASSERT_EQ(RAND_seed(reference, 32), 1);
  ASSERT_EQ(RAND_cleanup(), 1);

  RAND_set_rand_method(GRAND_method());
  KeyScript script;
  GRAND_INIT_ARGS args{KeyScript::callback, &script};
  unsigned char state[32] = {};
  ASSERT_EQ(RAND_init(state, &args), 1);
  EXPECT_EQ(script.calls.size(), 16u);
  EXPECT_EQ(Bytes(state, state + 32), Bytes(reference, reference + 32));
}

TEST_F(KeyboardTest, BadArguments) {
  unsigned char out[32] = {};
  KeyScript script;
  EXPECT_EQ(GRAND_keyboard_seed(nullptr, KeyScript::callback, &script), 0);
  EXPECT_EQ(GRAND_keyboard_seed(out, nullptr, &script), 0);
  EXPECT_TRUE(script.calls.empty());
}

// The init slot: 32 output bytes of a generator seeded from the keyboard.
TEST_F(KeyboardTest, InitSlotSeedsAndReturnsOutput) {
  KeyScript script;
  GRAND_INIT_ARGS args{KeyScript::callback, &script};
  RAND_set_rand_method(GRAND_method());
  unsigned char state[32] = {};
  ASSERT_EQ(RAND_init(state, &args), 1);
  EXPECT_EQ(script.calls.size(), 16u);
  EXPECT_EQ(GRAND_is_keyed(), 1);
  EXPECT_NE(Bytes(state, state + 32), Bytes(32, 0));
  unsigned char more[32];
  ASSERT_EQ(RAND_bytes(more, 32), 32);
  EXPECT_NE(Bytes(state, state + 32), Bytes(more, more + 32));

  RAND_set_rand_method(nullptr);
  RAND_set_rand_method(GRAND_method());
  KeyScript cancel;
  cancel.answer = [](const KeyCall&, int) { return 0; };
  GRAND_INIT_ARGS cancel_args{KeyScript::callback, &cancel};
  unsigned char untouched[32] = {9, 9, 9};
  EXPECT_EQ(RAND_init(untouched, &cancel_args), 0);
  EXPECT_EQ(untouched[0], 9);
  EXPECT_EQ(GRAND_is_keyed(), 0);
  EXPECT_EQ(drain_errors(), (std::vector<ErrCode>{{69, 111, 69}}));
}

TEST_F(KeyboardTest, KeyCallbackWithoutRegistration) {
  EXPECT_EQ(mprand_key_callback('A', 1, 16, nullptr), -1);
  KeyScript script;
  KeyScript::current = &script;
  mprand_set_callback(KeyScript::callback);
  EXPECT_EQ(mprand_key_callback('Q', 3, 16, nullptr), 'Q');
  ASSERT_EQ(script.calls.size(), 1u);
  EXPECT_EQ(script.calls[0].ordinal, 3);
}

using PlaceholderTest = RandTest;

TEST_F(PlaceholderTest, Record) {
  const RAND_METHOD* m = mprand_method();
  EXPECT_EQ(m->seed, nullptr);
  EXPECT_NE(m->bytes, nullptr);
  EXPECT_EQ(m->cleanup, nullptr);
  EXPECT_EQ(m->init, nullptr);
  EXPECT_EQ(m->info, nullptr);
  RAND_set_rand_method(m);
  EXPECT_EQ(RAND_is_placeholder(), 1);
  EXPECT_EQ(PSE_rand_ready(), 0);
}

// No board: the first request seeds from the keyboard, installs the
// software generator and serves the request from it.
TEST_F(PlaceholderTest, FirstUseSeedsFromTheKeyboard) {
  KeyScript script;
  KeyScript::current = &script;
  mprand_set_callback(KeyScript::callback);
  RAND_set_rand_method(mprand_method());
  Bytes buf(100, 0);
  ASSERT_EQ(RAND_bytes(buf.data(), 100), 100);
  EXPECT_GE(script.calls.size(), 16u);
  for (const auto& c : script.calls) EXPECT_EQ(c.user, nullptr);  // user word 0
  EXPECT_EQ(RAND_get_rand_method(), GRAND_method());
  EXPECT_EQ(PSE_rand_ready(), 1);
  EXPECT_NE(buf, Bytes(100, 0));
  // Seeded now: no more prompts.
  const std::size_t asked = script.calls.size();
  ASSERT_EQ(RAND_bytes(buf.data(), 100), 100);
  EXPECT_EQ(script.calls.size(), asked);
  EXPECT_EQ(PSE_rand_device_code(), 0);
}

// A cancel delivers nothing, keeps the placeholder, and the next request
// asks again.
TEST_F(PlaceholderTest, CancelKeepsThePlaceholder) {
  KeyScript script;
  script.answer = [](const KeyCall& call, int i) { return i == 2 ? 0 : call.character; };
  KeyScript::current = &script;
  mprand_set_callback(KeyScript::callback);
  RAND_set_rand_method(mprand_method());
  unsigned char buf[16] = {};
  EXPECT_EQ(RAND_bytes(buf, 16), 0);
  EXPECT_EQ(script.calls.size(), 3u);
  EXPECT_EQ(RAND_get_rand_method(), mprand_method());
  EXPECT_EQ(GRAND_is_keyed(), 0);
  EXPECT_EQ(drain_errors(), (std::vector<ErrCode>{{69, 111, 69}, {74, 114, 74}}));

  script.calls.clear();
  script.answer = nullptr;
  EXPECT_EQ(RAND_bytes(buf, 16), 16);
  EXPECT_EQ(script.calls.size(), 16u);
  EXPECT_EQ(RAND_get_rand_method(), GRAND_method());
}

// Without a registered callback the request fails the same way.
TEST_F(PlaceholderTest, NoCallbackRegistered) {
  RAND_set_rand_method(mprand_method());
  unsigned char buf[8];
  EXPECT_EQ(RAND_bytes(buf, 8), 0);
  EXPECT_EQ(RAND_get_rand_method(), mprand_method());
}

// While a person types, lock 17 is free: this thread does not hold it and
// another thread takes it at once. Checked at every prompt of each way in:
// the placeholder's first request, a key container without a saved state,
// and the init slot.
struct LockFreeProbe {
  int prompts = 0;
  int held = 0;     // prompts during which this thread held lock 17
  int blocked = 0;  // prompts during which another thread could not take it

  static int callback(int c, int, int, void* user) {
    auto* probe = user != nullptr ? static_cast<LockFreeProbe*>(user) : current;
    ++probe->prompts;
    if (CRYPTO_lock_held(CRYPTO_LOCK_RAND)) ++probe->held;
    auto other = std::async(std::launch::async, [] {
      if (!CRYPTO_try_lock(CRYPTO_LOCK_RAND)) return false;
      CRYPTO_lock(CRYPTO_UNLOCK, CRYPTO_LOCK_RAND, __FILE__, __LINE__);
      return true;
    });
    if (other.wait_for(std::chrono::seconds(5)) != std::future_status::ready || !other.get()) ++probe->blocked;
    return c;
  }
  static inline LockFreeProbe* current = nullptr;
};

TEST_F(PlaceholderTest, NoLockIsHeldWhileWaitingForKeys) {
  LockFreeProbe placeholder;
  LockFreeProbe::current = &placeholder;
  mprand_set_callback(LockFreeProbe::callback);
  RAND_set_rand_method(mprand_method());
  unsigned char buf[16];
  ASSERT_EQ(RAND_bytes(buf, 16), 16);
  EXPECT_GE(placeholder.prompts, 16);
  EXPECT_EQ(placeholder.held, 0);
  EXPECT_EQ(placeholder.blocked, 0);

  PSE_rand_cleanup();
  GRAND_method_cleanup();
  testing_support::MemoryPseStore store;
  std::array<unsigned char, 36> block{};
  LockFreeProbe container;
  int out = 0;
  ASSERT_EQ(PSE_rand_init(&store, block.data(), &out, LockFreeProbe::callback, &container), 1);
  EXPECT_EQ(out, 36);
  EXPECT_GE(container.prompts, 16);
  EXPECT_EQ(container.held, 0);
  EXPECT_EQ(container.blocked, 0);

  PSE_rand_cleanup();
  GRAND_method_cleanup();
  LockFreeProbe slot;
  GRAND_INIT_ARGS args{LockFreeProbe::callback, &slot};
  unsigned char state[32];
  ASSERT_EQ(GRAND_gamma_rand_init(state, &args), 1);
  EXPECT_GE(slot.prompts, 16);
  EXPECT_EQ(slot.held, 0);
  EXPECT_EQ(slot.blocked, 0);
  LockFreeProbe::current = nullptr;
}

// Two requests meeting the placeholder at once: one person, one set of keys;
// the second request waits for the first and draws from its generator.
TEST_F(PlaceholderTest, ConcurrentFirstRequestsAskOnce) {
  KeyScript script;
  KeyScript::current = &script;
  mprand_set_callback(KeyScript::callback);
  RAND_set_rand_method(mprand_method());
  Bytes a(32), b(32);
  std::thread other([&b] { EXPECT_EQ(RAND_bytes(b.data(), 32), 32); });
  EXPECT_EQ(RAND_bytes(a.data(), 32), 32);
  other.join();
  EXPECT_EQ(script.calls.size(), 16u);
  EXPECT_NE(a, b);
  EXPECT_EQ(RAND_get_rand_method(), GRAND_method());
}

}  // namespace
}  // namespace qcrypto
