// Throughput of the hash on one core: long messages, 8 KiB update calls,
// one-shot 8 KiB messages, and libgcrypt on the same data for scale. The
// step's encryptions run on the dispatched round (constant-time when
// the CPU has it: the faster constant-time round); BM_MessageTableRound,
// BM_MessageVbmiRound (512-bit), BM_MessageVbmiNarrowRound (256-bit),
// BM_MessageShuffleRound (AVX-512 build) and BM_MessageShuffleAvx2Round force
// one round.
#include <benchmark/benchmark.h>
#include <gcrypt.h>

#include <cstdint>
#include <random>
#include <vector>

#include "bench/support/bench_data.h"
#include "crypto/rus/gost28147_multi.h"
#include "crypto/rus/gost3411.h"

namespace {

using qcrypto::GOSTH_CTX;

using bench_support::data;

// The whole buffer in one update call, digest at the end.
void BM_Message(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  const auto& buf = data(n);
  GOSTH_CTX ctx{};
  unsigned char out[32];
  for (auto _ : state) {
    qcrypto::GOSTH_init(&ctx, nullptr, nullptr);
    qcrypto::GOSTH_update(&ctx, buf.data(), static_cast<int>(n));
    qcrypto::GOSTH_final(&ctx, out);
    benchmark::DoNotOptimize(out);
  }
  qcrypto::GOSTH_clear(&ctx);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
}
BENCHMARK(BM_Message)->Arg(64 << 20)->Arg(8 << 10)->Unit(benchmark::kMillisecond);

void BM_MessageTableRound(benchmark::State& state) {
  qcrypto::gost_detail::set_round_path(qcrypto::gost_detail::RoundPath::kTable);
  BM_Message(state);
  qcrypto::gost_detail::set_round_path(qcrypto::gost_detail::RoundPath::kAuto);
}
BENCHMARK(BM_MessageTableRound)->Arg(64 << 20)->Arg(8 << 10)->Unit(benchmark::kMillisecond);

void BM_MessageVbmiRound(benchmark::State& state) {
  qcrypto::gost_detail::set_round_path(qcrypto::gost_detail::RoundPath::kAvx512);
  if (qcrypto::gost_detail::ct_round() != &qcrypto::gost_detail::kAvx512Round) state.SkipWithError("no AVX-512 VBMI");
  BM_Message(state);
  qcrypto::gost_detail::set_round_path(qcrypto::gost_detail::RoundPath::kAuto);
}
BENCHMARK(BM_MessageVbmiRound)->Arg(64 << 20)->Arg(8 << 10)->Unit(benchmark::kMillisecond);

void BM_MessageVbmiNarrowRound(benchmark::State& state) {
  qcrypto::gost_detail::set_round_path(qcrypto::gost_detail::RoundPath::kAvx512Narrow);
  if (qcrypto::gost_detail::ct_round() != &qcrypto::gost_detail::kAvx512NarrowRound) {
    state.SkipWithError("no AVX-512 VBMI");
  }
  BM_Message(state);
  qcrypto::gost_detail::set_round_path(qcrypto::gost_detail::RoundPath::kAuto);
}
BENCHMARK(BM_MessageVbmiNarrowRound)->Arg(64 << 20)->Arg(8 << 10)->Unit(benchmark::kMillisecond);

void BM_MessageShuffleRound(benchmark::State& state) {
  qcrypto::gost_detail::set_round_path(qcrypto::gost_detail::RoundPath::kShuffle);
  if (qcrypto::gost_detail::ct_round() != &qcrypto::gost_detail::kShuffleRound512) {
    state.SkipWithError("no AVX-512");
  }
  BM_Message(state);
  qcrypto::gost_detail::set_round_path(qcrypto::gost_detail::RoundPath::kAuto);
}
BENCHMARK(BM_MessageShuffleRound)->Arg(64 << 20)->Arg(8 << 10)->Unit(benchmark::kMillisecond);

void BM_MessageShuffleAvx2Round(benchmark::State& state) {
  qcrypto::gost_detail::set_round_path(qcrypto::gost_detail::RoundPath::kShuffleAvx2);
  if (qcrypto::gost_detail::ct_round() != &qcrypto::gost_detail::kShuffleRound) state.SkipWithError("no AVX2");
  BM_Message(state);
  qcrypto::gost_detail::set_round_path(qcrypto::gost_detail::RoundPath::kAuto);
}
BENCHMARK(BM_MessageShuffleAvx2Round)->Arg(64 << 20)->Arg(8 << 10)->Unit(benchmark::kMillisecond);

// A long stream fed in update calls of range(0) bytes each.
void BM_StreamedUpdates(benchmark::State& state) {
  const size_t chunk = static_cast<size_t>(state.range(0));
  const size_t total = 64 << 20;
  const auto& buf = data(total);
  GOSTH_CTX ctx{};
  qcrypto::GOSTH_init(&ctx, nullptr, nullptr);
  size_t pos = 0;
  for (auto _ : state) {
    qcrypto::GOSTH_update(&ctx, buf.data() + pos, static_cast<int>(chunk));
    pos = (pos + chunk) % (total - chunk);
  }
  unsigned char out[32];
  qcrypto::GOSTH_final(&ctx, out);
  benchmark::DoNotOptimize(out);
  qcrypto::GOSTH_clear(&ctx);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(chunk));
}
BENCHMARK(BM_StreamedUpdates)->Arg(8 << 10)->Arg(1000);

// One-shot digests of range(0)-byte messages.
void BM_Digest(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  const auto& buf = data(n);
  unsigned char out[32];
  for (auto _ : state) {
    qcrypto::GOSTH_digest(buf.data(), static_cast<int>(n), nullptr, nullptr, out);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
}
BENCHMARK(BM_Digest)->Arg(8 << 10);

void BM_Libgcrypt(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  const auto& buf = data(n);
  gcry_check_version(nullptr);
  unsigned char out[32];
  for (auto _ : state) {
    gcry_md_hash_buffer(GCRY_MD_GOSTR3411_CP, out, buf.data(), n);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
}
BENCHMARK(BM_Libgcrypt)->Arg(64 << 20)->Arg(8 << 10)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
