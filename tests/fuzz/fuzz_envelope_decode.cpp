// Enveloped messages and their RecipientInfos come from anyone: the record
// decoder and the streaming reader must refuse bad input cleanly. A record
// that decodes must encode again and decode to the same bytes; a message is
// opened with a fixed GOST R 34.10-2001 party, so records addressed to it run
// the whole agreement (originator point, wrap, content cipher).
#include <openssl/bio.h>
#include <openssl/crypto.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "crypto/cclib/ossl_owners.h"
#include "crypto/err/err.h"
#include "crypto/pkcs7/envelope.h"
#include "crypto/pkcs7/recip_info.h"
#include "crypto/rand/rand_fixed.h"
#include "tests/fuzz/fuzz_gost_party.h"

namespace {

fuzz_util::FuzzParty& fuzz_party() {
  static fuzz_util::FuzzParty party = fuzz_util::make_fixed_party("Fuzz recipient");
  return party;
}

void check_record(const uint8_t* data, size_t size) {
  const unsigned char* p = data;
  qcrypto::UniquePtr<qcrypto::PKCS7_RECIP_INFO> ri(qcrypto::d2i_PKCS7_RECIP_INFO(nullptr, &p, static_cast<long>(size)));
  if (!ri) return;
  if (p <= data || p > data + size) std::abort();
  unsigned char* der = nullptr;
  const int n = qcrypto::i2d_PKCS7_RECIP_INFO(ri.get(), &der);
  if (n > 0) {
    const unsigned char* q = der;
    qcrypto::UniquePtr<qcrypto::PKCS7_RECIP_INFO> again(qcrypto::d2i_PKCS7_RECIP_INFO(nullptr, &q, n));
    unsigned char* der2 = nullptr;
    const int n2 = again ? qcrypto::i2d_PKCS7_RECIP_INFO(again.get(), &der2) : 0;
    // What we wrote we must read back unchanged.
    if (!again || q != der + n || n2 != n || std::memcmp(der, der2, static_cast<size_t>(n)) != 0) std::abort();
    OPENSSL_free(der2);
  }
  OPENSSL_free(der);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_util::FuzzParty& party = fuzz_party();
  if (size > fuzz_util::kMaxMessage) return 0;
  check_record(data, size);
  static const std::array<unsigned char, 256> stream{};
  qcrypto::RAND_fixed_set_bytes(stream);
  qcrypto::UniquePtr<BIO> in = fuzz_util::input_bio(data, size);
  qcrypto::UniquePtr<BIO> out(BIO_new(BIO_s_mem()));
  if (!out) std::abort();
  const int rc = qcrypto::envelope_decrypt_bio(in.get(), party.key.get(), party.cert.get(), out.get());
  if (rc != 1 && rc != 0) std::abort();
  qcrypto::ERR_clear_error();
  return 0;
}
