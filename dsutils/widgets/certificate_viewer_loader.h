// The outside certificate viewer "DSCertificats.dll": the view-certificate
// action of the sign, recipients, key-medium, decrypt and verification
// dialogs hands it an encoded certificate to show. The library is optional:
// when it is missing, or lacks its export, the action does nothing, without
// a message.
#pragma once

#include <QByteArray>

#include "platform/dynlib.h"

namespace dsutils::widgets {

class CertificateViewerLoader {
 public:
  // Loads the viewer by name (platform/dynlib.h: $DOSSAR_LIB_PATH, the
  // program's folder and its ../lib, never the system path). It stays
  // loaded as long as this object, so a viewer window it opened outlives
  // the call.
  CertificateViewerLoader();
  virtual ~CertificateViewerLoader() = default;
  CertificateViewerLoader(const CertificateViewerLoader&) = delete;
  CertificateViewerLoader& operator=(const CertificateViewerLoader&) = delete;

  // True when the library is loaded and has the export.
  bool available() const { return show_ != nullptr; }

  // Hands the DER certificate and its length in bytes to the viewer; an
  // empty buffer, one of more than INT_MAX bytes, or no viewer: nothing.
  void ShowBuffer(const unsigned char* buffer, qsizetype length);
  void ShowBuffer(const QByteArray& certificate);

 private:
  using SetDataFromBuffer = void (*)(const unsigned char*, int);
  platform::DynLib library_;
  SetDataFromBuffer show_ = nullptr;
};

}  // namespace dsutils::widgets
