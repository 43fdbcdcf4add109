// What the extension split and the printed texts cost for a typical CA
// certificate, against OpenSSL's own printing of the same extensions.
#include <benchmark/benchmark.h>
#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/random.h>

#include <cstdlib>
#include <vector>

#include "crypto/cclib/ossl_owners.h"
#include "crypto/prov/evp_gost.h"
#include "crypto/rand/rand.h"
#include "crypto/v3ext/v3ext.h"
#include "tests/support/gost_pki.h"

namespace {

int system_bytes(unsigned char* buffer, int length) {
  return getrandom(buffer, static_cast<size_t>(length), 0) == length ? length : 0;
}
const qcrypto::RAND_METHOD kSystemRand = {nullptr, system_bytes, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

const STACK_OF(X509_EXTENSION) * extensions() {
  static X509* made = nullptr;
  if (made == nullptr) {
    qcrypto::RAND_set_rand_method(&kSystemRand);
    if (qcrypto::evp_provider_start() != 1) std::abort();
    qcrypto::UniquePtr<EVP_PKEY> key(test_support::gost_new_key(test_support::GostKeyType::kEcr3410));
    const test_support::CertSpec spec{"bench", 1, true, 30};
    const std::vector<test_support::ExtraExtension> extra = {
        {"authorityInfoAccess",
         "OCSP;URI:http://ocsp.example.ru/,caIssuers;URI:http://ca.example.ru/ca.crt",
         {},
         false},
        {"crlDistributionPoints", "URI:http://crl.example.ru/a.crl,URI:http://crl2.example.ru/a.crl", {}, false},
        {"policyMappings", "1.2.643.100.113.1:1.2.643.100.113.2", {}, false},
        {"subjectAltName", "email:ca@example.ru,DNS:ca.example.ru", {}, false},
        {"extendedKeyUsage", "serverAuth,clientAuth", {}, false},
        {"nameConstraints", "permitted;DNS:.example.ru", {}, true},
    };
    made = test_support::gost_make_cert_ext(key.get(), spec, nullptr, key.get(), extra);
    if (made == nullptr) {
      ERR_print_errors_fp(stderr);
      std::abort();
    }
  }
  return X509_get0_extensions(made);
}

void BM_Split(benchmark::State& state) {
  const auto* exts = extensions();
  for (auto _ : state) {
    qcrypto::CADB_V3EXT_LIST* list = nullptr;
    if (qcrypto::CADB_V3EXT_split(exts, &list) != 1) std::abort();
    benchmark::DoNotOptimize(list);
    qcrypto::CADB_V3EXT_list_free(list);
  }
}
BENCHMARK(BM_Split);

void BM_PrintOwn(benchmark::State& state) {
  const auto* exts = extensions();
  for (auto _ : state) {
    qcrypto::UniquePtr<BIO> mem(BIO_new(BIO_s_mem()));
    if (qcrypto::V3EXT_print_all(mem.get(), exts, 4) != 1) std::abort();
  }
}
BENCHMARK(BM_PrintOwn);

void BM_PrintOpenSSL(benchmark::State& state) {
  const auto* exts = extensions();
  for (auto _ : state) {
    qcrypto::UniquePtr<BIO> mem(BIO_new(BIO_s_mem()));
    if (X509V3_extensions_print(mem.get(), nullptr, exts, 0, 4) != 1) std::abort();
  }
}
BENCHMARK(BM_PrintOpenSSL);

}  // namespace

BENCHMARK_MAIN();
