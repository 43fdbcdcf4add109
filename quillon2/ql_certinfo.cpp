#include "quillon2/ql_certinfo.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "crypto/bn/bn_owner.h"
#include "crypto/cadb/library.h"
#include "crypto/cclib/ossl_owners.h"
#include "crypto/err/err.h"
#include "crypto/evp/objects.h"
#include "crypto/v3ext/v3ext.h"
#include "crypto/x509/gost_keys.h"
#include "crypto/x509/name_print.h"
#include "quillon2/ql_codes.h"
#include "quillon2/ql_frame.h"
#include "quillon2/ql_last_error.h"

namespace quillon2 {
namespace {

using qcrypto::UniquePtr;

// Key types by the system's numbers.
constexpr int kKeyRsa = 6;
constexpr int kKeyDsa = 116;
constexpr int kKeyR3410 = 177;
constexpr int kKeyEcgost = 181;

constexpr int kSerialMaxBytes = 63;  // 126 hexadecimal characters
constexpr int kNameTextSize = 2048;
constexpr int kKeyIndent = 16;

bool put(BIO* out, const char* text) {
  const int n = static_cast<int>(std::strlen(text));
  return n == 0 || BIO_write(out, text, n) == n;
}

bool blanks(BIO* out, int count) {
  static const char kBlanks[] = "                                                                ";
  while (count > 0) {
    const int n = std::min(count, static_cast<int>(sizeof kBlanks) - 1);
    if (BIO_write(out, kBlanks, n) != n) return false;
    count -= n;
  }
  return true;
}

// The channel's contents as an allocated, terminated text; null when out of
// memory.
char* take_text(BIO* mem) {
  char* data = nullptr;
  const long n = BIO_get_mem_data(mem, &data);
  if (n < 0) return nullptr;
  auto* text = static_cast<char*>(QL_malloc(static_cast<std::size_t>(n) + 1));
  if (text == nullptr) return nullptr;
  if (n > 0) std::memcpy(text, data, static_cast<std::size_t>(n));
  text[n] = '\0';
  return text;
}

// One text of a certificate: the printer writes it into a memory channel.
template <class Print>
char* make_text(X509* cert, int fail_code, Print print) {
  QL_set_last_error(QL_OK);
  if (cert == nullptr) {
    QL_set_last_error(QL_ERR_ARGUMENT);
    return nullptr;
  }
  UniquePtr<BIO> mem(BIO_new(BIO_s_mem()));
  if (!mem) {
    QL_set_last_error(QL_ERR_MEMORY);
    return nullptr;
  }
  if (!print(mem.get())) {
    QL_set_last_error(fail_code);
    return nullptr;
  }
  char* text = take_text(mem.get());
  if (text == nullptr) QL_set_last_error(QL_ERR_MEMORY);
  return text;
}

const char* long_name(const ASN1_OBJECT* object) {
  const int nid = object != nullptr ? OBJ_obj2nid(object) : NID_undef;
  const char* name = nid != NID_undef ? OBJ_nid2ln(nid) : nullptr;
  return name != nullptr ? name : "UNKNOWN";
}

bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
int two_digits(const unsigned char* p) { return (p[0] - '0') * 10 + (p[1] - '0'); }

// The toolkit time form of a UTCTime (2 year digits) or GeneralizedTime (4).
int print_time_text(BIO* out, const ASN1_STRING* time, int year_digits) {
  QL_set_last_error(QL_OK);
  const unsigned char* d = time != nullptr ? ASN1_STRING_get0_data(time) : nullptr;
  const int n = time != nullptr ? ASN1_STRING_length(time) : 0;
  const int need = year_digits + 8;  // year, month, day, hour, minute
  bool ok = d != nullptr && n >= need;
  for (int i = 0; ok && i < need; ++i) ok = is_digit(d[i]);
  if (ok) {
    int year = two_digits(d);
    if (year_digits == 4) {
      year = year * 100 + two_digits(d + 2);
    } else {
      year += year < 50 ? 2000 : 1900;
    }
    const unsigned char* p = d + year_digits;
    const int month = two_digits(p);
    const int second = n >= need + 2 && is_digit(d[need]) && is_digit(d[need + 1]) ? two_digits(d + need) : 0;
    if (month >= 1 && month <= 12)
      return QL_format_time(out, year, month, two_digits(p + 2), two_digits(p + 4), two_digits(p + 6), second);
  }
  BIO_write(out, "Bad time value", 14);
  QL_set_last_error(QL_ERR_ARGUMENT);
  return 0;
}

// Bytes as the dependency prints long numbers: after the label, lines of 15
// "xx:" groups indented by indent + 4.
bool dump_bytes(BIO* out, const unsigned char* bytes, std::size_t length, int indent) {
  for (std::size_t i = 0; i < length; ++i) {
    if (i % 15 == 0 && (!put(out, "\n") || !blanks(out, indent + 4))) return false;
    if (BIO_printf(out, "%02x%s", bytes[i], i + 1 == length ? "" : ":") <= 0) return false;
  }
  return put(out, "\n");
}

// "<indent><label> 65537 (0x10001)" for numbers of up to 8 bytes, else the
// label and the bytes with a leading zero byte when the top bit is set.
bool print_number(BIO* out, const char* label, const BIGNUM* n, int indent) {
  if (n == nullptr) return true;
  const bool negative = BN_is_negative(n) != 0;
  if (!blanks(out, std::min(indent, 128))) return false;
  if (BN_num_bytes(n) <= 8) {
    const unsigned long long v = BN_get_word(n);
    return BIO_printf(out, "%s %s%llu (%s0x%llx)\n", label, negative ? "-" : "", v, negative ? "-" : "", v) > 0;
  }
  if (BIO_printf(out, "%s%s", label, negative ? " (Negative)" : "") <= 0) return false;
  std::vector<unsigned char> bytes(static_cast<std::size_t>(BN_num_bytes(n)) + 1, 0);
  BN_bn2bin(n, bytes.data() + 1);
  const std::size_t skip = (bytes[1] & 0x80) != 0 ? 0 : 1;
  return dump_bytes(out, bytes.data() + skip, bytes.size() - skip, indent);
}

bool print_r3410(BIO* out, const qcrypto::R3410* key, int indent) {
  return print_number(out, "pub: ", key->y, indent) && print_number(out, "P:   ", key->p, indent) &&
         print_number(out, "Q:   ", key->q, indent) && print_number(out, "A:   ", key->a, indent);
}

bool print_ecgost(BIO* out, qcrypto::ECGOST* key, int indent) {
  // The point's encoding; bytes whose curve is not known yet are shown as read.
  // A point at infinity has no encoding: no news for the caller's queue.
  ::ERR_set_mark();
  UniquePtr<ASN1_STRING> point(key->curve != nullptr ? qcrypto::ECGOST_point2octet(key->Q, key->point_form) : nullptr);
  ::ERR_pop_to_mark();
  const unsigned char* bytes = point ? ASN1_STRING_get0_data(point.get()) : key->public_bytes.data();
  const std::size_t length =
      point ? static_cast<std::size_t>(ASN1_STRING_length(point.get())) : key->public_bytes.size();
  if (!blanks(out, indent) || !put(out, "pub: ") || !dump_bytes(out, bytes, length, indent)) return false;
  const qcrypto::ECURVE* curve = key->curve;
  if (curve == nullptr) return true;
  const int nid = curve->nid != 0 ? qcrypto::sysobj_nid(curve->nid) : NID_undef;
  if (nid != NID_undef) {
    char name[80];
    OBJ_obj2txt(name, sizeof name, OBJ_nid2obj(nid), 0);
    return blanks(out, indent) && BIO_printf(out, "Curve: %s\n", name) > 0;
  }
  return print_number(out, "P:   ", curve->p, indent) && print_number(out, "A:   ", curve->a, indent) &&
         print_number(out, "B:   ", curve->b, indent) && print_number(out, "Q:   ", curve->q, indent);
}

bool print_bn_param(BIO* out, const EVP_PKEY* key, const char* param, const char* label, int indent) {
  BIGNUM* raw = nullptr;
  if (EVP_PKEY_get_bn_param(key, param, &raw) != 1) return true;  // the key has no such number
  UniquePtr<BIGNUM> n(raw);
  return print_number(out, label, n.get(), indent);
}

// The queue as one line per entry, emptying it; the entries' source files and
// the thread are left out, as they mean nothing to the person reading.
bool print_error_queue(BIO* out) {
  for (unsigned long e = qcrypto::ERR_get_error(); e != 0; e = qcrypto::ERR_get_error()) {
    const std::string line = qcrypto::ERR_error_string(e) + "\n";
    if (!put(out, line.c_str())) return false;
  }
  return true;
}

bool print_unable(BIO* out) {
  return BIO_printf(out, "%12sUnable to load Public Key\n", "") > 0 && print_error_queue(out);
}

bool print_pubkey(BIO* out, X509* cert) {
  const X509_PUBKEY* pub = X509_get_X509_PUBKEY(cert);
  ASN1_OBJECT* algorithm = nullptr;
  if (pub != nullptr) X509_PUBKEY_get0_param(&algorithm, nullptr, nullptr, nullptr, pub);
  if (BIO_printf(out, "%12sPublic Key Algorithm: %s\n", "", long_name(algorithm)) <= 0) return false;
  const int nid = algorithm != nullptr ? OBJ_obj2nid(algorithm) : NID_undef;
  const int type = nid != NID_undef ? qcrypto::EVP_PKEY_type(qcrypto::sysobj_number(nid)) : 0;
  if (type == kKeyR3410) {
    UniquePtr<qcrypto::R3410> key(qcrypto::X509_get1_R3410_pubkey(cert));
    if (!key) return print_unable(out);
    return BIO_printf(out, "%12sR3410 Public Key:\n", "") > 0 && print_r3410(out, key.get(), kKeyIndent);
  }
  if (type == kKeyEcgost) {
    UniquePtr<qcrypto::ECGOST> key(qcrypto::X509_get1_ECGOST_pubkey(cert));
    if (!key) return print_unable(out);
    return BIO_printf(out, "%12sECGOST Public Key:\n", "") > 0 && print_ecgost(out, key.get(), kKeyIndent);
  }
  const EVP_PKEY* key = X509_get0_pubkey(cert);
  if (key == nullptr) return print_unable(out);
  if (type == kKeyRsa) {
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &raw) != 1) return print_unable(out);
    UniquePtr<BIGNUM> modulus(raw);
    const int bits = BN_num_bits(modulus.get());
    const std::string label = "Modulus (" + std::to_string(bits) + " bit):";
    return BIO_printf(out, "%12sRSA Public Key: (%d bit)\n", "", bits) > 0 &&
           print_number(out, label.c_str(), modulus.get(), kKeyIndent) &&
           print_bn_param(out, key, OSSL_PKEY_PARAM_RSA_E, "Exponent:", kKeyIndent);
  }
  if (type == kKeyDsa) {
    return BIO_printf(out, "%12sDSA Public Key:\n", "") > 0 &&
           print_bn_param(out, key, OSSL_PKEY_PARAM_PUB_KEY, "pub: ", kKeyIndent) &&
           print_bn_param(out, key, OSSL_PKEY_PARAM_FFC_P, "P:   ", kKeyIndent) &&
           print_bn_param(out, key, OSSL_PKEY_PARAM_FFC_Q, "Q:   ", kKeyIndent) &&
           print_bn_param(out, key, OSSL_PKEY_PARAM_FFC_G, "G:   ", kKeyIndent);
  }
  return BIO_printf(out, "%12sUnknown Public Key:\n", "") > 0;
}

// The raw value as the dependency shows it, printable ASCII kept and every
// other byte a "."; unlike the dependency, line breaks are dots too, so the
// bytes of a certificate cannot start lines of their own in the print.
bool print_raw(BIO* out, const ASN1_STRING* value) {
  const unsigned char* bytes = ASN1_STRING_get0_data(value);
  const int n = ASN1_STRING_length(value);
  std::string text(static_cast<std::size_t>(n > 0 ? n : 0), '.');
  for (int i = 0; i < n; ++i) {
    if (bytes[i] >= 0x20 && bytes[i] <= 0x7E) text[static_cast<std::size_t>(i)] = static_cast<char>(bytes[i]);
  }
  return text.empty() || BIO_write(out, text.data(), static_cast<int>(text.size())) == static_cast<int>(text.size());
}

// One extension's value at indent 16: the system's printer for the
// extensions it prints itself, OpenSSL's for the basic ones (key usage,
// constraints, alternative names, ...), or the raw value when neither has
// it or the value does not decode.
bool print_extension_value(BIO* out, const X509_EXTENSION* extension) {
  for (int printer = 0; printer < 2; ++printer) {
    UniquePtr<BIO> value(BIO_new(BIO_s_mem()));
    if (!value) return false;
    ::ERR_set_mark();
    const int printed = printer == 0 ? qcrypto::V3EXT_print(value.get(), extension, 16)
                                     : X509V3_EXT_print(value.get(), const_cast<X509_EXTENSION*>(extension), 0, 16);
    if (printed == 1) {
      ::ERR_clear_last_mark();
      char* data = nullptr;
      const long n = BIO_get_mem_data(value.get(), &data);
      return n == 0 || BIO_write(out, data, static_cast<int>(n)) == static_cast<int>(n);
    }
    ::ERR_pop_to_mark();
  }
  const ASN1_OCTET_STRING* raw = X509_EXTENSION_get_data(const_cast<X509_EXTENSION*>(extension));
  return blanks(out, 16) && print_raw(out, raw);
}

bool print_extensions(BIO* out, X509* cert) {
  const STACK_OF(X509_EXTENSION)* extensions = X509_get0_extensions(cert);
  if (BIO_printf(out, "%8sX509v3 extensions:\n", "") <= 0) return false;
  for (int i = 0; i < sk_X509_EXTENSION_num(extensions); ++i) {
    const X509_EXTENSION* extension = sk_X509_EXTENSION_value(extensions, i);
    auto* mutable_extension = const_cast<X509_EXTENSION*>(extension);
    if (!blanks(out, 12) || i2a_ASN1_OBJECT(out, X509_EXTENSION_get_object(mutable_extension)) <= 0 ||
        BIO_printf(out, ": %s\n", X509_EXTENSION_get_critical(mutable_extension) ? "critical" : "") <= 0 ||
        !print_extension_value(out, extension) || !put(out, "\n")) {
      return false;
    }
  }
  return true;
}

bool print_signature(BIO* out, X509* cert) {
  const ASN1_BIT_STRING* signature = nullptr;
  const X509_ALGOR* algorithm = nullptr;
  X509_get0_signature(&signature, &algorithm, cert);
  const ASN1_OBJECT* object = nullptr;
  if (algorithm != nullptr) X509_ALGOR_get0(&object, nullptr, nullptr, algorithm);
  if (BIO_printf(out, "%4sSignature Algorithm: %s", "", long_name(object)) <= 0) return false;
  const unsigned char* bytes = signature != nullptr ? ASN1_STRING_get0_data(signature) : nullptr;
  const int n = signature != nullptr ? ASN1_STRING_length(signature) : 0;
  for (int i = 0; i < n; ++i) {
    if (i % 18 == 0 && !put(out, "\n        ")) return false;
    if (BIO_printf(out, "%02x%s", bytes[i], i + 1 == n ? "" : ":") <= 0) return false;
  }
  return put(out, "\n");
}

bool print_serial_full(BIO* out, const ASN1_INTEGER* serial) {
  if (!put(out, "        Serial Number:")) return false;
  const int n = ASN1_STRING_length(serial);
  const bool negative = ASN1_STRING_type(serial) == V_ASN1_NEG_INTEGER;
  int64_t value = 0;
  if (n <= 4 && ASN1_INTEGER_get_int64(&value, serial) == 1) {
    const unsigned long magnitude = static_cast<unsigned long>(value < 0 ? -value : value);
    const char* sign = value < 0 ? "-" : "";
    return BIO_printf(out, " %s%lu (%s0x%lx)\n", sign, magnitude, sign, magnitude) > 0;
  }
  if (BIO_printf(out, "\n%12s%s", "", negative ? " (Negative)" : "") <= 0) return false;
  const unsigned char* bytes = ASN1_STRING_get0_data(serial);
  for (int i = 0; i < n; ++i) {
    if (BIO_printf(out, "%02x%c", bytes[i], i + 1 == n ? '\n' : ':') <= 0) return false;
  }
  return n > 0 || put(out, "\n");
}

// The certificate's full text print, laid out as the dependency lays it out,
// with names in the local code page and the system's own key printers.
bool print_full(BIO* out, X509* cert) {
  const long version = X509_get_version(cert);
  const ASN1_OBJECT* tbs_algorithm = nullptr;
  X509_ALGOR_get0(&tbs_algorithm, nullptr, nullptr, X509_get0_tbs_sigalg(cert));
  return put(out, "Certificate:\n    Data:\n") &&
         BIO_printf(out, "%8sVersion: %lu (0x%lx)\n", "", static_cast<unsigned long>(version) + 1,
                    static_cast<unsigned long>(version)) > 0 &&
         print_serial_full(out, X509_get0_serialNumber(cert)) &&
         BIO_printf(out, "%8sSignature Algorithm: %s\n", "", long_name(tbs_algorithm)) > 0 &&
         put(out, "        Issuer: ") && qcrypto::X509_NAME_print(out, X509_get_issuer_name(cert), 16) == 1 &&
         put(out, "\n        Validity\n            Not Before: ") &&
         ASN1_TIME_print(out, X509_get0_notBefore(cert)) == 1 && put(out, "\n            Not After : ") &&
         ASN1_TIME_print(out, X509_get0_notAfter(cert)) == 1 && put(out, "\n        Subject: ") &&
         qcrypto::X509_NAME_print(out, X509_get_subject_name(cert), 16) == 1 &&
         put(out, "\n        Subject Public Key Info:\n") && print_pubkey(out, cert) &&
         (X509_get_ext_count(cert) <= 0 || print_extensions(out, cert)) && print_signature(out, cert);
}

char* validity_text(X509* cert, bool start, int form) {
  return make_text(cert, start ? QL_ERR_NOT_BEFORE_TEXT : QL_ERR_NOT_AFTER_TEXT, [&](BIO* out) {
    const ASN1_TIME* time = start ? X509_get0_notBefore(cert) : X509_get0_notAfter(cert);
    return form == QL_TIME_FORM_TOOLKIT ? QL_print_time(out, time) == 1 : ASN1_TIME_print(out, time) == 1;
  });
}

char* name_text(X509* cert, bool subject) {
  QL_set_last_error(QL_OK);
  if (cert == nullptr) {
    QL_set_last_error(QL_ERR_ARGUMENT);
    return nullptr;
  }
  char buffer[kNameTextSize];
  buffer[0] = '\0';
  const X509_NAME* name = subject ? X509_get_subject_name(cert) : X509_get_issuer_name(cert);
  if (qcrypto::X509_NAME_oneline(name, buffer, sizeof buffer) == nullptr) {
    QL_set_last_error(QL_ERR_MEMORY);
    return nullptr;
  }
  char* text = QL_strdup(buffer);
  if (text == nullptr) QL_set_last_error(QL_ERR_MEMORY);
  return text;
}

// A name text parsed into one of the record's inline name records.
int fill_name(char* text, QL_DN* dn) {
  if (text == nullptr) return QL_get_last_error();
  const int code = QL_DN_parse(text, dn);
  QL_free(text);
  return code;
}

}  // namespace

int QL_format_time(BIO* out, int year, int month, int day, int hour, int minute, int second) {
  QL_set_last_error(QL_OK);
  if (out == nullptr || BIO_printf(out, "%02d.%02d.%d %02d:%02d:%02d", day, month, year, hour, minute, second) <= 0) {
    QL_set_last_error(QL_ERR_ARGUMENT);
    return 0;
  }
  return 1;
}

int QL_print_utctime(BIO* out, const ASN1_UTCTIME* time) { return print_time_text(out, time, 2); }

int QL_print_gentime(BIO* out, const ASN1_GENERALIZEDTIME* time) { return print_time_text(out, time, 4); }

int QL_print_time(BIO* out, const ASN1_TIME* time) {
  const int type = time != nullptr ? ASN1_STRING_type(time) : V_ASN1_UNDEF;
  if (type == V_ASN1_UTCTIME) return QL_print_utctime(out, time);
  if (type == V_ASN1_GENERALIZEDTIME) return QL_print_gentime(out, time);
  BIO_write(out, "Bad time value", 14);
  QL_set_last_error(QL_ERR_ARGUMENT);
  return 0;
}

char* QL_cert_version_text(X509* cert) {
  return make_text(cert, QL_ERR_MEMORY, [&](BIO* out) {
    return BIO_printf(out, "%lu", static_cast<unsigned long>(X509_get_version(cert)) + 1) > 0;
  });
}

char* QL_cert_serial_text(X509* cert) {
  return make_text(cert, QL_ERR_MEMORY, [&](BIO* out) {
    const ASN1_INTEGER* serial = X509_get0_serialNumber(cert);
    const unsigned char* bytes = ASN1_STRING_get0_data(serial);
    const int n = std::min(ASN1_STRING_length(serial), kSerialMaxBytes);
    if (ASN1_STRING_type(serial) == V_ASN1_NEG_INTEGER && !put(out, "-")) return false;
    for (int i = 0; i < n; ++i) {
      if (BIO_printf(out, "%02X", bytes[i]) <= 0) return false;
    }
    return true;
  });
}

char* QL_cert_not_before_text(X509* cert, int form) { return validity_text(cert, true, form); }
char* QL_cert_not_after_text(X509* cert, int form) { return validity_text(cert, false, form); }
char* QL_cert_subject_text(X509* cert) { return name_text(cert, true); }
char* QL_cert_issuer_text(X509* cert) { return name_text(cert, false); }

char* QL_cert_pubkey_text(X509* cert) {
  return make_text(cert, QL_ERR_MEMORY, [&](BIO* out) { return print_pubkey(out, cert); });
}

char* QL_cert_extensions_text(X509* cert) {
  if (cert != nullptr && X509_get_ext_count(cert) <= 0) {
    QL_set_last_error(QL_OK);
    return nullptr;
  }
  return make_text(cert, QL_ERR_MEMORY, [&](BIO* out) { return print_extensions(out, cert); });
}

char* QL_cert_signature_text(X509* cert) {
  return make_text(cert, QL_ERR_MEMORY, [&](BIO* out) { return print_signature(out, cert); });
}

char* QL_cert_print_text(X509* cert) {
  return make_text(cert, QL_ERR_CERT_PRINT, [&](BIO* out) { return print_full(out, cert); });
}

int QL_CERT_INFO_fill(X509* cert, QL_CERT_INFO* info) {
  QL_set_last_error(QL_OK);
  if (cert == nullptr || info == nullptr) return QL_ERR_ARGUMENT;
  std::memset(info, 0, sizeof *info);
  int code = QL_OK;
  if ((info->version = QL_cert_version_text(cert)) == nullptr ||
      (info->serial = QL_cert_serial_text(cert)) == nullptr ||
      (info->not_before = QL_cert_not_before_text(cert, QL_TIME_FORM_TOOLKIT)) == nullptr ||
      (info->not_after = QL_cert_not_after_text(cert, QL_TIME_FORM_TOOLKIT)) == nullptr) {
    return QL_get_last_error();
  }
  if ((code = fill_name(QL_cert_issuer_text(cert), &info->issuer)) != QL_OK ||
      (code = fill_name(QL_cert_subject_text(cert), &info->subject)) != QL_OK) {
    QL_set_last_error(code);
    return code;
  }
  if ((info->public_key = QL_cert_pubkey_text(cert)) == nullptr) return QL_get_last_error();
  info->extensions = QL_cert_extensions_text(cert);  // a certificate is still shown without them
  if ((info->signature = QL_cert_signature_text(cert)) == nullptr ||
      (info->print = QL_cert_print_text(cert)) == nullptr) {
    return QL_get_last_error();
  }
  QL_set_last_error(QL_OK);
  return QL_OK;
}

void QL_CERT_INFO_clear(QL_CERT_INFO* info) {
  if (info == nullptr) return;
  QL_DN_clear(&info->issuer);
  QL_DN_clear(&info->subject);
  for (char* text : {info->version, info->serial, info->not_before, info->not_after, info->public_key, info->extensions,
                     info->signature, info->print}) {
    QL_free(text);
  }
  std::memset(info, 0, sizeof *info);
}

X509* QL_read_certificate(const unsigned char* bytes, long length) {
  QL_set_last_error(QL_OK);
  if (bytes == nullptr || length < 0) {
    QL_set_last_error(QL_ERR_ARGUMENT);
    return nullptr;
  }
  if (length == 0 || length > QL_CERT_MAX_BYTES) {
    QL_set_last_error(QL_ERR_CERT_DECODE);
    return nullptr;
  }
  UniquePtr<BIO> in(BIO_new_mem_buf(bytes, static_cast<int>(length)));
  if (!in) {
    QL_set_last_error(QL_ERR_MEMORY);
    return nullptr;
  }
  // The DER attempt's complaints go when PEM is tried; the caller's stay.
  ::ERR_set_mark();
  X509* cert = d2i_X509_bio(in.get(), nullptr);
  if (cert == nullptr) {
    ::ERR_pop_to_mark();
    ::ERR_set_mark();
    UniquePtr<BIO> text(BIO_new_mem_buf(bytes, static_cast<int>(length)));
    cert = text ? PEM_read_bio_X509(text.get(), nullptr, nullptr, nullptr) : nullptr;
  }
  if (cert == nullptr) {
    ::ERR_pop_to_mark();
    QL_set_last_error(QL_ERR_CERT_DECODE);
    return nullptr;
  }
  ::ERR_clear_last_mark();
  return cert;
}

int QL_get_cert_info(const unsigned char* bytes, long length, QL_CERT_INFO* info) {
  QL_set_last_error(QL_OK);
  if (info == nullptr) return QL_ERR_ARGUMENT;
  std::memset(info, 0, sizeof *info);
  if (bytes == nullptr) return QL_ERR_ARGUMENT;
  qcrypto::cadb_library_init();
  int code = QL_ERR_CERT_DECODE;
  if (X509* cert = QL_read_certificate(bytes, length); cert != nullptr) {
    code = QL_CERT_INFO_fill(cert, info);
    X509_free(cert);
  } else {
    code = QL_get_last_error();
  }
  qcrypto::cadb_library_cleanup();
  QL_set_last_error(code);
  return code;
}

int QL_cert_matches_texts(X509* cert, const char* subject, const char* issuer, const char* serial) {
  QL_set_last_error(QL_OK);
  if (cert == nullptr || (subject == nullptr && issuer == nullptr && serial == nullptr)) {
    QL_set_last_error(QL_ERR_ARGUMENT);
    return 0;
  }
  const auto equal = [](char* text, const char* wanted) {
    const bool same = text != nullptr && std::strcmp(text, wanted) == 0;
    QL_free(text);
    return same;
  };
  // Names entry by entry: a value holding "/O=..." must not pass for a name
  // with that organisation, as equal printed texts would let it.
  const auto same_name = [](const X509_NAME* name, const char* wanted) {
    return qcrypto::X509_NAME_oneline_matches(name, wanted) == 1;
  };
  return (subject == nullptr || same_name(X509_get_subject_name(cert), subject)) &&
                 (issuer == nullptr || same_name(X509_get_issuer_name(cert), issuer)) &&
                 (serial == nullptr || equal(QL_cert_serial_text(cert), serial))
             ? 1
             : 0;
}

int QL_cert_matches_name(X509* cert, const QL_DN* wanted) {
  QL_set_last_error(QL_OK);
  if (cert == nullptr) {
    QL_set_last_error(QL_ERR_ARGUMENT);
    return 0;
  }
  char* text = QL_cert_subject_text(cert);
  QL_DN subject{};
  const int code = fill_name(text, &subject);
  if (code != QL_OK) {
    QL_DN_clear(&subject);
    return -1;
  }
  const int match = QL_DN_match(wanted, &subject);
  QL_DN_clear(&subject);
  return match;
}

int QL_cert_matches_lookup(X509* cert, int mode, const char* key, const char* second, const QL_DN* name) {
  QL_set_last_error(QL_OK);
  switch (mode) {
    case QL_LOOKUP_SUBJECT:
      return QL_cert_matches_texts(cert, key, second, nullptr);
    case QL_LOOKUP_SERIAL:
      return QL_cert_matches_texts(cert, nullptr, second, key);
    case QL_LOOKUP_NAME:
      return name != nullptr ? QL_cert_matches_name(cert, name) : 0;
    default:
      return 0;
  }
}

}  // namespace quillon2
