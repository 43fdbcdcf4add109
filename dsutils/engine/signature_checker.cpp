#include "dsutils/engine/signature_checker.h"

#include <QFile>
#include <QSaveFile>
#include <utility>

#include "dsutils/engine/error_text.h"
#include "dsutils/engine/ldap_lookup.h"
#include "quillon2/ql_codes.h"
#include "quillon2/ql_dn.h"
#include "quillon2/ql_file.h"

namespace dsutils {
namespace {

namespace ql = quillon2;

constexpr const char* kEmbeddedOffer =
    "При проверке подписи используется встроенный сертификат!\r\nИмпортировать встроенный сертификат в Локальный "
    "справочник?\r\n\r\n Атрибуты сертификата  автора подписи:\r\n    серийный номер - %1\r\n    полное имя "
    "владельца - %2\r\n";
constexpr const char* kLdapOffer =
    "При проверке подписи используется сертификат со справочника LDAP!\r\nИмпортировать сертификат в Локальный "
    "справочник?\r\n\r\n Атрибуты сертификата  автора подписи:\r\n    серийный номер - %1\r\n    полное имя "
    "владельца - %2\r\n";

// Owns one decoded message.
struct MessageHold {
  CryptoSession& session;
  QL_MESSAGE* message = nullptr;
  ~MessageHold() {
    if (message != nullptr) session.FreeMessage(message);
  }
};

// Owns one signature set.
struct SetHold {
  CryptoSession& session;
  QL_SIGN_SET* set = nullptr;
  ~SetHold() {
    if (set != nullptr) session.FreeSignatureSet(set);
  }
};

// Owns one toolkit buffer.
struct BufferHold {
  CryptoSession& session;
  unsigned char* data = nullptr;
  ~BufferHold() {
    if (data != nullptr) session.FreeBuffer(data);
  }
};

// Fills a fresh toolkit name record and frees its texts at the end.
struct NameHold {
  ql::QL_DN* name = ql::QL_DN_new();
  ~NameHold() { ql::QL_DN_free(name); }
};

// The certificate bytes the toolkit hands out as PEM, as DER for the directory.
QByteArray der_of(const QByteArray& bytes) {
  const qsizetype begin = bytes.indexOf("-----BEGIN");
  if (begin < 0) return bytes;
  const qsizetype bodyStart = bytes.indexOf('\n', begin);
  const qsizetype end = bytes.indexOf("-----END", bodyStart);
  if (bodyStart < 0 || end < 0) return bytes;
  return QByteArray::fromBase64(bytes.mid(bodyStart + 1, end - bodyStart - 1));
}

}  // namespace

QString SignatureIssuerText(const DistinguishedName& n) {
  QString out;
  const auto add = [&out](const char* key, const QByteArray& value) {
    if (!value.isEmpty()) out += QStringLiteral("/%1=%2").arg(QLatin1String(key), QString::fromLocal8Bit(value));
  };
  add("C", n.C);
  add("SP", n.SP);
  add("L", n.L);
  add("O", n.O);
  add("OU", n.OU);
  add("CN", n.CN);
  return out;
}

bool SignatureChecker::CheckFile(const QString& path, bool quiet) {
  fileName_ = path;
  // Mapped, not copied: a document of any size costs address space only.
  ql::MappedFile file;
  if (file.open(QFile::encodeName(path).constData()) != ql::FileRead::kOk || file.size() == 0) return false;
  return VerifySignatures(file.data(), static_cast<long>(file.size()), quiet);
}

bool SignatureChecker::VerifySignatures(const unsigned char* buffer, long length, bool quiet) {
  return walk(buffer, length, quiet, 1);
}

void SignatureChecker::findSignerCertificate(const QL_MESSAGE* message, int index, SignatureRecord& record,
                                             int& source) {
  CryptoSession& session = global_crypto_session();
  EngineHelper& helper = engine_helper();
  record.serial = session.GetSignerSerial(message, index);
  record.signingTime = session.GetSignerSigningTime(message, index);
  NameHold name;
  const QString issuer = name.name != nullptr ? session.GetSignerIssuer(message, index, name.name) : QString();
  if (name.name != nullptr) record.issuer = ToDistinguishedName(*name.name);
  source = kSourceLocal;
  if (issuer.isEmpty()) return;
  // A directory entry under the same serial from another issuer is another
  // holder's certificate: only one whose issuer matches counts as found.
  QByteArray local;
  if (helper.LoadDirectoryCertificate(record.serial, local) && !local.isEmpty()) {
    CertificateInfo info;
    if (session.GetCertificateInfo(local, info) == ql::QL_OK && QString::fromLatin1(info.serial) == record.serial &&
        EngineHelper::CompareNames(info.issuer, record.issuer) == 1) {
      session.AddCertificate(reinterpret_cast<const unsigned char*>(local.constData()), local.size());
      return;
    }
  }
  QByteArray remote;
  if (LookupLdapCertificate(record.serial.toLatin1(), record.issuer, remote) == 1 &&
      session.AddCertificate(reinterpret_cast<const unsigned char*>(remote.constData()), remote.size()) == ql::QL_OK)
    source = kSourceLdap;
}

void SignatureChecker::offerImport(const SignatureRecord& record, bool ldap) {
  if (record.certificate.isEmpty()) return;
  const QByteArray der = der_of(record.certificate);
  QString serial = record.serial;
  QString holder = record.signerName;
  CertificateInfo info;
  if (global_crypto_session().GetCertificateInfo(der, info) == ql::QL_OK) {
    serial = QString::fromLatin1(info.serial);
    holder = QString::fromLocal8Bit(info.subject.CN);
  }
  const QString text = QString::fromUtf8(ldap ? kLdapOffer : kEmbeddedOffer).arg(serial, holder);
  if (engine_helper().ShowMessage(text, MB_YESNO | MB_ICONQUESTION, progress_) == IDYES)
    engine_helper().ImportCertificate(der, QString(), progress_);
}

std::vector<SignatureRecord> SignatureChecker::lookupSigners(const QL_MESSAGE* message, int count) {
  std::vector<SignatureRecord> templates(static_cast<std::size_t>(count > 0 ? count : 0));
  for (int i = 0; i < count; ++i) {
    SignatureRecord& t = templates[static_cast<std::size_t>(i)];
    t.fileName = fileName_;
    findSignerCertificate(message, i, t, t.source);
  }
  return templates;
}

void SignatureChecker::addSignerRecords(QL_SIGN_SET* set, const std::vector<SignatureRecord>& templates, int code,
                                        bool quiet) {
  CryptoSession& session = global_crypto_session();
  const bool failed = code != ql::QL_OK && code != ql::QL_ERR_BAD_SIGNATURE;
  for (std::size_t k = 0; k < templates.size(); ++k) {
    const int i = static_cast<int>(k);
    auto record = std::make_unique<SignatureRecord>(templates[k]);
    record->fileName = fileName_;
    record->signerFlag = 1;
    if (failed) {
      record->status = kMessageFailed;
      record->resultCode = code;
    }
    if (session.IsSignerCertificateEmbedded(set, i) != 0)
      record->source = kSourceEmbedded;
    else if (record->source != kSourceLdap)
      record->source = kSourceLocal;
    if (!failed) {
      const int status = session.GetSignerStatus(set, i);
      record->status = status == 0 ? kSignatureConfirmed : kSignerFailed;
      record->resultCode = status;
      record->signerName = session.GetSignerName(set, i);
      unsigned char* data = nullptr;
      long length = 0;
      if (session.GetSignerCertificateData(set, i, &data, &length) == ql::QL_OK && data != nullptr) {
        record->certificate = QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(length));
        record->certificateLength = static_cast<int>(length);
      }
      session.FreeBuffer(data);
      if (!quiet) {
        if (record->source == kSourceEmbedded) offerImport(*record, false);
        if (record->source == kSourceLdap) offerImport(*record, true);
      }
    }
    records_.push_back(std::move(record));
  }
}

bool SignatureChecker::walk(const unsigned char* buffer, long length, bool quiet, int layer) {
  if (buffer == nullptr) return false;
  CryptoSession& session = global_crypto_session();
  int kind = 0;
  MessageHold message{session};
  if (const int code = session.ReadMessageBuffer(buffer, length, &kind, &message.message); code != ql::QL_OK) {
    error_text_loader().ShowError(code, progress_);
    return false;
  }
  if (kind != ql::QL_KIND_SIGNED) return true;
  if (layer > kMaxSignatureLayers) {
    error_text_loader().LogLine(
        QStringLiteral("Более %1 вложенных подписей.\r\nФайл: %2").arg(kMaxSignatureLayers).arg(fileName_));
    return false;
  }

  // Each signer's certificate is looked up before the verification needs it.
  const std::vector<SignatureRecord> templates =
      lookupSigners(message.message, session.GetSignerCount(message.message));
  SetHold set{session, session.NewSignatureSet()};
  if (set.set == nullptr) return false;
  // The content is read where it lies in the message (the mapped file): a
  // copy beside the mapping would double what a large document costs.
  const unsigned char* content = nullptr;
  BufferHold joined{session};
  long contentLength = 0;
  const int code =
      session.VerifySignedDataInPlace(set.set, buffer, length, &content, &contentLength, &joined.data, progress_);
  addSignerRecords(set.set, templates, code, quiet);
  if (content == nullptr) return true;
  return walk(content, contentLength, quiet, layer + 1);
}

bool SignatureChecker::VerifySignaturesEx(const QString& documentPath, bool quiet) {
  if (signatureFiles_.isEmpty()) return true;
  CryptoSession& session = global_crypto_session();
  ql::MappedFile document;
  if (document.open(QFile::encodeName(documentPath).constData()) != ql::FileRead::kOk) return false;
  if (document.size() == 0) return true;
  SetHold set{session, session.NewSignatureSet()};
  if (set.set == nullptr) return false;
  for (const QString& signatureFile : signatureFiles_) {
    if (signatureFile.isEmpty()) continue;
    ql::MappedFile signature;
    if (signature.open(QFile::encodeName(signatureFile).constData()) != ql::FileRead::kOk) return false;
    if (signature.size() == 0) continue;
    const auto length = static_cast<long>(signature.size());
    int kind = 0;
    MessageHold message{session};
    if (const int code = session.ReadMessageBuffer(signature.data(), length, &kind, &message.message);
        code != ql::QL_OK) {
      error_text_loader().ShowError(code, progress_);
      return false;
    }
    if (kind != ql::QL_KIND_SIGNED) {
      auto record = std::make_unique<SignatureRecord>();
      record->fileName = signatureFile;
      record->signerFlag = 0;
      record->status = kSignatureNotFound;
      records_.push_back(std::move(record));
      continue;
    }
    const std::vector<SignatureRecord> templates =
        lookupSigners(message.message, session.GetSignerCount(message.message));
    // Not cancellable: a detached check is short beside the document's read.
    const int code = session.VerifySignedDataEx(set.set, signature.data(), length, nullptr, nullptr, 0, document.data(),
                                                static_cast<long>(document.size()), nullptr);
    addSignerRecords(set.set, templates, code, quiet);
  }
  return true;
}

bool SignatureChecker::BuildProtocol(const QString& path, QString& text) const {
  bool allOk = true;
  int number = 1;
  const QString filePart = GetFileFromName(path);
  for (const auto& record : records_) {
    if (!record) {
      allOk = false;
      continue;
    }
    text += FormatSignature(filePart, *record, number, false) + QStringLiteral("\r\n");
    if (record->resultCode != 0) allOk = false;
    ++number;
  }
  return allOk;
}

QString SignatureChecker::FormatSignature(const QString& filePart, const SignatureRecord& r, int number, bool spaced) {
  const QString L = spaced ? QStringLiteral(" \r\n") : QString();
  QString source;
  if (r.source == kSourceLdap) {
    std::uint32_t start = 0;
    QString connect, port, search;
    engine_helper().GetLdapSettings(start, connect, port, search);
    source = QStringLiteral("сервер LDAP %1:%2").arg(connect, port);
  } else if (r.source == kSourceEmbedded) {
    source = QStringLiteral("встроен в подписанный документ");
  } else {
    source = QStringLiteral("локальный справочник");
  }
  // Every entry: its number, the verdict, then what names the signature.
  const auto entry = [&](const QString& verdict, const QString& details) {
    return QStringLiteral(" Подпись №") + QString::number(number) + QStringLiteral("\r\n") + L +
           QStringLiteral(" Результат проверки: ") + verdict + QStringLiteral("\r\n") + L + details +
           QStringLiteral("\r\n") + L;
  };
  const QString serial = QStringLiteral(" Атрибуты сертификата  автора подписи:\r\n    серийный номер - ") + r.serial;
  const QString owner = serial + QStringLiteral("\r\n    полное имя владельца - ") + r.signerName +
                        QStringLiteral("\r\n    источник сертификата - ") + source;
  switch (r.status) {
    case kSignatureConfirmed:
      return entry(QStringLiteral("ПОДПИСЬ ПОДТВЕРЖДЕНА"), owner);
    case kSignerFailed:
      return entry(error_text_loader().GetErrorText(r.resultCode).toUpper(), owner);
    case kMessageFailed:
      return entry(error_text_loader().GetErrorText(r.resultCode).toUpper(),
                   serial + QStringLiteral("\r\n    издатель сертификата - ") + SignatureIssuerText(r.issuer));
    case kSignatureNotFound:
      return entry(QStringLiteral("ПОДПИСЬ НЕ ОБНАРУЖЕНА"), QStringLiteral(" Местонахождение подписи: ") + filePart);
    default:
      return {};
  }
}

bool SignatureChecker::ExtractDocument(const QString& path, unsigned char** buffer, long* length, QString& error) {
  CryptoSession& session = global_crypto_session();
  ErrorTextLoader& texts = error_text_loader();
  *buffer = nullptr;
  *length = 0;
  int kind = 0;
  if (const int code = session.QueryFileType(path, &kind); code != ql::QL_OK) {
    error = texts.GetErrorText(code);
    return false;
  }
  if (kind != ql::QL_KIND_SIGNED) {
    error = QStringLiteral("Документ не содержит ЭЦП!");
    return false;
  }
  ql::MappedFile file;
  if (file.open(QFile::encodeName(path).constData()) != ql::FileRead::kOk) {
    error = QStringLiteral("Не удалось открыть файл!");
    return false;
  }
  if (file.size() == 0) {
    error = QStringLiteral("Файл нулевой длины!");
    return false;
  }
  const unsigned char* current = file.data();
  long currentLength = static_cast<long>(file.size());
  BufferHold previous{session};
  for (int layer = 1;; ++layer) {
    if (layer > kMaxSignatureLayers) {
      error = QStringLiteral("Более %1 вложенных подписей.").arg(kMaxSignatureLayers);
      return false;
    }
    unsigned char* content = nullptr;
    long contentLength = 0;
    if (const int code = session.GetSignedContent(current, currentLength, &content, &contentLength);
        code != ql::QL_OK) {
      session.FreeBuffer(content);
      error = texts.GetErrorText(code);
      return false;
    }
    if (previous.data != nullptr) session.FreeBuffer(previous.data);
    previous.data = content;
    current = content;
    currentLength = contentLength;
    if (const int code = session.GetBufferType(current, currentLength, &kind); code != ql::QL_OK) {
      error = texts.GetErrorText(code);
      return false;
    }
    if (kind != ql::QL_KIND_SIGNED) break;
  }
  *buffer = previous.data;
  *length = currentLength;
  previous.data = nullptr;
  return true;
}

ExtractResult SignatureChecker::ExtractDocumentTo(const QString& path, const QString& target, QString& error,
                                                  bool synced) {
  CryptoSession& session = global_crypto_session();
  ErrorTextLoader& texts = error_text_loader();
  int kind = 0;
  if (const int code = session.QueryFileType(path, &kind); code != ql::QL_OK) {
    error = texts.GetErrorText(code);
    return ExtractResult::kFailed;
  }
  if (kind != ql::QL_KIND_SIGNED) {
    error = QStringLiteral("Документ не содержит ЭЦП!");
    return ExtractResult::kFailed;
  }
  ql::MappedFile file;
  if (file.open(QFile::encodeName(path).constData()) != ql::FileRead::kOk) {
    error = QStringLiteral("Не удалось открыть файл!");
    return ExtractResult::kFailed;
  }
  if (file.size() == 0) {
    error = QStringLiteral("Файл нулевой длины!");
    return ExtractResult::kFailed;
  }
  // Each layer's content is read where it lies in the mapped file; only a
  // content made of pieces is joined into a buffer of its own.
  const unsigned char* current = file.data();
  long currentLength = static_cast<long>(file.size());
  BufferHold previous{session};
  for (int layer = 1;; ++layer) {
    if (layer > kMaxSignatureLayers) {
      error = QStringLiteral("Более %1 вложенных подписей.").arg(kMaxSignatureLayers);
      return ExtractResult::kFailed;
    }
    const unsigned char* content = nullptr;
    long contentLength = 0;
    BufferHold joined{session};
    if (const int code =
            session.GetSignedContentInPlace(current, currentLength, &content, &contentLength, &joined.data);
        code != ql::QL_OK) {
      error = texts.GetErrorText(code);
      return ExtractResult::kFailed;
    }
    // The previous layer's joined buffer may hold this content: it goes only now.
    std::swap(previous.data, joined.data);
    current = content;
    currentLength = contentLength;
    if (const int code = session.GetBufferType(current, currentLength, &kind); code != ql::QL_OK) {
      error = texts.GetErrorText(code);
      return ExtractResult::kFailed;
    }
    if (kind != ql::QL_KIND_SIGNED) break;
  }
  const char* const bytes = reinterpret_cast<const char*>(current);
  const auto size = static_cast<qint64>(currentLength);
  bool written = false;
  if (synced) {
    QSaveFile out(target);
    written = out.open(QIODevice::WriteOnly) && out.write(bytes, size) == size && out.commit();
  } else {
    QFile out(target);
    written = out.open(QIODevice::WriteOnly | QIODevice::Truncate) && out.write(bytes, size) == size && out.flush();
    out.close();
    written = written && out.error() == QFileDevice::NoError;
  }
  return written ? ExtractResult::kWritten : ExtractResult::kWriteFailed;
}

bool IsEncryptedForOwner(const QString& path, OperationProgress* progress) {
  OwnerRecord owner;
  if (!engine_helper().GetOwnerRecord(owner)) return false;
  return IsEncryptedForOwner(path, owner.serNum, progress);
}

bool IsEncryptedForOwner(const QString& path, const QByteArray& ownerCertificate, OperationProgress* progress) {
  if (ownerCertificate.isEmpty()) return false;
  CertificateInfo ownerInfo;
  if (global_crypto_session().GetCertificateInfo(ownerCertificate, ownerInfo) != ql::QL_OK) return false;
  return IsEncryptedForOwner(path, ownerInfo, progress);
}

bool IsEncryptedForOwner(const QString& path, const CertificateInfo& ownerInfo, OperationProgress* progress) {
  CryptoSession& session = global_crypto_session();
  int kind = 0;
  MessageHold message{session};
  if (const int code = session.ReadMessageFile(path, &kind, &message.message); code != ql::QL_OK) {
    error_text_loader().ShowError(code, progress);
    return false;
  }
  if (kind != ql::QL_KIND_ENVELOPED) return false;
  const int count = session.GetRecipientCount(message.message);
  for (int i = 0; i < count; ++i) {
    if (session.GetRecipientSerial(message.message, i) != QString::fromLatin1(ownerInfo.serial)) continue;
    NameHold name;
    if (name.name == nullptr) return false;
    if (session.GetRecipientIssuer(message.message, i, name.name).isEmpty()) continue;
    if (EngineHelper::CompareNames(ToDistinguishedName(*name.name), ownerInfo.issuer) == 1) return true;
  }
  return false;
}

}  // namespace dsutils
