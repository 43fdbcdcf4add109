// Printed texts of the PKIX extensions, in the forms the system's certificate
// dump has always shown.
#include <openssl/objects.h>

#include <array>
#include <cstdio>
#include <string>

#include "crypto/cclib/ossl_owners.h"
#include "crypto/err/err.h"
#include "crypto/v3ext/v3ext.h"
#include "crypto/v3ext/v3ext_codes.h"
#include "crypto/v3ext/v3ext_owners.h"
#include "crypto/x509/name_print.h"
#include "crypto/x509/x509_owners.h"

namespace qcrypto {

namespace {

struct ReasonName {
  const char* long_name;
  const char* short_name;
};
constexpr std::array<ReasonName, 9> kReasons{{
    {"Unused", "unused"},
    {"Key Compromise", "keyCompromise"},
    {"CA Compromise", "cACompromise"},
    {"Affiliation Changed", "affiliationChanged"},
    {"Superseded", "superseded"},
    {"Cessation Of Operation", "cessationOfOperation"},
    {"Certificate Hold", "certificateHold"},
    {"Privilege Withdrawn", "privilegeWithdrawn"},
    {"AA Compromise", "aACompromise"},
}};

// The object's long name when the objects table knows it, else its dotted
// number, cut at `limit` - 1 characters.
std::string object_name(const ASN1_OBJECT* object, int limit) {
  std::array<char, 257> text{};
  const int size = limit < static_cast<int>(text.size()) ? limit : static_cast<int>(text.size());
  if (OBJ_obj2txt(text.data(), size, object, 0) < 0) {
    return {};
  }
  return text.data();
}

std::string string_text(const ASN1_STRING* s) {
  if (s == nullptr) {
    return {};
  }
  return {
      reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),  // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast)
      static_cast<std::size_t>(ASN1_STRING_length(s))};
}

std::string ip_text(const ASN1_OCTET_STRING* ip) {
  const unsigned char* b = ASN1_STRING_get0_data(ip);
  std::array<char, 64> text{};
  if (ASN1_STRING_length(ip) == 4) {
    std::snprintf(text.data(), text.size(), "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
  } else if (ASN1_STRING_length(ip) == 8) {
    std::snprintf(text.data(), text.size(), "%d.%d.%d.%d/%d.%d.%d.%d", b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7]);
  } else {
    return "<invalid>";
  }
  return text.data();
}

std::string dir_name_text(const X509_NAME* name) {
  char* text = qcrypto::X509_NAME_oneline(name, nullptr, 0);
  if (text != nullptr) {
    std::string out(text);
    OPENSSL_free(text);
    return out;
  }
  std::array<char, 1024> fixed{};
  qcrypto::X509_NAME_oneline(name, fixed.data(), static_cast<int>(fixed.size()));
  return fixed.data();
}

bool indent_to(BIO* out, int n) { return BIO_printf(out, "%*s", n, "") >= 0; }

// Writes each pair as "%*s%s: %s\n".
bool print_pairs(BIO* out, const STACK_OF(CONF_VALUE) * pairs, int n) {
  for (int i = 0; i < sk_CONF_VALUE_num(pairs); ++i) {
    const CONF_VALUE* v = sk_CONF_VALUE_value(pairs, i);
    if (BIO_printf(out, "%*s%s: %s\n", n, "", v->name, v->value) < 0) {
      return false;
    }
  }
  return true;
}

void free_pairs(STACK_OF(CONF_VALUE) * pairs) { sk_CONF_VALUE_pop_free(pairs, X509V3_conf_free); }

bool print_name(BIO* out, const GENERAL_NAME* name, int n) {
  STACK_OF(CONF_VALUE)* pairs = nullptr;
  const bool ok = GENERAL_NAME_print_ext(name, &pairs) == 1 && print_pairs(out, pairs, n);
  free_pairs(pairs);
  return ok;
}

bool print_names(BIO* out, const GENERAL_NAMES* names, int n) {
  for (int i = 0; i < sk_GENERAL_NAME_num(names); ++i) {
    if (!print_name(out, sk_GENERAL_NAME_value(names, i), n)) {
      return false;
    }
  }
  return true;
}

bool print_reasons(BIO* out, const ASN1_BIT_STRING* reasons, int n) {
  if (!indent_to(out, n)) {
    return false;
  }
  bool first = true;
  for (int bit = 0; bit < static_cast<int>(kReasons.size()); ++bit) {
    if (ASN1_BIT_STRING_get_bit(reasons, bit) != 0) {
      if (BIO_printf(out, "%s%s", first ? "" : ", ", kReasons.at(static_cast<std::size_t>(bit)).long_name) < 0) {
        return false;
      }
      first = false;
    }
  }
  return BIO_puts(out, "\n") >= 0;
}

bool print_point_name(BIO* out, const DIST_POINT_NAME* dpn, int n) {
  if (BIO_printf(out, "%*sDistribution Point:\n", n, "") < 0) {
    return false;
  }
  if (dpn->type == 0) {
    return BIO_printf(out, "%*sFull Name:\n", n + 2, "") >= 0 && print_names(out, dpn->name.fullname, n + 4);
  }
  UniquePtr<X509_NAME> name(X509_NAME_new());
  if (!name) {
    return false;
  }
  for (int i = 0; i < sk_X509_NAME_ENTRY_num(dpn->name.relativename); ++i) {
    if (X509_NAME_add_entry(name.get(), sk_X509_NAME_ENTRY_value(dpn->name.relativename, i), -1, 0) != 1) {
      return false;
    }
  }
  return BIO_printf(out, "%*sName Relative To CRL Issuer:\n%*s", n + 2, "", n + 4, "") >= 0 &&
         qcrypto::X509_NAME_print(out, name.get(), 0) == 1 && BIO_puts(out, "\n") >= 0;
}

bool print_dist_points(BIO* out, const CRL_DIST_POINTS* points, int n) {
  const int count = sk_DIST_POINT_num(points);
  for (int i = 0; i < count; ++i) {
    const DIST_POINT* dp = sk_DIST_POINT_value(points, i);
    if (count > 1 && BIO_printf(out, "%*s[%i]\n", n, "", i + 1) < 0) {
      return false;
    }
    if (dp->distpoint != nullptr && !print_point_name(out, dp->distpoint, n)) {
      return false;
    }
    if (dp->reasons != nullptr &&
        (BIO_printf(out, "%*sReasons:\n", n, "") < 0 || !print_reasons(out, dp->reasons, n + 2))) {
      return false;
    }
    if (dp->CRLissuer != nullptr &&
        (BIO_printf(out, "%*sCRL Issuer:\n", n, "") < 0 || !print_names(out, dp->CRLissuer, n + 2))) {
      return false;
    }
  }
  return true;
}

bool print_idp(BIO* out, const ISSUING_DIST_POINT* idp, int n) {
  if (idp->distpoint != nullptr && !print_point_name(out, idp->distpoint, n)) {
    return false;
  }
  if (idp->onlyuser > 0 && BIO_printf(out, "%*sonlyContainsUserCerts\n", n, "") < 0) {
    return false;
  }
  if (idp->onlyCA > 0 && BIO_printf(out, "%*sonlyContainsCACerts\n", n, "") < 0) {
    return false;
  }
  if (idp->onlysomereasons != nullptr &&
      (BIO_printf(out, "%*sonlySomeReasons:\n", n, "") < 0 || !print_reasons(out, idp->onlysomereasons, n + 2))) {
    return false;
  }
  if (idp->indirectCRL > 0 && BIO_printf(out, "%*sindirectCRL\n", n, "") < 0) {
    return false;
  }
  return idp->onlyattr <= 0 || BIO_printf(out, "%*sonlyContainsAttributeCerts\n", n, "") >= 0;
}

bool print_access(BIO* out, const AUTHORITY_INFO_ACCESS* aia, int n) {
  for (int i = 0; i < sk_ACCESS_DESCRIPTION_num(aia); ++i) {
    const ACCESS_DESCRIPTION* ad = sk_ACCESS_DESCRIPTION_value(aia, i);
    if (BIO_printf(out, "%*sAccess Method: %s\n%*sAccess Location:\n", n, "", object_name(ad->method, 257).c_str(), n,
                   "") < 0 ||
        !print_name(out, ad->location, n + 2)) {
      return false;
    }
  }
  return true;
}

bool print_serial_bytes(BIO* out, const ASN1_INTEGER* number, const char* label, int n) {
  if (BIO_printf(out, "%*s%s: ", n, "", label) < 0) {
    return false;
  }
  const unsigned char* b = ASN1_STRING_get0_data(number);
  for (int i = 0; i < ASN1_STRING_length(number); ++i) {
    if (BIO_printf(out, i == 0 ? "%02x" : ":%02x", b[i]) < 0) {
      return false;
    }
  }
  return true;
}

std::string local_text(const ASN1_STRING* s) {
  const int type = ASN1_STRING_type(s);
  const auto* data = ASN1_STRING_get0_data(s);
  const int length = ASN1_STRING_length(s);
  char* converted = nullptr;
  int count = 0;
  if (type == V_ASN1_UTF8STRING && length > 0) {
    converted = UTF8_to_ANSI(reinterpret_cast<const char*>(data),
                             length,  // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast)
                             &count);
  } else if (type == V_ASN1_BMPSTRING && length > 0) {
    converted = BMP_to_ANSI(data, length, &count);
  } else {
    return string_text(s);
  }
  if (converted == nullptr) {
    return {};
  }
  std::string out(converted, static_cast<std::size_t>(count));
  OPENSSL_free(converted);
  return out;
}

bool print_directory_attributes(BIO* out, const SUBJECT_DIRECTORY_ATTRIBUTES* attributes, int n) {
  if (attributes == nullptr) {
    return BIO_printf(out, "%*s<No Attributes>\n", n, "") >= 0;
  }
  if (sk_X509_ATTRIBUTE_num(attributes) == 0) {
    return BIO_printf(out, "%*s<Empty Attributes>\n", n, "") >= 0;
  }
  for (int i = 0; i < sk_X509_ATTRIBUTE_num(attributes); ++i) {
    X509_ATTRIBUTE* attribute = sk_X509_ATTRIBUTE_value(attributes, i);
    const ASN1_OBJECT* type = X509_ATTRIBUTE_get0_object(attribute);
    const int nid = OBJ_obj2nid(type);
    const std::string prefix = (nid != NID_undef ? std::string(OBJ_nid2ln(nid)) : object_name(type, 257)) + ": ";
    const int count = X509_ATTRIBUTE_count(attribute);
    if (count == 0) {
      if (BIO_printf(out, "%*s%s<No Values>\n", n, "", prefix.c_str()) < 0) {
        return false;
      }
      continue;
    }
    for (int v = 0; v < count; ++v) {
      const ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(attribute, v);
      if (BIO_printf(out, "%*s%s", n, "", prefix.c_str()) < 0) {
        return false;
      }
      switch (value->type) {
        case V_ASN1_UTF8STRING:
        case V_ASN1_PRINTABLESTRING:
        case V_ASN1_T61STRING:
        case V_ASN1_IA5STRING:
        case V_ASN1_VISIBLESTRING:
        case V_ASN1_BMPSTRING: {
          const std::string text = local_text(value->value.asn1_string);
          if (BIO_write(out, text.data(), static_cast<int>(text.size())) != static_cast<int>(text.size()) &&
              !text.empty()) {
            return false;
          }
          break;
        }
        default:
          if (BIO_printf(out, "<Unsupported tag %d>", value->type) < 0) {
            return false;
          }
      }
      if (BIO_puts(out, "\n") < 0) {
        return false;
      }
    }
  }
  return true;
}

bool print_subtrees(BIO* out, const STACK_OF(GENERAL_SUBTREE) * trees, const char* title, int n) {
  if (trees == nullptr) {
    return true;
  }
  if (BIO_printf(out, "%*s%s:\n", n, "", title) < 0) {
    return false;
  }
  for (int i = 0; i < sk_GENERAL_SUBTREE_num(trees); ++i) {
    const GENERAL_SUBTREE* tree = sk_GENERAL_SUBTREE_value(trees, i);
    if (!print_name(out, tree->base, n + 2)) {
      return false;
    }
    if (tree->minimum != nullptr &&
        BIO_printf(out, "%*sMinimum: %lu\n", n, "", static_cast<unsigned long>(ASN1_INTEGER_get(tree->minimum))) < 0) {
      return false;
    }
    if (tree->maximum != nullptr &&
        BIO_printf(out, "%*sMaximum: %lu\n", n, "", static_cast<unsigned long>(ASN1_INTEGER_get(tree->maximum))) < 0) {
      return false;
    }
  }
  return true;
}

bool print_policy_constraints(BIO* out, const POLICY_CONSTRAINTS* pc, int n) {
  if (pc->requireExplicitPolicy != nullptr &&
      BIO_printf(out, "%*sRequire Explicit Policy: %lu\n", n, "",
                 static_cast<unsigned long>(ASN1_INTEGER_get(pc->requireExplicitPolicy))) < 0) {
    return false;
  }
  return pc->inhibitPolicyMapping == nullptr ||
         BIO_printf(out, "%*sInhibit Policy Mapping:  %lu\n", n, "",
                    static_cast<unsigned long>(ASN1_INTEGER_get(pc->inhibitPolicyMapping))) >= 0;
}

bool print_mappings(BIO* out, const POLICY_MAPPINGS* maps, int n) {
  const int count = sk_POLICY_MAPPING_num(maps);
  for (int i = 0; i < count; ++i) {
    const POLICY_MAPPING* m = sk_POLICY_MAPPING_value(maps, i);
    if (count > 1 && BIO_printf(out, "%*s[%i]\n", n, "", i + 1) < 0) {
      return false;
    }
    if (BIO_printf(out, "%*sIssuer Domain Policy:  %s\n%*sSubject Domain Policy: %s\n", n, "",
                   object_name(m->issuerDomainPolicy, 257).c_str(), n, "",
                   object_name(m->subjectDomainPolicy, 257).c_str()) < 0) {
      return false;
    }
  }
  return true;
}

bool print_value(BIO* out, int number, void* value, int n) {
  switch (number) {
    case V3OBJ_AUTHORITY_INFO_ACCESS:
    case V3OBJ_SUBJECT_INFO_ACCESS:
      return print_access(out, static_cast<AUTHORITY_INFO_ACCESS*>(value), n);
    case NID_crl_distribution_points:
    case V3OBJ_FRESHEST_CRL:
      return print_dist_points(out, static_cast<CRL_DIST_POINTS*>(value), n);
    case V3OBJ_ISSUING_DIST_POINT:
      return print_idp(out, static_cast<ISSUING_DIST_POINT*>(value), n);
    case V3OBJ_HOLD_INSTRUCTION_CODE:
      return BIO_printf(out, "%*s%s", n, "", object_name(static_cast<ASN1_OBJECT*>(value), 81).c_str()) >= 0;
    case NID_invalidity_date:
      return indent_to(out, n) && ASN1_GENERALIZEDTIME_print(out, static_cast<ASN1_GENERALIZEDTIME*>(value)) == 1;
    case NID_crl_number:
      return print_serial_bytes(out, static_cast<ASN1_INTEGER*>(value), "CRL Number", n);
    case NID_delta_crl:
      return print_serial_bytes(out, static_cast<ASN1_INTEGER*>(value), "Base CRL Number", n);
    case V3OBJ_INHIBIT_ANY_POLICY:
      return BIO_printf(out, "%*sSkipCerts: %lu", n, "",
                        static_cast<unsigned long>(ASN1_INTEGER_get(static_cast<ASN1_INTEGER*>(value)))) >= 0;
    case V3OBJ_SUBJECT_DIRECTORY_ATTRIBUTES:
      return print_directory_attributes(out, static_cast<SUBJECT_DIRECTORY_ATTRIBUTES*>(value), n);
    case V3OBJ_NAME_CONSTRAINTS: {
      const auto* nc = static_cast<NAME_CONSTRAINTS*>(value);
      return print_subtrees(out, nc->permittedSubtrees, "Permitted Subtrees", n) &&
             print_subtrees(out, nc->excludedSubtrees, "Excluded Subtrees", n);
    }
    case V3OBJ_POLICY_CONSTRAINTS:
      return print_policy_constraints(out, static_cast<POLICY_CONSTRAINTS*>(value), n);
    case V3OBJ_POLICY_MAPPINGS:
      return print_mappings(out, static_cast<POLICY_MAPPINGS*>(value), n);
    default:
      return false;
  }
}

bool printed_here(int number) {
  switch (number) {
    case V3OBJ_AUTHORITY_INFO_ACCESS:
    case V3OBJ_SUBJECT_INFO_ACCESS:
    case NID_crl_distribution_points:
    case V3OBJ_FRESHEST_CRL:
    case V3OBJ_ISSUING_DIST_POINT:
    case V3OBJ_HOLD_INSTRUCTION_CODE:
    case NID_invalidity_date:
    case NID_crl_number:
    case NID_delta_crl:
    case V3OBJ_INHIBIT_ANY_POLICY:
    case V3OBJ_SUBJECT_DIRECTORY_ATTRIBUTES:
    case V3OBJ_NAME_CONSTRAINTS:
    case V3OBJ_POLICY_CONSTRAINTS:
    case V3OBJ_POLICY_MAPPINGS:
      return true;
    default:
      return false;
  }
}

}  // namespace

const char* V3EXT_reason_name(int bit, bool long_name) {
  if (bit < 0 || bit >= static_cast<int>(kReasons.size())) {
    return nullptr;
  }
  const ReasonName& r = kReasons.at(static_cast<std::size_t>(bit));
  return long_name ? r.long_name : r.short_name;
}

int GENERAL_NAME_print_ext(const GENERAL_NAME* name, STACK_OF(CONF_VALUE) * *list) {
  std::string label;
  std::string value;
  switch (name->type) {
    case GEN_OTHERNAME:
      label = "otherName";
      value = "<unsupported>";
      break;
    case GEN_EMAIL:
      label = "email";
      value = string_text(name->d.rfc822Name);
      break;
    case GEN_DNS:
      label = "DNS";
      value = string_text(name->d.dNSName);
      break;
    case GEN_X400:
      label = "X400Address";
      value = "<unsupported>";
      break;
    case GEN_DIRNAME:
      label = "DirName";
      value = dir_name_text(name->d.directoryName);
      break;
    case GEN_EDIPARTY:
      label = "EdiPartyName";
      value = "<unsupported>";
      break;
    case GEN_URI:
      label = "URI";
      value = string_text(name->d.uniformResourceIdentifier);
      break;
    case GEN_IPADD:
      label = "IP Address";
      value = ip_text(name->d.iPAddress);
      break;
    case GEN_RID:
      label = "Registered ID";
      value = object_name(name->d.registeredID, 257);
      break;
    default:
      return 0;
  }
  return X509V3_add_value(label.c_str(), value.c_str(), list);
}

bool V3EXT_print_multiline(int number) {
  return number == NID_crl_distribution_points || number == V3OBJ_FRESHEST_CRL || number == V3OBJ_ISSUING_DIST_POINT ||
         number == V3OBJ_NAME_CONSTRAINTS;
}

int V3EXT_print(BIO* out, const X509_EXTENSION* extension, int indent) {
  auto* ext = const_cast<X509_EXTENSION*>(extension);
  const int number = V3EXT_object_number(X509_EXTENSION_get_object(ext));
  if (!printed_here(number)) {
    return 0;
  }
  const ASN1_ITEM* item = V3EXT_item(number);
  const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(ext);
  const unsigned char* p = ASN1_STRING_get0_data(data);
  ASN1_VALUE* value = ASN1_item_d2i(nullptr, &p, ASN1_STRING_length(data), item);
  if (value == nullptr) {
    return 0;
  }
  const bool ok = print_value(out, number, value, indent);
  ASN1_item_free(value, item);
  return ok ? 1 : -1;
}

int V3EXT_print_all(BIO* out, const STACK_OF(X509_EXTENSION) * extensions, int indent) {
  for (int i = 0; i < sk_X509_EXTENSION_num(extensions); ++i) {
    X509_EXTENSION* ext = sk_X509_EXTENSION_value(extensions, i);
    const std::string name = object_name(X509_EXTENSION_get_object(ext), 257);
    if (BIO_printf(out, "%*s%s:%s\n", indent, "", name.c_str(),
                   X509_EXTENSION_get_critical(ext) != 0 ? " critical" : "") < 0) {
      return 0;
    }
    // The body goes through memory first: printers differ in whether they
    // end their last line, and every body here ends with one.
    UniquePtr<BIO> body(BIO_new(BIO_s_mem()));
    if (!body) {
      return 0;
    }
    int r = V3EXT_print(body.get(), ext, indent + 4);
    if (r < 0) {
      return 0;
    }
    if (r == 0 && X509V3_EXT_print(body.get(), ext, X509V3_EXT_DUMP_UNKNOWN, indent + 4) != 1) {
      (void)BIO_reset(body.get());
      if (BIO_printf(body.get(), "%*s", indent + 4, "") < 0 ||
          ASN1_STRING_print(body.get(), X509_EXTENSION_get_data(ext)) != 1) {
        return 0;
      }
    }
    char* text = nullptr;
    const long length = BIO_get_mem_data(body.get(), &text);
    if (length > 0 && BIO_write(out, text, static_cast<int>(length)) != static_cast<int>(length)) {
      return 0;
    }
    if ((length <= 0 || text[length - 1] != '\n') && BIO_puts(out, "\n") < 0) {
      return 0;
    }
  }
  return 1;
}

CRL_DIST_POINTS* V2I_CRLD(X509V3_CTX* ctx, STACK_OF(CONF_VALUE) * values) {
  UniquePtr<CRL_DIST_POINTS> points(sk_DIST_POINT_new_null());
  if (!points) {
    QERR(ERRLIB_X509V3, X509V3_F_V2I_CRLD, ERR_R_MEMORY_ALLOC);
    return nullptr;
  }
  for (int i = 0; i < sk_CONF_VALUE_num(values); ++i) {
    UniquePtr<GENERAL_NAME> gen(v2i_GENERAL_NAME(nullptr, ctx, sk_CONF_VALUE_value(values, i)));
    if (!gen) {
      return nullptr;
    }
    UniquePtr<DIST_POINT> point(DIST_POINT_new());
    UniquePtr<GENERAL_NAMES> names(GENERAL_NAMES_new());
    if (!point || !names || sk_GENERAL_NAME_push(names.get(), gen.get()) <= 0) {
      QERR(ERRLIB_X509V3, X509V3_F_V2I_CRLD, ERR_R_MEMORY_ALLOC);
      return nullptr;
    }
    (void)gen.release();
    point->distpoint = DIST_POINT_NAME_new();
    if (point->distpoint == nullptr) {
      QERR(ERRLIB_X509V3, X509V3_F_V2I_CRLD, ERR_R_MEMORY_ALLOC);
      return nullptr;
    }
    point->distpoint->type = 0;
    point->distpoint->name.fullname = names.release();
    if (sk_DIST_POINT_push(points.get(), point.get()) <= 0) {
      QERR(ERRLIB_X509V3, X509V3_F_V2I_CRLD, ERR_R_MEMORY_ALLOC);
      return nullptr;
    }
    (void)point.release();
  }
  return points.release();
}

}  // namespace qcrypto
