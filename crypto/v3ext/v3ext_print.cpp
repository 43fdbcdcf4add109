// The system's printed texts of the PKIX certificate and CRL extensions.
#include <openssl/asn1t.h>
#include <openssl/objects.h>

#include <cinttypes>
#include <cstdio>
#include <string>

#include "crypto/cclib/ossl_owners.h"
#include "crypto/err/err.h"
#include "crypto/v3ext/v3ext.h"
#include "crypto/v3ext/v3ext_internal.h"
#include "crypto/x509/name_print.h"
#include "crypto/x509/x509_owners.h"

namespace qcrypto {
namespace {

struct ReasonName {
  int bit;
  const char* long_name;
  const char* short_name;
};

const ReasonName kReasons[] = {
    {0, "Unused", "unused"},
    {1, "Key Compromise", "keyCompromise"},
    {2, "CA Compromise", "cACompromise"},
    {3, "Affiliation Changed", "affiliationChanged"},
    {4, "Superseded", "superseded"},
    {5, "Cessation Of Operation", "cessationOfOperation"},
    {6, "Certificate Hold", "certificateHold"},
    {7, "Privilege Withdrawn", "privilegeWithdrawn"},
    {8, "AA Compromise", "aACompromise"},
};

// Collects the text and writes it once: a BIO failure anywhere fails the
// whole print.
class Out {
 public:
  void indent(int n) { text_.append(static_cast<std::size_t>(n < 0 ? 0 : n), ' '); }
  void put(const std::string& s) { text_ += s; }
  void line(int n, const std::string& s) {
    indent(n);
    text_ += s;
    text_ += '\n';
  }
  bool flush(BIO* bio) const {
    return text_.empty() ||
           BIO_write(bio, text_.data(), static_cast<int>(text_.size())) == static_cast<int>(text_.size());
  }

 private:
  std::string text_;
};

// Bytes of an untrusted IA5String or name, with control bytes written as
// escapes so that a value can never start a line of its own in a dump.
std::string printable(const unsigned char* data, int length) {
  std::string out;
  char hex[8];
  for (int i = 0; i < length; ++i) {
    const unsigned char c = data[i];
    if (c < 0x20 || c == 0x7F) {
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

std::string printable(const ASN1_STRING* s) { return printable(ASN1_STRING_get0_data(s), ASN1_STRING_length(s)); }

// Long name when the object is known, else its dotted number, cut at
// `limit` characters.
std::string object_name(const ASN1_OBJECT* object, int limit) {
  char buf[257];
  const int size = limit + 1 < static_cast<int>(sizeof buf) ? limit + 1 : static_cast<int>(sizeof buf);
  if (OBJ_obj2txt(buf, size, object, 0) <= 0) return std::string();
  return buf;
}

std::string oneline_name(const X509_NAME* name) {
  char* text = qcrypto::X509_NAME_oneline(name, nullptr, 0);
  if (text == nullptr) {
    char fixed[1024];
    return qcrypto::X509_NAME_oneline(name, fixed, sizeof fixed) != nullptr ? std::string(fixed) : std::string();
  }
  std::string out(text);
  OPENSSL_free(text);
  return out;
}

std::pair<std::string, std::string> name_pair(const GENERAL_NAME* name) {
  switch (name->type) {
    case GEN_OTHERNAME:
      return {"otherName", "<unsupported>"};
    case GEN_EMAIL:
      return {"email", printable(name->d.rfc822Name)};
    case GEN_DNS:
      return {"DNS", printable(name->d.dNSName)};
    case GEN_X400:
      return {"X400Address", "<unsupported>"};
    case GEN_DIRNAME:
      return {"DirName", oneline_name(name->d.directoryName)};
    case GEN_EDIPARTY:
      return {"EdiPartyName", "<unsupported>"};
    case GEN_URI:
      return {"URI", printable(name->d.uniformResourceIdentifier)};
    case GEN_IPADD: {
      const unsigned char* b = ASN1_STRING_get0_data(name->d.iPAddress);
      char text[40];
      switch (ASN1_STRING_length(name->d.iPAddress)) {
        case 4:
          std::snprintf(text, sizeof text, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
          return {"IP Address", text};
        case 8:
          std::snprintf(text, sizeof text, "%d.%d.%d.%d/%d.%d.%d.%d", b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7]);
          return {"IP Address", text};
        default:
          return {"IP Address", "<invalid>"};
      }
    }
    case GEN_RID:
      return {"Registered ID", object_name(name->d.registeredID, 256)};
    default:
      return {"<unknown>", "<unsupported>"};
  }
}

// "[i]" (built with snprintf: g++ 12 at -O3 warns falsely on a literal
// concatenated with a std::string here).
std::string ordinal(int i) {
  char text[16];
  std::snprintf(text, sizeof text, "[%i]", i);
  return text;
}

void print_name(Out& out, int n, const GENERAL_NAME* name) {
  const auto [label, value] = name_pair(name);
  out.line(n, label + ": " + value);
}

void print_names(Out& out, int n, const GENERAL_NAMES* names) {
  for (int i = 0; i < sk_GENERAL_NAME_num(names); ++i) print_name(out, n, sk_GENERAL_NAME_value(names, i));
}

void print_reasons(Out& out, int n, const ASN1_BIT_STRING* reasons) {
  std::string joined;
  for (const auto& r : kReasons) {
    if (!ASN1_BIT_STRING_get_bit(reasons, r.bit)) continue;
    if (!joined.empty()) joined += ", ";
    joined += r.long_name;
  }
  out.line(n, joined);
}

bool print_point_name(Out& out, int n, const DIST_POINT_NAME* name) {
  out.line(n, "Distribution Point:");
  if (name->type == 0) {
    out.line(n + 2, "Full Name:");
    print_names(out, n + 4, name->name.fullname);
    return true;
  }
  out.line(n + 2, "Name Relative To CRL Issuer:");
  UniquePtr<X509_NAME> rdn(X509_NAME_new());
  if (rdn == nullptr) return false;
  for (int i = 0; i < sk_X509_NAME_ENTRY_num(name->name.relativename); ++i) {
    if (!X509_NAME_add_entry(rdn.get(), sk_X509_NAME_ENTRY_value(name->name.relativename, i), -1, 0)) return false;
  }
  UniquePtr<BIO> mem(BIO_new(BIO_s_mem()));
  if (mem == nullptr || !X509_NAME_print_line(mem.get(), rdn.get(), n + 4, 0)) return false;
  char* data = nullptr;
  const long length = BIO_get_mem_data(mem.get(), &data);
  out.put(std::string(data, static_cast<std::size_t>(length)));
  out.put("\n");
  return true;
}

bool print_dist_points(Out& out, int n, const CRL_DIST_POINTS* points) {
  const int count = sk_DIST_POINT_num(points);
  for (int i = 0; i < count; ++i) {
    const DIST_POINT* point = sk_DIST_POINT_value(points, i);
    if (count > 1) out.line(n, ordinal(i + 1));
    if (point->distpoint != nullptr && !print_point_name(out, n, point->distpoint)) return false;
    if (point->reasons != nullptr) {
      out.line(n, "Reasons:");
      print_reasons(out, n + 2, point->reasons);
    }
    if (point->CRLissuer != nullptr) {
      out.line(n, "CRL Issuer:");
      print_names(out, n + 2, point->CRLissuer);
    }
  }
  return true;
}

bool print_issuing_point(Out& out, int n, const ISSUING_DIST_POINT* idp) {
  if (idp->distpoint != nullptr && !print_point_name(out, n, idp->distpoint)) return false;
  if (idp->onlyuser > 0) out.line(n, "onlyContainsUserCerts");
  if (idp->onlyCA > 0) out.line(n, "onlyContainsCACerts");
  if (idp->onlysomereasons != nullptr) {
    out.line(n, "onlySomeReasons:");
    print_reasons(out, n + 2, idp->onlysomereasons);
  }
  if (idp->indirectCRL > 0) out.line(n, "indirectCRL");
  if (idp->onlyattr > 0) out.line(n, "onlyContainsAttributeCerts");
  return true;
}

void print_access(Out& out, int n, const AUTHORITY_INFO_ACCESS* access) {
  for (int i = 0; i < sk_ACCESS_DESCRIPTION_num(access); ++i) {
    const ACCESS_DESCRIPTION* d = sk_ACCESS_DESCRIPTION_value(access, i);
    out.line(n, "Access Method: " + object_name(d->method, 256));
    out.line(n, "Access Location:");
    print_name(out, n + 2, d->location);
  }
}

// Magnitude bytes as "%02x" joined by ":".
std::string hex_bytes(const ASN1_INTEGER* number) {
  std::string out;
  char hex[4];
  const unsigned char* data = ASN1_STRING_get0_data(number);
  for (int i = 0; i < ASN1_STRING_length(number); ++i) {
    std::snprintf(hex, sizeof hex, "%02x", data[i]);
    if (i > 0) out += ":";
    out += hex;
  }
  return out;
}

// "%lu" of a number that fits; others (negative or wider than 64 bits) as
// their magnitude bytes, never as a wrapped or clamped value.
std::string unsigned_text(const ASN1_INTEGER* number) {
  uint64_t v = 0;
  if (ASN1_INTEGER_get_uint64(&v, number) == 1) return std::to_string(v);
  std::string text = ASN1_STRING_type(number) == V_ASN1_NEG_INTEGER ? "-" : "";
  text += hex_bytes(number);
  return text;
}

void print_attributes(Out& out, int n, const SUBJECT_DIRECTORY_ATTRIBUTES* attributes) {
  if (attributes == nullptr) {
    out.line(n, "<No Attributes>");
    return;
  }
  if (sk_X509_ATTRIBUTE_num(attributes) == 0) {
    out.line(n, "<Empty Attributes>");
    return;
  }
  for (int i = 0; i < sk_X509_ATTRIBUTE_num(attributes); ++i) {
    X509_ATTRIBUTE* attribute = sk_X509_ATTRIBUTE_value(attributes, i);
    const ASN1_OBJECT* type = X509_ATTRIBUTE_get0_object(attribute);
    const int nid = OBJ_obj2nid(type);
    const std::string prefix = std::string(static_cast<std::size_t>(n), ' ') +
                               (nid != NID_undef ? OBJ_nid2ln(nid) : object_name(type, 80)) + ": ";
    const int count = X509_ATTRIBUTE_count(attribute);
    if (count == 0) {
      out.put(prefix + "<No Values>\n");
      continue;
    }
    for (int v = 0; v < count; ++v) {
      const ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(attribute, v);
      out.put(prefix);
      if (v3ext_is_text_type(value->type)) {
        out.put(v3ext_text_of(value->value.asn1_string));
      } else {
        out.put("<Unsupported tag " + std::to_string(value->type) + ">");
      }
      out.put("\n");
    }
  }
}

void print_subtrees(Out& out, int n, const char* title, const STACK_OF(GENERAL_SUBTREE) * subtrees) {
  out.line(n, title);
  for (int i = 0; i < sk_GENERAL_SUBTREE_num(subtrees); ++i) {
    const GENERAL_SUBTREE* subtree = sk_GENERAL_SUBTREE_value(subtrees, i);
    print_name(out, n + 2, subtree->base);
    if (subtree->minimum != nullptr) out.line(n, "Minimum: " + unsigned_text(subtree->minimum));
    if (subtree->maximum != nullptr) out.line(n, "Maximum: " + unsigned_text(subtree->maximum));
  }
}

void print_mappings(Out& out, int n, const POLICY_MAPPINGS* mappings) {
  const int count = sk_POLICY_MAPPING_num(mappings);
  for (int i = 0; i < count; ++i) {
    const POLICY_MAPPING* m = sk_POLICY_MAPPING_value(mappings, i);
    if (count > 1) out.line(n, ordinal(i + 1));
    out.line(n, "Issuer Domain Policy:  " + object_name(m->issuerDomainPolicy, 256));
    out.line(n, "Subject Domain Policy: " + object_name(m->subjectDomainPolicy, 256));
  }
}

std::string time_text(const ASN1_GENERALIZEDTIME* time) {
  UniquePtr<BIO> mem(BIO_new(BIO_s_mem()));
  if (mem == nullptr || ASN1_GENERALIZEDTIME_print(mem.get(), time) <= 0) return "Bad time value";
  char* data = nullptr;
  const long length = BIO_get_mem_data(mem.get(), &data);
  return std::string(data, static_cast<std::size_t>(length));
}

// 1 printed, 0 failure, -1 not one of ours.
int print_own(Out& out, int nid, void* value, int n) {
  switch (nid) {
    case NID_info_access:
    case NID_sinfo_access:
      print_access(out, n, static_cast<const AUTHORITY_INFO_ACCESS*>(value));
      return 1;
    case NID_crl_distribution_points:
    case NID_freshest_crl:
      return print_dist_points(out, n, static_cast<const CRL_DIST_POINTS*>(value)) ? 1 : 0;
    case NID_issuing_distribution_point:
      return print_issuing_point(out, n, static_cast<const ISSUING_DIST_POINT*>(value)) ? 1 : 0;
    case NID_hold_instruction_code:
      out.indent(n);
      out.put(object_name(static_cast<const ASN1_OBJECT*>(value), 80));
      return 1;
    case NID_invalidity_date:
      out.indent(n);
      out.put(time_text(static_cast<const ASN1_GENERALIZEDTIME*>(value)));
      return 1;
    case NID_crl_number:
      out.indent(n);
      out.put("CRL Number: " + hex_bytes(static_cast<const ASN1_INTEGER*>(value)));
      return 1;
    case NID_delta_crl:
      out.indent(n);
      out.put("Base CRL Number: " + hex_bytes(static_cast<const ASN1_INTEGER*>(value)));
      return 1;
    case NID_inhibit_any_policy:
      out.indent(n);
      out.put("SkipCerts: " + unsigned_text(static_cast<const ASN1_INTEGER*>(value)));
      return 1;
    case NID_subject_directory_attributes:
      print_attributes(out, n, static_cast<const SUBJECT_DIRECTORY_ATTRIBUTES*>(value));
      return 1;
    case NID_name_constraints: {
      const auto* nc = static_cast<const NAME_CONSTRAINTS*>(value);
      if (nc->permittedSubtrees != nullptr) print_subtrees(out, n, "Permitted Subtrees:", nc->permittedSubtrees);
      if (nc->excludedSubtrees != nullptr) print_subtrees(out, n, "Excluded Subtrees:", nc->excludedSubtrees);
      return 1;
    }
    case NID_policy_constraints: {
      const auto* pc = static_cast<const POLICY_CONSTRAINTS*>(value);
      if (pc->requireExplicitPolicy != nullptr) {
        out.line(n, "Require Explicit Policy: " + unsigned_text(pc->requireExplicitPolicy));
      }
      if (pc->inhibitPolicyMapping != nullptr) {
        out.line(n, "Inhibit Policy Mapping:  " + unsigned_text(pc->inhibitPolicyMapping));
      }
      return 1;
    }
    case NID_policy_mappings:
      print_mappings(out, n, static_cast<const POLICY_MAPPINGS*>(value));
      return 1;
    default:
      return -1;
  }
}

}  // namespace

STACK_OF(CONF_VALUE) * GENERAL_NAME_print_ext(const GENERAL_NAME* name, STACK_OF(CONF_VALUE) * list) {
  if (name == nullptr) return nullptr;
  const auto [label, value] = name_pair(name);
  STACK_OF(CONF_VALUE)* out = list;
  if (!X509V3_add_value(label.c_str(), value.c_str(), &out)) {
    if (list == nullptr) sk_CONF_VALUE_pop_free(out, X509V3_conf_free);
    return nullptr;
  }
  return out;
}

CRL_DIST_POINTS* V2I_CRLD(X509V3_CTX* ctx, const STACK_OF(CONF_VALUE) * values) {
  constexpr int kFuncV2iCrld = 125;
  UniquePtr<CRL_DIST_POINTS> points(sk_DIST_POINT_new_null());
  if (points == nullptr) {
    QERR(ERRLIB_X509V3, kFuncV2iCrld, ERR_R_MEMORY_ALLOC);
    return nullptr;
  }
  for (int i = 0; i < sk_CONF_VALUE_num(values); ++i) {
    GENERAL_NAME* name =
        v2i_GENERAL_NAME(X509V3_EXT_get_nid(NID_crl_distribution_points), ctx, sk_CONF_VALUE_value(values, i));
    if (name == nullptr) return nullptr;
    UniquePtr<DIST_POINT> point(DIST_POINT_new());
    GENERAL_NAMES* names = sk_GENERAL_NAME_new_null();
    if (point == nullptr || names == nullptr || (point->distpoint = DIST_POINT_NAME_new()) == nullptr ||
        sk_GENERAL_NAME_push(names, name) <= 0) {
      GENERAL_NAME_free(name);
      sk_GENERAL_NAME_free(names);
      QERR(ERRLIB_X509V3, kFuncV2iCrld, ERR_R_MEMORY_ALLOC);
      return nullptr;
    }
    point->distpoint->type = 0;
    point->distpoint->name.fullname = names;
    if (sk_DIST_POINT_push(points.get(), point.get()) <= 0) {
      QERR(ERRLIB_X509V3, kFuncV2iCrld, ERR_R_MEMORY_ALLOC);
      return nullptr;
    }
    static_cast<void>(point.release());
  }
  return points.release();
}

int V3EXT_print(BIO* bio, const X509_EXTENSION* extension, int indent) {
  if (bio == nullptr || extension == nullptr) return 0;
  const int nid = OBJ_obj2nid(X509_EXTENSION_get_object(const_cast<X509_EXTENSION*>(extension)));
  const ASN1_ITEM* item = V3EXT_item(nid);
  if (item != nullptr) {
    const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(const_cast<X509_EXTENSION*>(extension));
    const unsigned char* p = ASN1_STRING_get0_data(data);
    ASN1_VALUE* value = ASN1_item_d2i(nullptr, &p, ASN1_STRING_length(data), item);
    if (value == nullptr) return 0;
    Out out;
    const int r = print_own(out, nid, value, indent);
    ASN1_item_free(value, item);
    if (r >= 0) return r == 1 && out.flush(bio) ? 1 : 0;
  }
  // The basic extensions keep OpenSSL's texts; anything unknown is dumped.
  return X509V3_EXT_print(bio, const_cast<X509_EXTENSION*>(extension), X509V3_EXT_DUMP_UNKNOWN, indent) == 1 ? 1 : 0;
}

int V3EXT_print_all(BIO* bio, const STACK_OF(X509_EXTENSION) * extensions, int indent) {
  for (int i = 0; i < sk_X509_EXTENSION_num(extensions); ++i) {
    const X509_EXTENSION* extension = sk_X509_EXTENSION_value(extensions, i);
    const ASN1_OBJECT* object = X509_EXTENSION_get_object(const_cast<X509_EXTENSION*>(extension));
    const std::string name = object_name(object, 80);
    const std::string head = std::string(static_cast<std::size_t>(indent), ' ') + name + ": " +
                             (X509_EXTENSION_get_critical(const_cast<X509_EXTENSION*>(extension)) ? "critical" : "") +
                             "\n";
    if (BIO_write(bio, head.data(), static_cast<int>(head.size())) != static_cast<int>(head.size())) return 0;
    if (!V3EXT_print(bio, extension, indent + 4)) {
      const std::string bad = std::string(static_cast<std::size_t>(indent + 4), ' ') + "<unreadable value>";
      if (BIO_puts(bio, bad.c_str()) <= 0) return 0;
    }
    if (BIO_puts(bio, "\n") <= 0) return 0;
  }
  return 1;
}

}  // namespace qcrypto
