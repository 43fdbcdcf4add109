// Certificate information for the toolkit's callers: the certificate-info
// record with the text of each field, the single texts it is made of, the
// toolkit's time form, reading a certificate from bytes, and the matching
// rules of the certificate look-up modes.
//
// Every text is allocated with QL_malloc (freed by QL_free, or for the
// record's texts by QL_CERT_INFO_clear); names are in the local code page
// with the system's short names ("SP", "T", "Email"). Functions that return a
// value set the thread's last result code (0 on entry, the failure code on
// failure).
#pragma once

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/x509.h>

#include "quillon2/ql_dn.h"

namespace quillon2 {

// 24 words owned by the caller; the texts in them belong to the record.
struct QL_CERT_INFO {
  char* version;     // "%lu" of the version number plus 1
  char* serial;      // "-" when negative, then "%02X" per byte, at most 126 digits
  char* not_before;  // toolkit time form
  char* not_after;
  QL_DN issuer;   // words 4-11
  QL_DN subject;  // words 12-19
  char* public_key;
  char* extensions;  // null when the certificate has none
  char* signature;
  char* print;  // the certificate's full text print
};
static_assert(sizeof(QL_CERT_INFO) == 24 * sizeof(void*));

// Decodes the certificate (DER, else PEM) and fills the record; works
// without QL_init (it holds a library reference for the call). 0; 159 for a
// null record (left untouched) or null bytes (record zeroed); 186 when the
// bytes do not decode; else the code of the field that failed.
int QL_get_cert_info(const unsigned char* bytes, long length, QL_CERT_INFO* info);
// Zeroes the record and fills it field by field in order; the first failure
// stops (the extensions excepted: they stay null and filling goes on) and
// its code is returned; what was filled stays for QL_CERT_INFO_clear.
int QL_CERT_INFO_fill(X509* cert, QL_CERT_INFO* info);
// Frees every text of the record and zeroes it; the record stays the caller's.
void QL_CERT_INFO_clear(QL_CERT_INFO* info);

// The certificate in DER, else PEM, with one reference for the caller; null
// with last result 159 for null bytes or a negative length, 186 when they do
// not decode (empty, damaged, or longer than QL_CERT_MAX_BYTES).
constexpr long QL_CERT_MAX_BYTES = 16L * 1024 * 1024;
X509* QL_read_certificate(const unsigned char* bytes, long length);

// Forms of the validity texts.
constexpr int QL_TIME_FORM_OPENSSL = 0;  // the dependency's print ("Jan  2 03:04:05 2006 GMT")
constexpr int QL_TIME_FORM_TOOLKIT = 1;  // "02.01.2006 03:04:05"
// Failure codes of the validity texts.
constexpr int QL_ERR_NOT_BEFORE_TEXT = 13;
constexpr int QL_ERR_NOT_AFTER_TEXT = 14;

// Single texts; null on failure with the code as the thread's last result
// (159 null certificate, 103 out of memory, 13/14 validity, 201 full print).
char* QL_cert_version_text(X509* cert);
char* QL_cert_serial_text(X509* cert);
char* QL_cert_not_before_text(X509* cert, int form);
char* QL_cert_not_after_text(X509* cert, int form);
// One-line names (at most 2047 characters).
char* QL_cert_subject_text(X509* cert);
char* QL_cert_issuer_text(X509* cert);
char* QL_cert_pubkey_text(X509* cert);
// Null with last result 0 when the certificate has no extensions.
char* QL_cert_extensions_text(X509* cert);
char* QL_cert_signature_text(X509* cert);
char* QL_cert_print_text(X509* cert);

// The toolkit time form "%02d.%02d.%d %02d:%02d:%02d" (day, month, year,
// hour, minute, second); 1 when printed.
int QL_format_time(BIO* out, int year, int month, int day, int hour, int minute, int second);
// A UTCTime needs 10 leading digits (years below 50 are 20YY), a
// GeneralizedTime 12; two more digits are the seconds, else 0; the month
// must be 1-12. Anything else prints "Bad time value" and gives 0.
int QL_print_utctime(BIO* out, const ASN1_UTCTIME* time);
int QL_print_gentime(BIO* out, const ASN1_GENERALIZEDTIME* time);
// By the time's type; any other type prints "Bad time value" and gives 0.
int QL_print_time(BIO* out, const ASN1_TIME* time);

// Certificate look-up modes.
constexpr int QL_LOOKUP_FILE = 0;     // key: a file path on any medium
constexpr int QL_LOOKUP_SUBJECT = 1;  // key: subject one-line name; second: issuer one-line name
constexpr int QL_LOOKUP_SERIAL = 2;   // key: serial text; second: issuer one-line name
constexpr int QL_LOOKUP_NAME = 3;     // the settings' name record
constexpr int QL_LOOKUP_BYTES = 4;    // key: certificate bytes; second: pointer to their length

// 1 when every given criterion matches the certificate: subject and issuer
// as one-line names compared entry by entry with the certificate's names
// (qcrypto::X509_NAME_oneline_matches), the serial byte for byte in the
// serial form; a null criterion is not tested; 0 when none is given or one
// differs.
int QL_cert_matches_texts(X509* cert, const char* subject, const char* issuer, const char* serial);
// 1 when the certificate's one-line subject, parsed into a name record,
// matches `wanted` by QL_DN_match; 0 when not; -1 when the subject cannot be
// made into a record (the search stops there).
int QL_cert_matches_name(X509* cert, const QL_DN* wanted);
// The rule of a list-searching mode: 1 match, 0 no match, -1 stop the
// search. Modes 1 and 2 take texts in `key` and `second`, mode 3 the
// settings' record `name` (null, as the settings never set it, finds
// nothing); modes 0, 4 and others are not list searches and give 0.
int QL_cert_matches_lookup(X509* cert, int mode, const char* key, const char* second, const QL_DN* name);

}  // namespace quillon2
