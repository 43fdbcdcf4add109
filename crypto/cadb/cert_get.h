// A certificate record's certificate as bytes: PEM, the full text print or
// DER.
#pragma once

#include "crypto/cadb/buffer.h"
#include "crypto/cadb/cert_record.h"

namespace qcrypto {

// Formats of CERT_get; any other number gives DER.
constexpr int CERT_GET_PEM = 2;
constexpr int CERT_GET_TEXT = 5;

// A new buffer with the certificate in the format, or null with an error.
BUFFER* CERT_get(const CERT* cert, int format);

}  // namespace qcrypto
