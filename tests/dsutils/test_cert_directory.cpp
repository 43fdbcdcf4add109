// The local certificate directory: executor entries, other users'
// certificates with their index keys, CA certificates, the CRL folder, the
// identity rule and import.
#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "tests/dsutils/cert_double.h"
#include "tests/dsutils/engine_test_util.h"

namespace dsutils {
namespace {

using platform::reg::RegistryKey;
using testing::kCaA;
using testing::kCaB;
using testing::kUser;
using testing::make_certificate;

class CertDirectory : public testing::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    certA_ = make_certificate("1A2B", kUser, kCaA);
    certB_ = make_certificate("1A2B", kUser, kCaB);  // same serial, another CA
    ASSERT_FALSE(certA_.isEmpty());
    ASSERT_FALSE(certB_.isEmpty());
  }

  void owner_entry(const std::string& name, const std::vector<std::string>& skip = {}, const QByteArray& cert = {}) {
    RegistryKey key;
    open_key(key, "\\Certificats\\Owner\\" + name);
    auto wanted = [&](const std::string& v) { return std::find(skip.begin(), skip.end(), v) == skip.end(); };
    if (wanted("File")) key.SetString("File", "key.file");
    if (wanted("Path")) key.SetString("Path", "/media/key");
    if (wanted("Profile")) key.SetString("Profile", "Профиль " + name);
    if (wanted("Email")) key.SetString("Email", name + "@owner.ru");
    if (wanted("SCZI")) key.SetDword("SCZI", 3);
    const QByteArray bytes = cert.isEmpty() ? QByteArray("DER-" + QByteArray::fromStdString(name)) : cert;
    if (wanted("SerNum")) key.SetBinary("SerNum", bytes.constData(), static_cast<std::uint32_t>(bytes.size()));
  }
  void select_owner(const std::string& name) {
    RegistryKey key;
    open_key(key, "\\Certificats\\Owner");
    key.SetString("Owner", name);
  }
  void user_cert(const std::string& name, const QByteArray& bytes) {
    RegistryKey key;
    open_key(key, "\\Certificats\\Users");
    key.SetBinary(name, bytes.constData(), static_cast<std::uint32_t>(bytes.size()));
  }
  void user_string(const char* index, const std::string& name, const std::string& value) {
    RegistryKey key;
    open_key(key, std::string("\\Certificats\\Users\\") + index);
    key.SetString(name, value);
  }
  QByteArray stored_user(const std::string& name) {
    RegistryKey key;
    std::vector<std::uint8_t> buf;
    if (!key.OpenKey(platform::reg::HKEY_CURRENT_USER, std::string(kProductKey) + "\\Certificats\\Users") ||
        !key.QueryBinary(name, buf))
      return {};
    return QByteArray(reinterpret_cast<const char*>(buf.data()), static_cast<qsizetype>(key.last_size()));
  }

  EngineHelper helper_;
  QByteArray certA_, certB_;
};

TEST_F(CertDirectory, OwnerRecordNeedsEveryValue) {
  owner_entry("Иван");
  select_owner("Иван");
  OwnerRecord r;
  ASSERT_TRUE(helper_.GetOwnerRecord(r));
  EXPECT_EQ(r.name, "Иван");
  EXPECT_EQ(r.file, "key.file");
  EXPECT_EQ(r.path, "/media/key");
  EXPECT_EQ(r.profile, "Профиль Иван");
  EXPECT_EQ(r.sczi, 3u);
  EXPECT_EQ(r.serNum, "DER-Иван");

  // Each required value missing in turn (Email is not required).
  for (const char* missing : {"File", "Path", "Profile", "SCZI", "SerNum", "Email"}) {
    SCOPED_TRACE(missing);
    const std::string name = std::string("e-") + missing;
    owner_entry(name, {missing});
    OwnerRecord named;
    named.name = QString::fromStdString(name);
    EXPECT_EQ(helper_.GetOwnerRecord(named), std::string(missing) == "Email");
  }
}

TEST_F(CertDirectory, OwnerRecordSelection) {
  OwnerRecord none;
  EXPECT_FALSE(helper_.GetOwnerRecord(none)) << "no Certificats\\Owner key";
  owner_entry("Пётр");
  EXPECT_FALSE(helper_.GetOwnerRecord(none)) << "no Owner value";
  select_owner("Нет такого");
  OwnerRecord dangling;
  EXPECT_FALSE(helper_.GetOwnerRecord(dangling)) << "selected entry missing";
  // An entry name never walks into another key.
  owner_entry("Пётр\\Sub");
  OwnerRecord nested;
  nested.name = "Пётр\\Sub";
  EXPECT_FALSE(helper_.GetOwnerRecord(nested));
}

TEST_F(CertDirectory, CheckOwnerShowsTheStopBoxOnlyWhenMissing) {
  EXPECT_FALSE(helper_.CheckOwner());
  ASSERT_EQ(ui_.messages().size(), 1u);
  EXPECT_EQ(ui_.messages()[0].text, "Не определен  Исполнитель в Локальном справочнике сертификатов!");
  EXPECT_EQ(ui_.messages()[0].flags & MB_ICONMASK, unsigned{MB_ICONSTOP});
  owner_entry("Иван");
  select_owner("Иван");
  EXPECT_TRUE(helper_.CheckOwner());
  EXPECT_EQ(ui_.messages().size(), 1u);
}

TEST_F(CertDirectory, ProfilesAndAliases) {
  owner_entry("Иван");
  owner_entry("Без профиля", {"Profile"});
  EXPECT_EQ(helper_.GetOwnerProfile("Иван"), "Профиль Иван");
  EXPECT_EQ(helper_.GetOwnerProfile("Без профиля"), "");
  EXPECT_EQ(helper_.GetOwnerProfile(""), "");
  EXPECT_EQ(helper_.GetOwnerProfile("Нет"), "");
  EXPECT_EQ(helper_.GetUserProfile("1A2B"), "") << "no Users\\Profile key";
  EXPECT_TRUE(helper_.SetUserProfile("1A2B", "Коллега"));
  EXPECT_EQ(helper_.GetUserProfile("1A2B"), "Коллега");
  EXPECT_EQ(helper_.GetUserProfile("FFFF"), "");
  EXPECT_FALSE(helper_.SetUserProfile("", "x"));
  EXPECT_FALSE(helper_.SetUserEmail("", "x@y"));
}

TEST_F(CertDirectory, LoadDirectoryCertificateFallsBackToTheExecutor) {
  user_cert("1A2B", certA_);
  owner_entry("Иван", {}, certB_);
  QByteArray out;
  ASSERT_TRUE(helper_.LoadDirectoryCertificate("1A2B", out));
  EXPECT_EQ(out, certA_);
  ASSERT_TRUE(helper_.LoadDirectoryCertificate("Иван", out));
  EXPECT_EQ(out, certB_);
  out = "untouched";
  EXPECT_FALSE(helper_.LoadDirectoryCertificate("Нет", out));
  EXPECT_FALSE(helper_.LoadDirectoryCertificate("", out));
  EXPECT_EQ(out, "untouched");
}

TEST_F(CertDirectory, CaCertificatesByIndex) {
  QByteArray out;
  EXPECT_FALSE(helper_.EnumCaCertificate(0, out)) << "no Ca key";
  RegistryKey key;
  open_key(key, "\\Certificats\\Ca");
  const std::string longName(300, 'n');  // longer than the classic name buffer: still read
  key.SetBinary("first", "AAA", 3);
  key.SetBinary(longName, "BBBB", 4);
  key.SetBinary("last", "C", 1);
  std::vector<QByteArray> seen;
  for (std::uint32_t i = 0; helper_.EnumCaCertificate(i, out); ++i) seen.push_back(out);
  EXPECT_EQ(seen, (std::vector<QByteArray>{"AAA", "BBBB", "C"}));
}

TEST_F(CertDirectory, CrlFolder) {
  struct Case {
    const char* name;
    std::function<void(RegistryKey&)> setup;
    const char* expected;
  };
  const Case cases[] = {
      {"in use",
       [](RegistryKey& k) {
         k.SetDword("IsUse", 1);
         k.SetString("Path", "/srv/crl");
       },
       "/srv/crl"},
      {"not in use",
       [](RegistryKey& k) {
         k.SetDword("IsUse", 0);
         k.SetString("Path", "/srv/crl");
       },
       ""},
      {"no IsUse", [](RegistryKey& k) { k.SetString("Path", "/srv/crl"); }, ""},
      {"no Path", [](RegistryKey& k) { k.SetDword("IsUse", 1); }, ""},
  };
  EXPECT_EQ(helper_.GetCrlSettings(), "") << "no CRL key";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RegistryKey key;
    open_key(key, "\\Certificats\\CRL");
    key.SetDword("IsUse", 7);
    key.SetString("Path", "stale");
    ASSERT_TRUE(platform::reg::Store::current_user()->delete_tree(platform::reg::Store::kRoot,
                                                                  std::string(kProductKey) + "\\Certificats\\CRL") ==
                platform::reg::ERROR_SUCCESS);
    open_key(key, "\\Certificats\\CRL");
    c.setup(key);
    EXPECT_EQ(helper_.GetCrlSettings(), c.expected);
  }
}

TEST_F(CertDirectory, FindCertificateByEmail) {
  user_cert("1A2B", certA_);
  user_cert("00FF", certB_);
  user_cert("EMPTY", {});
  user_string("Email", "00FF", "other@example.ru");
  user_string("Email", "1A2B", "ivanov@example.ru");
  user_string("Email", "EMPTY", "empty@example.ru");
  user_string("Email", "long", std::string(3000, 'x'));
  // The address as a value name is not an entry of the index.
  user_string("Email", "named@example.ru", "something else");
  owner_entry("Иван", {}, "OWNER-DER");

  struct Case {
    const char* email;
    bool found;
    QByteArray expected;
  };
  const Case cases[] = {
      {"ivanov@example.ru", true, certA_},
      {"other@example.ru", true, certB_},
      {"Иван@owner.ru", true, "OWNER-DER"},
      {"IVANOV@example.ru", false, {}},
      {"named@example.ru", false, {}},
      {"empty@example.ru", false, {}},
      {"", false, {}},
      {"nobody@example.ru", false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.email);
    QByteArray out;
    EXPECT_EQ(helper_.FindCertificateByEmail(QString::fromUtf8(c.email), out), c.found);
    if (c.found) {
      EXPECT_EQ(out, c.expected);
    }
  }
}

TEST(CertIdentity, CompareNamesFieldByField) {
  DistinguishedName base;
  base.C = "RU";
  base.SP = "77";
  base.L = "Москва";
  base.O = "Орг";
  base.OU = "Отдел";
  base.T = "Инженер";
  base.CN = "Иванов";
  base.Email = "i@x.ru";
  EXPECT_EQ(EngineHelper::CompareNames(base, base), 1);
  QByteArray DistinguishedName::*fields[] = {&DistinguishedName::C,  &DistinguishedName::SP,   &DistinguishedName::L,
                                             &DistinguishedName::O,  &DistinguishedName::OU,   &DistinguishedName::T,
                                             &DistinguishedName::CN, &DistinguishedName::Email};
  for (auto field : fields) {
    DistinguishedName other = base;
    other.*field += "x";
    EXPECT_EQ(EngineHelper::CompareNames(base, other), 0);
    other.*field = QByteArray();
    EXPECT_EQ(EngineHelper::CompareNames(base, other), 0) << "a field missing on one side";
  }
  DistinguishedName nullFields, emptyFields;
  emptyFields.CN = "";
  EXPECT_EQ(EngineHelper::CompareNames(nullFields, emptyFields), 1) << "missing counts as empty";
  DistinguishedName lower = base;
  lower.CN = "иванов";
  EXPECT_EQ(EngineHelper::CompareNames(base, lower), 0) << "exact, case included";
}

TEST(CertIdentity, SerialHexToDecimal) {
  struct Case {
    const char* hex;
    const char* decimal;
  };
  const Case cases[] = {
      {"0A", "10"},
      {"-0A", "-10"},
      {"00", "0"},
      {"1A2B", "6699"},
      {"FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF", "340282366920938463463374607431768211455"},
      {"", ""},
      {"12zz", ""},
      {"zz", ""},
      {"1 2", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(EngineHelper::SerialHexToDecimal(c.hex), QByteArray(c.decimal)) << c.hex;
  EXPECT_EQ(EngineHelper::SerialHexToDecimal(QByteArray(257, '1')), "") << "longer than any serial form";
  EXPECT_FALSE(EngineHelper::SerialHexToDecimal(QByteArray(256, '1')).isEmpty());
}

TEST_F(CertDirectory, StoredMeansSameSerialNameAndIssuer) {
  testing::ScopedOpenSslFactory crypto;
  DistinguishedName issuerA, issuerB;
  CertificateInfo info;
  ASSERT_EQ(makeDirectoryCryptoSession()->GetCertificateInfo(certA_, info), 0);
  issuerA = info.issuer;
  ASSERT_EQ(makeDirectoryCryptoSession()->GetCertificateInfo(certB_, info), 0);
  issuerB = info.issuer;

  user_cert("1A2B", certA_);
  user_cert("DAMAGED", "not a certificate");
  owner_entry("Иван", {}, certB_);
  EXPECT_TRUE(helper_.IsCertificateStored("1A2B", issuerA, false));
  EXPECT_FALSE(helper_.IsCertificateStored("1A2B", issuerB, false));
  EXPECT_FALSE(helper_.IsCertificateStored("DAMAGED", issuerA, false));
  EXPECT_FALSE(helper_.IsCertificateStored("FFFF", issuerA, false));
  EXPECT_TRUE(helper_.IsCertificateStored("Иван", issuerB, true));
  EXPECT_FALSE(helper_.IsCertificateStored("Иван", issuerA, true));
  EXPECT_FALSE(helper_.IsCertificateStored("1A2B", issuerA, true)) << "flag 1 reads executor entries only";
}

TEST_F(CertDirectory, WithoutAToolkitNothingDecodes) {
  user_cert("1A2B", certA_);
  EXPECT_FALSE(helper_.IsCertificateStored("1A2B", {}, false));
  EXPECT_FALSE(helper_.ImportCertificate(certA_, "a@b"));
  EXPECT_EQ(stored_user("1A2B"), certA_);
  ASSERT_EQ(ui_.messages().size(), 1u) << "the decode failure is shown";
}

TEST_F(CertDirectory, ImportWritesCertificateAliasAndEmail) {
  testing::ScopedOpenSslFactory crypto;
  ASSERT_TRUE(helper_.ImportCertificate(certA_, "ivanov@example.ru"));
  EXPECT_EQ(stored_user("1A2B"), certA_);
  EXPECT_EQ(helper_.GetUserProfile("1A2B"), "");
  QByteArray found;
  ASSERT_TRUE(helper_.FindCertificateByEmail("ivanov@example.ru", found));
  EXPECT_EQ(found, certA_);

  // Importing it again writes nothing, not even the new address.
  EXPECT_TRUE(helper_.SetUserProfile("1A2B", "Коллега"));
  EXPECT_FALSE(helper_.ImportCertificate(certA_, "changed@example.ru"));
  EXPECT_EQ(helper_.GetUserProfile("1A2B"), "Коллега");
  EXPECT_TRUE(helper_.FindCertificateByEmail("ivanov@example.ru", found));
  EXPECT_FALSE(helper_.FindCertificateByEmail("changed@example.ru", found));
  EXPECT_TRUE(ui_.messages().empty());
}

TEST_F(CertDirectory, ImportOfAnotherCaCertificateUnderAStoredSerialAsksFirst) {
  testing::ScopedOpenSslFactory crypto;
  ASSERT_TRUE(helper_.ImportCertificate(certA_, "ivanov@example.ru"));

  ui_.queueMessage(IDNO);
  EXPECT_FALSE(helper_.ImportCertificate(certB_, "beta@example.ru"));
  ASSERT_EQ(ui_.messages().size(), 1u);
  EXPECT_TRUE(ui_.messages()[0].text.contains("1A2B"));
  EXPECT_EQ(ui_.messages()[0].flags & MB_TYPEMASK, unsigned{MB_YESNO});
  EXPECT_EQ(stored_user("1A2B"), certA_) << "refused: the stored certificate stays";
  QByteArray found;
  EXPECT_FALSE(helper_.FindCertificateByEmail("beta@example.ru", found));

  EngineHelper::setUi(nullptr);  // no person to ask: the safe answer keeps it
  EXPECT_FALSE(helper_.ImportCertificate(certB_, "beta@example.ru"));
  EXPECT_EQ(stored_user("1A2B"), certA_);
  EngineHelper::setUi(&ui_);

  ui_.queueMessage(IDYES);
  EXPECT_TRUE(helper_.ImportCertificate(certB_, "beta@example.ru"));
  EXPECT_EQ(stored_user("1A2B"), certB_);
  ASSERT_TRUE(helper_.FindCertificateByEmail("beta@example.ru", found));
  EXPECT_EQ(found, certB_);
  EXPECT_FALSE(helper_.FindCertificateByEmail("ivanov@example.ru", found));
}

// A mail client waits on the import: nothing is asked, the stored
// certificate stays, and the log says so.
TEST_F(CertDirectory, ImportThatNeverAsksKeepsTheStoredCertificateUnderAClashingSerial) {
  testing::ScopedOpenSslFactory crypto;
  ASSERT_TRUE(log_to_scratch());
  ASSERT_TRUE(helper_.ImportCertificate(certA_, "ivanov@example.ru"));
  ui_.queueMessage(IDYES);  // would replace it, were it asked
  EXPECT_FALSE(helper_.ImportCertificate(certB_, "beta@example.ru", nullptr, EngineHelper::ImportClash::kKeepStored));
  EXPECT_TRUE(ui_.messages().empty());
  EXPECT_EQ(stored_user("1A2B"), certA_);
  QByteArray found;
  EXPECT_FALSE(helper_.FindCertificateByEmail("beta@example.ru", found));
  const QString logged = QString::fromStdString(read_file(path("events.log")));
  EXPECT_TRUE(logged.contains("1A2B") && logged.contains("beta@example.ru")) << logged.toStdString();
}

TEST_F(CertDirectory, ImportOfUndecodableBytesShowsTheToolkitError) {
  testing::ScopedOpenSslFactory crypto;
  EXPECT_FALSE(helper_.ImportCertificate("garbage", "x@y"));
  ASSERT_EQ(ui_.messages().size(), 1u);
  EXPECT_EQ(stored_user("1A2B"), QByteArray());
  RegistryKey key;
  EXPECT_FALSE(key.OpenKey(platform::reg::HKEY_CURRENT_USER, std::string(kProductKey) + "\\Certificats\\Users"));
}

TEST_F(CertDirectory, CompareCertificatesByTheIdentityRule) {
  testing::ScopedOpenSslFactory crypto;
  const QByteArray otherSubject = make_certificate("1A2B", {"Петров", "", "RU", ""}, kCaA);
  const QByteArray otherSerial = make_certificate("1A2C", kUser, kCaA);
  struct Case {
    const char* name;
    QByteArray a, b;
    int expected;
  };
  const Case cases[] = {
      {"itself", certA_, certA_, 1},
      {"same serial and issuer, other subject", certA_, otherSubject, 1},
      {"other issuer", certA_, certB_, 0},
      {"other serial", certA_, otherSerial, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(helper_.CompareCertificates(c.a, c.b), c.expected);
    EXPECT_EQ(helper_.CompareCertificates(c.b, c.a), c.expected);
  }
  EXPECT_TRUE(ui_.messages().empty());
  for (const auto& [a, b] : {std::pair<QByteArray, QByteArray>{"junk", certA_}, {certA_, "junk"}}) {
    EXPECT_EQ(helper_.CompareCertificates(a, b), 0);
  }
  EXPECT_EQ(ui_.messages().size(), 2u) << "each decode failure is shown";
  EXPECT_EQ(crypto.counters().opened.load(), crypto.counters().closed.load()) << "every session closed";
}

}  // namespace
}  // namespace dsutils
