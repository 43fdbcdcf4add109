#include "quillon2/ql_dn.h"

#include <openssl/crypto.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

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

int QL_DN_parse(const char* text, QL_DN* dn) {
  if (text == nullptr || dn == nullptr) return QL_ERR_ARGUMENT;
  std::memset(dn, 0, sizeof *dn);
  const std::string_view source(text);
  std::vector<char> copy;
  try {
    copy.assign(source.begin(), source.end());
    copy.push_back('\0');
  } catch (const std::bad_alloc&) {
    return QL_ERR_MEMORY;
  }
  // Where each key's value starts, found before the text is cut.
  std::size_t start[QL_DN_FIELDS];
  bool found[QL_DN_FIELDS];
  for (int i = 0; i < QL_DN_FIELDS; ++i) {
    char marker[8];
    const int n = std::snprintf(marker, sizeof marker, "/%s=", QL_DN_KEYS[i]);
    const std::size_t at = source.find(std::string_view(marker, static_cast<std::size_t>(n)));
    found[i] = at != std::string_view::npos;
    start[i] = found[i] ? at + static_cast<std::size_t>(n) : 0;
  }
  // Cut from the end: every "=" ends a key and the "/" before it ends the
  // value in front of that key.
  std::size_t end = source.size();
  for (;;) {
    const std::size_t eq = std::string_view(copy.data(), end).rfind('=');
    if (eq == std::string_view::npos) break;
    copy[eq] = '\0';
    end = eq;
    const std::size_t slash = std::string_view(copy.data(), end).rfind('/');
    if (slash != std::string_view::npos) {
      copy[slash] = '\0';
      end = slash;
    }
  }
  char** fields = QL_DN_fields(dn);
  for (int i = 0; i < QL_DN_FIELDS; ++i) {
    if (!found[i] || copy[start[i]] == '\0') continue;
    fields[i] = QL_strdup(&copy[start[i]]);
    if (fields[i] == nullptr) return QL_ERR_MEMORY;
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
