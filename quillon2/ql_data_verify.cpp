#include "quillon2/ql_data_verify.h"

#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <climits>

#include "crypto/err/err.h"
#include "crypto/pkcs7/signed_data.h"
#include "quillon2/ql_lookup.h"

namespace quillon2 {
namespace {

using qcrypto::UniquePtr;

// The common reason "X509 lib" is the X509 library's own number.
constexpr int kReasonX509Lib = qcrypto::ERRLIB_X509;

void fail(int reason) { QERR(qcrypto::ERRLIB_PKCS7, qcrypto::P7S_F_PKCS7_DATAVERIFY, reason); }

// The parts of a signed or a signed-and-enveloped message that one signer's
// check needs.
struct SignedParts {
  STACK_OF(X509_ALGOR) * digests = nullptr;
  STACK_OF(X509) * certs = nullptr;
  const ASN1_OBJECT* content_type = nullptr;
  const ASN1_OCTET_STRING* content = nullptr;  // attached content, when the message carries it
};

bool signed_parts(PKCS7* message, SignedParts* out) {
  if (PKCS7_type_is_signed(message) && message->d.sign != nullptr) {
    const PKCS7_SIGNED* sd = message->d.sign;
    out->digests = sd->md_algs;
    out->certs = sd->cert;
    if (sd->contents != nullptr) {
      const PKCS7* inner = sd->contents;
      out->content_type = inner->type;
      if (PKCS7_type_is_data(inner)) {
        out->content = inner->d.data;
      } else if (inner->d.other != nullptr && inner->d.other->type == V_ASN1_OCTET_STRING) {
        out->content = inner->d.other->value.octet_string;
      }
    }
    return true;
  }
  if (PKCS7_type_is_signedAndEnveloped(message) && message->d.signed_and_enveloped != nullptr) {
    const PKCS7_SIGN_ENVELOPE* se = message->d.signed_and_enveloped;
    out->digests = se->md_algs;
    out->certs = se->cert;
    if (se->enc_data != nullptr) out->content_type = se->enc_data->content_type;
    return true;
  }
  return false;
}

// Whether the message lists the signer's digest algorithm.
bool digest_listed(const SignedParts& parts, const PKCS7_SIGNER_INFO* signer) {
  if (signer->digest_alg == nullptr) return false;
  for (int i = 0; i < sk_X509_ALGOR_num(parts.digests); ++i) {
    const X509_ALGOR* alg = sk_X509_ALGOR_value(parts.digests, i);
    if (alg != nullptr && OBJ_cmp(alg->algorithm, signer->digest_alg->algorithm) == 0) return true;
  }
  return false;
}

// A signed message of the one signer alone with its certificate and its
// digest algorithm (when the message lists it), without content (the content
// goes to the engine beside it): the engine then checks exactly this signer
// over exactly that content, and the message's other signers, certificates
// and digests cost nothing and meet none of the engine's bounds.
UniquePtr<PKCS7> single_signer_message(const SignedParts& parts, PKCS7_SIGNER_INFO* signer, X509* cert) {
  UniquePtr<PKCS7> out(PKCS7_new());
  if (!out || PKCS7_set_type(out.get(), NID_pkcs7_signed) != 1) return nullptr;
  PKCS7_SIGNED* sd = out->d.sign;
  if (digest_listed(parts, signer)) {
    UniquePtr<X509_ALGOR> alg(X509_ALGOR_dup(signer->digest_alg));
    if (!alg || sk_X509_ALGOR_push(sd->md_algs, alg.get()) <= 0) return nullptr;
    (void)alg.release();  // the stack owns it now
  }
  if (PKCS7_add_certificate(out.get(), cert) != 1) return nullptr;
  UniquePtr<PKCS7_SIGNER_INFO> info(
      static_cast<PKCS7_SIGNER_INFO*>(ASN1_item_dup(ASN1_ITEM_rptr(PKCS7_SIGNER_INFO), signer)));
  if (!info || sk_PKCS7_SIGNER_INFO_push(sd->signer_info, info.get()) <= 0) return nullptr;
  (void)info.release();
  UniquePtr<PKCS7> inner(PKCS7_new());
  if (!inner) return nullptr;
  inner->type = OBJ_dup(parts.content_type);
  if (inner->type == nullptr) return nullptr;
  PKCS7_free(sd->contents);
  sd->contents = inner.release();
  return out;
}

// The engine's check of the signer's signature over the content: 1 good, 0
// with the engine's error queued.
int signature_check(const SignedParts& parts, PKCS7_SIGNER_INFO* signer, X509* cert, BIO* content) {
  UniquePtr<BIO> own_content;
  if (content == nullptr) {
    if (parts.content == nullptr || parts.content->length < 0) {
      fail(qcrypto::P7S_R_NO_CONTENT);
      return 0;
    }
    own_content.reset(BIO_new_mem_buf(parts.content->data, parts.content->length));
    if (!own_content) {
      fail(qcrypto::ERR_R_MEMORY_ALLOC);
      return 0;
    }
    content = own_content.get();
  }
  if (parts.content_type == nullptr) {
    fail(qcrypto::P7S_R_WRONG_CONTENT_TYPE);
    return 0;
  }
  UniquePtr<PKCS7> single = single_signer_message(parts, signer, cert);
  unsigned char* der = nullptr;
  const int der_len = single ? i2d_PKCS7(single.get(), &der) : -1;
  if (der_len <= 0) {
    OPENSSL_free(der);
    fail(qcrypto::ERR_R_MEMORY_ALLOC);
    return 0;
  }
  UniquePtr<BIO> in(BIO_new_mem_buf(der, der_len));
  int rc = 0;
  if (!in) {
    fail(qcrypto::ERR_R_MEMORY_ALLOC);
  } else {
    qcrypto::SignedVerifyOptions options;
    options.detached = content;
    qcrypto::SignedVerifyResult result;
    rc = qcrypto::signed_data_verify_bio(in.get(), nullptr, &result, options) == 1 && result.signers.size() == 1 &&
                 result.signers[0].status == qcrypto::SignerStatus::kGood
             ? 1
             : 0;
  }
  in.reset();
  OPENSSL_free(der);
  return rc;
}

}  // namespace

int PKCS7_dataVerify(qcrypto::X509_STORE* store, qcrypto::X509_STORE_CTX* context, BIO* content, PKCS7* message,
                     PKCS7_SIGNER_INFO* signer) {
  if (store == nullptr || context == nullptr || message == nullptr || signer == nullptr) {
    fail(qcrypto::ERR_R_PASSED_NULL);
    return 0;
  }
  SignedParts parts;
  if (!signed_parts(message, &parts)) {
    fail(qcrypto::P7S_R_WRONG_PKCS7_TYPE);
    return 0;
  }
  const PKCS7_ISSUER_AND_SERIAL* id = signer->issuer_and_serial;
  X509* cert = id != nullptr ? X509_find_by_issuer_and_serial(parts.certs, id->issuer, id->serial) : nullptr;
  if (cert == nullptr) {
    fail(qcrypto::P7S_R_UNABLE_TO_FIND_CERTIFICATE);
    return 0;
  }
  return ql_judge_signer(store, context, cert, parts.certs,
                         [&] { return signature_check(parts, signer, cert, content); });
}

int ql_judge_signer(qcrypto::X509_STORE* store, qcrypto::X509_STORE_CTX* context, X509* cert,
                    STACK_OF(X509) * untrusted, const std::function<int()>& signature_good) {
  if (qcrypto::X509_STORE_CTX_init(context, store, cert, untrusted) != 1) {
    fail(qcrypto::ERR_R_MEMORY_ALLOC);
    return 0;
  }
  const ChainCheck chain = ql_check_chain(store, cert);
  if (chain.made && !chain.valid) context->error = chain.error();
  qcrypto::X509_STORE_CTX_cleanup(context);
  // The certificate and the stack belong to the caller, who may free them
  // before reading the error number.
  context->cert = nullptr;
  context->untrusted = nullptr;
  if (!chain.made) {
    fail(qcrypto::P7S_R_UNABLE_TO_FIND_CERTIFICATE);
    return 0;
  }
  if (!chain.valid) {
    fail(kReasonX509Lib);
    return 0;
  }
  return signature_good();
}

}  // namespace quillon2
