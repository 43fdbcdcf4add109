// The KEK derivation from a shared secret ZZ: each digest round hashes ZZ
// followed by the DER OtherInfo of that round's counter.
#include <openssl/asn1t.h>
#include <openssl/evp.h>
#include <openssl/objects.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "crypto/cclib/ossl_owners.h"
#include "crypto/cclib/secret.h"
#include "crypto/err/err.h"
#include "crypto/wrap/keywrap.h"

namespace qcrypto {

// NOLINTBEGIN: OpenSSL's template macros expand to C-style tables and casts.
ASN1_SEQUENCE(X942_KEY_SPECIFIC_INFO) =
    {
        ASN1_SIMPLE(X942_KEY_SPECIFIC_INFO, algorithm, ASN1_OBJECT),
        ASN1_SIMPLE(X942_KEY_SPECIFIC_INFO, counter, ASN1_OCTET_STRING),
} ASN1_SEQUENCE_END(X942_KEY_SPECIFIC_INFO)

        ASN1_SEQUENCE(X942_OTHER_INFO) =
            {
                ASN1_SIMPLE(X942_OTHER_INFO, keyInfo, X942_KEY_SPECIFIC_INFO),
                ASN1_EXP_OPT(X942_OTHER_INFO, partyAInfo, ASN1_OCTET_STRING, 0),
                ASN1_EXP(X942_OTHER_INFO, suppPubInfo, ASN1_OCTET_STRING, 2),
} ASN1_SEQUENCE_END(X942_OTHER_INFO)
    // NOLINTEND

    namespace {
  constexpr int kCounterBytes = 4;
  // suppPubInfo carries the KEK length in bits in 4 bytes.
  constexpr int kMaxKekBytes = 0x1fffffff;

  void put_be32(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
  }

  int set_be32(ASN1_OCTET_STRING * s, uint32_t v) {
    std::array<unsigned char, kCounterBytes> b{};
    put_be32(b.data(), v);
    return ASN1_OCTET_STRING_set(s, b.data(), kCounterBytes);
  }

}  // namespace

X942_KEY_SPECIFIC_INFO* X942_KEY_SPECIFIC_INFO_new() {
  auto* a = reinterpret_cast<X942_KEY_SPECIFIC_INFO*>(ASN1_item_new(ASN1_ITEM_rptr(X942_KEY_SPECIFIC_INFO)));
  if (a == nullptr || a->counter == nullptr || !set_be32(a->counter, 0)) {
    X942_KEY_SPECIFIC_INFO_free(a);
    QERR(ERRLIB_ASN1, ASN1_F_X942_KEY_SPECIFIC_INFO_NEW, ERR_R_MEMORY_ALLOC);
    return nullptr;
  }
  return a;
}

void X942_KEY_SPECIFIC_INFO_free(X942_KEY_SPECIFIC_INFO* a) {
  ASN1_item_free(reinterpret_cast<ASN1_VALUE*>(a), ASN1_ITEM_rptr(X942_KEY_SPECIFIC_INFO));
}

int i2d_X942_KEY_SPECIFIC_INFO(const X942_KEY_SPECIFIC_INFO* a, unsigned char** out) {
  return ASN1_item_i2d(reinterpret_cast<const ASN1_VALUE*>(a), out, ASN1_ITEM_rptr(X942_KEY_SPECIFIC_INFO));
}

X942_OTHER_INFO* X942_OTHER_INFO_new() {
  auto* a = reinterpret_cast<X942_OTHER_INFO*>(ASN1_item_new(ASN1_ITEM_rptr(X942_OTHER_INFO)));
  if (a == nullptr || a->keyInfo == nullptr || a->suppPubInfo == nullptr || !set_be32(a->keyInfo->counter, 0) ||
      !set_be32(a->suppPubInfo, 0)) {
    X942_OTHER_INFO_free(a);
    QERR(ERRLIB_ASN1, ASN1_F_X942_OTHER_INFO_NEW, ERR_R_MEMORY_ALLOC);
    return nullptr;
  }
  return a;
}

void X942_OTHER_INFO_free(X942_OTHER_INFO* a) {
  ASN1_item_free(reinterpret_cast<ASN1_VALUE*>(a), ASN1_ITEM_rptr(X942_OTHER_INFO));
}

int i2d_X942_OTHER_INFO(const X942_OTHER_INFO* a, unsigned char** out) {
  return ASN1_item_i2d(reinterpret_cast<const ASN1_VALUE*>(a), out, ASN1_ITEM_rptr(X942_OTHER_INFO));
}

namespace {

// One round: H(ZZ || DER OtherInfo(counter)) into md.
int kdf_round(const EVP_MD* md, const unsigned char* zz, int zzlen, int wrap_nid, uint32_t counter, int keklen,
              const ASN1_OCTET_STRING* party_a_info, unsigned char* digest, unsigned int* dlen) {
  UniquePtr<X942_OTHER_INFO> info(X942_OTHER_INFO_new());
  if (!info) return 0;
  ASN1_OBJECT* obj = OBJ_nid2obj(wrap_nid);
  if (obj == nullptr) return 0;
  // The table's objects are static; no copy is needed, and freeing one is a
  // no-op.
  info->keyInfo->algorithm = obj;
  if (!set_be32(info->keyInfo->counter, counter) || !set_be32(info->suppPubInfo, static_cast<uint32_t>(keklen) * 8U)) {
    return 0;
  }
  if (party_a_info != nullptr) {
    info->partyAInfo = ASN1_OCTET_STRING_dup(party_a_info);
    if (info->partyAInfo == nullptr) return 0;
  }
  unsigned char* der = nullptr;
  const int derlen = i2d_X942_OTHER_INFO(info.get(), &der);
  if (derlen <= 0) return 0;
  UniquePtr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  const int ok = ctx && EVP_DigestInit_ex(ctx.get(), md, nullptr) == 1 &&
                 EVP_DigestUpdate(ctx.get(), zz, static_cast<size_t>(zzlen)) == 1 &&
                 EVP_DigestUpdate(ctx.get(), der, static_cast<size_t>(derlen)) == 1 &&
                 EVP_DigestFinal_ex(ctx.get(), digest, dlen) == 1;
  OPENSSL_free(der);
  return ok ? 1 : 0;
}

}  // namespace

int X942_KEK_GENERATE(const EVP_MD* md, const unsigned char* zz, int zzlen, int wrap_nid, unsigned char* out,
                      int keklen, const ASN1_OCTET_STRING* party_a_info) {
  if (keklen < 1) return 0;
  if (md == nullptr || zz == nullptr || zzlen < 0 || out == nullptr || keklen > kMaxKekBytes) {
    QERR(ERRLIB_PKCS7, PKCS7_F_X942_KEK_GENERATE, ERR_R_PASSED_NULL);
    return 0;
  }
  SecretBuffer<EVP_MAX_MD_SIZE> digest;
  int done = 0;
  for (uint32_t counter = 1; done < keklen; ++counter) {
    unsigned int dlen = 0;
    if (!kdf_round(md, zz, zzlen, wrap_nid, counter, keklen, party_a_info, digest.data(), &dlen) || dlen == 0) {
      OPENSSL_cleanse(out, static_cast<size_t>(keklen));
      QERR(ERRLIB_PKCS7, PKCS7_F_X942_KEK_GENERATE, ERR_R_MEMORY_ALLOC);
      return 0;
    }
    const int take = std::min(static_cast<int>(dlen), keklen - done);
    std::memcpy(out + done, digest.data(), static_cast<size_t>(take));
    done += take;
  }
  return keklen;
}

}  // namespace qcrypto
