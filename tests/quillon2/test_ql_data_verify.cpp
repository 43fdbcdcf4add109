// The check of one signer (PKCS7_dataVerify) over messages made in memory
// with the test PKI: a good signer with attached and detached content, a
// message of another kind, a signer whose certificate the message lacks,
// chains that fail (expired, revoked, untrusted) with the error number left
// in the context, the same failures tolerated by the check options, and
// content changed under a good chain. Also the certificate look-up that
// signing and encryption share, with the codes each of them gives.
#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "crypto/err/err.h"
#include "crypto/pkcs7/envelope.h"
#include "crypto/pkcs7/signed_data.h"
#include "crypto/x509/name_print.h"
#include "crypto/x509store/store.h"
#include "crypto/x509store/verify.h"
#include "quillon2/ql_certinfo.h"
#include "quillon2/ql_crypt.h"
#include "quillon2/ql_data_verify.h"
#include "quillon2/ql_frame.h"
#include "quillon2/ql_keys.h"
#include "quillon2/ql_sign.h"
#include "tests/support/gost_pki.h"
#include "tests/support/provider_fixture.h"

namespace quillon2 {
namespace {

using Bytes = std::vector<unsigned char>;
using qcrypto::UniquePtr;
using test_support::PkiKeyType;

constexpr long kDay = 86400;

// A leaf of the test PKI with its key.
struct Leaf {
  UniquePtr<EVP_PKEY> key;
  UniquePtr<X509> cert;
};

enum LeafKind { kGood, kExpired, kRevoked, kUntrusted, kLeafKinds };
constexpr long kRevokedSerial = 102;

class DataVerifyTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    qcrypto::RAND_set_rand_method(&test_support::kSystemRand);
    root_key_ = test_support::pki_new_key(PkiKeyType::kEcr3410);
    other_root_key_ = test_support::pki_new_key(PkiKeyType::kEcr3410);
    test_support::PkiCertSpec ca;
    ca.basic_constraints = test_support::PkiBasicConstraints::kCa;
    ca.key_usage = test_support::PkiKeyUsage::kCa;
    ca.common_name = "Verify Root";
    root_ = test_support::pki_make_cert(root_key_, ca, nullptr, root_key_);
    ca.common_name = "Unknown Root";
    other_root_ = test_support::pki_make_cert(other_root_key_, ca, nullptr, other_root_key_);
    for (int i = 0; i < kLeafKinds; ++i) {
      auto* leaf = new Leaf;
      leaf->key.reset(test_support::pki_new_key(i == kRevoked ? PkiKeyType::kR3410 : PkiKeyType::kEcr3410));
      test_support::PkiCertSpec spec;
      spec.common_name = "Leaf " + std::to_string(i);
      spec.serial = 100 + i;
      if (i == kExpired) {
        spec.not_before = -10 * kDay;
        spec.not_after = -kDay;
      }
      const bool under_root = i != kUntrusted;
      leaf->cert.reset(test_support::pki_make_cert(leaf->key.get(), spec, under_root ? root_ : other_root_,
                                                   under_root ? root_key_ : other_root_key_));
      leaves_.push_back(leaf);
    }
    test_support::PkiCrlSpec crl;
    crl.revoked = {kRevokedSerial};
    crl_ = test_support::pki_make_crl(root_, root_key_, crl);
  }
  static void TearDownTestSuite() {
    for (Leaf* leaf : leaves_) delete leaf;
    leaves_.clear();
    X509_CRL_free(crl_);
    X509_free(root_);
    X509_free(other_root_);
    EVP_PKEY_free(root_key_);
    EVP_PKEY_free(other_root_key_);
  }

  void SetUp() override {
    ASSERT_NE(root_, nullptr);
    ASSERT_NE(other_root_, nullptr);
    ASSERT_NE(crl_, nullptr);
    for (const Leaf* leaf : leaves_) ASSERT_TRUE(leaf->key && leaf->cert);
    ASSERT_EQ(QL_init(nullptr, 0), QL_OK);
    qcrypto::RAND_set_rand_method(&test_support::kSystemRand);
    // The root trusted with its CRL; the other root known, but untrusted.
    store_.reset(qcrypto::X509_STORE_new());
    ASSERT_TRUE(store_);
    qcrypto::X509_LOOKUP* trusted =
        qcrypto::X509_STORE_add_lookup(store_.get(), qcrypto::X509_LOOKUP_trusted(), "trusted", 1);
    qcrypto::X509_LOOKUP* untrusted =
        qcrypto::X509_STORE_add_lookup(store_.get(), qcrypto::X509_LOOKUP_local_untrusted(), "untrusted", 0);
    ASSERT_NE(trusted, nullptr);
    ASSERT_NE(untrusted, nullptr);
    ASSERT_EQ(qcrypto::X509_LOOKUP_add_cert(trusted, root_), 1);
    ASSERT_EQ(qcrypto::X509_LOOKUP_add_crl(trusted, crl_), 1);
    ASSERT_EQ(qcrypto::X509_LOOKUP_add_cert(untrusted, other_root_), 1);
    qcrypto::ERR_clear_error();
  }
  void TearDown() override {
    store_.reset();
    while (QL_is_initialized() != 0) QL_cleanup();
    qcrypto::ERR_clear_error();
  }

  static Bytes document() {
    Bytes b(3 * qcrypto::SIGNED_BLOCK + 77);
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<unsigned char>(i * 13 + 5);
    return b;
  }

  // A message signed by the leaf, decoded as the dependency's record.
  static UniquePtr<PKCS7> sign(LeafKind who, const Bytes& content, bool detached, bool include_certs) {
    const qcrypto::SignedSigner signer{leaves_[who]->key.get(), leaves_[who]->cert.get()};
    qcrypto::SignedOptions options;
    options.detached = detached;
    options.include_certs = include_certs;
    UniquePtr<BIO> in(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
    UniquePtr<BIO> out(BIO_new(BIO_s_mem()));
    if (!in || !out) return nullptr;
    if (qcrypto::signed_data_sign_bio({&signer, 1}, in.get(), content.size(), out.get(), options) != 1) return nullptr;
    return UniquePtr<PKCS7>(d2i_PKCS7_bio(out.get(), nullptr));
  }

  // The DER of a message signed by the leaf with the given options.
  static Bytes sign_der(LeafKind who, const Bytes& content, const qcrypto::SignedOptions& options) {
    const qcrypto::SignedSigner signer{leaves_[who]->key.get(), leaves_[who]->cert.get()};
    UniquePtr<BIO> in(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
    UniquePtr<BIO> out(BIO_new(BIO_s_mem()));
    if (!in || !out) return {};
    if (qcrypto::signed_data_sign_bio({&signer, 1}, in.get(), content.size(), out.get(), options) != 1) return {};
    const unsigned char* data = nullptr;
    const long n = BIO_get_mem_data(out.get(), &data);
    return Bytes(data, data + n);
  }

  // The DER of a message enveloped for the leaf with the settings' cipher.
  static Bytes envelope_der(LeafKind who, const Bytes& content) {
    const qcrypto::EnvelopeRecipient recipient{leaves_[who]->cert.get(), 1};
    UniquePtr<BIO> in(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
    UniquePtr<BIO> out(BIO_new(BIO_s_mem()));
    if (!in || !out) return {};
    if (qcrypto::envelope_encrypt_bio({&recipient, 1}, QL_settings_get()->cipher.load(), in.get(), content.size(),
                                      out.get()) != 1)
      return {};
    const unsigned char* data = nullptr;
    const long n = BIO_get_mem_data(out.get(), &data);
    return Bytes(data, data + n);
  }

  static void trust_root() {
    const Bytes root_der = test_support::to_der(root_);
    ASSERT_EQ(QL_add_trusted_certificate(root_der.data(), static_cast<long>(root_der.size())), QL_OK);
  }

  static PKCS7_SIGNER_INFO* first_signer(PKCS7* p7) {
    STACK_OF(PKCS7_SIGNER_INFO)* infos = PKCS7_get_signer_info(p7);
    return sk_PKCS7_SIGNER_INFO_num(infos) > 0 ? sk_PKCS7_SIGNER_INFO_value(infos, 0) : nullptr;
  }

  static inline EVP_PKEY* root_key_ = nullptr;
  static inline EVP_PKEY* other_root_key_ = nullptr;
  static inline X509* root_ = nullptr;
  static inline X509* other_root_ = nullptr;
  static inline X509_CRL* crl_ = nullptr;
  static inline std::vector<Leaf*> leaves_;
  UniquePtr<qcrypto::X509_STORE> store_;
};

// The last queued error of library 33 from the signer check, and its text.
struct Queued {
  int lib = 0;
  int reason = 0;
  std::string text;
};
Queued last_error() {
  Queued q;
  const unsigned long e = qcrypto::ERR_peek_last_error();
  q.lib = qcrypto::ERR_GET_LIB_CODE(e);
  q.reason = qcrypto::ERR_GET_REASON_CODE(e);
  const char* text = qcrypto::ERR_reason_error_string(e);
  q.text = text != nullptr ? text : "";
  return q;
}

// The common reason "X509 lib" has the X509 library's number.
constexpr int kX509Lib = qcrypto::ERRLIB_X509;

TEST_F(DataVerifyTest, SignersJudgedByChainThenSignature) {
  enum class Change { kNone, kContent, kDetachedContent };
  const struct {
    const char* what;
    LeafKind who;
    bool detached;
    unsigned check_options;
    Change change;
    int result;
    int context_error;
    int reason;  // of the last queued error (library 33); 0: none queued
  } rows[] = {
      {"good, attached", kGood, false, 0, Change::kNone, 1, 0, 0},
      {"good, detached", kGood, true, 0, Change::kNone, 1, 0, 0},
      {"expired", kExpired, false, 0, Change::kNone, 0, qcrypto::VERR_CERT_HAS_EXPIRED, kX509Lib},
      {"revoked", kRevoked, true, 0, Change::kNone, 0, qcrypto::VERR_CERT_REVOKED, kX509Lib},
      {"untrusted root", kUntrusted, false, 0, Change::kNone, 0, qcrypto::VERR_CERT_UNTRUSTED, kX509Lib},
      {"expired, tolerated by option 0x2", kExpired, false, 0x2, Change::kNone, 1, 0, 0},
      {"revoked, tolerated by option 0x4", kRevoked, false, 0x4, Change::kNone, 1, 0, 0},
      {"untrusted root, tolerated by option 0x10", kUntrusted, true, 0x10, Change::kNone, 1, 0, 0},
      {"expired, a tolerance for another error", kExpired, false, 0x4, Change::kNone, 0, qcrypto::VERR_CERT_HAS_EXPIRED,
       kX509Lib},
      {"attached content changed, chain good", kGood, false, 0, Change::kContent, 0, 0,
       qcrypto::P7S_R_SIGNATURE_FAILURE},
      {"detached content changed, chain good", kGood, true, 0, Change::kDetachedContent, 0, 0,
       qcrypto::P7S_R_SIGNATURE_FAILURE},
      // The chain is judged first: changed content of a revoked signer is
      // reported as the chain's failure.
      {"content changed, signer revoked", kRevoked, true, 0, Change::kDetachedContent, 0, qcrypto::VERR_CERT_REVOKED,
       kX509Lib},
  };
  const Bytes doc = document();
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    QL_settings_get()->check_options = row.check_options;
    UniquePtr<PKCS7> p7 = sign(row.who, doc, row.detached, true);
    ASSERT_TRUE(p7);
    PKCS7_SIGNER_INFO* signer = first_signer(p7.get());
    ASSERT_NE(signer, nullptr);
    if (row.change == Change::kContent) {
      ASSERT_TRUE(PKCS7_type_is_data(p7->d.sign->contents));
      ASSERT_EQ(ASN1_STRING_length(p7->d.sign->contents->d.data), static_cast<int>(doc.size()));
      p7->d.sign->contents->d.data->data[doc.size() / 2] ^= 0x10;
    }
    Bytes given = doc;
    if (row.change == Change::kDetachedContent) given.back() ^= 0x01;
    UniquePtr<BIO> channel(row.detached ? BIO_new_mem_buf(given.data(), static_cast<int>(given.size())) : nullptr);
    qcrypto::X509_STORE_CTX context{};
    context.error = 99;  // whatever an earlier check left
    qcrypto::ERR_clear_error();
    EXPECT_EQ(PKCS7_dataVerify(store_.get(), &context, channel.get(), p7.get(), signer), row.result);
    EXPECT_EQ(context.error, row.context_error);
    const Queued q = last_error();
    if (row.reason == 0) {
      EXPECT_EQ(qcrypto::ERR_peek_last_error(), 0UL) << q.text;
    } else {
      EXPECT_EQ(q.lib, qcrypto::ERRLIB_PKCS7);
      EXPECT_EQ(q.reason, row.reason) << q.text;
    }
  }
}

TEST_F(DataVerifyTest, MessagesWithoutTheSignersCertificateOrOfAnotherKind) {
  const Bytes doc = document();
  UniquePtr<PKCS7> signed_msg = sign(kGood, doc, false, true);
  UniquePtr<PKCS7> without_certs = sign(kGood, doc, false, false);
  ASSERT_TRUE(signed_msg && without_certs);
  // A signer record whose issuer and serial the message's certificates lack.
  UniquePtr<PKCS7> other_signer = sign(kExpired, doc, false, false);
  ASSERT_TRUE(other_signer);

  UniquePtr<PKCS7> enveloped(PKCS7_new());
  ASSERT_TRUE(enveloped);
  ASSERT_EQ(PKCS7_set_type(enveloped.get(), NID_pkcs7_enveloped), 1);
  UniquePtr<PKCS7> data(PKCS7_new());
  ASSERT_TRUE(data);
  ASSERT_EQ(PKCS7_set_type(data.get(), NID_pkcs7_data), 1);

  const struct {
    const char* what;
    PKCS7* message;
    PKCS7* signer_from;
    int reason;
    const char* text;
  } rows[] = {
      {"enveloped message", enveloped.get(), signed_msg.get(), qcrypto::P7S_R_WRONG_PKCS7_TYPE, "wrong pkcs7 type"},
      {"data message", data.get(), signed_msg.get(), qcrypto::P7S_R_WRONG_PKCS7_TYPE, "wrong pkcs7 type"},
      {"message without certificates", without_certs.get(), without_certs.get(),
       qcrypto::P7S_R_UNABLE_TO_FIND_CERTIFICATE, "unable to find certificate"},
      {"signer of another message", signed_msg.get(), other_signer.get(), qcrypto::P7S_R_UNABLE_TO_FIND_CERTIFICATE,
       "unable to find certificate"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    PKCS7_SIGNER_INFO* signer = first_signer(row.signer_from);
    ASSERT_NE(signer, nullptr);
    qcrypto::X509_STORE_CTX context{};
    qcrypto::ERR_clear_error();
    EXPECT_EQ(PKCS7_dataVerify(store_.get(), &context, nullptr, row.message, signer), 0);
    EXPECT_EQ(context.error, 0);
    const Queued q = last_error();
    EXPECT_EQ(q.lib, qcrypto::ERRLIB_PKCS7);
    EXPECT_EQ(q.reason, row.reason);
    EXPECT_EQ(q.text, row.text);
  }
  // The same signer checks out once its certificate is among the message's.
  PKCS7_SIGNER_INFO* signer = first_signer(without_certs.get());
  ASSERT_EQ(PKCS7_add_certificate(without_certs.get(), leaves_[kGood]->cert.get()), 1);
  qcrypto::X509_STORE_CTX context{};
  EXPECT_EQ(PKCS7_dataVerify(store_.get(), &context, nullptr, without_certs.get(), signer), 1);
}

// Each signer of a message is checked alone: the others, the number of
// certificates carried and the digest list do not change its verdict, but
// a digest the message does not list fails it.
TEST_F(DataVerifyTest, EachSignerOnItsOwn) {
  const Bytes doc = document();
  const qcrypto::SignedSigner signers[] = {{leaves_[kGood]->key.get(), leaves_[kGood]->cert.get()},
                                           {leaves_[kRevoked]->key.get(), leaves_[kRevoked]->cert.get()}};
  UniquePtr<BIO> in(BIO_new_mem_buf(doc.data(), static_cast<int>(doc.size())));
  UniquePtr<BIO> out(BIO_new(BIO_s_mem()));
  ASSERT_TRUE(in && out);
  ASSERT_EQ(qcrypto::signed_data_sign_bio(signers, in.get(), doc.size(), out.get()), 1);
  UniquePtr<PKCS7> p7(d2i_PKCS7_bio(out.get(), nullptr));
  ASSERT_TRUE(p7);
  STACK_OF(PKCS7_SIGNER_INFO)* infos = PKCS7_get_signer_info(p7.get());
  ASSERT_EQ(sk_PKCS7_SIGNER_INFO_num(infos), 2);
  // More certificates than the engine keeps from one message.
  for (int i = 0; i < 300; ++i) ASSERT_EQ(PKCS7_add_certificate(p7.get(), root_), 1);

  auto check = [&](PKCS7* message, int index, int* error) {
    qcrypto::X509_STORE_CTX context{};
    const int rc = PKCS7_dataVerify(store_.get(), &context, nullptr, message, sk_PKCS7_SIGNER_INFO_value(infos, index));
    *error = context.error;
    return rc;
  };
  bool revoked[2] = {false, false};
  for (int index = 0; index < 2; ++index) {
    SCOPED_TRACE(index);
    revoked[index] = X509_cmp(X509_find_by_issuer_and_serial(
                                  p7->d.sign->cert, sk_PKCS7_SIGNER_INFO_value(infos, index)->issuer_and_serial->issuer,
                                  sk_PKCS7_SIGNER_INFO_value(infos, index)->issuer_and_serial->serial),
                              leaves_[kRevoked]->cert.get()) == 0;
    int error = -1;
    EXPECT_EQ(check(p7.get(), index, &error), revoked[index] ? 0 : 1);
    EXPECT_EQ(error, revoked[index] ? qcrypto::VERR_CERT_REVOKED : 0);
  }
  ASSERT_NE(revoked[0], revoked[1]);
  // Without the digest list no signer's digest is one the message names.
  sk_X509_ALGOR_pop_free(p7->d.sign->md_algs, X509_ALGOR_free);
  p7->d.sign->md_algs = sk_X509_ALGOR_new_null();
  ASSERT_NE(p7->d.sign->md_algs, nullptr);
  for (int index = 0; index < 2; ++index) {
    SCOPED_TRACE(index);
    int error = -1;
    qcrypto::ERR_clear_error();
    EXPECT_EQ(check(p7.get(), index, &error), 0);
    // The chain is still judged first.
    EXPECT_EQ(error, revoked[index] ? qcrypto::VERR_CERT_REVOKED : 0);
    EXPECT_EQ(last_error().reason, revoked[index] ? kX509Lib : qcrypto::P7S_R_SIGNATURE_FAILURE);
  }
}

// A detached message checked without its content, and missing arguments,
// fail without a chain verdict.
TEST_F(DataVerifyTest, NoContentOrNoArgumentsFail) {
  const Bytes doc = document();
  UniquePtr<PKCS7> detached = sign(kGood, doc, true, true);
  ASSERT_TRUE(detached);
  PKCS7_SIGNER_INFO* signer = first_signer(detached.get());
  ASSERT_NE(signer, nullptr);
  qcrypto::X509_STORE_CTX context{};
  qcrypto::ERR_clear_error();
  EXPECT_EQ(PKCS7_dataVerify(store_.get(), &context, nullptr, detached.get(), signer), 0);
  EXPECT_EQ(context.error, 0);
  EXPECT_EQ(last_error().reason, qcrypto::P7S_R_NO_CONTENT);

  qcrypto::ERR_clear_error();
  EXPECT_EQ(PKCS7_dataVerify(nullptr, &context, nullptr, detached.get(), signer), 0);
  EXPECT_EQ(PKCS7_dataVerify(store_.get(), nullptr, nullptr, detached.get(), signer), 0);
  EXPECT_EQ(PKCS7_dataVerify(store_.get(), &context, nullptr, nullptr, signer), 0);
  EXPECT_EQ(PKCS7_dataVerify(store_.get(), &context, nullptr, detached.get(), nullptr), 0);
  EXPECT_EQ(last_error().reason, qcrypto::ERR_R_PASSED_NULL);
}

// A signed and enveloped message carries its content encrypted: its signer
// is checked over the decrypted content the caller gives, and without it
// there is nothing to check.
TEST_F(DataVerifyTest, SignedAndEnvelopedOverTheGivenContent) {
  const Bytes doc = document();
  UniquePtr<PKCS7> source = sign(kGood, doc, true, true);
  ASSERT_TRUE(source);
  UniquePtr<PKCS7> both(PKCS7_new());
  ASSERT_TRUE(both);
  ASSERT_EQ(PKCS7_set_type(both.get(), NID_pkcs7_signedAndEnveloped), 1);
  PKCS7_SIGN_ENVELOPE* se = both->d.signed_and_enveloped;
  ASSERT_NE(se->enc_data, nullptr);
  ASSERT_EQ(OBJ_obj2nid(se->enc_data->content_type), NID_pkcs7_data);
  for (int i = 0; i < sk_X509_ALGOR_num(source->d.sign->md_algs); ++i)
    ASSERT_GT(sk_X509_ALGOR_push(se->md_algs, X509_ALGOR_dup(sk_X509_ALGOR_value(source->d.sign->md_algs, i))), 0);
  ASSERT_EQ(PKCS7_add_certificate(both.get(), leaves_[kGood]->cert.get()), 1);
  auto* signer =
      static_cast<PKCS7_SIGNER_INFO*>(ASN1_item_dup(ASN1_ITEM_rptr(PKCS7_SIGNER_INFO), first_signer(source.get())));
  ASSERT_NE(signer, nullptr);
  ASSERT_GT(sk_PKCS7_SIGNER_INFO_push(se->signer_info, signer), 0);

  Bytes changed = doc;
  changed[0] ^= 0x01;
  const struct {
    const char* what;
    const Bytes* content;
    int result;
    int reason;
  } rows[] = {
      {"decrypted content given", &doc, 1, 0},
      {"other content given", &changed, 0, qcrypto::P7S_R_SIGNATURE_FAILURE},
      {"no content given", nullptr, 0, qcrypto::P7S_R_NO_CONTENT},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    UniquePtr<BIO> channel(
        row.content != nullptr ? BIO_new_mem_buf(row.content->data(), static_cast<int>(row.content->size())) : nullptr);
    qcrypto::X509_STORE_CTX context{};
    qcrypto::ERR_clear_error();
    EXPECT_EQ(PKCS7_dataVerify(store_.get(), &context, channel.get(), both.get(), signer), row.result);
    EXPECT_EQ(context.error, 0);
    EXPECT_EQ(last_error().reason, row.reason);
  }
}

// Verification of a whole message reads it as the engine does, DER or PEM
// under either armour name, and takes each signer's code from the signer
// check.
TEST_F(DataVerifyTest, VerifyDataUnderEitherArmour) {
  const Bytes root_der = test_support::to_der(root_);
  ASSERT_EQ(QL_add_trusted_certificate(root_der.data(), static_cast<long>(root_der.size())), QL_OK);
  QL_SESSION* session = QL_session_get();
  ASSERT_NE(session, nullptr);
  EXPECT_EQ(mputil_store_add_crl(session->store, crl_), QL_OK);
  QL_session_release(session);
  const Bytes doc = document();
  const struct {
    const char* what;
    LeafKind who;
    const char* armour;  // null: DER
    int code;
    int status;
  } rows[] = {
      {"DER", kGood, nullptr, QL_OK, QL_OK},
      {"PEM PKCS7", kGood, "PKCS7", QL_OK, QL_OK},
      {"PEM CMS", kGood, "CMS", QL_OK, QL_OK},
      {"PEM CMS, signer revoked", kRevoked, "CMS", QL_ERR_BAD_SIGNATURE, qcrypto::VERR_CERT_REVOKED},
      // The session's store does not know the other root at all.
      {"DER, signer whose issuer is unknown", kUntrusted, nullptr, QL_ERR_BAD_SIGNATURE,
       qcrypto::VERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    UniquePtr<PKCS7> p7 = sign(row.who, doc, false, true);
    ASSERT_TRUE(p7);
    unsigned char* der = nullptr;
    const int der_len = i2d_PKCS7(p7.get(), &der);
    ASSERT_GT(der_len, 0);
    Bytes message(der, der + der_len);
    OPENSSL_free(der);
    if (row.armour != nullptr) {
      UniquePtr<BIO> pem(BIO_new(BIO_s_mem()));
      ASSERT_TRUE(pem);
      ASSERT_GT(PEM_write_bio(pem.get(), row.armour, "", message.data(), static_cast<long>(message.size())), 0);
      const unsigned char* text = nullptr;
      const long n = BIO_get_mem_data(pem.get(), &text);
      message.assign(text, text + n);
    }
    QL_SIGN_SET* set = QL_SIGN_SET_new();
    ASSERT_NE(set, nullptr);
    unsigned char* content = nullptr;
    long content_length = 0;
    EXPECT_EQ(
        QL_verify_data_short(set, message.data(), static_cast<long>(message.size()), &content, &content_length, 1),
        row.code);
    ASSERT_NE(content, nullptr);
    EXPECT_EQ(Bytes(content, content + content_length), doc);
    QL_free(content);
    ASSERT_EQ(QL_SIGN_SET_signer_count(set), 1);
    EXPECT_EQ(QL_SIGN_SET_signer_status(set, 0), row.status);
    QL_SIGN_SET_free(set);
  }
}

// Certificates the engine loads as trusted from a local directory: a forged
// intermediate that names a trusted root as its issuer (with the root's key
// identifier) but is signed by a stranger's key, with and without a
// notBefore that decodes but is no time, and a root whose notBefore is no
// time. Their signers are refused for both key types, also when any one
// allocation of the chain check (or it and all after it) fails.
TEST_F(DataVerifyTest, ForgedIntermediateAndUnreadableRootRefusedForBothKeyTypes) {
  static constexpr char kNoTime[] = "ZZ0101000000Z";
  auto resign = [](X509* x, EVP_PKEY* key, bool unreadable) {
    return !unreadable || (ASN1_STRING_set(X509_getm_notBefore(x), kNoTime, -1) == 1 && X509_sign(x, key, nullptr) > 0);
  };
  auto message_of = [](EVP_PKEY* key, X509* cert, const Bytes& content) {
    const qcrypto::SignedSigner signer{key, cert};
    UniquePtr<BIO> in(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
    UniquePtr<BIO> out(BIO_new(BIO_s_mem()));
    Bytes message;
    if (!in || !out || qcrypto::signed_data_sign_bio({&signer, 1}, in.get(), content.size(), out.get()) != 1)
      return message;
    const unsigned char* data = nullptr;
    const long n = BIO_get_mem_data(out.get(), &data);
    message.assign(data, data + n);
    return message;
  };
  auto verify = [](const Bytes& message, int* status) {
    QL_SIGN_SET* set = QL_SIGN_SET_new();
    if (set == nullptr) return -1;
    unsigned char* content = nullptr;
    long content_length = 0;
    const int code =
        QL_verify_data_short(set, message.data(), static_cast<long>(message.size()), &content, &content_length, 1);
    QL_free(content);
    *status = QL_SIGN_SET_signer_count(set) == 1 ? QL_SIGN_SET_signer_status(set, 0) : -1;
    QL_SIGN_SET_free(set);
    return code;
  };
  auto trust = [](X509* x) {
    const Bytes der = test_support::to_der(x);
    return QL_add_trusted_certificate(der.data(), static_cast<long>(der.size()));
  };
  const Bytes doc = document();
  for (const PkiKeyType type : {PkiKeyType::kEcr3410, PkiKeyType::kR3410}) {
    SCOPED_TRACE(type == PkiKeyType::kEcr3410 ? "GOST R 34.10-2001" : "GOST R 34.10-94");
    const std::string tag = type == PkiKeyType::kEcr3410 ? " 2001" : " 94";
    std::vector<UniquePtr<EVP_PKEY>> keys;
    std::vector<UniquePtr<X509>> certs;
    auto key = [&] { return keys.emplace_back(test_support::pki_new_key(type)).get(); };
    auto ca = [&](const std::string& name, long serial) {
      test_support::PkiCertSpec spec;
      spec.common_name = name + tag;
      spec.serial = serial;
      spec.basic_constraints = test_support::PkiBasicConstraints::kCa;
      spec.key_usage = test_support::PkiKeyUsage::kCa;
      return spec;
    };
    auto leaf_under = [&](X509* issuer, EVP_PKEY* issuer_key, EVP_PKEY* leaf_key, long serial) {
      test_support::PkiCertSpec spec;
      spec.common_name = "Signer " + std::to_string(serial) + tag;
      spec.serial = serial;
      return certs.emplace_back(test_support::pki_make_cert(leaf_key, spec, issuer, issuer_key)).get();
    };
    EVP_PKEY* root_key = key();
    EVP_PKEY* stranger = key();
    X509* root =
        certs.emplace_back(test_support::pki_make_cert(root_key, ca("Chain Root", 1), nullptr, root_key)).get();
    ASSERT_NE(root, nullptr);
    ASSERT_EQ(trust(root), QL_OK);

    const struct {
      const char* what;
      bool forged_intermediate;  // else a root of its own
      bool unreadable;
      int code;
      int status;
    } rows[] = {
        {"forged intermediate", true, false, QL_ERR_BAD_SIGNATURE, qcrypto::VERR_CERT_SIGNATURE_FAILURE},
        {"forged intermediate, notBefore no time", true, true, QL_ERR_BAD_SIGNATURE,
         qcrypto::VERR_CERT_SIGNATURE_FAILURE},
        {"root of its own", false, false, QL_OK, QL_OK},
        {"root of its own, notBefore no time", false, true, QL_ERR_BAD_SIGNATURE,
         qcrypto::VERR_ERROR_IN_CERT_NOT_BEFORE_FIELD},
    };
    long serial = 10;
    for (const auto& row : rows) {
      SCOPED_TRACE(row.what);
      ++serial;
      EVP_PKEY* ca_key = key();
      EVP_PKEY* leaf_key = key();
      X509* issuer = nullptr;
      if (row.forged_intermediate) {
        issuer = certs
                     .emplace_back(test_support::pki_make_cert(
                         ca_key, ca("Forged CA " + std::to_string(serial), serial), root, stranger))
                     .get();
        ASSERT_NE(issuer, nullptr);
        ASSERT_TRUE(resign(issuer, stranger, row.unreadable));
      } else {
        issuer = certs
                     .emplace_back(test_support::pki_make_cert(
                         ca_key, ca("Stray Root " + std::to_string(serial), serial), nullptr, ca_key))
                     .get();
        ASSERT_NE(issuer, nullptr);
        ASSERT_TRUE(resign(issuer, ca_key, row.unreadable));
      }
      ASSERT_EQ(trust(issuer), QL_OK);
      X509* signer = leaf_under(issuer, ca_key, leaf_key, 100 + serial);
      ASSERT_NE(signer, nullptr);
      const Bytes message = message_of(leaf_key, signer, doc);
      ASSERT_FALSE(message.empty());

      qcrypto::CERT_verify_test_fail_allocation(0, false);
      int status = -1;
      EXPECT_EQ(verify(message, &status), row.code);
      EXPECT_EQ(status, row.status);
      const int allocations = qcrypto::CERT_verify_test_allocation_count();
      EXPECT_GT(allocations, 3);
      if (row.code == QL_OK) continue;
      for (const bool and_after : {false, true}) {
        for (int nth = 1; nth <= allocations; ++nth) {
          SCOPED_TRACE(::testing::Message() << "allocation " << nth << (and_after ? " and after" : " alone"));
          qcrypto::CERT_verify_test_fail_allocation(nth, and_after);
          status = -1;
          const int code = verify(message, &status);
          qcrypto::CERT_verify_test_fail_allocation(0, false);
          EXPECT_NE(code, QL_OK);
          EXPECT_NE(status, QL_OK);
        }
      }
    }
  }
}

// The look-up as signers and recipients are added: the same modes and the
// same codes for what went wrong; only a certificate that is not found has
// a code of each operation's own.
TEST_F(DataVerifyTest, LookupCodesOfSignersAndRecipients) {
  const Bytes root_der = test_support::to_der(root_);
  ASSERT_EQ(QL_add_trusted_certificate(root_der.data(), static_cast<long>(root_der.size())), QL_OK);
  const Bytes good = test_support::to_der(leaves_[kGood]->cert.get());
  const Bytes expired = test_support::to_der(leaves_[kExpired]->cert.get());
  ASSERT_EQ(QL_add_certificate(good.data(), static_cast<long>(good.size())), QL_OK);
  char subject[512];
  char issuer[512];
  ASSERT_NE(qcrypto::X509_NAME_oneline(X509_get_subject_name(leaves_[kGood]->cert.get()), subject, sizeof subject),
            nullptr);
  ASSERT_NE(qcrypto::X509_NAME_oneline(X509_get_issuer_name(leaves_[kGood]->cert.get()), issuer, sizeof issuer),
            nullptr);
  const std::string serial = mputil_serial_text(X509_get0_serialNumber(leaves_[kGood]->cert.get()));

  std::string folder = (std::filesystem::temp_directory_path() / "ql-lookup-XXXXXX").string();
  ASSERT_NE(::mkdtemp(folder.data()), nullptr);
  const std::string good_file = folder + "/good.cer";
  const std::string junk_file = folder + "/junk.cer";
  // Above the 1 MiB a signer's certificate file may have, below the
  // recipient's bound.
  const std::string big_file = folder + "/big.cer";
  const std::string missing_file = folder + "/missing.cer";
  const Bytes junk = {'n', 'o', 't', ' ', 'a', ' ', 'c', 'e', 'r', 't'};
  const Bytes big((std::size_t{1} << 20) + 1, 'x');
  for (const auto& [path, bytes] : {std::pair{good_file, good}, std::pair{junk_file, junk}, std::pair{big_file, big}}) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    std::fclose(f);
  }

  const long good_len = static_cast<long>(good.size());
  const long expired_len = static_cast<long>(expired.size());
  const long junk_len = static_cast<long>(junk.size());
  const long zero = 0;
  const struct {
    const char* what;
    int mode;
    const void* key;
    const void* second;
    int signer_code;
    int recipient_code;
  } rows[] = {
      {"bytes", QL_LOOKUP_BYTES, good.data(), &good_len, QL_OK, QL_OK},
      {"bytes of an expired certificate", QL_LOOKUP_BYTES, expired.data(), &expired_len, qcrypto::VERR_CERT_HAS_EXPIRED,
       qcrypto::VERR_CERT_HAS_EXPIRED},
      {"bytes without a length", QL_LOOKUP_BYTES, good.data(), nullptr, QL_ERR_ARGUMENT, QL_ERR_ARGUMENT},
      {"no bytes", QL_LOOKUP_BYTES, nullptr, &good_len, QL_ERR_ARGUMENT, QL_ERR_ARGUMENT},
      {"bytes of length 0", QL_LOOKUP_BYTES, good.data(), &zero, QL_ERR_ARGUMENT, QL_ERR_ARGUMENT},
      {"bytes that are no certificate", QL_LOOKUP_BYTES, junk.data(), &junk_len, QL_ERR_CERT_DECODE,
       QL_ERR_CERT_DECODE},
      {"file", QL_LOOKUP_FILE, good_file.c_str(), nullptr, QL_OK, QL_OK},
      {"no file name", QL_LOOKUP_FILE, nullptr, nullptr, QL_ERR_ARGUMENT, QL_ERR_ARGUMENT},
      {"missing file", QL_LOOKUP_FILE, missing_file.c_str(), nullptr, QL_ERR_CERT_FILE, QL_ERR_CERT_FILE},
      {"file that is no certificate", QL_LOOKUP_FILE, junk_file.c_str(), nullptr, QL_ERR_CERT_DECODE,
       QL_ERR_CERT_DECODE},
      {"file too large to be read as a signer's", QL_LOOKUP_FILE, big_file.c_str(), nullptr, QL_ERR_CERT_FILE,
       QL_ERR_CERT_DECODE},
      {"subject and issuer of the session's list", QL_LOOKUP_SUBJECT, subject, issuer, QL_OK, QL_OK},
      {"subject alone", QL_LOOKUP_SUBJECT, subject, nullptr, QL_OK, QL_OK},
      {"serial and issuer", QL_LOOKUP_SERIAL, serial.c_str(), issuer, QL_OK, QL_OK},
      {"subject nobody has", QL_LOOKUP_SUBJECT, "/CN=Nobody", nullptr, QL_ERR_SIGNER_CERT, QL_ERR_RECIPIENT_CERT},
      {"serial of another issuer", QL_LOOKUP_SERIAL, serial.c_str(), subject, QL_ERR_SIGNER_CERT,
       QL_ERR_RECIPIENT_CERT},
      {"no criterion", QL_LOOKUP_SUBJECT, nullptr, nullptr, QL_ERR_SIGNER_CERT, QL_ERR_RECIPIENT_CERT},
      {"name record, which the settings never set", QL_LOOKUP_NAME, nullptr, nullptr, QL_ERR_SIGNER_CERT,
       QL_ERR_RECIPIENT_CERT},
      {"unknown mode", 9, good.data(), &good_len, QL_ERR_SIGNER_CERT, QL_ERR_RECIPIENT_CERT},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    QL_SIGN_SET* set = QL_SIGN_SET_new();
    QL_CERT_LIST* list = QL_CERT_LIST_new();
    ASSERT_NE(set, nullptr);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(QL_add_signer_certificate(set, row.mode, row.key, row.second), row.signer_code);
    EXPECT_EQ(QL_add_recipient_certificate(list, row.mode, row.key, row.second), row.recipient_code);
    // What is found and verifies is the leaf, and only then is it kept.
    ASSERT_EQ(set->certificates.size(), row.signer_code == QL_OK ? 1U : 0U);
    ASSERT_EQ(list->certs != nullptr ? sk_X509_num(list->certs) : 0, row.recipient_code == QL_OK ? 1 : 0);
    if (row.signer_code == QL_OK) {
      EXPECT_EQ(X509_cmp(set->certificates[0].get(), leaves_[kGood]->cert.get()), 0);
    }
    if (row.recipient_code == QL_OK) {
      EXPECT_EQ(X509_cmp(sk_X509_value(list->certs, 0), leaves_[kGood]->cert.get()), 0);
    }
    QL_SIGN_SET_free(set);
    QL_CERT_LIST_free(list);
  }
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
}

// The signing time reads the same from a message's details and from its
// verification: the dependency's UTCTime print, whichever way it is asked.
TEST_F(DataVerifyTest, SigningTimeTextIsOneFormEverywhere) {
  trust_root();
  const Bytes doc = document();
  const struct {
    std::time_t when;  // null: no signing time
    const char* text;
  } rows[] = {
      {1796975275, "Dec 11 07:47:55 2026 GMT"},
      {1799118245, "Jan  5 03:04:05 2027 GMT"},
      {0, nullptr},
  };
  using MessagePtr = std::unique_ptr<QL_MESSAGE, void (*)(QL_MESSAGE*)>;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text != nullptr ? row.text : "no signing time");
    qcrypto::SignedOptions options;
    if (row.text != nullptr) options.signing_time = row.when;
    const Bytes message = sign_der(kGood, doc, options);
    ASSERT_FALSE(message.empty());

    int kind = -1;
    QL_MESSAGE* raw = nullptr;
    ASSERT_EQ(QL_read_message_buffer(message.data(), static_cast<long>(message.size()), &kind, &raw), QL_OK);
    const MessagePtr details(raw, QL_free_message);
    ASSERT_NE(details, nullptr);
    char* from_details = QL_signer_signing_time(details.get(), 0);
    const int details_code = QL_get_last_error();

    const UniquePtr<QL_SIGN_SET> set(QL_SIGN_SET_new());
    ASSERT_NE(set, nullptr);
    ASSERT_EQ(
        QL_verify_data(set.get(), message.data(), static_cast<long>(message.size()), nullptr, nullptr, 0, nullptr, 0),
        QL_OK);
    ASSERT_EQ(set->signing_times.size(), 1U);
    const char* from_verification = set->signing_times[0];
    if (row.text == nullptr) {
      EXPECT_EQ(from_details, nullptr);
      EXPECT_EQ(details_code, QL_ERR_ARGUMENT);
      EXPECT_EQ(from_verification, nullptr);
    } else {
      ASSERT_NE(from_details, nullptr);
      ASSERT_NE(from_verification, nullptr);
      EXPECT_STREQ(from_details, row.text);
      EXPECT_STREQ(from_verification, row.text);
      EXPECT_EQ(details_code, QL_OK);
    }
    QL_free(from_details);
  }
}

// What verification and content extraction refuse before any signer is
// judged: a message of another kind, a detached signature given no
// content, a signed message without signers (whose content can still be
// taken out).
TEST_F(DataVerifyTest, RefusalsBeforeAnySignerIsJudged) {
  trust_root();
  const Bytes doc = document();
  const Bytes enveloped = envelope_der(kGood, doc);
  ASSERT_FALSE(enveloped.empty());
  qcrypto::SignedOptions detached_options;
  detached_options.detached = true;
  const Bytes detached = sign_der(kGood, doc, detached_options);
  ASSERT_FALSE(detached.empty());
  // Signed data with its digest list, content and certificate, but an
  // empty signer set.
  const UniquePtr<PKCS7> source = sign(kGood, doc, false, true);
  ASSERT_TRUE(source);
  UniquePtr<PKCS7> unsigned_p7(PKCS7_new());
  ASSERT_TRUE(unsigned_p7);
  ASSERT_EQ(PKCS7_set_type(unsigned_p7.get(), NID_pkcs7_signed), 1);
  for (int i = 0; i < sk_X509_ALGOR_num(source->d.sign->md_algs); ++i)
    ASSERT_GT(sk_X509_ALGOR_push(unsigned_p7->d.sign->md_algs,
                                 X509_ALGOR_dup(sk_X509_ALGOR_value(source->d.sign->md_algs, i))),
              0);
  ASSERT_EQ(PKCS7_content_new(unsigned_p7.get(), NID_pkcs7_data), 1);
  ASSERT_EQ(ASN1_OCTET_STRING_set(unsigned_p7->d.sign->contents->d.data, doc.data(), static_cast<int>(doc.size())), 1);
  ASSERT_EQ(PKCS7_add_certificate(unsigned_p7.get(), leaves_[kGood]->cert.get()), 1);
  unsigned char* der = nullptr;
  const int der_len = i2d_PKCS7(unsigned_p7.get(), &der);
  ASSERT_GT(der_len, 0);
  const Bytes no_signers(der, der + der_len);
  OPENSSL_free(der);

  const struct {
    const char* what;
    const Bytes* message;
    int want_content;
    int verify_code;
    int content_code;  // of QL_get_signed_content
  } rows[] = {
      {"enveloped message", &enveloped, 0, QL_ERR_NOT_SIGNED, QL_ERR_NOT_SIGNED},
      {"enveloped message, content wanted", &enveloped, 1, QL_ERR_NOT_SIGNED, QL_ERR_NOT_SIGNED},
      {"detached signature without its content", &detached, 0, QL_ERR_CONTENT_READ, QL_ERR_CONTENT_READ},
      {"detached signature without its content, content wanted", &detached, 1, QL_ERR_CONTENT_READ,
       QL_ERR_CONTENT_READ},
      {"no signer list", &no_signers, 0, QL_ERR_NO_SIGNERS, QL_OK},
      // The content is handed over before the signers are looked at.
      {"no signer list, content wanted", &no_signers, 1, QL_ERR_NO_SIGNERS, QL_OK},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const UniquePtr<QL_SIGN_SET> set(QL_SIGN_SET_new());
    ASSERT_NE(set, nullptr);
    unsigned char* content = nullptr;
    long length = 0;
    EXPECT_EQ(QL_verify_data(set.get(), row.message->data(), static_cast<long>(row.message->size()),
                             row.want_content != 0 ? &content : nullptr, row.want_content != 0 ? &length : nullptr,
                             row.want_content, nullptr, 0),
              row.verify_code);
    EXPECT_EQ(QL_SIGN_SET_signer_count(set.get()), 0);
    if (row.want_content != 0 && row.verify_code == QL_ERR_NO_SIGNERS) {
      ASSERT_NE(content, nullptr);
      EXPECT_EQ(Bytes(content, content + length), doc);
    } else {
      EXPECT_EQ(content, nullptr);
    }
    QL_free(content);
    content = nullptr;
    length = 0;
    EXPECT_EQ(QL_get_signed_content(row.message->data(), static_cast<long>(row.message->size()), &content, &length),
              row.content_code);
    if (row.content_code == QL_OK) {
      ASSERT_NE(content, nullptr);
      EXPECT_EQ(Bytes(content, content + length), doc);
    } else {
      EXPECT_EQ(content, nullptr);
    }
    QL_free(content);
  }
}

// Every toolkit function that returns a value (a count, a pointer, a flag)
// starts by clearing the thread's last result: after a failed call, a call
// with good arguments leaves 0. Not in the table: QL_get_last_error, which
// reads the code, and the frame's own accessors that the operations use
// on their way (QL_settings_get, QL_session_get, QL_verify_flags,
// QL_DN_fields, the callback slot readers, QL_set_mem_functions).
TEST_F(DataVerifyTest, ValueReturningFunctionsClearTheLastResult) {
  trust_root();
  const Bytes doc = document();
  X509* cert = leaves_[kGood]->cert.get();
  const Bytes cert_der = test_support::to_der(cert);
  qcrypto::SignedOptions timed;
  timed.signing_time = 1796975275;
  const Bytes signed_der = sign_der(kGood, doc, timed);
  const Bytes enveloped_der = envelope_der(kGood, doc);
  ASSERT_FALSE(signed_der.empty());
  ASSERT_FALSE(enveloped_der.empty());

  using MessagePtr = std::unique_ptr<QL_MESSAGE, void (*)(QL_MESSAGE*)>;
  auto read_message = [](const Bytes& der) {
    int kind = 0;
    QL_MESSAGE* raw = nullptr;
    EXPECT_EQ(QL_read_message_buffer(der.data(), static_cast<long>(der.size()), &kind, &raw), QL_OK);
    return MessagePtr(raw, QL_free_message);
  };
  const MessagePtr signed_msg = read_message(signed_der);
  const MessagePtr enveloped_msg = read_message(enveloped_der);
  ASSERT_NE(signed_msg, nullptr);
  ASSERT_NE(enveloped_msg, nullptr);
  const UniquePtr<QL_SIGN_SET> verified(QL_SIGN_SET_new());
  ASSERT_EQ(QL_verify_data(verified.get(), signed_der.data(), static_cast<long>(signed_der.size()), nullptr, nullptr, 0,
                           nullptr, 0),
            QL_OK);
  const unsigned char* p = signed_der.data();
  const UniquePtr<PKCS7> p7(d2i_PKCS7(nullptr, &p, static_cast<long>(signed_der.size())));
  ASSERT_TRUE(p7);
  PKCS7_SIGNER_INFO* timed_signer = first_signer(p7.get());
  ASSERT_NE(timed_signer, nullptr);
  const UniquePtr<PKCS7> untimed = sign(kGood, doc, false, true);
  ASSERT_TRUE(untimed);

  char subject[512];
  ASSERT_NE(qcrypto::X509_NAME_oneline(X509_get_subject_name(cert), subject, sizeof subject), nullptr);
  const UniquePtr<QL_DN> dn(QL_DN_from_text(subject));
  ASSERT_NE(dn, nullptr);
  UniquePtr<BIO> out(BIO_new(BIO_s_mem()));
  ASSERT_TRUE(out);
  const UniquePtr<ASN1_UTCTIME> utc(ASN1_UTCTIME_set(nullptr, 1796975275));
  const UniquePtr<ASN1_GENERALIZEDTIME> gen(ASN1_GENERALIZEDTIME_set(nullptr, 1796975275));
  ASSERT_TRUE(utc && gen);
  const std::string folder = std::filesystem::temp_directory_path().string();

  // Each call with good arguments; true when it gave its value.
  auto text = [](char* t) {
    QL_free(t);
    return t != nullptr;
  };
  const struct {
    const char* name;
    std::function<bool()> call;
  } rows[] = {
      {"QL_is_initialized", [] { return QL_is_initialized() == 1; }},
      {"QL_get_key_file_name", [] { return QL_get_key_file_name() != nullptr; }},
      {"QL_malloc",
       [] {
         void* m = QL_malloc(16);
         QL_free(m);
         return m != nullptr;
       }},
      {"QL_strdup", [&] { return text(QL_strdup("x")); }},
      {"QL_CERT_LIST_new",
       [] {
         QL_CERT_LIST* l = QL_CERT_LIST_new();
         QL_CERT_LIST_free(l);
         return l != nullptr;
       }},
      {"QL_SIGN_SET_new",
       [] {
         QL_SIGN_SET* s = QL_SIGN_SET_new();
         QL_SIGN_SET_free(s);
         return s != nullptr;
       }},
      {"QL_DN_new",
       [] {
         QL_DN* d = QL_DN_new();
         QL_DN_free(d);
         return d != nullptr;
       }},
      {"QL_DN_from_text",
       [] {
         QL_DN* d = QL_DN_from_text("/CN=A");
         QL_DN_free(d);
         return d != nullptr;
       }},
      {"QL_DN_match", [&] { return QL_DN_match(dn.get(), dn.get()) == 1; }},
      {"QL_read_certificate",
       [&] {
         X509* c = QL_read_certificate(cert_der.data(), static_cast<long>(cert_der.size()));
         X509_free(c);
         return c != nullptr;
       }},
      {"QL_cert_version_text", [&] { return text(QL_cert_version_text(cert)); }},
      {"QL_cert_serial_text", [&] { return text(QL_cert_serial_text(cert)); }},
      {"QL_cert_not_before_text", [&] { return text(QL_cert_not_before_text(cert, QL_TIME_FORM_TOOLKIT)); }},
      {"QL_cert_not_after_text", [&] { return text(QL_cert_not_after_text(cert, 0)); }},
      {"QL_cert_subject_text", [&] { return text(QL_cert_subject_text(cert)); }},
      {"QL_cert_issuer_text", [&] { return text(QL_cert_issuer_text(cert)); }},
      {"QL_cert_pubkey_text", [&] { return text(QL_cert_pubkey_text(cert)); }},
      {"QL_cert_extensions_text", [&] { return text(QL_cert_extensions_text(root_)); }},
      {"QL_cert_signature_text", [&] { return text(QL_cert_signature_text(cert)); }},
      {"QL_cert_print_text", [&] { return text(QL_cert_print_text(cert)); }},
      {"QL_format_time", [&] { return QL_format_time(out.get(), 2026, 12, 11, 7, 47, 55) == 1; }},
      {"QL_print_utctime", [&] { return QL_print_utctime(out.get(), utc.get()) == 1; }},
      {"QL_print_gentime", [&] { return QL_print_gentime(out.get(), gen.get()) == 1; }},
      {"QL_print_time", [&] { return QL_print_time(out.get(), utc.get()) == 1; }},
      {"QL_cert_matches_texts", [&] { return QL_cert_matches_texts(cert, subject, nullptr, nullptr) == 1; }},
      {"QL_cert_matches_name", [&] { return QL_cert_matches_name(cert, dn.get()) == 1; }},
      {"QL_cert_matches_lookup",
       [&] { return QL_cert_matches_lookup(cert, QL_LOOKUP_SUBJECT, subject, nullptr, nullptr) == 1; }},
      {"QL_recipient_count", [&] { return QL_recipient_count(enveloped_msg.get()) == 1; }},
      {"QL_signer_count", [&] { return QL_signer_count(signed_msg.get()) == 1; }},
      {"QL_recipient_serial", [&] { return text(QL_recipient_serial(enveloped_msg.get(), 0)); }},
      {"QL_recipient_issuer", [&] { return text(QL_recipient_issuer(enveloped_msg.get(), 0, nullptr)); }},
      {"QL_signer_serial", [&] { return text(QL_signer_serial(signed_msg.get(), 0)); }},
      {"QL_signer_issuer", [&] { return text(QL_signer_issuer(signed_msg.get(), 0, nullptr)); }},
      {"QL_signer_signing_time", [&] { return text(QL_signer_signing_time(signed_msg.get(), 0)); }},
      {"QL_SIGN_SET_signer_count", [&] { return QL_SIGN_SET_signer_count(verified.get()) == 1; }},
      {"QL_SIGN_SET_signer_status", [&] { return QL_SIGN_SET_signer_status(verified.get(), 0) == QL_OK; }},
      {"QL_SIGN_SET_signer_name", [&] { return text(QL_SIGN_SET_signer_name(verified.get(), 0)); }},
      {"QL_SIGN_SET_cert_is_embedded", [&] { return QL_SIGN_SET_cert_is_embedded(verified.get(), 0) == 1; }},
      {"QL_add_signing_time", [&] { return QL_add_signing_time(first_signer(untimed.get())) == 1; }},
      {"QL_get_signing_time", [&] { return QL_get_signing_time(timed_signer) != nullptr; }},
      {"QL_signing_time_text", [&] { return text(QL_signing_time_text(timed_signer)); }},
      {"QL_signing_time_text_of", [&] { return text(QL_signing_time_text_of(utc.get())); }},
      {"QL_medium_present", [&] { return QL_medium_present(folder.c_str()) == 1; }},
      {"QL_token_present", [] { return QL_token_present("C:\\keys") == 0; }},
  };
  const unsigned char junk[] = {'j', 'u', 'n', 'k'};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(QL_read_certificate(junk, sizeof junk), nullptr);
    ASSERT_EQ(QL_get_last_error(), QL_ERR_CERT_DECODE);
    EXPECT_TRUE(row.call());
    EXPECT_EQ(QL_get_last_error(), QL_OK);
  }
}

}  // namespace
}  // namespace quillon2
