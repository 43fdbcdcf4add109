#include "r3410_test_util.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace qcrypto::testing {

std::vector<unsigned char> Bytes(const BIGNUM* b, int width) {
  std::vector<unsigned char> out(static_cast<size_t>(width));
  if (BN_bn2binpad(b, out.data(), width) != width) throw std::runtime_error("number too wide");
  return out;
}

KeyPtr MakeKey(const BIGNUM* p, const BIGNUM* q, const BIGNUM* a, const BIGNUM* x) {
  KeyPtr key(GOSTS_new());
  if (!key) throw std::runtime_error("GOSTS_new");
  if (p != nullptr) key->p = BN_dup(p);
  if (q != nullptr) key->q = BN_dup(q);
  if (a != nullptr) key->a = BN_dup(a);
  if (x != nullptr) {
    key->x = BN_dup(x);
    if (R3410_generate_pubkey(key.get()) != 1) throw std::runtime_error("R3410_generate_pubkey");
  }
  return key;
}

KeyPtr MakeBuiltinKey() {
  KeyPtr key(GOSTS_new());
  if (!key || R3410_default_params(key.get()) != 1) throw std::runtime_error("R3410_default_params");
  key->x = BN_new();
  do {
    BN_rand_range(key->x, key->q);
  } while (BN_is_zero(key->x));
  if (R3410_generate_pubkey(key.get()) != 1) throw std::runtime_error("R3410_generate_pubkey");
  return key;
}

std::map<std::string, VectorSection> LoadVectors() {
  std::ifstream in(std::string(DOSSAR_VECTORS_DIR) + "/gost3410-94_examples.txt");
  if (!in) throw std::runtime_error("vectors file missing");
  std::map<std::string, VectorSection> out;
  std::string section = "example";
  std::string line;
  while (std::getline(in, line)) {
    // The example's digest is given only in a comment line.
    const std::string kDigestNote = "# Digest bytes as the test hands them to the signer: ";
    if (line.rfind(kDigestNote, 0) == 0) {
      out[section]["digest"] = line.substr(kDigestNote.size());
      continue;
    }
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      const auto sp = line.find(' ');
      section = line.substr(1, (sp == std::string::npos ? line.find(']') : sp) - 1);
      continue;
    }
    const auto eq = line.find(" = ");
    if (eq == std::string::npos) continue;
    out[section][line.substr(0, eq)] = line.substr(eq + 3);
  }
  return out;
}

bool OracleVerifies(const BIGNUM* p, const BIGNUM* q, const BIGNUM* a, const BIGNUM* y, const BIGNUM* r,
                    const BIGNUM* s, const BIGNUM* m) {
  BnCtxPtr ctx(BN_CTX_new());
  BnPtr v(BN_new()), z1(BN_new()), z2(BN_new()), t1(BN_new()), t2(BN_new()), u(BN_new()), mm(BN_new());
  BN_nnmod(mm.get(), m, q, ctx.get());
  if (BN_is_zero(mm.get())) BN_one(mm.get());
  if (!BN_mod_inverse(v.get(), mm.get(), q, ctx.get())) return false;
  BN_mod_mul(z1.get(), s, v.get(), q, ctx.get());
  BN_sub(z2.get(), q, r);
  BN_mod_mul(z2.get(), z2.get(), v.get(), q, ctx.get());
  BN_mod_exp(t1.get(), a, z1.get(), p, ctx.get());
  BN_mod_exp(t2.get(), y, z2.get(), p, ctx.get());
  BN_mod_mul(u.get(), t1.get(), t2.get(), p, ctx.get());
  BN_nnmod(u.get(), u.get(), q, ctx.get());
  return BN_cmp(u.get(), r) == 0;
}

}  // namespace qcrypto::testing
