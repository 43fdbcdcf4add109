// The object over the engine's own operations, in process: the command line
// signs and encrypts with the scratch directory's executor, every question
// answered by a script (an unexpected one fails the test).
#include <QFile>

#include "dsutils/com/dsutil_object.h"
#include "dsutils/com/engine_operations.h"
#include "dsutils/engine/crypto_session.h"
#include "tests/dsutils/operation_fixture.h"
#include "tests/support/run_program.h"

namespace dsutils::testing {
namespace {

class ObjectOperations : public OperationTest {
 protected:
  void SetUp() override {
    OperationTest::SetUp();
    auto ui = std::make_unique<ScriptedUi>();
    script_ = ui.get();
    object_ = std::make_unique<DSUtilObject>(engine_operations(), std::move(ui));
    write_file("docs/a.txt", "signed through the object\n");
  }
  void TearDown() override {
    if (script_ != nullptr) {
      EXPECT_EQ(script_->unscripted(), 0) << "an operation asked what the test did not expect";
    }
    object_.reset();
    OperationTest::TearDown();
  }
  // The message kind of a file as the toolkit reads it.
  int kind(const QString& file) {
    CryptoSession& session = global_crypto_session();
    SessionHold hold(session);
    if (hold.Open() != 0) return -1;
    return session.GetFileType(file);
  }
  ScriptedUi* script_ = nullptr;
  std::unique_ptr<DSUtilObject> object_;
};

TEST_F(ObjectOperations, CommandLineSignsAndEncrypts) {
  install_directory(operation_pki(false));
  script_->queuePassword(kKeyPassword);
  std::int32_t code = -77;
  const QString in = path("docs/a.txt");
  EXPECT_EQ(object_->CommanLineEx(QStringLiteral("-s"), QStringLiteral("--in=%1 --out=%1.sgn").arg(in), &code),
            HResult::Ok);
  EXPECT_EQ(code, kOpOk);
  ASSERT_TRUE(QFile::exists(in + QStringLiteral(".sgn")));
  EXPECT_EQ(kind(in + QStringLiteral(".sgn")), 1);

  set_encrypt_settings(1, {QStringLiteral("61")});
  code = -77;
  EXPECT_EQ(object_->CommanLineEx(QStringLiteral("-e"), QStringLiteral("--in=%1 --out=%1.enc").arg(in), &code),
            HResult::Ok);
  EXPECT_EQ(code, kOpOk);
  EXPECT_EQ(kind(in + QStringLiteral(".enc")), 2);

  code = -77;
  EXPECT_EQ(object_->CommanLineEx(QStringLiteral("-v"), QStringLiteral("--in=%1").arg(in), &code), HResult::Ok);
  EXPECT_EQ(code, 0);
}

// An RSA executor's .sgn, made through the command line, verifies with the
// stock openssl cms.
TEST_F(ObjectOperations, TheSignatureVerifiesWithTheStockOpenssl) {
  const OperationPki& pki = operation_pki(true);
  install_directory(pki);
  script_->queuePassword(kKeyPassword);
  const QString in = path("docs/a.txt");
  std::int32_t code = -77;
  ASSERT_EQ(object_->CommanLineEx(QStringLiteral("-s"), QStringLiteral("--in=%1 --out=%1.sgn").arg(in), &code),
            HResult::Ok);
  ASSERT_EQ(code, kOpOk);
  test_support::ProgramOptions options;
  options.preload = test_support::sanitizer_runtime();
  if (!options.preload.empty()) options.environment.emplace_back("ASAN_OPTIONS=detect_leaks=0");
  const test_support::ProgramResult r = test_support::run_program(
      {DOSSAR_OPENSSL_PROGRAM, "cms", "-verify", "-binary", "-inform", "DER", "-CAfile",
       pem_file(pki.ca.certPem, "ca.pem").toStdString(), "-certfile",
       pem_file(pki.executor.certPem, "exec.pem").toStdString(), "-in", (in + QStringLiteral(".sgn")).toStdString(),
       "-out", path("verified.bin").toStdString()},
      options);
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(read_file(path("verified.bin")), "signed through the object\n");
}

}  // namespace
}  // namespace dsutils::testing
