// GOST R 34.10-94 signing and verification, built-in 1024-bit parameters
// (fixed-base table) and an explicit 1024-bit set (generic path).
#include <benchmark/benchmark.h>

#include <array>
#include <memory>
#include <stdexcept>

#include "bench_rand.h"
#include "crypto/bn/bn_owner.h"
#include "crypto/r3410/r3410.h"

namespace qcrypto {
namespace {

using KeyPtr = UniquePtr<R3410>;

BIGNUM* FromHex(const char* hex) {
  BIGNUM* b = nullptr;
  BN_hex2bn(&b, hex);
  return b;
}

// CryptoPro-A parameters, as an explicit set.
constexpr const char* kAP =
    "B4E25EFB018E3C8B87505E2A67553C5EDC56C2914B7E4F89D23F03F03377E70A2903489DD60E78418D3D851EDB5317C4871E40B04228C3B7"
    "902963C4B7D85D52B9AA88F2AFDBEB28DA8869D6DF846A1D98924E925561BD69300B9DDD05D247B5922D967CBB02671881C57D10E5EF72D3"
    "E6DAD4223DC82AA1F7D0294651A480DF";
constexpr const char* kAQ = "972432A437178B30BD96195B773789AB2FFF15594B176DD175B63256EE5AF2CF";
constexpr const char* kAA =
    "8FD36731237654BBE41F5F1F8453E71CA414FFC22C25D915309E5D2E62A2A26C7111F3FC79568DAFA028042FE1A52A0489805C0DE9A1A469"
    "C844C7CABBEE625C3078888C1D85EEA883F1AD5BC4E6776E8E1A0750912DF64F79956499F1E182475B0B60E2632ADCD8CF94E9C54FD1F3B1"
    "09D81F00BF2AB8CB862ADF7D40B9369A";

KeyPtr MakeKey(bool builtin) {
  RAND_set_rand_method(bench::OsslRandMethod());
  KeyPtr key(GOSTS_new());
  if (builtin) {
    R3410_default_params(key.get());
  } else {
    key->p = FromHex(kAP);
    key->q = FromHex(kAQ);
    key->a = FromHex(kAA);
  }
  key->x = FromHex("1D3A5F0C9B8E7D6C5B4A39281706F5E4D3C2B1A09F8E7D6C5B4A392817060504");
  if (R3410_generate_pubkey(key.get()) != 1) throw std::runtime_error("key");
  return key;
}

void Sign(benchmark::State& state, bool builtin) {
  KeyPtr key = MakeKey(builtin);
  std::array<unsigned char, 32> digest{};
  for (auto _ : state) {
    digest[0]++;
    R3410_SIG* sig = GOSTS_do_sign(key.get(), digest.data(), 32);
    if (sig == nullptr) state.SkipWithError("sign failed");
    R3410_SIG_free(sig);
  }
  state.counters["sign/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void Verify(benchmark::State& state, bool builtin) {
  KeyPtr key = MakeKey(builtin);
  std::array<unsigned char, 32> digest{};
  digest[7] = 0x42;
  R3410_SIG* sig = GOSTS_do_sign(key.get(), digest.data(), 32);
  for (auto _ : state) {
    if (GOSTS_do_verify(sig, key.get(), digest.data(), 32) != 1) state.SkipWithError("verify failed");
  }
  R3410_SIG_free(sig);
  state.counters["verify/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// Verification with a key record seen for the first time: includes the
// subgroup check of y and the precomputation that later verifications reuse.
void VerifyFirstUse(benchmark::State& state) {
  KeyPtr key = MakeKey(true);
  std::array<unsigned char, 32> digest{};
  R3410_SIG* sig = GOSTS_do_sign(key.get(), digest.data(), 32);
  for (auto _ : state) {
    KeyPtr fresh(GOSTS_new());
    fresh->p = BN_dup(key->p);
    fresh->q = BN_dup(key->q);
    fresh->a = BN_dup(key->a);
    fresh->y = BN_dup(key->y);
    if (GOSTS_do_verify(sig, fresh.get(), digest.data(), 32) != 1) state.SkipWithError("verify failed");
  }
  R3410_SIG_free(sig);
}

void SignDer(benchmark::State& state) {
  KeyPtr key = MakeKey(true);
  std::array<unsigned char, 32> digest{};
  std::array<unsigned char, 80> out{};
  for (auto _ : state) {
    unsigned int len = 0;
    digest[0]++;
    if (R3410_sign(176, key.get(), digest.data(), 32, out.data(), &len) != 1) state.SkipWithError("sign failed");
  }
}

void VerifyDer(benchmark::State& state) {
  KeyPtr key = MakeKey(true);
  std::array<unsigned char, 32> digest{};
  std::array<unsigned char, 80> out{};
  unsigned int len = 0;
  R3410_sign(176, key.get(), digest.data(), 32, out.data(), &len);
  for (auto _ : state) {
    if (R3410_verify(176, key.get(), digest.data(), 32, out.data(), static_cast<int>(len)) != 1) {
      state.SkipWithError("verify failed");
    }
  }
}

void PublicKey(benchmark::State& state) {
  KeyPtr key = MakeKey(true);
  for (auto _ : state) {
    if (R3410_generate_pubkey(key.get()) != 1) state.SkipWithError("pubkey failed");
  }
}

BENCHMARK_CAPTURE(Sign, builtin_1024, true);
BENCHMARK_CAPTURE(Verify, builtin_1024, true);
BENCHMARK_CAPTURE(Sign, explicit_cryptopro_a, false);
BENCHMARK_CAPTURE(Verify, explicit_cryptopro_a, false);
BENCHMARK(VerifyFirstUse);
BENCHMARK(SignDer);
BENCHMARK(VerifyDer);
BENCHMARK(PublicKey);

}  // namespace
}  // namespace qcrypto

BENCHMARK_MAIN();
