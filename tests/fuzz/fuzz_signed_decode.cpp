// Signed messages come from anyone: the streaming reader must refuse bad
// input cleanly, with every signer it reports carrying a status, and never
// report a good signer of a message whose content was not what was signed.
// A fixed GOST R 34.10-2001 certificate is offered as the caller's list, so
// records naming it run the whole signature check.
#include <openssl/bio.h>
#include <openssl/x509.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "crypto/cclib/ossl_owners.h"
#include "crypto/err/err.h"
#include "crypto/pkcs7/signed_data.h"
#include "tests/fuzz/fuzz_gost_party.h"

namespace {

// The content of the seed messages, and the detached content of every run.
const std::vector<unsigned char>& seed_content() {
  static const std::vector<unsigned char> content(5000, 0x5a);
  return content;
}

// Seeds: the fuzzer writes its seed messages when asked to.
void write_seeds(const fuzz_util::FuzzParty& s, const char* dir) {
  const std::vector<unsigned char>& content = seed_content();
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

fuzz_util::FuzzParty& fuzz_signer() {
  static fuzz_util::FuzzParty signer = [] {
    fuzz_util::FuzzParty s = fuzz_util::make_fixed_party("Fuzz signer");
    if (const char* dir = std::getenv("DOSSAR_FUZZ_WRITE_SEEDS")) write_seeds(s, dir);
    return s;
  }();
  return signer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_util::FuzzParty& signer = fuzz_signer();
  if (size > fuzz_util::kMaxMessage) return 0;
  const std::vector<unsigned char>& detached_content = seed_content();
  X509* extra[] = {signer.cert.get()};
  for (int detached = 0; detached < 2; ++detached) {
    qcrypto::UniquePtr<BIO> in = fuzz_util::input_bio(data, size);
    qcrypto::UniquePtr<BIO> det(BIO_new_mem_buf(detached_content.data(), static_cast<int>(detached_content.size())));
    qcrypto::UniquePtr<BIO> out(BIO_new(BIO_s_mem()));
    if (!det || !out) std::abort();
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
