#include "tests/dsutils/unpack_fixture.h"

#include "crypto/pkey/key_envelope.h"
#include "crypto/rand/rand.h"
#include "quillon2/ql_codes.h"
#include "quillon2/ql_frame.h"
#include "quillon2/ql_keys.h"
#include "tests/support/gost_pki.h"
#include "tests/support/provider_fixture.h"

namespace dsutils::testing {
namespace {

namespace ql = quillon2;
using platform::reg::RegistryKey;
using test_support::GostKeyType;
using test_support::Party;

struct Pki {
  qcrypto::UniquePtr<EVP_PKEY> caKey, otherCaKey;
  qcrypto::UniquePtr<X509> ca, otherCa;
  Party a, b;
  QByteArray foreignA, foreignB;
};

Party make_party(const char* name, long serial, X509* ca, EVP_PKEY* caKey) {
  Party p;
  p.key.reset(test_support::gost_new_key(GostKeyType::kEcr3410));
  if (!p.key) return p;
  p.cert.reset(test_support::gost_make_cert(p.key.get(), {name, serial, false, 30}, ca, caKey));
  if (p.cert) p.der = test_support::to_der(p.cert.get());
  return p;
}

// Made once per process: GOST key generation is slow under the sanitizers.
Pki& pki() {
  static Pki* made = [] {
    auto* t = new Pki();
    t->caKey.reset(test_support::gost_new_key(GostKeyType::kEcr3410));
    t->otherCaKey.reset(test_support::gost_new_key(GostKeyType::kEcr3410));
    t->ca.reset(test_support::gost_make_cert(t->caKey.get(), {"Test CA", 1, true, 30}, nullptr, t->caKey.get()));
    t->otherCa.reset(
        test_support::gost_make_cert(t->otherCaKey.get(), {"Other CA", 1, true, 30}, nullptr, t->otherCaKey.get()));
    t->a = make_party("Party A", 0x2A, t->ca.get(), t->caKey.get());
    t->b = make_party("Party B", 0x2B, t->ca.get(), t->caKey.get());
    const qcrypto::UniquePtr<X509> fa(test_support::gost_make_cert(t->a.key.get(), {"Party A", 0x2A, false, 30},
                                                                   t->otherCa.get(), t->otherCaKey.get()));
    const qcrypto::UniquePtr<X509> fb(test_support::gost_make_cert(t->b.key.get(), {"Party B", 0x2B, false, 30},
                                                                   t->otherCa.get(), t->otherCaKey.get()));
    if (fa) t->foreignA = bytes(test_support::to_der(fa.get()));
    if (fb) t->foreignB = bytes(test_support::to_der(fb.get()));
    return t;
  }();
  return *made;
}

void give_key(EVP_PKEY* key) {
  ql::QL_SESSION* session = ql::QL_session_get();
  ASSERT_NE(session, nullptr);
  ASSERT_EQ(EVP_PKEY_up_ref(key), 1);
  qcrypto::UniquePtr<qcrypto::EVP_PKEY_ENVELOPE> e(qcrypto::EVP_PKEY_ENVELOPE_new(key, nullptr));
  ASSERT_TRUE(e);
  e->decrypted = 1;
  EXPECT_EQ(ql::mputil_add_key(session, std::move(e)), ql::QL_OK);
  ql::QL_session_release(session);
}

constexpr char kNoOpenssl[] = "no openssl program was found when the build was configured";

void close_all() {
  CryptoSession& s = global_crypto_session();
  while (s.OpenCount() > 0) s.Close();
  while (ql::QL_is_initialized() != 0) ql::QL_cleanup();
}

}  // namespace

QByteArray bytes(const std::vector<unsigned char>& der) {
  return QByteArray(reinterpret_cast<const char*>(der.data()), static_cast<qsizetype>(der.size()));
}

void UnpackFixture::SetUpTestSuite() {
  // The error texts of the stand-in library, read by the process's loader.
  setenv("DOSSAR_LIB_PATH", DOSSAR_BINARY_DIR "/stand-ins/lib", 1);
  qcrypto::RAND_set_rand_method(&test_support::kSystemRand);
  ASSERT_EQ(qcrypto::evp_provider_start(), 1);
  const Pki& p = pki();
  ASSERT_TRUE(p.ca && p.a.cert && p.b.cert && !p.foreignA.isEmpty() && !p.foreignB.isEmpty());
}
void UnpackFixture::TearDownTestSuite() {}

void UnpackFixture::SetUp() {
  EngineTest::SetUp();
  ASSERT_TRUE(use_scratch_tmp());
  setDirectoryCryptoFactory(toolkit_directory_factory());
  restart_toolkit();
}

bool UnpackFixture::stock_openssl_at_hand() {
  if (kStockOpenssl != nullptr) return true;
  // FAIL and GTEST_SKIP return from the function they stand in.
  if (under_ci()) {
    [] { FAIL() << kNoOpenssl; }();
  } else {
    [] { GTEST_SKIP() << kNoOpenssl; }();
  }
  return false;
}

void UnpackFixture::TearDown() {
  close_all();
  setDirectoryCryptoFactory({});
  EngineTest::TearDown();
}

const Party& UnpackFixture::partyA() { return pki().a; }
const Party& UnpackFixture::partyB() { return pki().b; }
QByteArray UnpackFixture::foreignA() { return pki().foreignA; }
X509* UnpackFixture::test_ca_certificate() { return pki().ca.get(); }
EVP_PKEY* UnpackFixture::test_ca_key() { return pki().caKey.get(); }
QByteArray UnpackFixture::foreignB() { return pki().foreignB; }

void UnpackFixture::restart_toolkit(bool withKeys) {
  close_all();
  CryptoSession& s = global_crypto_session();
  ASSERT_EQ(s.Open(), ql::QL_OK);
  qcrypto::RAND_set_rand_method(&test_support::kSystemRand);
  const std::vector<unsigned char> ca = test_support::to_der(pki().ca.get());
  ASSERT_EQ(s.AddTrustedCertificate(ca.data(), static_cast<long>(ca.size())), ql::QL_OK);
  if (!withKeys) return;
  give_key(pki().a.key.get());
  give_key(pki().b.key.get());
}

int UnpackFixture::sign(const QString& input, const QString& output,
                        std::initializer_list<const test_support::Party*> signers, bool includeCertificate,
                        int detached) {
  CryptoSession& s = global_crypto_session();
  QL_SIGN_SET* set = s.NewSignatureSet();
  if (set == nullptr) return -1;
  int code = ql::QL_OK;
  for (const test_support::Party* p : signers) {
    code = s.AddSignerCertificate(set, ql::QL_LOOKUP_BYTES, p->der.data(), static_cast<long>(p->der.size()));
    if (code != ql::QL_OK) break;
  }
  if (code == ql::QL_OK)
    code = s.SignFile(set, input, output, detached, SigningOptions{includeCertificate ? 1 : 0, 1}, nullptr);
  s.FreeSignatureSet(set);
  return code;
}

int UnpackFixture::encrypt(const QString& input, const QString& output, const test_support::Party& recipient) {
  CryptoSession& s = global_crypto_session();
  QL_CERT_LIST* list = s.NewRecipientList();
  if (list == nullptr) return -1;
  int code = s.AddRecipientCertificate(list, ql::QL_LOOKUP_BYTES, recipient.der.data(),
                                       static_cast<long>(recipient.der.size()));
  if (code == ql::QL_OK) code = s.EncryptFile(list, input, output, nullptr);
  s.FreeRecipientList(list);
  return code;
}

void UnpackFixture::directory_user(const QString& name, const QByteArray& certificate) {
  RegistryKey key;
  open_key(key, "\\Certificats\\Users");
  key.SetBinary(name.toStdString(), certificate.constData(), static_cast<std::uint32_t>(certificate.size()));
}

void UnpackFixture::set_owner(const QByteArray& certificate, const QString& keyFile, std::uint32_t sczi) {
  RegistryKey key;
  open_key(key, "\\Certificats\\Owner\\exec");
  key.SetString("File", keyFile.toStdString());
  key.SetString("Path", "");
  key.SetString("Profile", "Исполнитель");
  key.SetDword("SCZI", sczi);
  key.SetBinary("SerNum", certificate.constData(), static_cast<std::uint32_t>(certificate.size()));
  RegistryKey owner;
  open_key(owner, "\\Certificats\\Owner");
  owner.SetString("Owner", "exec");
}

void UnpackFixture::ldap_settings(const std::string& connect, const std::string& port, const std::string& search) {
  RegistryKey key;
  open_key(key, "\\Ldap");
  key.SetDword("Start", 1);
  key.SetString("Connect", connect);
  key.SetString("Port", port);
  key.SetString("Search", search);
}

}  // namespace dsutils::testing
