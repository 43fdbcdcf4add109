// The trust material a signing and encrypting user has on disk, made from
// nothing in a scratch folder: a CA certificate (GOST R 34.10-2001), a key
// container of format 3.1 holding the user's private keys and a saved random
// state, the user's certificate for signing and encryption, and the CA's CRL
// in a folder of its own.
#pragma once

#include <string>

namespace roundtrip {

struct ScratchPki {
  std::string ca_cert;    // file of its DER
  std::string user_cert;  // file of its DER; subject key = the container's key file 1
  std::string crl_dir;    // holds the CA's CRL (DER), listing nothing
  std::string container;  // the key container's medium path
};

// Makes everything below `folder` (an existing, empty folder). On failure the
// returned text says what failed; an empty text means success.
std::string make_scratch_pki(const std::string& folder, ScratchPki* out);

}  // namespace roundtrip
