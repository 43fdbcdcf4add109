// The rows of the system's objects table as run-time NIDs of OpenSSL.
#include <openssl/objects.h>

#include <array>
#include <atomic>
#include <mutex>

#include "crypto/evp/objects.h"

namespace qcrypto {
namespace {

constexpr int kLastNumber = SYSOBJ_Elliptic_Curve_Diffie_Hellman;

struct Registry {
  std::once_flag once;
  std::array<std::atomic<int>, kLastNumber + 1> nid{};
  std::atomic<int> ok{0};
};

Registry& registry() {
  static Registry r;
  return r;
}

// A name that OpenSSL already uses for any object cannot be given to a new
// one (OBJ_create refuses the whole row); the OID alone still makes it.
const char* free_name(const char* name) {
  if (name == nullptr) return nullptr;
  if (OBJ_sn2nid(name) != NID_undef || OBJ_ln2nid(name) != NID_undef) return nullptr;
  return name;
}

int nid_of_oid(const char* oid) {
  ASN1_OBJECT* obj = OBJ_txt2obj(oid, 1);
  if (obj == nullptr) return NID_undef;
  const int nid = OBJ_obj2nid(obj);
  ASN1_OBJECT_free(obj);
  return nid;
}

// A signature object whose digest is done inside the signature algorithm:
// the pair (signature, key) is registered with no digest.
bool add_sigid(int sig_number, int key_number) {
  const int sig = registry().nid[sig_number].load();
  const int key = registry().nid[key_number].load();
  if (sig == NID_undef || key == NID_undef) return false;
  int known_key = NID_undef;
  // Another copy of the library may have registered the pair already.
  if (OBJ_find_sigid_algs(sig, nullptr, &known_key) != 0) return known_key == key;
  return OBJ_add_sigid(sig, NID_undef, key) == 1;
}

void register_all() {
  Registry& r = registry();
  bool all = true;
  for (const auto& row : sysobj_rows()) {
    // By OID first: OpenSSL's own objects keep their NIDs, and a second copy
    // of this library finds what the first one created.
    int nid = nid_of_oid(row.oid);
    if (nid == NID_undef) nid = OBJ_create(row.oid, free_name(row.short_name), free_name(row.long_name));
    if (nid == NID_undef) nid = nid_of_oid(row.oid);  // created meanwhile by another copy
    if (nid == NID_undef) all = false;
    r.nid[row.number].store(nid);
  }
  all = add_sigid(SYSOBJ_R3410_R3411, SYSOBJ_R3410) && all;
  all = add_sigid(SYSOBJ_ECR3410_R3411, SYSOBJ_ECR3410) && all;
  r.ok.store(all ? 1 : 0);
}

}  // namespace

int sysobj_register() {
  Registry& r = registry();
  std::call_once(r.once, register_all);
  return r.ok.load();
}

int sysobj_nid(int number) {
  if (number >= 0 && number <= SYSOBJ_LAST_OPENSSL_NID) return number;
  if (number > kLastNumber || !sysobj_find(number)) return NID_undef;
  sysobj_register();
  return registry().nid[number].load();
}

int sysobj_number(int nid) {
  if (nid <= NID_undef) return 0;
  sysobj_register();
  for (const auto& row : sysobj_rows()) {
    if (registry().nid[row.number].load() == nid) return row.number;
  }
  return nid <= SYSOBJ_LAST_OPENSSL_NID ? nid : 0;
}

int EVP_PKEY_type(int type) {
  switch (type) {
    case 6:
    case 19:
      return 6;
    case 28:
      return 28;
    case 66:
    case 67:
    case 70:
    case 113:
    case 116:
      return 116;
    case SYSOBJ_R3410:
    case SYSOBJ_R3410_R3411:
      return SYSOBJ_R3410;
    case SYSOBJ_ECR3410:
    case SYSOBJ_ECR3410_R3411:
      return SYSOBJ_ECR3410;
    default:
      return 0;
  }
}

}  // namespace qcrypto
