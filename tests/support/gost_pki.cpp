#include "tests/support/gost_pki.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/random.h>

#include "crypto/ecgost/ecgost.h"
#include "crypto/prov/gost_pkey.h"
#include "crypto/r3410/r3410.h"

namespace test_support {
namespace {

BIGNUM* random_below(const BIGNUM* q) {
  BIGNUM* v = BN_new();
  std::vector<unsigned char> b(static_cast<size_t>(BN_num_bytes(q)));
  do {
    if (getrandom(b.data(), b.size(), 0) != static_cast<ssize_t>(b.size())) {
      BN_free(v);
      return nullptr;
    }
    BN_bin2bn(b.data(), static_cast<int>(b.size()), v);
    BN_mask_bits(v, BN_num_bits(q));
  } while (BN_is_zero(v) || BN_cmp(v, q) >= 0);
  return v;
}

// The body every test certificate shares: version 3, serial, subject
// "C=RU, CN=<name>", issuer (the subject itself without an issuer), validity
// from now plus the two offsets in seconds, and the subject's key.
bool fill_cert_body(X509* cert, EVP_PKEY* subject_key, long serial, const std::string& common_name, X509* issuer,
                    long not_before, long not_after) {
  X509_NAME* name = X509_NAME_new();
  const bool ok =
      name != nullptr && X509_set_version(cert, 2) == 1 && ASN1_INTEGER_set(X509_get_serialNumber(cert), serial) == 1 &&
      X509_NAME_add_entry_by_txt(name, "C", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("RU"), -1, -1, 0) ==
          1 &&
      X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(common_name.c_str()),
                                 -1, -1, 0) == 1 &&
      X509_set_subject_name(cert, name) == 1 &&
      X509_set_issuer_name(cert, issuer != nullptr ? X509_get_subject_name(issuer) : name) == 1 &&
      X509_gmtime_adj(X509_getm_notBefore(cert), not_before) != nullptr &&
      X509_gmtime_adj(X509_getm_notAfter(cert), not_after) != nullptr && X509_set_pubkey(cert, subject_key) == 1;
  X509_NAME_free(name);
  return ok;
}

bool add_ext(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer != nullptr ? issuer : cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  const bool ok = ext != nullptr && X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

}  // namespace

EVP_PKEY* gost_new_key(GostKeyType type) {
  if (type == GostKeyType::kR3410) {
    qcrypto::R3410* k = qcrypto::GOSTS_new();
    EVP_PKEY* pkey = nullptr;
    if (k != nullptr && qcrypto::R3410_default_params(k) == 1 && (k->x = random_below(k->q)) != nullptr &&
        qcrypto::R3410_generate_pubkey(k) == 1)
      pkey = qcrypto::evp_pkey_from_r3410(k);
    qcrypto::R3410_free(k);
    return pkey;
  }
  qcrypto::ECGOST* k = qcrypto::ECGOST_new(nullptr);
  EVP_PKEY* pkey = nullptr;
  if (k != nullptr) {
    BN_clear_free(k->d);
    k->d = random_below(k->curve->q);
    if (k->d != nullptr && qcrypto::ECGOST_generate_pubkey(k) == 1) pkey = qcrypto::evp_pkey_from_ecgost(k);
  }
  qcrypto::ECGOST_free(k);
  return pkey;
}

X509* gost_make_cert(EVP_PKEY* subject_key, const CertSpec& spec, X509* issuer, EVP_PKEY* issuer_key) {
  X509* cert = X509_new();
  if (cert == nullptr) return nullptr;
  bool ok = fill_cert_body(cert, subject_key, spec.serial, spec.common_name, issuer, -3600, 86400L * spec.days);
  ok = ok && add_ext(cert, issuer, NID_basic_constraints, spec.ca ? "critical,CA:TRUE" : "critical,CA:FALSE") &&
       add_ext(cert, issuer, NID_key_usage,
               spec.ca ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature,nonRepudiation") &&
       add_ext(cert, issuer, NID_subject_key_identifier, "hash") &&
       (issuer == nullptr || add_ext(cert, issuer, NID_authority_key_identifier, "keyid:always"));
  // No digest: the GOST signatures hash inside.
  ok = ok && X509_sign(cert, issuer_key, nullptr) > 0;
  if (!ok) {
    X509_free(cert);
    return nullptr;
  }
  return cert;
}

X509_CRL* gost_make_crl(X509* issuer, EVP_PKEY* issuer_key, const std::vector<long>& revoked, long crl_number) {
  X509_CRL* crl = X509_CRL_new();
  if (crl == nullptr) return nullptr;
  ASN1_TIME* now = X509_gmtime_adj(nullptr, 0);
  ASN1_TIME* next = X509_gmtime_adj(nullptr, 86400L * 7);
  bool ok = now != nullptr && next != nullptr && X509_CRL_set_version(crl, 1) == 1 &&
            X509_CRL_set_issuer_name(crl, X509_get_subject_name(issuer)) == 1 &&
            X509_CRL_set1_lastUpdate(crl, now) == 1 && X509_CRL_set1_nextUpdate(crl, next) == 1;
  for (long serial : revoked) {
    X509_REVOKED* r = X509_REVOKED_new();
    ASN1_INTEGER* s = ASN1_INTEGER_new();
    ok = ok && r != nullptr && s != nullptr && ASN1_INTEGER_set(s, serial) == 1 &&
         X509_REVOKED_set_serialNumber(r, s) == 1 && X509_REVOKED_set_revocationDate(r, now) == 1 &&
         X509_CRL_add0_revoked(crl, r) == 1;
    if (ok) r = nullptr;
    X509_REVOKED_free(r);
    ASN1_INTEGER_free(s);
  }
  ASN1_INTEGER* number = ASN1_INTEGER_new();
  ok = ok && number != nullptr && ASN1_INTEGER_set(number, crl_number) == 1 &&
       X509_CRL_add1_ext_i2d(crl, NID_crl_number, number, 0, 0) == 1 && X509_CRL_sort(crl) == 1 &&
       X509_CRL_sign(crl, issuer_key, nullptr) > 0;
  ASN1_INTEGER_free(number);
  ASN1_TIME_free(now);
  ASN1_TIME_free(next);
  if (!ok) {
    X509_CRL_free(crl);
    return nullptr;
  }
  return crl;
}

std::vector<unsigned char> to_der(X509* cert) {
  unsigned char* p = nullptr;
  const int n = i2d_X509(cert, &p);
  std::vector<unsigned char> out;
  if (n > 0) out.assign(p, p + n);
  OPENSSL_free(p);
  return out;
}

std::vector<unsigned char> to_der(X509_CRL* crl) {
  unsigned char* p = nullptr;
  const int n = i2d_X509_CRL(crl, &p);
  std::vector<unsigned char> out;
  if (n > 0) out.assign(p, p + n);
  OPENSSL_free(p);
  return out;
}

namespace {
std::string bio_text(BIO* bio) {
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio, &data);
  std::string s(data != nullptr && n > 0 ? std::string(data, static_cast<size_t>(n)) : std::string());
  BIO_free(bio);
  return s;
}
}  // namespace

std::string to_pem(X509* cert) {
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, cert);
  return bio_text(bio);
}

std::string to_pem(X509_CRL* crl) {
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509_CRL(bio, crl);
  return bio_text(bio);
}

}  // namespace test_support

namespace test_support {

EVP_PKEY* pki_new_key(PkiKeyType type) {
  switch (type) {
    case PkiKeyType::kR3410:
      return gost_new_key(GostKeyType::kR3410);
    case PkiKeyType::kEcr3410:
      return gost_new_key(GostKeyType::kEcr3410);
    case PkiKeyType::kRsa:
      return EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(1024));
    case PkiKeyType::kEcdsaP256:
      return EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
  }
  return nullptr;
}

namespace {

const EVP_MD* digest_for(EVP_PKEY* key) {
  const bool gost = qcrypto::evp_pkey_get0_r3410(key) != nullptr || qcrypto::evp_pkey_get0_ecgost(key) != nullptr;
  return gost ? nullptr : EVP_sha256();
}

}  // namespace

X509* pki_make_cert(EVP_PKEY* subject_key, const PkiCertSpec& spec, X509* issuer, EVP_PKEY* issuer_key) {
  X509* cert = X509_new();
  if (cert == nullptr) return nullptr;
  bool ok = fill_cert_body(cert, subject_key, spec.serial, spec.common_name, issuer, spec.not_before, spec.not_after);
  std::string bc;
  if (spec.basic_constraints == PkiBasicConstraints::kCa) {
    bc = "critical,CA:TRUE";
    if (spec.path_len >= 0) bc += ",pathlen:" + std::to_string(spec.path_len);
  } else if (spec.basic_constraints == PkiBasicConstraints::kNotCa) {
    bc = "critical,CA:FALSE";
  }
  const char* ku = nullptr;
  switch (spec.key_usage) {
    case PkiKeyUsage::kAbsent:
      break;
    case PkiKeyUsage::kCa:
      ku = "critical,keyCertSign,cRLSign";
      break;
    case PkiKeyUsage::kCaWithoutCrlSign:
      ku = "critical,keyCertSign";
      break;
    case PkiKeyUsage::kLeaf:
      ku = "critical,digitalSignature,nonRepudiation";
      break;
  }
  ok = ok && (bc.empty() || add_ext(cert, issuer, NID_basic_constraints, bc.c_str())) &&
       (ku == nullptr || add_ext(cert, issuer, NID_key_usage, ku)) &&
       (!spec.subject_key_id || add_ext(cert, issuer, NID_subject_key_identifier, "hash")) &&
       (issuer == nullptr || !spec.authority_key_id ||
        add_ext(cert, issuer, NID_authority_key_identifier, "keyid:always"));
  ok = ok && X509_sign(cert, issuer_key, digest_for(issuer_key)) > 0;
  if (!ok) {
    X509_free(cert);
    return nullptr;
  }
  return cert;
}

X509_CRL* pki_make_crl(X509* issuer, EVP_PKEY* issuer_key, const PkiCrlSpec& spec) {
  X509_CRL* crl = X509_CRL_new();
  if (crl == nullptr) return nullptr;
  ASN1_TIME* last = X509_gmtime_adj(nullptr, spec.last_update);
  ASN1_TIME* next = X509_gmtime_adj(nullptr, spec.next_update);
  bool ok = last != nullptr && next != nullptr && X509_CRL_set_version(crl, 1) == 1 &&
            X509_CRL_set_issuer_name(crl, X509_get_subject_name(issuer)) == 1 &&
            X509_CRL_set1_lastUpdate(crl, last) == 1 &&
            (!spec.has_next_update || X509_CRL_set1_nextUpdate(crl, next) == 1);
  for (long serial : spec.revoked) {
    X509_REVOKED* r = X509_REVOKED_new();
    ASN1_INTEGER* s = ASN1_INTEGER_new();
    ok = ok && r != nullptr && s != nullptr && ASN1_INTEGER_set(s, serial) == 1 &&
         X509_REVOKED_set_serialNumber(r, s) == 1 && X509_REVOKED_set_revocationDate(r, last) == 1 &&
         X509_CRL_add0_revoked(crl, r) == 1;
    if (ok) r = nullptr;
    X509_REVOKED_free(r);
    ASN1_INTEGER_free(s);
  }
  ASN1_INTEGER* number = ASN1_INTEGER_new();
  ok = ok && number != nullptr && ASN1_INTEGER_set(number, spec.number) == 1 &&
       X509_CRL_add1_ext_i2d(crl, NID_crl_number, number, 0, 0) == 1;
  if (ok && spec.authority_key_id) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, nullptr, nullptr, crl, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, NID_authority_key_identifier, "keyid:always");
    ok = ext != nullptr && X509_CRL_add_ext(crl, ext, -1) == 1;
    X509_EXTENSION_free(ext);
  }
  ok = ok && X509_CRL_sort(crl) == 1 && X509_CRL_sign(crl, issuer_key, digest_for(issuer_key)) > 0;
  ASN1_INTEGER_free(number);
  ASN1_TIME_free(last);
  ASN1_TIME_free(next);
  if (!ok) {
    X509_CRL_free(crl);
    return nullptr;
  }
  return crl;
}

X509* pki_damaged_copy(X509* cert) {
  std::vector<unsigned char> der = to_der(cert);
  if (der.empty()) return nullptr;
  der.back() ^= 0x01;
  const unsigned char* p = der.data();
  return d2i_X509(nullptr, &p, static_cast<long>(der.size()));
}

X509_CRL* pki_damaged_copy(X509_CRL* crl) {
  std::vector<unsigned char> der = to_der(crl);
  if (der.empty()) return nullptr;
  der.back() ^= 0x01;
  const unsigned char* p = der.data();
  return d2i_X509_CRL(nullptr, &p, static_cast<long>(der.size()));
}

PkiHierarchy::~PkiHierarchy() {
  for (X509* x : leaves) X509_free(x);
  X509_free(inter);
  X509_free(root);
  EVP_PKEY_free(leaf_key);
  EVP_PKEY_free(inter_key);
  EVP_PKEY_free(root_key);
}

bool pki_make_hierarchy(PkiKeyType type, int leaves, PkiHierarchy* out) {
  out->root_key = pki_new_key(type);
  out->inter_key = pki_new_key(type);
  out->leaf_key = pki_new_key(type);
  if (out->root_key == nullptr || out->inter_key == nullptr || out->leaf_key == nullptr) return false;
  PkiCertSpec ca;
  ca.basic_constraints = PkiBasicConstraints::kCa;
  ca.key_usage = PkiKeyUsage::kCa;
  ca.common_name = "Test Root";
  ca.serial = 1;
  out->root = pki_make_cert(out->root_key, ca, nullptr, out->root_key);
  ca.common_name = "Test Intermediate";
  ca.serial = 2;
  out->inter = out->root != nullptr ? pki_make_cert(out->inter_key, ca, out->root, out->root_key) : nullptr;
  if (out->inter == nullptr) return false;
  for (int i = 0; i < leaves; ++i) {
    PkiCertSpec leaf;
    leaf.common_name = "Test Leaf " + std::to_string(i);
    leaf.serial = 100 + i;
    X509* x = pki_make_cert(out->leaf_key, leaf, out->inter, out->inter_key);
    if (x == nullptr) return false;
    out->leaves.push_back(x);
  }
  return true;
}

namespace {

void free_extensions(STACK_OF(X509_EXTENSION) * sk) { sk_X509_EXTENSION_pop_free(sk, X509_EXTENSION_free); }

// The extensions of the config section (through `ctx`) and the raw ones.
STACK_OF(X509_EXTENSION) * collect_extensions(X509V3_CTX* ctx, const std::string& config, const std::string& section,
                                              const std::vector<RawExtension>& raw) {
  STACK_OF(X509_EXTENSION)* out = sk_X509_EXTENSION_new_null();
  bool ok = out != nullptr;
  if (ok && !config.empty()) {
    CONF* conf = NCONF_new(nullptr);
    BIO* text = BIO_new_mem_buf(config.data(), static_cast<int>(config.size()));
    long bad_line = 0;
    ok = conf != nullptr && text != nullptr && NCONF_load_bio(conf, text, &bad_line) == 1;
    if (ok) {
      X509V3_set_nconf(ctx, conf);
      ok = X509V3_EXT_add_nconf_sk(conf, ctx, section.c_str(), &out) == 1;
    }
    BIO_free(text);
    NCONF_free(conf);
  }
  for (const RawExtension& r : raw) {
    if (!ok) break;
    ASN1_OBJECT* obj = OBJ_txt2obj(r.oid.c_str(), 1);
    ASN1_OCTET_STRING* data = ASN1_OCTET_STRING_new();
    X509_EXTENSION* ext = nullptr;
    ok = obj != nullptr && data != nullptr &&
         ASN1_OCTET_STRING_set(data, r.der.data(), static_cast<int>(r.der.size())) == 1 &&
         (ext = X509_EXTENSION_create_by_OBJ(nullptr, obj, r.critical ? 1 : 0, data)) != nullptr &&
         sk_X509_EXTENSION_push(out, ext) > 0;
    if (!ok) X509_EXTENSION_free(ext);
    ASN1_OBJECT_free(obj);
    ASN1_OCTET_STRING_free(data);
  }
  if (!ok) {
    free_extensions(out);
    return nullptr;
  }
  return out;
}

}  // namespace

bool gost_add_extensions(X509* cert, X509* issuer, EVP_PKEY* signer, const std::string& config,
                         const std::string& section, const std::vector<RawExtension>& raw) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer != nullptr ? issuer : cert, cert, nullptr, nullptr, 0);
  STACK_OF(X509_EXTENSION)* exts = collect_extensions(&ctx, config, section, raw);
  bool ok = exts != nullptr;
  for (int i = 0; ok && i < sk_X509_EXTENSION_num(exts); ++i) {
    X509_EXTENSION* ext = sk_X509_EXTENSION_value(exts, i);
    const int old = X509_get_ext_by_OBJ(cert, X509_EXTENSION_get_object(ext), -1);
    if (old >= 0) X509_EXTENSION_free(X509_delete_ext(cert, old));
    ok = X509_add_ext(cert, ext, -1) == 1;
  }
  free_extensions(exts);
  return ok && X509_sign(cert, signer, digest_for(signer)) > 0;
}

bool gost_add_crl_extensions(X509_CRL* crl, X509* issuer, EVP_PKEY* signer, const std::string& config,
                             const std::string& section, const std::vector<RawExtension>& raw) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, nullptr, nullptr, crl, 0);
  STACK_OF(X509_EXTENSION)* exts = collect_extensions(&ctx, config, section, raw);
  bool ok = exts != nullptr;
  for (int i = 0; ok && i < sk_X509_EXTENSION_num(exts); ++i) {
    X509_EXTENSION* ext = sk_X509_EXTENSION_value(exts, i);
    const int old = X509_CRL_get_ext_by_OBJ(crl, X509_EXTENSION_get_object(ext), -1);
    if (old >= 0) X509_EXTENSION_free(X509_CRL_delete_ext(crl, old));
    ok = X509_CRL_add_ext(crl, ext, -1) == 1;
  }
  free_extensions(exts);
  return ok && X509_CRL_sign(crl, signer, digest_for(signer)) > 0;
}

bool gost_add_revoked_extensions(X509_CRL* crl, int index, EVP_PKEY* signer, const std::vector<RawExtension>& raw) {
  X509_REVOKED* entry = sk_X509_REVOKED_value(X509_CRL_get_REVOKED(crl), index);
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  STACK_OF(X509_EXTENSION)* exts = entry != nullptr ? collect_extensions(&ctx, "", "", raw) : nullptr;
  bool ok = exts != nullptr;
  for (int i = 0; ok && i < sk_X509_EXTENSION_num(exts); ++i) {
    ok = X509_REVOKED_add_ext(entry, sk_X509_EXTENSION_value(exts, i), -1) == 1;
  }
  free_extensions(exts);
  return ok && X509_CRL_sign(crl, signer, digest_for(signer)) > 0;
}

}  // namespace test_support
