// Extension values built from OpenSSL's own structures, for the tests.
#pragma once

#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <string>
#include <vector>

#include "crypto/cclib/ossl_owners.h"
#include "crypto/v3ext/v3ext.h"

namespace v3ext_test {

using Bytes = std::vector<unsigned char>;

// DER of any OpenSSL value through its i2d function.
template <class T, class F>
Bytes der_of(const T* value, F i2d) {
  unsigned char* p = nullptr;
  const int n = i2d(value, &p);
  Bytes out;
  if (n > 0) out.assign(p, p + n);
  OPENSSL_free(p);
  return out;
}

Bytes from_hex(const std::string& hex);

GENERAL_NAME* uri_name(const char* uri);
GENERAL_NAME* ip_name(const Bytes& ip);
GENERAL_NAME* dir_name_cyrillic();

// Values of the extensions the builder's configuration text cannot express.
Bytes crl_dist_points_der();
Bytes issuing_dist_point_der(bool all_flags);
Bytes certificate_policies_der();
Bytes directory_attributes_der();
Bytes usage_period_der();
Bytes general_names_der(GENERAL_NAME* name);  // takes the name

// A stack holding one extension with the given value.
STACK_OF(X509_EXTENSION) * one_extension(int nid, bool critical, const Bytes& der);
void free_extensions(STACK_OF(X509_EXTENSION) * stack);

// The printed text of every extension of a stack.
std::string print_all(const STACK_OF(X509_EXTENSION) * extensions);

}  // namespace v3ext_test
