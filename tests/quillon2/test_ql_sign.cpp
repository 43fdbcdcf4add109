// Signing files and verifying messages through the toolkit, end to end with
// the test PKI: attached and detached, several signers, signing time,
// required signers, signers found outside the message, damaged content,
// unknown signers, signed attributes replayed as content, the caller-buffer
// rules and cancels from the progress callback that must leave nothing
// behind; inputs that are not regular files.
#include <gtest/gtest.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "crypto/pkcs7/signed_data.h"
#include "crypto/rand/rand.h"
#include "quillon2/ql_certinfo.h"
#include "quillon2/ql_keys.h"
#include "quillon2/ql_sign.h"
#include "tests/support/gost_pki.h"
#include "tests/support/nonregular_input.h"
#include "tests/support/provider_fixture.h"
#include "tests/support/pse_fixture.h"
#include "tests/support/ql_fixture.h"
#include "tests/support/signed_forge.h"

namespace quillon2 {
namespace {

using Bytes = std::vector<unsigned char>;
using qcrypto::UniquePtr;
using qcrypto::testing_support::read_whole;
using qcrypto::testing_support::write_whole;
using test_support::log_progress;
using test_support::PkiKeyType;
using test_support::ProgressLog;

using test_support::kSystemRand;

using SetPtr = UniquePtr<QL_SIGN_SET>;

// A signer of the test PKI: key, certificate under the trusted root.
using Signer = test_support::Party;

class SignTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    qcrypto::RAND_set_rand_method(&kSystemRand);
    root_key_ = test_support::pki_new_key(PkiKeyType::kEcr3410);
    other_root_key_ = test_support::pki_new_key(PkiKeyType::kEcr3410);
    test_support::PkiCertSpec spec;
    spec.common_name = "Test Root";
    spec.basic_constraints = test_support::PkiBasicConstraints::kCa;
    spec.key_usage = test_support::PkiKeyUsage::kCa;
    root_ = test_support::pki_make_cert(root_key_, spec, nullptr, root_key_);
    spec.common_name = "Untrusted Root";
    other_root_ = test_support::pki_make_cert(other_root_key_, spec, nullptr, other_root_key_);
    const PkiKeyType types[] = {PkiKeyType::kEcr3410, PkiKeyType::kR3410, PkiKeyType::kEcr3410};
    for (int i = 0; i < 3; ++i) {
      auto* s = new Signer;
      s->key.reset(test_support::pki_new_key(types[i]));
      test_support::PkiCertSpec leaf;
      leaf.common_name = "Signer " + std::to_string(i);
      leaf.serial = 100 + i;
      // The third signer's certificate comes from a root nobody trusts.
      const bool trusted = i < 2;
      s->cert.reset(test_support::pki_make_cert(s->key.get(), leaf, trusted ? root_ : other_root_,
                                                trusted ? root_key_ : other_root_key_));
      if (s->cert) s->der = test_support::to_der(s->cert.get());
      signers_.push_back(s);
    }
  }
  static void TearDownTestSuite() {
    for (Signer* s : signers_) delete s;
    signers_.clear();
    X509_free(root_);
    X509_free(other_root_);
    EVP_PKEY_free(root_key_);
    EVP_PKEY_free(other_root_key_);
  }

  void SetUp() override {
    ASSERT_FALSE(scratch_.path.empty());
    ASSERT_NE(root_, nullptr);
    for (const Signer* s : signers_) ASSERT_TRUE(s->cert && s->key);
    ASSERT_EQ(QL_init(nullptr, 0), QL_OK);
    qcrypto::RAND_set_rand_method(&kSystemRand);
    const Bytes root_der = test_support::to_der(root_);
    ASSERT_EQ(QL_add_trusted_certificate(root_der.data(), static_cast<long>(root_der.size())), QL_OK);
    // The untrusted root is not in the store: only its leaf's key is loaded.
    for (const Signer* s : signers_) ASSERT_TRUE(test_support::add_session_key(s->key.get()));
  }
  void TearDown() override {
    QL_set_progress_callback(nullptr, nullptr);
    while (QL_is_initialized() != 0) QL_cleanup();
  }

  static SetPtr set_of(std::initializer_list<int> which) {
    SetPtr set(QL_SIGN_SET_new());
    for (int i : which) {
      const long n = static_cast<long>(signers_[static_cast<size_t>(i)]->der.size());
      if (QL_add_signer_certificate(set.get(), QL_LOOKUP_BYTES, signers_[static_cast<size_t>(i)]->der.data(), &n) !=
          QL_OK)
        ADD_FAILURE() << "signer " << i;
    }
    return set;
  }
  // A trusted signer's certificate added to the set without the chain check,
  // as required signer or as source of a signer certificate.
  static void add_unchecked(QL_SIGN_SET* set, int i) {
    ASSERT_EQ(X509_up_ref(signers_[static_cast<size_t>(i)]->cert.get()), 1);
    set->certificates.emplace_back(signers_[static_cast<size_t>(i)]->cert.get());
  }
  std::string file(const std::string& name, const Bytes& bytes) const {
    const std::string path = scratch_.path + "/" + name;
    EXPECT_TRUE(write_whole(path, bytes));
    return path;
  }
  static Bytes document(std::size_t size) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<unsigned char>(i * 31 + 7);
    return b;
  }
  // Verifies with the content handed back (attached) or given (detached).
  static int verify(QL_SIGN_SET* set, const Bytes& message, const Bytes* detached, Bytes* content) {
    unsigned char* buffer = nullptr;
    long length = 0;
    const int rc = detached != nullptr
                       ? QL_verify_data(set, message.data(), static_cast<long>(message.size()), &buffer, &length, 0,
                                        detached->data(), static_cast<long>(detached->size()))
                       : QL_verify_data_short(set, message.data(), static_cast<long>(message.size()), &buffer, &length,
                                              content != nullptr ? 1 : 0);
    if (content != nullptr && buffer != nullptr) content->assign(buffer, buffer + length);
    QL_free(buffer);
    return rc;
  }

  static inline EVP_PKEY* root_key_ = nullptr;
  static inline EVP_PKEY* other_root_key_ = nullptr;
  static inline X509* root_ = nullptr;
  static inline X509* other_root_ = nullptr;
  static inline std::vector<Signer*> signers_;
  test_support::Scratch scratch_{"ql-sign-"};
};

TEST_F(SignTest, SignAndVerifyRoundTrips) {
  const struct {
    const char* what;
    std::vector<int> signers;
    bool detached;
    int include_certs;
    int signing_time;
    bool signers_in_session;  // the signer certificates are in the session's list
    bool pem;
  } rows[] = {
      {"attached, one signer", {0}, false, 1, 0, false, false},
      {"detached, one signer", {0}, true, 1, 0, false, false},
      {"attached, two signers of both GOST types", {0, 1}, false, 1, 1, false, false},
      {"detached, two signers, signing time", {1, 0}, true, 1, 1, false, false},
      {"no certificates, signers from the session list", {0, 1}, false, 0, 0, true, false},
      {"PEM output read with DER first", {1}, false, 1, 1, false, true},
  };
  const Bytes doc = document(3 * QL_BLOCK_BYTES + 123);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_EQ(QL_set_include_certs(row.include_certs), QL_OK);
    ASSERT_EQ(QL_set_signing_time(row.signing_time), QL_OK);
    QL_settings_get()->output_format = row.pem ? QL_FORMAT_PEM : 0;
    SetPtr signing(QL_SIGN_SET_new());
    for (int i : row.signers) add_unchecked(signing.get(), i);
    const std::string in = file("doc.bin", doc);
    const std::string out = scratch_.path + "/doc.sgn";
    const std::time_t before = std::time(nullptr);
    ASSERT_EQ(QL_sign_file(signing.get(), in.c_str(), out.c_str(), row.detached ? 1 : 0), QL_OK);
    const Bytes message = read_whole(out);
    ASSERT_FALSE(message.empty());
    EXPECT_EQ(message[0] == '-', row.pem);
    // A detached message does not carry the document.
    EXPECT_EQ(std::search(message.begin(), message.end(), doc.begin(), doc.begin() + 64) != message.end(),
              !row.detached && !row.pem);

    if (row.signers_in_session)
      for (int i : row.signers) {
        const Bytes& der = signers_[static_cast<size_t>(i)]->der;
        ASSERT_EQ(QL_add_certificate(der.data(), static_cast<long>(der.size())), QL_OK);
      }
    SetPtr checking(QL_SIGN_SET_new());
    Bytes content;
    ASSERT_EQ(verify(checking.get(), message, row.detached ? &doc : nullptr, row.detached ? nullptr : &content), QL_OK);
    if (!row.detached) {
      EXPECT_EQ(content, doc);
      // The in-place calls: DER content is the message's own bytes, nothing
      // allocated; PEM content is decoded into a buffer of its own.
      const auto in_message = [&message](const unsigned char* p) {
        return p >= message.data() && p < message.data() + message.size();
      };
      SetPtr in_place(QL_SIGN_SET_new());
      const unsigned char* view = nullptr;
      unsigned char* joined = nullptr;
      long length = 0;
      ASSERT_EQ(QL_verify_data_in_place(in_place.get(), message.data(), static_cast<long>(message.size()), &view,
                                        &length, &joined),
                QL_OK);
      EXPECT_EQ(Bytes(view, view + length), doc);
      EXPECT_EQ(in_message(view), !row.pem);
      EXPECT_EQ(joined != nullptr, row.pem);
      EXPECT_EQ(QL_SIGN_SET_signer_count(in_place.get()), static_cast<int>(row.signers.size()));
      QL_free(joined);
      ASSERT_EQ(
          QL_get_signed_content_in_place(message.data(), static_cast<long>(message.size()), &view, &length, &joined),
          QL_OK);
      EXPECT_EQ(Bytes(view, view + length), doc);
      EXPECT_EQ(in_message(view), !row.pem);
      EXPECT_EQ(joined != nullptr, row.pem);
      QL_free(joined);
      if (!row.pem) {
        // A changed content byte fails the signers and still shows where the
        // content lies; the extraction does not judge signatures.
        Bytes changed = message;
        const auto at = std::search(changed.begin(), changed.end(), doc.begin(), doc.begin() + 64);
        ASSERT_NE(at, changed.end());
        *(at + 100) ^= 0x01;
        SetPtr bad(QL_SIGN_SET_new());
        EXPECT_EQ(QL_verify_data_in_place(bad.get(), changed.data(), static_cast<long>(changed.size()), &view, &length,
                                          &joined),
                  QL_ERR_BAD_SIGNATURE);
        EXPECT_EQ(length, static_cast<long>(doc.size()));
        EXPECT_EQ(
            QL_get_signed_content_in_place(changed.data(), static_cast<long>(changed.size()), &view, &length, &joined),
            QL_OK);
        EXPECT_EQ(joined, nullptr);
        EXPECT_EQ(QL_get_signed_content_in_place(doc.data(), static_cast<long>(doc.size()), &view, &length, &joined),
                  QL_ERR_NOT_MESSAGE);
        EXPECT_EQ(QL_verify_data_in_place(bad.get(), changed.data(), static_cast<long>(changed.size()), nullptr,
                                          &length, &joined),
                  QL_ERR_ARGUMENT);
      }
    }
    ASSERT_EQ(QL_SIGN_SET_signer_count(checking.get()), static_cast<int>(row.signers.size()));
    // Signers come back in the message's order (a DER SET OF), each one of
    // those that signed, none twice.
    std::vector<int> seen;
    for (size_t k = 0; k < row.signers.size(); ++k) {
      const int i = static_cast<int>(k);
      EXPECT_EQ(QL_SIGN_SET_signer_status(checking.get(), i), QL_OK);
      int who = -1;
      for (int s : row.signers)
        if (X509_cmp(checking->signer_certs[k].get(), signers_[static_cast<size_t>(s)]->cert.get()) == 0) who = s;
      ASSERT_NE(who, -1);
      EXPECT_EQ(std::count(seen.begin(), seen.end(), who), 0);
      seen.push_back(who);
      EXPECT_EQ(QL_SIGN_SET_cert_is_embedded(checking.get(), i), row.signers_in_session ? 0 : 1);
      char* name = QL_SIGN_SET_signer_name(checking.get(), i);
      ASSERT_NE(name, nullptr);
      EXPECT_NE(std::strstr(name, ("Signer " + std::to_string(who)).c_str()), nullptr) << name;
      QL_free(name);
      const char* time = checking->signing_times[k];
      EXPECT_EQ(time != nullptr, row.signing_time != 0);
      if (time != nullptr) {
        const std::string year = " " + std::to_string(1900 + std::gmtime(&before)->tm_year) + " GMT";
        EXPECT_NE(std::strstr(time, year.c_str()), nullptr) << time;
        EXPECT_NE(std::strstr(time, " GMT"), nullptr) << time;
      }
    }
    // The same message required to be signed by its signers, and by one
    // that did not sign.
    SetPtr required(QL_SIGN_SET_new());
    for (int i : row.signers) add_unchecked(required.get(), i);
    EXPECT_EQ(verify(required.get(), message, row.detached ? &doc : nullptr, nullptr), QL_OK);
    add_unchecked(required.get(), row.signers[0] == 0 ? 1 : 0);
    if (row.signers.size() == 1) {
      EXPECT_EQ(verify(required.get(), message, row.detached ? &doc : nullptr, nullptr), QL_ERR_REQUIRED_SIGNER);
    }
    QL_clear_keys();
    ASSERT_EQ(QL_cleanup(), QL_OK);
    SetUp();
  }
}

TEST_F(SignTest, FailedSignersAndTheirCodes) {
  ASSERT_EQ(QL_set_include_certs(1), QL_OK);
  const Bytes doc = document(2 * QL_BLOCK_BYTES + 5);
  const std::string in = file("doc.bin", doc);
  auto sign = [&](std::initializer_list<int> which, int include, bool detached) {
    EXPECT_EQ(QL_set_include_certs(include), QL_OK);
    SetPtr set(QL_SIGN_SET_new());
    for (int i : which) add_unchecked(set.get(), i);
    const std::string out = scratch_.path + "/out.sgn";
    EXPECT_EQ(QL_sign_file(set.get(), in.c_str(), out.c_str(), detached ? 1 : 0), QL_OK);
    return read_whole(out);
  };
  const Bytes attached = sign({0, 1}, 1, false);
  Bytes changed_attached = attached;
  const auto at = std::search(changed_attached.begin(), changed_attached.end(), doc.begin(), doc.begin() + 64);
  ASSERT_NE(at, changed_attached.end());
  at[100] ^= 0x01;
  const Bytes detached = sign({0}, 1, true);
  Bytes changed_doc = doc;
  changed_doc.back() ^= 0x80;
  const Bytes with_untrusted = sign({0, 2}, 1, false);
  const Bytes without_certs = sign({1}, 0, false);
  Bytes replayed_content;
  const Bytes replayed_attached = test_support::attributes_as_content(sign({0}, 1, false), &replayed_content);
  ASSERT_FALSE(replayed_attached.empty());
  Bytes replayed_detached_content;
  const Bytes replayed_detached = test_support::attributes_as_content(detached, &replayed_detached_content);
  ASSERT_FALSE(replayed_detached.empty());

  const struct {
    const char* what;
    const Bytes* message;
    const Bytes* detached;
    int code;
    std::vector<int> statuses;  // -1: a verification error number (1..99)
  } rows[] = {
      {"attached content changed",
       &changed_attached,
       nullptr,
       QL_ERR_BAD_SIGNATURE,
       {QL_ERR_SIGNATURE_FAILED, QL_ERR_SIGNATURE_FAILED}},
      {"detached content changed", &detached, &changed_doc, QL_ERR_BAD_SIGNATURE, {QL_ERR_SIGNATURE_FAILED}},
      {"second signer from an untrusted root", &with_untrusted, nullptr, QL_ERR_BAD_SIGNATURE, {0, -1}},
      {"signer certificate nowhere", &without_certs, nullptr, QL_ERR_SIGNER_CERT, {}},
      {"signed attributes as the content of a signer without them",
       &replayed_attached,
       nullptr,
       QL_ERR_BAD_SIGNATURE,
       {QL_ERR_SIGNATURE_FAILED}},
      {"signed attributes as the detached content of a signer without them",
       &replayed_detached,
       &replayed_detached_content,
       QL_ERR_BAD_SIGNATURE,
       {QL_ERR_SIGNATURE_FAILED}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    SetPtr set(QL_SIGN_SET_new());
    EXPECT_EQ(verify(set.get(), *row.message, row.detached, nullptr), row.code);
    ASSERT_EQ(QL_SIGN_SET_signer_count(set.get()), static_cast<int>(row.statuses.size()));
    ASSERT_EQ(set->signing_times.size(), row.statuses.size());
    for (size_t k = 0; k < row.statuses.size(); ++k) {
      const int status = QL_SIGN_SET_signer_status(set.get(), static_cast<int>(k));
      if (row.statuses[k] < 0) {
        EXPECT_GT(status, 0);
        EXPECT_LT(status, 100);
      } else {
        EXPECT_EQ(status, row.statuses[k]) << k;
      }
    }
  }
  // The signer the message does not carry, found among the set's certificates.
  SetPtr holding(QL_SIGN_SET_new());
  add_unchecked(holding.get(), 1);
  EXPECT_EQ(verify(holding.get(), without_certs, nullptr, nullptr), QL_OK);
  ASSERT_EQ(QL_SIGN_SET_signer_count(holding.get()), 1);
  EXPECT_EQ(QL_SIGN_SET_signer_status(holding.get(), 0), QL_OK);
  EXPECT_EQ(QL_SIGN_SET_cert_is_embedded(holding.get(), 0), 0);
  // Checked again, a set forgets the previous verification.
  SetPtr set(QL_SIGN_SET_new());
  EXPECT_EQ(verify(set.get(), with_untrusted, nullptr, nullptr), QL_ERR_BAD_SIGNATURE);
  EXPECT_EQ(verify(set.get(), detached, &doc, nullptr), QL_OK);
  EXPECT_EQ(QL_SIGN_SET_signer_count(set.get()), 1);
  EXPECT_EQ(QL_SIGN_SET_signer_status(set.get(), 1), QL_ERR_ARGUMENT);
  EXPECT_EQ(QL_SIGN_SET_signer_status(set.get(), -1), QL_ERR_ARGUMENT);
}

TEST_F(SignTest, ArgumentsKeysAndCallerBuffers) {
  ASSERT_EQ(QL_set_include_certs(1), QL_OK);
  const Bytes doc = document(100);
  const std::string in = file("doc.bin", doc);
  const std::string out = scratch_.path + "/doc.sgn";
  SetPtr empty(QL_SIGN_SET_new());
  // No signers: refused before the input is opened (it does not exist).
  EXPECT_EQ(QL_sign_file(empty.get(), "/nonexistent/in", out.c_str(), 0), QL_ERR_SIGNER);
  EXPECT_EQ(QL_sign_file(nullptr, in.c_str(), out.c_str(), 0), QL_ERR_ARGUMENT);
  EXPECT_EQ(QL_sign_file(empty.get(), in.c_str(), nullptr, 0), QL_ERR_ARGUMENT);
  SetPtr one(set_of({0}));
  EXPECT_EQ(QL_sign_file(one.get(), "", out.c_str(), 0), QL_ERR_INPUT);
  EXPECT_EQ(QL_sign_file(one.get(), (scratch_.path + "/missing").c_str(), out.c_str(), 0), QL_ERR_INPUT);
  // A signer certificate whose key the session does not hold.
  UniquePtr<EVP_PKEY> stranger(test_support::pki_new_key(PkiKeyType::kEcr3410));
  test_support::PkiCertSpec spec;
  spec.common_name = "Stranger";
  spec.serial = 900;
  X509* cert = test_support::pki_make_cert(stranger.get(), spec, root_, root_key_);
  ASSERT_NE(cert, nullptr);
  const Bytes stranger_der = test_support::to_der(cert);
  X509_free(cert);
  SetPtr with_stranger(set_of({0}));
  const long n = static_cast<long>(stranger_der.size());
  ASSERT_EQ(QL_add_signer_certificate(with_stranger.get(), QL_LOOKUP_BYTES, stranger_der.data(), &n), QL_OK);
  EXPECT_EQ(QL_sign_file(with_stranger.get(), in.c_str(), out.c_str(), 0), QL_ERR_NO_SIGNER_KEY);
  EXPECT_FALSE(std::filesystem::exists(out));
  // A certificate whose chain fails is never added; bytes that are none: 186.
  const long n2 = static_cast<long>(signers_[2]->der.size());
  const int chain = QL_add_signer_certificate(with_stranger.get(), QL_LOOKUP_BYTES, signers_[2]->der.data(), &n2);
  EXPECT_GT(chain, 0);
  EXPECT_LT(chain, 100);
  const long three = 3;
  EXPECT_EQ(QL_add_signer_certificate(with_stranger.get(), QL_LOOKUP_BYTES, "abc", &three), QL_ERR_CERT_DECODE);
  EXPECT_EQ(with_stranger->certificates.size(), 2U);

  ASSERT_EQ(QL_sign_file(one.get(), in.c_str(), out.c_str(), 0), QL_OK);
  const Bytes message = read_whole(out);
  // The caller-buffer rules: one byte short gives 160 and the exact length.
  SetPtr set(QL_SIGN_SET_new());
  Bytes buffer(doc.size() - 1);
  unsigned char* p = buffer.data();
  long length = static_cast<long>(buffer.size());
  EXPECT_EQ(QL_verify_data_short(set.get(), message.data(), static_cast<long>(message.size()), &p, &length, 1),
            QL_ERR_BUFFER_SMALL);
  EXPECT_EQ(length, static_cast<long>(doc.size()));
  buffer.resize(static_cast<size_t>(length));
  p = buffer.data();
  EXPECT_EQ(QL_verify_data_short(set.get(), message.data(), static_cast<long>(message.size()), &p, &length, 1), QL_OK);
  EXPECT_EQ(buffer, doc);
  EXPECT_EQ(QL_verify_data_short(set.get(), message.data(), static_cast<long>(message.size()), nullptr, &length, 1),
            QL_ERR_ARGUMENT);
  // The signer's certificate as PEM by the same rules.
  unsigned char* pem = nullptr;
  ASSERT_EQ(QL_SIGN_SET_signer_cert_data(set.get(), 0, &pem, &length), QL_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(pem), static_cast<size_t>(length)),
            test_support::to_pem(signers_[0]->cert.get()));
  QL_free(pem);
  // The content without checking; not a message; not a signed message.
  unsigned char* got = nullptr;
  length = 0;
  ASSERT_EQ(QL_get_signed_content(message.data(), static_cast<long>(message.size()), &got, &length), QL_OK);
  EXPECT_EQ(Bytes(got, got + length), doc);
  QL_free(got);
  got = nullptr;
  EXPECT_EQ(QL_get_signed_content(doc.data(), static_cast<long>(doc.size()), &got, &length), QL_ERR_NOT_MESSAGE);
  EXPECT_EQ(verify(set.get(), doc, nullptr, nullptr), QL_ERR_NOT_MESSAGE);
  EXPECT_EQ(QL_SIGN_SET_signer_count(set.get()), 0);
  // Not started.
  QL_cleanup();
  EXPECT_EQ(QL_sign_file(one.get(), in.c_str(), out.c_str(), 0), QL_ERR_NOT_INITIALISED);
  EXPECT_EQ(verify(set.get(), message, nullptr, nullptr), QL_ERR_NOT_INITIALISED);
}

// A FIFO or a folder as the file to sign is an input that cannot be read:
// refused at once, with no message written.
TEST_F(SignTest, InputsThatAreNotRegularFilesAreRefused) {
  const std::vector<test_support::NonRegularInput> inputs = test_support::make_nonregular_inputs(scratch_.path);
  ASSERT_EQ(inputs.size(), 2U);
  const std::string out = scratch_.path + "/doc.sgn";
  SetPtr one(set_of({0}));
  for (const auto& input : inputs) {
    for (const int detached : {0, 1}) {
      SCOPED_TRACE(std::string(input.what) + (detached != 0 ? " detached" : " attached"));
      const std::optional<int> rc = test_support::call_with_deadline(
          inputs[0].path, [&] { return QL_sign_file(one.get(), input.path.c_str(), out.c_str(), detached); });
      ASSERT_TRUE(rc.has_value()) << "the call waited on the input";
      EXPECT_EQ(*rc, QL_ERR_INPUT);
      EXPECT_FALSE(std::filesystem::exists(out));
    }
  }
}

// A cancel from the progress callback at the first call, a middle block and
// the last block: 184, no output and no temporary file left, and the input
// unchanged, also when the output would have replaced the input.
TEST_F(SignTest, CancelLeavesNothingBehind) {
  ASSERT_EQ(QL_set_include_certs(1), QL_OK);
  const Bytes doc = document(4 * QL_BLOCK_BYTES + 17);  // 5 blocks: 6 calls
  const int calls = 6;
  SetPtr set(set_of({0}));
  for (const bool over_input : {false, true}) {
    for (const bool detached : {false, true}) {
      for (const int cancel_at : {1, 3, calls}) {
        SCOPED_TRACE(std::string(over_input ? "over the input" : "new output") + (detached ? ", detached" : "") +
                     ", cancel at call " + std::to_string(cancel_at));
        const std::string in = file("doc.bin", doc);
        const std::string out = over_input ? in : scratch_.path + "/doc.sgn";
        ProgressLog log;
        log.cancel_at = cancel_at;
        ASSERT_EQ(QL_set_progress_callback(log_progress, &log), QL_OK);
        EXPECT_EQ(QL_sign_file(set.get(), in.c_str(), out.c_str(), detached ? 1 : 0), QL_ERR_CANCELLED);
        EXPECT_EQ(static_cast<int>(log.calls.size()), cancel_at);
        for (const auto& c : log.calls) {
          EXPECT_EQ(c[0], QL_STAGE_SIGN);
          EXPECT_EQ(c[2], static_cast<long>(doc.size()));
        }
        EXPECT_EQ(read_whole(in), doc);
        EXPECT_EQ(scratch_.names(), std::vector<std::string>{"doc.bin"});
      }
    }
  }
  // Uncancelled, the calls run from 0 to the total; signing over the input
  // replaces it with the message.
  const std::string in = file("doc.bin", doc);
  ProgressLog log;
  ASSERT_EQ(QL_set_progress_callback(log_progress, &log), QL_OK);
  ASSERT_EQ(QL_sign_file(set.get(), in.c_str(), in.c_str(), 0), QL_OK);
  ASSERT_EQ(static_cast<int>(log.calls.size()), calls);
  EXPECT_EQ(log.calls.front()[1], 0);
  EXPECT_EQ(log.calls.back()[1], static_cast<long>(doc.size()));
  const Bytes message = read_whole(in);
  EXPECT_EQ(scratch_.names(), std::vector<std::string>{"doc.bin"});
  // Verification: stage 6, cancel at the first call reads nothing.
  for (const int cancel_at : {1, 3}) {
    ProgressLog vlog;
    vlog.cancel_at = cancel_at;
    ASSERT_EQ(QL_set_progress_callback(log_progress, &vlog), QL_OK);
    SetPtr checking(QL_SIGN_SET_new());
    EXPECT_EQ(verify(checking.get(), message, nullptr, nullptr), QL_ERR_CANCELLED) << cancel_at;
    EXPECT_EQ(static_cast<int>(vlog.calls.size()), cancel_at);
    for (const auto& c : vlog.calls) EXPECT_EQ(c[0], QL_STAGE_VERIFY);
    EXPECT_EQ(QL_SIGN_SET_signer_count(checking.get()), 0);
  }
  ProgressLog vlog;
  ASSERT_EQ(QL_set_progress_callback(log_progress, &vlog), QL_OK);
  SetPtr checking(QL_SIGN_SET_new());
  EXPECT_EQ(verify(checking.get(), message, nullptr, nullptr), QL_OK);
  ASSERT_FALSE(vlog.calls.empty());
  EXPECT_EQ(vlog.calls.back()[1], vlog.calls.back()[2]);
}

// The signingTime attribute of one signer record: added as UTCTime of now,
// read back, printed; absent or of another type it is not there.
TEST(SigningTime, AttributeOfOneSigner) {
  UniquePtr<PKCS7_SIGNER_INFO> absent(PKCS7_SIGNER_INFO_new());
  UniquePtr<PKCS7_SIGNER_INFO> now(PKCS7_SIGNER_INFO_new());
  UniquePtr<PKCS7_SIGNER_INFO> generalized(PKCS7_SIGNER_INFO_new());
  ASSERT_TRUE(absent && now && generalized);
  const std::time_t before = std::time(nullptr);
  ASSERT_EQ(QL_add_signing_time(now.get()), 1);
  EXPECT_EQ(QL_add_signing_time(nullptr), 0);
  ASN1_GENERALIZEDTIME* g = ASN1_GENERALIZEDTIME_set(nullptr, before);
  ASSERT_NE(g, nullptr);
  ASSERT_EQ(PKCS7_add_signed_attribute(generalized.get(), NID_pkcs9_signingTime, V_ASN1_GENERALIZEDTIME, g), 1);

  const ASN1_UTCTIME* t = QL_get_signing_time(now.get());
  ASSERT_NE(t, nullptr);
  int days = 0;
  int seconds = 0;
  ASSERT_EQ(ASN1_TIME_diff(&days, &seconds, nullptr, t), 1);  // from now to the attribute
  EXPECT_EQ(days, 0);
  EXPECT_LE(std::abs(seconds), 5);
  char* text = QL_signing_time_text(now.get());
  ASSERT_NE(text, nullptr);
  const std::string year = " " + std::to_string(1900 + std::gmtime(&before)->tm_year) + " GMT";
  EXPECT_NE(std::strstr(text, year.c_str()), nullptr) << text;
  QL_free(text);

  for (PKCS7_SIGNER_INFO* si : {absent.get(), generalized.get()}) {
    EXPECT_EQ(QL_get_signing_time(si), nullptr);
    QL_set_last_error(QL_OK);
    EXPECT_EQ(QL_signing_time_text(si), nullptr);
    EXPECT_EQ(QL_get_last_error(), QL_ERR_ARGUMENT);
  }
}

}  // namespace
}  // namespace quillon2
