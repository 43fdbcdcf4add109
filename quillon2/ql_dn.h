// The toolkit's distinguished-name record: the eight name parts the system
// shows and compares, parsed from a one-line name ("/C=RU/O=Org/CN=Name",
// names in the local code page, short names "SP", "T" and "Email" for the
// state, the title and the e-mail address).
//
// Texts of the record are allocated with QL_malloc (the toolkit's
// allocator, freed by QL_free) and belong to the record.
#pragma once

#include "crypto/cclib/owner.h"

namespace quillon2 {

// Eight text pointers in this order; each null or an allocated text.
struct QL_DN {
  char* C;
  char* SP;
  char* L;
  char* O;
  char* OU;
  char* T;
  char* CN;
  char* Email;
};

constexpr int QL_DN_FIELDS = 8;
// The keys of the fields, in the record's order.
extern const char* const QL_DN_KEYS[QL_DN_FIELDS];
// The record's fields as an array in that order.
char** QL_DN_fields(QL_DN* dn);
const char* const* QL_DN_fields(const QL_DN* dn);

// A zeroed record, or null (last result 103).
QL_DN* QL_DN_new();
// Frees the eight texts and sets them to null (null record ignored).
void QL_DN_clear(QL_DN* dn);
// Clears and frees the record (null ignored).
void QL_DN_free(QL_DN* dn);

// Fills the record from a one-line name. The text is split only at unescaped
// separators: every "/key=" of the eight keys (exact case, first occurrence)
// starts that key's value, which runs up to the "/" that introduces the next
// key; a "/" inside a value that no key follows stays in the value, an
// unescaped "=" ends it. The values are unescaped ("\/", "\=" and "\\"
// become "/", "=" and a backslash; "\x01" and the like stay as written, as
// shown). Keys absent or with an empty value stay null. The eight fields are
// set to null first without being freed (callers hand in fresh records;
// clear a used one before). 0; 159 for a null text or record; 103 out of
// memory (the fields made so far stay).
int QL_DN_parse(const char* text, QL_DN* dn);

// A new record parsed from the text, or null when the text is null or cannot
// be parsed (the code is the thread's last result).
QL_DN* QL_DN_from_text(const char* text);

// 1 when every field that is non-empty in both records is equal (byte-wise,
// case-sensitive); 0 when either record is null, when the wanted record has
// no non-empty field, or at the first field that differs.
int QL_DN_match(const QL_DN* wanted, const QL_DN* candidate);

}  // namespace quillon2

QCRYPTO_DECLARE_OWNER(quillon2::QL_DN, quillon2::QL_DN_free)
