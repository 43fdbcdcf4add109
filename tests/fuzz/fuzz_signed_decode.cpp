// Signed messages come from anyone: the streaming reader must refuse bad
// input cleanly, with every signer it reports carrying a status, and never
// report a good signer of a message whose content was not what was signed.
// A fixed GOST R 34.10-2001 certificate is offered as the caller's list, so
// records naming it run the whole signature check.
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "crypto/cclib/ossl_owners.h"
#include "crypto/ecgost/ecgost.h"
#include "crypto/err/err.h"
#include "crypto/pkcs7/signed_data.h"
#include "crypto/prov/evp_gost.h"
#include "crypto/prov/gost_pkey.h"
#include "crypto/rand/rand.h"
#include "crypto/rand/rand_fixed.h"
#include "tests/support/gost_pki.h"

namespace {

struct FuzzSigner {
  qcrypto::UniquePtr<EVP_PKEY> key;
  qcrypto::UniquePtr<X509> cert;
};

// The same key, issuer and serial in every run, so that seed messages stay
// signed by it: a fixed private number on the built-in curve.
FuzzSigner& fuzz_signer() {
  static FuzzSigner signer = [] {
    FuzzSigner s;
    if (qcrypto::evp_provider_start() != 1) std::abort();
    std::array<unsigned char, 4096> stream{};
    for (size_t i = 0; i < stream.size(); ++i) stream[i] = static_cast<unsigned char>(i * 131 + 7);
    qcrypto::RAND_set_rand_method(qcrypto::RAND_fixed_method());
    qcrypto::RAND_fixed_set_bytes(stream);
    qcrypto::UniquePtr<qcrypto::ECGOST> rec(qcrypto::ECGOST_new(nullptr));
    if (!rec || BN_hex2bn(&rec->d, "1D2C3B4A5968778695A4B3C2D1E0F0E1D2C3B4A5968778695A4B3C2D1E0F001") == 0 ||
        qcrypto::ECGOST_generate_pubkey(rec.get()) != 1) {
      std::abort();
    }
    s.key.reset(qcrypto::evp_pkey_from_ecgost(rec.get()));
    if (!s.key) std::abort();
    s.cert.reset(test_support::gost_make_cert(s.key.get(), {"Fuzz signer", 7, false, 30}, nullptr, s.key.get()));
    if (!s.cert) std::abort();
    // Seeds: the fuzzer writes its seed messages when asked to.
    if (const char* dir = std::getenv("DOSSAR_FUZZ_WRITE_SEEDS")) {
      const std::vector<unsigned char> content(5000, 0x5a);
      for (int detached = 0; detached < 2; ++detached) {
        qcrypto::SignedOptions options;
        options.detached = detached != 0;
        options.signing_time = 1767323045;
        const qcrypto::SignedSigner signers[] = {{s.key.get(), s.cert.get(), nullptr}};
        qcrypto::UniquePtr<BIO> in(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
        const std::string path = std::string(dir) + "/seed" + std::to_string(detached);
        qcrypto::UniquePtr<BIO> out(BIO_new_file(path.c_str(), "wb"));
        if (qcrypto::signed_data_sign_bio(signers, in.get(), content.size(), out.get(), options) != 1) std::abort();
      }
    }
    return s;
  }();
  return signer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzSigner& signer = fuzz_signer();
  if (size > 1U << 16) return 0;
  static const std::array<unsigned char, 1> none{};
  static const std::vector<unsigned char> detached_content(5000, 0x5a);
  X509* extra[] = {signer.cert.get()};
  for (int detached = 0; detached < 2; ++detached) {
    qcrypto::UniquePtr<BIO> in(BIO_new_mem_buf(size > 0 ? data : none.data(), static_cast<int>(size)));
    qcrypto::UniquePtr<BIO> det(BIO_new_mem_buf(detached_content.data(), static_cast<int>(detached_content.size())));
    qcrypto::UniquePtr<BIO> out(BIO_new(BIO_s_mem()));
    if (!in || !det || !out) std::abort();
    qcrypto::SignedVerifyOptions options;
    options.detached = detached != 0 ? det.get() : nullptr;
    options.extra_certs = extra;
    qcrypto::SignedVerifyResult result;
    const int rc = qcrypto::signed_data_verify_bio(in.get(), out.get(), &result, options);
    if (rc != 1 && rc != 0 && rc != qcrypto::SIGNED_INVALID) std::abort();
    bool all_good = !result.signers.empty();
    for (const auto& s : result.signers) {
      if (!s.info) std::abort();
      all_good = all_good && s.status == qcrypto::SignerStatus::kGood;
    }
    // 1 exactly when every signer is good.
    if ((rc == 1) != (all_good && rc != 0)) std::abort();
    qcrypto::ERR_clear_error();
  }
  return 0;
}
