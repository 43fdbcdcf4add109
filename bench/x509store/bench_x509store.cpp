// What a chain verification costs (three GOST R 34.10-2001 certificates with
// one CRL per issuer, the CA certificates held by the store as a session
// holds them), and what an issuer look-up costs in a store of 10,000
// certificates through the subject index, against a scan of the look-up.
#include <benchmark/benchmark.h>
#include <openssl/x509.h>
#include <sys/random.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "crypto/cadb/cert_record.h"
#include "crypto/cclib/ossl_owners.h"
#include "crypto/prov/evp_gost.h"
#include "crypto/rand/rand.h"
#include "crypto/x509store/store.h"
#include "crypto/x509store/verify.h"
#include "tests/support/gost_pki.h"

namespace {

using test_support::PkiBasicConstraints;
using test_support::PkiCertSpec;
using test_support::PkiCrlSpec;
using test_support::PkiKeyType;
using test_support::PkiKeyUsage;

int system_bytes(unsigned char* buffer, int length) {
  return getrandom(buffer, static_cast<size_t>(length), 0) == length ? length : 0;
}
const qcrypto::RAND_METHOD kSystemRand = {nullptr, system_bytes, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

void start() {
  static bool started = false;
  if (started) return;
  qcrypto::RAND_set_rand_method(&kSystemRand);
  if (qcrypto::evp_provider_start() != 1) std::abort();
  started = true;
}

PkiCertSpec ca(const std::string& cn, long serial) {
  PkiCertSpec s;
  s.common_name = cn;
  s.serial = serial;
  s.basic_constraints = PkiBasicConstraints::kCa;
  s.key_usage = PkiKeyUsage::kCa;
  return s;
}

struct Chain {
  qcrypto::X509_STORE* store = nullptr;
  std::vector<unsigned char> leaf_der;
  X509* leaf = nullptr;
};

const Chain& chain() {
  static Chain c;
  if (c.store != nullptr) return c;
  start();
  static test_support::PkiHierarchy h;  // kept: the keys stay with their certificates
  if (!test_support::pki_make_hierarchy(PkiKeyType::kEcr3410, 1, &h)) std::abort();
  c.store = qcrypto::X509_STORE_new();
  qcrypto::X509_LOOKUP* trusted = qcrypto::X509_STORE_add_lookup(c.store, qcrypto::X509_LOOKUP_trusted(), "trusted", 1);
  qcrypto::X509_LOOKUP* extra =
      qcrypto::X509_STORE_add_lookup(c.store, qcrypto::X509_LOOKUP_local_untrusted(), "extra", 0);
  qcrypto::UniquePtr<X509_CRL> root_crl(test_support::pki_make_crl(h.root, h.root_key, PkiCrlSpec{}));
  qcrypto::UniquePtr<X509_CRL> inter_crl(test_support::pki_make_crl(h.inter, h.inter_key, PkiCrlSpec{}));
  if (qcrypto::X509_LOOKUP_add_cert(trusted, h.root) != 1 || qcrypto::X509_LOOKUP_add_cert(extra, h.inter) != 1 ||
      qcrypto::X509_LOOKUP_add_crl(trusted, root_crl.get()) != 1 ||
      qcrypto::X509_LOOKUP_add_crl(trusted, inter_crl.get()) != 1)
    std::abort();
  c.leaf_der = test_support::to_der(h.leaves[0]);
  c.leaf = h.leaves[0];
  X509_up_ref(c.leaf);
  return c;
}

// The same leaf object every time: every signature was checked before.
void BM_VerifyChainWarm(benchmark::State& state) {
  const Chain& c = chain();
  qcrypto::UniquePtr<qcrypto::CERT> record(qcrypto::CERT_split(c.leaf));
  for (auto _ : state) {
    if (qcrypto::CERT_verify_store(record.get(), c.store, qcrypto::kVerifyDefaultFlags, nullptr) != 1)
      state.SkipWithError("chain not valid");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_VerifyChainWarm);

// A leaf decoded afresh each time, as a signer certificate from a message
// comes: its signature is checked every time, the CA certificates' and the
// CRLs' only once.
void BM_VerifyChainNewLeaf(benchmark::State& state) {
  const Chain& c = chain();
  for (auto _ : state) {
    const unsigned char* p = c.leaf_der.data();
    qcrypto::UniquePtr<X509> leaf(d2i_X509(nullptr, &p, static_cast<long>(c.leaf_der.size())));
    qcrypto::UniquePtr<qcrypto::CERT> record(qcrypto::CERT_split(leaf.get()));
    if (!record || qcrypto::CERT_verify_store(record.get(), c.store, qcrypto::kVerifyDefaultFlags, nullptr) != 1)
      state.SkipWithError("chain not valid");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_VerifyChainNewLeaf);

struct BigStore {
  qcrypto::X509_STORE* store = nullptr;
  qcrypto::X509_LOOKUP* lookup = nullptr;
  std::vector<X509*> leaves;
};

// 10,000 CA certificates under distinct names, and leaves of a few of them.
const BigStore& big_store() {
  static BigStore b;
  if (b.store != nullptr) return b;
  start();
  qcrypto::UniquePtr<EVP_PKEY> key(test_support::pki_new_key(PkiKeyType::kEcdsaP256));
  b.store = qcrypto::X509_STORE_new();
  b.lookup = qcrypto::X509_STORE_add_lookup(b.store, qcrypto::X509_LOOKUP_trusted(), "trusted", 1);
  for (int i = 0; i < 10000; ++i) {
    qcrypto::UniquePtr<X509> c(
        test_support::pki_make_cert(key.get(), ca("CA " + std::to_string(i), i + 1), nullptr, key.get()));
    if (!c || qcrypto::X509_LOOKUP_add_cert(b.lookup, c.get()) != 1) std::abort();
    if (i % 1000 == 999) {
      PkiCertSpec leaf;
      leaf.common_name = "Leaf " + std::to_string(i);
      leaf.serial = 100000 + i;
      b.leaves.push_back(test_support::pki_make_cert(key.get(), leaf, c.get(), key.get()));
    }
  }
  return b;
}

void BM_FindIssuerIndexed(benchmark::State& state) {
  const BigStore& b = big_store();
  size_t k = 0;
  for (auto _ : state) {
    STACK_OF(X509)* found = qcrypto::X509_STORE_find_issuers(b.store, b.leaves[k++ % b.leaves.size()]);
    if (sk_X509_num(found) != 1) state.SkipWithError("issuer not found");
    sk_X509_pop_free(found, X509_free);
  }
}
BENCHMARK(BM_FindIssuerIndexed)->Unit(benchmark::kMicrosecond);

// What the look-up would cost without the index: the rule over every
// certificate of the look-up.
void BM_FindIssuerScan(benchmark::State& state) {
  const BigStore& b = big_store();
  size_t k = 0;
  for (auto _ : state) {
    X509* leaf = b.leaves[k++ % b.leaves.size()];
    int found = 0;
    for (int i = 0; i < sk_X509_num(b.lookup->certs); ++i)
      found += qcrypto::X509_issuer_rule(sk_X509_value(b.lookup->certs, i), leaf);
    if (found != 1) state.SkipWithError("issuer not found");
  }
}
BENCHMARK(BM_FindIssuerScan)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
