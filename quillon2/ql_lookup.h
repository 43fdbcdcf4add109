// What the toolkit's signing and encryption share when they choose and check
// certificates: the look-up of a certificate by mode, the chain check
// against a store with the settings' check options, the session's
// certificate list as owned references, the size of an input file and the
// bridge from an engine's progress calls to the operation's ProgressReport.
// Internal to the toolkit; each operation maps the results to its own codes.
#pragma once

#include <openssl/x509.h>

#include <cstddef>
#include <vector>

#include "crypto/cclib/ossl_owners.h"
#include "crypto/x509store/store.h"
#include "quillon2/ql_frame.h"

namespace quillon2 {

// How a look-up ended. The operations give these different codes (a
// recipient that is not found is 134, a signer 129), so the look-up itself
// reports the reason only.
enum class LookupStatus {
  kFound,
  kNotFound,     // no certificate of the list matched, or the mode is none
  kNoPath,       // file mode without a path
  kNoBytes,      // bytes mode without the bytes or the length
  kBadLength,    // bytes mode with a length below 1
  kUnreadable,   // the file cannot be read or is larger than allowed
  kUndecodable,  // the bytes are no certificate
};

// Decodes certificate bytes (DER or PEM); null when they are none.
using CertDecoder = X509* (*)(const unsigned char* bytes, long length);

// The decoder and the file-size bound of one caller.
struct LookupPolicy {
  std::size_t max_file_bytes;
  CertDecoder decode;
};

struct CertLookup {
  qcrypto::UniquePtr<X509> cert;  // own reference when found
  LookupStatus status = LookupStatus::kNotFound;
};

// The certificate a look-up mode names (ql_certinfo.h): mode 0 a file, 4
// bytes with `second` pointing to their long length, 1-3 the first
// certificate of the session's list that QL_cert_matches_lookup accepts
// (with the settings' name record for mode 3); any other mode finds nothing.
CertLookup ql_lookup_cert(QL_SESSION* session, int mode, const void* key, const void* second,
                          const LookupPolicy& policy);

// The toolkit code of a look-up's end, the same for every operation but for
// nothing found, which each operation names itself: 0 found, `not_found`,
// 159 a missing path, bytes or length, 166 an unreadable file, 186 bytes
// that are no certificate.
int ql_lookup_code(LookupStatus status, int not_found);

// The session's certificate list, one reference each.
std::vector<qcrypto::UniquePtr<X509>> ql_session_certs(QL_SESSION* session);

// One chain verification against a store with CRL checks and the flags of
// the settings' check options (QL_verify_flags; 0x1808 while stopped).
struct ChainCheck {
  bool made = false;   // false: no certificate record could be made
  bool valid = false;  // the certificate and its whole chain are valid
  // Of an invalid chain, from the certificate up through its issuers: the
  // first error number the flags do not tolerate, and the first recorded at
  // all (0: none).
  int untolerated = 0;
  int recorded = 0;
  // The number the toolkit reports for an invalid chain: untolerated first.
  int error() const { return untolerated != 0 ? untolerated : recorded; }
};
ChainCheck ql_check_chain(qcrypto::X509_STORE* store, X509* cert);

// The size of a file, or -1 when it cannot be asked.
long long ql_file_size(const char* path);

// Hands an engine's progress calls (done counts the engine's bytes) to the
// operation's report: the opening call was made by the toolkit already, so
// the engine's own is not repeated. A 0 answer (the callback's cancel) is
// kept in `code` as the report gave it.
struct ProgressBridge {
  ProgressReport* report;
  long engine_done = 0;
  int code = QL_OK;
};
// The engine callback; `user` is a ProgressBridge.
int ql_bridge_progress(int stage, long done, long total, void* user);

}  // namespace quillon2
