#include "crypto/cadb/attribute.h"

#include <openssl/crypto.h>
#include <openssl/objects.h>

#include <cstring>
#include <string>

#include "crypto/cadb/cadb_codes.h"
#include "crypto/evp/objects.h"
#include "crypto/x509/name_print.h"

namespace qcrypto {

ATTRIBUTE* ATTRIBUTE_new() {
  auto* attribute = static_cast<ATTRIBUTE*>(OPENSSL_zalloc(sizeof(ATTRIBUTE)));
  if (attribute == nullptr) QERR(ERRLIB_CADB, CADB_F_ATTRIBUTE_NEW, CADB_R_MEMORY);
  return attribute;
}

ATTRIBUTE* ATTRIBUTE_add(ATTRIBUTE* head, int object, const char* text, int length, int string_type) {
  if (text == nullptr && length != 0) {
    QERR(ERRLIB_CADB, CADB_F_ATTRIBUTE_ADD, CADB_R_BAD_ARGUMENT);
    return nullptr;
  }
  const std::size_t n = length < 0 ? std::strlen(text) : static_cast<std::size_t>(length);
  UniquePtr<ATTRIBUTE> added(ATTRIBUTE_new());
  if (!added) return nullptr;
  added->value = static_cast<char*>(OPENSSL_zalloc(n + 1));
  if (added->value == nullptr) {
    QERR(ERRLIB_CADB, CADB_F_ATTRIBUTE_ADD, CADB_R_MEMORY);
    return nullptr;
  }
  if (n > 0) std::memcpy(added->value, text, n);
  added->object = object;
  added->string_type = string_type;
  if (head == nullptr) return added.release();
  ATTRIBUTE* last = head;
  while (last->next != nullptr) last = last->next;
  last->next = added.release();
  return head;
}

void ATTRIBUTE_free(ATTRIBUTE* attribute) {
  // A loop, not recursion: a chain as long as a hostile name has entries.
  while (attribute != nullptr) {
    ATTRIBUTE* next = attribute->next;
    OPENSSL_free(attribute->value);
    OPENSSL_free(attribute);
    attribute = next;
  }
}

int X509_NAME_split_into(const X509_NAME* name, ATTRIBUTE** out) {
  if (name == nullptr || out == nullptr) {
    QERR(ERRLIB_CADB, CADB_F_X509_NAME_SPLIT, CADB_R_BAD_ARGUMENT);
    return 0;
  }
  UniquePtr<ATTRIBUTE> head;
  ATTRIBUTE* tail = nullptr;  // appending after the tail keeps long names linear
  const int count = X509_NAME_entry_count(name);
  for (int i = 0; i < count; ++i) {
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
    const ASN1_STRING* value = X509_NAME_ENTRY_get_data(entry);
    if (value == nullptr || ASN1_STRING_length(value) <= 0) continue;
    // A value is kept as a zero-terminated text; a zero byte inside it would
    // silently cut the text short ("good\0evil" read as "good"), so it is
    // written out the way the name printers write control bytes.
    std::string text;
    for (const char c : X509_NAME_value_local(value)) {
      if (c == '\0') {
        text += "\\x00";
      } else {
        text += c;
      }
    }
    const int object = sysobj_number(OBJ_obj2nid(X509_NAME_ENTRY_get_object(entry)));
    ATTRIBUTE* added = ATTRIBUTE_add(tail, object, text.data(), static_cast<int>(text.size()), ASN1_STRING_type(value));
    if (added == nullptr) {
      QERR(ERRLIB_CADB, CADB_F_X509_NAME_SPLIT, CADB_R_CALLED_PART);
      return 0;
    }
    if (tail == nullptr) {
      head.reset(added);
      tail = added;
    } else {
      tail = tail->next;
    }
  }
  *out = head.release();
  return 1;
}

ATTRIBUTE* X509_NAME_split(const X509_NAME* name) {
  ATTRIBUTE* out = nullptr;
  return X509_NAME_split_into(name, &out) ? out : nullptr;
}

}  // namespace qcrypto
