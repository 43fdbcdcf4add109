// Forged RSA key-transport blocks for enveloped messages: what an attacker
// holding a message and the recipient's public key can send in place of the
// encrypted content key (a block with bad PKCS#1 v1.5 padding, a well-padded
// key of another length, a well-formed key that is not the message's).
#pragma once

#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "crypto/cclib/ossl_owners.h"

namespace test_support {

enum class RsaForgery { kBadPadding, kWrongLength, kWrongKey };

inline const RsaForgery kAllRsaForgeries[] = {RsaForgery::kBadPadding, RsaForgery::kWrongLength, RsaForgery::kWrongKey};

inline const char* forgery_name(RsaForgery f) {
  switch (f) {
    case RsaForgery::kBadPadding:
      return "bad padding";
    case RsaForgery::kWrongLength:
      return "well padded, wrong length";
    case RsaForgery::kWrongKey:
      return "well formed, wrong key";
  }
  return "?";
}

// A k-byte block 00 02 PS 00 M with non-zero PS; M is a keylen-byte key
// (kWrongLength: eight bytes shorter), kBadPadding puts 03 in place of 02.
inline std::vector<unsigned char> forged_block(std::size_t k, std::size_t keylen, RsaForgery f) {
  std::vector<unsigned char> em(k);
  const std::size_t mlen = f == RsaForgery::kWrongLength ? keylen - 8 : keylen;
  em[1] = f == RsaForgery::kBadPadding ? 3 : 2;
  const std::size_t sep = k - mlen - 1;
  for (std::size_t i = 2; i < sep; ++i) em[i] = static_cast<unsigned char>((i * 7) % 255 + 1);
  for (std::size_t i = 0; i < mlen; ++i) em[sep + 1 + i] = static_cast<unsigned char>(0xA5 ^ (i * 13));
  return em;
}

// The block encrypted with the public key and no padding; empty on failure.
inline std::vector<unsigned char> rsa_raw_encrypt(EVP_PKEY* pub, const std::vector<unsigned char>& block) {
  qcrypto::UniquePtr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pub, nullptr));
  std::vector<unsigned char> out(block.size());
  size_t n = out.size();
  if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) <= 0 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) <= 0 ||
      EVP_PKEY_encrypt(ctx.get(), out.data(), &n, block.data(), block.size()) <= 0 || n != block.size()) {
    return {};
  }
  return out;
}

// Replaces the only k-byte OCTET STRING of a DER message (the encrypted key
// of a message for one RSA recipient with a modulus of 256 bytes or more)
// with `enc`; false when there is not exactly one.
inline bool replace_encrypted_key(std::vector<unsigned char>* msg, const std::vector<unsigned char>& enc) {
  const std::size_t k = enc.size();
  if (k < 256 || k > 0xffff) return false;
  const unsigned char head[] = {0x04, 0x82, static_cast<unsigned char>(k >> 8), static_cast<unsigned char>(k)};
  std::size_t found = 0;
  std::size_t at = 0;
  for (std::size_t i = 0; i + sizeof head + k <= msg->size(); ++i) {
    if (std::memcmp(msg->data() + i, head, sizeof head) == 0) {
      ++found;
      at = i + sizeof head;
    }
  }
  if (found != 1) return false;
  std::memcpy(msg->data() + at, enc.data(), k);
  return true;
}

}  // namespace test_support
