#include "tests/crypto/v3ext/v3ext_test_util.h"

#include <cstdio>
#include <ctime>
#include <sstream>

namespace v3ext_test {
namespace {

using namespace qcrypto;

std::string buf(const BUFFER* b) {
  return b == nullptr ? "(none)" : "\"" + std::string(reinterpret_cast<const char*>(b->data), b->length) + "\"";
}
std::string hex(const BUFFER* b) {
  if (b == nullptr) return "(none)";
  std::string out;
  char two[4];
  for (int i = 0; i < b->length; ++i) {
    std::snprintf(two, sizeof two, "%02X", b->data[i]);
    out += two;
  }
  return out;
}
std::string chain(const ATTRIBUTE* a) {
  if (a == nullptr) return "(none)";
  std::string out;
  for (; a != nullptr; a = a->next) {
    out += "{" + std::to_string(a->object) + " \"" + a->value + "\" type " + std::to_string(a->string_type) + "}";
  }
  return out;
}
std::string oid_text(const CADB_OID* o) {
  if (o == nullptr) return "(none)";
  return "{" + std::to_string(o->object) + " " + (o->long_name != nullptr ? o->long_name : "-") + " / " +
         (o->short_name != nullptr ? o->short_name : "-") + " " + buf(o->dotted) + "}";
}
std::string tm_text(const struct tm* t) {
  if (t == nullptr) return "(none)";
  char s[64];
  std::snprintf(s, sizeof s, "%04d-%02d-%02d %02d:%02d:%02d", t->tm_year + 1900, t->tm_mon + 1, t->tm_mday, t->tm_hour,
                t->tm_min, t->tm_sec);
  return s;
}
std::string mask(unsigned long m) {
  char s[32];
  std::snprintf(s, sizeof s, "0x%lX", m);
  return s;
}

class Out {
 public:
  void line(int depth, const std::string& s) {
    os_ << std::string(static_cast<std::size_t>(depth) * 2, ' ') << s << "\n";
  }
  std::string str() const { return os_.str(); }

  void name(int d, const CADB_GENERAL_NAME* n) {
    if (n == nullptr) return line(d, "name (none)");
    char t[8];
    std::snprintf(t, sizeof t, "0x%02X", n->type);
    switch (n->type) {
      case 0x81:
      case 0x82:
      case 0x86:
        return line(d, std::string("name ") + t + " " + chain(n->value.text));
      case 0x84:
        return line(d, std::string("name ") + t + " " + chain(n->value.name));
      case 0x87:
        return line(d, std::string("name ") + t + " " + buf(n->value.ip));
      case 0x88:
        return line(d, std::string("name ") + t + " " + oid_text(n->value.oid));
      default:
        return line(d, std::string("name ") + t + " (no value)");
    }
  }
  void names(int d, const char* label, const STACK_OF(CADB_GENERAL_NAME) * ns) {
    if (ns == nullptr) return line(d, std::string(label) + " (none)");
    line(d, std::string(label) + " [" + std::to_string(sk_CADB_GENERAL_NAME_num(ns)) + "]");
    for (int i = 0; i < sk_CADB_GENERAL_NAME_num(ns); ++i) name(d + 1, sk_CADB_GENERAL_NAME_value(ns, i));
  }
  void dpn(int d, const CADB_DIST_POINT_NAME* n) {
    if (n == nullptr) return line(d, "point name (none)");
    line(d, "point name kind " + std::to_string(n->kind));
    if (n->kind == 0) names(d + 1, "full name", n->value.full_name);
    if (n->kind == 1) line(d + 1, "relative " + chain(n->value.relative_name));
  }
  void subtrees(int d, const char* label, const STACK_OF(CADB_GENERAL_SUBTREE) * ts) {
    if (ts == nullptr) return line(d, std::string(label) + " (none)");
    line(d, std::string(label) + " [" + std::to_string(sk_CADB_GENERAL_SUBTREE_num(ts)) + "]");
    for (int i = 0; i < sk_CADB_GENERAL_SUBTREE_num(ts); ++i) {
      const CADB_GENERAL_SUBTREE* t = sk_CADB_GENERAL_SUBTREE_value(ts, i);
      line(d + 1, "minimum " + std::to_string(t->minimum) + " maximum " + std::to_string(t->maximum));
      name(d + 1, t->base);
    }
  }
  void ext(const CADB_V3EXT* e) {
    line(0, "object " + std::to_string(e->object) + " critical " + std::to_string(e->critical) + " parsed " +
                std::to_string(e->parsed) + " unsupported " + std::to_string(e->unsupported) + " extension " +
                (e->extension != nullptr ? "set" : "(none)"));
    if (e->parsed == 0) return;
    const int d = 1;
    switch (e->object) {
      case 71:
      case 83:
        return line(d, "mask " + mask(e->value.mask));
      case 72:
      case 73:
      case 74:
      case 75:
      case 76:
      case 77:
      case 78:
        return line(d, "text " + chain(e->value.text));
      case 82:
      case 88:
      case 140:
        return line(d, "bytes " + hex(e->value.bytes));
      case 141:
      case 200:
        return line(d, "number " + std::to_string(e->value.number));
      case 142:
        return line(d, "time " + tm_text(e->value.time));
      case 84:
        return line(d, "period " + tm_text(e->value.period->start) + " .. " + tm_text(e->value.period->end));
      case 85:
      case 86:
      case 215:
        return names(d, "names", e->value.names);
      case 87:
        return line(d, "ca " + std::to_string(e->value.basic_constraints->ca) + " path length " +
                           std::to_string(e->value.basic_constraints->path_length));
      case 89:
        for (int i = 0; i < sk_CADB_POLICY_INFO_num(e->value.policies); ++i) {
          const CADB_POLICY_INFO* p = sk_CADB_POLICY_INFO_value(e->value.policies, i);
          line(d, "policy " + oid_text(p->policy));
          if (p->qualifiers == nullptr) line(d + 1, "qualifiers (none)");
          for (int q = 0; q < sk_CADB_POLICY_QUALIFIER_num(p->qualifiers); ++q) {
            const CADB_POLICY_QUALIFIER* pq = sk_CADB_POLICY_QUALIFIER_value(p->qualifiers, q);
            line(d + 1, "qualifier " + oid_text(pq->id) + " object " + std::to_string(pq->object));
            if (pq->object == NID_id_qt_cps) line(d + 2, "cps " + chain(pq->value.cps));
            if (pq->object == NID_id_qt_unotice) {
              const CADB_USER_NOTICE* un = pq->value.user_notice;
              if (un->notice_ref != nullptr) {
                line(d + 2, "organization " + chain(un->notice_ref->organization) + " numbers " +
                                buf(un->notice_ref->numbers));
              } else {
                line(d + 2, "notice ref (none)");
              }
              line(d + 2, "explicit text " + chain(un->explicit_text));
            }
          }
        }
        return;
      case 90:
      case 304:
      case 306:
        line(d, "key id " + hex(e->value.key_id->key_id) + " serial " + hex(e->value.key_id->serial));
        return names(d, "issuer", e->value.key_id->issuer);
      case 103:
      case 201:
        for (int i = 0; i < sk_CADB_CRL_DIST_POINT_num(e->value.dist_points); ++i) {
          const CADB_CRL_DIST_POINT* p = sk_CADB_CRL_DIST_POINT_value(e->value.dist_points, i);
          line(d, "point reasons " + mask(p->reasons));
          dpn(d + 1, p->name);
          names(d + 1, "crl issuer", p->crl_issuer);
        }
        return;
      case 126:
        for (int i = 0; i < sk_CADB_OID_num(e->value.oids); ++i)
          line(d, "usage " + oid_text(sk_CADB_OID_value(e->value.oids, i)));
        return;
      case 202:
        for (int i = 0; i < sk_CADB_POLICY_MAPPING_num(e->value.mappings); ++i) {
          const CADB_POLICY_MAPPING* m = sk_CADB_POLICY_MAPPING_value(e->value.mappings, i);
          line(d, "mapping " + oid_text(m->issuer_domain_policy) + " -> " + oid_text(m->subject_domain_policy));
        }
        return;
      case 203:
        return line(d, "require explicit " + std::to_string(e->value.policy_constraints->require_explicit_policy) +
                           " inhibit mapping " + std::to_string(e->value.policy_constraints->inhibit_policy_mapping));
      case 204:
        subtrees(d, "permitted", e->value.name_constraints->permitted);
        return subtrees(d, "excluded", e->value.name_constraints->excluded);
      case 206:
      case 207:
        for (int i = 0; i < sk_CADB_ACCESS_DESCRIPTION_num(e->value.access); ++i) {
          const CADB_ACCESS_DESCRIPTION* a = sk_CADB_ACCESS_DESCRIPTION_value(e->value.access, i);
          line(d, "method " + oid_text(a->method));
          name(d + 1, a->location);
        }
        return;
      case 213: {
        const CADB_ISSUING_DIST_POINT* p = e->value.issuing_dist_point;
        line(d, "user " + std::to_string(p->only_contains_user_certs) + " ca " +
                    std::to_string(p->only_contains_ca_certs) + " reasons " + mask(p->only_some_reasons) +
                    " indirect " + std::to_string(p->indirect_crl) + " attribute " +
                    std::to_string(p->only_contains_attribute_certs));
        return dpn(d, p->name);
      }
      case 214:
        return line(d, "oid " + oid_text(e->value.oid));
      case 220:
        for (int i = 0; i < sk_ATTRIBUTE_num(e->value.attributes); ++i)
          line(d, "attribute " + chain(sk_ATTRIBUTE_value(e->value.attributes, i)));
        return;
      default:
        return line(d, "?");
    }
  }

 private:
  std::ostringstream os_;
};

}  // namespace

std::string render(const qcrypto::CADB_V3EXT_LIST* list) {
  Out out;
  if (list == nullptr) return "(no list)\n";
  for (int i = 0; i < sk_CADB_V3EXT_num(list); ++i) out.ext(sk_CADB_V3EXT_value(list, i));
  return out.str();
}

}  // namespace v3ext_test
