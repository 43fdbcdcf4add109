// Stand-in for the provider library "advapi32.dll": the four calls that sign
// a digest with a provider-held key, over a GOST R 34.10-94 or 34.10-2001
// private key that a test hands over in a file. It signs for real, with
// OpenSSL's own big-number and curve arithmetic (independent of the code it
// stands beside), and gives the signature the way the product expects a
// provider to: the DER SEQUENCE { r, s } with its bytes reversed.
//
// Driven by the environment, read at every call:
//   DOSSAR_STANDIN_CAPI      comma-separated list of
//     present      the provider holds the key (unset: no key, every
//                  CryptCreateHash fails)
//     fail=N       the N-th call on one hash object fails (1 create, 2 set
//                  value, 3 size query, 4 signing, 5 destroy)
//     oversize     the signature is 4096 bytes long
//     wronglen     signing claims 16 bytes more than the room it was given
//     short        signing writes one byte less than the size it announced
//     pattern=N    the "signature" is the bytes 1, 2, ..., N (N <= 255)
//   DOSSAR_STANDIN_CAPI_KEY  the key file: "name=value" lines with
//     scheme=94|2001, handle=<provider handle, decimal>, spec=<key spec>,
//     hex numbers p, q, x and, for 94, a (the base), for 2001, a, b, gx, gy
//     (the curve and its base point)
//   DOSSAR_STANDIN_LOG       one line per call, for tests of the protocol
// The digest is read as one big-endian number in the order it was given,
// as the product's own verification reads it.
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/ecdsa.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "crypto/capi/capi_abi.h"

#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using namespace qcrypto::capi_abi;

struct Control {
  bool present = false;
  long fail_at = 0;
  bool oversize = false;
  bool wrong_length = false;
  bool short_write = false;
  long pattern = 0;
};

Control read_control() {
  Control c;
  // A stand-in links no product library (so not platform::env); its controls are set before any
  // thread starts and nothing writes the environment afterwards.
  // NOLINTNEXTLINE(concurrency-mt-unsafe): the environment is fixed while threads run
  const char* env = std::getenv("DOSSAR_STANDIN_CAPI");
  if (env == nullptr) return c;
  const std::string text(env);
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = text.find(',', start);
    const std::string token = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (token == "present") c.present = true;
    if (token == "oversize") c.oversize = true;
    if (token == "wronglen") c.wrong_length = true;
    if (token == "short") c.short_write = true;
    if (token.rfind("fail=", 0) == 0) c.fail_at = std::strtol(token.c_str() + 5, nullptr, 10);
    if (token.rfind("pattern=", 0) == 0) c.pattern = std::clamp(std::strtol(token.c_str() + 8, nullptr, 10), 0L, 255L);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return c;
}

void log_call(const std::string& line) {
  // A stand-in links no product library (so not platform::env); its controls are set before any
  // thread starts and nothing writes the environment afterwards.
  // NOLINTNEXTLINE(concurrency-mt-unsafe): the environment is fixed while threads run
  const char* path = std::getenv("DOSSAR_STANDIN_LOG");
  if (path == nullptr) return;
  if (FILE* f = std::fopen(path, "a"); f != nullptr) {
    std::fprintf(f, "%s\n", line.c_str());
    std::fclose(f);
  }
}

std::map<std::string, std::string> read_key_file() {
  std::map<std::string, std::string> fields;
  // A stand-in links no product library (so not platform::env); its controls are set before any
  // thread starts and nothing writes the environment afterwards.
  // NOLINTNEXTLINE(concurrency-mt-unsafe): the environment is fixed while threads run
  const char* path = std::getenv("DOSSAR_STANDIN_CAPI_KEY");
  if (path == nullptr) return fields;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    const auto eq = line.find('=');
    if (eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return fields;
}

struct BnFree {
  void operator()(BIGNUM* b) const { BN_clear_free(b); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;

Bn hex_number(const std::map<std::string, std::string>& fields, const char* name) {
  const auto it = fields.find(name);
  if (it == fields.end()) return Bn();
  BIGNUM* b = nullptr;
  if (BN_hex2bn(&b, it->second.c_str()) == 0) return Bn();
  return Bn(b);
}

Bn fresh() { return Bn(BN_new()); }

// r, s as DER, or empty on any failure.
std::vector<unsigned char> der_signature(BIGNUM* r, BIGNUM* s) {
  std::vector<unsigned char> out;
  ECDSA_SIG* sig = ECDSA_SIG_new();
  if (sig == nullptr) return out;
  BIGNUM* rc = BN_dup(r);
  BIGNUM* sc = BN_dup(s);
  if (rc == nullptr || sc == nullptr || ECDSA_SIG_set0(sig, rc, sc) != 1) {
    BN_free(rc);
    BN_free(sc);
    ECDSA_SIG_free(sig);
    return out;
  }
  unsigned char* der = nullptr;
  const int n = i2d_ECDSA_SIG(sig, &der);
  if (n > 0) out.assign(der, der + n);
  OPENSSL_free(der);
  ECDSA_SIG_free(sig);
  return out;
}

// s = (x r + k e) mod q with r = (a^k mod p) mod q (94) or x(kG) mod q (2001).
std::vector<unsigned char> gost_sign(const std::map<std::string, std::string>& key,
                                     const std::vector<unsigned char>& digest) {
  const auto scheme = key.find("scheme");
  if (scheme == key.end()) return {};
  const bool ec = scheme->second == "2001";
  Bn p = hex_number(key, "p"), q = hex_number(key, "q"), a = hex_number(key, "a"), x = hex_number(key, "x");
  BN_CTX* ctx = BN_CTX_new();
  Bn e = fresh(), k = fresh(), r = fresh(), s = fresh(), t = fresh(), u = fresh();
  if (!p || !q || !a || !x || ctx == nullptr || !e || !k || !r || !s || !t || !u) {
    BN_CTX_free(ctx);
    return {};
  }
  EC_GROUP* group = nullptr;
  EC_POINT* point = nullptr;
  bool ok = BN_bin2bn(digest.data(), static_cast<int>(digest.size()), e.get()) != nullptr &&
            BN_nnmod(e.get(), e.get(), q.get(), ctx) == 1;
  if (ok && BN_is_zero(e.get())) ok = BN_one(e.get()) == 1;
  if (ok && ec) {
    Bn b = hex_number(key, "b"), gx = hex_number(key, "gx"), gy = hex_number(key, "gy");
    group = (b && gx && gy) ? EC_GROUP_new_curve_GFp(p.get(), a.get(), b.get(), ctx) : nullptr;
    EC_POINT* g = group != nullptr ? EC_POINT_new(group) : nullptr;
    ok = g != nullptr && EC_POINT_set_affine_coordinates(group, g, gx.get(), gy.get(), ctx) == 1 &&
         EC_GROUP_set_generator(group, g, q.get(), BN_value_one()) == 1;
    EC_POINT_free(g);
    point = ok ? EC_POINT_new(group) : nullptr;
    ok = point != nullptr;
  }
  std::vector<unsigned char> out;
  for (int attempt = 0; ok && attempt < 64 && out.empty(); ++attempt) {
    ok = BN_priv_rand_range(k.get(), q.get()) == 1;
    if (!ok || BN_is_zero(k.get())) continue;
    if (ec) {
      ok = EC_POINT_mul(group, point, k.get(), nullptr, nullptr, ctx) == 1 &&
           EC_POINT_get_affine_coordinates(group, point, r.get(), nullptr, ctx) == 1;
    } else {
      ok = BN_mod_exp(r.get(), a.get(), k.get(), p.get(), ctx) == 1;
    }
    ok = ok && BN_nnmod(r.get(), r.get(), q.get(), ctx) == 1;
    if (!ok || BN_is_zero(r.get())) continue;
    ok = BN_mod_mul(t.get(), x.get(), r.get(), q.get(), ctx) == 1 &&
         BN_mod_mul(u.get(), k.get(), e.get(), q.get(), ctx) == 1 &&
         BN_mod_add(s.get(), t.get(), u.get(), q.get(), ctx) == 1;
    if (ok && !BN_is_zero(s.get())) out = der_signature(r.get(), s.get());
  }
  EC_POINT_free(point);
  EC_GROUP_free(group);
  BN_CTX_free(ctx);
  return out;
}

int digest_size(ALG_ID alg) {
  switch (alg) {
    case 0x8003:
      return 16;
    case 0x8004:
      return 20;
    case 0x8008:
      return 36;
    case 0x8033:
      return 32;
    default:
      return 0;
  }
}

struct HashObject {
  ALG_ID alg = 0;
  std::string handle;
  std::vector<unsigned char> digest;
  std::vector<unsigned char> signature;  // provider order, made at the first signing call
  long calls = 1;                        // the create call
};

std::mutex g_mutex;
std::set<HashObject*> g_live;

// The object behind a handle, counting this call; null when the handle is
// unknown or the call is scripted to fail.
HashObject* take(HCRYPTHASH hash, const Control& c) {
  auto* object = reinterpret_cast<HashObject*>(hash);
  if (g_live.count(object) == 0) return nullptr;
  ++object->calls;
  return c.fail_at == object->calls ? nullptr : object;
}

}  // namespace

STANDIN_EXPORT BOOL CryptCreateHash(HCRYPTPROV provider, ALG_ID algorithm, HCRYPTKEY key, DWORD flags,
                                    HCRYPTHASH* hash) {
  char line[64];
  std::snprintf(line, sizeof line, "CryptCreateHash alg=%04x", algorithm);
  log_call(line);
  const Control c = read_control();
  if (hash == nullptr || !c.present || c.fail_at == 1 || key != 0 || flags != 0 || digest_size(algorithm) == 0) {
    return 0;
  }
  const auto fields = read_key_file();
  const auto handle = fields.find("handle");
  if (handle == fields.end() || handle->second != std::to_string(provider)) return 0;
  auto* object = new HashObject;
  object->alg = algorithm;
  std::lock_guard<std::mutex> lock(g_mutex);
  g_live.insert(object);
  *hash = reinterpret_cast<HCRYPTHASH>(object);
  return 1;
}

STANDIN_EXPORT BOOL CryptSetHashParam(HCRYPTHASH hash, DWORD parameter, const unsigned char* data, DWORD flags) {
  log_call("CryptSetHashParam");
  const Control c = read_control();
  std::lock_guard<std::mutex> lock(g_mutex);
  HashObject* object = take(hash, c);
  if (object == nullptr || parameter != HP_HASHVAL || data == nullptr || flags != 0) return 0;
  object->digest.assign(data, data + digest_size(object->alg));
  return 1;
}

STANDIN_EXPORT BOOL CryptSignHashA(HCRYPTHASH hash, DWORD key_spec, const char* description, DWORD flags,
                                   unsigned char* signature, DWORD* length) {
  log_call(signature == nullptr ? "CryptSignHashA size" : "CryptSignHashA sign");
  const Control c = read_control();
  std::lock_guard<std::mutex> lock(g_mutex);
  HashObject* object = take(hash, c);
  if (object == nullptr || length == nullptr || description != nullptr || flags != 0 || object->digest.empty()) {
    return 0;
  }
  if (object->signature.empty()) {
    const auto fields = read_key_file();
    const auto spec = fields.find("spec");
    // The key signs GOST hashes only, under its own key spec.
    if (object->alg != 0x8033 || spec == fields.end() || spec->second != std::to_string(key_spec)) return 0;
    if (c.pattern > 0) {
      for (long i = 1; i <= c.pattern; ++i) object->signature.push_back(static_cast<unsigned char>(i));
    } else {
      object->signature = gost_sign(fields, object->digest);
      if (object->signature.empty()) return 0;
      std::reverse(object->signature.begin(), object->signature.end());
      if (c.oversize) object->signature.resize(4096, 0x5a);
    }
  }
  const DWORD size = static_cast<DWORD>(object->signature.size());
  if (signature == nullptr) {
    *length = size;
    return 1;
  }
  if (*length < size) return 0;  // no room: the caller asks for the size first
  const DWORD give = c.short_write ? size - 1 : size;
  std::memcpy(signature, object->signature.data(), give);
  *length = c.wrong_length ? *length + 16 : give;
  return 1;
}

STANDIN_EXPORT BOOL CryptDestroyHash(HCRYPTHASH hash) {
  log_call("CryptDestroyHash");
  const Control c = read_control();
  std::lock_guard<std::mutex> lock(g_mutex);
  auto* object = reinterpret_cast<HashObject*>(hash);
  if (g_live.count(object) == 0) return 0;
  const bool fail = c.fail_at == object->calls + 1;
  // The object goes even when the call is scripted to fail, so a test run
  // leaks nothing.
  g_live.erase(object);
  delete object;
  return fail ? 0 : 1;
}
