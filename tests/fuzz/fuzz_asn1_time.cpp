// ASN.1 times from certificates and CRLs: the first byte picks the string
// type, the rest is the text. Whatever the lenient reader accepts that
// OpenSSL's strict reader also accepts must mean the same instant.
#include <openssl/asn1.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <ctime>

#include "crypto/cadb/tm_utils.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 64) return 0;
  const int type = (data[0] & 1) ? V_ASN1_GENERALIZEDTIME : V_ASN1_UTCTIME;
  ASN1_STRING* s = ASN1_STRING_type_new(type);
  if (s == nullptr || ASN1_STRING_set(s, data + 1, static_cast<int>(size - 1)) != 1) std::abort();
  struct tm ours;
  struct tm theirs;
  const bool ok = qcrypto::ASN1_TIME_get_tm(s, &ours) != nullptr;
  if (ok) {
    if (ours.tm_sec < 0 || ours.tm_sec > 99 || ours.tm_mon < 0 || ours.tm_mon > 11) std::abort();
    if (::ASN1_TIME_to_tm(s, &theirs) == 1 && qcrypto::TM_cmp(&ours, &theirs) != 0) std::abort();
    // A shift there and back lands where a normalised record started.
    struct tm copy = ours;
    qcrypto::TM_adjust_minutes(&copy, 1);
    qcrypto::TM_adjust_minutes(&copy, -1);
    struct tm norm = ours;
    if (timegm(&norm) != timegm(&copy)) std::abort();
  }
  ASN1_STRING_free(s);
  return 0;
}
