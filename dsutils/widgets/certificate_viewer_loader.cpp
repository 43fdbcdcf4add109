#include "dsutils/widgets/certificate_viewer_loader.h"

#include <climits>

namespace dsutils::widgets {

CertificateViewerLoader::CertificateViewerLoader() {
  if (!library_.open("DSCertificats.dll")) return;
  show_ = reinterpret_cast<SetDataFromBuffer>(library_.symbol("SetDataFromBuffer"));
}

void CertificateViewerLoader::ShowBuffer(const unsigned char* buffer, qsizetype length) {
  if (show_ == nullptr || buffer == nullptr || length <= 0 || length > INT_MAX) return;
  show_(buffer, static_cast<int>(length));
}

void CertificateViewerLoader::ShowBuffer(const QByteArray& certificate) {
  ShowBuffer(reinterpret_cast<const unsigned char*>(certificate.constData()), certificate.size());
}

}  // namespace dsutils::widgets
