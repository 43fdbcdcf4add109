// Enveloping and opening a large file with RUS-GAMMAR against the bare cipher
// over the same data, file to file in the same 4096-byte blocks (both outputs
// synced to disk), and the resident memory of each (maxrss_MiB, own_MiB: see
// bench/support/bench_files.h; flat whatever the file size).
// DOSSAR_BENCH_ENVELOPE_MIB, else DOSSAR_BENCH_MIB, sets the size (default 256).
#include <benchmark/benchmark.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <sys/random.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/support/bare_cipher.h"
#include "bench/support/bench_files.h"
#include "crypto/cclib/ossl_owners.h"
#include "crypto/pkcs7/envelope.h"
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
  UniquePtr<EVP_PKEY> ca_key;
  UniquePtr<X509> ca;
  UniquePtr<EVP_PKEY> key;
  UniquePtr<X509> cert;
  std::string dir;
  std::string plain;
  std::string bare;
  std::string sealed;
  long long size = 0;

  Setup() {
    qcrypto::RAND_set_rand_method(&kSystemRand);
    qcrypto::evp_provider_start();
    // The recipient's key type costs one key transport per message; the
    // content is what is measured. An RSA recipient issued by a GOST CA.
    ca_key.reset(test_support::gost_new_key(test_support::GostKeyType::kR3410));
    ca.reset(test_support::gost_make_cert(ca_key.get(), {"Bench CA", 1, true, 30}, nullptr, ca_key.get()));
    key.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(2048)));
    cert.reset(test_support::gost_make_cert(key.get(), {"Bench recipient", 2, false, 30}, ca.get(), ca_key.get()));
    size = bench_support::file_mib("DOSSAR_BENCH_ENVELOPE_MIB", 256) << 20;
    dir = bench_support::temp_dir();
    const std::string tag = std::to_string(getpid());
    plain = dir + "/bench-envelope-" + tag + ".in";
    bare = dir + "/bench-envelope-" + tag + ".bare";
    sealed = dir + "/bench-envelope-" + tag + ".p7";
    // Written in pieces: the input never sits in memory whole either.
    bench_support::write_file(plain, size);
  }
  ~Setup() {
    for (const auto& p : {plain, bare, sealed, dir + "/bench-envelope-out"}) unlink(p.c_str());
  }
  Setup(const Setup&) = delete;
  Setup& operator=(const Setup&) = delete;
};

Setup& setup() {
  static Setup s;
  return s;
}

void BM_BareEncrypt(benchmark::State& state) {
  Setup& s = setup();
  const bench_support::PeakMemory memory;
  for (auto _ : state) {
    if (!bench_support::bare_gamma_file(s.plain, s.bare, 1)) state.SkipWithError("bare encryption failed");
  }
  memory.report(state, s.size);
}

void BM_EnvelopeEncrypt(benchmark::State& state) {
  Setup& s = setup();
  const qcrypto::EnvelopeRecipient r[] = {{s.cert.get(), 1}};
  const bench_support::PeakMemory memory;
  for (auto _ : state) {
    if (qcrypto::envelope_encrypt_file(r, qcrypto::EVP_rus_gammar(), s.plain.c_str(), s.sealed.c_str()) != 1) {
      state.SkipWithError("enveloping failed");
    }
  }
  memory.report(state, s.size);
}

void BM_BareDecrypt(benchmark::State& state) {
  Setup& s = setup();
  if (access(s.bare.c_str(), R_OK) != 0) bench_support::bare_gamma_file(s.plain, s.bare, 1);
  const bench_support::PeakMemory memory;
  for (auto _ : state) {
    if (!bench_support::bare_gamma_file(s.bare, s.dir + "/bench-envelope-out", 0))
      state.SkipWithError("bare decryption failed");
  }
  memory.report(state, s.size);
}

void BM_EnvelopeDecrypt(benchmark::State& state) {
  Setup& s = setup();
  const qcrypto::EnvelopeRecipient r[] = {{s.cert.get(), 1}};
  if (access(s.sealed.c_str(), R_OK) != 0) {
    qcrypto::envelope_encrypt_file(r, qcrypto::EVP_rus_gammar(), s.plain.c_str(), s.sealed.c_str());
  }
  const std::string out = s.dir + "/bench-envelope-out";
  const bench_support::PeakMemory memory;
  for (auto _ : state) {
    if (qcrypto::envelope_decrypt_file(s.sealed.c_str(), out.c_str(), s.key.get(), s.cert.get()) != 1) {
      state.SkipWithError("opening failed");
    }
  }
  memory.report(state, s.size);
}

BENCHMARK(BM_BareEncrypt)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3);
BENCHMARK(BM_EnvelopeEncrypt)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3);
BENCHMARK(BM_BareDecrypt)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3);
BENCHMARK(BM_EnvelopeDecrypt)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3);

}  // namespace
BENCHMARK_MAIN();
