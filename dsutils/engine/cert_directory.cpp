// The local certificate directory as the engine reads it (and adds other
// users' certificates to it): the executor's entries, other users'
// certificates with their aliases and e-mail addresses, CA certificates and
// the revocation-list folder, all below the product key.
#include <openssl/bn.h>
#include <openssl/crypto.h>

#include <mutex>

#include "crypto/bn/bn_owner.h"
#include "dsutils/engine/engine_helper.h"
#include "dsutils/engine/error_text.h"
#include "dsutils/engine/operation_lock.h"
#include "platform/registry/registry_key.h"

namespace dsutils {
namespace {

using platform::reg::HKEY_CURRENT_USER;
using platform::reg::Key;
using platform::reg::RegistryKey;
using platform::reg::Store;

constexpr const char* kOwnerKey = "\\Certificats\\Owner";
constexpr const char* kUsersKey = "\\Certificats\\Users";
constexpr const char* kUsersProfileKey = "\\Certificats\\Users\\Profile";
constexpr const char* kUsersEmailKey = "\\Certificats\\Users\\Email";
constexpr const char* kCaKey = "\\Certificats\\Ca";
constexpr const char* kCrlKey = "\\Certificats\\CRL";

// The enumeration buffers of the e-mail search: a longer name or e-mail
// cannot be the one looked for.
constexpr std::size_t kEmailNameBytes = 1024;
constexpr std::size_t kEmailDataBytes = 2048;

std::string dir_path(const char* tail) { return std::string(kProductKey) + tail; }

// An entry name becomes one key name: "\" would walk into another key, and
// an empty name would stand for the parent itself.
bool usable_entry_name(const QString& name) { return !name.isEmpty() && !name.contains(QLatin1Char('\\')); }

std::string owner_entry_path(const QString& name) { return dir_path(kOwnerKey) + "\\" + name.toStdString(); }

bool open_existing(RegistryKey& key, const std::string& path) { return key.OpenKey(HKEY_CURRENT_USER, path); }

bool open_or_create(RegistryKey& key, const std::string& path) {
  return open_existing(key, path) || key.CreateKey(HKEY_CURRENT_USER, path);
}

bool read_string(RegistryKey& key, const char* name, QString& out) {
  std::string s;
  if (!key.QueryString(name, s)) return false;
  out = QString::fromStdString(s);
  return true;
}

bool read_binary(RegistryKey& key, std::string_view name, QByteArray& out) {
  std::vector<std::uint8_t> buffer;
  if (!key.QueryBinary(name, buffer)) return false;
  out = QByteArray(reinterpret_cast<const char*>(buffer.data()), static_cast<qsizetype>(key.last_size()));
  return true;
}

// A key opened for enumeration, which RegistryKey does not offer.
struct EnumKey {
  std::shared_ptr<Store> store;
  Key key;

  bool open(const std::string& path) {
    store = Store::current_user();
    return store && Key::root(store).open(path, key) == platform::reg::ERROR_SUCCESS;
  }
};

// The text of a REG_SZ value's data, without its terminator.
QByteArray sz_text(const std::vector<std::uint8_t>& data) {
  QByteArray text(reinterpret_cast<const char*>(data.data()), static_cast<qsizetype>(data.size()));
  if (const qsizetype z = text.indexOf('\0'); z >= 0) text.truncate(z);
  return text;
}

class NoToolkitSession final : public DirectoryCryptoSession {
 public:
  int Open() override { return kToolkitNotInitialised; }
  int Close() override { return kToolkitOk; }
  int GetCertificateInfo(const QByteArray&, CertificateInfo&) override { return kToolkitNotInitialised; }
};

std::mutex g_factory_lock;
DirectoryCryptoFactory g_factory;

}  // namespace

void setDirectoryCryptoFactory(DirectoryCryptoFactory factory) {
  const std::lock_guard<std::mutex> lock(g_factory_lock);
  g_factory = std::move(factory);
}

std::unique_ptr<DirectoryCryptoSession> makeDirectoryCryptoSession() {
  DirectoryCryptoFactory factory;
  {
    const std::lock_guard<std::mutex> lock(g_factory_lock);
    factory = g_factory;
  }
  std::unique_ptr<DirectoryCryptoSession> session;
  if (factory) session = factory();
  if (!session) session = std::make_unique<NoToolkitSession>();
  return session;
}

bool EngineHelper::GetOwnerRecord(OwnerRecord& record) {
  RegistryKey key;
  if (record.name.isEmpty()) {
    if (!open_existing(key, dir_path(kOwnerKey)) || !read_string(key, "Owner", record.name)) return false;
    key.Close();
  }
  if (!usable_entry_name(record.name) || !open_existing(key, owner_entry_path(record.name))) return false;
  if (!read_string(key, "File", record.file) || !read_string(key, "Path", record.path) ||
      !read_string(key, "Profile", record.profile))
    return false;
  std::uint32_t sczi = 0;
  if (!key.QueryDword("SCZI", sczi)) return false;
  record.sczi = sczi;
  return read_binary(key, "SerNum", record.serNum);
}

bool EngineHelper::CheckOwner(OperationProgress* progress) {
  OwnerRecord record;
  if (GetOwnerRecord(record)) return true;
  ShowMessage(QStringLiteral("Не определен  Исполнитель в Локальном справочнике сертификатов!"), MB_OK | MB_ICONSTOP,
              progress);
  return false;
}

QString EngineHelper::GetOwnerProfile(const QString& entry) {
  RegistryKey key;
  QString profile;
  if (!usable_entry_name(entry) || !open_existing(key, owner_entry_path(entry))) return {};
  return read_string(key, "Profile", profile) ? profile : QString();
}

QString EngineHelper::GetUserProfile(const QString& valueName) {
  RegistryKey key;
  QString alias;
  if (!open_existing(key, dir_path(kUsersProfileKey))) return {};
  return read_string(key, valueName.toStdString().c_str(), alias) ? alias : QString();
}

bool EngineHelper::LoadDirectoryCertificate(const QString& valueName, QByteArray& certificate) {
  RegistryKey key;
  if (open_existing(key, dir_path(kUsersKey)) && read_binary(key, valueName.toStdString(), certificate)) return true;
  key.Close();
  return usable_entry_name(valueName) && open_existing(key, owner_entry_path(valueName)) &&
         read_binary(key, "SerNum", certificate);
}

bool EngineHelper::EnumCaCertificate(std::uint32_t index, QByteArray& certificate) {
  EnumKey ca;
  if (!ca.open(dir_path(kCaKey))) return false;
  std::string name;
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
  if (ca.store->enum_value(ca.key.id(), index, name, &type, &data) != platform::reg::ERROR_SUCCESS) return false;
  certificate = QByteArray(reinterpret_cast<const char*>(data.data()), static_cast<qsizetype>(data.size()));
  return true;
}

bool EngineHelper::EnumUserCertificate(std::uint32_t index, QString& valueName, QByteArray& certificate) {
  EnumKey users;
  if (!users.open(dir_path(kUsersKey))) return false;
  std::string name;
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
  if (users.store->enum_value(users.key.id(), index, name, &type, &data) != platform::reg::ERROR_SUCCESS) return false;
  valueName = QString::fromStdString(name);
  certificate = QByteArray(reinterpret_cast<const char*>(data.data()), static_cast<qsizetype>(data.size()));
  return true;
}

QString EngineHelper::GetCrlSettings() {
  RegistryKey key;
  std::uint32_t isUse = 0;
  QString path;
  if (!open_existing(key, dir_path(kCrlKey)) || !key.QueryDword("IsUse", isUse) || isUse == 0) return {};
  return read_string(key, "Path", path) ? path : QString();
}

bool EngineHelper::FindCertificateByEmail(const QString& email, QByteArray& certificate) {
  if (email.isEmpty()) return false;
  const QByteArray wanted = email.toUtf8();
  auto load = [&](const QString& valueName) {
    QByteArray bytes;
    if (!LoadDirectoryCertificate(valueName, bytes) || bytes.isEmpty()) return false;
    certificate = bytes;
    return true;
  };

  EnumKey users;
  if (users.open(dir_path(kUsersEmailKey))) {
    std::string name;
    std::vector<std::uint8_t> data;
    for (std::uint32_t i = 0;; ++i) {
      std::uint32_t type = 0;
      if (users.store->enum_value(users.key.id(), i, name, &type, &data) != platform::reg::ERROR_SUCCESS) break;
      if (name.empty()) break;
      if (name.size() >= kEmailNameBytes || data.size() > kEmailDataBytes) continue;
      if (sz_text(data) == wanted) return load(QString::fromStdString(name));
    }
  }

  EnumKey owners;
  if (!owners.open(dir_path(kOwnerKey))) return false;
  std::string entry;
  for (std::uint32_t i = 0; owners.store->enum_key(owners.key.id(), i, entry) == platform::reg::ERROR_SUCCESS; ++i) {
    RegistryKey key;
    QString entryEmail;
    if (!open_existing(key, dir_path(kOwnerKey) + "\\" + entry) || !read_string(key, "Email", entryEmail)) continue;
    if (entryEmail.toUtf8() == wanted) return load(QString::fromStdString(entry));
  }
  return false;
}

bool EngineHelper::IsCertificateStored(const QString& valueName, const DistinguishedName& issuer, bool owner) {
  RegistryKey key;
  QByteArray stored;
  if (owner) {
    if (!usable_entry_name(valueName) || !open_existing(key, owner_entry_path(valueName)) ||
        !read_binary(key, "SerNum", stored))
      return false;
  } else if (!open_existing(key, dir_path(kUsersKey)) || !read_binary(key, valueName.toStdString(), stored)) {
    return false;
  }
  CertificateInfo info;
  const auto session = makeDirectoryCryptoSession();
  return session->GetCertificateInfo(stored, info) == kToolkitOk && CompareNames(info.issuer, issuer) == 1;
}

bool EngineHelper::ImportCertificate(const QByteArray& certificate, const QString& email, OperationProgress* progress,
                                     ImportClash clash) {
  CertificateInfo info;
  const auto session = makeDirectoryCryptoSession();
  if (const int code = session->GetCertificateInfo(certificate, info); code != kToolkitOk) {
    error_text_loader().ShowError(code, progress);
    return false;
  }
  const QString name = QString::fromLatin1(info.serial);
  if (name.isEmpty()) return false;
  if (IsCertificateStored(name, info.issuer, false) || IsCertificateStored(name, info.issuer, true)) return false;

  RegistryKey users;
  if (!open_or_create(users, dir_path(kUsersKey))) return false;
  // Serial numbers are unique only per issuer: a certificate of another CA
  // with the same serial already sits under this name. Replacing it would
  // lose it without a word, so the person decides.
  QByteArray present;
  if (read_binary(users, name.toStdString(), present)) {
    if (present == certificate) return false;
    if (clash == ImportClash::kKeepStored) {
      error_text_loader().LogLine(QStringLiteral("В Локальном справочнике сертификатов уже есть другой сертификат "
                                                 "с серийным номером %1: он сохранен, новый сертификат (%2) не "
                                                 "записан.")
                                      .arg(name, email));
      return false;
    }
    const int answer = ShowMessage(QStringLiteral("В Локальном справочнике сертификатов уже есть другой сертификат "
                                                  "с серийным номером %1.\n\nЗаменить?")
                                       .arg(name),
                                   MB_YESNO | MB_ICONQUESTION, progress);
    if (answer != IDYES) return false;
  }
  if (!users.SetBinary(name.toStdString(), certificate.constData(), static_cast<std::uint32_t>(certificate.size())))
    return false;
  SetUserProfile(name, QString());
  SetUserEmail(name, email);
  return true;
}

bool EngineHelper::SetUserProfile(const QString& valueName, const QString& alias) {
  RegistryKey key;
  if (valueName.isEmpty() || !open_or_create(key, dir_path(kUsersProfileKey))) return false;
  return key.SetString(valueName.toStdString(), alias.toStdString());
}

bool EngineHelper::SetUserEmail(const QString& valueName, const QString& email) {
  RegistryKey key;
  if (valueName.isEmpty() || !open_or_create(key, dir_path(kUsersEmailKey))) return false;
  return key.SetString(valueName.toStdString(), email.toStdString());
}

int EngineHelper::CompareNames(const DistinguishedName& a, const DistinguishedName& b) {
  return a.CN == b.CN && a.C == b.C && a.Email == b.Email && a.L == b.L && a.O == b.O && a.OU == b.OU && a.SP == b.SP &&
                 a.T == b.T
             ? 1
             : 0;
}

int EngineHelper::CompareCertificates(const QByteArray& a, const QByteArray& b, OperationProgress* progress) {
  CertificateInfo infoA, infoB;
  int code = kToolkitOk;
  {
    // This look-up starts the toolkit: it waits for a running operation to
    // end (inside one, the operation's own thread holds the lock already).
    const OperationLock lock;
    const auto session = makeDirectoryCryptoSession();
    const bool opened = session->Open() == kToolkitOk;
    code = session->GetCertificateInfo(a, infoA);
    if (code == kToolkitOk) code = session->GetCertificateInfo(b, infoB);
    if (opened) session->Close();
  }
  if (code != kToolkitOk) {
    error_text_loader().ShowError(code, progress);
    return 0;
  }
  return infoA.serial == infoB.serial && CompareNames(infoA.issuer, infoB.issuer) == 1 ? 1 : 0;
}

QByteArray EngineHelper::SerialHexToDecimal(const QByteArray& hex) {
  // The serial form is at most 126 digits and a sign; the whole text must be
  // the number, so no stray character passes into a directory filter.
  constexpr qsizetype kMaxHex = 256;
  if (hex.isEmpty() || hex.size() > kMaxHex) return {};
  BIGNUM* raw = nullptr;
  const int used = BN_hex2bn(&raw, hex.constData());
  const qcrypto::UniquePtr<BIGNUM> number(raw);
  if (used <= 0 || used != hex.size()) return {};
  char* text = BN_bn2dec(number.get());
  if (text == nullptr) return {};
  QByteArray out(text);
  OPENSSL_free(text);
  return out;
}

}  // namespace dsutils
