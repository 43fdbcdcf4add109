// Helpers shared by the record conversions and the printers.
#pragma once

#include <openssl/asn1.h>

#include <string>

#include "crypto/cadb/attribute.h"

namespace qcrypto {

// True for the string types whose values are shown as text.
bool v3ext_is_text_type(int type);
// A string's value as the records and printers show it: text types in the
// local code page under the code-page mode, others as "%02X " per byte.
std::string v3ext_text_of(const ASN1_STRING* s);
// A text value: one attribute record with the text and the string's type.
ATTRIBUTE* v3ext_text_value(const ASN1_STRING* s, int object);
// Bits 0..31 of a BIT STRING (bit 0 the first byte's top bit); 0 for null.
unsigned long v3ext_bit_mask(const ASN1_BIT_STRING* bits);

}  // namespace qcrypto
