#include "crypto/x509store/crl_scope.h"

#include <openssl/x509v3.h>

#include "crypto/cclib/owner.h"
#include "crypto/v3ext/v3ext_owners.h"
#include "crypto/x509store/x509v3_owners.h"

QCRYPTO_DECLARE_OWNER(ISSUING_DIST_POINT, ISSUING_DIST_POINT_free)

namespace qcrypto {
namespace {

// The CRL extensions this verifier processes or may pass over: a critical one
// of any other kind leaves the CRL unusable.
bool known_crl_extension(int nid) {
  switch (nid) {
    case NID_authority_key_identifier:
    case NID_issuer_alt_name:
    case NID_crl_number:
    case NID_delta_crl:
    case NID_issuing_distribution_point:
    case NID_freshest_crl:
    case NID_info_access:
      return true;
    default:
      return false;
  }
}

// Entry extensions: the reason and the invalidity date only qualify a
// revocation. A certificate issuer names another CA's certificate, which only
// an indirect CRL may list; critical, it cannot be passed over.
bool known_entry_extension(int nid) { return nid == NID_crl_reason || nid == NID_invalidity_date; }

bool critical_unknown(const STACK_OF(X509_EXTENSION) * exts, bool (*known)(int)) {
  for (int i = 0; i < sk_X509_EXTENSION_num(exts); ++i) {
    X509_EXTENSION* ext = sk_X509_EXTENSION_value(exts, i);
    if (X509_EXTENSION_get_critical(ext) != 0 && !known(OBJ_obj2nid(X509_EXTENSION_get_object(ext)))) return true;
  }
  return false;
}

bool has_extension(const STACK_OF(X509_EXTENSION) * exts, int nid) {
  for (int i = 0; i < sk_X509_EXTENSION_num(exts); ++i)
    if (OBJ_obj2nid(X509_EXTENSION_get_object(sk_X509_EXTENSION_value(exts, i))) == nid) return true;
  return false;
}

// 1 when the certificate's basicConstraints asserts cA, 0 when it does not or
// is absent, -1 when it cannot be read (repeated or undecodable).
int asserts_ca(X509* cert) {
  int crit = 0;
  UniquePtr<BASIC_CONSTRAINTS> bc(
      static_cast<BASIC_CONSTRAINTS*>(X509_get_ext_d2i(cert, NID_basic_constraints, &crit, nullptr)));
  if (!bc) return crit == -1 ? 0 : -1;
  return bc->ca != 0 ? 1 : 0;
}

bool general_name_is(const GENERAL_NAME* g, const X509_NAME* dir) {
  return g->type == GEN_DIRNAME && X509_NAME_cmp(g->d.directoryName, dir) == 0;
}

// Distribution point names compared by what they name: a full name by its
// general names, a name relative to the issuer by the directory name it makes
// (resolved into `dpname` by DIST_POINT_set_dpname).
bool same_point(const DIST_POINT_NAME* a, const DIST_POINT_NAME* b) {
  if (a->type == 1 && b->type == 1)
    return a->dpname != nullptr && b->dpname != nullptr && X509_NAME_cmp(a->dpname, b->dpname) == 0;
  if (a->type == 1 || b->type == 1) {
    const DIST_POINT_NAME* rel = a->type == 1 ? a : b;
    const DIST_POINT_NAME* full = a->type == 1 ? b : a;
    if (rel->dpname == nullptr) return false;
    for (int i = 0; i < sk_GENERAL_NAME_num(full->name.fullname); ++i)
      if (general_name_is(sk_GENERAL_NAME_value(full->name.fullname, i), rel->dpname)) return true;
    return false;
  }
  for (int i = 0; i < sk_GENERAL_NAME_num(a->name.fullname); ++i)
    for (int k = 0; k < sk_GENERAL_NAME_num(b->name.fullname); ++k)
      if (GENERAL_NAME_cmp(sk_GENERAL_NAME_value(a->name.fullname, i), sk_GENERAL_NAME_value(b->name.fullname, k)) == 0)
        return true;
  return false;
}

// A CRL partitioned by distribution point covers only the certificates that
// name that point. A point of the certificate with a cRLIssuer is served by
// an indirect CRL only, so it never matches here.
bool names_point(X509* cert, X509_CRL* crl, DIST_POINT_NAME* idp_name) {
  if (DIST_POINT_set_dpname(idp_name, X509_CRL_get_issuer(crl)) != 1) return false;
  int crit = 0;
  UniquePtr<CRL_DIST_POINTS> dps(
      static_cast<CRL_DIST_POINTS*>(X509_get_ext_d2i(cert, NID_crl_distribution_points, &crit, nullptr)));
  for (int i = 0; i < sk_DIST_POINT_num(dps.get()); ++i) {
    DIST_POINT* dp = sk_DIST_POINT_value(dps.get(), i);
    if (dp->distpoint == nullptr || dp->CRLissuer != nullptr) continue;
    if (DIST_POINT_set_dpname(dp->distpoint, X509_get_issuer_name(cert)) != 1) continue;
    if (same_point(idp_name, dp->distpoint)) return true;
  }
  return false;
}

bool idp_covers(X509_CRL* crl, X509* cert) {
  int crit = 0;
  UniquePtr<ISSUING_DIST_POINT> idp(
      static_cast<ISSUING_DIST_POINT*>(X509_CRL_get_ext_d2i(crl, NID_issuing_distribution_point, &crit, nullptr)));
  if (!idp) return crit == -1;  // absent: the CRL covers every certificate of its issuer
  // Attribute certificates only, another CA's certificates too, or some
  // reasons only: none of them is this certificate's complete CRL.
  if (idp->onlyattr != 0 || idp->indirectCRL != 0 || idp->onlysomereasons != nullptr) return false;
  if (idp->onlyuser != 0 || idp->onlyCA != 0) {
    const int ca = asserts_ca(cert);
    if (ca < 0 || (idp->onlyuser != 0 && ca == 1) || (idp->onlyCA != 0 && ca == 0)) return false;
  }
  return idp->distpoint == nullptr || names_point(cert, crl, idp->distpoint);
}

}  // namespace

bool CRL_is_complete_for(X509_CRL* crl, X509* cert) {
  if (crl == nullptr || cert == nullptr) return false;
  const STACK_OF(X509_EXTENSION)* exts = X509_CRL_get0_extensions(crl);
  if (critical_unknown(exts, known_crl_extension)) return false;
  // A delta lists only the changes since its base: its silence about a
  // certificate says nothing.
  if (has_extension(exts, NID_delta_crl)) return false;
  STACK_OF(X509_REVOKED)* entries = X509_CRL_get_REVOKED(crl);
  for (int i = 0; i < sk_X509_REVOKED_num(entries); ++i)
    if (critical_unknown(X509_REVOKED_get0_extensions(sk_X509_REVOKED_value(entries, i)), known_entry_extension))
      return false;
  return idp_covers(crl, cert);
}

}  // namespace qcrypto
