// UnpackFile and the message details against the stock openssl command: an
// RSA signed message and an RSA envelope it made unpack here, and the details
// of a 100 MiB message read the same as those of a 1 KiB one. The command is
// a child process; without it the tests fail under CI and skip elsewhere.
#include <gtest/gtest.h>
#include <openssl/pem.h>

#include <QDir>
#include <QFile>
#include <string>
#include <vector>

#include "dsutils/engine/signature_checker.h"
#include "dsutils/engine/unpack_file.h"
#include "quillon2/ql_codes.h"
#include "quillon2/ql_dn.h"
#include "tests/dsutils/unpack_fixture.h"
#include "tests/support/gost_pki.h"
#include "tests/support/run_program.h"

namespace dsutils::testing {
namespace {

namespace ql = quillon2;

const std::string kDocument = "a document from the other side\n";

struct RsaPki {
  test_support::Party root, executor;
};

const RsaPki& rsa_pki() {
  static const RsaPki* made = [] {
    auto* t = new RsaPki();
    t->root.key.reset(test_support::pki_new_key(test_support::PkiKeyType::kRsa));
    t->executor.key.reset(test_support::pki_new_key(test_support::PkiKeyType::kRsa));
    if (!t->root.key || !t->executor.key) return t;
    test_support::PkiCertSpec root;
    root.common_name = "RSA Root";
    root.basic_constraints = test_support::PkiBasicConstraints::kCa;
    root.key_usage = test_support::PkiKeyUsage::kCa;
    t->root.cert.reset(test_support::pki_make_cert(t->root.key.get(), root, nullptr, t->root.key.get()));
    test_support::PkiCertSpec leaf;
    leaf.common_name = "RSA Executor";
    leaf.serial = 0x51;
    if (!t->root.cert) return t;
    t->executor.cert.reset(
        test_support::pki_make_cert(t->executor.key.get(), leaf, t->root.cert.get(), t->root.key.get()));
    if (t->executor.cert) t->executor.der = test_support::to_der(t->executor.cert.get());
    t->root.der = test_support::to_der(t->root.cert.get());
    return t;
  }();
  return *made;
}

class UnpackInteropTest : public UnpackFixture {
 protected:
  void SetUp() override {
    UnpackFixture::SetUp();
    if (!stock_openssl_at_hand()) return;
    const RsaPki& pki = rsa_pki();
    ASSERT_TRUE(pki.executor.cert);
    ASSERT_TRUE(QDir().mkpath(path("docs")));
    ASSERT_TRUE(QDir().mkpath(path("keys")));
    ASSERT_EQ(
        global_crypto_session().AddTrustedCertificate(pki.root.der.data(), static_cast<long>(pki.root.der.size())),
        ql::QL_OK);
    write_pem_files();
    const std::vector<unsigned char> p8 = test_support::encrypted_pkcs8(pki.executor.key.get(), "pw-rsa");
    write_file("keys/exec.p8", std::string(p8.begin(), p8.end()));
    set_owner(bytes(pki.executor.der), path("keys/exec.p8"));
    directory_user("51", bytes(pki.executor.der));
    write_file("doc.txt", kDocument);
  }
  void write_pem_files() {
    const RsaPki& pki = rsa_pki();
    FILE* f = std::fopen(path("exec.pem").toUtf8().constData(), "w");
    ASSERT_NE(f, nullptr);
    PEM_write_X509(f, pki.executor.cert.get());
    std::fclose(f);
    f = std::fopen(path("exec.key").toUtf8().constData(), "w");
    ASSERT_NE(f, nullptr);
    PEM_write_PrivateKey(f, pki.executor.key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(f);
  }
  void openssl(std::vector<std::string> args) {
    args.insert(args.begin(), kStockOpenssl);
    const test_support::ProgramResult r = test_support::run_program(args);
    ASSERT_EQ(r.status, 0) << r.output;
  }
  std::string p(const char* rel) const { return path(rel).toStdString(); }

  struct Details {
    int kind = -1;
    QString signerSerial, signerIssuer, signingTime;
    QStringList recipients;
  };
  Details details(const QString& file) {
    CryptoSession& s = global_crypto_session();
    Details d;
    QL_MESSAGE* m = nullptr;
    EXPECT_EQ(s.ReadMessageFile(file, &d.kind, &m), ql::QL_OK);
    if (m == nullptr) return d;
    if (s.GetSignerCount(m) > 0) {
      d.signerSerial = s.GetSignerSerial(m, 0);
      d.signerIssuer = s.GetSignerIssuer(m, 0, nullptr);
      d.signingTime = s.GetSignerSigningTime(m, 0);
    }
    for (int i = 0; i < s.GetRecipientCount(m); ++i)
      d.recipients << s.GetRecipientSerial(m, i) + "|" + s.GetRecipientIssuer(m, i, nullptr);
    s.FreeMessage(m);
    return d;
  }
  int run(const QString& source) {
    OperationJob job;
    job.files = QStringList{source};
    const OperationUiScope scope(&ui_);
    UnpackFile(&job);
    return job.result;
  }
};

TEST_F(UnpackInteropTest, OpensslCmsSignedMessageUnpacks) {
  openssl({"cms", "-sign", "-nodetach", "-binary", "-outform", "DER", "-in", p("doc.txt"), "-out",
           p("docs/doc.txt.sgn"), "-signer", p("exec.pem"), "-inkey", p("exec.key")});
  ui_.queueVerifyProtocol({true});
  ui_.queueMessage(IDNO);
  EXPECT_EQ(run(path("docs/doc.txt.sgn")), kOpOk);
  EXPECT_EQ(read_file(path("docs/doc.txt")), kDocument);
  EXPECT_EQ(ui_.unscripted(), 0);
}

TEST_F(UnpackInteropTest, OpensslSmimeEnvelopeToTheRsaExecutorUnpacks) {
  openssl({"smime", "-encrypt", "-des3", "-binary", "-outform", "DER", "-in", p("doc.txt"), "-out",
           p("docs/doc.txt.enc"), p("exec.pem")});
  DecryptAnswer a;
  a.accepted = true;
  a.outputPath = path("docs/doc.txt");
  a.key.name = "exec";
  ui_.queueDecrypt(a);
  ui_.queuePassword("pw-rsa");
  ui_.queueMessage(IDOK);
  EXPECT_EQ(run(path("docs/doc.txt.enc")), kOpOk);
  EXPECT_EQ(read_file(path("docs/doc.txt")), kDocument);
  EXPECT_EQ(ui_.unscripted(), 0);
}

// The details walk skips the content: a 100 MiB message gives what a 1 KiB
// one gives (the signing times are each signing's own, both present).
TEST_F(UnpackInteropTest, DetailsOf100MiBMessageEqualThoseOf1KiB) {
  {
    QFile big(path("big.bin"));
    ASSERT_TRUE(big.open(QIODevice::WriteOnly));
    const QByteArray chunk(1 << 20, 'x');
    for (int i = 0; i < 100; ++i) ASSERT_EQ(big.write(chunk), chunk.size());
  }
  write_file("small.bin", std::string(1024, 's'));
  for (const char* name : {"big", "small"}) {
    const std::string in = p(name) + ".bin";
    openssl({"cms", "-sign", "-nodetach", "-binary", "-outform", "DER", "-in", in, "-out", p(name) + ".sgn", "-signer",
             p("exec.pem"), "-inkey", p("exec.key")});
    openssl({"cms", "-encrypt", "-aes256", "-binary", "-outform", "DER", "-in", in, "-out", p(name) + ".enc",
             p("exec.pem")});
  }
  QFile::remove(path("big.bin"));
  const Details bigSigned = details(path("big.sgn"));
  const Details smallSigned = details(path("small.sgn"));
  EXPECT_EQ(bigSigned.kind, ql::QL_KIND_SIGNED);
  EXPECT_EQ(bigSigned.signerSerial, "51");
  EXPECT_EQ(bigSigned.signerSerial, smallSigned.signerSerial);
  EXPECT_FALSE(bigSigned.signerIssuer.isEmpty());
  EXPECT_EQ(bigSigned.signerIssuer, smallSigned.signerIssuer);
  EXPECT_FALSE(bigSigned.signingTime.isEmpty());
  EXPECT_EQ(bigSigned.signingTime.size(), smallSigned.signingTime.size());
  const Details bigEnc = details(path("big.enc"));
  const Details smallEnc = details(path("small.enc"));
  EXPECT_EQ(bigEnc.kind, ql::QL_KIND_ENVELOPED);
  ASSERT_EQ(bigEnc.recipients.size(), 1);
  EXPECT_EQ(bigEnc.recipients, smallEnc.recipients);
  EXPECT_TRUE(bigEnc.recipients[0].startsWith("51|"));
  // The executor test works on the large envelope as on the small one.
  EXPECT_TRUE(IsEncryptedForOwner(path("big.enc")));
  EXPECT_TRUE(IsEncryptedForOwner(path("small.enc")));
}

}  // namespace
}  // namespace dsutils::testing
