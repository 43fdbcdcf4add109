// The operations end to end: what they write is checked by the toolkit, by
// the stock openssl command (RSA parties, the provider module loaded) and by
// GNU tar; two operations of different authors run at once.
#include <openssl/pkcs7.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <thread>
#include <utility>

#include "dsutils/engine/signature_archive.h"
#include "tests/dsutils/operation_fixture.h"
#include "tests/support/run_program.h"

extern "C" char** environ;
QCRYPTO_DECLARE_OWNER(PKCS7, PKCS7_free)

namespace dsutils::testing {
namespace {

namespace ql = quillon2;
using test_support::ProgramResult;

// The stock command with the provider module loaded after its subcommand.
ProgramResult run_openssl(std::vector<std::string> args) {
  return test_support::run_openssl_with_module(DOSSAR_OPENSSL_PROGRAM, DOSSAR_PROVIDER_DIR, std::move(args));
}

std::vector<std::string> tar_list(const QString& archive) {
  const ProgramResult r = test_support::run_program({"tar", "-tf", archive.toStdString()});
  std::vector<std::string> names;
  if (r.status != 0) return names;
  std::string line;
  for (const char c : r.output) {
    if (c != '\n') {
      line.push_back(c);
    } else {
      names.push_back(line);
      line.clear();
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

class OperationsE2e : public OperationTest {
 protected:
  void use(bool rsa) { install_directory(operation_pki(rsa)); }

  // docs/a.txt holding `plain` encrypted to docs/a.txt.enc for the
  // recipients 61 and 62 through the operation's dialog; the source stays.
  void encrypt_for_two_readers(const std::string& plain) {
    write_file("docs/a.txt", plain);
    ScriptedUi ui;
    EncryptAnswer sheet;
    sheet.accepted = true;
    sheet.outputName = path("docs/a.txt.enc");
    sheet.recipients = QStringList{"61", "62"};
    ui.queueEncrypt(sheet);
    OperationJob job;
    job.files << path("docs/a.txt");
    {
      const OperationUiScope scope(&ui);
      ASSERT_EQ(EncryptGroup(&job), 1);
    }
    ASSERT_EQ(job.result, kOpOk);
    EXPECT_EQ(read_file(path("docs/a.txt")), plain);
  }

  // The toolkit's verdict over a signature (detached: with the document):
  // the signer's status, -1 when the message does not verify at all.
  int toolkit_verify(const PkiParty& signer, const std::string& message, const std::string& detached, bool rsa) {
    CryptoSession& session = global_crypto_session();
    SessionHold hold(session);
    if (hold.Open() != 0) return -1;
    const PkiParty& ca = operation_pki(rsa).ca;
    session.AddTrustedCertificate(reinterpret_cast<const unsigned char*>(ca.der.constData()),
                                  static_cast<long>(ca.der.size()));
    session.AddCertificate(reinterpret_cast<const unsigned char*>(signer.der.constData()),
                           static_cast<long>(signer.der.size()));
    QL_SIGN_SET* set = session.NewSignatureSet();
    unsigned char* content = nullptr;
    long contentLength = 0;
    const int code = session.VerifySignedDataEx(
        set, reinterpret_cast<const unsigned char*>(message.data()), static_cast<long>(message.size()), &content,
        &contentLength, detached.empty() ? 1 : 0,
        detached.empty() ? nullptr : reinterpret_cast<const unsigned char*>(detached.data()),
        static_cast<long>(detached.size()), nullptr);
    int status = code == 0 ? session.GetSignerStatus(set, 0) : -1;
    if (code == 0 && detached.empty() &&
        std::string(reinterpret_cast<const char*>(content), static_cast<std::size_t>(contentLength)) !=
            read_file(path("docs/a.txt")))
      status = -2;
    if (content != nullptr) session.FreeBuffer(content);
    session.FreeSignatureSet(set);
    return status;
  }

  // What a signature carries: its certificates and whether signer 0 has a
  // signing time.
  std::pair<int, bool> carried(const QString& file) {
    const std::string bytes = read_file(file);
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    qcrypto::UniquePtr<PKCS7> p7(d2i_PKCS7(nullptr, &p, static_cast<long>(bytes.size())));
    if (!p7 || PKCS7_type_is_signed(p7.get()) == 0) return {-1, false};
    const int certs = p7->d.sign->cert != nullptr ? sk_X509_num(p7->d.sign->cert) : 0;
    CryptoSession& session = global_crypto_session();
    SessionHold hold(session);
    hold.Open();
    QL_MESSAGE* m = nullptr;
    bool time = false;
    if (session.ReadMessageFileKind(file, &m) == ql::QL_KIND_SIGNED)
      time = !session.GetSignerSigningTime(m, 0).isEmpty();
    session.FreeMessage(m);
    return {certs, time};
  }

  int sign(const SignAnswer& answer) {
    ScriptedUi ui;
    ui.queueSign(answer);
    ui.queuePassword(kKeyPassword);
    OperationJob job;
    job.files << path("docs/a.txt");
    const OperationUiScope scope(&ui);
    SignGroup(&job);
    return job.result;
  }

  // Unpacks an archive with GNU tar into `into`.
  bool untar(const QString& archive, const QString& into) {
    QDir(into).removeRecursively();
    QDir().mkpath(into);
    return test_support::run_program({"tar", "-xf", archive.toStdString(), "-C", into.toStdString()}).status == 0;
  }
};

// .sgn and .sga with each option verify with the toolkit; GNU tar lists and
// unpacks each archive.
TEST_F(OperationsE2e, SignGroupSgnAndSgaWithEachOptionVerify) {
  use(false);
  const PkiParty& exec = operation_pki().executor;
  for (const bool detached : {false, true})
    for (const bool cert : {false, true})
      for (const bool time : {false, true}) {
        SCOPED_TRACE(std::string(detached ? "sga" : "sgn") + (cert ? " cert" : "") + (time ? " time" : ""));
        write_file("docs/a.txt", "signed end to end\n");
        const QString out = path(detached ? "docs/a.txt.sga" : "docs/a.txt.sgn");
        QFile::remove(out);
        ASSERT_EQ(sign(sign_answer(detached, out, cert, time)), kOpOk);
        // The options asked for, and none of the run before.
        const QString signature = detached ? path("unpacked/a.txt.1") : out;
        if (detached) {
          ASSERT_TRUE(untar(out, path("unpacked")));
        }
        EXPECT_EQ(carried(signature), std::make_pair(cert ? 1 : 0, time));
        if (!detached) {
          EXPECT_EQ(toolkit_verify(exec, read_file(out), {}, false), 0);
          continue;
        }
        EXPECT_EQ(tar_list(out), (std::vector<std::string>{"_list_._vt", "a.txt", "a.txt.1"}));
        EXPECT_EQ(toolkit_verify(exec, read_file(path("unpacked/a.txt.1")), read_file(path("unpacked/a.txt")), false),
                  0);
        EXPECT_TRUE(work_root_entries().isEmpty());
      }
}

// An RSA executor's .sgn and .sga also verify with the stock openssl cms.
TEST_F(OperationsE2e, SignGroupRsaExecutorVerifiesWithStockOpenssl) {
  use(true);
  const OperationPki& pki = operation_pki(true);
  const QString caPem = pem_file(pki.ca.certPem, "ca.pem");
  const QString execPem = pem_file(pki.executor.certPem, "exec.pem");
  for (const bool detached : {false, true}) {
    SCOPED_TRACE(detached ? "sga" : "sgn");
    write_file("docs/a.txt", "signed for the stock command\n");
    const QString out = path(detached ? "docs/a.txt.sga" : "docs/a.txt.sgn");
    ASSERT_EQ(sign(sign_answer(detached, out, false, true)), kOpOk);
    std::vector<std::string> args{"cms",
                                  "-verify",
                                  "-binary",
                                  "-inform",
                                  "DER",
                                  "-CAfile",
                                  caPem.toStdString(),
                                  "-certfile",
                                  execPem.toStdString(),
                                  "-out",
                                  path("verified.bin").toStdString()};
    if (detached) {
      ASSERT_TRUE(untar(out, path("unpacked")));
      args.insert(args.end(),
                  {"-in", path("unpacked/a.txt.1").toStdString(), "-content", path("unpacked/a.txt").toStdString()});
    } else {
      args.insert(args.end(), {"-in", out.toStdString()});
    }
    const ProgramResult r = run_openssl(args);
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(read_file(path("verified.bin")), "signed for the stock command\n");
  }
}

// Encrypted for two recipients: each one decrypts with its own key through
// the toolkit.
TEST_F(OperationsE2e, EncryptGroupTwoRecipientsEachDecrypt) {
  use(false);
  const OperationPki& pki = operation_pki();
  ASSERT_NO_FATAL_FAILURE(encrypt_for_two_readers("for two readers\n"));
  for (const PkiParty* reader : {&pki.user1, &pki.user2}) {
    write_file("keys/reader.p8", reader->keyPkcs8);
    QFile::remove(path("plain.out"));
    CryptoSession& session = global_crypto_session();
    SessionHold hold(session);
    ASSERT_EQ(hold.OpenWithPath(random_state_container()), 0);
    ASSERT_EQ(session.LoadKeyFile(path("keys/reader.p8"), kKeyPassword), 0);
    session.AddCertificate(reinterpret_cast<const unsigned char*>(reader->der.constData()),
                           static_cast<long>(reader->der.size()));
    EXPECT_EQ(session.DecryptFile(path("docs/a.txt.enc"), path("plain.out"), nullptr), 0);
    EXPECT_EQ(read_file(path("plain.out")), "for two readers\n");
  }
}

// RSA recipients and the stock openssl command. The bulk cipher is always
// RUS-GAMMAR, and `openssl cms` of OpenSSL 3.0 looks a content cipher up
// only among its built-in ones, so `cms -decrypt` refuses the file with or
// without the provider module. Each recipient still opens it with the
// stock command alone: `pkeyutl -decrypt` unwraps its copy of the content
// key (plain RSA key transport), `enc -d -rus-gammar` (provider module)
// decrypts the content with it.
TEST_F(OperationsE2e, EncryptGroupRsaRecipientsEachDecryptWithStockOpenssl) {
  use(true);
  const OperationPki& pki = operation_pki(true);
  const std::string plain = "for two readers of the stock command\n";
  ASSERT_NO_FATAL_FAILURE(encrypt_for_two_readers(plain));
  const std::string enveloped = read_file(path("docs/a.txt.enc"));
  EXPECT_EQ(enveloped.find(plain), std::string::npos);
  EXPECT_TRUE(work_root_entries().isEmpty());

  std::string firstKey;
  struct Reader {
    const PkiParty* party;
    long serial;
  };
  for (const Reader& reader : {Reader{&pki.user1, 0x61}, Reader{&pki.user2, 0x62}}) {
    SCOPED_TRACE(reader.serial);
    const QString cert = pem_file(reader.party->certPem, QStringLiteral("reader.pem"));
    const QString key = pem_file(reader.party->keyPem, QStringLiteral("reader.key"));
    expect_stock_cms_refuses(DOSSAR_OPENSSL_PROGRAM, DOSSAR_PROVIDER_DIR, path("docs/a.txt.enc"), cert, key);

    Envelope e;
    ASSERT_TRUE(open_envelope(enveloped, reader.serial, e));
    std::string cek;
    ASSERT_NO_FATAL_FAILURE(stock_unwrap_key(DOSSAR_OPENSSL_PROGRAM, e, key, cek));
    ASSERT_EQ(cek.size(), 32u);
    if (firstKey.empty()) firstKey = cek;
    EXPECT_EQ(cek, firstKey);  // one content key for every recipient
    const ProgramResult decrypted =
        stock_decrypt_content(DOSSAR_OPENSSL_PROGRAM, DOSSAR_PROVIDER_DIR, e, cek, path("plain.out"));
    EXPECT_EQ(decrypted.status, 0) << decrypted.output;
    EXPECT_EQ(read_file(path("plain.out")), plain);
  }
}

// AddSignature's archive: GNU tar lists it, every signature verifies.
TEST_F(OperationsE2e, AddSignatureArchiveListsWithTarAndEverySignatureVerifies) {
  use(false);
  const OperationPki& pki = operation_pki();
  write_file("docs/a.txt", "co-signed\n");
  const QString out = path("docs/a.txt.sga");
  ASSERT_EQ(sign(sign_answer(true, out, true, true)), kOpOk);
  set_executor(pki.user1, QStringLiteral("second"));
  ScriptedUi ui;
  SignAnswer a = sign_answer(false, QString(), true, true);
  ui.queueSign(a);
  ui.queuePassword(kKeyPassword);
  OperationJob job;
  job.files << out;
  {
    const OperationUiScope scope(&ui);
    ASSERT_EQ(AddSignature(&job), 1);
  }
  EXPECT_EQ(tar_list(out), (std::vector<std::string>{"_list_._vt", "a.txt", "a.txt.1", "a.txt.2"}));
  ASSERT_TRUE(untar(out, path("unpacked")));
  const std::string doc = read_file(path("unpacked/a.txt"));
  EXPECT_EQ(toolkit_verify(pki.executor, read_file(path("unpacked/a.txt.1")), doc, false), 0);
  EXPECT_EQ(toolkit_verify(pki.user1, read_file(path("unpacked/a.txt.2")), doc, false), 0);
  EXPECT_TRUE(work_root_entries().isEmpty());
}

// Two operations started at once by two threads, each with its own author
// (key file and key container) and its own interface: both signatures are
// their author's and verify.
TEST_F(OperationsE2e, SignGroupTwoOperationsAtOnceWithDifferentAuthors) {
  use(false);
  const OperationPki& pki = operation_pki();
  ASSERT_FALSE(random_state_container(1).isEmpty());
  struct Run {
    const PkiParty* author;
    QString name;
    int container;
    int result = -1;
  };
  Run runs[] = {{&pki.executor, "one.txt", 0}, {&pki.user1, "two.txt", 1}};
  for (Run& r : runs) {
    write_file("docs/" + r.name, "document " + r.name.toStdString() + "\n");
    write_file("keys/" + r.name + ".p8", r.author->keyPkcs8);
  }
  std::vector<std::thread> threads;
  for (Run& r : runs) {
    threads.emplace_back([&, run = &r] {
      ScriptedUi ui;
      SignAnswer a = sign_answer(false, path("docs/" + run->name + ".sgn"), true, true);
      OwnerRecord author;
      author.name = run->name;
      author.path = random_state_container(run->container);
      author.file = path("keys/" + run->name + ".p8");
      author.serNum = run->author->der;
      a.author = author;
      ui.queueSign(a);
      ui.queuePassword(kKeyPassword);
      OperationJob job;
      job.files << path("docs/" + run->name);
      const OperationUiScope scope(&ui);
      SignGroup(&job);
      run->result = job.result;
    });
  }
  for (std::thread& t : threads) t.join();
  for (const Run& r : runs) {
    SCOPED_TRACE(r.name.toStdString());
    EXPECT_EQ(r.result, kOpOk);
    CryptoSession& session = global_crypto_session();
    {
      SessionHold hold(session);
      hold.Open();
      QL_MESSAGE* m = nullptr;
      ASSERT_EQ(session.ReadMessageFileKind(path("docs/" + r.name + ".sgn"), &m), ql::QL_KIND_SIGNED);
      QString serial;
      DistinguishedName issuer;
      QString text;
      ASSERT_EQ(DescribeCertificate(session, r.author->der, text, &serial, &issuer), 0);
      EXPECT_EQ(session.GetSignerSerial(m, 0), serial);
      session.FreeMessage(m);
    }
    EXPECT_TRUE(read_file(path("docs/" + r.name)) == "document " + r.name.toStdString() + "\n");
  }
  EXPECT_TRUE(work_root_entries().isEmpty());
}

// An RSA author and recipient: the .sgn.enc opens with the stock commands as
// an encrypted file does (`cms -decrypt` knows no RUS-GAMMAR, see above),
// and the signed file inside verifies with the stock `cms -verify`.
TEST_F(OperationsE2e, SignEncryptGroupRsaOpensAndVerifiesWithStockOpenssl) {
  use(true);
  const OperationPki& pki = operation_pki(true);
  set_encrypt_settings(0, {"61"});
  set_log_options(0, 1, 0);
  const std::string plain = "signed and encrypted for the stock command\n";
  write_file("docs/a.txt", plain);
  ScriptedUi ui;
  ui.queuePassword(kKeyPassword);
  OperationJob job;
  job.automatic = true;
  job.files << path("docs/a.txt");
  {
    const OperationUiScope scope(&ui);
    ASSERT_EQ(SignEncryptGroup(&job), 1);
  }
  ASSERT_EQ(job.result, kOpOk);
  EXPECT_EQ(QDir(docs()).entryList(QDir::Files, QDir::Name), (QStringList{"a.txt", "a.txt.sgn.enc"}));
  Envelope e;
  ASSERT_TRUE(open_envelope(read_file(path("docs/a.txt.sgn.enc")), 0x61, e));
  const QString key = pem_file(pki.user1.keyPem, QStringLiteral("reader.key"));
  std::string cek;
  ASSERT_NO_FATAL_FAILURE(stock_unwrap_key(DOSSAR_OPENSSL_PROGRAM, e, key, cek));
  const ProgramResult decrypted =
      stock_decrypt_content(DOSSAR_OPENSSL_PROGRAM, DOSSAR_PROVIDER_DIR, e, cek, path("a.txt.sgn"));
  ASSERT_EQ(decrypted.status, 0) << decrypted.output;
  const ProgramResult verified = run_openssl(
      {"cms", "-verify", "-binary", "-inform", "DER", "-CAfile", pem_file(pki.ca.certPem, "ca.pem").toStdString(),
       "-certfile", pem_file(pki.executor.certPem, "exec.pem").toStdString(), "-in", path("a.txt.sgn").toStdString(),
       "-out", path("verified.bin").toStdString()});
  EXPECT_EQ(verified.status, 0) << verified.output;
  EXPECT_EQ(read_file(path("verified.bin")), plain);
}

// Ctrl-C while dsengine signs: the operation is cancelled (result=184) and
// the source is whole; nothing else is left behind.
TEST_F(OperationsE2e, SignGroupCtrlCInDsengineCancelsWithTheSourceWhole) {
  use(false);
  std::string content(8 << 20, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>((i * 2654435761u) >> 13);
  write_file("docs/big.bin", content);
  int passwords[2], err[2], out[2];
  ASSERT_EQ(::pipe(passwords), 0);
  ASSERT_EQ(::pipe(err), 0);
  ASSERT_EQ(::pipe(out), 0);
  const std::string pw = std::string(kKeyPassword) + "\n";
  ASSERT_EQ(::write(passwords[1], pw.data(), pw.size()), static_cast<ssize_t>(pw.size()));
  ::close(passwords[1]);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, passwords[0], 3);
  posix_spawn_file_actions_adddup2(&fa, err[1], 2);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  const std::string file = path("docs/big.bin").toStdString();
  const char* argv[] = {DOSSAR_DSENGINE, "sign", "--password-fd=3", file.c_str(), nullptr};
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, DOSSAR_DSENGINE, &fa, nullptr, const_cast<char* const*>(argv), environ), 0);
  posix_spawn_file_actions_destroy(&fa);
  ::close(passwords[0]);
  ::close(err[1]);
  ::close(out[1]);
  // Once the file is named, the operation is under way.
  std::string seen;
  char c = 0;
  while (seen.find(file) == std::string::npos && ::read(err[0], &c, 1) == 1) seen.push_back(c);
  ASSERT_NE(seen.find(file), std::string::npos) << seen;
  ASSERT_EQ(::kill(pid, SIGINT), 0);
  std::string stdoutText;
  while (::read(out[0], &c, 1) == 1) stdoutText.push_back(c);
  while (::read(err[0], &c, 1) == 1) seen.push_back(c);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ::close(err[0]);
  ::close(out[0]);
  EXPECT_EQ(stdoutText, "result=184\n") << seen;
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_TRUE(read_file(path("docs/big.bin")) == content);
  EXPECT_EQ(QDir(docs()).entryList(QDir::Files), QStringList{"big.bin"});
  EXPECT_TRUE(work_root_entries().isEmpty());
}

}  // namespace
}  // namespace dsutils::testing
