// One world for the operation tests: a CA with a CRL folder, the executor
// (a password-protected key file) and two other users in the local
// directory, working folders and the event log in the test's scratch folder,
// and the real toolkit in the process. The keys and certificates are made
// once per process (key generation is slow under the sanitizers).
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>
#include <string>
#include <vector>

#include "dsutils/engine/engine_helper.h"
#include "dsutils/engine/operation_kit.h"
#include "tests/dsutils/engine_test_util.h"
#include "tests/support/gost_pki.h"
#include "tests/support/run_program.h"

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

// The sign dialog accepted with these choices (`out` empty: the default name).
SignAnswer sign_answer(bool detached, const QString& out, bool cert = true, bool time = true);

struct SortRow {
  std::uint32_t Result = 0, ResultExist = 0, Source = 1, SourceExist = 0, Error = 0, ErrorExist = 0;
};

// One row of the sorting tables: Result 0/1 x Source 0/1/2 x the *Exist
// words, or a fresh settings tree (no Sorting key at all).
struct SortingCase {
  bool fresh = false;
  SortRow sort;
  std::string what() const;
};
// Every row, the fresh tree last.
std::vector<SortingCase> sorting_cases();

inline constexpr const char* kOldResult = "old result";
inline constexpr const char* kOldSource = "old source";

// The number of recipients of an enveloped message, -1 when it is none.
int recipients_of(const QString& file);

// What the stock openssl command needs to open an enveloped file by hand
// (its `cms -decrypt` knows no RUS-GAMMAR content cipher): one recipient's
// encrypted content key (found by certificate serial), the content's IV and
// the encrypted content.
struct Envelope {
  std::string encryptedKey, iv, content;
};
// False when `der` is no enveloped message or has no copy for `serial`.
bool open_envelope(const std::string& der, long serial, Envelope& out);

// Bytes as lowercase hex digits (the form `openssl enc -K/-iv` takes).
std::string hex(const std::string& bytes);

// A document's bytes: its name on the first line, padded to `size`.
std::string doc_text(const QString& name, std::size_t size);

class OperationTest : public EngineTest {
 protected:
  // Documents under docs/ with doc_text(name, size); their full paths.
  QStringList make_docs(const QStringList& names, std::size_t size);

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

  // The stock `openssl cms -decrypt` (the program `openssl`) refuses
  // `enveloped` for the recipient of the PEM files `cert` and `key`, with
  // the provider module of `moduleDir` and without: it knows no RUS-GAMMAR
  // content cipher, and writes nothing.
  void expect_stock_cms_refuses(const std::string& openssl, const std::string& moduleDir, const QString& enveloped,
                                const QString& cert, const QString& key);
  // `e` opened by hand as a recipient with only the stock command opens it:
  // `pkeyutl -decrypt` unwraps the content key with the PEM file `key` into
  // `cek` (a fatal failure when it cannot), then `enc -d -rus-gammar` of the
  // provider module decrypts the content with it into `out`.
  void stock_unwrap_key(const std::string& openssl, const Envelope& e, const QString& key, std::string& cek);
  test_support::ProgramResult stock_decrypt_content(const std::string& openssl, const std::string& moduleDir,
                                                    const Envelope& e, const std::string& cek, const QString& out);

  // A sorting row set up: docs/ and sorted/{result,source,error}/ emptied,
  // the Sorting\<code> words written, or for the fresh row a settings tree
  // that never had a Sorting key, with the directory of `pki` in it.
  void prepare_sorting(const SortingCase& c, const QString& code, const OperationPki& pki);
  // Where the row puts results and processed sources.
  QString result_dir(const SortingCase& c) const;
  QString source_dir(const SortingCase& c) const;
  // Files already at the targets: kOldResult under each result name in
  // the result folder, kOldSource under each source name in the source
  // folder (Source 2 only).
  void plant_old_files(const SortingCase& c, const QStringList& resultNames, const QStringList& sourceNames);
  // The files of `dir` matching `pattern` whose bytes pass `match`.
  int count_files(const QString& dir, const QString& pattern,
                  const std::function<bool(const QString& file, const std::string& bytes)>& match) const;
  // One file of a group processed under row `c`: one new result in the
  // result folder (`isResult`) beside a planted one when a unique name was
  // asked for; the source at its place (Source 1, fresh tree) or in the
  // source folder beside a planted one (Source 2), or gone (Source 0).
  void check_group_file(const SortingCase& c, const QString& name, const std::string& original,
                        const QString& resultSuffix,
                        const std::function<bool(const QString& file, const std::string& bytes)>& isResult);
};

}  // namespace dsutils::testing
