// The toolkit's file operations on one large file beside the bare primitives
// over the same file, and the stock command with the system's GOST engine:
//
//   BM_BareHash/4096, /1048576  GOST R 34.11-94 (GOSTH_*) over the file read
//                               in blocks of that size: what signing and
//                               verifying are held to. The input is synced
//                               once written, so no repetition pays for its
//                               writeback
//   BM_ToolkitSign[Detached]    QL_sign_file, GOST R 34.10-2001 signer, DER
//   BM_EngineSign[Detached]     openssl cms -sign -binary -md md_gost94 with the
//                               engine "gost" and a GOST R 34.10-2001 key, with
//                               -nodetach (content inside) or without it (a
//                               detached signature, the command's fast road):
//                               the wall clock of the child, its peak memory
//   BM_ToolkitVerify[Detached]  QL_verify_data on the message (and content)
//                               read into memory first, as the call takes them
//   BM_ToolkitVerifyContent     the same with the attached content handed
//                               back (want_content=1, a QL_malloc buffer)
//   BM_ToolkitVerifyMapped[Detached]  QL_verify_data on a read-only mapping
//                               of the message (and content), as a caller
//                               verifies a file of any size: the first touch
//                               of every page is inside the mark
//   BM_ReadMessageFile          QL_read_message_file on the attached message:
//                               its signers read, its content passed over (a
//                               content of definite length is not even
//                               touched, so the time barely grows with size)
//   BM_BareEncrypt/Decrypt      RUS-GAMMAR through EVP, file to file in the
//                               toolkit's 4096-byte blocks, output synced
//   BM_ToolkitEncrypt/Decrypt   QL_encrypt_file / QL_decrypt_file, one RSA
//                               recipient, the key from the session
//
// Every toolkit output is synced before its rename; so is the bare cipher's.
// maxrss_MiB / own_MiB: see bench/support/bench_files.h (the engine's row
// gives the child's peak); they count the page cache behind a mapping.
// anon_MiB (mapped rows): the peak of anonymous memory (RssAnon) above what
// it was at the start, sampled every millisecond: what the call itself holds
// beyond the file's pages. DOSSAR_BENCH_MIB sets the size (default 256).
//
// The engine's key and certificate are made with the engine itself:
//   openssl req -x509 -newkey gost2001 -pkeyopt paramset:A -engine gost -nodes
//           -keyout key.pem -out cert.pem -subj /CN=... -days 30
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/bare_cipher.h"
#include "bench/support/bench_files.h"
#include "crypto/cclib/ossl_owners.h"
#include "crypto/pkcs7/envelope.h"
#include "crypto/prov/evp_gost.h"
#include "crypto/rand/rand.h"
#include "crypto/rus/gost3411.h"
#include "quillon2/ql_certinfo.h"
#include "quillon2/ql_crypt.h"
#include "quillon2/ql_file.h"
#include "quillon2/ql_frame.h"
#include "quillon2/ql_keys.h"
#include "quillon2/ql_sign.h"
#include "tests/support/gost_pki.h"
#include "tests/support/run_program.h"

namespace {

using qcrypto::UniquePtr;
using namespace quillon2;
using bench_support::PeakMemory;

int system_bytes(unsigned char* buffer, int length) {
  return getrandom(buffer, static_cast<size_t>(length), 0) == length ? length : 0;
}
const qcrypto::RAND_METHOD kSystemRand = {nullptr, system_bytes, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

using SignSetPtr = UniquePtr<QL_SIGN_SET>;

// A key handed to the session (which takes its own reference).
bool add_session_key(EVP_PKEY* key) {
  QL_SESSION* session = QL_session_get();
  if (session == nullptr || EVP_PKEY_up_ref(key) != 1) return false;
  UniquePtr<qcrypto::EVP_PKEY_ENVELOPE> e(qcrypto::EVP_PKEY_ENVELOPE_new(key, nullptr));
  if (e) e->decrypted = 1;
  const bool added = e && mputil_add_key(session, std::move(e)) == QL_OK;
  QL_session_release(session);
  return added;
}

// A whole file read into memory, as a caller of QL_verify_data holds a
// message, or empty.
class FileInMemory {
 public:
  explicit FileInMemory(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0) return;
    if (fstat(fd, &st) == 0 && st.st_size > 0) {
      const auto n = static_cast<size_t>(st.st_size);
      void* p = mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (p != MAP_FAILED) {
        size_t got = 0;
        for (ssize_t r = 0; got < n && (r = read(fd, static_cast<unsigned char*>(p) + got, n - got)) > 0;)
          got += static_cast<size_t>(r);
        if (got == n) {
          data_ = static_cast<unsigned char*>(p);
          size_ = n;
          touch_pages();
        } else {
          munmap(p, n);
        }
      }
    }
    close(fd);
  }
  ~FileInMemory() {
    if (data_ != nullptr) munmap(data_, size_);
  }
  FileInMemory(const FileInMemory&) = delete;
  FileInMemory& operator=(const FileInMemory&) = delete;
  const unsigned char* data() const { return data_; }
  long size() const { return static_cast<long>(size_); }

 private:
  // A page the kernel filled through read() has not yet been touched from
  // user space. In this machine's virtual machine, that first touch traps to
  // the hypervisor (some 5 us a page: 20% on the hash over the whole
  // message), a cost of the caller's loading that bare metal does not have.
  // The caller's message is taken as loaded and touched.
  void touch_pages() const {
    unsigned sum = 0;
    for (size_t i = 0; i < size_; i += 4096) sum += data_[i];
    benchmark::DoNotOptimize(sum);
  }

  unsigned char* data_ = nullptr;
  size_t size_ = 0;
};

// RssAnon of /proc/self/status in MiB, or -1.
double rss_anon_mib() {
  FILE* f = fopen("/proc/self/status", "r");
  if (f == nullptr) return -1;
  char line[256];
  long kib = -1;
  while (fgets(line, sizeof line, f) != nullptr)
    if (sscanf(line, "RssAnon: %ld kB", &kib) == 1) break;
  fclose(f);
  return kib >= 0 ? static_cast<double>(kib) / 1024.0 : -1;
}

// The peak of anonymous memory while it lives, above the level at its start.
// The kernel keeps no high-water mark of anonymous memory alone (VmHWM
// counts file pages), so a thread samples it every millisecond.
class AnonPeak {
 public:
  AnonPeak() : start_(rss_anon_mib()), peak_(start_), sampler_([this] { loop(); }) {}
  ~AnonPeak() { stop(); }
  AnonPeak(const AnonPeak&) = delete;
  AnonPeak& operator=(const AnonPeak&) = delete;
  void report(benchmark::State& state) {
    stop();
    note(rss_anon_mib());
    const double peak = peak_.load();
    state.counters["anon_MiB"] = peak > start_ ? peak - start_ : 0;
  }

 private:
  void stop() {
    if (sampler_.joinable()) {
      done_.store(true);
      sampler_.join();
    }
  }
  void note(double mib) {
    double seen = peak_.load();
    while (mib > seen && !peak_.compare_exchange_weak(seen, mib)) {
    }
  }
  void loop() {
    while (!done_.load()) {
      note(rss_anon_mib());
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  double start_;
  std::atomic<double> peak_;
  std::atomic<bool> done_{false};
  std::thread sampler_;
};

// A freshly written file's dirty pages go to disk now rather than while a
// benchmark reads it back.
bool settle(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = fsync(fd) == 0;
  close(fd);
  return synced;
}

struct Setup {
  UniquePtr<EVP_PKEY> ca_key;
  UniquePtr<X509> ca;
  UniquePtr<EVP_PKEY> signer_key;  // GOST R 34.10-2001
  UniquePtr<X509> signer;
  UniquePtr<EVP_PKEY> recipient_key;  // RSA: one key transport per message
  UniquePtr<X509> recipient;
  UniquePtr<QL_CERT_LIST> recipients;
  SignSetPtr signers;
  std::string tag;
  std::string plain;
  long long size = 0;
  std::string error;         // why nothing can run
  std::string engine_error;  // why the engine's side cannot run
  std::string engine_key;
  std::string engine_cert;

  Setup() {
    if (QL_init(nullptr, 0) != QL_OK) {
      error = "QL_init failed";
      return;
    }
    qcrypto::RAND_set_rand_method(&kSystemRand);
    ca_key.reset(test_support::gost_new_key(test_support::GostKeyType::kEcr3410));
    ca.reset(test_support::gost_make_cert(ca_key.get(), {"Bench CA", 1, true, 30}, nullptr, ca_key.get()));
    signer_key.reset(test_support::gost_new_key(test_support::GostKeyType::kEcr3410));
    signer.reset(
        test_support::gost_make_cert(signer_key.get(), {"Bench signer", 2, false, 30}, ca.get(), ca_key.get()));
    recipient_key.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(2048)));
    recipient.reset(
        test_support::gost_make_cert(recipient_key.get(), {"Bench recipient", 3, false, 30}, ca.get(), ca_key.get()));
    if (!ca || !signer || !recipient) {
      error = "test PKI failed";
      return;
    }
    const auto ca_der = test_support::to_der(ca.get());
    const auto signer_der = test_support::to_der(signer.get());
    const auto recipient_der = test_support::to_der(recipient.get());
    const long signer_length = static_cast<long>(signer_der.size());
    const long recipient_length = static_cast<long>(recipient_der.size());
    recipients.reset(QL_CERT_LIST_new());
    signers.reset(QL_SIGN_SET_new());
    if (QL_add_trusted_certificate(ca_der.data(), static_cast<long>(ca_der.size())) != QL_OK ||
        QL_add_certificate(signer_der.data(), signer_length) != QL_OK ||
        QL_add_certificate(recipient_der.data(), recipient_length) != QL_OK ||
        QL_add_recipient_certificate(recipients.get(), QL_LOOKUP_BYTES, recipient_der.data(), &recipient_length) !=
            QL_OK ||
        QL_add_signer_certificate(signers.get(), QL_LOOKUP_BYTES, signer_der.data(), &signer_length) != QL_OK ||
        !add_session_key(signer_key.get()) || !add_session_key(recipient_key.get())) {
      error = "toolkit set-up failed";
      return;
    }

    size = bench_support::file_mib(nullptr, 256) << 20;
    tag = bench_support::temp_dir() + "/bench-ql-files-" + std::to_string(getpid());
    plain = tag + ".in";
    if (!bench_support::write_file(plain, size) || !settle(plain)) {
      error = "cannot write " + plain;
      return;
    }
    make_engine_key();
  }

  ~Setup() {
    for (const char* suffix :
         {".in", ".p7s", ".sig", ".p7m", ".bare", ".out", ".engine.p7s", ".engine.sig", ".key.pem", ".cert.pem"})
      unlink((tag + suffix).c_str());
    signers.reset();
    recipients.reset();
    QL_cleanup();
  }
  Setup(const Setup&) = delete;
  Setup& operator=(const Setup&) = delete;

  std::string path(const char* suffix) const { return tag + suffix; }

  // A GOST R 34.10-2001 key (parameter set A) and its self-signed certificate
  // made by the engine; the reason when it cannot be loaded.
  void make_engine_key() {
#ifdef DOSSAR_OPENSSL_PROGRAM
    engine_key = path(".key.pem");
    engine_cert = path(".cert.pem");
    const auto r = test_support::run_program({DOSSAR_OPENSSL_PROGRAM, "req", "-x509", "-newkey", "gost2001", "-pkeyopt",
                                              "paramset:A", "-engine", "gost", "-nodes", "-keyout", engine_key, "-out",
                                              engine_cert, "-subj", "/CN=Bench engine signer", "-days", "30"});
    if (r.status != 0) engine_error = "the openssl GOST engine cannot be loaded: " + r.output.substr(0, 200);
#else
    engine_error = "no openssl command";
#endif
  }
};

Setup& setup() {
  static Setup s;
  return s;
}

// The set-up, or a skip with its reason.
Setup* ready(benchmark::State& state) {
  Setup& s = setup();
  if (!s.error.empty()) {
    state.SkipWithError(s.error.c_str());
    return nullptr;
  }
  return &s;
}

// --- hashing and signing --------------------------------------------------------

// GOST R 34.11-94 over the file read in blocks of range(0) bytes.
void BM_BareHash(benchmark::State& state) {
  Setup* s = ready(state);
  if (s == nullptr) return;
  std::vector<unsigned char> block(static_cast<size_t>(state.range(0)));
  PeakMemory memory;
  for (auto _ : state) {
    const int fd = open(s->plain.c_str(), O_RDONLY | O_CLOEXEC);
    qcrypto::GOSTH_CTX ctx{};
    unsigned char md[qcrypto::GOSTH_DIGEST_BYTES];
    long long done = 0;
    bool ok = fd >= 0 && qcrypto::GOSTH_init(&ctx, nullptr, nullptr) == 1;
    ssize_t n = 0;
    while (ok && (n = read(fd, block.data(), block.size())) > 0) {
      ok = qcrypto::GOSTH_update(&ctx, block.data(), static_cast<int>(n)) == static_cast<int>(n);
      done += n;
    }
    ok = ok && n == 0 && done == s->size && qcrypto::GOSTH_final(&ctx, md) == qcrypto::GOSTH_DIGEST_BYTES;
    qcrypto::GOSTH_clear(&ctx);
    if (fd >= 0) close(fd);
    if (!ok) state.SkipWithError("hashing failed");
    benchmark::DoNotOptimize(md);
  }
  memory.report(state, s->size);
}

int toolkit_sign(Setup& s, bool detached) {
  return QL_sign_file(s.signers.get(), s.plain.c_str(), s.path(detached ? ".sig" : ".p7s").c_str(), detached ? 1 : 0);
}

// The path of the signed message (signed now when no earlier benchmark left
// one), or an empty path with the benchmark skipped.
std::string signed_message(benchmark::State& state, Setup& s, bool detached) {
  std::string message_path = s.path(detached ? ".sig" : ".p7s");
  if (access(message_path.c_str(), R_OK) != 0 && toolkit_sign(s, detached) != QL_OK) {
    state.SkipWithError("QL_sign_file failed");
    return {};
  }
  return message_path;
}

void sign_bench(benchmark::State& state, bool detached) {
  Setup* s = ready(state);
  if (s == nullptr) return;
  PeakMemory memory;
  for (auto _ : state) {
    if (toolkit_sign(*s, detached) != QL_OK) state.SkipWithError("QL_sign_file failed");
  }
  memory.report(state, s->size);
}
void BM_ToolkitSign(benchmark::State& state) { sign_bench(state, false); }
void BM_ToolkitSignDetached(benchmark::State& state) { sign_bench(state, true); }

void engine_sign(benchmark::State& state, bool detached) {
  Setup* s = ready(state);
  if (s == nullptr) return;
  if (!s->engine_error.empty()) {
    state.SkipWithError(s->engine_error.c_str());
    return;
  }
#ifdef DOSSAR_OPENSSL_PROGRAM
  const std::string out = s->path(detached ? ".engine.sig" : ".engine.p7s");
  std::vector<std::string> args = {DOSSAR_OPENSSL_PROGRAM,
                                   "cms",
                                   "-sign",
                                   "-binary",
                                   "-md",
                                   "md_gost94",
                                   "-engine",
                                   "gost",
                                   "-in",
                                   s->plain,
                                   "-signer",
                                   s->engine_cert,
                                   "-inkey",
                                   s->engine_key,
                                   "-outform",
                                   "DER",
                                   "-out",
                                   out};
  if (!detached) args.emplace_back("-nodetach");
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const auto r = test_support::run_program(args);
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
    struct stat st {};
    // Attached, the message holds the whole input; detached, only the
    // signature.
    const bool sized = stat(out.c_str(), &st) == 0 && (detached ? st.st_size > 0 : st.st_size > s->size);
    if (r.status != 0 || !sized) {
      state.SkipWithError(("openssl cms failed: " + r.output.substr(0, 200)).c_str());
      break;
    }
    state.SetIterationTime(wall.count());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * s->size);
  rusage ru{};
  getrusage(RUSAGE_CHILDREN, &ru);
  // The peak of every child so far: the detached row runs after the
  // attached one and reports the larger of the two.
  state.counters["maxrss_MiB"] = static_cast<double>(ru.ru_maxrss) / 1024.0;
#else
  (void)detached;
#endif
}
void BM_EngineSign(benchmark::State& state) { engine_sign(state, false); }
void BM_EngineSignDetached(benchmark::State& state) { engine_sign(state, true); }

void verify_bench(benchmark::State& state, bool detached, bool want_content = false) {
  Setup* s = ready(state);
  if (s == nullptr) return;
  const std::string message_path = signed_message(state, *s, detached);
  if (message_path.empty()) return;
  // The call reads from memory: the message (and a detached content) are
  // read in, resident and touched before the mark starts (FileInMemory). A
  // map of the file instead would put the page faults of its first touch
  // inside the call.
  const FileInMemory message(message_path);
  std::optional<FileInMemory> content;
  if (detached) content.emplace(s->plain);
  if (message.data() == nullptr || (content && content->data() == nullptr)) {
    state.SkipWithError("cannot map the message");
    return;
  }
  if (message.size() > INT32_MAX) {
    state.SkipWithError("QL_verify_data takes at most 2 GiB");
    return;
  }
  SignSetPtr set(QL_SIGN_SET_new());
  PeakMemory memory;
  for (auto _ : state) {
    unsigned char* out = nullptr;
    long out_length = 0;
    const int rc = content ? QL_verify_data(set.get(), message.data(), message.size(), nullptr, nullptr, 0,
                                            content->data(), content->size())
                           : QL_verify_data(set.get(), message.data(), message.size(), &out, &out_length,
                                            want_content ? 1 : 0, nullptr, 0);
    if (out != nullptr) QL_free(out);
    if (rc != QL_OK || QL_SIGN_SET_signer_count(set.get()) != 1 || QL_SIGN_SET_signer_status(set.get(), 0) != QL_OK ||
        (want_content && out_length != s->size))
      state.SkipWithError(("QL_verify_data failed: " + std::to_string(rc)).c_str());
  }
  memory.report(state, s->size);
}
void BM_ToolkitVerify(benchmark::State& state) { verify_bench(state, false); }
void BM_ToolkitVerifyDetached(benchmark::State& state) { verify_bench(state, true); }
void BM_ToolkitVerifyContent(benchmark::State& state) { verify_bench(state, false, true); }

// The message (and a detached content) mapped read-only and handed over
// where they lie: what a caller of any file size does.
void verify_mapped_bench(benchmark::State& state, bool detached) {
  Setup* s = ready(state);
  if (s == nullptr) return;
  const std::string message_path = signed_message(state, *s, detached);
  if (message_path.empty()) return;
  SignSetPtr set(QL_SIGN_SET_new());
  PeakMemory memory;
  AnonPeak anon;
  for (auto _ : state) {
    MappedFile message;
    MappedFile content;
    if (message.open(message_path.c_str()) != FileRead::kOk ||
        (detached && content.open(s->plain.c_str()) != FileRead::kOk)) {
      state.SkipWithError("cannot map the message");
      break;
    }
    if (message.size() > INT32_MAX || content.size() > INT32_MAX) {
      state.SkipWithError("QL_verify_data takes at most 2 GiB");
      break;
    }
    const int rc = QL_verify_data(set.get(), message.data(), static_cast<long>(message.size()), nullptr, nullptr, 0,
                                  detached ? content.data() : nullptr, static_cast<long>(content.size()));
    if (rc != QL_OK || QL_SIGN_SET_signer_count(set.get()) != 1 || QL_SIGN_SET_signer_status(set.get(), 0) != QL_OK)
      state.SkipWithError(("QL_verify_data failed: " + std::to_string(rc)).c_str());
  }
  anon.report(state);
  memory.report(state, s->size);
}
void BM_ToolkitVerifyMapped(benchmark::State& state) { verify_mapped_bench(state, false); }
void BM_ToolkitVerifyDetachedMapped(benchmark::State& state) { verify_mapped_bench(state, true); }

// The signers of the attached message, its content passed over.
void BM_ReadMessageFile(benchmark::State& state) {
  Setup* s = ready(state);
  if (s == nullptr) return;
  const std::string message_path = signed_message(state, *s, false);
  if (message_path.empty()) return;
  PeakMemory memory;
  AnonPeak anon;
  for (auto _ : state) {
    int kind = -1;
    QL_MESSAGE* message = nullptr;
    const int rc = QL_read_message_file(message_path.c_str(), &kind, &message);
    const int signers = message != nullptr ? QL_signer_count(message) : -1;
    QL_free_message(message);
    if (rc != QL_OK || kind != QL_KIND_SIGNED || signers != 1)
      state.SkipWithError(("QL_read_message_file failed: " + std::to_string(rc)).c_str());
  }
  anon.report(state);
  memory.report(state, s->size);
}

// --- encryption -----------------------------------------------------------------

void BM_BareEncrypt(benchmark::State& state) {
  Setup* s = ready(state);
  if (s == nullptr) return;
  PeakMemory memory;
  for (auto _ : state) {
    if (!bench_support::bare_gamma_file(s->plain, s->path(".bare"), 1)) state.SkipWithError("bare encryption failed");
  }
  memory.report(state, s->size);
}

void BM_ToolkitEncrypt(benchmark::State& state) {
  Setup* s = ready(state);
  if (s == nullptr) return;
  PeakMemory memory;
  for (auto _ : state) {
    if (QL_encrypt_file(s->recipients.get(), s->plain.c_str(), s->path(".p7m").c_str()) != QL_OK)
      state.SkipWithError("QL_encrypt_file failed");
  }
  memory.report(state, s->size);
}

void BM_BareDecrypt(benchmark::State& state) {
  Setup* s = ready(state);
  if (s == nullptr) return;
  if (access(s->path(".bare").c_str(), R_OK) != 0 && !bench_support::bare_gamma_file(s->plain, s->path(".bare"), 1)) {
    state.SkipWithError("bare encryption failed");
    return;
  }
  PeakMemory memory;
  for (auto _ : state) {
    if (!bench_support::bare_gamma_file(s->path(".bare"), s->path(".out"), 0))
      state.SkipWithError("bare decryption failed");
  }
  memory.report(state, s->size);
}

void BM_ToolkitDecrypt(benchmark::State& state) {
  Setup* s = ready(state);
  if (s == nullptr) return;
  if (access(s->path(".p7m").c_str(), R_OK) != 0 &&
      QL_encrypt_file(s->recipients.get(), s->plain.c_str(), s->path(".p7m").c_str()) != QL_OK) {
    state.SkipWithError("QL_encrypt_file failed");
    return;
  }
  PeakMemory memory;
  for (auto _ : state) {
    if (const int rc = QL_decrypt_file(s->path(".p7m").c_str(), s->path(".out").c_str()); rc != QL_OK)
      state.SkipWithError(("QL_decrypt_file failed: " + std::to_string(rc)).c_str());
  }
  memory.report(state, s->size);
}

#define FILE_BENCH(fn) BENCHMARK(fn)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3)
FILE_BENCH(BM_BareHash)->Arg(QL_BLOCK_BYTES)->Arg(1 << 20);
FILE_BENCH(BM_ToolkitSign);
FILE_BENCH(BM_ToolkitSignDetached);
FILE_BENCH(BM_EngineSign)->UseManualTime();
FILE_BENCH(BM_EngineSignDetached)->UseManualTime();
FILE_BENCH(BM_ToolkitVerify);
FILE_BENCH(BM_ToolkitVerifyDetached);
FILE_BENCH(BM_ToolkitVerifyContent);
FILE_BENCH(BM_ToolkitVerifyMapped);
FILE_BENCH(BM_ToolkitVerifyDetachedMapped);
FILE_BENCH(BM_ReadMessageFile);
FILE_BENCH(BM_BareEncrypt);
FILE_BENCH(BM_ToolkitEncrypt);
FILE_BENCH(BM_BareDecrypt);
FILE_BENCH(BM_ToolkitDecrypt);

}  // namespace
BENCHMARK_MAIN();
