// Attribute records: one name entry or attribute value as text, chained.
#pragma once

#include <openssl/x509.h>

#include "crypto/cclib/owner.h"

namespace qcrypto {

struct ATTRIBUTE {
  int object;       // the system's object number; 0 when it has none
  char* value;      // the value as text in the local code page, zero-terminated
  int reserved;     // always 0
  int string_type;  // the ASN.1 string type of the value (V_ASN1_*)
  ATTRIBUTE* next;  // owned: freeing a record frees the rest of its chain
};

// A zeroed record, or null with an error when memory runs out.
ATTRIBUTE* ATTRIBUTE_new();
// Appends a record with a copy of `length` bytes of `text` (a negative
// length: the text's own length) at the end of the chain. Returns the head of
// the chain (the new record when `head` was null), or null with an error and
// the chain unchanged.
ATTRIBUTE* ATTRIBUTE_add(ATTRIBUTE* head, int object, const char* text, int length, int string_type);
// Frees the record and every record after it.
void ATTRIBUTE_free(ATTRIBUTE* attribute);

// One record per name entry, in order, the value in the local code page. An
// entry without a value is skipped. Null for a name without entries (no
// error) and on failure (with an error); X509_NAME_split_into tells the two
// apart: 1 with `*out` set (possibly null), 0 on failure.
ATTRIBUTE* X509_NAME_split(const X509_NAME* name);
int X509_NAME_split_into(const X509_NAME* name, ATTRIBUTE** out);

}  // namespace qcrypto

QCRYPTO_DECLARE_OWNER(qcrypto::ATTRIBUTE, qcrypto::ATTRIBUTE_free)
