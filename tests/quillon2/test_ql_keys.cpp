// The session's keys, certificates and CRLs: key loading of both GOST key
// types from both container formats, passwords, prompts and the retry slot,
// the certificate list, the trusted look-up, CRL folders, searches, the
// required-signer check and key loading from many threads.
#include <gtest/gtest.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "crypto/cadb/library.h"
#include "crypto/err/err.h"
#include "crypto/pse/pse_files.h"
#include "crypto/rand/grand.h"
#include "crypto/rand/rand.h"
#include "crypto/x509/name_print.h"
#include "crypto/x509/x509_owners.h"
#include "quillon2/ql_keys.h"
#include "tests/support/gost_pki.h"
#include "tests/support/provider_fixture.h"
#include "tests/support/pse_fixture.h"
#include "tests/support/ql_fixture.h"

// A stack of certificates that holds one reference per certificate.
inline void free_cert_stack(STACK_OF(X509) * stack) { sk_X509_pop_free(stack, X509_free); }
QCRYPTO_DECLARE_OWNER(STACK_OF(X509), free_cert_stack)
QCRYPTO_DECLARE_OWNER(PKCS8_PRIV_KEY_INFO, PKCS8_PRIV_KEY_INFO_free)
QCRYPTO_DECLARE_OWNER(X509_SIG, X509_SIG_free)
QCRYPTO_DECLARE_OWNER(PKCS7, PKCS7_free)

namespace quillon2 {
namespace {

using Bytes = std::vector<unsigned char>;
using qcrypto::UniquePtr;
using qcrypto::testing_support::make_pse_fixture;
using qcrypto::testing_support::PseFixture;
using qcrypto::testing_support::PseFormat;
using qcrypto::testing_support::read_whole;
using qcrypto::testing_support::write_whole;
using test_support::GostKeyType;

using test_support::kSystemRand;

// What the installed password and retry callbacks do; the slots cannot be
// emptied once set, so one pair serves every test and reads these.
std::string g_prompt_answer;  // "" with g_prompt_cancels: -1
bool g_prompt_cancels = true;
int g_prompts = 0;
std::string g_prompted_name;
int g_retries_wanted = 0;  // how many retries to ask for
std::vector<std::pair<int, std::string>> g_retry_calls;
std::string g_answer_after_retry;

int prompt(char* buffer, int size, int flag, void* user) {
  ++g_prompts;
  g_prompted_name = QL_get_key_file_name();
  EXPECT_EQ(size, 1024);
  EXPECT_EQ(flag, 0);
  EXPECT_EQ(user, nullptr);
  if (g_prompt_cancels) return -1;
  return static_cast<int>(g_prompt_answer.copy(buffer, static_cast<size_t>(size)));
}

int retry(int code, const char* name) {
  g_retry_calls.emplace_back(code, name);
  if (static_cast<int>(g_retry_calls.size()) > g_retries_wanted) return 0;
  g_prompt_answer = g_answer_after_retry;
  g_prompt_cancels = false;
  return 1;
}

class KeysTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    qcrypto::ERR_load_crypto_strings();
    QL_set_password_callback(prompt);
    QL_set_key_retry_callback(retry);
  }
  void SetUp() override {
    ASSERT_FALSE(scratch_.path.empty());
    ASSERT_EQ(QL_init(nullptr, 0), QL_OK);
    // The library's start resets the random method; signing draws nonces.
    qcrypto::RAND_set_rand_method(&kSystemRand);
    session_ = QL_session_get();
    ASSERT_NE(session_, nullptr);
    g_prompt_cancels = true;
    g_prompts = 0;
    g_prompted_name.clear();
    g_retries_wanted = 0;
    g_retry_calls.clear();
  }
  void TearDown() override {
    QL_session_release(session_);
    while (QL_is_initialized() != 0) QL_cleanup();
  }
  std::unique_ptr<PseFixture> fixture(PseFormat format, const char* name) {
    qcrypto::RAND_set_rand_method(&kSystemRand);
    return make_pse_fixture(scratch_.path + "/" + name, format, false);
  }
  std::vector<SessionKey> keys() const { return mputil_keys(session_); }
  // 1 when the session holds a key with the public part of `pair`.
  int holds(EVP_PKEY* pair) const {
    int n = 0;
    for (const SessionKey& k : keys()) n += qcrypto::EVP_PKEY_cmp_public(k->pkey, pair);
    return n;
  }
  std::string file(const std::string& name, const Bytes& bytes) const {
    const std::string path = scratch_.path + "/" + name;
    EXPECT_TRUE(write_whole(path, bytes));
    return path;
  }

  test_support::Scratch scratch_{"ql-keys-"};
  QL_SESSION* session_ = nullptr;
};

TEST_F(KeysTest, BothKeyTypesFromAFormat31Container) {
  auto f = fixture(PseFormat::V31, "pse31");
  ASSERT_TRUE(f);
  ASSERT_EQ(f->keys.size(), 2U);
  for (const auto& key : f->keys) {
    EXPECT_EQ(QL_load_key(f->medium.c_str(), 0, key.path.c_str(), nullptr), 0) << key.type;
    EXPECT_EQ(holds(key.key_pair.get()), 1) << key.type;
    // The same key again leaves one entry.
    EXPECT_EQ(QL_load_key_by_name(f->medium.c_str(), key.path.c_str()), 0) << key.type;
    EXPECT_EQ(holds(key.key_pair.get()), 1) << key.type;
  }
  EXPECT_EQ(keys().size(), 2U);
  for (const SessionKey& k : keys()) {
    EXPECT_EQ(k->decrypted, 1);
    EXPECT_EQ(k->container, nullptr) << "a session key outlives its closed container";
  }
  // A loaded key signs with the private number the container protected.
  const SessionKey k = keys().front();
  UniquePtr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  const unsigned char data[] = "document";
  size_t n = 0;
  ASSERT_EQ(EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, k->pkey), 1);
  ASSERT_EQ(EVP_DigestSign(ctx.get(), nullptr, &n, data, sizeof data), 1);
  Bytes sig(n);
  ASSERT_EQ(EVP_DigestSign(ctx.get(), sig.data(), &n, data, sizeof data), 1);
  sig.resize(n);
  UniquePtr<EVP_MD_CTX> vctx(EVP_MD_CTX_new());
  EVP_PKEY* pair = qcrypto::EVP_PKEY_cmp_public(k->pkey, f->keys[0].key_pair.get()) == 1 ? f->keys[0].key_pair.get()
                                                                                         : f->keys[1].key_pair.get();
  ASSERT_EQ(EVP_DigestVerifyInit(vctx.get(), nullptr, nullptr, nullptr, pair), 1);
  EXPECT_EQ(EVP_DigestVerify(vctx.get(), sig.data(), sig.size(), data, sizeof data), 1);

  // Without a name: key file number 1 (GOST R 34.10-2001).
  ASSERT_EQ(QL_clear_keys(), 0);
  EXPECT_TRUE(keys().empty());
  EXPECT_EQ(QL_load_key(f->medium.c_str(), 0, "", nullptr), 0);
  EXPECT_EQ(keys().size(), 1U);
  EXPECT_EQ(holds(f->keys[0].key_pair.get()), 1);
  // Every key file of the container's key folder.
  ASSERT_EQ(QL_clear_keys(), 0);
  EXPECT_EQ(QL_load_keys(f->medium.c_str(), nullptr), 0);
  EXPECT_EQ(keys().size(), 2U);
}

TEST_F(KeysTest, OldFormatContainer) {
  auto f = fixture(PseFormat::Old, "pse30");
  ASSERT_TRUE(f);
  // Without a name: the container's own signature key.
  EXPECT_EQ(QL_load_key(f->medium.c_str(), 0, nullptr, nullptr), 0);
  EXPECT_EQ(keys().size(), 1U);
  EXPECT_EQ(holds(f->old_key.get()), 1);
  EXPECT_EQ(keys().front()->container, nullptr);
  // 42-byte key records as files; other lengths are not key records.
  char sec[qcrypto::PSE_PATH_BUFFER];
  ASSERT_NE(qcrypto::pse_old_file_path(sec, f->medium.c_str(), qcrypto::PSE30_SEC_SGN), nullptr);
  Bytes record = read_whole(sec);
  ASSERT_EQ(record.size(), 42U);
  Bytes longer = record;
  longer.push_back(0);
  Bytes damaged = record;
  damaged[20] ^= 1;
  const struct {
    const char* what;
    Bytes bytes;
    int code;
  } rows[] = {
      {"record", record, 0},
      {"41 bytes", Bytes(record.begin(), record.end() - 1), QL_ERR_KEY_FILE},
      {"43 bytes", longer, QL_ERR_KEY_FILE},
      {"empty", {}, QL_ERR_KEY_FILE},
      {"damaged block", damaged, QL_ERR_KEY_PATH},
  };
  for (const auto& row : rows) {
    ASSERT_EQ(QL_clear_keys(), 0);
    const std::string path = file(std::string("old-") + row.what, row.bytes);
    EXPECT_EQ(QL_load_key(f->medium.c_str(), 0, path.c_str(), nullptr), row.code) << row.what;
    EXPECT_EQ(keys().size(), row.code == 0 ? 1U : 0U) << row.what;
  }
  EXPECT_EQ(QL_load_key(f->medium.c_str(), 0, (scratch_.path + "/missing").c_str(), nullptr), QL_ERR_KEY_FILE);
  // A folder of records plus the container's sign folder (whose files are no
  // 42-byte records: they are skipped).
  ASSERT_EQ(QL_clear_keys(), 0);
  const std::string folder = scratch_.path + "/old-keys";
  std::filesystem::create_directories(folder);
  ASSERT_TRUE(write_whole(folder + "/a.key", record));
  ASSERT_TRUE(write_whole(folder + "/junk", Bytes(42, 7)));
  EXPECT_EQ(QL_load_keys(f->medium.c_str(), folder.c_str()), 0);
  EXPECT_EQ(keys().size(), 1U);
  EXPECT_EQ(holds(f->old_key.get()), 1);
}

// A first start tests the container on the path, in either format, and
// leaves nothing open.
TEST_F(KeysTest, FirstStartWithAContainerOfEitherFormat) {
  auto v31 = fixture(PseFormat::V31, "start31");
  auto old = fixture(PseFormat::Old, "start30");
  ASSERT_TRUE(v31 && old);
  QL_session_release(session_);
  session_ = nullptr;
  QL_cleanup();
  // The fixture's 3.1 container keeps no random state: the start seeds the
  // generator from keystrokes, which this callback types at once.
  qcrypto::GRAND_set_keyboard_pause_limit(0);
  QL_set_random_sensor_callback([](int character, int, int, void*) { return character; });
  for (const PseFixture* f : {v31.get(), old.get()}) {
    ASSERT_EQ(QL_is_initialized(), 0);
    qcrypto::RAND_set_rand_method(&kSystemRand);
    EXPECT_EQ(QL_init(f->medium.c_str(), 0), 0) << f->medium;
    EXPECT_EQ(QL_is_initialized(), 1) << f->medium;
    QL_SESSION* s = QL_session_get();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->container, nullptr) << "the container is only tested";
    QL_session_release(s);
    QL_cleanup();
  }
  // A damaged master-key record: no container.
  char mk[qcrypto::PSE_PATH_BUFFER];
  ASSERT_NE(qcrypto::PSE_file_path(mk, v31->medium.c_str(), qcrypto::PSE31_MKEY), nullptr);
  Bytes record = read_whole(mk);
  ASSERT_FALSE(record.empty());
  record.back() ^= 1;
  ASSERT_TRUE(write_whole(mk, record));
  EXPECT_EQ(QL_init(v31->medium.c_str(), 0), QL_ERR_CONTAINER);
  EXPECT_EQ(QL_is_initialized(), 0);
}

TEST_F(KeysTest, ContainerAndStartChecks) {
  const std::string nowhere = scratch_.path + "/no-container";
  EXPECT_EQ(QL_load_key(nowhere.c_str(), 0, nullptr, nullptr), QL_ERR_CONTAINER);
  EXPECT_EQ(QL_load_keys(nowhere.c_str(), nullptr), QL_ERR_CONTAINER);
  EXPECT_EQ(QL_load_key(nullptr, 0, nullptr, nullptr), QL_ERR_ARGUMENT);
  EXPECT_EQ(QL_load_key_file(nullptr, nullptr), QL_ERR_ARGUMENT);
  EXPECT_EQ(QL_add_certificate(nullptr, 3), QL_ERR_ARGUMENT);
  EXPECT_EQ(QL_load_crls(""), QL_ERR_ARGUMENT);
  QL_session_release(session_);
  session_ = nullptr;
  QL_cleanup();
  ASSERT_EQ(QL_is_initialized(), 0);
  const unsigned char byte = 0x30;
  const std::vector<std::pair<const char*, int>> calls = {
      {"load key", QL_load_key(nowhere.c_str(), 0, nullptr, nullptr)},
      {"load keys", QL_load_keys(nowhere.c_str(), nullptr)},
      {"load key file", QL_load_key_file(nowhere.c_str(), nullptr)},
      {"clear keys", QL_clear_keys()},
      {"add certificate", QL_add_certificate(&byte, 1)},
      {"add trusted", QL_add_trusted_certificate(&byte, 1)},
      {"load crls", QL_load_crls(nowhere.c_str())},
  };
  for (const auto& [what, code] : calls) EXPECT_EQ(code, QL_ERR_NOT_INITIALISED) << what;
}

// Password-protected key files: the given password, the prompt with the
// file's name, a wrong answer, a cancel, and the retry slot.
TEST_F(KeysTest, PasswordsPromptsAndRetries) {
  UniquePtr<EVP_PKEY> pair(test_support::gost_new_key(GostKeyType::kEcr3410));
  ASSERT_TRUE(pair);
  const std::string path = file("protected.p8", test_support::encrypted_pkcs8(pair.get(), "right"));
  struct Row {
    const char* what;
    const char* password;
    bool cancels;
    const char* answer;
    int retries;  // retries the callback asks for
    const char* answer_after_retry;
    int code;
    int prompts;
    size_t retry_calls;
  };
  const Row rows[] = {
      {"given", "right", true, "", 0, "", 0, 0, 0},
      {"given wrong", "wrong", true, "", 0, "", QL_ERR_KEY_FILE, 0, 1},
      {"prompted", nullptr, false, "right", 0, "", 0, 1, 0},
      {"empty password prompts", "", false, "right", 0, "", 0, 1, 0},
      {"prompted wrong, read once", nullptr, false, "wrong", 0, "", QL_ERR_KEY_FILE, 1, 1},
      {"cancelled", nullptr, true, "", 0, "", QL_ERR_KEY_FILE, 1, 1},
      {"retry then right", nullptr, false, "wrong", 1, "right", 0, 2, 1},
      {"retry twice, still wrong", nullptr, false, "wrong", 2, "bad", QL_ERR_KEY_FILE, 3, 3},
  };
  for (const Row& row : rows) {
    ASSERT_EQ(QL_clear_keys(), 0);
    g_prompt_cancels = row.cancels;
    g_prompt_answer = row.answer;
    g_retries_wanted = row.retries;
    g_answer_after_retry = row.answer_after_retry;
    g_prompts = 0;
    g_prompted_name.clear();
    g_retry_calls.clear();
    EXPECT_EQ(QL_load_key_file(path.c_str(), row.password), row.code) << row.what;
    EXPECT_EQ(g_prompts, row.prompts) << row.what;
    EXPECT_EQ(g_retry_calls.size(), row.retry_calls) << row.what;
    for (const auto& [code, name] : g_retry_calls) {
      EXPECT_EQ(code, QL_ERR_KEY_FILE) << row.what;
      EXPECT_EQ(name, path) << row.what;
    }
    if (row.prompts > 0) {
      EXPECT_EQ(g_prompted_name, path) << row.what;
    }
    EXPECT_EQ(holds(pair.get()), row.code == 0 ? 1 : 0) << row.what;
    EXPECT_STREQ(QL_get_key_file_name(), "") << row.what;
  }
  // A file too long to be a key is refused unread.
  g_retries_wanted = 0;
  const std::string big = file("big.key", Bytes(static_cast<size_t>(QL_KEY_FILE_MAX_BYTES) + 1, 0x30));
  EXPECT_EQ(QL_load_key_file(big.c_str(), "right"), QL_ERR_KEY_FILE);
}

struct Pki {
  UniquePtr<EVP_PKEY> ca_key, key;
  UniquePtr<X509> ca, leaf, twin, other;
};

Pki make_pki() {
  Pki p;
  p.ca_key.reset(test_support::gost_new_key(GostKeyType::kEcr3410));
  p.key.reset(test_support::gost_new_key(GostKeyType::kEcr3410));
  p.ca.reset(test_support::gost_make_cert(p.ca_key.get(), {"Root", 1, true, 30}, nullptr, p.ca_key.get()));
  p.leaf.reset(test_support::gost_make_cert(p.key.get(), {"Leaf", 7, false, 30}, p.ca.get(), p.ca_key.get()));
  // Same issuer and serial, other subject and content.
  p.twin.reset(test_support::gost_make_cert(p.key.get(), {"Twin", 7, false, 10}, p.ca.get(), p.ca_key.get()));
  // Same subject, other serial.
  p.other.reset(test_support::gost_make_cert(p.key.get(), {"Leaf", 0x1AB, false, 30}, p.ca.get(), p.ca_key.get()));
  return p;
}

TEST_F(KeysTest, CertificateListAndSearches) {
  Pki p = make_pki();
  ASSERT_TRUE(p.ca && p.leaf && p.twin && p.other);
  const Bytes leaf_der = test_support::to_der(p.leaf.get());
  const std::string leaf_pem = test_support::to_pem(p.leaf.get());
  const Bytes twin_der = test_support::to_der(p.twin.get());
  const Bytes other_der = test_support::to_der(p.other.get());
  const Bytes garbage = {0x30, 0x03, 0x02, 0x01, 0x01};
  const auto* pem = reinterpret_cast<const unsigned char*>(leaf_pem.data());
  const struct {
    const char* what;
    const unsigned char* bytes;
    long length;
    int code;
    size_t listed;
  } rows[] = {
      {"DER", leaf_der.data(), static_cast<long>(leaf_der.size()), 0, 1},
      {"same as PEM", pem, static_cast<long>(leaf_pem.size()), 0, 1},
      {"same issuer and serial", twin_der.data(), static_cast<long>(twin_der.size()), 0, 1},
      {"other serial", other_der.data(), static_cast<long>(other_der.size()), 0, 2},
      {"undecodable", garbage.data(), static_cast<long>(garbage.size()), QL_ERR_CERT_DECODE, 2},
      {"DER with trailing bytes", leaf_der.data(), static_cast<long>(leaf_der.size()) - 1, QL_ERR_CERT_DECODE, 2},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(QL_add_certificate(row.bytes, row.length), row.code) << row.what;
    UniquePtr<STACK_OF(X509)> list(mputil_certificates(session_));
    EXPECT_EQ(list ? static_cast<size_t>(sk_X509_num(list.get())) : 0U, row.listed) << row.what;
  }

  char leaf_subject[256], issuer[256];
  qcrypto::X509_NAME_oneline(X509_get_subject_name(p.leaf.get()), leaf_subject, sizeof leaf_subject);
  qcrypto::X509_NAME_oneline(X509_get_subject_name(p.ca.get()), issuer, sizeof issuer);
  const std::string serial_leaf = mputil_serial_text(X509_get0_serialNumber(p.leaf.get()));
  const std::string serial_other = mputil_serial_text(X509_get0_serialNumber(p.other.get()));
  EXPECT_EQ(serial_leaf, "07");
  EXPECT_EQ(serial_other, "01AB");
  const struct {
    const char* what;
    const char* subject;
    const char* issuer;
    const char* serial;
    X509* found;
  } searches[] = {
      {"subject and issuer: the first", leaf_subject, issuer, nullptr, p.leaf.get()},
      {"serial only", nullptr, nullptr, "01AB", p.other.get()},
      {"serial in lower case", nullptr, nullptr, "01ab", nullptr},
      {"serial without its leading zero", nullptr, nullptr, "1AB", nullptr},
      {"all three", leaf_subject, issuer, "01AB", p.other.get()},
      {"issuer as subject", issuer, nullptr, nullptr, nullptr},
      {"no criterion", nullptr, nullptr, nullptr, nullptr},
  };
  UniquePtr<STACK_OF(X509)> list(mputil_certificates(session_));
  for (const auto& s : searches) {
    UniquePtr<X509> in_session(mputil_find_cert(session_, s.subject, s.issuer, s.serial));
    UniquePtr<X509> in_list(mputil_find_cert_in(list.get(), s.subject, s.issuer, s.serial));
    for (X509* got : {in_session.get(), in_list.get()}) {
      if (s.found == nullptr) {
        EXPECT_EQ(got, nullptr) << s.what;
      } else {
        ASSERT_NE(got, nullptr) << s.what;
        EXPECT_EQ(X509_cmp(got, s.found), 0) << s.what;
      }
    }
  }
  // The trusted look-up of the store.
  EXPECT_EQ(QL_add_trusted_certificate(garbage.data(), static_cast<long>(garbage.size())), QL_ERR_TRUSTED_DECODE);
  const Bytes ca_der = test_support::to_der(p.ca.get());
  EXPECT_EQ(QL_add_trusted_certificate(ca_der.data(), static_cast<long>(ca_der.size())), 0);
  EXPECT_EQ(qcrypto::X509_STORE_is_trusted(session_->store, p.ca.get()), 1);
  qcrypto::X509_STORE* bare = qcrypto::X509_STORE_new();
  EXPECT_EQ(mputil_store_add_cert(bare, p.ca.get()), QL_ERR_STORE_ADD);
  qcrypto::X509_STORE_free(bare);
}

TEST_F(KeysTest, CrlFolders) {
  Pki p = make_pki();
  ASSERT_TRUE(p.ca);
  UniquePtr<X509_CRL> crl(test_support::gost_make_crl(p.ca.get(), p.ca_key.get(), {7}));
  UniquePtr<X509_CRL> crl2(test_support::gost_make_crl(p.ca.get(), p.ca_key.get(), {8}, 2));
  ASSERT_TRUE(crl && crl2);
  const Bytes good = test_support::to_der(crl.get());
  const std::string pem = test_support::to_pem(crl2.get());
  Bytes truncated(good.begin(), good.end() - 10);
  const struct {
    const char* what;
    std::vector<Bytes> files;
    int code;
    int added;
  } rows[] = {
      {"one of two damaged", {good, truncated}, 0, 1},
      {"DER and PEM", {good, Bytes(pem.begin(), pem.end())}, 0, 2},
      {"only damaged", {truncated, Bytes{1, 2, 3}}, QL_ERR_CRL_READ, 0},
      {"empty folder", {}, 0, 0},
  };
  int folder = 0;
  for (const auto& row : rows) {
    QL_session_release(session_);
    QL_cleanup();
    ASSERT_EQ(QL_init(nullptr, 0), 0);
    qcrypto::RAND_set_rand_method(&kSystemRand);
    session_ = QL_session_get();
    const std::string dir = scratch_.path + "/crls" + std::to_string(folder++);
    std::filesystem::create_directories(dir);
    for (size_t i = 0; i < row.files.size(); ++i)
      ASSERT_TRUE(write_whole(dir + "/" + std::to_string(i) + ".crl", row.files[i]));
    QL_set_last_error(77);
    EXPECT_EQ(QL_load_crls(dir.c_str()), row.code) << row.what;
    EXPECT_EQ(qcrypto::ERR_peek_error(), 0UL) << row.what << ": the error queue is cleared";
    qcrypto::X509_LOOKUP* trusted = qcrypto::X509_STORE_get_lookup(session_->store, "trusted");
    ASSERT_NE(trusted, nullptr);
    EXPECT_EQ(sk_X509_CRL_num(trusted->crls), row.added) << row.what;
  }
  EXPECT_EQ(QL_load_crls((scratch_.path + "/no-such-folder").c_str()), 0);
}

// The required-signer check asks for the signer by issuer and serial: a
// renewed certificate with the same names did not sign, and a message
// without certificates still names its signers.
// A certificate that only carries a subject, an issuer and a serial, each
// name given as (short name, UTF-8 value) pairs.
UniquePtr<X509> named_cert(std::initializer_list<std::pair<const char*, const char*>> subject,
                           std::initializer_list<std::pair<const char*, const char*>> issuer) {
  UniquePtr<X509> cert(X509_new());
  for (const auto& [names, setter] :
       {std::pair{subject, &X509_set_subject_name}, std::pair{issuer, &X509_set_issuer_name}}) {
    UniquePtr<X509_NAME> name(X509_NAME_new());
    for (const auto& [field, value] : names) {
      X509_NAME_add_entry_by_txt(name.get(), field, MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(value), -1,
                                 -1, 0);
    }
    setter(cert.get(), name.get());
  }
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 9);
  return cert;
}

TEST(KeysSearch, NamesAreComparedEntryByEntry) {
  UniquePtr<X509> spoof = named_cert({{"CN", "Ivan/O=Central Bank"}}, {{"CN", "CA/O=Root"}});
  UniquePtr<X509> real = named_cert({{"CN", "Ivan"}, {"O", "Central Bank"}}, {{"CN", "CA"}, {"O", "Root"}});
  UniquePtr<STACK_OF(X509)> list(sk_X509_new_null());
  ASSERT_TRUE(list && spoof && real);
  ASSERT_GT(sk_X509_push(list.get(), spoof.get()), 0);
  ASSERT_GT(sk_X509_push(list.get(), real.get()), 0);
  const struct {
    const char* what;
    const char* subject;
    const char* issuer;
    X509* found;
  } searches[] = {
      {"the real subject", "/CN=Ivan/O=Central Bank", nullptr, real.get()},
      {"the real issuer", nullptr, "/CN=CA/O=Root", real.get()},
      {"the spoofed subject as printed", "/CN=Ivan\\/O\\=Central Bank", nullptr, spoof.get()},
      {"the spoofed issuer as printed", nullptr, "/CN=CA\\/O\\=Root", spoof.get()},
      {"real subject under the spoofed issuer", "/CN=Ivan/O=Central Bank", "/CN=CA\\/O\\=Root", nullptr},
  };
  for (const auto& s : searches) {
    UniquePtr<X509> got(mputil_find_cert_in(list.get(), s.subject, s.issuer, nullptr));
    EXPECT_EQ(got.get(), s.found) << s.what;
  }
  // The list holds no references of its own.
  sk_X509_zero(list.get());
}

TEST(KeysSigners, RequiredSignersByIssuerAndSerial) {
  UniquePtr<EVP_PKEY> ca_key(test_support::pki_new_key(test_support::PkiKeyType::kRsa));
  UniquePtr<EVP_PKEY> key(test_support::pki_new_key(test_support::PkiKeyType::kRsa));
  ASSERT_TRUE(ca_key && key);
  test_support::PkiCertSpec ca_spec;
  ca_spec.common_name = "CA";
  ca_spec.basic_constraints = test_support::PkiBasicConstraints::kCa;
  ca_spec.key_usage = test_support::PkiKeyUsage::kCa;
  UniquePtr<X509> ca(test_support::pki_make_cert(ca_key.get(), ca_spec, nullptr, ca_key.get()));
  test_support::PkiCertSpec spec;
  spec.common_name = "Signer";
  spec.serial = 5;
  UniquePtr<X509> signer(test_support::pki_make_cert(key.get(), spec, ca.get(), ca_key.get()));
  spec.serial = 6;
  UniquePtr<X509> renewed(test_support::pki_make_cert(key.get(), spec, ca.get(), ca_key.get()));
  ASSERT_TRUE(ca && signer && renewed);
  UniquePtr<BIO> data(BIO_new_mem_buf("content", 7));
  UniquePtr<PKCS7> with_certs(PKCS7_sign(signer.get(), key.get(), nullptr, data.get(), PKCS7_BINARY));
  UniquePtr<BIO> data2(BIO_new_mem_buf("content", 7));
  UniquePtr<PKCS7> no_certs(PKCS7_sign(signer.get(), key.get(), nullptr, data2.get(), PKCS7_BINARY | PKCS7_NOCERTS));
  ASSERT_TRUE(with_certs && no_certs);
  UniquePtr<PKCS7> plain(PKCS7_new());
  ASSERT_EQ(PKCS7_set_type(plain.get(), NID_pkcs7_data), 1);

  using Stack = UniquePtr<STACK_OF(X509)>;
  auto stack_of = [](std::vector<X509*> certs) {
    STACK_OF(X509)* s = sk_X509_new_null();
    for (X509* c : certs)
      if (X509_up_ref(c) == 1 && sk_X509_push(s, c) <= 0) X509_free(c);
    return s;
  };
  const Stack only_signer(stack_of({signer.get()}));
  const Stack only_renewed(stack_of({renewed.get()}));
  const Stack both(stack_of({signer.get(), renewed.get()}));
  const Stack none(stack_of({}));
  const struct {
    const char* what;
    PKCS7* message;
    STACK_OF(X509) * required;
    int code;
  } rows[] = {
      {"the signer", with_certs.get(), only_signer.get(), 0},
      {"the signer, no certificates in the message", no_certs.get(), only_signer.get(), 0},
      {"same names, other serial", with_certs.get(), only_renewed.get(), QL_ERR_REQUIRED_SIGNER},
      {"one of two missing", with_certs.get(), both.get(), QL_ERR_REQUIRED_SIGNER},
      {"empty list", with_certs.get(), none.get(), 0},
      {"no list", with_certs.get(), nullptr, 0},
      {"not a signed message", plain.get(), only_signer.get(), QL_ERR_NO_SIGNERS},
      {"no message", nullptr, only_signer.get(), QL_ERR_NO_SIGNERS},
  };
  for (const auto& row : rows) EXPECT_EQ(mputil_check_signers(row.message, row.required), row.code) << row.what;
  PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(with_certs.get()), 0);
  X509* found = mputil_find_signer_cert(with_certs.get(), si);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(X509_cmp(found, signer.get()), 0);
  PKCS7_SIGNER_INFO* si2 = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(no_certs.get()), 0);
  EXPECT_EQ(mputil_find_signer_cert(no_certs.get(), si2), nullptr);
}

// Threads load, read and clear the session's keys at once; every snapshot
// stays usable while others clear.
TEST_F(KeysTest, KeyLoadingFromManyThreads) {
  auto f = fixture(PseFormat::V31, "pse-threads");
  ASSERT_TRUE(f);
  constexpr int kThreads = 8, kRounds = 10;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        const auto& key = f->keys[static_cast<size_t>((t + i) % 2)];
        if (QL_load_key(f->medium.c_str(), 0, key.path.c_str(), nullptr) != 0) ++failures;
        QL_SESSION* s = QL_session_get();
        for (const SessionKey& k : mputil_keys(s))
          if (EVP_PKEY_get_bits(k->pkey) <= 0) ++failures;
        QL_session_release(s);
        if (i % 3 == 2) QL_clear_keys();
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  ASSERT_EQ(QL_load_keys(f->medium.c_str(), nullptr), 0);
  EXPECT_EQ(keys().size(), 2U);
}

TEST_F(KeysTest, MediaPresenceAndErase) {
  const std::string dir = scratch_.path + "/medium";
  std::filesystem::create_directories(dir + "/sub/deeper");
  ASSERT_TRUE(write_whole(dir + "/a", Bytes(5000, 1)));
  ASSERT_TRUE(write_whole(dir + "/sub/deeper/b", Bytes(10, 2)));
  const std::string outside = scratch_.path + "/outside";
  ASSERT_TRUE(write_whole(outside, Bytes(3, 3)));
  std::filesystem::create_symlink(outside, dir + "/sub/link");
  // (call, answer, last result afterwards)
  const struct {
    const char* what;
    std::function<int()> call;
    int answer;
    int last;
  } probes[] = {
      {"folder", [&] { return QL_medium_present(dir.c_str()); }, 1, 0},
      {"missing", [&] { return QL_medium_present((scratch_.path + "/none").c_str()); }, 0, 0},
      {"null", [] { return QL_medium_present(nullptr); }, 0, QL_ERR_ARGUMENT},
      {"token test of a folder", [&] { return QL_token_present(dir.c_str()); }, 0, 0},
      {"token without a driver", [] { return QL_token_present("Vexil"); }, 0, 0},
      {"token null", [] { return QL_token_present(nullptr); }, 0, QL_ERR_ARGUMENT},
  };
  for (const auto& probe : probes) {
    QL_set_last_error(55);
    EXPECT_EQ(probe.call(), probe.answer) << probe.what;
    EXPECT_EQ(QL_get_last_error(), probe.last) << probe.what;
  }
  EXPECT_EQ(QL_erase_file(nullptr), QL_ERR_ARGUMENT);
  EXPECT_EQ(QL_erase_file((dir + "/a").c_str()), 0);
  EXPECT_FALSE(std::filesystem::exists(dir + "/a"));
  // A folder with a symbolic link inside: the link's target is never touched.
  EXPECT_EQ(QL_erase_file(dir.c_str()), QL_ERR_OUTPUT);
  EXPECT_EQ(read_whole(outside), Bytes(3, 3));
  EXPECT_FALSE(std::filesystem::exists(dir + "/sub/deeper"));
  std::filesystem::remove(dir + "/sub/link");
  EXPECT_EQ(QL_erase_file(dir.c_str()), 0);
  EXPECT_FALSE(std::filesystem::exists(dir));
}

}  // namespace
}  // namespace quillon2
