// Signing and verifying a large file with a GOST R 34.10-2001 key against the
// bare GOST R 34.11-94 digest over the same file in the same 4096-byte
// blocks, and the resident memory of each (maxrss_MiB, own_MiB: see
// bench/support/bench_files.h; flat whatever the file size).
// DOSSAR_BENCH_SIGNED_MIB, else DOSSAR_BENCH_MIB, sets the size (default 256).
#include <benchmark/benchmark.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <sys/random.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/support/bench_files.h"
#include "crypto/cclib/ossl_owners.h"
#include "crypto/pkcs7/signed_data.h"
#include "crypto/prov/evp_gost.h"
#include "crypto/rand/rand.h"
#include "tests/support/gost_pki.h"

namespace {

using qcrypto::UniquePtr;

int system_bytes(unsigned char* buffer, int length) {
  return getrandom(buffer, static_cast<size_t>(length), 0) == length ? length : 0;
}
const qcrypto::RAND_METHOD kSystemRand = {nullptr, system_bytes, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

struct Setup {
  UniquePtr<EVP_PKEY> key;
  UniquePtr<X509> cert;
  std::string plain;
  std::string attached;
  std::string detached;
  long long size = 0;

  Setup() {
    qcrypto::RAND_set_rand_method(&kSystemRand);
    qcrypto::evp_provider_start();
    key.reset(test_support::gost_new_key(test_support::GostKeyType::kEcr3410));
    cert.reset(test_support::gost_make_cert(key.get(), {"Bench signer", 2, false, 30}, nullptr, key.get()));
    size = bench_support::file_mib("DOSSAR_BENCH_SIGNED_MIB", 256) << 20;
    const std::string tag = bench_support::temp_dir() + "/bench-signed-" + std::to_string(getpid());
    plain = tag + ".in";
    attached = tag + ".p7s";
    detached = tag + ".sig";
    // Written in pieces: the input never sits in memory whole either.
    bench_support::write_file(plain, size);
  }
  ~Setup() {
    for (const auto& p : {plain, attached, detached}) unlink(p.c_str());
  }
  Setup(const Setup&) = delete;
  Setup& operator=(const Setup&) = delete;
};

Setup& setup() {
  static Setup s;
  return s;
}

void BM_BareDigest(benchmark::State& state) {
  Setup& s = setup();
  const bench_support::PeakMemory memory;
  for (auto _ : state) {
    UniquePtr<BIO> in(BIO_new_file(s.plain.c_str(), "rb"));
    UniquePtr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
    std::array<unsigned char, qcrypto::SIGNED_BLOCK> block{};
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    int got = 0;
    if (!in || !ctx || EVP_DigestInit_ex2(ctx.get(), qcrypto::EVP_ecr3410(), nullptr) != 1) {
      state.SkipWithError("digest failed");
      continue;
    }
    while ((got = BIO_read(in.get(), block.data(), static_cast<int>(block.size()))) > 0) {
      EVP_DigestUpdate(ctx.get(), block.data(), static_cast<size_t>(got));
    }
    EVP_DigestFinal_ex(ctx.get(), md, &n);
    benchmark::DoNotOptimize(md);
  }
  memory.report(state, s.size);
}

void sign_bench(benchmark::State& state, bool detached) {
  Setup& s = setup();
  const qcrypto::SignedSigner signers[] = {{s.key.get(), s.cert.get(), nullptr}};
  qcrypto::SignedOptions options;
  options.detached = detached;
  options.signing_time = std::time(nullptr);
  const bench_support::PeakMemory memory;
  for (auto _ : state) {
    if (qcrypto::signed_data_sign_file(signers, s.plain.c_str(), (detached ? s.detached : s.attached).c_str(),
                                       options) != 1) {
      state.SkipWithError("signing failed");
    }
  }
  memory.report(state, s.size);
}
void BM_SignAttached(benchmark::State& state) { sign_bench(state, false); }
void BM_SignDetached(benchmark::State& state) { sign_bench(state, true); }

void verify_bench(benchmark::State& state, bool detached) {
  Setup& s = setup();
  const std::string& msg = detached ? s.detached : s.attached;
  if (access(msg.c_str(), R_OK) != 0) {
    const qcrypto::SignedSigner signers[] = {{s.key.get(), s.cert.get(), nullptr}};
    qcrypto::SignedOptions options;
    options.detached = detached;
    qcrypto::signed_data_sign_file(signers, s.plain.c_str(), msg.c_str(), options);
  }
  const bench_support::PeakMemory memory;
  for (auto _ : state) {
    qcrypto::SignedVerifyResult r;
    if (qcrypto::signed_data_verify_file(msg.c_str(), detached ? s.plain.c_str() : nullptr, nullptr, &r) != 1) {
      state.SkipWithError("verification failed");
    }
  }
  memory.report(state, s.size);
}
void BM_VerifyAttached(benchmark::State& state) { verify_bench(state, false); }
void BM_VerifyDetached(benchmark::State& state) { verify_bench(state, true); }

BENCHMARK(BM_BareDigest)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3);
BENCHMARK(BM_SignAttached)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3);
BENCHMARK(BM_SignDetached)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3);
BENCHMARK(BM_VerifyAttached)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3);
BENCHMARK(BM_VerifyDetached)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3);

}  // namespace
BENCHMARK_MAIN();
