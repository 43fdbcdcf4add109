// Throughput of the GOST 28147-89 modes on 8 KiB and 64 MiB calls, with the
// multi-block code forced portable or dispatched (AVX2 when the CPU has it),
// the serial modes on the table round, on each constant-time round (AVX-512
// VBMI permutes, AVX2 byte shuffles) and on the dispatched round (the faster
// constant-time round here),
// and libgcrypt's ECB and CFB on the same data for scale (figures on a shared
// machine move with its clock; the reference moves with them).
#include <benchmark/benchmark.h>
#include <gcrypt.h>

#include <cstring>
#include <string>
#include <vector>

#include "crypto/rus/gost28147.h"
#include "crypto/rus/gost28147_multi.h"

namespace {

using qcrypto::GOSTE_CTX;
using qcrypto::gost_detail::Path;
using qcrypto::gost_detail::RoundPath;

enum Mode { kEcbEnc, kEcbDec, kGamma, kFbe, kFbd, kMac };

const unsigned char kKey[32] = {0x54, 0x6d, 0x20, 0x33, 0x68, 0x65, 0x6c, 0x32, 0x69, 0x73, 0x65,
                                0x20, 0x73, 0x73, 0x6e, 0x62, 0x20, 0x61, 0x67, 0x79, 0x69, 0x67,
                                0x74, 0x74, 0x73, 0x65, 0x68, 0x65, 0x20, 0x2c, 0x3d, 0x73};
const unsigned char kIv[8] = {1, 2, 3, 4, 5, 6, 7, 8};

bool serial(Mode m) { return m == kFbe || m == kMac; }

void run(benchmark::State& state, Mode mode) {
  const auto size = static_cast<size_t>(state.range(0));
  // Serial modes take a round choice here; the others a multi-block path
  // (their tails then run on the dispatched round).
  const auto path = serial(mode) ? Path::kAuto : static_cast<Path>(state.range(1));
  const auto round = serial(mode) ? static_cast<RoundPath>(state.range(1)) : RoundPath::kAuto;
  qcrypto::gost_detail::set_path(path);
  qcrypto::gost_detail::set_round_path(round);
  std::vector<unsigned char> buf(size, 0x5a);
  GOSTE_CTX ctx{};
  switch (mode) {
    case kEcbEnc:
    case kEcbDec:
      qcrypto::GOSTE_ss_init(&ctx, mode == kEcbEnc, kKey, nullptr);
      break;
    case kGamma:
      qcrypto::GOSTE_gamma_init(&ctx, kKey, kIv, nullptr);
      break;
    case kFbe:
    case kFbd:
      qcrypto::GOSTE_gamma_fb_init(&ctx, kKey, kIv, nullptr);
      break;
    case kMac:
      qcrypto::GOSTE_mac_init(&ctx, kKey, nullptr);
      break;
  }
  const int len = static_cast<int>(size);
  for (auto _ : state) {
    int done = 0;
    switch (mode) {
      case kEcbEnc:
      case kEcbDec:
        done = qcrypto::GOSTE_ss_cipher(&ctx, buf.data(), buf.data(), len);
        break;
      case kGamma:
        done = qcrypto::GOSTE_gamma_update(&ctx, buf.data(), buf.data(), len);
        break;
      case kFbe:
        done = qcrypto::GOSTE_gamma_fbe_update(&ctx, buf.data(), buf.data(), len);
        break;
      case kFbd:
        done = qcrypto::GOSTE_gamma_fbd_update(&ctx, buf.data(), buf.data(), len);
        break;
      case kMac:
        done = qcrypto::GOSTE_mac_update(&ctx, buf.data(), len);
        break;
    }
    benchmark::DoNotOptimize(done);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
  if (serial(mode)) {
    const qcrypto::gost_detail::CtRound* ct = qcrypto::gost_detail::ct_round();
    const char* ran = ct == nullptr                                     ? "table"
                      : ct == &qcrypto::gost_detail::kAvx512Round       ? "avx512"
                      : ct == &qcrypto::gost_detail::kAvx512NarrowRound ? "avx512-256"
                      : ct == &qcrypto::gost_detail::kShuffleRound512   ? "shuffle-avx512"
                                                                        : "shuffle-avx2";
    state.SetLabel(std::string(round == RoundPath::kAuto ? "serial:auto:" : "serial:") + ran);
  } else if (path == Path::kPortable) {
    state.SetLabel("portable");
  } else {
    state.SetLabel(qcrypto::gost_detail::cpu_has_avx2() ? "dispatched:avx2" : "dispatched:portable");
  }
  qcrypto::GOSTE_clear(&ctx);
  qcrypto::gost_detail::set_path(Path::kAuto);
  qcrypto::gost_detail::set_round_path(RoundPath::kAuto);
}

void Sizes(benchmark::internal::Benchmark* b) {
  for (int64_t size : {int64_t{8} << 10, int64_t{64} << 20}) {
    for (Path p : {Path::kPortable, Path::kAuto}) b->Args({size, static_cast<int64_t>(p)});
  }
  b->ArgNames({"bytes", "path"});
}

void SerialSizes(benchmark::internal::Benchmark* b) {
  for (int64_t size : {int64_t{8} << 10, int64_t{64} << 20}) {
    for (RoundPath r : {RoundPath::kTable, RoundPath::kAvx512, RoundPath::kAvx512Narrow, RoundPath::kShuffle,
                        RoundPath::kShuffleAvx2, RoundPath::kAuto}) {
      b->Args({size, static_cast<int64_t>(r)});
    }
  }
  b->ArgNames({"bytes", "round"});
}

void BM_EcbEncrypt(benchmark::State& s) { run(s, kEcbEnc); }
void BM_EcbDecrypt(benchmark::State& s) { run(s, kEcbDec); }
void BM_Gamma(benchmark::State& s) { run(s, kGamma); }
void BM_GammaFeedbackDecrypt(benchmark::State& s) { run(s, kFbd); }
void BM_GammaFeedbackEncrypt(benchmark::State& s) { run(s, kFbe); }
void BM_Mac(benchmark::State& s) { run(s, kMac); }

// libgcrypt's GOST 28147-89 in ECB and in CFB (its feedback mode, serial like ours).
void LibgcryptRun(benchmark::State& state, int mode) {
  const auto size = static_cast<size_t>(state.range(0));
  gcry_check_version(nullptr);
  gcry_cipher_hd_t h = nullptr;
  if (gcry_cipher_open(&h, GCRY_CIPHER_GOST28147, mode, 0) != 0 || gcry_cipher_setkey(h, kKey, sizeof kKey) != 0 ||
      (mode == GCRY_CIPHER_MODE_CFB && gcry_cipher_setiv(h, kIv, sizeof kIv) != 0)) {
    state.SkipWithError("libgcrypt has no GOST 28147-89 here");
    gcry_cipher_close(h);
    return;
  }
  std::vector<unsigned char> buf(size, 0x5a);
  for (auto _ : state) {
    benchmark::DoNotOptimize(gcry_cipher_encrypt(h, buf.data(), size, nullptr, 0));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
  state.SetLabel("libgcrypt");
  gcry_cipher_close(h);
}

void BM_LibgcryptEcbEncrypt(benchmark::State& s) { LibgcryptRun(s, GCRY_CIPHER_MODE_ECB); }
void BM_LibgcryptCfbEncrypt(benchmark::State& s) { LibgcryptRun(s, GCRY_CIPHER_MODE_CFB); }

BENCHMARK(BM_EcbEncrypt)->Apply(Sizes);
BENCHMARK(BM_EcbDecrypt)->Apply(Sizes);
BENCHMARK(BM_Gamma)->Apply(Sizes);
BENCHMARK(BM_GammaFeedbackDecrypt)->Apply(Sizes);
// Serial modes: no multi-block code; round 1 table, 2 AVX-512 permutes, 5 the
// same in 256-bit vectors, 3 byte shuffles (AVX-512 build where it runs), 4
// byte shuffles (AVX2 build), 0 dispatched (a round the CPU lacks runs on the
// table and says so).
BENCHMARK(BM_GammaFeedbackEncrypt)->Apply(SerialSizes);
BENCHMARK(BM_Mac)->Apply(SerialSizes);
BENCHMARK(BM_LibgcryptEcbEncrypt)->Arg(8 << 10);
BENCHMARK(BM_LibgcryptCfbEncrypt)->Arg(8 << 10);

}  // namespace

BENCHMARK_MAIN();
