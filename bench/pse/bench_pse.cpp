// Opening a key container and loading a key from it: what a person waits
// for before every signature. Target: well under 5 ms for both.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "crypto/err/err.h"
#include "crypto/pkey/key_envelope.h"
#include "crypto/pse/pse_files.h"
#include "crypto/rand/grand.h"
#include "crypto/rand/rand.h"
#include "tests/support/pse_fixture.h"

namespace {

using qcrypto::testing_support::PseFixture;
using qcrypto::testing_support::PseFormat;

// One scratch folder with one container of each format, made once.
struct Containers {
  std::string root;
  std::unique_ptr<PseFixture> v31, old;
  Containers() {
    // A seeded generator: the containers' shares and the signatures draw from
    // it, and an old container is not rewritten while one is ready.
    qcrypto::RAND_set_rand_method(qcrypto::GRAND_method());
    unsigned char seed[32] = {7, 7, 7};
    qcrypto::RAND_seed(seed, sizeof seed);
    std::string templ = (std::filesystem::temp_directory_path() / "bench-pse-XXXXXX").string();
    if (mkdtemp(templ.data()) == nullptr) return;
    root = templ;
    v31 = qcrypto::testing_support::make_pse_fixture(root + "/v31", PseFormat::V31, false);
    old = qcrypto::testing_support::make_pse_fixture(root + "/old", PseFormat::Old, true);
  }
  ~Containers() {
    std::error_code ec;
    if (!root.empty()) std::filesystem::remove_all(root, ec);
  }
};

Containers& containers() {
  static Containers c;
  return c;
}

void open_and_load(benchmark::State& state, const PseFixture* f, size_t key_index) {
  if (f == nullptr) {
    state.SkipWithError("no container");
    return;
  }
  const std::string& key_path = f->keys[key_index].path;
  for (auto _ : state) {
    qcrypto::UniquePtr<qcrypto::PSE> c(f->format == PseFormat::V31 ? qcrypto::PSE_open(f->medium.c_str(), 1)
                                                                   : qcrypto::PSE30_open(f->medium.c_str(), nullptr));
    if (!c) {
      state.SkipWithError("open failed");
      return;
    }
    const std::vector<unsigned char> der = qcrypto::testing_support::read_whole(key_path);
    qcrypto::UniquePtr<qcrypto::EVP_PKEY_ENVELOPE> key(
        qcrypto::EVP_PKEY_decode_private(der.data(), static_cast<long>(der.size()), c.get(), nullptr, nullptr));
    if (!key) {
      qcrypto::ERR_print_errors_fp(stderr);
      state.SkipWithError("key refused");
      return;
    }
    benchmark::DoNotOptimize(key.get());
  }
}

// Key 0: GOST R 34.10-2001, key 1: GOST R 34.10-94.
void BM_Open31AndLoadKey(benchmark::State& state) {
  open_and_load(state, containers().v31.get(), static_cast<size_t>(state.range(0)));
}
BENCHMARK(BM_Open31AndLoadKey)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_OpenOldAndLoadKey(benchmark::State& state) {
  open_and_load(state, containers().old.get(), static_cast<size_t>(state.range(0)));
}
BENCHMARK(BM_OpenOldAndLoadKey)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// The old format's first open in a process: the generator is seeded from the
// container and the master-key record rewritten (three synced writes).
void BM_OldRefresh(benchmark::State& state) {
  const PseFixture* f = containers().old.get();
  if (f == nullptr) {
    state.SkipWithError("no container");
    return;
  }
  for (auto _ : state) {
    qcrypto::RAND_set_rand_method(nullptr);
    qcrypto::UniquePtr<qcrypto::PSE> c(qcrypto::PSE30_open(f->medium.c_str(), nullptr));
    if (!c) state.SkipWithError("open failed");
  }
}
BENCHMARK(BM_OldRefresh)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
