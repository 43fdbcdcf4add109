// What the toolkit's file tests share: a scratch folder, a progress callback
// that records its calls and cancels on request, reproducible random bytes,
// parties (key, certificate and its DER) and the keys handed to the
// toolkit's session as if loaded from a medium.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "crypto/cclib/ossl_owners.h"

namespace test_support {

// A fresh folder under the temporary directory named `prefix` and six
// random characters; removed with everything in it. `path` is empty when
// the folder could not be made.
struct Scratch {
  explicit Scratch(const std::string& prefix);
  ~Scratch();
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  // The names of the folder's entries, sorted.
  std::vector<std::string> names() const;
  std::string file(const std::string& name) const { return path + "/" + name; }
  std::string path;
};

// Progress calls as seen (stage, done, total), and the call (counting from
// 1; 0 never) that answers 0.
struct ProgressLog {
  int cancel_at = 0;
  std::vector<std::array<long, 3>> calls;
};
// A progress callback of the toolkit; `user` is a ProgressLog.
int log_progress(int stage, long done, long total, void* user);

// `n` bytes of a generator seeded with `n`: the same bytes on every run.
std::vector<unsigned char> random_bytes(std::size_t n);

// A key pair and its certificate; `der` is the certificate's encoding.
struct Party {
  qcrypto::UniquePtr<EVP_PKEY> key;
  qcrypto::UniquePtr<X509> cert;
  std::vector<unsigned char> der;
};

// The key into the toolkit's session as an opened key (no password asked);
// the session holds its own reference. The toolkit must be started. False
// on failure.
bool add_session_key(EVP_PKEY* key);

// The key as a password-protected PKCS#8 file (AES-256-CBC): GOST keys in
// the system's PKCS#8 form, RSA in OpenSSL's. Empty on failure.
std::vector<unsigned char> encrypted_pkcs8(EVP_PKEY* key, const char* password);

}  // namespace test_support
