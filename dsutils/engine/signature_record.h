// One verified signature as the signature checker records it and the
// verification protocol (text and window) shows it.
#pragma once

#include <QByteArray>
#include <QString>

#include "dsutils/engine/crypto_seam_directory.h"

namespace dsutils {

enum SignatureStatus : int {
  kSignatureUnset = -1,
  kSignatureConfirmed = 0,
  kSignerFailed = 1,
  kMessageFailed = 3,
  kSignatureNotFound = 4,
};

enum CertificateSource : int {
  kSourceLdap = 1,
  kSourceEmbedded = 2,
  kSourceLocal = 3,
};

struct SignatureRecord {
  QString signingTime;
  QString serial;
  QString signerName;
  QByteArray certificate;
  DistinguishedName issuer;
  int certificateLength = 0;
  int status = kSignatureUnset;
  int resultCode = -1;
  int source = kSourceLocal;
  int signerFlag = 1;
  QString fileName;
};

}  // namespace dsutils
