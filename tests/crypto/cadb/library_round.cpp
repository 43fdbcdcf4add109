#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdio>
#include <vector>

#include "crypto/cadb/library.h"
#include "crypto/cclib/ossl_owners.h"
#include "crypto/ecgost/ecgost.h"
#include "crypto/evp/objects.h"
#include "crypto/prov/evp_gost.h"
#include "crypto/prov/gost_pkey.h"
#include "crypto/rand/rand.h"
#include "crypto/rus/gost3411.h"
#include "crypto/x509/gost_keys.h"
#include "tests/crypto/cadb/library_test_support.h"

namespace qcrypto::testing_support {
namespace {

using Bytes = std::vector<unsigned char>;

// A private number below the curve order, drawn from the library's generator.
bool draw_private(ECGOST* key) {
  Bytes b(static_cast<std::size_t>(BN_num_bytes(key->curve->q)));
  for (int attempt = 0; attempt < 16; ++attempt) {
    if (RAND_bytes(b.data(), static_cast<int>(b.size())) != static_cast<int>(b.size())) return false;
    if (BN_bin2bn(b.data(), static_cast<int>(b.size()), key->d) == nullptr) return false;
    if (!BN_is_zero(key->d) && BN_cmp(key->d, key->curve->q) < 0) return ECGOST_generate_pubkey(key) == 1;
  }
  return false;
}

Bytes evp_sign(EVP_PKEY* pkey, const unsigned char* m, std::size_t n) {
  UniquePtr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  std::size_t len = 0;
  if (!ctx || EVP_DigestSignInit_ex(ctx.get(), nullptr, nullptr, nullptr, nullptr, pkey, nullptr) != 1 ||
      EVP_DigestSignUpdate(ctx.get(), m, n) != 1 || EVP_DigestSignFinal(ctx.get(), nullptr, &len) != 1)
    return {};
  Bytes sig(len);
  if (EVP_DigestSignFinal(ctx.get(), sig.data(), &len) != 1) return {};
  sig.resize(len);
  return sig;
}

int evp_verify(EVP_PKEY* pkey, const unsigned char* m, std::size_t n, const Bytes& sig) {
  UniquePtr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestVerifyInit_ex(ctx.get(), nullptr, nullptr, nullptr, nullptr, pkey, nullptr) != 1) return -1;
  return EVP_DigestVerify(ctx.get(), sig.data(), sig.size(), m, n);
}

// A direct signature, checked through EVP with the key OpenSSL decodes from
// the key's SubjectPublicKeyInfo (the provider makes that key itself).
void spki_check(ECGOST* key, const unsigned char* digest, const unsigned char* m, std::size_t n, LibraryRound* out) {
  Bytes sig(static_cast<std::size_t>(ECGOST_size(key)));
  unsigned sig_len = 0;
  if (ECGOST_sign_digest(1, key, digest, 32, sig.data(), &sig_len) != 1) return;
  sig.resize(sig_len);
  const int spki_len = i2d_ECGOST_PUBKEY(key, nullptr);
  if (spki_len <= 0) return;
  Bytes spki(static_cast<std::size_t>(spki_len));
  unsigned char* w = spki.data();
  if (i2d_ECGOST_PUBKEY(key, &w) != spki_len) return;
  const unsigned char* r = spki.data();
  UniquePtr<EVP_PKEY> pub(d2i_PUBKEY(nullptr, &r, spki_len));
  if (!pub) return;
  out->spki_verifies = evp_verify(pub.get(), m, n, sig) == 1;
  sig[sig.size() / 2] ^= 0x01;
  out->flipped_spki_fails = evp_verify(pub.get(), m, n, sig) == 0;
}

// A minimal self-signed certificate over `pkey`, signed through EVP.
void make_certificate(EVP_PKEY* pkey, LibraryRound* out) {
  UniquePtr<X509> cert(X509_new());
  if (!cert || X509_set_version(cert.get(), 2) != 1 || ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 7) != 1 ||
      X509_NAME_add_entry_by_txt(X509_get_subject_name(cert.get()), "CN", MBSTRING_ASC,
                                 reinterpret_cast<const unsigned char*>("copy"), -1, -1, 0) != 1 ||
      X509_set_issuer_name(cert.get(), X509_get_subject_name(cert.get())) != 1 ||
      X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0) == nullptr ||
      X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600) == nullptr || X509_set_pubkey(cert.get(), pkey) != 1 ||
      X509_sign(cert.get(), pkey, nullptr) <= 0)
    return;
  const int len = i2d_X509(cert.get(), nullptr);
  if (len <= 0 || len > static_cast<int>(sizeof(out->certificate))) return;
  unsigned char* w = out->certificate;
  if (i2d_X509(cert.get(), &w) == len) out->certificate_length = len;
}

void work(const unsigned char* message, std::size_t length, LibraryRound* out) {
  out->registered = cadb_library_registered();
  out->random_installed = RAND_get_rand_method() != nullptr ? 1 : 0;
  out->key_nid = sysobj_nid(SYSOBJ_ECR3410);
  out->signature_nid = sysobj_nid(SYSOBJ_ECR3410_R3411);
  std::snprintf(out->provider_name, sizeof(out->provider_name), "%s", evp_provider_name());

  unsigned char direct[32], through_evp[EVP_MAX_MD_SIZE];
  unsigned int evp_len = 0;
  if (GOSTH_digest(message, static_cast<int>(length), nullptr, nullptr, direct) == nullptr) return;
  if (EVP_Digest(message, length, through_evp, &evp_len, EVP_rus_hash(), nullptr) != 1) return;
  out->digest_matches = evp_len == sizeof(direct) && Bytes(direct, direct + 32) == Bytes(through_evp, through_evp + 32);

  UniquePtr<ECGOST> key(ECGOST_new(nullptr));
  if (!key || !draw_private(key.get())) return;
  spki_check(key.get(), direct, message, length, out);
  UniquePtr<EVP_PKEY> pkey(evp_pkey_from_ecgost(key.get()));
  out->record_key_refused = pkey ? 0 : 1;
  if (!pkey) return;
  Bytes sig = evp_sign(pkey.get(), message, length);
  if (sig.empty()) return;
  out->signature_verifies =
      ECGOST_verify_digest(1, key.get(), direct, 32, sig.data(), static_cast<int>(sig.size())) == 1;
  sig[sig.size() / 2] ^= 0x10;
  out->flipped_signature_fails =
      ECGOST_verify_digest(1, key.get(), direct, 32, sig.data(), static_cast<int>(sig.size())) != 1;
  make_certificate(pkey.get(), out);
}

}  // namespace

void run_library_round(const unsigned char* message, std::size_t length, LibraryRound* out) {
  cadb_library_init();
  out->references_while_started = cadb_library_references();
  work(message, length, out);
  cadb_library_cleanup();
  out->references_after_stop = cadb_library_references();
}

int run_certificate_check(const unsigned char* der, std::size_t length) {
  cadb_library_init();
  int result = -1;
  const unsigned char* r = der;
  UniquePtr<X509> cert(d2i_X509(nullptr, &r, static_cast<long>(length)));
  EVP_PKEY* pub = cert ? X509_get0_pubkey(cert.get()) : nullptr;
  if (pub != nullptr) result = X509_verify(cert.get(), pub);
  cadb_library_cleanup();
  return result;
}

}  // namespace qcrypto::testing_support

// The entries of a library copy built from this file (see CMakeLists.txt):
// the only symbols such a copy exports.
#ifdef QCRYPTO_LIBRARY_COPY
extern "C" __attribute__((visibility("default"))) void dossar_library_copy_round(
    const unsigned char* message, std::size_t length, qcrypto::testing_support::LibraryRound* out) {
  qcrypto::testing_support::run_library_round(message, length, out);
}

extern "C" __attribute__((visibility("default"))) int dossar_library_copy_check_certificate(const unsigned char* der,
                                                                                            std::size_t length) {
  return qcrypto::testing_support::run_certificate_check(der, length);
}
#endif
