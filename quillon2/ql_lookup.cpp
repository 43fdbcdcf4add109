#include "quillon2/ql_lookup.h"

#include <sys/stat.h>

#include <utility>

#include "crypto/cadb/buffer.h"
#include "crypto/cadb/cadb_file.h"
#include "crypto/cadb/cert_record.h"
#include "crypto/x509store/verify.h"
#include "quillon2/ql_certinfo.h"
#include "quillon2/ql_keys.h"

namespace quillon2 {
namespace {

using qcrypto::UniquePtr;

CertLookup found_or(X509* cert, LookupStatus otherwise) {
  CertLookup out;
  out.cert.reset(cert);
  out.status = cert != nullptr ? LookupStatus::kFound : otherwise;
  return out;
}

// The whole file of a key-medium path, read as key files are: through the
// medium's own reader, a file-system file refused by its size before it is
// read. Nothing longer than `max` bytes is handed back.
bool read_medium_file(const char* path, std::size_t max, std::vector<unsigned char>* out) {
  out->clear();
  const long size = qcrypto::media_file_size(path);
  if (size > 0 && static_cast<unsigned long>(size) > max) return false;
  UniquePtr<qcrypto::BUFFER> file(qcrypto::CADB_read_file(path, nullptr));
  if (!file || file->length < 0 || static_cast<std::size_t>(file->length) > max) return false;
  out->assign(file->data, file->data + file->length);
  return true;
}

CertLookup lookup_file(const char* path, const LookupPolicy& policy) {
  if (path == nullptr) return found_or(nullptr, LookupStatus::kNoPath);
  std::vector<unsigned char> bytes;
  if (!read_medium_file(path, policy.max_file_bytes, &bytes)) return found_or(nullptr, LookupStatus::kUnreadable);
  return found_or(policy.decode(bytes.data(), static_cast<long>(bytes.size())), LookupStatus::kUndecodable);
}

CertLookup lookup_bytes(const void* key, const void* second, const LookupPolicy& policy) {
  if (key == nullptr || second == nullptr) return found_or(nullptr, LookupStatus::kNoBytes);
  const long length = *static_cast<const long*>(second);
  if (length < 1) return found_or(nullptr, LookupStatus::kBadLength);
  return found_or(policy.decode(static_cast<const unsigned char*>(key), length), LookupStatus::kUndecodable);
}

CertLookup lookup_list(QL_SESSION* session, int mode, const char* key, const char* second) {
  const QL_SETTINGS* settings = QL_settings_get();
  const QL_DN* name = settings != nullptr ? settings->name : nullptr;
  for (UniquePtr<X509>& cert : ql_session_certs(session)) {
    const int match = QL_cert_matches_lookup(cert.get(), mode, key, second, name);
    // A subject that cannot be made into a name record ends the search.
    if (match < 0) break;
    if (match == 1) return found_or(cert.release(), LookupStatus::kNotFound);
  }
  return found_or(nullptr, LookupStatus::kNotFound);
}

}  // namespace

CertLookup ql_lookup_cert(QL_SESSION* session, int mode, const void* key, const void* second,
                          const LookupPolicy& policy) {
  switch (mode) {
    case QL_LOOKUP_FILE:
      return lookup_file(static_cast<const char*>(key), policy);
    case QL_LOOKUP_BYTES:
      return lookup_bytes(key, second, policy);
    case QL_LOOKUP_SUBJECT:
    case QL_LOOKUP_SERIAL:
    case QL_LOOKUP_NAME:
      return lookup_list(session, mode, static_cast<const char*>(key), static_cast<const char*>(second));
    default:
      return found_or(nullptr, LookupStatus::kNotFound);
  }
}

int ql_lookup_code(LookupStatus status, int not_found) {
  switch (status) {
    case LookupStatus::kFound:
      return QL_OK;
    case LookupStatus::kNotFound:
      return not_found;
    case LookupStatus::kNoPath:
    case LookupStatus::kNoBytes:
    case LookupStatus::kBadLength:
      return QL_ERR_ARGUMENT;
    case LookupStatus::kUnreadable:
      return QL_ERR_CERT_FILE;
    case LookupStatus::kUndecodable:
      return QL_ERR_CERT_DECODE;
  }
  return not_found;
}

std::vector<UniquePtr<X509>> ql_session_certs(QL_SESSION* session) {
  std::vector<UniquePtr<X509>> out;
  STACK_OF(X509)* stack = session != nullptr ? mputil_certificates(session) : nullptr;
  if (stack == nullptr) return out;
  // The stack's references move into the owners.
  for (int i = 0; i < sk_X509_num(stack); ++i) out.emplace_back(sk_X509_value(stack, i));
  sk_X509_free(stack);
  return out;
}

ChainCheck ql_check_chain(qcrypto::X509_STORE* store, X509* cert) {
  ChainCheck out;
  UniquePtr<qcrypto::CERT> record(cert != nullptr ? qcrypto::CERT_split(cert) : nullptr);
  if (!record) return out;
  out.made = true;
  const QL_SETTINGS* settings = QL_settings_get();
  const unsigned options = settings != nullptr ? settings->check_options.load() : 0;
  out.valid = qcrypto::CERT_verify_store(record.get(), store, QL_verify_flags(options), nullptr) == 1;
  if (out.valid) return out;
  // From the certificate up through its issuers: the first error at all,
  // and the first one the flags do not tolerate.
  for (const qcrypto::CERT* r = record.get(); r != nullptr && out.untolerated == 0; r = r->issuer_record) {
    for (int i = 0; i < qcrypto::sk_X509_VERIFY_ERROR_num(r->errors); ++i) {
      const qcrypto::X509_VERIFY_ERROR* e = qcrypto::sk_X509_VERIFY_ERROR_value(r->errors, i);
      if (e == nullptr || e->error == 0) continue;
      if (out.recorded == 0) out.recorded = e->error;
      if (e->tolerated == 0) {
        out.untolerated = e->error;
        break;
      }
    }
  }
  return out;
}

long long ql_file_size(const char* path) {
  struct stat st {};
  if (path == nullptr || ::stat(path, &st) != 0) return -1;
  return static_cast<long long>(st.st_size);
}

int ql_bridge_progress(int /*stage*/, long done, long /*total*/, void* user) {
  auto* bridge = static_cast<ProgressBridge*>(user);
  if (done <= bridge->engine_done) return 1;
  bridge->code = bridge->report->advance(static_cast<std::size_t>(done - bridge->engine_done));
  bridge->engine_done = done;
  return bridge->code == QL_OK ? 1 : 0;
}

}  // namespace quillon2
