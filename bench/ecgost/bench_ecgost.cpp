// GOST R 34.10-2001 on the built-in curve 191: signatures, verifications and
// key agreements per second on one core.
#include <benchmark/benchmark.h>
#include <sys/random.h>

#include <memory>
#include <vector>

#include "crypto/ecgost/ecdh.h"
#include "crypto/ecgost/ecgost.h"
#include "crypto/rand/rand.h"

namespace qcrypto {
namespace {

int SystemBytes(unsigned char* buffer, int length) {
  int got = 0;
  while (got < length) {
    ssize_t r = getrandom(buffer + got, static_cast<size_t>(length - got), 0);
    if (r > 0) got += static_cast<int>(r);
  }
  return length;
}
const RAND_METHOD kSystemRand = {nullptr, SystemBytes, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

struct Fixture {
  UniquePtr<ECURVE> curve;
  UniquePtr<ECGOST> key;
  unsigned char digest[32];
};

Fixture MakeFixture(int kind) {
  RAND_set_rand_method(&kSystemRand);
  Fixture f;
  f.curve.reset(ECURVE_init(&ECURVE_DEF_191, kind));
  f.key.reset(ECGOST_new(f.curve.get()));
  BN_hex2bn(&f.key->d, "5D1C3E0A5B7F0D2E4C6A8B9F1E3D5C7B9A0F2E4D6C8B1A3F5E7D9C0B2A4F6E81");
  ECGOST_generate_pubkey(f.key.get());
  SystemBytes(f.digest, 32);
  return f;
}

void BM_Sign(benchmark::State& state) {
  Fixture f = MakeFixture(static_cast<int>(state.range(0)));
  unsigned char out[72];
  unsigned int len = 0;
  for (auto _ : state) {
    if (!ECGOST_sign_digest(1, f.key.get(), f.digest, 32, out, &len)) state.SkipWithError("sign failed");
    benchmark::DoNotOptimize(out);
  }
  state.counters["sign/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Sign)->Arg(ECURVE_PROJECTIVE)->Arg(ECURVE_AFFINE);

void BM_Verify(benchmark::State& state) {
  Fixture f = MakeFixture(static_cast<int>(state.range(0)));
  unsigned char out[72];
  unsigned int len = 0;
  ECGOST_sign_digest(1, f.key.get(), f.digest, 32, out, &len);
  for (auto _ : state) {
    if (ECGOST_verify_digest(1, f.key.get(), f.digest, 32, out, static_cast<int>(len)) != 1) {
      state.SkipWithError("verify failed");
    }
  }
  state.counters["verify/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Verify)->Arg(ECURVE_PROJECTIVE)->Arg(ECURVE_AFFINE);

// One agreement: the recipient's side with its signing key's object (mode 2
// on this curve: no order check) against a fresh peer point.
void BM_Agree(benchmark::State& state) {
  Fixture f = MakeFixture(ECURVE_PROJECTIVE);
  UniquePtr<ECDH> own(ECGOST_to_ECDH(f.key.get()));
  UniquePtr<ECDH> peer(ECDH_new(f.curve.get(), 0));
  ECDH_generate_key(peer.get());
  for (auto _ : state) {
    if (!ECDH_compute_key(peer->public_key, own.get())) state.SkipWithError("agreement failed");
  }
  state.counters["agree/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Agree);

// Mode 0: the peer's order is checked with a second multiplication.
void BM_AgreeOrderChecked(benchmark::State& state) {
  Fixture f = MakeFixture(ECURVE_PROJECTIVE);
  UniquePtr<ECDH> own(ECDH_new(f.curve.get(), 0));
  UniquePtr<ECDH> peer(ECDH_new(f.curve.get(), 0));
  ECDH_generate_key(own.get());
  ECDH_generate_key(peer.get());
  for (auto _ : state) {
    if (!ECDH_compute_key(peer->public_key, own.get())) state.SkipWithError("agreement failed");
  }
  state.counters["agree/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_AgreeOrderChecked);

// The sender's whole side: a fresh ephemeral pair and the agreement.
void BM_AgreeEphemeral(benchmark::State& state) {
  Fixture f = MakeFixture(ECURVE_PROJECTIVE);
  for (auto _ : state) {
    UniquePtr<ECDH> eph(ECDH_new(f.curve.get(), 2));
    if (!ECDH_generate_key(eph.get()) || !ECDH_compute_key(f.key->Q, eph.get())) {
      state.SkipWithError("agreement failed");
    }
  }
  state.counters["agree/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_AgreeEphemeral);

// The curve operations alone that verification and agreement are built on,
// to tell their cost from the code around them.
void BM_MulGeneratorSum(benchmark::State& state) {
  Fixture f = MakeFixture(ECURVE_PROJECTIVE);
  BIGNUM* k1 = BN_new();
  BIGNUM* k2 = BN_new();
  BN_hex2bn(&k1, "8A4F1C7E2D5B3A6978E1F0C2D4B6A8F1E3C5B7D9A0B2C4E6F8A1B3C5D7E9F0A2");
  BN_hex2bn(&k2, "6C3E5A7B9D1F2E4A6C8B0D2F4E6A8C0B1D3F5E7A9C2B4D6F8E0A1C3B5D7F9E1B");
  ECPOINT* c = ECPOINT_new(f.curve.get());
  for (auto _ : state) {
    if (!ECPOINT_mul_generator_sum(c, k1, f.key->Q, k2)) state.SkipWithError("failed");
  }
  ECPOINT_free(c);
  BN_free(k1);
  BN_free(k2);
}
BENCHMARK(BM_MulGeneratorSum);

void BM_MulPoint(benchmark::State& state) {
  Fixture f = MakeFixture(ECURVE_PROJECTIVE);
  BIGNUM* k = BN_new();
  BN_hex2bn(&k, "8A4F1C7E2D5B3A6978E1F0C2D4B6A8F1E3C5B7D9A0B2C4E6F8A1B3C5D7E9F0A2");
  ECPOINT* c = ECPOINT_new(f.curve.get());
  for (auto _ : state) {
    ECPOINT_copy(c, f.key->Q);
    if (!ECPOINT_mul(c, k)) state.SkipWithError("failed");
  }
  ECPOINT_free(c);
  BN_clear_free(k);
}
BENCHMARK(BM_MulPoint);

void BM_PubkeyCheck(benchmark::State& state) {
  Fixture f = MakeFixture(ECURVE_PROJECTIVE);
  for (auto _ : state) {
    if (!ECGOST_is_pubkey_valid(f.key->Q, 0)) state.SkipWithError("failed");
  }
}
BENCHMARK(BM_PubkeyCheck);

void BM_GeneratePubkey(benchmark::State& state) {
  Fixture f = MakeFixture(ECURVE_PROJECTIVE);
  for (auto _ : state) {
    if (!ECGOST_generate_pubkey(f.key.get())) state.SkipWithError("derivation failed");
  }
}
BENCHMARK(BM_GeneratePubkey);

}  // namespace
}  // namespace qcrypto

BENCHMARK_MAIN();
