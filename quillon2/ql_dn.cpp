#include "quillon2/ql_dn.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "crypto/x509/name_print.h"
#include "quillon2/ql_codes.h"
#include "quillon2/ql_frame.h"
#include "quillon2/ql_last_error.h"

namespace quillon2 {

const char* const QL_DN_KEYS[QL_DN_FIELDS] = {"C", "SP", "L", "O", "OU", "T", "CN", "Email"};

// The record is eight pointers in the order of the keys; reading them as an
// array keeps every loop over the fields in that order.
static_assert(sizeof(QL_DN) == QL_DN_FIELDS * sizeof(char*));

char** QL_DN_fields(QL_DN* dn) { return &dn->C; }
const char* const* QL_DN_fields(const QL_DN* dn) { return &dn->C; }

QL_DN* QL_DN_new() {
  auto* dn = static_cast<QL_DN*>(QL_malloc(sizeof(QL_DN)));  // sets 103 when it fails
  if (dn != nullptr) std::memset(dn, 0, sizeof *dn);
  return dn;
}

void QL_DN_clear(QL_DN* dn) {
  if (dn == nullptr) return;
  char** fields = QL_DN_fields(dn);
  for (int i = 0; i < QL_DN_FIELDS; ++i) {
    QL_free(fields[i]);
    fields[i] = nullptr;
  }
}

void QL_DN_free(QL_DN* dn) {
  QL_DN_clear(dn);
  QL_free(dn);
}

namespace {

// An "=" the printer did not escape ends a value (texts typed by hand).
std::string_view up_to_bare_equals(std::string_view value) {
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\\') {
      ++i;
    } else if (value[i] == '=') {
      return value.substr(0, i);
    }
  }
  return value;
}

}  // namespace

int QL_DN_parse(const char* text, QL_DN* dn) {
  if (text == nullptr || dn == nullptr) return QL_ERR_ARGUMENT;
  std::memset(dn, 0, sizeof *dn);
  char** fields = QL_DN_fields(dn);
  try {
    // Split only where the printer separates entries: a "/" or "=" written
    // after a backslash is part of a value, so a value holding "/O=..."
    // cannot fill another field.
    const qcrypto::OnelineText parsed = qcrypto::X509_NAME_oneline_split(text);
    for (int i = 0; i < QL_DN_FIELDS; ++i) {
      const auto it = std::find_if(parsed.entries.begin(), parsed.entries.end(),
                                   [&](const qcrypto::OnelineEntry& e) { return e.key == QL_DN_KEYS[i]; });
      if (it == parsed.entries.end()) continue;
      const std::string value = qcrypto::X509_NAME_oneline_unescape(up_to_bare_equals(it->value));
      if (value.empty()) continue;
      fields[i] = QL_strdup(value.c_str());
      if (fields[i] == nullptr) return QL_ERR_MEMORY;
    }
  } catch (const std::bad_alloc&) {
    return QL_ERR_MEMORY;
  }
  return QL_OK;
}

QL_DN* QL_DN_from_text(const char* text) {
  QL_set_last_error(QL_OK);
  if (text == nullptr) {
    QL_set_last_error(QL_ERR_ARGUMENT);
    return nullptr;
  }
  qcrypto::UniquePtr<QL_DN> dn(QL_DN_new());
  if (!dn) return nullptr;
  const int code = QL_DN_parse(text, dn.get());
  if (code != QL_OK) {
    QL_set_last_error(code);
    return nullptr;
  }
  return dn.release();
}

int QL_DN_match(const QL_DN* wanted, const QL_DN* candidate) {
  QL_set_last_error(QL_OK);
  if (wanted == nullptr || candidate == nullptr) {
    QL_set_last_error(QL_ERR_ARGUMENT);
    return 0;
  }
  const char* const* want = QL_DN_fields(wanted);
  const char* const* have = QL_DN_fields(candidate);
  bool any = false;
  for (int i = 0; i < QL_DN_FIELDS; ++i) {
    if (want[i] == nullptr || want[i][0] == '\0') continue;
    any = true;
    if (have[i] == nullptr || have[i][0] == '\0') continue;
    if (std::strcmp(want[i], have[i]) != 0) return 0;
  }
  return any ? 1 : 0;
}

}  // namespace quillon2
