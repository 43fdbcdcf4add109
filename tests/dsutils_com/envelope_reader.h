// A recipient's reading of an enveloped message with the stock openssl
// command: OpenSSL's cms -decrypt does not know the engine's content cipher
// (RUS-GAMMAR), so the recipient's encrypted content key is taken out of the
// message, unwrapped with `pkeyutl -decrypt` and the content decrypted with
// `enc -d -rus-gammar` of the provider module.
#pragma once

#include <openssl/pkcs7.h>

#include <QDir>
#include <QFile>
#include <QString>
#include <memory>
#include <string>

#include "tests/support/run_program.h"

namespace dsutils::testing {

// One recipient's encrypted content key, and the content's IV and bytes.
struct Envelope {
  std::string encryptedKey, iv, content;
};

inline bool open_envelope(const std::string& der, long serial, Envelope& out) {
  const auto* p = reinterpret_cast<const unsigned char*>(der.data());
  const std::unique_ptr<PKCS7, decltype(&PKCS7_free)> p7(d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())),
                                                         &PKCS7_free);
  if (!p7 || PKCS7_type_is_enveloped(p7.get()) == 0) return false;
  const PKCS7_ENVELOPE* env = p7->d.enveloped;
  const auto text = [](const ASN1_STRING* str) {
    return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(str)),
                       static_cast<std::size_t>(ASN1_STRING_length(str)));
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

inline std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string h;
  for (const unsigned char c : bytes) {
    h.push_back(digits[c >> 4]);
    h.push_back(digits[c & 15]);
  }
  return h;
}

// Opens the DER message `der` as the recipient with `serial` and the plain
// PEM key file `keyFile`, in the folder `work` (made); the content goes to
// work/opened. Empty when it opened, else what failed.
inline std::string open_as_recipient(const std::string& der, long serial, const std::string& keyFile,
                                     const QString& work) {
  Envelope e;
  if (!open_envelope(der, serial, e)) return "no recipient info for this serial";
  if (!QDir().mkpath(work)) return "no work folder";
  const auto put = [&](const char* name, const std::string& bytes) {
    QFile f(work + QLatin1Char('/') + QLatin1String(name));
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           f.write(bytes.data(), static_cast<qint64>(bytes.size())) == static_cast<qint64>(bytes.size());
  };
  const std::string dir = work.toStdString();
  if (!put("key.bin", e.encryptedKey) || !put("content.bin", e.content)) return "cannot write the parts";
  QFile::remove(work + QStringLiteral("/cek.bin"));
  QFile::remove(work + QStringLiteral("/opened"));
  const test_support::ProgramResult unwrapped =
      test_support::run_program({DOSSAR_OPENSSL_PROGRAM, "pkeyutl", "-decrypt", "-inkey", keyFile, "-in",
                                 dir + "/key.bin", "-out", dir + "/cek.bin"});
  if (unwrapped.status != 0) return "pkeyutl: " + unwrapped.output;
  QFile cek(work + QStringLiteral("/cek.bin"));
  if (!cek.open(QIODevice::ReadOnly)) return "no content key";
  const test_support::ProgramResult decrypted =
      test_support::run_openssl_with_module(DOSSAR_OPENSSL_PROGRAM, DOSSAR_PROVIDER_DIR,
                                            {"enc", "-d", "-rus-gammar", "-K", hex(cek.readAll().toStdString()), "-iv",
                                             hex(e.iv), "-in", dir + "/content.bin", "-out", dir + "/opened"});
  if (decrypted.status != 0) return "enc -d: " + decrypted.output;
  return {};
}

}  // namespace dsutils::testing
