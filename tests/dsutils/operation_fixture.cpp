#include "tests/dsutils/operation_fixture.h"

#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <vector>

#include "crypto/prov/evp_gost.h"
#include "crypto/rand/rand.h"
#include "dsutils/engine/crypto_session.h"
#include "dsutils/engine/engine_start.h"
#include "quillon2/ql_frame.h"
#include "tests/support/provider_fixture.h"
#include "tests/support/ql_fixture.h"
#include "tools/roundtrip/scratch_pki.h"

namespace dsutils::testing {
namespace {

namespace ql = quillon2;
using platform::reg::RegistryKey;
using qcrypto::UniquePtr;
using test_support::PkiCertSpec;
using test_support::PkiKeyType;

QByteArray bytes_of(const std::vector<unsigned char>& der) {
  return QByteArray(reinterpret_cast<const char*>(der.data()), static_cast<qsizetype>(der.size()));
}

std::string key_pem(EVP_PKEY* key) {
  UniquePtr<BIO> bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) return {};
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(n));
}

PkiParty party(EVP_PKEY* key, X509* cert) {
  PkiParty p;
  p.der = bytes_of(test_support::to_der(cert));
  const std::vector<unsigned char> p8 = test_support::encrypted_pkcs8(key, kKeyPassword);
  p.keyPkcs8.assign(p8.begin(), p8.end());
  p.keyPem = key_pem(key);
  p.certPem = test_support::to_pem(cert);
  return p;
}

OperationPki* make_pki(bool rsa) {
  auto* pki = new OperationPki();
  const PkiKeyType type = rsa ? PkiKeyType::kRsa : PkiKeyType::kEcr3410;
  UniquePtr<EVP_PKEY> caKey(test_support::pki_new_key(type));
  UniquePtr<EVP_PKEY> otherCaKey(test_support::pki_new_key(type));
  UniquePtr<EVP_PKEY> execKey(test_support::pki_new_key(type));
  UniquePtr<EVP_PKEY> u1Key(test_support::pki_new_key(type));
  UniquePtr<EVP_PKEY> u2Key(test_support::pki_new_key(type));
  if (!caKey || !otherCaKey || !execKey || !u1Key || !u2Key) return pki;
  PkiCertSpec caSpec;
  caSpec.common_name = "Operations CA";
  caSpec.basic_constraints = test_support::PkiBasicConstraints::kCa;
  caSpec.key_usage = test_support::PkiKeyUsage::kCa;
  UniquePtr<X509> ca(test_support::pki_make_cert(caKey.get(), caSpec, nullptr, caKey.get()));
  caSpec.common_name = "Other CA";
  UniquePtr<X509> otherCa(test_support::pki_make_cert(otherCaKey.get(), caSpec, nullptr, otherCaKey.get()));
  if (!ca || !otherCa) return pki;
  const auto leaf = [&](EVP_PKEY* key, const char* name, long serial, X509* issuer, EVP_PKEY* issuerKey) {
    PkiCertSpec spec;
    spec.common_name = name;
    spec.serial = serial;
    spec.key_usage = test_support::PkiKeyUsage::kAbsent;  // signing and encryption
    return UniquePtr<X509>(test_support::pki_make_cert(key, spec, issuer, issuerKey));
  };
  UniquePtr<X509> exec = leaf(execKey.get(), "Executor", 0x51, ca.get(), caKey.get());
  UniquePtr<X509> u1 = leaf(u1Key.get(), "User One", 0x61, ca.get(), caKey.get());
  UniquePtr<X509> u2 = leaf(u2Key.get(), "User Two", 0x62, ca.get(), caKey.get());
  UniquePtr<X509> twin = leaf(u1Key.get(), "Twin", 0x51, otherCa.get(), otherCaKey.get());
  if (!exec || !u1 || !u2 || !twin) return pki;
  test_support::PkiCrlSpec crlSpec;
  UniquePtr<X509_CRL> crl(test_support::pki_make_crl(ca.get(), caKey.get(), crlSpec));
  if (!crl) return pki;
  pki->ca = party(caKey.get(), ca.get());
  pki->otherCa = party(otherCaKey.get(), otherCa.get());
  pki->executor = party(execKey.get(), exec.get());
  pki->user1 = party(u1Key.get(), u1.get());
  pki->user2 = party(u2Key.get(), u2.get());
  pki->twin = party(u1Key.get(), twin.get());
  pki->crl = bytes_of(test_support::to_der(crl.get()));
  return pki;
}

// Key containers whose saved random state seeds the toolkit's generator at
// each start, as a user's container does; made once, removed at exit.
std::vector<std::string> g_container_folders;
void remove_container_folders() {
  std::error_code ec;
  for (const std::string& f : g_container_folders) std::filesystem::remove_all(f, ec);
}

QString* make_container() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "dossar-container-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) return new QString();
  if (g_container_folders.empty()) std::atexit(remove_container_folders);
  g_container_folders.push_back(tmpl);
  roundtrip::ScratchPki pki;
  const std::string why = roundtrip::make_scratch_pki(tmpl, &pki);
  if (!why.empty()) {
    std::fprintf(stderr, "scratch container: %s\n", why.c_str());
    return new QString();
  }
  return new QString(QString::fromStdString(pki.container));
}

}  // namespace

const QString& random_state_container(int which) {
  if (which != 0) {
    static const QString* const second = make_container();
    return *second;
  }
  static const QString* const first = make_container();
  return *first;
}

SignAnswer sign_answer(bool detached, const QString& out, bool cert, bool time) {
  SignAnswer a;
  a.accepted = true;
  a.detached = detached;
  a.includeCertificate = cert;
  a.includeSigningTime = time;
  a.outputName = out;
  return a;
}

const OperationPki& operation_pki(bool rsa) {
  // Kept for the process: the keys are too slow to make for each test.
  if (rsa) {
    static const OperationPki* const made = make_pki(true);
    return *made;
  }
  static const OperationPki* const made = make_pki(false);
  return *made;
}

void OperationTest::SetUpTestSuite() {
  qcrypto::RAND_set_rand_method(&test_support::kSystemRand);
  ASSERT_EQ(qcrypto::evp_provider_start(), 1);
  // Made before any test points TMPDIR into its own scratch folder.
  ASSERT_FALSE(random_state_container().isEmpty());
}

void OperationTest::SetUp() {
  EngineTest::SetUp();
  ASSERT_TRUE(use_scratch_tmp({"docs", "keys", "crl"}));
  StartEngine();
  qcrypto::RAND_set_rand_method(&test_support::kSystemRand);
}

void OperationTest::TearDown() {
  while (ql::QL_is_initialized() != 0) ql::QL_cleanup();
  EngineTest::TearDown();
}

void OperationTest::install_directory(const OperationPki& pki, const QString& entry) {
  ASSERT_FALSE(pki.executor.der.isEmpty());
  set_executor(pki.executor, entry);
  RegistryKey users;
  open_key(users, "\\Certificats\\Users");
  ASSERT_TRUE(users.SetBinary("61", pki.user1.der.constData(), static_cast<std::uint32_t>(pki.user1.der.size())));
  ASSERT_TRUE(users.SetBinary("62", pki.user2.der.constData(), static_cast<std::uint32_t>(pki.user2.der.size())));
  RegistryKey ca;
  open_key(ca, "\\Certificats\\Ca");
  ASSERT_TRUE(ca.SetBinary("CA", pki.ca.der.constData(), static_cast<std::uint32_t>(pki.ca.der.size())));
  ASSERT_TRUE(
      ca.SetBinary("Other CA", pki.otherCa.der.constData(), static_cast<std::uint32_t>(pki.otherCa.der.size())));
  write_file("crl/ca.crl", pki.crl.toStdString());
  RegistryKey crl;
  open_key(crl, "\\Certificats\\CRL");
  ASSERT_TRUE(crl.SetDword("IsUse", 1));
  ASSERT_TRUE(crl.SetString("Path", path("crl").toStdString()));
}

void OperationTest::set_executor(const PkiParty& p, const QString& entry) {
  const QString keyFile = QStringLiteral("keys/%1.p8").arg(entry);
  write_file(keyFile, p.keyPkcs8);
  RegistryKey owner;
  open_key(owner, "\\Certificats\\Owner");
  ASSERT_TRUE(owner.SetString("Owner", entry.toStdString()));
  RegistryKey e;
  open_key(e, "\\Certificats\\Owner\\" + entry.toStdString());
  ASSERT_TRUE(e.SetString("File", path(keyFile).toStdString()));
  ASSERT_FALSE(random_state_container().isEmpty());
  ASSERT_TRUE(e.SetString("Path", random_state_container().toStdString()));
  ASSERT_TRUE(e.SetString("Profile", entry.toStdString()));
  ASSERT_TRUE(e.SetDword("SCZI", 0));
  ASSERT_TRUE(e.SetBinary("SerNum", p.der.constData(), static_cast<std::uint32_t>(p.der.size())));
}

void OperationTest::set_sorting(const QString& code, const SortRow& row) {
  RegistryKey key;
  open_key(key, "\\Sorting\\" + code.toStdString());
  ASSERT_TRUE(key.SetDword("Result", row.Result));
  ASSERT_TRUE(key.SetDword("ResultExist", row.ResultExist));
  ASSERT_TRUE(key.SetDword("Source", row.Source));
  ASSERT_TRUE(key.SetDword("SourceExist", row.SourceExist));
  ASSERT_TRUE(key.SetDword("Error", row.Error));
  ASSERT_TRUE(key.SetDword("ErrorExist", row.ErrorExist));
  ASSERT_TRUE(key.SetString("ResultPath", path("sorted/result").toStdString()));
  ASSERT_TRUE(key.SetString("SourcePath", path("sorted/source").toStdString()));
  ASSERT_TRUE(key.SetString("ErrorPath", path("sorted/error").toStdString()));
}

void OperationTest::set_log_options(std::uint32_t isCert, std::uint32_t isTime, std::uint32_t isSgn) {
  RegistryKey key;
  open_key(key, "\\Property\\Log");
  ASSERT_TRUE(key.SetDword("IsCert", isCert));
  ASSERT_TRUE(key.SetDword("IsTime", isTime));
  ASSERT_TRUE(key.SetDword("IsSgn", isSgn));
}

void OperationTest::set_encrypt_settings(std::uint32_t isAuto, const QStringList& users) {
  RegistryKey key;
  open_key(key, "\\Property\\Encript");
  ASSERT_TRUE(key.SetDword("IsAuto", isAuto));
  std::vector<std::string> list;
  for (const QString& u : users) list.push_back(u.toStdString());
  ASSERT_TRUE(key.SetObject("Users", list));
}

std::string SortingCase::what() const {
  if (fresh) return "fresh settings";
  return "Result " + std::to_string(sort.Result) + " Source " + std::to_string(sort.Source) + " Exist " +
         std::to_string(sort.ResultExist);
}

std::vector<SortingCase> sorting_cases() {
  std::vector<SortingCase> cases;
  for (std::uint32_t result : {0u, 1u})
    for (std::uint32_t source : {0u, 1u, 2u})
      for (std::uint32_t exist : {0u, 1u}) cases.push_back({false, SortRow{result, exist, source, exist, 0, 0}});
  cases.push_back({true, SortRow{}});
  return cases;
}

void OperationTest::prepare_sorting(const SortingCase& c, const QString& code, const OperationPki& pki) {
  for (const char* d : {"docs", "sorted"}) QDir(path(d)).removeRecursively();
  for (const char* d : {"docs", "sorted/result", "sorted/source", "sorted/error"}) ASSERT_TRUE(QDir().mkpath(path(d)));
  if (c.fresh) {
    setenv("DOSSAR_REGISTRY_DB", path("fresh.db").toUtf8().constData(), 1);
    install_directory(pki);
    ASSERT_TRUE(log_to_scratch());
  } else {
    set_sorting(code, c.sort);
  }
}

QString OperationTest::result_dir(const SortingCase& c) const {
  return c.sort.Result == 1 ? path("sorted/result") : docs();
}

QString OperationTest::source_dir(const SortingCase& c) const {
  return c.sort.Source == 2 ? path("sorted/source") : docs();
}

void OperationTest::plant_old_files(const SortingCase& c, const QStringList& resultNames,
                                    const QStringList& sourceNames) {
  for (const QString& n : resultNames) write_file(QDir(dir_).relativeFilePath(result_dir(c)) + "/" + n, kOldResult);
  if (c.sort.Source != 2) return;
  for (const QString& n : sourceNames) write_file("sorted/source/" + n, kOldSource);
}

int OperationTest::count_files(const QString& dir, const QString& pattern,
                               const std::function<bool(const QString&, const std::string&)>& match) const {
  int n = 0;
  for (const QString& f : QDir(dir).entryList({pattern}, QDir::Files | QDir::System, QDir::Name))
    if (match(dir + "/" + f, read_file(dir + "/" + f))) ++n;
  return n;
}

void OperationTest::check_group_file(const SortingCase& c, const QString& name, const std::string& original,
                                     const QString& resultSuffix,
                                     const std::function<bool(const QString&, const std::string&)>& isResult) {
  SCOPED_TRACE(name.toStdString());
  const QString stem = name.left(1);
  const auto old = [](const char* text) {
    return [text](const QString&, const std::string& bytes) { return bytes == text; };
  };
  EXPECT_EQ(count_files(result_dir(c), stem + "*" + resultSuffix, isResult), 1);
  EXPECT_EQ(count_files(result_dir(c), stem + "*" + resultSuffix, old(kOldResult)), c.sort.ResultExist == 1 ? 1 : 0);
  const bool atPlace = read_file(docs() + "/" + name) == original;
  EXPECT_EQ(atPlace, c.fresh || c.sort.Source == 1);
  if (c.sort.Source == 2) {
    const QString pattern = stem + "*" + name.mid(name.lastIndexOf('.'));
    EXPECT_EQ(count_files(source_dir(c), pattern, [&](const QString&, const std::string& b) { return b == original; }),
              1);
    EXPECT_EQ(count_files(source_dir(c), pattern, old(kOldSource)), c.sort.SourceExist == 1 ? 1 : 0);
  }
}

int recipients_of(const QString& file) {
  CryptoSession& session = global_crypto_session();
  SessionHold hold(session);
  hold.Open();
  QL_MESSAGE* message = nullptr;
  const int kind = session.ReadMessageFileKind(file, &message);
  const int count = kind == quillon2::QL_KIND_ENVELOPED ? session.GetRecipientCount(message) : -1;
  session.FreeMessage(message);
  return count;
}

bool open_envelope(const std::string& der, long serial, Envelope& out) {
  const auto* p = reinterpret_cast<const unsigned char*>(der.data());
  // Not qcrypto's owner: test programs that build this file with theirs
  // declare the PKCS7 one themselves.
  const std::unique_ptr<PKCS7, decltype(&PKCS7_free)> p7(d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())),
                                                         &PKCS7_free);
  if (!p7 || PKCS7_type_is_enveloped(p7.get()) == 0) return false;
  const PKCS7_ENVELOPE* env = p7->d.enveloped;
  const auto text = [](const ASN1_STRING* s) {
    return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                       static_cast<std::size_t>(ASN1_STRING_length(s)));
  };
  for (int i = 0; i < sk_PKCS7_RECIP_INFO_num(env->recipientinfo); ++i) {
    const PKCS7_RECIP_INFO* ri = sk_PKCS7_RECIP_INFO_value(env->recipientinfo, i);
    if (ASN1_INTEGER_get(ri->issuer_and_serial->serial) == serial) out.encryptedKey = text(ri->enc_key);
  }
  const ASN1_TYPE* param = env->enc_data->algorithm->parameter;
  if (param == nullptr || param->type != V_ASN1_OCTET_STRING || env->enc_data->enc_data == nullptr) return false;
  out.iv = text(param->value.octet_string);
  out.content = text(env->enc_data->enc_data);
  return !out.encryptedKey.empty();
}

std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string h;
  for (const unsigned char c : bytes) {
    h.push_back(digits[c >> 4]);
    h.push_back(digits[c & 15]);
  }
  return h;
}

std::string doc_text(const QString& name, std::size_t size) {
  std::string text = "plain " + name.toStdString() + "\n";
  text.resize(size, 'p');
  return text;
}

QStringList OperationTest::make_docs(const QStringList& names, std::size_t size) {
  QStringList full;
  for (const QString& n : names) {
    write_file("docs/" + n, doc_text(n, size));
    full << path("docs/" + n);
  }
  return full;
}

void OperationTest::expect_stock_cms_refuses(const std::string& openssl, const std::string& moduleDir,
                                             const QString& enveloped, const QString& cert, const QString& key) {
  const std::vector<std::string> cms{"cms",
                                     "-decrypt",
                                     "-binary",
                                     "-inform",
                                     "DER",
                                     "-in",
                                     enveloped.toStdString(),
                                     "-recip",
                                     cert.toStdString(),
                                     "-inkey",
                                     key.toStdString(),
                                     "-out",
                                     path("cms.out").toStdString()};
  for (const bool module : {true, false}) {
    SCOPED_TRACE(module ? "cms with the provider module" : "cms alone");
    QFile::remove(path("cms.out"));
    std::vector<std::string> bare = cms;
    bare.insert(bare.begin(), openssl);
    const test_support::ProgramResult refused =
        module ? test_support::run_openssl_with_module(openssl, moduleDir, cms) : test_support::run_program(bare);
    EXPECT_NE(refused.status, 0) << refused.output;
    EXPECT_NE(refused.output.find("unknown cipher"), std::string::npos) << refused.output;
    EXPECT_TRUE(read_file(path("cms.out")).empty());
  }
}

void OperationTest::stock_unwrap_key(const std::string& openssl, const Envelope& e, const QString& key,
                                     std::string& cek) {
  write_file("key.bin", e.encryptedKey);
  QFile::remove(path("cek.bin"));
  const test_support::ProgramResult unwrapped =
      test_support::run_program({openssl, "pkeyutl", "-decrypt", "-inkey", key.toStdString(), "-in",
                                 path("key.bin").toStdString(), "-out", path("cek.bin").toStdString()});
  ASSERT_EQ(unwrapped.status, 0) << unwrapped.output;
  cek = read_file(path("cek.bin"));
}

test_support::ProgramResult OperationTest::stock_decrypt_content(const std::string& openssl,
                                                                 const std::string& moduleDir, const Envelope& e,
                                                                 const std::string& cek, const QString& out) {
  write_file("content.bin", e.content);
  QFile::remove(out);
  return test_support::run_openssl_with_module(openssl, moduleDir,
                                               {"enc", "-d", "-rus-gammar", "-K", hex(cek), "-iv", hex(e.iv), "-in",
                                                path("content.bin").toStdString(), "-out", out.toStdString()});
}

QStringList OperationTest::work_root_entries() const {
  const QString root = path("tmp") + QStringLiteral("/DOSSAR-") + QString::number(::getuid());
  return QDir(root).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

QString OperationTest::pem_file(const std::string& pem, const QString& name) const {
  write_file(name, pem);
  return path(name);
}

}  // namespace dsutils::testing
