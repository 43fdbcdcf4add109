#include "tests/crypto/v3ext/v3ext_test_util.h"

#include <openssl/objects.h>

namespace v3ext_test {

Bytes from_hex(const std::string& hex) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

GENERAL_NAME* uri_name(const char* uri) {
  GENERAL_NAME* name = GENERAL_NAME_new();
  ASN1_IA5STRING* s = ASN1_IA5STRING_new();
  ASN1_STRING_set(s, uri, -1);
  GENERAL_NAME_set0_value(name, GEN_URI, s);
  return name;
}

GENERAL_NAME* ip_name(const Bytes& ip) {
  GENERAL_NAME* name = GENERAL_NAME_new();
  ASN1_OCTET_STRING* s = ASN1_OCTET_STRING_new();
  ASN1_OCTET_STRING_set(s, ip.data(), static_cast<int>(ip.size()));
  GENERAL_NAME_set0_value(name, GEN_IPADD, s);
  return name;
}

GENERAL_NAME* dir_name_cyrillic() {
  X509_NAME* dn = X509_NAME_new();
  // "Иванов" in UTF-8: the printed and split texts show it in Windows-1251.
  X509_NAME_add_entry_by_txt(dn, "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>("\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD\xD0\xBE\xD0\xB2"),
                             -1, -1, 0);
  X509_NAME_add_entry_by_txt(dn, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Example"), -1, -1, 0);
  GENERAL_NAME* name = GENERAL_NAME_new();
  GENERAL_NAME_set0_value(name, GEN_DIRNAME, dn);
  return name;
}

Bytes general_names_der(GENERAL_NAME* name) {
  GENERAL_NAMES* names = sk_GENERAL_NAME_new_null();
  sk_GENERAL_NAME_push(names, name);
  Bytes der = der_of(names, i2d_GENERAL_NAMES);
  GENERAL_NAMES_free(names);
  return der;
}

namespace {

ASN1_BIT_STRING* reason_bits(std::initializer_list<int> bits) {
  ASN1_BIT_STRING* s = ASN1_BIT_STRING_new();
  for (const int b : bits) ASN1_BIT_STRING_set_bit(s, b, 1);
  return s;
}

DIST_POINT_NAME* full_name(const char* uri) {
  DIST_POINT_NAME* dpn = DIST_POINT_NAME_new();
  dpn->type = 0;
  dpn->name.fullname = sk_GENERAL_NAME_new_null();
  sk_GENERAL_NAME_push(dpn->name.fullname, uri_name(uri));
  return dpn;
}

}  // namespace

Bytes crl_dist_points_der() {
  CRL_DIST_POINTS* points = sk_DIST_POINT_new_null();
  // A full name with reasons and an issuer, then a name relative to the
  // issuer.
  DIST_POINT* first = DIST_POINT_new();
  first->distpoint = full_name("http://crl.example.ru/ca.crl");
  first->reasons = reason_bits({1, 2, 8});
  first->CRLissuer = sk_GENERAL_NAME_new_null();
  sk_GENERAL_NAME_push(first->CRLissuer, dir_name_cyrillic());
  sk_DIST_POINT_push(points, first);
  DIST_POINT* second = DIST_POINT_new();
  second->distpoint = DIST_POINT_NAME_new();
  second->distpoint->type = 1;
  second->distpoint->name.relativename = sk_X509_NAME_ENTRY_new_null();
  sk_X509_NAME_ENTRY_push(
      second->distpoint->name.relativename,
      X509_NAME_ENTRY_create_by_txt(nullptr, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("CRL1"), -1));
  sk_DIST_POINT_push(points, second);
  Bytes der = der_of(points, i2d_CRL_DIST_POINTS);
  CRL_DIST_POINTS_free(points);
  return der;
}

Bytes issuing_dist_point_der(bool all_flags) {
  ISSUING_DIST_POINT* idp = ISSUING_DIST_POINT_new();
  idp->distpoint = full_name("http://crl.example.ru/ca.crl");
  if (all_flags) {
    idp->onlyuser = 0xFF;
    idp->onlyCA = 0xFF;
    idp->onlysomereasons = reason_bits({1, 3});
    idp->indirectCRL = 0xFF;
    idp->onlyattr = 0xFF;
  }
  Bytes der = der_of(idp, i2d_ISSUING_DIST_POINT);
  ISSUING_DIST_POINT_free(idp);
  return der;
}

Bytes certificate_policies_der() {
  CERTIFICATEPOLICIES* policies = sk_POLICYINFO_new_null();
  POLICYINFO* info = POLICYINFO_new();
  ASN1_OBJECT_free(info->policyid);
  info->policyid = OBJ_txt2obj("1.2.643.100.113.1", 1);
  info->qualifiers = sk_POLICYQUALINFO_new_null();
  POLICYQUALINFO* cps = POLICYQUALINFO_new();
  cps->pqualid = OBJ_nid2obj(NID_id_qt_cps);
  cps->d.cpsuri = ASN1_IA5STRING_new();
  ASN1_STRING_set(cps->d.cpsuri, "http://ca.example.ru/cps", -1);
  sk_POLICYQUALINFO_push(info->qualifiers, cps);
  POLICYQUALINFO* un = POLICYQUALINFO_new();
  un->pqualid = OBJ_nid2obj(NID_id_qt_unotice);
  un->d.usernotice = USERNOTICE_new();
  un->d.usernotice->noticeref = NOTICEREF_new();
  ASN1_STRING* org = ASN1_STRING_type_new(V_ASN1_UTF8STRING);
  ASN1_STRING_set(org, "\xD0\x9E\xD0\x9E\xD0\x9E", -1);  // "ООО"
  ASN1_STRING_free(un->d.usernotice->noticeref->organization);
  un->d.usernotice->noticeref->organization = org;
  for (const long n : {1L, 2L, 3L}) {
    ASN1_INTEGER* i = ASN1_INTEGER_new();
    ASN1_INTEGER_set(i, n);
    sk_ASN1_INTEGER_push(un->d.usernotice->noticeref->noticenos, i);
  }
  un->d.usernotice->exptext = ASN1_STRING_type_new(V_ASN1_VISIBLESTRING);
  ASN1_STRING_set(un->d.usernotice->exptext, "Test notice", -1);
  sk_POLICYQUALINFO_push(info->qualifiers, un);
  sk_POLICYINFO_push(policies, info);
  Bytes der = der_of(policies, i2d_CERTIFICATEPOLICIES);
  CERTIFICATEPOLICIES_free(policies);
  return der;
}

Bytes directory_attributes_der() {
  qcrypto::SUBJECT_DIRECTORY_ATTRIBUTES* attributes = sk_X509_ATTRIBUTE_new_null();
  const unsigned char* ru = reinterpret_cast<const unsigned char*>("RU");
  sk_X509_ATTRIBUTE_push(attributes,
                         X509_ATTRIBUTE_create_by_txt(nullptr, "1.3.6.1.5.5.7.9.4", V_ASN1_PRINTABLESTRING, ru, 2));
  const char* place = "\xD0\x9C\xD0\xBE\xD1\x81\xD0\xBA\xD0\xB2\xD0\xB0";  // "Москва"
  sk_X509_ATTRIBUTE_push(attributes, X509_ATTRIBUTE_create_by_txt(nullptr, "1.3.6.1.5.5.7.9.2", V_ASN1_UTF8STRING,
                                                                  reinterpret_cast<const unsigned char*>(place), 12));
  Bytes der = der_of(attributes, qcrypto::i2d_SUBJECT_DIRECTORY_ATTRIBUTES);
  sk_X509_ATTRIBUTE_pop_free(attributes, X509_ATTRIBUTE_free);
  return der;
}

Bytes usage_period_der() {
  PKEY_USAGE_PERIOD* period = PKEY_USAGE_PERIOD_new();
  period->notBefore = ASN1_GENERALIZEDTIME_new();
  ASN1_GENERALIZEDTIME_set_string(period->notBefore, "20240101000000Z");
  period->notAfter = ASN1_GENERALIZEDTIME_new();
  ASN1_GENERALIZEDTIME_set_string(period->notAfter, "20251231235959Z");
  Bytes der = der_of(period, i2d_PKEY_USAGE_PERIOD);
  PKEY_USAGE_PERIOD_free(period);
  return der;
}

STACK_OF(X509_EXTENSION) * one_extension(int nid, bool critical, const Bytes& der) {
  STACK_OF(X509_EXTENSION)* stack = sk_X509_EXTENSION_new_null();
  ASN1_OCTET_STRING* data = ASN1_OCTET_STRING_new();
  ASN1_OCTET_STRING_set(data, der.data(), static_cast<int>(der.size()));
  X509_EXTENSION* ext = X509_EXTENSION_create_by_NID(nullptr, nid, critical ? 1 : 0, data);
  ASN1_OCTET_STRING_free(data);
  sk_X509_EXTENSION_push(stack, ext);
  return stack;
}

void free_extensions(STACK_OF(X509_EXTENSION) * stack) { sk_X509_EXTENSION_pop_free(stack, X509_EXTENSION_free); }

std::string print_all(const STACK_OF(X509_EXTENSION) * extensions) {
  qcrypto::UniquePtr<BIO> mem(BIO_new(BIO_s_mem()));
  if (qcrypto::V3EXT_print_all(mem.get(), extensions, 4) != 1) return "<print failed>";
  char* data = nullptr;
  const long n = BIO_get_mem_data(mem.get(), &data);
  return std::string(data, static_cast<std::size_t>(n));
}

}  // namespace v3ext_test
