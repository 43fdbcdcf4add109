// A recipient's reading of an enveloped message with the stock openssl
// command in one call: OpenSSL's cms -decrypt does not know the engine's
// content cipher (RUS-GAMMAR), so the recipient's encrypted content key is
// taken out of the message (open_envelope), unwrapped with `pkeyutl -decrypt`
// and the content decrypted with `enc -d -rus-gammar` of the provider module.
#pragma once

#include <QDir>
#include <QFile>
#include <QString>
#include <string>

#include "tests/dsutils/operation_fixture.h"
#include "tests/support/run_program.h"

namespace dsutils::testing {

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
