// What a certificate record costs (the split of a parsed certificate, and
// the whole read from DER or PEM bytes), and what the checked, atomic file
// write costs against the bare write it replaces.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <openssl/x509.h>
#include <sys/random.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "crypto/cadb/cadb_file.h"
#include "crypto/cadb/cert_record.h"
#include "crypto/cclib/ossl_owners.h"
#include "crypto/prov/evp_gost.h"
#include "crypto/rand/rand.h"
#include "tests/support/gost_pki.h"

namespace {

using test_support::GostKeyType;

int system_bytes(unsigned char* buffer, int length) {
  return getrandom(buffer, static_cast<size_t>(length), 0) == length ? length : 0;
}
const qcrypto::RAND_METHOD kSystemRand = {nullptr, system_bytes, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

// One certificate per key type, made once.
X509* certificate(GostKeyType type) {
  static X509* made[2] = {};
  const int i = type == GostKeyType::kR3410 ? 0 : 1;
  if (made[i] == nullptr) {
    qcrypto::RAND_set_rand_method(&kSystemRand);
    if (qcrypto::evp_provider_start() != 1) std::abort();
    qcrypto::UniquePtr<EVP_PKEY> key(test_support::gost_new_key(type));
    made[i] = test_support::gost_make_cert(key.get(), {"bench", 1, true, 30}, nullptr, key.get());
    if (made[i] == nullptr) std::abort();
  }
  return made[i];
}

GostKeyType type_of(const benchmark::State& state) {
  return state.range(0) == 0 ? GostKeyType::kR3410 : GostKeyType::kEcr3410;
}

void BM_CertSplit(benchmark::State& state) {
  X509* x509 = certificate(type_of(state));
  for (auto _ : state) {
    qcrypto::CERT* cert = qcrypto::CERT_split(x509);
    if (cert == nullptr) state.SkipWithError("split failed");
    benchmark::DoNotOptimize(cert);
    qcrypto::CERT_free(cert);
  }
}
BENCHMARK(BM_CertSplit)->Arg(0)->Arg(1)->ArgName("ecr3410");

void BM_CertReadBuffer(benchmark::State& state) {
  X509* x509 = certificate(type_of(state));
  const bool pem = state.range(1) != 0;
  std::vector<unsigned char> bytes;
  if (pem) {
    const std::string text = test_support::to_pem(x509);
    bytes.assign(text.begin(), text.end());
  } else {
    bytes = test_support::to_der(x509);
  }
  for (auto _ : state) {
    qcrypto::CERT* cert = qcrypto::CERT_read_buffer_any(bytes.data(), static_cast<int>(bytes.size()));
    if (cert == nullptr) state.SkipWithError("read failed");
    qcrypto::CERT_free(cert);
  }
}
BENCHMARK(BM_CertReadBuffer)->Args({0, 0})->Args({0, 1})->Args({1, 0})->Args({1, 1})->ArgNames({"ecr3410", "pem"});

std::string scratch_folder() {
  static std::string folder = [] {
    std::string t = "/tmp/bench-cadb-XXXXXX";
    if (::mkdtemp(t.data()) == nullptr) std::abort();
    return t;
  }();
  return folder;
}

// The checked write: temporary name, sync, rename, folder sync.
void BM_WriteFile_Atomic(benchmark::State& state) {
  const std::vector<unsigned char> bytes(static_cast<std::size_t>(state.range(0)), 0x5A);
  const std::string path = scratch_folder() + "/atomic.bin";
  for (auto _ : state) {
    if (qcrypto::CADB_write_buffer(path.c_str(), bytes.data(), static_cast<int>(bytes.size())) !=
        static_cast<int>(bytes.size())) {
      state.SkipWithError("write failed");
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
  ::unlink(path.c_str());
}
BENCHMARK(BM_WriteFile_Atomic)->Arg(4096)->Arg(65536);

// The bare write in place that it replaces (truncate, write, close).
void BM_WriteFile_InPlace(benchmark::State& state) {
  const std::vector<unsigned char> bytes(static_cast<std::size_t>(state.range(0)), 0x5A);
  const std::string path = scratch_folder() + "/plain.bin";
  for (auto _ : state) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
      state.SkipWithError("write failed");
    }
    ::close(fd);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
  ::unlink(path.c_str());
}
BENCHMARK(BM_WriteFile_InPlace)->Arg(4096)->Arg(65536);

}  // namespace

BENCHMARK_MAIN();
