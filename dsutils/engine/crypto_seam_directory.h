// The part of the toolkit session that the certificate-directory look-ups
// need: decoding a certificate into its texts. The engine's toolkit session
// implements it; tests answer from certificates parsed with OpenSSL.
#pragma once

#include <QByteArray>
#include <functional>
#include <memory>

namespace dsutils {

// A distinguished name as the toolkit gives it: eight 8-bit texts in the
// local code page, an empty text where the name has no such field.
struct DistinguishedName {
  QByteArray C, SP, L, O, OU, T, CN, Email;
};

// What the look-ups read of a decoded certificate.
struct CertificateInfo {
  QByteArray version;
  QByteArray serial;  // "-" for a negative number, then "%02X" per byte
  QByteArray notBefore, notAfter;
  DistinguishedName issuer, subject;
};

// Toolkit result codes the look-ups produce themselves.
inline constexpr int kToolkitOk = 0;
inline constexpr int kToolkitNotInitialised = 161;
inline constexpr int kToolkitUndecodable = 186;

class DirectoryCryptoSession {
 public:
  virtual ~DirectoryCryptoSession() = default;
  virtual int Open() = 0;
  virtual int Close() = 0;
  // DER (or PEM) certificate bytes -> toolkit result code; `info` is filled
  // only when the code is 0.
  virtual int GetCertificateInfo(const QByteArray& certificate, CertificateInfo& info) = 0;
};

// Makes the short-lived sessions the look-ups open for themselves. Until one
// is set, every decode fails with kToolkitNotInitialised.
using DirectoryCryptoFactory = std::function<std::unique_ptr<DirectoryCryptoSession>()>;
void setDirectoryCryptoFactory(DirectoryCryptoFactory factory);
std::unique_ptr<DirectoryCryptoSession> makeDirectoryCryptoSession();

}  // namespace dsutils
