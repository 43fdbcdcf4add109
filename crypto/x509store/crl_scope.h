// Whether a CRL can stand as the complete CRL of a certificate: what its
// extensions, its entries' extensions and its issuing distribution point say
// about what it covers. Signatures and dates are the verifier's business.
#pragma once

#include <openssl/x509.h>

namespace qcrypto {

// True when `crl` may decide the revocation status of `cert`: it carries no
// critical extension (of its own or on any entry) that this verifier cannot
// process, it is no delta CRL, and its issuing distribution point, when
// present, covers the certificate with every reason (no partial, indirect or
// attribute-certificate CRL, the user/CA restriction met, the distribution
// point named in the certificate).
bool CRL_is_complete_for(X509_CRL* crl, X509* cert);

}  // namespace qcrypto
