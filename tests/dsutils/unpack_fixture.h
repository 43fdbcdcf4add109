// A scratch world with the real toolkit for the checker and the unpack
// operation: a test CA, two parties (serials 2A and 2B) whose keys the
// session holds, look-alike certificates with the same serials from another
// CA, and helpers to sign, encrypt and fill the certificate directory.
#pragma once

#include <QByteArray>
#include <QString>
#include <initializer_list>
#include <string>
#include <vector>

#include "dsutils/engine/crypto_session.h"
#include "tests/dsutils/engine_test_util.h"
#include "tests/support/ql_fixture.h"

namespace dsutils::testing {

QByteArray bytes(const std::vector<unsigned char>& der);

// The stock openssl command the build found (a program that runs it defines
// DOSSAR_OPENSSL_PROGRAM), null when it found none.
#ifdef DOSSAR_OPENSSL_PROGRAM
inline constexpr const char* kStockOpenssl = DOSSAR_OPENSSL_PROGRAM;
#else
inline constexpr const char* kStockOpenssl = nullptr;
#endif

class UnpackFixture : public EngineTest {
 protected:
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  void SetUp() override;
  void TearDown() override;

  static const test_support::Party& partyA();
  static const test_support::Party& partyB();
  static QByteArray foreignA();
  static X509* test_ca_certificate();
  static EVP_PKEY* test_ca_key();
  static QByteArray foreignB();

  // Signs `input` with the parties' keys into `output`: the toolkit code.
  int sign(const QString& input, const QString& output, std::initializer_list<const test_support::Party*> signers,
           bool includeCertificate, int detached = 0);
  int encrypt(const QString& input, const QString& output, const test_support::Party& recipient);
  // A fresh toolkit session with the CA trusted and both keys held, and
  // nothing else: what a new operation finds.
  void restart_toolkit(bool withKeys = true);
  void directory_user(const QString& name, const QByteArray& certificate);
  // The executor "exec": its certificate, key file and key-format word.
  void set_owner(const QByteArray& certificate, const QString& keyFile = QString(), std::uint32_t sczi = 0);
  // For the SetUp of a test that runs the stock openssl command: false when
  // the build found none, the test then failed under CI and skipped
  // elsewhere, and SetUp returns.
  bool stock_openssl_at_hand();
  void ldap_settings(const std::string& connect, const std::string& port, const std::string& search = "");
};

}  // namespace dsutils::testing
