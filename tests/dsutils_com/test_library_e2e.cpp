// libDSUtils.so end to end, as the main program uses it: loaded by name,
// the object made through the library's entry points, and every command-line
// key run on a scratch directory with the real engine and toolkit inside the
// library. Every question the library asks is answered from a script; one
// the test did not expect fails it. The stock openssl verifies the .sgn.
#include <sys/stat.h>

#include <QDir>
#include <QFile>

#include "dsutils/com/idsutil.h"
#include "dsutils/com/test_hooks.h"
#include "dsutils/engine/crypto_session.h"
#include "platform/dynlib.h"
#include "platform/registry/registry_key.h"
#include "tests/dsutils/operation_fixture.h"
#include "tests/support/run_program.h"

namespace dsutils::testing {
namespace {

using platform::reg::RegistryKey;

// A command line's answer and the code it wrote (preset, so "not written" shows).
struct Outcome {
  HResult answer = HResult::False;
  std::int32_t code = -77;
};

class LibraryE2e : public OperationTest {
 protected:
  // The keys are made before the library is loaded: once it runs, its own
  // copy of the crypto library is the one registered in the process.
  static void SetUpTestSuite() {
    OperationTest::SetUpTestSuite();
    ASSERT_FALSE(operation_pki(true).executor.der.isEmpty());
    ASSERT_FALSE(operation_pki(false).executor.der.isEmpty());
  }
  void SetUp() override {
    OperationTest::SetUp();
#ifndef QCRYPTO_TEST_HOOKS
    GTEST_SKIP() << "this build has no test hooks: the library cannot take a scripted UI";
#else
    setenv("DOSSAR_LIB_PATH", DSUTILS_DIR, 1);
    ASSERT_TRUE(lib_.open("DSUtils.dll")) << "libDSUtils.so not found in " << DSUTILS_DIR;
    static const char* const names[] = {"DSUtilTestCreateWithUi", "DSUtilRelease"};
    void* found[2] = {};
    ASSERT_TRUE(lib_.bind_all(names, found, 2));
    create_ = reinterpret_cast<IDSUtil* (*)(EngineUi*)>(found[0]);
    release_ = reinterpret_cast<void (*)(IDSUtil*)>(found[1]);
    object_ = create_(&script_);
    ASSERT_NE(object_, nullptr);
#endif
  }
  void TearDown() override {
    if (object_ != nullptr) release_(object_);
    object_ = nullptr;
    unsetenv("DOSSAR_LIB_PATH");
    OperationTest::TearDown();
  }

  Outcome run(const char* key, const QString& param) {
    Outcome o;
    o.answer = object_->CommanLineEx(QString::fromLatin1(key), param, &o.code);
    return o;
  }

  // The message kind as this process's own toolkit reads it: 1 signed, 2 enveloped.
  static int kind(const QString& file) {
    CryptoSession& session = global_crypto_session();
    SessionHold hold(session);
    if (hold.Open() != 0) return -1;
    return session.GetFileType(file);
  }

  QStringList files_of(const QString& rel) const {
    return QDir(path(rel)).entryList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
  }

  // Everything asked so far was scripted.
  void expect_all_scripted() const {
    std::string calls;
    for (const std::string& c : script_.calls()) calls += c + " ";
    EXPECT_EQ(script_.unscripted(), 0) << "asked: " << calls;
  }

  platform::DynLib lib_;
  IDSUtil* (*create_)(EngineUi*) = nullptr;
  void (*release_)(IDSUtil*) = nullptr;
  ScriptedUi script_;
  IDSUtil* object_ = nullptr;
};

TEST_F(LibraryE2e, EveryKeyThroughTheLibraryLoadedByName) {
  // Signed by an RSA executor, whose .sgn the stock openssl verifies.
  const OperationPki& rsa = operation_pki(true);
  install_directory(rsa);
  const std::string signedText = "signed through the library\n";
  const std::string encryptedText = "encrypted through the library\n";
  const std::string bothText = "signed and encrypted through the library\n";
  write_file("docs/s.txt", signedText);
  write_file("docs/e.txt", encryptedText);
  write_file("docs/a.txt", bothText);

  // -s: a .sgn beside the document, which the stock openssl verifies.
  script_.queuePassword(kKeyPassword);
  const QString s = path("docs/s.txt");
  Outcome o = run("-s", QStringLiteral("--in=%1 --out=%1.sgn").arg(s));
  EXPECT_EQ(o.answer, HResult::Ok);
  EXPECT_EQ(o.code, kOpOk);
  ASSERT_TRUE(QFile::exists(s + QStringLiteral(".sgn")));
  EXPECT_EQ(kind(s + QStringLiteral(".sgn")), 1);
  test_support::ProgramOptions options;
  options.preload = test_support::sanitizer_runtime();
  if (!options.preload.empty()) options.environment.emplace_back("ASAN_OPTIONS=detect_leaks=0");
  const test_support::ProgramResult verified = test_support::run_program(
      {DOSSAR_OPENSSL_PROGRAM, "cms", "-verify", "-binary", "-inform", "DER", "-CAfile",
       pem_file(rsa.ca.certPem, "ca.pem").toStdString(), "-certfile",
       pem_file(rsa.executor.certPem, "exec.pem").toStdString(), "-in", (s + QStringLiteral(".sgn")).toStdString(),
       "-out", path("verified.bin").toStdString()},
      options);
  EXPECT_EQ(verified.status, 0) << verified.output;
  EXPECT_EQ(read_file(path("verified.bin")), signedText);

  // Encrypted, signed and unpacked by a GOST executor, who reads what it
  // encrypts: its certificate is the one recipient.
  const OperationPki& pki = operation_pki(false);
  install_directory(pki);
  {
    RegistryKey users;
    open_key(users, "\\Certificats\\Users");
    ASSERT_TRUE(
        users.SetBinary("60", pki.executor.der.constData(), static_cast<std::uint32_t>(pki.executor.der.size())));
  }
  set_encrypt_settings(1, {QStringLiteral("60")});

  // -e: an enveloped .enc for the saved recipient.
  script_.queuePassword(kKeyPassword);
  const QString e = path("docs/e.txt");
  o = run("-e", QStringLiteral("--in=%1 --out=%1.enc").arg(e));
  EXPECT_EQ(o.answer, HResult::Ok);
  EXPECT_EQ(o.code, kOpOk);
  EXPECT_EQ(kind(e + QStringLiteral(".enc")), 2);
  EXPECT_EQ(recipients_of(e + QStringLiteral(".enc")), 1);

  // -a: signed, then enveloped, in one file.
  script_.queuePassword(kKeyPassword);
  const QString a = path("docs/a.txt");
  o = run("-a", QStringLiteral("--in=%1").arg(a));
  EXPECT_EQ(o.answer, HResult::Ok);
  EXPECT_EQ(o.code, kOpOk);
  ASSERT_TRUE(QFile::exists(a + QStringLiteral(".sgn.enc")));
  EXPECT_EQ(kind(a + QStringLiteral(".sgn.enc")), 2);
  EXPECT_EQ(files_of("docs"), (QStringList{"a.txt", "a.txt.sgn.enc", "e.txt", "e.txt.enc", "s.txt", "s.txt.sgn"}));
  expect_all_scripted();

  // -u over a folder: the .enc and the .sgn.enc are decrypted (the second
  // one verified too), with the executor's key loaded once.
  ASSERT_TRUE(QDir().mkpath(path("unpack")));
  ASSERT_TRUE(QFile::copy(e + QStringLiteral(".enc"), path("unpack/e.txt.enc")));
  ASSERT_TRUE(QFile::copy(a + QStringLiteral(".sgn.enc"), path("unpack/a.txt.sgn.enc")));
  script_.queuePassword(kKeyPassword);
  o = run("-u", QStringLiteral("--in=%1").arg(path("unpack")));
  EXPECT_EQ(o.answer, HResult::Ok);
  const QString log = QString::fromStdString(read_file(path("events.log")));
  EXPECT_EQ(o.code, kOpOk) << log.toStdString();
  const QStringList unpacked = files_of("unpack");
  EXPECT_TRUE(unpacked.contains(QStringLiteral("e.txt"))) << unpacked.join(QLatin1Char(' ')).toStdString();
  EXPECT_EQ(read_file(path("unpack/e.txt")), encryptedText);
  EXPECT_TRUE(unpacked.contains(QStringLiteral("a.txt.sgn"))) << unpacked.join(QLatin1Char(' ')).toStdString();
  EXPECT_EQ(kind(path("unpack/a.txt.sgn")), 1);
  // An automatic run shows no summary; the event log has it.
  EXPECT_TRUE(script_.messages().empty());
  EXPECT_TRUE(log.contains(QStringLiteral("расшифрование - 2"))) << log.toStdString();
  EXPECT_TRUE(log.contains(QStringLiteral("проверка подписи - 1"))) << log.toStdString();
  expect_all_scripted();

  // -v: the arguments are checked, nothing runs and nothing is touched.
  const QStringList before = files_of("docs");
  const std::size_t asked = script_.calls().size();
  o = run("-v", QStringLiteral("--in=%1").arg(s));
  EXPECT_EQ(o.answer, HResult::Ok);
  EXPECT_EQ(o.code, 0);
  EXPECT_EQ(files_of("docs"), before);
  EXPECT_EQ(script_.calls().size(), asked);
  EXPECT_TRUE(work_root_entries().isEmpty()) << work_root_entries().join(QLatin1Char(' ')).toStdString();
  expect_all_scripted();
}

// The failures come back as codes, with nothing written and nothing asked.
TEST_F(LibraryE2e, BadInputGivesItsCodeAndTouchesNothing) {
  install_directory(operation_pki(true));
  write_file("docs/a.txt", "x");
  ASSERT_EQ(::mkfifo(path("docs/fifo").toLocal8Bit().constData(), 0600), 0);
  struct Row {
    const char* key;
    QString param;
    std::int32_t code;
  };
  const Row rows[] = {
      {"-s", QStringLiteral("--in=") + path("docs/missing"), kOpNoFiles},
      {"-a", QStringLiteral("--in= --out=") + path("docs"), kOpNoFiles},
      {"-s", QStringLiteral("--in=") + path("docs/fifo"), kOpNoFiles},
      {"-x", QStringLiteral("--in=") + path("docs/a.txt"), kOpUnknownKey},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.key) + " " + r.param.toStdString());
    const Outcome o = run(r.key, r.param);
    EXPECT_EQ(o.answer, HResult::False);
    EXPECT_EQ(o.code, r.code);
    EXPECT_EQ(files_of("docs"), (QStringList{"a.txt"}));
  }
  EXPECT_TRUE(script_.calls().empty());
}

}  // namespace
}  // namespace dsutils::testing
