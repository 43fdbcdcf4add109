#include "tools/roundtrip/scratch_pki.h"

#include <openssl/crypto.h>
#include <openssl/x509.h>

#include <filesystem>
#include <memory>
#include <vector>

#include "crypto/cclib/ossl_owners.h"
#include "crypto/cclib/secret.h"
#include "crypto/prov/evp_gost.h"
#include "crypto/pse/pse.h"
#include "crypto/pse/pse_files.h"
#include "crypto/pse/pse_rand.h"
#include "crypto/rand/grand.h"
#include "tests/support/gost_pki.h"
#include "tests/support/pse_fixture.h"

namespace roundtrip {
namespace {

using qcrypto::UniquePtr;
using qcrypto::testing_support::PseFixture;

// The container's master key and KEK are copied into the fixture record for
// the tests' sake; here nobody needs them after the container is written.
struct FixtureWipe {
  void operator()(PseFixture* f) const {
    OPENSSL_cleanse(f->master_key.data(), f->master_key.size());
    OPENSSL_cleanse(f->kek.data(), f->kek.size());
    OPENSSL_cleanse(f->sbox.data(), f->sbox.size());
    delete f;
  }
};

bool write_der(const std::string& path, const std::vector<unsigned char>& der) {
  return !der.empty() && qcrypto::pse_write_file(path.c_str(), der.data(), static_cast<int>(der.size())) == 1;
}

// The software generator keyed from the operating system's randomness: the
// container keys and certificate signatures below draw from it, and the
// container's saved state is its output.
bool install_generator() {
  qcrypto::SecretBuffer<qcrypto::GRAND_SEED_BYTES> seed;
  return qcrypto::GRAND_collect_seed(seed.data(), 0) == 1 &&
         qcrypto::GRAND_install_seeded(seed.data(), 1, nullptr, nullptr) == 1;
}

// A saved random state, so that opening the container seeds the generator
// without asking a person for keystrokes.
bool save_random_state(const std::string& medium) {
  UniquePtr<qcrypto::PSE> container(qcrypto::PSE_open(medium.c_str(), 0));
  qcrypto::SecretBuffer<qcrypto::PSE_OPAQUE_BLOCK_BYTES> block;
  char path[qcrypto::PSE_PATH_BUFFER];
  return container && qcrypto::PSE_rand_save_state(container.get(), block.data()) == 1 &&
         qcrypto::PSE_file_path(path, medium.c_str(), qcrypto::PSE31_RAND) != nullptr &&
         qcrypto::pse_write_file(path, block.data(), qcrypto::PSE_OPAQUE_BLOCK_BYTES) == 1;
}

}  // namespace

std::string make_scratch_pki(const std::string& folder, ScratchPki* out) {
  if (qcrypto::evp_provider_start() != 1) return "the GOST provider did not start";
  if (!install_generator()) return "the random generator could not be seeded from the operating system";

  UniquePtr<EVP_PKEY> ca_key(test_support::gost_new_key(test_support::GostKeyType::kEcr3410));
  UniquePtr<X509> ca(
      ca_key ? test_support::gost_make_cert(ca_key.get(), {"Dossar Round-Trip CA", 1, true, 30}, nullptr, ca_key.get())
             : nullptr);
  if (!ca) return "the CA key or certificate could not be made";

  ScratchPki pki;
  pki.container = folder + "/pse";
  std::unique_ptr<PseFixture, FixtureWipe> fixture(
      qcrypto::testing_support::make_pse_fixture(pki.container, qcrypto::testing_support::PseFormat::V31, false)
          .release());
  // Key file 1 holds the GOST R 34.10-2001 key.
  if (!fixture || fixture->keys.empty() || fixture->keys[0].type != 181) return "the key container could not be made";
  if (!save_random_state(pki.container)) return "the key container's random state could not be saved";

  EVP_PKEY* user_key = fixture->keys[0].key_pair.get();
  UniquePtr<X509> user(
      test_support::gost_make_cert(user_key, {"Round-Trip User", 2, false, 30}, ca.get(), ca_key.get()));
  // One certificate both signs and receives: its key usage says so.
  if (!user ||
      !test_support::gost_add_extensions(
          user.get(), ca.get(), ca_key.get(),
          "[user]\nkeyUsage = critical,digitalSignature,nonRepudiation,keyEncipherment,keyAgreement\n", "user"))
    return "the user's certificate could not be made";
  UniquePtr<X509_CRL> crl(test_support::gost_make_crl(ca.get(), ca_key.get(), {}, 1));
  if (!crl) return "the CA's CRL could not be made";

  pki.ca_cert = folder + "/ca.cer";
  pki.user_cert = folder + "/user.cer";
  pki.crl_dir = folder + "/crl";
  std::error_code ec;
  std::filesystem::create_directory(pki.crl_dir, ec);
  if (ec) return "the CRL folder could not be made: " + ec.message();
  if (!write_der(pki.ca_cert, test_support::to_der(ca.get())) ||
      !write_der(pki.user_cert, test_support::to_der(user.get())) ||
      !write_der(pki.crl_dir + "/ca.crl", test_support::to_der(crl.get())))
    return "the certificates or the CRL could not be written";
  *out = std::move(pki);
  return {};
}

}  // namespace roundtrip
