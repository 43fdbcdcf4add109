// The big-number additions beside OpenSSL's nearest equivalents.
#include <benchmark/benchmark.h>

#include "bench_rand.h"
#include "crypto/bn/bn_ext.h"

namespace qcrypto {
namespace {

BIGNUM* FromHex(const char* hex) {
  BIGNUM* b = nullptr;
  BN_hex2bn(&b, hex);
  return b;
}

constexpr const char* kP1Mod8 = "8000000000000000000000000000000000000000000000000000000000000431";
constexpr const char* kP7Mod8 = "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFD97";

void BinaryInverse(benchmark::State& state) {
  BN_CTX* ctx = BN_CTX_new();
  BIGNUM* n = FromHex(kP7Mod8);
  BIGNUM* a = BN_new();
  BIGNUM* r = BN_new();
  BN_rand_range(a, n);
  for (auto _ : state) benchmark::DoNotOptimize(BN_mod_binary_inverse(r, a, n, ctx));
  BN_free(a);
  BN_free(r);
  BN_free(n);
  BN_CTX_free(ctx);
}

void OpensslInverse(benchmark::State& state) {
  BN_CTX* ctx = BN_CTX_new();
  BIGNUM* n = FromHex(kP7Mod8);
  BIGNUM* a = BN_new();
  BIGNUM* r = BN_new();
  BN_rand_range(a, n);
  for (auto _ : state) benchmark::DoNotOptimize(BN_mod_inverse(r, a, n, ctx));
  BN_free(a);
  BN_free(r);
  BN_free(n);
  BN_CTX_free(ctx);
}

void Sqrt(benchmark::State& state, const char* prime, bool ours) {
  BN_CTX* ctx = BN_CTX_new();
  BIGNUM* p = FromHex(prime);
  BIGNUM* a = BN_new();
  BIGNUM* r = BN_new();
  BN_rand_range(r, p);
  BN_mod_sqr(a, r, p, ctx);
  for (auto _ : state) {
    if (ours) {
      benchmark::DoNotOptimize(BN_sqrt(r, a, p, 1, ctx));
    } else {
      benchmark::DoNotOptimize(BN_mod_sqrt(r, a, p, ctx));
    }
  }
  BN_free(a);
  BN_free(r);
  BN_free(p);
  BN_CTX_free(ctx);
}

BENCHMARK(BinaryInverse);
BENCHMARK(OpensslInverse);
BENCHMARK_CAPTURE(Sqrt, ours_p_1_mod_8, kP1Mod8, true);
BENCHMARK_CAPTURE(Sqrt, openssl_p_1_mod_8, kP1Mod8, false);
BENCHMARK_CAPTURE(Sqrt, ours_p_7_mod_8, kP7Mod8, true);
BENCHMARK_CAPTURE(Sqrt, openssl_p_7_mod_8, kP7Mod8, false);

}  // namespace
}  // namespace qcrypto
