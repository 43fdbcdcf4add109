// Decoded extensions to the database's extension records.
#include "crypto/v3ext/cadb_v3ext.h"

#include <openssl/objects.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <type_traits>

#include "crypto/cadb/record_util.h"
#include "crypto/cadb/tm_utils.h"
#include "crypto/cclib/ossl_owners.h"
#include "crypto/err/err.h"
#include "crypto/evp/objects.h"
#include "crypto/v3ext/v3ext_codes.h"
#include "crypto/x509/name_print.h"
#include "crypto/x509/x509_owners.h"

QCRYPTO_DECLARE_OWNER(qcrypto::CADB_AUTHORITY_KEYID, qcrypto::CADB_AUTHORITY_KEYID_free)
QCRYPTO_DECLARE_OWNER(qcrypto::CADB_NOTICE_REF, qcrypto::CADB_NOTICE_REF_free)
QCRYPTO_DECLARE_OWNER(qcrypto::CADB_USER_NOTICE, qcrypto::CADB_USER_NOTICE_free)
QCRYPTO_DECLARE_OWNER(qcrypto::CADB_POLICY_QUALIFIER, qcrypto::CADB_POLICY_QUALIFIER_free)
QCRYPTO_DECLARE_OWNER(qcrypto::CADB_POLICY_INFO, qcrypto::CADB_POLICY_INFO_free)
QCRYPTO_DECLARE_OWNER(qcrypto::CADB_POLICY_MAPPING, qcrypto::CADB_POLICY_MAPPING_free)
QCRYPTO_DECLARE_OWNER(qcrypto::CADB_BASIC_CONSTRAINTS, qcrypto::CADB_BASIC_CONSTRAINTS_free)
QCRYPTO_DECLARE_OWNER(qcrypto::CADB_PKEY_USAGE_PERIOD, qcrypto::CADB_PKEY_USAGE_PERIOD_free)
QCRYPTO_DECLARE_OWNER(qcrypto::CADB_DIST_POINT_NAME, qcrypto::CADB_DIST_POINT_NAME_free)
QCRYPTO_DECLARE_OWNER(qcrypto::CADB_CRL_DIST_POINT, qcrypto::CADB_CRL_DIST_POINT_free)
QCRYPTO_DECLARE_OWNER(qcrypto::CADB_ISSUING_DIST_POINT, qcrypto::CADB_ISSUING_DIST_POINT_free)
QCRYPTO_DECLARE_OWNER(qcrypto::CADB_ACCESS_DESCRIPTION, qcrypto::CADB_ACCESS_DESCRIPTION_free)
QCRYPTO_DECLARE_OWNER(qcrypto::CADB_POLICY_CONSTRAINTS, qcrypto::CADB_POLICY_CONSTRAINTS_free)
QCRYPTO_DECLARE_OWNER(qcrypto::CADB_GENERAL_SUBTREE, qcrypto::CADB_GENERAL_SUBTREE_free)
QCRYPTO_DECLARE_OWNER(qcrypto::CADB_NAME_CONSTRAINTS, qcrypto::CADB_NAME_CONSTRAINTS_free)

namespace qcrypto {

namespace {

constexpr int kReason12 = ERR_R_INTERNAL;
constexpr int kReason33 = ERR_R_MEMORY_ALLOC;
constexpr int kReason66 = CADB_R_CALLED_PART;

void raise(int func, int reason) { QERR(ERRLIB_CADB, func, reason); }

// A record for a conversion: reasons 33 (from the constructor) then 66.
template <class T>
UniquePtr<T> make_for(T* (*make)(), int func) {
  UniquePtr<T> record(make());
  if (!record) {
    raise(func, kReason66);
  }
  return record;
}

template <class T>
std::nullptr_t fail(int func, int reason = kReason66) {
  raise(func, reason);
  return nullptr;
}

// The string as the database keeps text: converted to the local code page
// and the mode's output code page, a zero byte written as "\x00" so that a
// C string cannot end early; other types as "%02X " per byte.
bool text_of(const ASN1_STRING* s, std::string& out) {
  out.clear();
  switch (ASN1_STRING_type(s)) {
    case V_ASN1_UTF8STRING:
    case V_ASN1_BMPSTRING:
    case V_ASN1_PRINTABLESTRING:
    case V_ASN1_T61STRING:
    case V_ASN1_IA5STRING:
    case V_ASN1_VISIBLESTRING:
      break;
    default: {
      const unsigned char* b = ASN1_STRING_get0_data(s);
      static constexpr std::array<char, 16> kHex{'0', '1', '2', '3', '4', '5', '6', '7',
                                                 '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};
      for (int i = 0; i < ASN1_STRING_length(s); ++i) {
        out += kHex.at(b[i] >> 4);
        out += kHex.at(b[i] & 0x0F);
        out += ' ';
      }
      return true;
    }
  }
  for (const char c : X509_NAME_value_local(s)) {
    if (c == '\0') {
      out += "\\x00";
    } else {
      out += c;
    }
  }
  const int mode = X509_NAME_codepage_mode();
  if (out.empty() || mode == NAME_MODE_ASCII || mode == NAME_MODE_LOCAL) {
    return true;
  }
  // The output code pages other than the local one: converted on the way
  // through a memory channel.
  UniquePtr<BIO> mem(BIO_new(BIO_s_mem()));
  if (!mem || BIO_write_codepage(mem.get(), out.data(), static_cast<int>(out.size()), mode) != 1) {
    return false;
  }
  char* data = nullptr;
  const long length = BIO_get_mem_data(mem.get(), &data);
  out.assign(data != nullptr ? data : "", length > 0 ? static_cast<std::size_t>(length) : 0U);
  return true;
}

// A chain of one record: object 0, the text, the string's type.
ATTRIBUTE* text_value(const ASN1_STRING* s) {
  std::string text;
  if (s == nullptr || !text_of(s, text)) {
    return nullptr;
  }
  return ATTRIBUTE_add(nullptr, 0, text.data(), static_cast<int>(text.size()), ASN1_STRING_type(s));
}

BUFFER* bytes_of(const ASN1_STRING* s) {
  UniquePtr<BUFFER> buffer(BUFFER_new());
  if (!buffer || BUFFER_fill(buffer.get(), ASN1_STRING_get0_data(s), ASN1_STRING_length(s)) != 1) {
    return nullptr;
  }
  return buffer.release();
}

BUFFER* text_buffer(const std::string& text) {
  UniquePtr<BUFFER> buffer(BUFFER_new());
  if (!buffer || BUFFER_fill(buffer.get(), text.data(), static_cast<int>(text.size())) != 1) {
    return nullptr;
  }
  return buffer.release();
}

unsigned long bit_mask(const ASN1_BIT_STRING* bits) {
  if (bits == nullptr) {
    return 0;
  }
  const int count = 8 * std::min(ASN1_STRING_length(bits), 4);
  unsigned long mask = 0;
  for (int n = 0; n < count; ++n) {
    if (ASN1_BIT_STRING_get_bit(bits, n) != 0) {
      mask |= 1UL << n;
    }
  }
  return mask;
}

BUFFER* ip_text(const ASN1_OCTET_STRING* ip) {
  const unsigned char* b = ASN1_STRING_get0_data(ip);
  std::array<char, 64> text{};
  if (ASN1_STRING_length(ip) == 4) {
    std::snprintf(text.data(), text.size(), "%i.%i.%i.%i", b[0], b[1], b[2], b[3]);
  } else if (ASN1_STRING_length(ip) == 8) {
    std::snprintf(text.data(), text.size(), "%i.%i.%i.%i/%i.%i.%i.%i", b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7]);
  } else {
    return nullptr;
  }
  return text_buffer(text.data());
}

// How a list of one kind is converted: the element's conversion and free,
// and the codes its failures raise: reason 33 under `first` when the list
// cannot be made, under `element_first` when an element cannot be made or
// kept, and after either reason 66 under `second`.
template <class Out, class In>
struct ListKind {
  Out* (*convert)(const In*);
  void (*free_one)(Out*);
  int first;
  int second;
  int element_first;
};

template <class Out, class In>
OPENSSL_STACK* convert_list(const OPENSSL_STACK* in, const ListKind<Out, In>& kind) {
  if (in == nullptr) {
    raise(kind.second, kReason66);
    return nullptr;
  }
  OPENSSL_STACK* out = OPENSSL_sk_new_null();
  if (out == nullptr) {
    raise(kind.first, kReason33);
    raise(kind.second, kReason66);
    return nullptr;
  }
  for (int i = 0; i < OPENSSL_sk_num(in); ++i) {
    Out* element = kind.convert(static_cast<const In*>(OPENSSL_sk_value(in, i)));
    if (element == nullptr || OPENSSL_sk_push(out, element) <= 0) {
      kind.free_one(element);
      for (int j = 0; j < OPENSSL_sk_num(out); ++j) {
        kind.free_one(static_cast<Out*>(OPENSSL_sk_value(out, j)));
      }
      OPENSSL_sk_free(out);
      raise(kind.element_first, kReason33);
      raise(kind.second, kReason66);
      return nullptr;
    }
  }
  return out;
}

template <class Out>
void free_list(OPENSSL_STACK* list, void (*free_one)(Out*)) {
  for (int i = 0; i < OPENSSL_sk_num(list); ++i) {
    free_one(static_cast<Out*>(OPENSSL_sk_value(list, i)));
  }
  OPENSSL_sk_free(list);
}

template <class S>
const OPENSSL_STACK* generic(const S* s) {
  return reinterpret_cast<const OPENSSL_STACK*>(s);  // NOLINT: OpenSSL's typed stacks are OPENSSL_STACKs
}
template <class S>
OPENSSL_STACK* generic(S* s) {
  return reinterpret_cast<OPENSSL_STACK*>(s);  // NOLINT: as above
}
template <class S>
S* typed(OPENSSL_STACK* s) {
  return reinterpret_cast<S*>(s);  // NOLINT: as above
}

void free_general_names(STACK_OF(CADB_GENERAL_NAME) * names) { free_list(generic(names), CADB_GENERAL_NAME_free); }
void free_subtrees(STACK_OF(CADB_GENERAL_SUBTREE) * trees) { free_list(generic(trees), CADB_GENERAL_SUBTREE_free); }
void free_qualifiers(STACK_OF(CADB_POLICY_QUALIFIER) * list) { free_list(generic(list), CADB_POLICY_QUALIFIER_free); }
void free_time(struct tm* time) { OPENSSL_free(time); }

// A zeroed record with its defaults; reason 33 under `func` when memory
// runs out.
template <class T>
T* zeroed(int func, void (*defaults)(T&) = nullptr) {
  auto* record = static_cast<T*>(OPENSSL_zalloc(sizeof(T)));
  if (record == nullptr) {
    raise(func, kReason33);
  } else if (defaults != nullptr) {
    defaults(*record);
  }
  return record;
}

// Frees a record after what its members own; null is accepted.
template <class T>
void free_record(T* record, std::type_identity_t<void (*)(T&)> members) {
  if (record != nullptr) {
    members(*record);
    OPENSSL_free(record);
  }
}

}  // namespace

// --- constructors ---------------------------------------------------------

CADB_V3EXT* CADB_V3EXT_new() { return zeroed<CADB_V3EXT>(CADB_F_CADB_V3EXT_NEW); }
CADB_OID* CADB_OID_new() { return zeroed<CADB_OID>(CADB_F_CADB_OID_NEW); }
CADB_GENERAL_NAME* CADB_GENERAL_NAME_new() { return zeroed<CADB_GENERAL_NAME>(CADB_F_CADB_GENERAL_NAME_NEW); }
CADB_AUTHORITY_KEYID* CADB_AUTHORITY_KEYID_new() {
  return zeroed<CADB_AUTHORITY_KEYID>(CADB_F_CADB_AUTHORITY_KEYID_NEW);
}
CADB_NOTICE_REF* CADB_NOTICE_REF_new() { return zeroed<CADB_NOTICE_REF>(CADB_F_CADB_NOTICE_REF_NEW); }
CADB_USER_NOTICE* CADB_USER_NOTICE_new() { return zeroed<CADB_USER_NOTICE>(CADB_F_CADB_USER_NOTICE_NEW); }
CADB_POLICY_QUALIFIER* CA_F_CADB_POLICY_QUALIFIER_new() {
  return zeroed<CADB_POLICY_QUALIFIER>(CADB_F_CADB_POLICY_QUALIFIER_NEW);
}
CADB_POLICY_INFO* CADB_POLICY_INFO_new() { return zeroed<CADB_POLICY_INFO>(CADB_F_CADB_POLICY_INFO_NEW); }
CADB_POLICY_MAPPING* CADB_POLICY_MAPPING_new() { return zeroed<CADB_POLICY_MAPPING>(CADB_F_CADB_POLICY_MAPPING_NEW); }
CADB_BASIC_CONSTRAINTS* CADB_BASIC_CONSTRAINTS_new() {
  return zeroed<CADB_BASIC_CONSTRAINTS>(CADB_F_CADB_BASIC_CONSTRAINTS_NEW,
                                        [](CADB_BASIC_CONSTRAINTS& r) { r.path_length = -1; });
}
CADB_PKEY_USAGE_PERIOD* CADB_PKEY_USAGE_PERIOD_new() {
  return zeroed<CADB_PKEY_USAGE_PERIOD>(CADB_F_CADB_PKEY_USAGE_PERIOD_NEW);
}
CADB_DIST_POINT_NAME* CADB_DIST_POINT_NAME_new() {
  return zeroed<CADB_DIST_POINT_NAME>(CADB_F_CADB_DIST_POINT_NAME_NEW, [](CADB_DIST_POINT_NAME& r) { r.kind = -1; });
}
CADB_CRL_DIST_POINT* CADB_CRL_DIST_POINT_new() { return zeroed<CADB_CRL_DIST_POINT>(CADB_F_CADB_CRL_DIST_POINT_NEW); }
CADB_ISSUING_DIST_POINT* CADB_ISSUING_DIST_POINT_new() {
  return zeroed<CADB_ISSUING_DIST_POINT>(CADB_F_CADB_ISSUING_DIST_POINT_NEW);
}
CADB_ACCESS_DESCRIPTION* CADB_ACCESS_DESCRIPTION_new() {
  return zeroed<CADB_ACCESS_DESCRIPTION>(CADB_F_CADB_ACCESS_DESCRIPTION_NEW);
}
CADB_POLICY_CONSTRAINTS* CADB_POLICY_CONSTRAINTS_new() {
  return zeroed<CADB_POLICY_CONSTRAINTS>(CADB_F_CADB_POLICY_CONSTRAINTS_NEW, [](CADB_POLICY_CONSTRAINTS& r) {
    r.require_explicit_policy = -1;
    r.inhibit_policy_mapping = -1;
  });
}
CADB_GENERAL_SUBTREE* CADB_GENERAL_SUBTREE_new() {
  return zeroed<CADB_GENERAL_SUBTREE>(CADB_F_CADB_GENERAL_SUBTREE_NEW, [](CADB_GENERAL_SUBTREE& r) { r.maximum = -1; });
}
CADB_NAME_CONSTRAINTS* CADB_NAME_CONSTRAINTS_new() {
  return zeroed<CADB_NAME_CONSTRAINTS>(CADB_F_CADB_NAME_CONSTRAINTS_NEW);
}

// --- frees ----------------------------------------------------------------

void CADB_OID_free(CADB_OID* record) {
  free_record(record, [](CADB_OID& r) { BUFFER_free(r.dotted); });
}

void CADB_GENERAL_NAME_free(CADB_GENERAL_NAME* record) {
  free_record(record, [](CADB_GENERAL_NAME& r) {
    switch (r.type) {
      case 0x81:
      case 0x82:
      case 0x86:
        ATTRIBUTE_free(r.value.text);
        break;
      case 0x84:
        ATTRIBUTE_free(r.value.name);
        break;
      case 0x87:
        BUFFER_free(r.value.ip);
        break;
      case 0x88:
        CADB_OID_free(r.value.oid);
        break;
      default:
        break;
    }
  });
}

void CADB_AUTHORITY_KEYID_free(CADB_AUTHORITY_KEYID* record) {
  free_record(record, [](CADB_AUTHORITY_KEYID& r) {
    BUFFER_free(r.key_id);
    free_general_names(r.issuer);
    BUFFER_free(r.serial);
  });
}

void CADB_NOTICE_REF_free(CADB_NOTICE_REF* record) {
  free_record(record, [](CADB_NOTICE_REF& r) {
    ATTRIBUTE_free(r.organization);
    BUFFER_free(r.numbers);
  });
}

void CADB_USER_NOTICE_free(CADB_USER_NOTICE* record) {
  free_record(record, [](CADB_USER_NOTICE& r) {
    CADB_NOTICE_REF_free(r.notice_ref);
    ATTRIBUTE_free(r.explicit_text);
  });
}

void CADB_POLICY_QUALIFIER_free(CADB_POLICY_QUALIFIER* record) {
  free_record(record, [](CADB_POLICY_QUALIFIER& r) {
    CADB_OID_free(r.id);
    if (r.object == NID_id_qt_cps) {
      ATTRIBUTE_free(r.value.cps);
    } else if (r.object == NID_id_qt_unotice) {
      CADB_USER_NOTICE_free(r.value.user_notice);
    }
  });
}

void CADB_POLICY_INFO_free(CADB_POLICY_INFO* record) {
  free_record(record, [](CADB_POLICY_INFO& r) {
    CADB_OID_free(r.policy);
    free_qualifiers(r.qualifiers);
  });
}

void CADB_POLICY_MAPPING_free(CADB_POLICY_MAPPING* record) {
  free_record(record, [](CADB_POLICY_MAPPING& r) {
    CADB_OID_free(r.issuer_domain_policy);
    CADB_OID_free(r.subject_domain_policy);
  });
}

// Basic and policy constraints are two numbers each: one free for both.
void CADB_BASIC_CONSTRAINTS_free(CADB_BASIC_CONSTRAINTS* record) { OPENSSL_clear_free(record, sizeof(*record)); }
void CADB_POLICY_CONSTRAINTS_free(CADB_POLICY_CONSTRAINTS* record) { OPENSSL_clear_free(record, sizeof(*record)); }

void CADB_PKEY_USAGE_PERIOD_free(CADB_PKEY_USAGE_PERIOD* record) {
  free_record(record, [](CADB_PKEY_USAGE_PERIOD& r) {
    OPENSSL_free(r.start);
    OPENSSL_free(r.end);
  });
}

void CADB_DIST_POINT_NAME_free(CADB_DIST_POINT_NAME* record) {
  free_record(record, [](CADB_DIST_POINT_NAME& r) {
    if (r.kind == 0) {
      free_general_names(r.value.full_name);
    } else if (r.kind == 1) {
      ATTRIBUTE_free(r.value.relative_name);
    }
  });
}

void CADB_CRL_DIST_POINT_free(CADB_CRL_DIST_POINT* record) {
  free_record(record, [](CADB_CRL_DIST_POINT& r) {
    CADB_DIST_POINT_NAME_free(r.name);
    free_general_names(r.crl_issuer);
  });
}

void CADB_ISSUING_DIST_POINT_free(CADB_ISSUING_DIST_POINT* record) {
  free_record(record, [](CADB_ISSUING_DIST_POINT& r) { CADB_DIST_POINT_NAME_free(r.name); });
}

void CADB_ACCESS_DESCRIPTION_free(CADB_ACCESS_DESCRIPTION* record) {
  free_record(record, [](CADB_ACCESS_DESCRIPTION& r) {
    CADB_OID_free(r.method);
    CADB_GENERAL_NAME_free(r.location);
  });
}

void CADB_GENERAL_SUBTREE_free(CADB_GENERAL_SUBTREE* record) {
  free_record(record, [](CADB_GENERAL_SUBTREE& r) { CADB_GENERAL_NAME_free(r.base); });
}

void CADB_NAME_CONSTRAINTS_free(CADB_NAME_CONSTRAINTS* record) {
  free_record(record, [](CADB_NAME_CONSTRAINTS& r) {
    free_subtrees(r.permitted);
    free_subtrees(r.excluded);
  });
}

// --- the extension table ----------------------------------------------------

namespace {

// How one extension's value becomes its record's member: the conversion
// (false when the value cannot be made) and the release of what it made.
struct ValueKind {
  bool (*convert)(CADB_V3EXT& record, const void* value);
  void (*release)(CADB_V3EXT& record);
};

using Value = decltype(CADB_V3EXT::value);

template <class F>
struct ArgumentOf;
template <class R, class A>
struct ArgumentOf<R (*)(A)> {
  using type = A;
};
template <auto Convert>
auto decoded_as(const void* value) {
  return static_cast<typename ArgumentOf<decltype(Convert)>::type>(value);
}

// A number or mask: nothing to fail, nothing to release.
template <auto Member, auto Convert>
constexpr ValueKind plain() {
  return {[](CADB_V3EXT& r, const void* v) {
            r.value.*Member = Convert(decoded_as<Convert>(v));
            return true;
          },
          [](CADB_V3EXT&) {}};
}

template <auto Member, auto Convert>
bool convert_owned(CADB_V3EXT& r, const void* v) {
  return (r.value.*Member = Convert(decoded_as<Convert>(v))) != nullptr;
}

// A value the record owns: made by `Convert`, freed by `Release`.
template <auto Member, auto Convert, auto Release>
constexpr ValueKind owned() {
  return {convert_owned<Member, Convert>, [](CADB_V3EXT& r) { Release(r.value.*Member); }};
}

// A list the record owns: made by `Convert`, every element freed by `FreeOne`.
template <auto Member, auto Convert, auto FreeOne>
constexpr ValueKind owned_list() {
  return {convert_owned<Member, Convert>, [](CADB_V3EXT& r) { free_list(generic(r.value.*Member), FreeOne); }};
}

constexpr ValueKind kAsMask = plain<&Value::mask, bit_mask>();
constexpr ValueKind kAsEnumerated = plain<&Value::number, ASN1_ENUMERATED_get>();
constexpr ValueKind kAsInteger = plain<&Value::number, ASN1_INTEGER_get>();
constexpr ValueKind kAsText = owned<&Value::text, text_value, ATTRIBUTE_free>();
constexpr ValueKind kAsOctets = owned<&Value::bytes, bytes_of, BUFFER_free>();
constexpr ValueKind kAsIntegerBytes = owned<&Value::bytes, cadb_integer_bytes, BUFFER_free>();
constexpr ValueKind kAsTime = owned<&Value::time, ASN1_TIME_parse, free_time>();
constexpr ValueKind kAsPeriod = owned<&Value::period, CADB_PKEY_USAGE_PERIOD_parse, CADB_PKEY_USAGE_PERIOD_free>();
constexpr ValueKind kAsNames = owned_list<&Value::names, CADB_GENERAL_NAMES_parse, CADB_GENERAL_NAME_free>();
constexpr ValueKind kAsBasic =
    owned<&Value::basic_constraints, CADB_BASIC_CONSTRAINTS_parse, CADB_BASIC_CONSTRAINTS_free>();
constexpr ValueKind kAsPolicies = owned_list<&Value::policies, CADB_CERT_POLICIES_parse, CADB_POLICY_INFO_free>();
constexpr ValueKind kAsKeyId = owned<&Value::key_id, CADB_AUTHORITY_KEYID_parse, CADB_AUTHORITY_KEYID_free>();
constexpr ValueKind kAsDistPoints =
    owned_list<&Value::dist_points, CADB_CRL_DIST_POINTS_parse, CADB_CRL_DIST_POINT_free>();
constexpr ValueKind kAsOids = owned_list<&Value::oids, CADB_EXT_KEY_USAGE_parse, CADB_OID_free>();
constexpr ValueKind kAsMappings = owned_list<&Value::mappings, CADB_POLICY_MAPPINGS_parse, CADB_POLICY_MAPPING_free>();
constexpr ValueKind kAsPolicyConstraints =
    owned<&Value::policy_constraints, CADB_POLICY_CONSTRAINTS_parse, CADB_POLICY_CONSTRAINTS_free>();
constexpr ValueKind kAsNameConstraints =
    owned<&Value::name_constraints, CADB_NAME_CONSTRAINTS_parse, CADB_NAME_CONSTRAINTS_free>();
constexpr ValueKind kAsAccess =
    owned_list<&Value::access, CADB_ACCESS_DESCRIPTIONS_parse, CADB_ACCESS_DESCRIPTION_free>();
constexpr ValueKind kAsIssuingPoint =
    owned<&Value::issuing_dist_point, CADB_ISSUING_DIST_POINT_parse, CADB_ISSUING_DIST_POINT_free>();
constexpr ValueKind kAsOid = owned<&Value::oid, CADB_OID_parse, CADB_OID_free>();
constexpr ValueKind kAsAttributes = owned_list<&Value::attributes, CADB_ATTRIBUTES_parse, ATTRIBUTE_free>();

struct ExtensionRow {
  int object;
  const ValueKind* kind;
};

// Every extension the system keeps a record of; any other number gives an
// unsupported record.
constexpr auto kExtensionRows = std::to_array<ExtensionRow>({
    {NID_netscape_cert_type, &kAsMask},
    {NID_key_usage, &kAsMask},
    {NID_crl_reason, &kAsEnumerated},
    {V3OBJ_INHIBIT_ANY_POLICY, &kAsInteger},
    {NID_netscape_base_url, &kAsText},
    {NID_netscape_revocation_url, &kAsText},
    {NID_netscape_ca_revocation_url, &kAsText},
    {NID_netscape_renewal_url, &kAsText},
    {NID_netscape_ca_policy_url, &kAsText},
    {NID_netscape_ssl_server_name, &kAsText},
    {NID_netscape_comment, &kAsText},
    {NID_subject_key_identifier, &kAsOctets},
    {NID_crl_number, &kAsIntegerBytes},
    {NID_delta_crl, &kAsIntegerBytes},
    {NID_private_key_usage_period, &kAsPeriod},
    {NID_subject_alt_name, &kAsNames},
    {NID_issuer_alt_name, &kAsNames},
    {V3OBJ_CERTIFICATE_ISSUER, &kAsNames},
    {NID_basic_constraints, &kAsBasic},
    {NID_certificate_policies, &kAsPolicies},
    {NID_authority_key_identifier, &kAsKeyId},
    {SYSOBJ_Registration_Certificate_MD_PREI, &kAsKeyId},
    {SYSOBJ_Previous_Certificate_VALIDATA, &kAsKeyId},
    {NID_crl_distribution_points, &kAsDistPoints},
    {V3OBJ_FRESHEST_CRL, &kAsDistPoints},
    {NID_ext_key_usage, &kAsOids},
    {NID_invalidity_date, &kAsTime},
    {V3OBJ_POLICY_MAPPINGS, &kAsMappings},
    {V3OBJ_POLICY_CONSTRAINTS, &kAsPolicyConstraints},
    {V3OBJ_NAME_CONSTRAINTS, &kAsNameConstraints},
    {V3OBJ_AUTHORITY_INFO_ACCESS, &kAsAccess},
    {V3OBJ_SUBJECT_INFO_ACCESS, &kAsAccess},
    {V3OBJ_ISSUING_DIST_POINT, &kAsIssuingPoint},
    {V3OBJ_HOLD_INSTRUCTION_CODE, &kAsOid},
    {V3OBJ_SUBJECT_DIRECTORY_ATTRIBUTES, &kAsAttributes},
});

const ValueKind* value_kind(int object) {
  for (const ExtensionRow& row : kExtensionRows) {
    if (row.object == object) {
      return row.kind;
    }
  }
  return nullptr;
}

}  // namespace

void CADB_V3EXT_free(CADB_V3EXT* record) {
  if (record == nullptr) {
    return;
  }
  const ValueKind* kind = record->parsed != 0 ? value_kind(record->object) : nullptr;
  if (kind != nullptr) {
    kind->release(*record);
  }
  X509_EXTENSION_free(record->extension);
  OPENSSL_cleanse(record, sizeof(*record));
  OPENSSL_free(record);
}

void CADB_V3EXT_LIST_free(STACK_OF(CADB_V3EXT) * list) { free_list(generic(list), CADB_V3EXT_free); }

// --- conversions ------------------------------------------------------------

CADB_OID* CADB_OID_parse(const ASN1_OBJECT* object) {
  if (object == nullptr) {
    return nullptr;
  }
  std::array<char, 256> dotted{};
  const int n = OBJ_obj2txt(dotted.data(), static_cast<int>(dotted.size()), object, 1);
  if (n <= 0 || n >= static_cast<int>(dotted.size())) {
    return nullptr;
  }
  UniquePtr<CADB_OID> record(CADB_OID_new());
  if (!record || (record->dotted = text_buffer(dotted.data())) == nullptr) {
    return nullptr;
  }
  record->object = V3EXT_object_number(object);
  if (record->object != 0) {
    const int nid = OBJ_obj2nid(object);
    record->long_name = OBJ_nid2ln(nid);
    record->short_name = OBJ_nid2sn(nid);
  }
  return record.release();
}

struct tm* ASN1_TIME_parse(const ASN1_TIME* time) {
  struct tm parsed {};
  if (time == nullptr || ASN1_TIME_get_tm(time, &parsed) == nullptr) {
    return nullptr;
  }
  auto* out = static_cast<struct tm*>(OPENSSL_malloc(sizeof(struct tm)));
  if (out == nullptr) {
    raise(CADB_F_ASN1_TIME_PARSE, kReason33);
    return nullptr;
  }
  *out = parsed;
  return out;
}

namespace {

// What filling a record's fields gives: kFilled, or the reason to raise
// under the record's code.
constexpr int kFilled = 0;

int filled_if(bool made_all, int reason = kReason66) { return made_all ? kFilled : reason; }

// How a record of one kind is made from its decoded structure: the
// constructor, the function code of its failures, and the filling of its
// fields.
template <class Out, class In>
struct RecordKind {
  Out* (*make)();
  int func;
  int (*fill)(Out& record, const In& in);
};

// The one shape of every record conversion: a null input fails with reason
// 66; a record that cannot be made with 33 (its constructor's) then 66; a
// field that cannot be filled with the reason the filling gives. The record
// is freed with whatever was filled before the failure.
template <class Out, class In>
Out* convert_record(const In* in, const RecordKind<Out, In>& kind) {
  if (in == nullptr) {
    return fail<Out>(kind.func);
  }
  UniquePtr<Out> record = make_for(kind.make, kind.func);
  if (!record) {
    return nullptr;
  }
  const int reason = kind.fill(*record, *in);
  if (reason != kFilled) {
    return fail<Out>(kind.func, reason);
  }
  return record.release();
}

// `out` made from `in`; false when it cannot be.
template <class Out, class In, class Convert>
bool made(Out*& out, In* in, Convert convert) {
  return (out = convert(in)) != nullptr;
}
// The same for a field that may be absent: an absent one leaves `out` null.
template <class Out, class In, class Convert>
bool made_if_present(Out*& out, In* in, Convert convert) {
  return in == nullptr || made(out, in, convert);
}
void number_if_present(long& out, const ASN1_INTEGER* in) {
  if (in != nullptr) {
    out = ASN1_INTEGER_get(in);
  }
}

int fill_general_name(CADB_GENERAL_NAME& record, const GENERAL_NAME& name) {
  record.type = 0x80 + name.type;
  // A value that cannot be made leaves the record without one: the name's
  // kind alone still tells chain building what the issuer wrote.
  switch (name.type) {
    case GEN_EMAIL:
      record.value.text = text_value(name.d.rfc822Name);
      break;
    case GEN_DNS:
      record.value.text = text_value(name.d.dNSName);
      break;
    case GEN_URI:
      record.value.text = text_value(name.d.uniformResourceIdentifier);
      break;
    case GEN_DIRNAME:
      record.value.name = X509_NAME_split(name.d.directoryName);
      break;
    case GEN_IPADD:
      record.value.ip = ip_text(name.d.iPAddress);
      break;
    case GEN_RID:
      record.value.oid = CADB_OID_parse(name.d.registeredID);
      break;
    default:
      break;
  }
  return kFilled;
}

int fill_notice_ref(CADB_NOTICE_REF& record, const NOTICEREF& ref) {
  if (!made_if_present(record.organization, ref.organization, text_value)) {
    return kReason66;
  }
  std::string numbers;
  for (int i = 0; i < sk_ASN1_INTEGER_num(ref.noticenos); ++i) {
    std::array<char, 32> one{};
    std::snprintf(one.data(), one.size(), "%lu",
                  static_cast<unsigned long>(ASN1_INTEGER_get(sk_ASN1_INTEGER_value(ref.noticenos, i))));
    numbers += (i == 0 ? "" : ",");
    numbers += one.data();
  }
  return filled_if((record.numbers = text_buffer(numbers)) != nullptr);
}

int fill_policy_qualifier(CADB_POLICY_QUALIFIER& record, const POLICYQUALINFO& qualifier) {
  if (!made(record.id, qualifier.pqualid, CADB_OID_parse)) {
    return kReason66;
  }
  record.object = record.id->object;
  if (record.object == NID_id_qt_cps) {
    return filled_if(made(record.value.cps, qualifier.d.cpsuri, text_value));
  }
  if (record.object == NID_id_qt_unotice) {
    return filled_if(made(record.value.user_notice, qualifier.d.usernotice, CADB_USER_NOTICE_parse));
  }
  return kFilled;
}

int fill_dist_point_name(CADB_DIST_POINT_NAME& record, const DIST_POINT_NAME& name) {
  if (name.type == 0 && name.name.fullname != nullptr) {
    record.kind = 0;
    return filled_if(made(record.value.full_name, name.name.fullname, CADB_GENERAL_NAMES_parse));
  }
  if (name.type != 1 || name.name.relativename == nullptr) {
    return kReason12;
  }
  UniquePtr<X509_NAME> rdn(X509_NAME_new());
  if (!rdn) {
    return kReason66;
  }
  for (int i = 0; i < sk_X509_NAME_ENTRY_num(name.name.relativename); ++i) {
    if (X509_NAME_add_entry(rdn.get(), sk_X509_NAME_ENTRY_value(name.name.relativename, i), -1, 0) != 1) {
      return kReason66;
    }
  }
  record.kind = 1;
  return filled_if(X509_NAME_split_into(rdn.get(), &record.value.relative_name) == 1);
}

// Every record kind: its constructor, its function code and its fields.
constexpr RecordKind<CADB_GENERAL_NAME, GENERAL_NAME> kGeneralName{CADB_GENERAL_NAME_new,
                                                                   CADB_F_CADB_GENERAL_NAME_PARSE, fill_general_name};
constexpr RecordKind<CADB_AUTHORITY_KEYID, AUTHORITY_KEYID> kAuthorityKeyid{
    CADB_AUTHORITY_KEYID_new, CADB_F_CADB_AUTHORITY_KEYID_PARSE,
    [](CADB_AUTHORITY_KEYID& r, const AUTHORITY_KEYID& in) {
      return filled_if(made_if_present(r.key_id, in.keyid, bytes_of) &&
                       made_if_present(r.issuer, in.issuer, CADB_GENERAL_NAMES_parse) &&
                       made_if_present(r.serial, in.serial, cadb_integer_bytes));
    }};
constexpr RecordKind<CADB_NOTICE_REF, NOTICEREF> kNoticeRef{CADB_NOTICE_REF_new, CADB_F_CADB_NOTICE_REF_PARSE,
                                                            fill_notice_ref};
constexpr RecordKind<CADB_USER_NOTICE, USERNOTICE> kUserNotice{
    CADB_USER_NOTICE_new, CADB_F_CADB_USER_NOTICE_PARSE, [](CADB_USER_NOTICE& r, const USERNOTICE& in) {
      return filled_if(made_if_present(r.notice_ref, in.noticeref, CADB_NOTICE_REF_parse) &&
                       made_if_present(r.explicit_text, in.exptext, text_value));
    }};
constexpr RecordKind<CADB_POLICY_QUALIFIER, POLICYQUALINFO> kPolicyQualifier{
    CA_F_CADB_POLICY_QUALIFIER_new, CADB_F_CADB_POLICY_QUALIFIER_PARSE, fill_policy_qualifier};
constexpr RecordKind<CADB_POLICY_INFO, POLICYINFO> kPolicyInfo{
    CADB_POLICY_INFO_new, CADB_F_CADB_POLICY_INFO_PARSE, [](CADB_POLICY_INFO& r, const POLICYINFO& in) {
      return filled_if(made(r.policy, in.policyid, CADB_OID_parse) &&
                       made_if_present(r.qualifiers, in.qualifiers, CADB_POLICY_QUALIFIERS_parse));
    }};
constexpr RecordKind<CADB_POLICY_MAPPING, POLICY_MAPPING> kPolicyMapping{
    CADB_POLICY_MAPPING_new, CADB_F_CADB_POLICY_MAPPING_PARSE, [](CADB_POLICY_MAPPING& r, const POLICY_MAPPING& in) {
      return filled_if(made(r.issuer_domain_policy, in.issuerDomainPolicy, CADB_OID_parse) &&
                       made(r.subject_domain_policy, in.subjectDomainPolicy, CADB_OID_parse));
    }};
constexpr RecordKind<CADB_BASIC_CONSTRAINTS, BASIC_CONSTRAINTS> kBasicConstraints{
    CADB_BASIC_CONSTRAINTS_new, CADB_F_CADB_BASIC_CONSTRAINTS_PARSE,
    [](CADB_BASIC_CONSTRAINTS& r, const BASIC_CONSTRAINTS& in) {
      r.ca = in.ca;
      number_if_present(r.path_length, in.pathlen);
      return kFilled;
    }};
constexpr RecordKind<CADB_PKEY_USAGE_PERIOD, PKEY_USAGE_PERIOD> kUsagePeriod{
    CADB_PKEY_USAGE_PERIOD_new, CADB_F_CADB_PKEY_USAGE_PERIOD_PARSE,
    [](CADB_PKEY_USAGE_PERIOD& r, const PKEY_USAGE_PERIOD& in) {
      return filled_if(made_if_present(r.start, in.notBefore, ASN1_TIME_parse) &&
                           made_if_present(r.end, in.notAfter, ASN1_TIME_parse),
                       kReason12);
    }};
constexpr RecordKind<CADB_DIST_POINT_NAME, DIST_POINT_NAME> kDistPointName{
    CADB_DIST_POINT_NAME_new, CADB_F_CADB_DIST_POINT_NAME_PARSE, fill_dist_point_name};
constexpr RecordKind<CADB_CRL_DIST_POINT, DIST_POINT> kCrlDistPoint{
    CADB_CRL_DIST_POINT_new, CADB_F_CADB_CRL_DIST_POINT_PARSE, [](CADB_CRL_DIST_POINT& r, const DIST_POINT& in) {
      if (!made_if_present(r.name, in.distpoint, CADB_DIST_POINT_NAME_parse) ||
          !made_if_present(r.crl_issuer, in.CRLissuer, CADB_GENERAL_NAMES_parse)) {
        return kReason66;
      }
      r.reasons = bit_mask(in.reasons);
      return kFilled;
    }};
constexpr RecordKind<CADB_ISSUING_DIST_POINT, ISSUING_DIST_POINT> kIssuingDistPoint{
    CADB_ISSUING_DIST_POINT_new, CADB_F_CADB_ISSUING_DIST_POINT_PARSE,
    [](CADB_ISSUING_DIST_POINT& r, const ISSUING_DIST_POINT& in) {
      if (!made_if_present(r.name, in.distpoint, CADB_DIST_POINT_NAME_parse)) {
        return kReason66;
      }
      // The flags as decoded: 0 when false or absent, OpenSSL's 0xFF when true.
      r.only_contains_user_certs = in.onlyuser;
      r.only_contains_ca_certs = in.onlyCA;
      r.only_some_reasons = bit_mask(in.onlysomereasons);
      r.indirect_crl = in.indirectCRL;
      r.only_contains_attribute_certs = in.onlyattr;
      return kFilled;
    }};
constexpr RecordKind<CADB_ACCESS_DESCRIPTION, ACCESS_DESCRIPTION> kAccessDescription{
    CADB_ACCESS_DESCRIPTION_new, CADB_F_CADB_ACCESS_DESCRIPTION_PARSE,
    [](CADB_ACCESS_DESCRIPTION& r, const ACCESS_DESCRIPTION& in) {
      return filled_if(made(r.method, in.method, CADB_OID_parse) &&
                       made_if_present(r.location, in.location, CADB_GENERAL_NAME_parse));
    }};
constexpr RecordKind<CADB_POLICY_CONSTRAINTS, POLICY_CONSTRAINTS> kPolicyConstraints{
    CADB_POLICY_CONSTRAINTS_new, CADB_F_CADB_POLICY_CONSTRAINTS_PARSE,
    [](CADB_POLICY_CONSTRAINTS& r, const POLICY_CONSTRAINTS& in) {
      number_if_present(r.require_explicit_policy, in.requireExplicitPolicy);
      number_if_present(r.inhibit_policy_mapping, in.inhibitPolicyMapping);
      return kFilled;
    }};
constexpr RecordKind<CADB_GENERAL_SUBTREE, GENERAL_SUBTREE> kGeneralSubtree{
    CADB_GENERAL_SUBTREE_new, CADB_F_CADB_GENERAL_SUBTREE_PARSE,
    [](CADB_GENERAL_SUBTREE& r, const GENERAL_SUBTREE& in) {
      if (!made_if_present(r.base, in.base, CADB_GENERAL_NAME_parse)) {
        return kReason66;
      }
      number_if_present(r.minimum, in.minimum);
      number_if_present(r.maximum, in.maximum);
      return kFilled;
    }};
constexpr RecordKind<CADB_NAME_CONSTRAINTS, NAME_CONSTRAINTS> kNameConstraints{
    CADB_NAME_CONSTRAINTS_new, CADB_F_CADB_NAME_CONSTRAINTS_PARSE,
    [](CADB_NAME_CONSTRAINTS& r, const NAME_CONSTRAINTS& in) {
      return filled_if(made_if_present(r.permitted, in.permittedSubtrees, CADB_GENERAL_SUBTREES_parse) &&
                       made_if_present(r.excluded, in.excludedSubtrees, CADB_GENERAL_SUBTREES_parse));
    }};

ATTRIBUTE* attribute_chain(const X509_ATTRIBUTE* attribute) {
  auto* a = const_cast<X509_ATTRIBUTE*>(attribute);
  if (X509_ATTRIBUTE_count(a) != 1) {
    return nullptr;
  }
  const ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(a, 0);
  switch (value->type) {
    case V_ASN1_UTF8STRING:
    case V_ASN1_PRINTABLESTRING:
    case V_ASN1_T61STRING:
    case V_ASN1_IA5STRING:
    case V_ASN1_VISIBLESTRING:
    case V_ASN1_BMPSTRING:
      break;
    default:
      return nullptr;
  }
  std::string text;
  if (!text_of(value->value.asn1_string, text)) {
    return nullptr;
  }
  const int object = V3EXT_object_number(X509_ATTRIBUTE_get0_object(a));
  return ATTRIBUTE_add(nullptr, object, text.data(), static_cast<int>(text.size()), value->type);
}

// Every list kind: element conversion and free, then the codes of list,
// every failure and element failure.
constexpr ListKind<CADB_GENERAL_NAME, GENERAL_NAME> kGeneralNames{
    CADB_GENERAL_NAME_parse, CADB_GENERAL_NAME_free, CADB_F_CADB_GENERAL_NAME_PARSE, CADB_F_CADB_GENERAL_NAME_PARSE,
    CADB_F_CADB_GENERAL_NAME_PARSE};
constexpr ListKind<CADB_POLICY_QUALIFIER, POLICYQUALINFO> kPolicyQualifiers{
    CADB_POLICY_QUALIFIER_parse, CADB_POLICY_QUALIFIER_free, CADB_F_CADB_LIST_NEW, CADB_F_CADB_POLICY_QUALIFIER_PARSE,
    CADB_F_CADB_LIST_NEW};
constexpr ListKind<CADB_POLICY_INFO, POLICYINFO> kCertPolicies{CADB_POLICY_INFO_parse, CADB_POLICY_INFO_free,
                                                               CADB_F_CADB_LIST_NEW, CADB_F_CADB_POLICY_INFO_PARSE,
                                                               CADB_F_CADB_LIST_NEW};
constexpr ListKind<CADB_POLICY_MAPPING, POLICY_MAPPING> kPolicyMappings{
    CADB_POLICY_MAPPING_parse, CADB_POLICY_MAPPING_free, CADB_F_CADB_LIST_NEW, CADB_F_CADB_POLICY_MAPPING_PARSE,
    CADB_F_CADB_LIST_NEW};
constexpr ListKind<CADB_CRL_DIST_POINT, DIST_POINT> kCrlDistPoints{
    CADB_CRL_DIST_POINT_parse, CADB_CRL_DIST_POINT_free, CADB_F_CADB_LIST_NEW, CADB_F_CADB_CRL_DIST_POINT_PARSE,
    CADB_F_CADB_LIST_NEW};
constexpr ListKind<CADB_ACCESS_DESCRIPTION, ACCESS_DESCRIPTION> kAccessDescriptions{
    CADB_ACCESS_DESCRIPTION_parse, CADB_ACCESS_DESCRIPTION_free, CADB_F_CADB_LIST_NEW,
    CADB_F_CADB_ACCESS_DESCRIPTION_PARSE, CADB_F_CADB_LIST_NEW};
constexpr ListKind<CADB_GENERAL_SUBTREE, GENERAL_SUBTREE> kGeneralSubtrees{
    CADB_GENERAL_SUBTREE_parse, CADB_GENERAL_SUBTREE_free, CADB_F_CADB_LIST_NEW, CADB_F_CADB_GENERAL_SUBTREE_PARSE,
    CADB_F_CADB_GENERAL_SUBTREE_PARSE};
constexpr ListKind<CADB_OID, ASN1_OBJECT> kExtKeyUsage{CADB_OID_parse, CADB_OID_free, CADB_F_CADB_EXT_KEY_USAGE_PARSE,
                                                       CADB_F_CADB_EXT_KEY_USAGE_PARSE,
                                                       CADB_F_CADB_EXT_KEY_USAGE_PARSE};
constexpr ListKind<ATTRIBUTE, X509_ATTRIBUTE> kAttributeList{attribute_chain, ATTRIBUTE_free, CADB_F_CADB_LIST_NEW,
                                                             CADB_F_CADB_ATTRIBUTES_PARSE, CADB_F_CADB_LIST_NEW};

template <class OutStack, class InStack, class Out, class In>
OutStack* list_of(const InStack* in, const ListKind<Out, In>& kind) {
  return typed<OutStack>(convert_list(generic(in), kind));
}

}  // namespace

CADB_GENERAL_NAME* CADB_GENERAL_NAME_parse(const GENERAL_NAME* name) { return convert_record(name, kGeneralName); }
CADB_AUTHORITY_KEYID* CADB_AUTHORITY_KEYID_parse(const AUTHORITY_KEYID* keyid) {
  return convert_record(keyid, kAuthorityKeyid);
}
CADB_NOTICE_REF* CADB_NOTICE_REF_parse(const NOTICEREF* ref) { return convert_record(ref, kNoticeRef); }
CADB_USER_NOTICE* CADB_USER_NOTICE_parse(const USERNOTICE* notice) { return convert_record(notice, kUserNotice); }
CADB_POLICY_QUALIFIER* CADB_POLICY_QUALIFIER_parse(const POLICYQUALINFO* qualifier) {
  return convert_record(qualifier, kPolicyQualifier);
}
CADB_POLICY_INFO* CADB_POLICY_INFO_parse(const POLICYINFO* info) { return convert_record(info, kPolicyInfo); }
CADB_POLICY_MAPPING* CADB_POLICY_MAPPING_parse(const POLICY_MAPPING* mapping) {
  return convert_record(mapping, kPolicyMapping);
}
CADB_BASIC_CONSTRAINTS* CADB_BASIC_CONSTRAINTS_parse(const BASIC_CONSTRAINTS* bc) {
  return convert_record(bc, kBasicConstraints);
}
CADB_PKEY_USAGE_PERIOD* CADB_PKEY_USAGE_PERIOD_parse(const PKEY_USAGE_PERIOD* period) {
  return convert_record(period, kUsagePeriod);
}
CADB_DIST_POINT_NAME* CADB_DIST_POINT_NAME_parse(const DIST_POINT_NAME* name) {
  return convert_record(name, kDistPointName);
}
CADB_CRL_DIST_POINT* CADB_CRL_DIST_POINT_parse(const DIST_POINT* point) { return convert_record(point, kCrlDistPoint); }
CADB_ISSUING_DIST_POINT* CADB_ISSUING_DIST_POINT_parse(const ISSUING_DIST_POINT* idp) {
  return convert_record(idp, kIssuingDistPoint);
}
CADB_ACCESS_DESCRIPTION* CADB_ACCESS_DESCRIPTION_parse(const ACCESS_DESCRIPTION* ad) {
  return convert_record(ad, kAccessDescription);
}
CADB_POLICY_CONSTRAINTS* CADB_POLICY_CONSTRAINTS_parse(const POLICY_CONSTRAINTS* pc) {
  return convert_record(pc, kPolicyConstraints);
}
CADB_GENERAL_SUBTREE* CADB_GENERAL_SUBTREE_parse(const GENERAL_SUBTREE* subtree) {
  return convert_record(subtree, kGeneralSubtree);
}
CADB_NAME_CONSTRAINTS* CADB_NAME_CONSTRAINTS_parse(const NAME_CONSTRAINTS* nc) {
  return convert_record(nc, kNameConstraints);
}

STACK_OF(CADB_GENERAL_NAME) * CADB_GENERAL_NAMES_parse(const GENERAL_NAMES* names) {
  return list_of<STACK_OF(CADB_GENERAL_NAME)>(names, kGeneralNames);
}
STACK_OF(CADB_POLICY_INFO) * CADB_CERT_POLICIES_parse(const CERTIFICATEPOLICIES* policies) {
  return list_of<STACK_OF(CADB_POLICY_INFO)>(policies, kCertPolicies);
}
STACK_OF(CADB_POLICY_QUALIFIER) * CADB_POLICY_QUALIFIERS_parse(const STACK_OF(POLICYQUALINFO) * qualifiers) {
  return list_of<STACK_OF(CADB_POLICY_QUALIFIER)>(qualifiers, kPolicyQualifiers);
}
STACK_OF(CADB_POLICY_MAPPING) * CADB_POLICY_MAPPINGS_parse(const POLICY_MAPPINGS* mappings) {
  return list_of<STACK_OF(CADB_POLICY_MAPPING)>(mappings, kPolicyMappings);
}
STACK_OF(CADB_CRL_DIST_POINT) * CADB_CRL_DIST_POINTS_parse(const CRL_DIST_POINTS* points) {
  return list_of<STACK_OF(CADB_CRL_DIST_POINT)>(points, kCrlDistPoints);
}
STACK_OF(CADB_ACCESS_DESCRIPTION) * CADB_ACCESS_DESCRIPTIONS_parse(const AUTHORITY_INFO_ACCESS* aia) {
  return list_of<STACK_OF(CADB_ACCESS_DESCRIPTION)>(aia, kAccessDescriptions);
}
STACK_OF(CADB_GENERAL_SUBTREE) * CADB_GENERAL_SUBTREES_parse(const STACK_OF(GENERAL_SUBTREE) * subtrees) {
  return list_of<STACK_OF(CADB_GENERAL_SUBTREE)>(subtrees, kGeneralSubtrees);
}
STACK_OF(CADB_OID) * CADB_EXT_KEY_USAGE_parse(const EXTENDED_KEY_USAGE* usage) {
  return list_of<STACK_OF(CADB_OID)>(usage, kExtKeyUsage);
}
STACK_OF(ATTRIBUTE) * CADB_ATTRIBUTES_parse(const SUBJECT_DIRECTORY_ATTRIBUTES* attributes) {
  return list_of<STACK_OF(ATTRIBUTE)>(attributes, kAttributeList);
}

CADB_V3EXT* CADB_V3EXT_parse(const V3EXT_DECODED* entry) {
  constexpr int kFunc = CADB_F_CADB_V3EXT_PARSE;
  if (entry == nullptr) {
    return fail<CADB_V3EXT>(kFunc, kReason12);
  }
  UniquePtr<CADB_V3EXT> record(CADB_V3EXT_new());
  if (!record) {
    return fail<CADB_V3EXT>(kFunc, kReason33);
  }
  record->critical = entry->critical;
  record->object = entry->object;
  const ValueKind* kind = value_kind(entry->object);
  if (kind == nullptr) {
    record->unsupported = 1;
    return record.release();
  }
  if (!kind->convert(*record, entry->value)) {
    return fail<CADB_V3EXT>(kFunc, kReason12);
  }
  record->parsed = 1;
  return record.release();
}

STACK_OF(CADB_V3EXT) * CADB_V3EXT_parse_extensions(const V3EXT_DECODED_LIST* list) {
  constexpr int kFunc = CADB_F_CADB_V3EXT_PARSE_EXTENSIONS;
  if (list == nullptr) {
    return nullptr;
  }
  UniquePtr<CADB_V3EXT_LIST> out(sk_CADB_V3EXT_new_null());
  if (!out) {
    return fail<CADB_V3EXT_LIST>(kFunc, kReason33);
  }
  for (int i = 0; i < sk_V3EXT_DECODED_num(list); ++i) {
    UniquePtr<CADB_V3EXT> record(CADB_V3EXT_parse(sk_V3EXT_DECODED_value(list, i)));
    if (!record || sk_CADB_V3EXT_push(out.get(), record.get()) <= 0) {
      raise(kFunc, kReason12);
      return fail<CADB_V3EXT_LIST>(kFunc);
    }
    (void)record.release();
  }
  return out.release();
}

STACK_OF(CADB_V3EXT) * CADB_V3EXT_split(const STACK_OF(X509_EXTENSION) * extensions) {
  if (extensions == nullptr) {
    return nullptr;
  }
  UniquePtr<V3EXT_DECODED_LIST> decoded(V3EXT_decode_extensions(extensions));
  if (!decoded) {
    return nullptr;
  }
  return CADB_V3EXT_parse_extensions(decoded.get());
}

STACK_OF(CADB_V3EXT) * CADB_V3EXT_split_cert(const X509* cert) {
  return cert == nullptr ? nullptr : CADB_V3EXT_split(X509_get0_extensions(cert));
}
STACK_OF(CADB_V3EXT) * CADB_V3EXT_split_crl(const X509_CRL* crl) {
  return crl == nullptr ? nullptr : CADB_V3EXT_split(X509_CRL_get0_extensions(crl));
}
STACK_OF(CADB_V3EXT) * CADB_V3EXT_split_revoked(const X509_REVOKED* revoked) {
  return revoked == nullptr ? nullptr : CADB_V3EXT_split(X509_REVOKED_get0_extensions(revoked));
}

}  // namespace qcrypto
