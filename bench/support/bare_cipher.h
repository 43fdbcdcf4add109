// The bare bulk cipher the envelope benchmarks hold the toolkit to:
// RUS-GAMMAR through EVP, file to file in 4096-byte blocks, the output synced
// as the toolkit syncs its own before the rename, so that wall times compare
// like with like.
#pragma once

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <string>

#include "crypto/cclib/ossl_owners.h"
#include "crypto/prov/evp_gost.h"

namespace bench_support {

inline bool bare_gamma_file(const std::string& in_path, const std::string& out_path, int enc) {
  static const unsigned char key[32] = {1, 2, 3};
  static const unsigned char iv[8] = {4, 5, 6};
  qcrypto::UniquePtr<BIO> in(BIO_new_file(in_path.c_str(), "rb"));
  qcrypto::UniquePtr<BIO> out(BIO_new_file(out_path.c_str(), "wb"));
  qcrypto::UniquePtr<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
  if (!in || !out || !ctx || EVP_CipherInit_ex2(ctx.get(), qcrypto::EVP_rus_gammar(), key, iv, enc, nullptr) != 1) {
    return false;
  }
  std::array<unsigned char, 4096> a{};
  std::array<unsigned char, 4096 + 64> b{};
  int n = 0;
  while ((n = BIO_read(in.get(), a.data(), static_cast<int>(a.size()))) > 0) {
    int m = 0;
    if (EVP_CipherUpdate(ctx.get(), b.data(), &m, a.data(), n) != 1 || BIO_write(out.get(), b.data(), m) != m) {
      return false;
    }
  }
  int m = 0;
  if (EVP_CipherFinal_ex(ctx.get(), b.data(), &m) != 1 || BIO_flush(out.get()) != 1) return false;
  FILE* fp = nullptr;
  BIO_get_fp(out.get(), &fp);
  return fp != nullptr && fsync(fileno(fp)) == 0;
}

}  // namespace bench_support
