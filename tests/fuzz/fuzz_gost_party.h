// The GOST R 34.10-2001 party of the message fuzzers, and their input: the
// same key, issuer and serial in every run, so that the seed messages stay
// addressed to it or signed by it.
#pragma once

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "crypto/cclib/ossl_owners.h"
#include "crypto/ecgost/ecgost.h"
#include "crypto/prov/evp_gost.h"
#include "crypto/prov/gost_pkey.h"
#include "crypto/rand/rand.h"
#include "crypto/rand/rand_fixed.h"
#include "tests/support/gost_pki.h"

namespace fuzz_util {

// Messages above this are not worth the time of a run.
constexpr size_t kMaxMessage = 1U << 16;

struct FuzzParty {
  qcrypto::UniquePtr<EVP_PKEY> key;
  qcrypto::UniquePtr<X509> cert;
};

// Starts the provider and switches the process to the fixed random stream
// (the certificate's signature, and whatever a run draws, repeat), then makes
// the party: a fixed private number on the built-in curve, a self-signed
// certificate for `name`.
inline FuzzParty make_fixed_party(const char* name) {
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
  p.cert.reset(test_support::gost_make_cert(p.key.get(), {name, 7, false, 30}, nullptr, p.key.get()));
  if (!p.cert) std::abort();
  return p;
}

// The input as a memory BIO; an empty input reads from a buffer of its own,
// since a null one is refused.
inline qcrypto::UniquePtr<BIO> input_bio(const uint8_t* data, size_t size) {
  static const std::array<unsigned char, 1> none{};
  qcrypto::UniquePtr<BIO> bio(BIO_new_mem_buf(size > 0 ? data : none.data(), static_cast<int>(size)));
  if (!bio) std::abort();
  return bio;
}

}  // namespace fuzz_util
