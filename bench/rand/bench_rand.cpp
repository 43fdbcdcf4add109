// Throughput of RAND_bytes from the seeded software generator.
#include <benchmark/benchmark.h>

#include <vector>

#include "crypto/rand/grand.h"
#include "crypto/rand/rand.h"

namespace {

void seed_generator() {
  qcrypto::RAND_set_rand_method(nullptr);
  qcrypto::RAND_set_rand_method(qcrypto::GRAND_method());
  unsigned char seed[32] = {1, 2, 3, 4};
  qcrypto::RAND_seed(seed, sizeof(seed));
}

void BM_RandBytes(benchmark::State& state) {
  seed_generator();
  const int n = static_cast<int>(state.range(0));
  std::vector<unsigned char> buf(static_cast<std::size_t>(n));
  for (auto _ : state) {
    if (qcrypto::RAND_bytes(buf.data(), n) != n) state.SkipWithError("RAND_bytes failed");
    benchmark::DoNotOptimize(buf.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * n);
}
BENCHMARK(BM_RandBytes)->Arg(32)->Arg(256)->Arg(4096)->Arg(1 << 20);

// Seeding itself: key, IV and buffer derived through the hash.
void BM_Seed(benchmark::State& state) {
  for (auto _ : state) {
    qcrypto::RAND_set_rand_method(nullptr);
    qcrypto::RAND_set_rand_method(qcrypto::GRAND_method());
    unsigned char seed[32] = {5};
    benchmark::DoNotOptimize(qcrypto::RAND_seed(seed, sizeof(seed)));
  }
}
BENCHMARK(BM_Seed);

}  // namespace

BENCHMARK_MAIN();
