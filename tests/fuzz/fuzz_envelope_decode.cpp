// Enveloped messages and their RecipientInfos come from anyone: the record
// decoder and the streaming reader must refuse bad input cleanly. A record
// that decodes must encode again and decode to the same bytes; a message is
// opened with a fixed GOST R 34.10-2001 party, so records addressed to it run
// the whole agreement (originator point, wrap, content cipher).
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "crypto/cclib/ossl_owners.h"
#include "crypto/ecgost/ecgost.h"
#include "crypto/err/err.h"
#include "crypto/pkcs7/envelope.h"
#include "crypto/pkcs7/recip_info.h"
#include "crypto/prov/evp_gost.h"
#include "crypto/prov/gost_pkey.h"
#include "crypto/rand/rand.h"
#include "crypto/rand/rand_fixed.h"
#include "tests/support/gost_pki.h"

namespace {

struct FuzzParty {
  qcrypto::UniquePtr<EVP_PKEY> key;
  qcrypto::UniquePtr<X509> cert;
};

// The same key, issuer and serial in every run, so that the seed messages
// stay addressed to it: a fixed private number on the built-in curve.
FuzzParty& fuzz_party() {
  static FuzzParty party = [] {
    FuzzParty p;
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
    p.key.reset(qcrypto::evp_pkey_from_ecgost(rec.get()));
    if (!p.key) std::abort();
    p.cert.reset(test_support::gost_make_cert(p.key.get(), {"Fuzz recipient", 7, false, 30}, nullptr, p.key.get()));
    if (!p.cert) std::abort();
    return p;
  }();
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
  FuzzParty& party = fuzz_party();
  if (size > 1U << 16) return 0;
  check_record(data, size);
  static const std::array<unsigned char, 256> stream{};
  qcrypto::RAND_fixed_set_bytes(stream);
  qcrypto::UniquePtr<BIO> in(BIO_new_mem_buf(size > 0 ? data : stream.data(), static_cast<int>(size)));
  qcrypto::UniquePtr<BIO> out(BIO_new(BIO_s_mem()));
  if (!in || !out) std::abort();
  const int rc = qcrypto::envelope_decrypt_bio(in.get(), party.key.get(), party.cert.get(), out.get());
  if (rc != 1 && rc != 0) std::abort();
  qcrypto::ERR_clear_error();
  return 0;
}
