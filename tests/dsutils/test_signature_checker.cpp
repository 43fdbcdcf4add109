// The signature checker over the real toolkit and a test PKI: the protocol
// texts, layered signatures, the layer bound, per-signer failures against a
// whole-message failure, quiet mode, the LDAP source and the executor test
// of an enveloped file.
#include <gtest/gtest.h>
#include <openssl/pkcs7.h>

#include <QDir>
#include <QFile>
#include <string>
#include <vector>

#include "crypto/pkey/key_envelope.h"
#include "crypto/rand/rand.h"
#include "dsutils/engine/error_text.h"
#include "dsutils/engine/signature_checker.h"
#include "quillon2/ql_codes.h"
#include "quillon2/ql_frame.h"
#include "quillon2/ql_keys.h"
#include "tests/dsutils/engine_test_util.h"
#include "tests/dsutils/unpack_fixture.h"
#include "tests/support/gost_pki.h"
#include "tests/support/provider_fixture.h"
#include "tests/support/slapd_harness.h"

namespace dsutils::testing {
namespace {

namespace ql = quillon2;

class SignatureCheckerTest : public UnpackFixture {
 protected:
  // Flips one bit of the signature value of the signer with `serial`.
  void tamper_signer(const QString& file, long serial) {
    const std::string der = read_file(file);
    const auto* in = reinterpret_cast<const unsigned char*>(der.data());
    PKCS7* p7 = d2i_PKCS7(nullptr, &in, static_cast<long>(der.size()));
    ASSERT_NE(p7, nullptr);
    PKCS7_SIGNER_INFO* si = nullptr;
    for (int i = 0; i < sk_PKCS7_SIGNER_INFO_num(PKCS7_get_signer_info(p7)); ++i) {
      PKCS7_SIGNER_INFO* candidate = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7), i);
      if (ASN1_INTEGER_get(candidate->issuer_and_serial->serial) == serial) si = candidate;
    }
    ASSERT_NE(si, nullptr);
    auto* sig = const_cast<unsigned char*>(ASN1_STRING_get0_data(si->enc_digest));
    sig[ASN1_STRING_length(si->enc_digest) / 2] ^= 0x01;
    unsigned char* out = nullptr;
    const int n = i2d_PKCS7(p7, &out);
    ASSERT_GT(n, 0);
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(reinterpret_cast<const char*>(out), n);
    OPENSSL_free(out);
    PKCS7_free(p7);
  }
};

const SignatureRecord* by_serial(const SignatureChecker& c, const char* serial) {
  for (const auto& r : c.records())
    if (r->serial == QLatin1String(serial)) return r.get();
  return nullptr;
}

QString block0(int n, const QString& L, const QString& serial, const QString& name, const QString& source) {
  return QStringLiteral(
             " Подпись №%1\r\n%2 Результат проверки: ПОДПИСЬ ПОДТВЕРЖДЕНА\r\n%2 Атрибуты сертификата  "
             "автора подписи:\r\n    серийный номер - %3\r\n    полное имя владельца - %4\r\n    "
             "источник сертификата - %5\r\n%2")
      .arg(n)
      .arg(L, serial, name, source);
}

// Every status's block, spaced and not, byte for byte.
TEST_F(SignatureCheckerTest, ProtocolBlocksAreExactForEveryStatus) {
  ldap_settings("ldap.example", "1389");
  const QString err = error_text_loader().GetErrorText(128).toUpper();
  SignatureRecord r;
  r.serial = "2A";
  r.signerName = "Party";
  r.issuer.C = "RU";
  r.issuer.O = "Орг";
  r.issuer.CN = "Test CA";
  r.issuer.T = "title";
  r.issuer.Email = "ca@example";
  struct Row {
    int status;
    int source;
    int code;
    bool spaced;
    QString expected;
  };
  const QString S = QStringLiteral(" \r\n");
  const Row rows[] = {
      {0, kSourceLocal, 0, false, block0(3, "", "2A", "Party", "локальный справочник")},
      {0, kSourceEmbedded, 0, true, block0(3, S, "2A", "Party", "встроен в подписанный документ")},
      {0, kSourceLdap, 0, false, block0(3, "", "2A", "Party", "сервер LDAP ldap.example:1389")},
      {0, 7, 0, false, block0(3, "", "2A", "Party", "локальный справочник")},
      {1, kSourceLocal, 128, false,
       QStringLiteral(" Подпись №3\r\n Результат проверки: ") + err +
           QStringLiteral("\r\n Атрибуты сертификата  автора подписи:\r\n    серийный номер - 2A\r\n    полное имя "
                          "владельца - Party\r\n    источник сертификата - локальный справочник\r\n")},
      {1, kSourceLocal, 128, true,
       QStringLiteral(" Подпись №3\r\n \r\n Результат проверки: ") + err +
           QStringLiteral("\r\n \r\n Атрибуты сертификата  автора подписи:\r\n    серийный номер - 2A\r\n    полное "
                          "имя владельца - Party\r\n    источник сертификата - локальный справочник\r\n \r\n")},
      {3, kSourceLocal, 128, false,
       QStringLiteral(" Подпись №3\r\n Результат проверки: ") + err +
           QStringLiteral("\r\n Атрибуты сертификата  автора подписи:\r\n    серийный номер - 2A\r\n    издатель "
                          "сертификата - /C=RU/O=Орг/CN=Test CA\r\n")},
      {3, kSourceLocal, 128, true,
       QStringLiteral(" Подпись №3\r\n \r\n Результат проверки: ") + err +
           QStringLiteral("\r\n \r\n Атрибуты сертификата  автора подписи:\r\n    серийный номер - 2A\r\n    "
                          "издатель сертификата - /C=RU/O=Орг/CN=Test CA\r\n \r\n")},
      {4, kSourceLocal, -1, false,
       QStringLiteral(" Подпись №3\r\n Результат проверки: ПОДПИСЬ НЕ ОБНАРУЖЕНА\r\n Местонахождение подписи: "
                      "doc.sga\r\n")},
      {4, kSourceLocal, -1, true,
       QStringLiteral(" Подпись №3\r\n \r\n Результат проверки: ПОДПИСЬ НЕ ОБНАРУЖЕНА\r\n \r\n Местонахождение "
                      "подписи: doc.sga\r\n \r\n")},
      {-1, kSourceLocal, -1, false, QString()},
  };
  for (const Row& row : rows) {
    r.status = row.status;
    r.source = row.source;
    r.resultCode = row.code;
    EXPECT_EQ(SignatureChecker::FormatSignature("doc.sga", r, 3, row.spaced), row.expected)
        << row.status << " " << row.spaced;
  }
  // The error text is upper-cased as a whole, Cyrillic included.
  const QString lower = error_text_loader().GetErrorText(128);
  EXPECT_NE(lower, lower.toUpper()) << "the error text has no lower-case letters to test with";
}

// Outer signatures first, one numbering for all layers; a 33rd layer is refused.
TEST_F(SignatureCheckerTest, LayersAreNumberedOuterFirstAndThe33rdIsRefused) {
  write_file("doc.txt", "layered document");
  ASSERT_EQ(sign(path("doc.txt"), path("l1.sgn"), {&partyA()}, true), ql::QL_OK);
  ASSERT_EQ(sign(path("l1.sgn"), path("l2.sgn"), {&partyB()}, true), ql::QL_OK);
  {
    SignatureChecker checker;
    ASSERT_TRUE(checker.CheckFile(path("l2.sgn"), true));
    ASSERT_EQ(checker.records().size(), 2u);
    EXPECT_EQ(checker.records()[0]->serial, "2B");
    EXPECT_EQ(checker.records()[1]->serial, "2A");
    QString text;
    EXPECT_TRUE(checker.BuildProtocol(path("l2.sgn"), text));
    EXPECT_TRUE(text.startsWith(QStringLiteral(" Подпись №1\r\n Результат проверки: ПОДПИСЬ ПОДТВЕРЖДЕНА")));
    EXPECT_EQ(text.indexOf(QStringLiteral("серийный номер - 2B")) < text.indexOf(QStringLiteral("серийный номер - 2A")),
              true);
    EXPECT_TRUE(text.contains(QStringLiteral(" Подпись №2\r\n")));
    unsigned char* content = nullptr;
    long length = 0;
    QString error;
    ASSERT_TRUE(checker.ExtractDocument(path("l2.sgn"), &content, &length, error)) << error.toStdString();
    EXPECT_EQ(std::string(reinterpret_cast<char*>(content), static_cast<std::size_t>(length)), "layered document");
    global_crypto_session().FreeBuffer(content);
    // Written from the mapped message: the same innermost content; a target
    // that cannot be written is told apart from a message that cannot be read.
    ASSERT_EQ(checker.ExtractDocumentTo(path("l2.sgn"), path("l2.out"), error), ExtractResult::kWritten)
        << error.toStdString();
    QFile out(path("l2.out"));
    ASSERT_TRUE(out.open(QIODevice::ReadOnly));
    EXPECT_EQ(out.readAll(), QByteArray("layered document"));
    EXPECT_EQ(checker.ExtractDocumentTo(path("l2.sgn"), path("missing/l2.out"), error), ExtractResult::kWriteFailed);
    EXPECT_EQ(checker.ExtractDocumentTo(path("l2.out"), path("l2.again"), error), ExtractResult::kFailed);
    EXPECT_FALSE(QFile::exists(path("l2.again")));
  }
  QString previous = path("l2.sgn");
  for (int layer = 3; layer <= kMaxSignatureLayers + 1; ++layer) {
    const QString next = path(QStringLiteral("l%1.sgn").arg(layer));
    ASSERT_EQ(sign(previous, next, {&partyA()}, true), ql::QL_OK) << layer;
    previous = next;
  }
  SignatureChecker at32;
  EXPECT_TRUE(at32.CheckFile(path(QStringLiteral("l%1.sgn").arg(kMaxSignatureLayers)), true));
  EXPECT_EQ(at32.records().size(), static_cast<std::size_t>(kMaxSignatureLayers));
  SignatureChecker at33;
  EXPECT_FALSE(at33.CheckFile(previous, true));
  unsigned char* content = nullptr;
  long length = 0;
  QString error;
  EXPECT_FALSE(at33.ExtractDocument(previous, &content, &length, error));
  EXPECT_EQ(content, nullptr);
  EXPECT_EQ(at33.ExtractDocumentTo(previous, path("l33.out"), error), ExtractResult::kFailed);
  EXPECT_FALSE(QFile::exists(path("l33.out")));
}

// 128 gives each signer its own status; any other failure marks the whole
// message, printed with the issuer.
TEST_F(SignatureCheckerTest, OneFailingSignerAgainstAWholeMessageFailure) {
  write_file("doc.txt", "two signers");
  ASSERT_EQ(sign(path("doc.txt"), path("two.sgn"), {&partyA(), &partyB()}, true), ql::QL_OK);
  tamper_signer(path("two.sgn"), 0x2B);
  restart_toolkit();
  SignatureChecker checker;
  ASSERT_TRUE(checker.CheckFile(path("two.sgn"), true));
  ASSERT_EQ(checker.records().size(), 2u);
  // Each record carries its own signer's serial, not signer 0's.
  const SignatureRecord* a = by_serial(checker, "2A");
  const SignatureRecord* b = by_serial(checker, "2B");
  ASSERT_TRUE(a != nullptr && b != nullptr);
  EXPECT_EQ(a->status, kSignatureConfirmed) << a->resultCode;
  EXPECT_EQ(b->status, kSignerFailed);
  EXPECT_NE(b->resultCode, 0);
  EXPECT_EQ(a->signerName.contains("Party A"), true) << a->signerName.toStdString();
  QString text;
  EXPECT_FALSE(checker.BuildProtocol(path("two.sgn"), text));

  // Without B's certificate (not embedded; the directory entry under B's
  // serial is another CA's and does not count) the message as a whole
  // fails: every signer carries the code, with its own serial and issuer.
  directory_user("2B", foreignB());
  directory_user("2A", bytes(partyA().der));
  // A directory that refuses connections: the log shows whom it was asked for.
  ldap_settings("127.0.0.1", std::to_string(test_support::free_loopback_port()));
  ASSERT_EQ(sign(path("doc.txt"), path("bare.sgn"), {&partyA(), &partyB()}, false), ql::QL_OK);
  restart_toolkit();
  SignatureChecker bare;
  ASSERT_TRUE(bare.CheckFile(path("bare.sgn"), true));
  ASSERT_EQ(bare.records().size(), 2u);
  for (const auto& r : bare.records()) {
    EXPECT_EQ(r->status, kMessageFailed);
    EXPECT_EQ(r->resultCode, ql::QL_ERR_SIGNER_CERT) << r->resultCode;
    EXPECT_NE(r->resultCode, 0);
    EXPECT_NE(r->resultCode, ql::QL_ERR_BAD_SIGNATURE);
  }
  EXPECT_NE(by_serial(bare, "2A"), nullptr);
  EXPECT_NE(by_serial(bare, "2B"), nullptr);
  const QString log = QString::fromUtf8(read_file(path("events.log")));
  // Only B (whose directory entry is another CA's) was looked for in LDAP.
  EXPECT_EQ(log.count(QStringLiteral("Обращение к LDAP (127.0.0.1")), 1) << log.toStdString();
  QString bareText;
  EXPECT_FALSE(bare.BuildProtocol(path("bare.sgn"), bareText));
  EXPECT_TRUE(bareText.contains(QStringLiteral("серийный номер - 2B\r\n    издатель сертификата - /C=RU/CN=Test CA")))
      << bareText.toStdString();

  // A detached signature has no content to verify: the message as a whole fails.
  ASSERT_EQ(sign(path("doc.txt"), path("detached.sgn"), {&partyA()}, true, 1), ql::QL_OK);
  SignatureChecker whole;
  ASSERT_TRUE(whole.CheckFile(path("detached.sgn"), true));
  ASSERT_EQ(whole.records().size(), 1u);
  EXPECT_EQ(whole.records()[0]->status, kMessageFailed);
  EXPECT_NE(whole.records()[0]->resultCode, 0);
  EXPECT_NE(whole.records()[0]->resultCode, ql::QL_ERR_BAD_SIGNATURE);
  QString wholeText;
  EXPECT_FALSE(whole.BuildProtocol(path("detached.sgn"), wholeText));
  EXPECT_TRUE(wholeText.contains(QStringLiteral("издатель сертификата - /C=RU/CN=Test CA"))) << wholeText.toStdString();
}

// Quiet mode asks nothing; otherwise the embedded certificate is offered and
// Yes imports it into the directory.
TEST_F(SignatureCheckerTest, QuietModeAsksNothingAndTheOfferImports) {
  write_file("doc.txt", "embedded");
  ASSERT_EQ(sign(path("doc.txt"), path("e.sgn"), {&partyA()}, true), ql::QL_OK);
  restart_toolkit();
  SignatureChecker quiet;
  ASSERT_TRUE(quiet.CheckFile(path("e.sgn"), true));
  ASSERT_EQ(quiet.records().size(), 1u);
  EXPECT_EQ(quiet.records()[0]->source, kSourceEmbedded);
  EXPECT_TRUE(ui_.calls().empty());

  ui_.queueMessage(IDYES);
  SignatureChecker asking;
  ASSERT_TRUE(asking.CheckFile(path("e.sgn"), false));
  ASSERT_EQ(ui_.messages().size(), 1u) << ui_.messages()[0].text.toStdString() << "|"
                                       << ui_.messages()[1].text.toStdString();
  EXPECT_TRUE(ui_.messages()[0].text.startsWith(
      QStringLiteral("При проверке подписи используется встроенный сертификат!\r\n")));
  EXPECT_TRUE(
      ui_.messages()[0].text.contains(QStringLiteral("серийный номер - 2A\r\n    полное имя владельца - Party A")));
  QByteArray stored;
  EXPECT_TRUE(engine_helper().LoadDirectoryCertificate("2A", stored));
  EXPECT_EQ(stored, bytes(partyA().der));
}

// A signer found only in the LDAP directory prints the server and port.
TEST_F(SignatureCheckerTest, LdapSourcePrintsServerAndPort) {
  test_support::SlapdServer slapd;
  std::string why;
  if (!slapd.start(&why)) {
    if (under_ci()) FAIL() << "slapd: " << why;
    GTEST_SKIP() << "slapd: " << why;
  }
  test_support::SlapdServer::Entry entry;
  entry.cn = "partyb";
  entry.objectClasses = {"device", "pkiUser", "dossarSerialHolder"};
  entry.serialDecimal = "43";
  entry.certificates = {partyB().der};
  ASSERT_TRUE(slapd.add(entry, &why)) << why;
  ldap_settings("127.0.0.1", std::to_string(slapd.port()), test_support::SlapdServer::suffix());
  write_file("doc.txt", "from ldap");
  ASSERT_EQ(sign(path("doc.txt"), path("l.sgn"), {&partyB()}, false), ql::QL_OK);
  restart_toolkit();
  ui_.queueMessage(IDNO);
  SignatureChecker checker;
  ASSERT_TRUE(checker.CheckFile(path("l.sgn"), false));
  ASSERT_EQ(checker.records().size(), 1u);
  EXPECT_EQ(checker.records()[0]->status, kSignatureConfirmed) << checker.records()[0]->resultCode;
  EXPECT_EQ(checker.records()[0]->source, kSourceLdap);
  QString text;
  EXPECT_TRUE(checker.BuildProtocol(path("l.sgn"), text));
  EXPECT_TRUE(text.contains(QStringLiteral("источник сертификата - сервер LDAP 127.0.0.1:%1\r\n").arg(slapd.port())))
      << text.toStdString();
  ASSERT_EQ(ui_.messages().size(), 1u);
  EXPECT_TRUE(ui_.messages()[0].text.startsWith(
      QStringLiteral("При проверке подписи используется сертификат со справочника LDAP!")));
}

TEST_F(SignatureCheckerTest, IsEncryptedForOwnerTable) {
  write_file("doc.txt", "secret");
  ASSERT_EQ(encrypt(path("doc.txt"), path("doc.enc"), partyA()), ql::QL_OK);
  ASSERT_EQ(sign(path("doc.txt"), path("doc.sgn"), {&partyA()}, true), ql::QL_OK);
  write_file("junk.enc", std::string("\x30\x82\x7f\xff\x06\x09", 6));
  struct Row {
    const char* what;
    QByteArray ownerCert;
    QString file;
    bool expected;
    bool boxShown;
  };
  const Row rows[] = {
      {"match", bytes(partyA().der), path("doc.enc"), true, false},
      {"same serial, another issuer", foreignA(), path("doc.enc"), false, false},
      {"another executor", bytes(partyB().der), path("doc.enc"), false, false},
      {"not enveloped", bytes(partyA().der), path("doc.sgn"), false, false},
      {"toolkit error", bytes(partyA().der), path("missing.enc"), false, true},
  };
  for (const Row& row : rows) {
    set_owner(row.ownerCert);
    const std::size_t before = ui_.messages().size();
    EXPECT_EQ(IsEncryptedForOwner(row.file), row.expected) << row.what;
    EXPECT_EQ(ui_.messages().size() > before, row.boxShown) << row.what;
  }
}

}  // namespace
}  // namespace dsutils::testing
