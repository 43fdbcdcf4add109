// The extension split runs for every certificate and CRL the database reads
// (store loads, chain building): decoding, conversion to records and the
// dump's printing of one certificate carrying every extension kind.
#include <benchmark/benchmark.h>
#include <openssl/bio.h>
#include <openssl/x509.h>

#include <fstream>
#include <iterator>
#include <vector>

#include "crypto/v3ext/cadb_v3ext.h"
#include "crypto/v3ext/v3ext.h"

namespace {

X509_EXTENSIONS* load_extensions() {
  std::ifstream in(DOSSAR_V3EXT_SEED, std::ios::binary);
  const std::vector<unsigned char> der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const unsigned char* p = der.data();
  return d2i_X509_EXTENSIONS(nullptr, &p, static_cast<long>(der.size()));
}

void BM_DecodeExtensions(benchmark::State& state) {
  X509_EXTENSIONS* exts = load_extensions();
  if (exts == nullptr) state.SkipWithError("no extension list");
  for (auto _ : state) {
    qcrypto::V3EXT_DECODED_LIST* list = qcrypto::V3EXT_decode_extensions(exts);
    benchmark::DoNotOptimize(list);
    qcrypto::V3EXT_DECODED_LIST_free(list);
  }
  sk_X509_EXTENSION_pop_free(exts, X509_EXTENSION_free);
}
BENCHMARK(BM_DecodeExtensions);

void BM_SplitExtensions(benchmark::State& state) {
  X509_EXTENSIONS* exts = load_extensions();
  if (exts == nullptr) state.SkipWithError("no extension list");
  for (auto _ : state) {
    qcrypto::CADB_V3EXT_LIST* list = qcrypto::CADB_V3EXT_split(exts);
    benchmark::DoNotOptimize(list);
    qcrypto::CADB_V3EXT_LIST_free(list);
  }
  sk_X509_EXTENSION_pop_free(exts, X509_EXTENSION_free);
}
BENCHMARK(BM_SplitExtensions);

void BM_PrintExtensions(benchmark::State& state) {
  X509_EXTENSIONS* exts = load_extensions();
  if (exts == nullptr) state.SkipWithError("no extension list");
  BIO* sink = BIO_new(BIO_s_mem());
  for (auto _ : state) {
    (void)BIO_reset(sink);
    benchmark::DoNotOptimize(qcrypto::V3EXT_print_all(sink, exts, 4));
  }
  BIO_free(sink);
  sk_X509_EXTENSION_pop_free(exts, X509_EXTENSION_free);
}
BENCHMARK(BM_PrintExtensions);

}  // namespace

BENCHMARK_MAIN();
