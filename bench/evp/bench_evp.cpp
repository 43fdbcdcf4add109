// What going through OpenSSL's EVP layer (and the library's provider) costs
// against the direct calls, on the same buffers: whole digests and cipher
// updates on a keyed context, 8 KiB and larger.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <sys/random.h>

#include <cstdint>
#include <random>
#include <vector>

#include "bench/support/bench_data.h"
#include "crypto/ecgost/ecgost.h"
#include "crypto/prov/evp_gost.h"
#include "crypto/prov/gost_pkey.h"
#include "crypto/rand/rand.h"
#include "crypto/rus/gost28147.h"
#include "crypto/rus/gost3411.h"
#include "tests/support/gost_pki.h"

namespace {

using bench_support::data;

const unsigned char kKey[32] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                                17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
const unsigned char kIv[8] = {8, 7, 6, 5, 4, 3, 2, 1};

void set_bytes(benchmark::State& state, size_t n) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
}

void BM_Hash_Direct(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  const auto& buf = data(n);
  qcrypto::GOSTH_CTX ctx{};
  unsigned char out[32];
  for (auto _ : state) {
    qcrypto::GOSTH_init(&ctx, nullptr, nullptr);
    qcrypto::GOSTH_update(&ctx, buf.data(), static_cast<int>(n));
    qcrypto::GOSTH_final(&ctx, out);
    benchmark::DoNotOptimize(out);
  }
  qcrypto::GOSTH_clear(&ctx);
  set_bytes(state, n);
}

void BM_Hash_Evp(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  const auto& buf = data(n);
  const EVP_MD* md = qcrypto::EVP_rus_hash();
  if (md == nullptr) {
    state.SkipWithError("no provider");
    return;
  }
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  unsigned char out[32];
  for (auto _ : state) {
    EVP_DigestInit_ex(ctx, md, nullptr);
    EVP_DigestUpdate(ctx, buf.data(), n);
    EVP_DigestFinal_ex(ctx, out, nullptr);
    benchmark::DoNotOptimize(out);
  }
  EVP_MD_CTX_free(ctx);
  set_bytes(state, n);
}

enum Mode { kChange, kGamma, kGammar };

template <Mode M>
void BM_Cipher_Direct(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  const auto& in = data(n);
  std::vector<unsigned char> out(n);
  qcrypto::GOSTE_CTX ctx{};
  if (M == kChange) qcrypto::GOSTE_ss_init(&ctx, 1, kKey, nullptr);
  if (M == kGamma) qcrypto::GOSTE_gamma_init(&ctx, kKey, kIv, nullptr);
  if (M == kGammar) qcrypto::GOSTE_gamma_fb_init(&ctx, kKey, kIv, nullptr);
  for (auto _ : state) {
    if (M == kChange) qcrypto::GOSTE_ss_cipher(&ctx, in.data(), out.data(), static_cast<int>(n));
    if (M == kGamma) qcrypto::GOSTE_gamma_update(&ctx, in.data(), out.data(), static_cast<int>(n));
    if (M == kGammar) qcrypto::GOSTE_gamma_fbe_update(&ctx, in.data(), out.data(), static_cast<int>(n));
    benchmark::DoNotOptimize(out.data());
  }
  qcrypto::GOSTE_clear(&ctx);
  set_bytes(state, n);
}

template <Mode M>
void BM_Cipher_Evp(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  const auto& in = data(n);
  std::vector<unsigned char> out(n + 8);
  const EVP_CIPHER* c = M == kChange  ? qcrypto::EVP_rus_change()
                        : M == kGamma ? qcrypto::EVP_rus_gamma()
                                      : qcrypto::EVP_rus_gammar();
  if (c == nullptr) {
    state.SkipWithError("no provider");
    return;
  }
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_EncryptInit_ex(ctx, c, nullptr, kKey, kIv);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  int outl = 0;
  for (auto _ : state) {
    EVP_EncryptUpdate(ctx, out.data(), &outl, in.data(), static_cast<int>(n));
    benchmark::DoNotOptimize(out.data());
  }
  EVP_CIPHER_CTX_free(ctx);
  set_bytes(state, n);
}

int system_bytes(unsigned char* buffer, int length) {
  return getrandom(buffer, static_cast<size_t>(length), 0) == length ? length : 0;
}
const qcrypto::RAND_METHOD kSystemRand = {nullptr, system_bytes, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

// A GOST R 34.10-2001 leaf certificate signed by its CA, made once.
struct Pki {
  EVP_PKEY* ca_key = nullptr;
  X509* leaf = nullptr;
  std::vector<unsigned char> tbs;
  std::vector<unsigned char> sig;
  Pki() {
    qcrypto::RAND_set_rand_method(&kSystemRand);
    ca_key = test_support::gost_new_key(test_support::GostKeyType::kEcr3410);
    EVP_PKEY* leaf_key = test_support::gost_new_key(test_support::GostKeyType::kEcr3410);
    X509* ca = test_support::gost_make_cert(ca_key, {"Bench CA", 1, true, 365}, nullptr, ca_key);
    X509* made = test_support::gost_make_cert(leaf_key, {"Bench Leaf", 2, false, 30}, ca, ca_key);
    // Certificates are verified as they are read from files and messages:
    // parsed from DER (which keeps the signed part's encoding).
    const auto der = test_support::to_der(made);
    const unsigned char* in = der.data();
    leaf = d2i_X509(nullptr, &in, static_cast<long>(der.size()));
    X509_free(made);
    unsigned char* p = nullptr;
    const int n = i2d_re_X509_tbs(leaf, &p);
    tbs.assign(p, p + n);
    OPENSSL_free(p);
    const ASN1_BIT_STRING* s = nullptr;
    X509_get0_signature(&s, nullptr, leaf);
    sig.assign(ASN1_STRING_get0_data(s), ASN1_STRING_get0_data(s) + ASN1_STRING_length(s));
    X509_free(ca);
    EVP_PKEY_free(leaf_key);
  }
};

Pki& pki() {
  static Pki p;
  return p;
}

// X509_verify of the leaf with the CA's key, all through OpenSSL and the provider.
void BM_X509Verify_Evp(benchmark::State& state) {
  Pki& p = pki();
  for (auto _ : state) benchmark::DoNotOptimize(X509_verify(p.leaf, p.ca_key));
}

// The same work by direct calls: hash the TBS bytes, verify the signature value.
void BM_X509Verify_Direct(benchmark::State& state) {
  Pki& p = pki();
  qcrypto::ECGOST* key = qcrypto::evp_pkey_get0_ecgost(p.ca_key);
  unsigned char digest[32];
  for (auto _ : state) {
    qcrypto::GOSTH_digest(p.tbs.data(), static_cast<int>(p.tbs.size()), nullptr, nullptr, digest);
    benchmark::DoNotOptimize(
        qcrypto::ECGOST_verify_digest(1, key, digest, 32, p.sig.data(), static_cast<int>(p.sig.size())));
  }
}
BENCHMARK(BM_X509Verify_Direct)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_X509Verify_Evp)->Unit(benchmark::kMicrosecond);

#define SIZES ->Arg(8 << 10)->Arg(64 << 10)->Arg(1 << 20)
BENCHMARK(BM_Hash_Direct) SIZES;
BENCHMARK(BM_Hash_Evp) SIZES;
BENCHMARK(BM_Cipher_Direct<kChange>) SIZES;
BENCHMARK(BM_Cipher_Evp<kChange>) SIZES;
BENCHMARK(BM_Cipher_Direct<kGamma>) SIZES;
BENCHMARK(BM_Cipher_Evp<kGamma>) SIZES;
BENCHMARK(BM_Cipher_Direct<kGammar>) SIZES;
BENCHMARK(BM_Cipher_Evp<kGammar>) SIZES;

}  // namespace

BENCHMARK_MAIN();
