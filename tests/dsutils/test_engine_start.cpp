// Engine start-up and the rules that keep operations apart, over the real
// toolkit: StartEngine (once per process; ctest runs each test in a process
// of its own, and run as one process the first test here is the first to
// start the engine), the operation lock, the session hold, and what the
// certificate directory and the LDAP look-up do once the engine is started.
#include <signal.h>
#include <sys/wait.h>

#include <QDir>
#include <QFileInfo>
#include <atomic>
#include <chrono>
#include <thread>

#include "crypto/prov/evp_gost.h"
#include "crypto/rand/mprand.h"
#include "crypto/rand/rand.h"
#include "dsutils/engine/crypto_session.h"
#include "dsutils/engine/engine_start.h"
#include "dsutils/engine/ldap_lookup.h"
#include "dsutils/engine/operation_lock.h"
#include "quillon2/ql_frame.h"
#include "tests/dsutils/engine_test_util.h"
#include "tests/support/gost_pki.h"
#include "tests/support/provider_fixture.h"
#include "tests/support/slapd_harness.h"

namespace dsutils {
namespace {

namespace ql = quillon2;
using platform::reg::RegistryKey;
using namespace std::chrono_literals;

QByteArray bytes_of(const std::vector<unsigned char>& der) {
  return QByteArray(reinterpret_cast<const char*>(der.data()), static_cast<qsizetype>(der.size()));
}

// Two CAs that give one holder certificates with the same serial number.
struct TwoIssuers {
  QByteArray fromA, fromB;
  DistinguishedName issuerA, issuerB;
};

// Made once: GOST key generation is slow under the sanitizers.
const TwoIssuers& two_issuers() {
  static const TwoIssuers* made = [] {
    auto* t = new TwoIssuers();
    using test_support::GostKeyType;
    const qcrypto::UniquePtr<EVP_PKEY> keyA(test_support::gost_new_key(GostKeyType::kEcr3410));
    const qcrypto::UniquePtr<EVP_PKEY> keyB(test_support::gost_new_key(GostKeyType::kEcr3410));
    const qcrypto::UniquePtr<EVP_PKEY> holder(test_support::gost_new_key(GostKeyType::kEcr3410));
    if (!keyA || !keyB || !holder) return t;
    const qcrypto::UniquePtr<X509> caA(
        test_support::gost_make_cert(keyA.get(), {"CA A", 1, true, 30}, nullptr, keyA.get()));
    const qcrypto::UniquePtr<X509> caB(
        test_support::gost_make_cert(keyB.get(), {"CA B", 1, true, 30}, nullptr, keyB.get()));
    if (!caA || !caB) return t;
    const qcrypto::UniquePtr<X509> a(
        test_support::gost_make_cert(holder.get(), {"Holder", 0x2A, false, 30}, caA.get(), keyA.get()));
    const qcrypto::UniquePtr<X509> b(
        test_support::gost_make_cert(holder.get(), {"Holder", 0x2A, false, 30}, caB.get(), keyB.get()));
    if (!a || !b) return t;
    t->fromA = bytes_of(test_support::to_der(a.get()));
    t->fromB = bytes_of(test_support::to_der(b.get()));
    // The names as the test PKI writes them: country and common name.
    t->issuerA.C = t->issuerB.C = "RU";
    t->issuerA.CN = "CA A";
    t->issuerB.CN = "CA B";
    return t;
  }();
  return *made;
}

class StartEngineTest : public testing::EngineTest {
 protected:
  static void SetUpTestSuite() {
    qcrypto::RAND_set_rand_method(&test_support::kSystemRand);
    ASSERT_EQ(qcrypto::evp_provider_start(), 1);
  }
  void SetUp() override {
    EngineTest::SetUp();
    ASSERT_TRUE(use_scratch_tmp({"docs"}));
  }
  void TearDown() override {
    while (ql::QL_is_initialized() != 0) ql::QL_cleanup();
    EngineTest::TearDown();
  }
  void set_debug(std::uint32_t value) {
    RegistryKey key;
    open_key(key, "");
    ASSERT_TRUE(key.SetDword("IsDebug", value));
  }
};

// The first start of the process: everything a process needs before its
// first operation, and nothing again on a second call.
TEST_F(StartEngineTest, RegistersCallbacksInstallsTheToolkitReadsIsDebugAndRestoresDeadOperations) {
  // An operation that died with the only copy of its source in its folder.
  write_file("docs/precious.txt", "the only copy");
  const testing::Child child = testing::start_child(DOSSAR_WF_CHILD, path("docs/precious.txt"));
  ASSERT_GT(child.pid, 0);
  ASSERT_FALSE(child.copy.isEmpty());
  ASSERT_EQ(::kill(child.pid, SIGKILL), 0);
  ASSERT_EQ(::waitpid(child.pid, nullptr, 0), child.pid);
  ASSERT_FALSE(QFileInfo::exists(path("docs/precious.txt")));

  set_debug(1);
  ql::QL_set_medium_message_callback([](int, int, int) { return 0; });
  ql::QL_set_token_password_callback([](char*, int, int, void*) { return 0; });
  ql::QL_set_password_callback([](char*, int, int, void*) { return 0; });

  StartEngine();

  // The callbacks are there before any session was opened.
  EXPECT_EQ(ql::QL_is_initialized(), 0);
  EXPECT_EQ(ql::QL_medium_message_callback(), &CryptoSession::OnTouchMemoryMessage);
  EXPECT_EQ(ql::QL_token_password_callback(), &CryptoSession::OnTokenPassword);
  EXPECT_EQ(ql::ql_password_callback(), &CryptoSession::OnKeyPassword);
  ui_.queueRandomSensor('k');
  EXPECT_EQ(qcrypto::mprand_key_callback('k', 1, 16, nullptr), 'k');
  EXPECT_EQ(ui_.calls(), std::vector<std::string>{"randomSensor"});

  // The toolkit session erases and decodes for the engine.
  EXPECT_EQ(&crypto_session(), static_cast<ICryptoSession*>(&global_crypto_session()));
  EXPECT_NE(dynamic_cast<CryptoSession*>(makeDirectoryCryptoSession().get()), nullptr);

  EXPECT_EQ(g_debug_flag.load(), 1u);
  EXPECT_EQ(read_file(path("docs/precious.txt")), "the only copy");
  EXPECT_FALSE(QFileInfo::exists(GetPathFromName(child.copy)));

  // Once per process: a second call reads nothing again.
  set_debug(0);
  StartEngine();
  EXPECT_EQ(g_debug_flag.load(), 1u);
}

// Importing decodes through the toolkit: the certificate is stored under
// its serial, and found again as stored with its issuer.
TEST_F(StartEngineTest, ImportStoresAGostCertificateDecodedByTheToolkit) {
  StartEngine();
  const TwoIssuers& t = two_issuers();
  ASSERT_FALSE(t.fromA.isEmpty() || t.fromB.isEmpty());
  EngineHelper& h = engine_helper();
  ASSERT_TRUE(h.ImportCertificate(t.fromA, QStringLiteral("holder@example.org")));
  QByteArray stored;
  ASSERT_TRUE(h.LoadDirectoryCertificate(QStringLiteral("2A"), stored));
  EXPECT_EQ(stored, t.fromA);
  EXPECT_TRUE(h.IsCertificateStored(QStringLiteral("2A"), t.issuerA, false));
  EXPECT_FALSE(h.IsCertificateStored(QStringLiteral("2A"), t.issuerB, false));
  QByteArray byEmail;
  EXPECT_TRUE(h.FindCertificateByEmail(QStringLiteral("holder@example.org"), byEmail));
  EXPECT_EQ(byEmail, t.fromA);
  EXPECT_FALSE(h.ImportCertificate(t.fromA, QString()));  // already there
  EXPECT_EQ(ui_.unscripted(), 0);

  // The comparison starts the toolkit for itself and stops it again.
  EXPECT_EQ(h.CompareCertificates(t.fromA, t.fromA), 1);
  EXPECT_EQ(h.CompareCertificates(t.fromA, t.fromB), 0);
  EXPECT_EQ(ql::QL_is_initialized(), 0);
}

// The LDAP look-up picks, of the entry's certificates, the one whose issuer
// is the one asked for, as the toolkit decodes them.
TEST_F(StartEngineTest, LdapLookupReturnsTheEntryWhoseIssuerMatches) {
  StartEngine();
  std::string why;
  test_support::SlapdServer server;
  if (test_support::SlapdServer::program().empty()) {
    why = "slapd is not installed (scripts/install-deps.sh installs it)";
  } else if (!server.start(&why)) {
    why = "slapd did not start: " + why;
  }
  if (!why.empty()) {
    if (testing::under_ci()) FAIL() << why;
    GTEST_SKIP() << why;
  }
  const TwoIssuers& t = two_issuers();
  ASSERT_FALSE(t.fromA.isEmpty() || t.fromB.isEmpty());
  const auto der = [](const QByteArray& b) { return std::vector<unsigned char>(b.begin(), b.end()); };
  ASSERT_TRUE(
      server.add({"holder", {"device", "pkiUser", "dossarSerialHolder"}, "42", {der(t.fromB), der(t.fromA)}}, &why))
      << why;
  {
    RegistryKey key;
    open_key(key, "\\Ldap");
    ASSERT_TRUE(key.SetDword("Start", 1));
    ASSERT_TRUE(key.SetString("Connect", "127.0.0.1"));
    ASSERT_TRUE(key.SetString("Port", std::to_string(server.port())));
    ASSERT_TRUE(key.SetString("Search", test_support::SlapdServer::suffix()));
  }
  QByteArray found;
  ASSERT_EQ(LookupLdapCertificate("2A", t.issuerA, found), 1);
  EXPECT_EQ(found, t.fromA);
  ASSERT_EQ(LookupLdapCertificate("2A", t.issuerB, found), 1);
  EXPECT_EQ(found, t.fromB);
  DistinguishedName nobody = t.issuerA;
  nobody.CN = "CA C";
  QByteArray untouched = "untouched";
  EXPECT_EQ(LookupLdapCertificate("2A", nobody, untouched), 0);
  EXPECT_EQ(untouched, "untouched");
}

// Waits until `flag` is set or `limit` has passed.
bool becomes_true(const std::atomic<bool>& flag, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!flag.load() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(5ms);
  return flag.load();
}

TEST(OperationLock, SecondThreadWaitsAndTheHolderMayTakeItAgain) {
  std::atomic<bool> entered{false};
  std::thread second;
  {
    const OperationLock first;
    EXPECT_TRUE(OperationLock::heldByThisThread());
    {
      const OperationLock again;  // the same thread: no wait
      EXPECT_TRUE(OperationLock::heldByThisThread());
    }
    second = std::thread([&] {
      EXPECT_FALSE(OperationLock::heldByThisThread());
      const OperationLock mine;
      entered = true;
    });
    // Still held after the inner release: the other thread stays out.
    EXPECT_FALSE(becomes_true(entered, 300ms));
  }
  EXPECT_FALSE(OperationLock::heldByThisThread());
  EXPECT_TRUE(becomes_true(entered, 20s));
  second.join();
}

// A comparison starts the toolkit, so it waits for a running operation, and
// runs at once inside the operation's own thread.
TEST_F(StartEngineTest, OperationLockKeepsCompareCertificatesOutOfARunningOperation) {
  StartEngine();
  const TwoIssuers& t = two_issuers();
  ASSERT_FALSE(t.fromA.isEmpty());
  std::atomic<bool> compared{false};
  std::atomic<int> result{-1};
  std::thread other;
  {
    const OperationLock operation;
    EXPECT_EQ(engine_helper().CompareCertificates(t.fromA, t.fromA), 1);
    other = std::thread([&] {
      result = engine_helper().CompareCertificates(t.fromA, t.fromA);
      compared = true;
    });
    EXPECT_FALSE(becomes_true(compared, 300ms));
  }
  EXPECT_TRUE(becomes_true(compared, 20s));
  other.join();
  EXPECT_EQ(result.load(), 1);
}

// Every holder closes only what it opened: an extra Close, of a hold or of
// a session object that never opened, leaves the toolkit to the others.
TEST(SessionHold, AnExtraCloseLeavesTheToolkitToItsOtherHolders) {
  ASSERT_EQ(ql::QL_is_initialized(), 0);
  CryptoSession session;
  SessionHold first(session);
  ASSERT_EQ(first.Open(), ql::QL_OK);
  {
    SessionHold second(session);
    EXPECT_EQ(second.Open(), ql::QL_OK);
    EXPECT_EQ(session.OpenCount(), 2);
    second.Close();
    second.Close();
    EXPECT_FALSE(second.isOpen());
  }
  EXPECT_EQ(session.OpenCount(), 1);
  EXPECT_NE(ql::QL_is_initialized(), 0);

  CryptoSession never;
  EXPECT_EQ(never.Close(), 0);
  EXPECT_EQ(never.OpenCount(), 0);
  EXPECT_NE(ql::QL_is_initialized(), 0);

  first.Close();
  EXPECT_EQ(session.OpenCount(), 0);
  EXPECT_EQ(ql::QL_is_initialized(), 0);
  EXPECT_EQ(session.Close(), 0);  // one too many: nothing
  EXPECT_EQ(session.OpenCount(), 0);
}

// Opening again with the author's container first closes the hold's own
// open, so the toolkit really starts afresh; a container that does not open
// leaves the session opened without one.
TEST(SessionHold, ReopenWithTheAuthorsContainerClosesItsOwnOpenFirst) {
  ASSERT_EQ(ql::QL_is_initialized(), 0);
  CryptoSession session;
  {
    SessionHold hold(session);
    ASSERT_EQ(hold.Open(), ql::QL_OK);
    EXPECT_EQ(hold.OpenWithPath(QStringLiteral("/nonexistent-dossar/container")), ql::QL_OK);
    EXPECT_TRUE(hold.isOpen());
    EXPECT_EQ(session.OpenCount(), 1);
    EXPECT_NE(ql::QL_is_initialized(), 0);
    EXPECT_TRUE(OperationLock::heldByThisThread());
  }
  EXPECT_EQ(session.OpenCount(), 0);
  EXPECT_EQ(ql::QL_is_initialized(), 0);
  EXPECT_FALSE(OperationLock::heldByThisThread());
}

}  // namespace
}  // namespace dsutils
