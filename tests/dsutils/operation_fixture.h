// One world for the operation tests: a CA with a CRL folder, the executor
// (a password-protected key file) and two other users in the local
// directory, working folders and the event log in the test's scratch folder,
// and the real toolkit in the process. The keys and certificates are made
// once per process (key generation is slow under the sanitizers).
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <string>

#include "dsutils/engine/engine_helper.h"
#include "dsutils/engine/operation_kit.h"
#include "tests/dsutils/engine_test_util.h"
#include "tests/support/gost_pki.h"

namespace dsutils::testing {

inline constexpr const char* kKeyPassword = "pw-exec";

struct PkiParty {
  QByteArray der;        // certificate
  std::string keyPkcs8;  // the private key, encrypted with kKeyPassword
  std::string keyPem;    // the private key, plain PEM (for the stock openssl)
  std::string certPem;
};

struct OperationPki {
  PkiParty ca, executor, user1, user2;
  // A second executor with the executor's serial from another CA.
  PkiParty otherCa, twin;
  QByteArray crl;
};

// The key medium of the executor entries: a key container with a saved
// random state (the toolkit's generator is seeded from it at each start);
// the executor's key itself is a key file. Empty when it could not be made.
// `which` 0 or 1: two containers for two authors.
const QString& random_state_container(int which = 0);

// GOST R 34.10-2001 parties, or RSA ones; made once per process and type.
const OperationPki& operation_pki(bool rsa = false);

struct SortRow {
  std::uint32_t Result = 0, ResultExist = 0, Source = 1, SourceExist = 0, Error = 0, ErrorExist = 0;
};

class OperationTest : public EngineTest {
 protected:
  static void SetUpTestSuite();
  void SetUp() override;
  void TearDown() override;

  // The executor entry, CA, CRL folder and users of `pki` into the registry.
  void install_directory(const OperationPki& pki, const QString& entry = QStringLiteral("exec"));
  // The executor's key file written again from `party` (another author).
  void set_executor(const PkiParty& party, const QString& entry);
  void set_sorting(const QString& code, const SortRow& row);
  void set_log_options(std::uint32_t isCert, std::uint32_t isTime, std::uint32_t isSgn);
  void set_encrypt_settings(std::uint32_t isAuto, const QStringList& users);

  // The working folders' root holds nothing (but lock files of nobody).
  QStringList work_root_entries() const;

  // The party's certificate and key as PEM files in the scratch folder.
  QString pem_file(const std::string& pem, const QString& name) const;

  QString docs() const { return path("docs"); }
};

}  // namespace dsutils::testing
