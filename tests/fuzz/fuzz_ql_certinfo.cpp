// Certificate bytes handed to the toolkit come from anyone. Whatever they
// are, the certificate-info record is either filled with terminated texts or
// refused with a result code, and clearing it leaves nothing behind; the
// subject text, parsed as a name, gives terminated fields.
#include <openssl/err.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "crypto/cadb/library.h"
#include "quillon2/ql_certinfo.h"
#include "quillon2/ql_codes.h"

namespace {

void check_dn(const quillon2::QL_DN& dn) {
  for (int i = 0; i < quillon2::QL_DN_FIELDS; ++i) {
    const char* field = quillon2::QL_DN_fields(&dn)[i];
    if (field != nullptr && field[0] == '\0') std::abort();  // empty values stay null
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool started = [] {
    qcrypto::cadb_library_init();  // held for the run, so each input does not restart the library
    return true;
  }();
  (void)started;
  quillon2::QL_CERT_INFO info;
  const int code = quillon2::QL_get_cert_info(data, static_cast<long>(size), &info);
  if (code == quillon2::QL_OK) {
    if (info.version == nullptr || info.serial == nullptr || info.not_before == nullptr || info.not_after == nullptr ||
        info.public_key == nullptr || info.signature == nullptr || info.print == nullptr ||
        std::strlen(info.serial) > 127) {
      std::abort();
    }
    check_dn(info.issuer);
    check_dn(info.subject);
  } else if (code != quillon2::QL_ERR_CERT_DECODE && code != 13 && code != 14 && code != quillon2::QL_ERR_CERT_PRINT &&
             code != quillon2::QL_ERR_MEMORY) {
    std::abort();
  }
  quillon2::QL_CERT_INFO_clear(&info);
  const quillon2::QL_CERT_INFO zero{};
  if (std::memcmp(&info, &zero, sizeof info) != 0) std::abort();
  // The same bytes as a one-line name.
  const std::string text(reinterpret_cast<const char*>(data), size);
  quillon2::QL_DN dn{};
  if (quillon2::QL_DN_parse(text.c_str(), &dn) != quillon2::QL_OK) std::abort();
  check_dn(dn);
  quillon2::QL_DN_clear(&dn);
  ERR_clear_error();
  return 0;
}
