// Names in the local code page: the one-line name, the name printers and the
// conversions between the local code page, UTF-8 and BMPString.
//
// Certificates carry Russian names as UTF8String, BMPString or 8-bit strings
// already in the Windows Cyrillic code page. Whatever the encoding, a name
// that is shown, compared or parsed comes out in the local code page
// (platform::local_codepage), with the system's own short names ("SP" for
// the state or province, "T" for the title, "Email" for the e-mail address).
//
// The code-page mode decides which bytes of a value are written as they are:
//   0  printable ASCII only;
//   1  printable ASCII, the Cyrillic letters, Ё, ё and № of the local code
//      page (the default, and what the system uses);
//   2, 3  as 1, then the whole text converted to KOI8-R or code page 866;
//   5  as 1, then the whole text converted to UTF-8.
// Any other byte is written as "\x" and two upper-case hexadecimal digits.
//
// libcrypto exports functions of the same names; these are the project's
// own and live only in namespace qcrypto.
#pragma once

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <string>
#include <string_view>
#include <vector>

namespace qcrypto {

constexpr int NAME_MODE_ASCII = 0;
constexpr int NAME_MODE_LOCAL = 1;
constexpr int NAME_MODE_KOI8R = 2;
constexpr int NAME_MODE_CP866 = 3;
constexpr int NAME_MODE_UTF8 = 5;

int X509_NAME_codepage_mode();
// 1 when the mode is one of the above and now in force, else 0.
int X509_NAME_set_codepage_mode(int mode);

// Conversions returning OPENSSL_malloc'ed, NUL-terminated texts (free with
// OPENSSL_free), or null with ERR_R_MEMORY_ALLOC under library 11 when
// memory runs out. A length of 0 (below 1 for the in-place ones) means the
// text's own length. Empty input gives null from the two text conversions.
char* ANSI_to_UTF8(const char* text, int length, int* out_length);
char* UTF8_to_ANSI(const char* text, int length, int* out_length);
// BMPString contents (big-endian UTF-16) to the local code page; the count
// is half the byte length.
char* BMP_to_ANSI(const unsigned char* bytes, int byte_length, int* out_count);
void ANSI_to_KOI8R(char* text, int length);
void ANSI_to_CP866(char* text, int length);

// The short name the system shows for an object: its own names first, then
// OpenSSL's short name, else the dotted number (at most 80 characters).
std::string X509_NAME_entry_short_name(const ASN1_OBJECT* object);

// A name entry's value in the local code page, unescaped: BMPString,
// UTF8String and UniversalString converted, other types as their bytes.
std::string X509_NAME_value_local(const ASN1_STRING* value);

// "/SN=value" per entry in the code-page mode. A "/", "=" or backslash in a
// value is written after a backslash ("\/", "\=", "\\"), so a value can
// never read as further entries. A null name gives "NO X509_NAME". With a
// buffer of `size` bytes the text ends before the first entry that would not
// fit in size - 1 characters and the buffer is returned; without one an
// allocated text is returned (OPENSSL_free).
char* X509_NAME_oneline(const X509_NAME* name, char* buf, int size);

// One entry of a one-line name as written: the short name and the value with
// its escapes.
struct OnelineEntry {
  std::string key;
  std::string value;
};
struct OnelineText {
  std::string prefix;  // what comes before the first "/" (empty in a printed name)
  std::vector<OnelineEntry> entries;
};
// Splits a one-line name at its unescaped separators: every unescaped "/"
// starts an entry whose key runs to its first unescaped "="; a "/" with no
// unescaped "=" after it before the next "/" stays in the value before it
// (so "/CN=A/B" is one entry).
OnelineText X509_NAME_oneline_split(std::string_view text);
// A value of a split one-line name with "\/", "\=" and "\\" undone; other
// escapes ("\x01") stay as written.
std::string X509_NAME_oneline_unescape(std::string_view value);
// 1 when the one-line text names exactly the name's entries, entry by entry
// (same number, same short names, same values as the printer would write
// them in the code-page mode), else 0. A text made before separators were
// escaped still matches as long as it reads unambiguously.
int X509_NAME_oneline_matches(const X509_NAME* name, const char* text);

// The entries as "SN=value" separated by ", ", values as in the one-line
// name except that a "," or backslash in a value is written after a
// backslash instead of "/" and "=". 1 when everything was written.
int X509_NAME_print(BIO* bp, const X509_NAME* name, int indent);

// One line: `indent` blanks, then "SN=value" separated by ", ", values in the
// local code page, a value that begins or ends with a blank or holds two
// blanks in a row enclosed in double quotes. Control characters (below 0x20
// and 0x7F) are written as "\x" and two hexadecimal digits, so a name can
// never start a line of its own; a "," or backslash in a value is written
// after a backslash, as is the leading quote of a value that would otherwise
// read as a quoted one. `flags` is reserved. 1 when all was written.
int X509_NAME_print_line(BIO* bp, const X509_NAME* name, int indent, unsigned long flags);

// Writes the text converted by mode 2, 3 or 5 (others: as it is); 1 when all
// bytes were written.
int BIO_write_codepage(BIO* bp, const char* text, int length, int mode);

// The digest of the public key's bits: the contents of the BIT STRING of its
// SubjectPublicKeyInfo. 0 with an error of library 6 when the key cannot be
// encoded or digested.
int PUBKEY_digest(const EVP_PKEY* key, const EVP_MD* md, unsigned char* out, unsigned int* out_length);

}  // namespace qcrypto
