// The toolkit's side of tests that sign through it with a key of their own
// and check the result.
#pragma once

#include <memory>
#include <vector>

#include "crypto/cclib/ossl_owners.h"
#include "quillon2/ql_codes.h"
#include "quillon2/ql_frame.h"
#include "quillon2/ql_keys.h"
#include "quillon2/ql_sign.h"
#include "tests/support/gost_pki.h"

namespace test_support {

// The content of an attached signed message as the toolkit's short verify
// gives it: {} when the message does not verify.
inline std::vector<unsigned char> ql_verified_content(const std::vector<unsigned char>& message) {
  const std::unique_ptr<quillon2::QL_SIGN_SET, void (*)(quillon2::QL_SIGN_SET*)> checking(quillon2::QL_SIGN_SET_new(),
                                                                                          quillon2::QL_SIGN_SET_free);
  unsigned char* content = nullptr;
  long length = 0;
  const int rc = quillon2::QL_verify_data_short(checking.get(), message.data(), static_cast<long>(message.size()),
                                                &content, &length, 1);
  std::vector<unsigned char> out;
  if (rc == quillon2::QL_OK && content != nullptr) out.assign(content, content + length);
  quillon2::QL_free(content);
  return out;
}

// A certificate of `pair` signed by itself, trusted by the toolkit as it
// stands and added to its list, so that a message the key signs verifies.
// Null when it could not be made or taken.
inline qcrypto::UniquePtr<X509> ql_trust_own_certificate(EVP_PKEY* pair, const char* common_name) {
  PkiCertSpec spec;
  spec.common_name = common_name;
  qcrypto::UniquePtr<X509> cert(pki_make_cert(pair, spec, nullptr, pair));
  if (!cert) return nullptr;
  const std::vector<unsigned char> der = to_der(cert.get());
  if (quillon2::QL_add_trusted_certificate(der.data(), static_cast<long>(der.size())) != quillon2::QL_OK ||
      quillon2::QL_add_certificate(der.data(), static_cast<long>(der.size())) != quillon2::QL_OK)
    return nullptr;
  return cert;
}

}  // namespace test_support
