// Signed messages come from anyone: the streaming reader must refuse bad
// input cleanly, with every signer it reports carrying a status, and never
// report a good signer of a message whose content was not what was signed.
// A fixed GOST R 34.10-2001 certificate is offered as the caller's list, so
// records naming it run the whole signature check.
// The reader over memory (which digests the content where it lies) must
// reach the streaming reader's verdict on every DER input: the same result,
// signers, statuses and content.
#include <openssl/bio.h>
#include <openssl/x509.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
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

// The BIO reader's outcome, to hold the memory reader to.
struct Outcome {
  int rc = 0;
  std::vector<qcrypto::SignerStatus> statuses;
  std::vector<unsigned char> content;
  bool detached = false;
};

// Every signer carries its record, and 1 comes exactly when every signer is
// good.
void check_verdict(int rc, const qcrypto::SignedVerifyResult& result) {
  if (rc != 1 && rc != 0 && rc != qcrypto::SIGNED_INVALID) std::abort();
  bool all_good = !result.signers.empty();
  for (const auto& s : result.signers) {
    if (!s.info) std::abort();
    all_good = all_good && s.status == qcrypto::SignerStatus::kGood;
  }
  if ((rc == 1) != (all_good && rc != 0)) std::abort();
}

std::vector<qcrypto::SignerStatus> statuses_of(const qcrypto::SignedVerifyResult& result) {
  std::vector<qcrypto::SignerStatus> statuses;
  for (const auto& s : result.signers) statuses.push_back(s.status);
  return statuses;
}

// The options of one run: the caller's list, and a detached content when
// the run treats the message as detached: a fresh BIO for the streaming
// reader, the bytes themselves for the memory reader.
struct RunOptions {
  qcrypto::UniquePtr<BIO> detached_content;
  qcrypto::SignedVerifyOptions options;

  RunOptions(bool detached, bool in_memory) {
    static X509* extra[] = {fuzz_signer().cert.get()};
    options.extra_certs = extra;
    if (!detached) return;
    const std::vector<unsigned char>& content = seed_content();
    if (in_memory) {
      options.detached_bytes.emplace(content.data(), content.size());
      return;
    }
    detached_content.reset(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
    if (!detached_content) std::abort();
    options.detached = detached_content.get();
  }
};

Outcome verify_streaming(const uint8_t* data, size_t size, bool detached) {
  qcrypto::UniquePtr<BIO> in = fuzz_util::input_bio(data, size);
  qcrypto::UniquePtr<BIO> out(BIO_new(BIO_s_mem()));
  if (!out) std::abort();
  const RunOptions run(detached, false);
  qcrypto::SignedVerifyResult result;
  Outcome o;
  o.rc = qcrypto::signed_data_verify_bio(in.get(), out.get(), &result, run.options);
  check_verdict(o.rc, result);
  o.statuses = statuses_of(result);
  o.detached = result.detached;
  const unsigned char* p = nullptr;
  const long n = BIO_get_mem_data(out.get(), &p);
  if (n > 0) o.content.assign(p, p + n);
  qcrypto::ERR_clear_error();
  return o;
}

void verify_in_memory(const uint8_t* data, size_t size, bool detached, const Outcome& streamed) {
  const RunOptions run(detached, true);
  std::vector<std::span<const unsigned char>> runs;
  qcrypto::SignedVerifyResult result;
  const int rc = qcrypto::signed_data_verify_mem({data, size}, &runs, &result, run.options);
  check_verdict(rc, result);
  std::vector<unsigned char> content;
  const uint8_t* previous_end = nullptr;
  for (const auto& run : runs) {
    // Runs lie inside the message, in order, apart (adjacent ones are joined).
    if (run.empty() || run.data() < data || run.data() + run.size() > data + size) std::abort();
    if (previous_end != nullptr && run.data() <= previous_end) std::abort();
    previous_end = run.data() + run.size();
    content.insert(content.end(), run.begin(), run.end());
  }
  qcrypto::ERR_clear_error();
  // Where the streaming reader failed, the memory reader may stop at another
  // point; where it succeeded or judged signers, the verdicts must agree.
  if (streamed.rc == 0 && rc == 0) return;
  if (rc != streamed.rc || statuses_of(result) != streamed.statuses || result.detached != streamed.detached)
    std::abort();
  if (rc == 1 && content != streamed.content) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_signer();
  if (size > fuzz_util::kMaxMessage) return 0;
  for (const bool detached : {false, true}) {
    const Outcome streamed = verify_streaming(data, size, detached);
    // The memory reader takes DER only.
    if (size > 0 && data[0] == 0x30) verify_in_memory(data, size, detached, streamed);
  }
  return 0;
}
