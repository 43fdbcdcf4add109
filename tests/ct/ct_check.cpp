// Constant-time check, run under valgrind's memcheck: each case marks its
// secrets undefined (crypto/cclib/ct.h) and runs one operation; a branch or a
// memory address that depends on a secret is then reported as a use of an
// uninitialised value and valgrind exits with an error. The library marks
// values public where they legitimately become public (signature halves, the
// public key, the agreed value, redraw decisions).
//
// Each case also checks its result (a signature verifies, a key or a cipher
// text equals the one computed without marking), so a case cannot pass by
// doing nothing.
//
//   ct_check <case>     runs one case; exit status 0 = result correct
//   ct_check --list     prints the case names
#include <openssl/bn.h>
#include <sys/random.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "crypto/bn/bn_owner.h"
#include "crypto/cclib/ct.h"
#include "crypto/ec/ecurve.h"
#include "crypto/ecgost/ecdh.h"
#include "crypto/ecgost/ecgost.h"
#include "crypto/pkcs7/recip_info.h"
#include "crypto/r3410/r3410.h"
#include "crypto/rand/rand.h"
#include "crypto/rus/gost28147.h"
#include "crypto/rus/gost28147_multi.h"
#include "crypto/rus/gost3411.h"
#include "tests/support/rsa_forge.h"

namespace qcrypto {
namespace {

// ---------------------------------------------------------------------------
// Randomness: nonces come from the system generator through the library's
// random layer; the library marks each draw secret once it is made.

void SystemBytes(unsigned char* out, size_t n) {
  size_t got = 0;
  while (got < n) {
    const ssize_t r = getrandom(out + got, n - got, 0);
    if (r > 0) got += static_cast<size_t>(r);
  }
}
int SystemRand(unsigned char* buffer, int length) {
  SystemBytes(buffer, static_cast<size_t>(length));
  return length;
}
const RAND_METHOD kSystemRand = {nullptr, SystemRand, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

std::vector<unsigned char> Random(size_t n) {
  std::vector<unsigned char> v(n);
  SystemBytes(v.data(), n);
  return v;
}

BnPtr RandomBelow(const BIGNUM* q) {
  BnPtr v(BN_new());
  do {
    auto bytes = Random(static_cast<size_t>(BN_num_bytes(q)));
    BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), v.get());
    BN_mask_bits(v.get(), BN_num_bits(q));
  } while (BN_is_zero(v.get()) || BN_cmp(v.get(), q) >= 0);
  return v;
}

bool Fail(const char* what) {
  std::fprintf(stderr, "ct_check: %s\n", what);
  return false;
}

// ---------------------------------------------------------------------------
// GOST R 34.10-2001

using CurvePtr = UniquePtr<ECURVE>;
using EcgostPtr = UniquePtr<ECGOST>;

EcgostPtr EcKey(ECURVE* curve) {
  EcgostPtr key(ECGOST_new(curve));
  if (key == nullptr) return nullptr;
  BnPtr d = RandomBelow(curve->q);
  if (BN_copy(key->d, d.get()) == nullptr || ECGOST_generate_pubkey(key.get()) != 1) return nullptr;
  return key;
}

bool EcgostSign(const ECURVE_DEF* def, int kind) {
  CurvePtr curve(ECURVE_init(def, kind));
  if (curve == nullptr) return Fail("curve");
  EcgostPtr key = EcKey(curve.get());
  if (key == nullptr) return Fail("key");
  auto digest = Random(32);
  ct_secret_bn(key->d);
  UniquePtr<ECGOST_SIG> sig(ECGOST_do_sign(digest.data(), 32, key.get()));
  if (sig == nullptr) return Fail("sign");
  return ECGOST_do_verify(digest.data(), 32, sig.get(), key.get()) == 1 || Fail("verify");
}

bool EcgostSign191() { return EcgostSign(&ECURVE_DEF_191, ECURVE_PROJECTIVE); }
bool EcgostSign191Affine() { return EcgostSign(&ECURVE_DEF_191, ECURVE_AFFINE); }
bool EcgostSign255() { return EcgostSign(&ECURVE_DEF_2_255_431, ECURVE_PROJECTIVE); }

bool EcgostPubkey() {
  CurvePtr curve(ECURVE_init(&ECURVE_DEF_191, ECURVE_PROJECTIVE));
  if (curve == nullptr) return Fail("curve");
  EcgostPtr reference = EcKey(curve.get());
  EcgostPtr key(ECGOST_new(curve.get()));
  if (reference == nullptr || key == nullptr || BN_copy(key->d, reference->d) == nullptr) return Fail("key");
  ct_secret_bn(key->d);
  if (ECGOST_generate_pubkey(key.get()) != 1) return Fail("generate_pubkey");
  return ECPOINT_cmp(key->Q, reference->Q) == 0 || Fail("public point differs");
}

bool EcdhAgree() {
  CurvePtr curve(ECURVE_init(&ECURVE_DEF_191, ECURVE_PROJECTIVE));
  if (curve == nullptr) return Fail("curve");
  UniquePtr<ECDH> ours(ECDH_new(curve.get(), ECDH_MODE_PLAIN));
  UniquePtr<ECDH> peer(ECDH_new(curve.get(), ECDH_MODE_PLAIN));
  if (ours == nullptr || peer == nullptr || ECDH_generate_key(ours.get()) != 1 || ECDH_generate_key(peer.get()) != 1) {
    return Fail("ecdh keys");
  }
  // The peer's side, unmarked, is the expected value.
  if (ECDH_compute_key(ours->public_key, peer.get()) != 1) return Fail("peer agreement");
  ct_secret_bn(ours->private_key);
  if (ECDH_compute_key(peer->public_key, ours.get()) != 1) return Fail("agreement");
  return BN_cmp(ours->shared, peer->shared) == 0 || Fail("agreed values differ");
}

// ---------------------------------------------------------------------------
// GOST R 34.10-94 with the built-in parameters

using R3410Ptr = UniquePtr<R3410>;

R3410Ptr R3410Key() {
  R3410Ptr key(GOSTS_new());
  if (key == nullptr || R3410_default_params(key.get()) != 1) return nullptr;
  BnPtr x = RandomBelow(key->q);
  key->x = BN_dup(x.get());
  if (key->x == nullptr || R3410_generate_pubkey(key.get()) != 1) return nullptr;
  return key;
}

bool R3410SignWith(R3410* key) {
  auto digest = Random(32);
  R3410_SIG* sig = GOSTS_do_sign(key, digest.data(), 32);
  if (sig == nullptr) return Fail("sign");
  const int valid = GOSTS_do_verify(sig, key, digest.data(), 32);
  R3410_SIG_free(sig);
  return valid == 1 || Fail("verify");
}

bool R3410Sign() {
  R3410Ptr key = R3410Key();
  if (key == nullptr) return Fail("key");
  ct_secret_bn(key->x);
  return R3410SignWith(key.get());
}

// The private number held only in the 32-byte buffer.
bool R3410SignSecretBuffer() {
  R3410Ptr key = R3410Key();
  if (key == nullptr) return Fail("key");
  key->secret = static_cast<unsigned char*>(OPENSSL_malloc(32));
  if (key->secret == nullptr || BN_bn2binpad(key->x, key->secret, 32) != 32) return Fail("secret buffer");
  BN_clear_free(key->x);
  key->x = BN_new();  // present (signing asks for it) but not the key
  BN_one(key->x);
  QCRYPTO_CT_SECRET(key->secret, 32);
  return R3410SignWith(key.get());
}

bool R3410Pubkey() {
  R3410Ptr reference = R3410Key();
  R3410Ptr key(GOSTS_new());
  if (reference == nullptr || key == nullptr || R3410_default_params(key.get()) != 1) return Fail("key");
  key->x = BN_dup(reference->x);
  if (key->x == nullptr) return Fail("copy");
  ct_secret_bn(key->x);
  if (R3410_generate_pubkey(key.get()) != 1) return Fail("generate_pubkey");
  return BN_cmp(key->y, reference->y) == 0 || Fail("public key differs");
}

// ---------------------------------------------------------------------------
// GOST 28147-89 on the AVX2 byte-sliced batch path (32 blocks per batch).
// The rounds outside the batches (initialisation, tails) run on the
// dispatched constant-time round: under valgrind, which offers no AVX-512,
// that is the byte-shuffle round.

constexpr size_t kBlocks = 64;

using GostePtr = UniquePtr<GOSTE_CTX>;

bool RequireAvx2() {
  gost_detail::set_path(gost_detail::Path::kAvx2);
  if (!gost_detail::avx2_selected()) return Fail("the AVX2 path is not available here");
  return true;
}

bool GostEcb() {
  if (!RequireAvx2()) return false;
  auto key = Random(32);
  auto plain = Random(kBlocks * 8);
  std::vector<unsigned char> expected(plain.size()), out(plain.size());
  GostePtr ref(GOSTE_new()), ctx(GOSTE_new());
  if (ref == nullptr || ctx == nullptr || GOSTE_ss_init(ref.get(), 1, key.data(), nullptr) != 1 ||
      GOSTE_ss_update(ref.get(), plain.data(), expected.data(), static_cast<int>(kBlocks)) !=
          static_cast<int>(kBlocks)) {
    return Fail("reference encryption");
  }
  QCRYPTO_CT_SECRET(key.data(), key.size());
  QCRYPTO_CT_SECRET(plain.data(), plain.size());
  if (GOSTE_ss_init(ctx.get(), 1, key.data(), nullptr) != 1 ||
      GOSTE_ss_update(ctx.get(), plain.data(), out.data(), static_cast<int>(kBlocks)) != static_cast<int>(kBlocks)) {
    return Fail("encryption");
  }
  QCRYPTO_CT_DECLASSIFY(out.data(), out.size());  // cipher text is public
  return out == expected || Fail("cipher text differs");
}

bool GostEcbDecrypt() {
  if (!RequireAvx2()) return false;
  auto key = Random(32);
  auto cipher = Random(kBlocks * 8);
  std::vector<unsigned char> expected(cipher.size()), out(cipher.size());
  GostePtr ref(GOSTE_new()), ctx(GOSTE_new());
  if (ref == nullptr || ctx == nullptr || GOSTE_ss_init(ref.get(), 0, key.data(), nullptr) != 1 ||
      GOSTE_ss_update(ref.get(), cipher.data(), expected.data(), static_cast<int>(kBlocks)) !=
          static_cast<int>(kBlocks)) {
    return Fail("reference decryption");
  }
  QCRYPTO_CT_SECRET(key.data(), key.size());
  if (GOSTE_ss_init(ctx.get(), 0, key.data(), nullptr) != 1 ||
      GOSTE_ss_update(ctx.get(), cipher.data(), out.data(), static_cast<int>(kBlocks)) != static_cast<int>(kBlocks)) {
    return Fail("decryption");
  }
  QCRYPTO_CT_DECLASSIFY(out.data(), out.size());
  return out == expected || Fail("plain text differs");
}

// Counter mode: the initial counter and the first gamma block are made from
// the IV with serial block encryptions (left out above), so the key, the
// counter and that block are marked after the initialisation. The first 8
// bytes use the block already made; the next kBlocks go through the batch path.
bool GostGamma() {
  if (!RequireAvx2()) return false;
  auto key = Random(32);
  auto iv = Random(8);
  auto plain = Random(8 + kBlocks * 8);
  std::vector<unsigned char> expected(plain.size()), out(plain.size());
  GostePtr ref(GOSTE_new()), ctx(GOSTE_new());
  if (ref == nullptr || ctx == nullptr || GOSTE_gamma_init(ref.get(), key.data(), iv.data(), nullptr) != 1 ||
      GOSTE_gamma_update(ref.get(), plain.data(), expected.data(), static_cast<int>(plain.size())) !=
          static_cast<int>(plain.size()) ||
      GOSTE_gamma_init(ctx.get(), key.data(), iv.data(), nullptr) != 1) {
    return Fail("gamma set-up");
  }
  QCRYPTO_CT_SECRET(ctx->key, sizeof ctx->key);
  QCRYPTO_CT_SECRET(&ctx->N3, sizeof ctx->N3);
  QCRYPTO_CT_SECRET(&ctx->N4, sizeof ctx->N4);
  QCRYPTO_CT_SECRET(&ctx->N1, sizeof ctx->N1);
  QCRYPTO_CT_SECRET(&ctx->N2, sizeof ctx->N2);
  QCRYPTO_CT_SECRET(plain.data(), plain.size());
  if (GOSTE_gamma_update(ctx.get(), plain.data(), out.data(), static_cast<int>(plain.size())) !=
      static_cast<int>(plain.size())) {
    return Fail("gamma");
  }
  QCRYPTO_CT_DECLASSIFY(out.data(), out.size());
  return out == expected || Fail("cipher text differs");
}

// ---------------------------------------------------------------------------
// RSA key transport: the decrypted block (marked by the library once the
// private operation is done) and the random replacement key are secret; the
// choice between the block's key and the replacement must not branch on
// either, for a forged block as for a well-formed one.

bool RsaCekImplicitRejection() {
  UniquePtr<EVP_PKEY> key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(1024)));
  if (key == nullptr) return Fail("rsa key");
  const size_t k = static_cast<size_t>(EVP_PKEY_get_size(key.get()));
  constexpr size_t kKeyLen = 32;
  UniquePtr<PKCS7_RECIP_INFO> ri(PKCS7_RECIP_INFO_new());
  if (ri == nullptr || (ri->enc_key = ASN1_OCTET_STRING_new()) == nullptr) return Fail("recipient");
  for (test_support::RsaForgery f : test_support::kAllRsaForgeries) {
    const std::vector<unsigned char> block = test_support::forged_block(k, kKeyLen, f);
    const std::vector<unsigned char> enc = test_support::rsa_raw_encrypt(key.get(), block);
    if (enc.empty() || ASN1_OCTET_STRING_set(ri->enc_key, enc.data(), static_cast<int>(enc.size())) != 1) {
      return Fail("forged key");
    }
    const std::vector<unsigned char> fallback = Random(kKeyLen);
    std::vector<unsigned char> marked = fallback;
    std::vector<unsigned char> out(kKeyLen);
    QCRYPTO_CT_SECRET(marked.data(), marked.size());
    const int n = pkcs7_cek_decrypt_rsa(key.get(), ri.get(), out.data(), static_cast<int>(kKeyLen), marked.data());
    QCRYPTO_CT_DECLASSIFY(out.data(), out.size());
    if (n != static_cast<int>(kKeyLen)) return Fail("rsa cek length");
    const bool well_formed = f == test_support::RsaForgery::kWrongKey;
    const std::vector<unsigned char> expected =
        well_formed ? std::vector<unsigned char>(block.end() - kKeyLen, block.end()) : fallback;
    if (out != expected) return Fail(well_formed ? "block's key not taken" : "replacement key not taken");
  }
  return true;
}

// GOST 28147-89 serial paths and the hash on the byte-shuffle round (the
// AVX-512 round is held to it by the differential tests): single-block
// initialisation, feedback gamma (serial), the MAC (serial), the multi-block
// code of ECB, gamma and feedback decryption in its vector lanes, and the
// hash, whose step keys come from the message. Key, IV and data are marked;
// a partial last block takes the byte paths as well.

constexpr size_t kSerialBytes = 13 * 8 + 3;

struct GostInputs {
  std::vector<unsigned char> key = Random(32), iv = Random(8), data = Random(kSerialBytes);
};

using GostRun = std::vector<unsigned char> (*)(GostInputs& in);

// The expected bytes come from the table round with nothing marked; then the
// round under test runs on the marked inputs and its output is made public.
// Dispatched: what the library chooses by itself on this (valgrind's) CPU,
// which must be a constant-time round.
bool MarkedRun(GostRun run, gost_detail::Path path, gost_detail::RoundPath round) {
  GostInputs in;
  gost_detail::set_path(gost_detail::Path::kPortable);
  gost_detail::set_round_path(gost_detail::RoundPath::kTable);
  const std::vector<unsigned char> expected = run(in);
  gost_detail::set_path(path);
  gost_detail::set_round_path(round);
  if (gost_detail::ct_round() != &gost_detail::kShuffleRound) return Fail("the byte-shuffle round is not selected");
  QCRYPTO_CT_SECRET(in.key.data(), in.key.size());
  QCRYPTO_CT_SECRET(in.iv.data(), in.iv.size());
  QCRYPTO_CT_SECRET(in.data.data(), in.data.size());
  std::vector<unsigned char> out = run(in);
  QCRYPTO_CT_DECLASSIFY(out.data(), out.size());
  if (out.empty()) return Fail("no output");
  return out == expected || Fail("output differs from the table round");
}

int Len(const std::vector<unsigned char>& v) { return static_cast<int>(v.size()); }

std::vector<unsigned char> RunFeedbackEncrypt(GostInputs& in) {
  GostePtr ctx(GOSTE_new());
  std::vector<unsigned char> out(in.data.size());
  if (ctx == nullptr || GOSTE_gamma_fb_init(ctx.get(), in.key.data(), in.iv.data(), nullptr) != 1 ||
      GOSTE_gamma_fbe_update(ctx.get(), in.data.data(), out.data(), Len(out)) != Len(out)) {
    return {};
  }
  return out;
}

std::vector<unsigned char> RunFeedbackDecrypt(GostInputs& in) {
  GostePtr ctx(GOSTE_new());
  std::vector<unsigned char> out(in.data.size());
  if (ctx == nullptr || GOSTE_gamma_fb_init(ctx.get(), in.key.data(), in.iv.data(), nullptr) != 1 ||
      GOSTE_gamma_fbd_update(ctx.get(), in.data.data(), out.data(), Len(out)) != Len(out)) {
    return {};
  }
  return out;
}

std::vector<unsigned char> RunGamma(GostInputs& in) {
  GostePtr ctx(GOSTE_new());
  std::vector<unsigned char> out(in.data.size());
  if (ctx == nullptr || GOSTE_gamma_init(ctx.get(), in.key.data(), in.iv.data(), nullptr) != 1 ||
      GOSTE_gamma_update(ctx.get(), in.data.data(), out.data(), Len(out)) != Len(out)) {
    return {};
  }
  return out;
}

// Encryption, then decryption of the cipher text: both directions' lanes.
std::vector<unsigned char> RunEcb(GostInputs& in) {
  GostePtr ctx(GOSTE_new());
  const int whole = Len(in.data) / 8 * 8;
  std::vector<unsigned char> cipher(static_cast<size_t>(whole)), plain(cipher.size());
  if (ctx == nullptr || GOSTE_ss_init(ctx.get(), 1, in.key.data(), nullptr) != 1 ||
      GOSTE_ss_cipher(ctx.get(), in.data.data(), cipher.data(), whole) != whole ||
      GOSTE_ss_init(ctx.get(), 0, in.key.data(), nullptr) != 1 ||
      GOSTE_ss_cipher(ctx.get(), cipher.data(), plain.data(), whole) != whole) {
    return {};
  }
  cipher.insert(cipher.end(), plain.begin(), plain.end());
  return cipher;
}

std::vector<unsigned char> RunMac(GostInputs& in) {
  GostePtr ctx(GOSTE_new());
  std::vector<unsigned char> out(4);
  if (ctx == nullptr ||
      GOSTE_mac(ctx.get(), in.data.data(), Len(in.data), in.key.data(), nullptr, out.data()) != out.data()) {
    return {};
  }
  return out;
}

// The message is the secret; the start vector too.
std::vector<unsigned char> RunHash(GostInputs& in) {
  std::vector<unsigned char> out(GOSTH_DIGEST_BYTES);
  std::vector<unsigned char> message = in.data;
  message.insert(message.end(), in.key.begin(), in.key.end());  // a few whole blocks and a partial one
  if (GOSTH_digest(message.data(), Len(message), in.key.data(), nullptr, out.data()) != out.data()) return {};
  return out;
}

bool ShuffleRound(GostRun run) {
  return MarkedRun(run, gost_detail::Path::kPortable, gost_detail::RoundPath::kShuffle);
}
bool Dispatched(GostRun run) { return MarkedRun(run, gost_detail::Path::kAuto, gost_detail::RoundPath::kAuto); }

bool GostShuffleFeedbackEncrypt() { return ShuffleRound(RunFeedbackEncrypt); }
bool GostShuffleFeedbackDecrypt() { return ShuffleRound(RunFeedbackDecrypt); }
bool GostShuffleGamma() { return ShuffleRound(RunGamma); }
bool GostShuffleEcb() { return ShuffleRound(RunEcb); }
bool GostShuffleMac() { return ShuffleRound(RunMac); }
bool GostShuffleHash() { return ShuffleRound(RunHash); }
bool GostDispatchedFeedbackEncrypt() { return Dispatched(RunFeedbackEncrypt); }
bool GostDispatchedMac() { return Dispatched(RunMac); }
bool GostDispatchedHash() { return Dispatched(RunHash); }

// ---------------------------------------------------------------------------
// Controls: code that does depend on a secret must be reported. The test of
// each control passes only when valgrind's report appears in the output.

__attribute__((noinline)) int BranchOn(const volatile unsigned char* p) { return *p > 0x80 ? 1 : 2; }
__attribute__((noinline)) int IndexBy(const unsigned char* table, const volatile unsigned char* p) { return table[*p]; }

bool ControlBranch() {
  auto secret = Random(1);
  QCRYPTO_CT_SECRET(secret.data(), 1);
  const int r = BranchOn(secret.data());
  QCRYPTO_CT_DECLASSIFY(secret.data(), 1);
  return r == (secret[0] > 0x80 ? 1 : 2);
}

bool ControlIndex() {
  static unsigned char table[256];
  for (int i = 0; i < 256; ++i) table[i] = static_cast<unsigned char>(i ^ 0x5A);
  auto secret = Random(1);
  QCRYPTO_CT_SECRET(secret.data(), 1);
  int r = IndexBy(table, secret.data());
  QCRYPTO_CT_DECLASSIFY(&r, sizeof r);
  QCRYPTO_CT_DECLASSIFY(secret.data(), 1);
  return r == (secret[0] ^ 0x5A);
}

struct Case {
  const char* name;
  bool (*run)();
};

constexpr Case kCases[] = {
    {"ecgost_sign_191", EcgostSign191},
    {"ecgost_sign_191_affine", EcgostSign191Affine},
    {"ecgost_sign_2_255_431", EcgostSign255},
    {"ecgost_pubkey", EcgostPubkey},
    {"ecdh_compute_key", EcdhAgree},
    {"r3410_sign", R3410Sign},
    {"r3410_sign_secret_buffer", R3410SignSecretBuffer},
    {"r3410_pubkey", R3410Pubkey},
    {"gost28147_ecb_encrypt_avx2", GostEcb},
    {"gost28147_ecb_decrypt_avx2", GostEcbDecrypt},
    {"gost28147_gamma_avx2", GostGamma},
    {"rsa_cek_implicit_rejection", RsaCekImplicitRejection},
    // Serial modes (single block, feedback gamma, MAC): not constant time yet.
    {"gost28147_fbe_shuffle", GostShuffleFeedbackEncrypt},
    {"gost28147_fbd_shuffle", GostShuffleFeedbackDecrypt},
    {"gost28147_gamma_shuffle", GostShuffleGamma},
    {"gost28147_ecb_shuffle", GostShuffleEcb},
    {"gost28147_mac_shuffle", GostShuffleMac},
    {"gost3411_digest_shuffle", GostShuffleHash},
    {"gost28147_fbe_dispatched", GostDispatchedFeedbackEncrypt},
    {"gost28147_mac_dispatched", GostDispatchedMac},
    {"gost3411_digest_dispatched", GostDispatchedHash},
    {"control_branch", ControlBranch},
    {"control_index", ControlIndex},
};

}  // namespace
}  // namespace qcrypto

int main(int argc, char** argv) {
  using namespace qcrypto;
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <case> | --list\n", argv[0]);
    return 2;
  }
  const std::string_view wanted = argv[1];
  if (wanted == "--list") {
    for (const Case& c : kCases) std::printf("%s\n", c.name);
    return 0;
  }
  RAND_set_rand_method(&kSystemRand);
  for (const Case& c : kCases) {
    if (wanted == c.name) {
      const bool ok = c.run();
      RAND_set_rand_method(nullptr);
      std::printf("%s: %s\n", c.name, ok ? "ok" : "FAILED");
      return ok ? 0 : 1;
    }
  }
  std::fprintf(stderr, "unknown case %s\n", argv[1]);
  return 2;
}
