// The toolkit's file encryption and decryption (RUS-GAMMAR, one RSA
// recipient, the key from the session) against the bare cipher over the same
// file in the same 4096-byte blocks, both outputs synced to disk, and the
// resident memory afterwards (maxrss_MiB: flat whatever the file size).
// DOSSAR_BENCH_QL_MIB sets the size (default 256).
#include <benchmark/benchmark.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "crypto/cclib/ossl_owners.h"
#include "crypto/pkcs7/envelope.h"
#include "crypto/prov/evp_gost.h"
#include "crypto/rand/rand.h"
#include "quillon2/ql_certinfo.h"
#include "quillon2/ql_crypt.h"
#include "quillon2/ql_keys.h"
#include "tests/support/gost_pki.h"

namespace {

using qcrypto::UniquePtr;
using namespace quillon2;

int system_bytes(unsigned char* buffer, int length) {
  return getrandom(buffer, static_cast<size_t>(length), 0) == length ? length : 0;
}
const qcrypto::RAND_METHOD kSystemRand = {nullptr, system_bytes, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

std::vector<unsigned char> der_of(X509* cert) { return test_support::to_der(cert); }

struct Setup {
  UniquePtr<EVP_PKEY> ca_key;
  UniquePtr<X509> ca;
  UniquePtr<EVP_PKEY> key;
  UniquePtr<X509> cert;
  UniquePtr<QL_CERT_LIST> list;
  std::string plain;
  std::string bare;
  std::string sealed;
  std::string out;
  long long size = 0;
  bool ready = false;

  Setup() {
    if (QL_init(nullptr, 0) != QL_OK) return;
    qcrypto::RAND_set_rand_method(&kSystemRand);
    ca_key.reset(test_support::gost_new_key(test_support::GostKeyType::kR3410));
    ca.reset(test_support::gost_make_cert(ca_key.get(), {"Bench CA", 1, true, 30}, nullptr, ca_key.get()));
    key.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(2048)));
    cert.reset(test_support::gost_make_cert(key.get(), {"Bench recipient", 2, false, 30}, ca.get(), ca_key.get()));
    if (!ca || !cert) return;
    const auto ca_der = der_of(ca.get());
    const auto der = der_of(cert.get());
    const long length = static_cast<long>(der.size());
    list.reset(QL_CERT_LIST_new());
    if (QL_add_trusted_certificate(ca_der.data(), static_cast<long>(ca_der.size())) != QL_OK ||
        QL_add_certificate(der.data(), length) != QL_OK ||
        QL_add_recipient_certificate(list.get(), QL_LOOKUP_BYTES, der.data(), &length) != QL_OK)
      return;
    QL_SESSION* session = QL_session_get();
    if (session == nullptr || EVP_PKEY_up_ref(key.get()) != 1) return;
    UniquePtr<qcrypto::EVP_PKEY_ENVELOPE> e(qcrypto::EVP_PKEY_ENVELOPE_new(key.get(), nullptr));
    if (e) e->decrypted = 1;
    const bool added = e && mputil_add_key(session, std::move(e)) == QL_OK;
    QL_session_release(session);
    if (!added) return;

    const char* mib = std::getenv("DOSSAR_BENCH_QL_MIB");
    size = (mib != nullptr ? std::atoll(mib) : 256) << 20;
    const char* t = std::getenv("TMPDIR");
    const std::string dir = t != nullptr && t[0] == '/' ? t : "/tmp";
    const std::string tag = dir + "/bench-ql-crypt-" + std::to_string(getpid());
    plain = tag + ".in";
    bare = tag + ".bare";
    sealed = tag + ".p7";
    out = tag + ".out";
    FILE* f = std::fopen(plain.c_str(), "wb");
    std::mt19937_64 rng(42);
    std::array<unsigned char, 1 << 20> chunk{};
    for (long long done = 0; f != nullptr && done < size; done += static_cast<long long>(chunk.size())) {
      for (auto& b : chunk) b = static_cast<unsigned char>(rng());
      std::fwrite(chunk.data(), 1, chunk.size(), f);
    }
    ready = f != nullptr && std::fclose(f) == 0;
  }
  ~Setup() {
    for (const auto& p : {plain, bare, sealed, out})
      if (!p.empty()) unlink(p.c_str());
    list.reset();
    QL_cleanup();
  }
  Setup(const Setup&) = delete;
  Setup& operator=(const Setup&) = delete;
};

Setup& setup() {
  static Setup s;
  return s;
}

void finish(benchmark::State& state, long long bytes) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * bytes);
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  state.counters["maxrss_MiB"] = static_cast<double>(ru.ru_maxrss) / 1024.0;
}

// The bare cipher, file to file in the same blocks, synced like the toolkit's output.
bool bare_cipher(const std::string& in_path, const std::string& out_path, int enc) {
  static const unsigned char key[32] = {1, 2, 3};
  static const unsigned char iv[8] = {4, 5, 6};
  UniquePtr<BIO> in(BIO_new_file(in_path.c_str(), "rb"));
  UniquePtr<BIO> out(BIO_new_file(out_path.c_str(), "wb"));
  UniquePtr<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
  if (!in || !out || !ctx || EVP_CipherInit_ex2(ctx.get(), qcrypto::EVP_rus_gammar(), key, iv, enc, nullptr) != 1) {
    return false;
  }
  std::array<unsigned char, qcrypto::ENVELOPE_BLOCK> a{};
  std::array<unsigned char, qcrypto::ENVELOPE_BLOCK + 64> b{};
  int n = 0;
  while ((n = BIO_read(in.get(), a.data(), static_cast<int>(a.size()))) > 0) {
    int m = 0;
    if (EVP_CipherUpdate(ctx.get(), b.data(), &m, a.data(), n) != 1 || BIO_write(out.get(), b.data(), m) != m) {
      return false;
    }
  }
  int m = 0;
  if (EVP_CipherFinal_ex(ctx.get(), b.data(), &m) != 1 || BIO_flush(out.get()) != 1) return false;
  FILE* fp = nullptr;
  BIO_get_fp(out.get(), &fp);
  return fp != nullptr && fsync(fileno(fp)) == 0;
}

void BM_BareEncrypt(benchmark::State& state) {
  Setup& s = setup();
  if (!s.ready) state.SkipWithError("setup failed");
  for (auto _ : state) {
    if (!bare_cipher(s.plain, s.bare, 1)) state.SkipWithError("bare encryption failed");
  }
  finish(state, s.size);
}

void BM_ToolkitEncrypt(benchmark::State& state) {
  Setup& s = setup();
  if (!s.ready) state.SkipWithError("setup failed");
  for (auto _ : state) {
    if (QL_encrypt_file(s.list.get(), s.plain.c_str(), s.sealed.c_str()) != QL_OK)
      state.SkipWithError("encryption failed");
  }
  finish(state, s.size);
}

void BM_BareDecrypt(benchmark::State& state) {
  Setup& s = setup();
  if (!s.ready) state.SkipWithError("setup failed");
  if (access(s.bare.c_str(), R_OK) != 0) bare_cipher(s.plain, s.bare, 1);
  for (auto _ : state) {
    if (!bare_cipher(s.bare, s.out, 0)) state.SkipWithError("bare decryption failed");
  }
  finish(state, s.size);
}

void BM_ToolkitDecrypt(benchmark::State& state) {
  Setup& s = setup();
  if (!s.ready) state.SkipWithError("setup failed");
  if (access(s.sealed.c_str(), R_OK) != 0) QL_encrypt_file(s.list.get(), s.plain.c_str(), s.sealed.c_str());
  for (auto _ : state) {
    if (QL_decrypt_file(s.sealed.c_str(), s.out.c_str()) != QL_OK) state.SkipWithError("decryption failed");
  }
  finish(state, s.size);
}

BENCHMARK(BM_BareEncrypt)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3);
BENCHMARK(BM_ToolkitEncrypt)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3);
BENCHMARK(BM_BareDecrypt)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3);
BENCHMARK(BM_ToolkitDecrypt)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3);

}  // namespace
BENCHMARK_MAIN();
