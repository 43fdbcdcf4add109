// dossar-roundtrip: one file through the whole toolkit as a user's program
// drives it. A scratch folder receives a test PKI and a key container; the
// toolkit is then started on that container, trusts the CA and its CRL, loads
// the user's keys, signs a file of random bytes (attached), verifies the
// result, encrypts the signed file to the same user and decrypts it again.
// The decrypted message must equal the signed one byte for byte and the
// verified content must equal the input. Prints who signed, when, the chain
// verdict, the throughput of each step and the peak anonymous memory; any
// failure ends the program with a message and a non-zero status.
//
// Files of any size are handled in bounded memory: the signed file is mapped
// read-only for verification (its pages are the page cache's), and the bytes
// are compared in pieces, never held whole.
//
//   dossar-roundtrip [--size MiB] [--keep DIR]
//
// Without --keep the scratch folder is made under $TMPDIR and removed at exit;
// with it the files are made in DIR (new or empty) and left there.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "crypto/err/err.h"
#include "crypto/pkcs7/signed_data.h"
#include "crypto/x509store/verify.h"
#include "dsutils/engine/engine_helper.h"
#include "platform/environment.h"
#include "platform/registry/registry_key.h"
#include "quillon2/ql_certinfo.h"
#include "quillon2/ql_codes.h"
#include "quillon2/ql_crypt.h"
#include "quillon2/ql_file.h"
#include "quillon2/ql_frame.h"
#include "quillon2/ql_keys.h"
#include "quillon2/ql_sign.h"
#include "tools/roundtrip/scratch_pki.h"
#include "tools/roundtrip/scratch_registry.h"

namespace {

using namespace quillon2;
using qcrypto::UniquePtr;
namespace fs = std::filesystem;

constexpr long kDefaultMiB = 64;
// Signed messages are verified from a mapping of the file and the toolkit's
// verification takes lengths up to INT32_MAX: 1 GiB of content leaves room
// for the message around it.
constexpr long kMaxMiB = 1024;
constexpr std::size_t kChunk = std::size_t{1} << 20;

struct Options {
  long mib = kDefaultMiB;
  std::string keep;       // empty: a temporary folder
  bool registry = false;  // write the settings tree of DOSSAR_REGISTRY_DB
};

void usage(std::FILE* out) {
  std::fprintf(out,
               "usage: dossar-roundtrip [--size MiB] [--keep DIR [--registry]]\n"
               "  --size MiB   size of the random input file (1..%ld, default %ld)\n"
               "  --keep DIR   make the files in DIR (new or empty) and keep them\n"
               "  --registry   with --keep: make the settings tree named by DOSSAR_REGISTRY_DB\n"
               "               hold the user as executor (and recipient), the CA and the CRL folder\n",
               kMaxMiB, kDefaultMiB);
}

// Whole decimal numbers only: "64", not "64k" or " 64".
std::optional<long> parse_mib(std::string_view text) {
  if (text.empty() || text.size() > 7) return std::nullopt;
  long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > kMaxMiB) return std::nullopt;
  return value;
}

// 0 to run, else the exit status (1 bad arguments, 0 after --help).
int parse_args(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      usage(stdout);
      return -1;
    }
    if (arg == "--registry") {
      options->registry = true;
      continue;
    }
    if ((arg == "--size" || arg == "--keep") && i + 1 < argc) {
      const char* value = argv[++i];
      if (arg == "--keep") {
        if (value[0] == '\0') {
          std::fprintf(stderr, "dossar-roundtrip: --keep needs a folder\n");
          return 1;
        }
        options->keep = value;
        continue;
      }
      const std::optional<long> mib = parse_mib(value);
      if (!mib) {
        std::fprintf(stderr, "dossar-roundtrip: --size takes a whole number of MiB from 1 to %ld, not \"%s\"\n",
                     kMaxMiB, value);
        return 1;
      }
      options->mib = *mib;
      continue;
    }
    std::fprintf(stderr, "dossar-roundtrip: unexpected argument \"%s\"\n", argv[i]);
    usage(stderr);
    return 1;
  }
  if (options->registry && (options->keep.empty() || !platform::env("DOSSAR_REGISTRY_DB"))) {
    std::fprintf(stderr, "dossar-roundtrip: --registry needs --keep and DOSSAR_REGISTRY_DB\n");
    return 1;
  }
  return 0;
}

// The folder the files go to; removed with everything in it unless kept.
class ScratchFolder {
 public:
  ScratchFolder() = default;
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  ~ScratchFolder() {
    if (path_.empty() || keep_) return;
    std::error_code ec;
    fs::remove_all(path_, ec);
  }

  // A new folder under $TMPDIR (else /tmp), private to this user.
  std::string make_temporary() {
    std::string tmp = platform::env("TMPDIR").value_or("");
    std::string templ = (tmp.empty() ? std::string("/tmp") : tmp) + "/dossar-roundtrip-XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr)
      return "cannot make a folder in " + templ + ": " + platform::errno_text(errno);
    path_ = templ;
    return {};
  }
  // The caller's folder, made when missing; one with files in it is refused
  // so that nothing of the caller's is overwritten.
  std::string use_kept(const std::string& folder) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) return "cannot make " + folder + ": " + ec.message();
    if (!fs::is_empty(folder, ec) || ec) return folder + " is not an empty folder";
    path_ = fs::absolute(folder, ec).string();
    if (ec) return "cannot resolve " + folder + ": " + ec.message();
    keep_ = true;
    return {};
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  bool keep_ = false;
};

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  // The close result counts: a delayed write error shows up there.
  bool close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

bool write_all(int fd, const unsigned char* bytes, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, bytes, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    bytes += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

bool random_fill(unsigned char* out, std::size_t n) {
  while (n > 0) {
    const ssize_t got = ::getrandom(out, n, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    out += got;
    n -= static_cast<std::size_t>(got);
  }
  return true;
}

// `mib` MiB of the kernel's random bytes, written under a temporary name and
// renamed into place once complete.
std::string write_random_file(const std::string& path, long mib) {
  const std::string temporary = path + ".part";
  Fd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (fd.get() < 0) return "cannot create " + temporary + ": " + platform::errno_text(errno);
  std::vector<unsigned char> chunk(kChunk);
  bool ok = true;
  for (long i = 0; ok && i < mib; ++i)
    ok = random_fill(chunk.data(), chunk.size()) && write_all(fd.get(), chunk.data(), chunk.size());
  ok = ok && ::fsync(fd.get()) == 0;
  ok = fd.close() && ok;
  ok = ok && ::rename(temporary.c_str(), path.c_str()) == 0;
  if (ok) return {};
  const std::string why = platform::errno_text(errno);
  ::unlink(temporary.c_str());
  return "cannot write " + path + ": " + why;
}

// The whole file, refused when it is longer than `max` bytes.
std::optional<std::vector<unsigned char>> read_file(const std::string& path, std::size_t max) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return std::nullopt;
  std::vector<unsigned char> out;
  std::vector<unsigned char> chunk(kChunk);
  for (;;) {
    const ssize_t n = ::read(fd.get(), chunk.data(), chunk.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    if (out.size() + static_cast<std::size_t>(n) > max) return std::nullopt;
    out.insert(out.end(), chunk.begin(), chunk.begin() + n);
  }
  return out;
}

// True when the file holds exactly `bytes`.
bool file_equals(const std::string& path, const unsigned char* bytes, std::size_t length) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return false;
  std::vector<unsigned char> chunk(kChunk);
  std::size_t at = 0;
  for (;;) {
    const ssize_t n = ::read(fd.get(), chunk.data(), chunk.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return at == length;
    const auto got = static_cast<std::size_t>(n);
    if (got > length - at || std::memcmp(chunk.data(), bytes + at, got) != 0) return false;
    at += got;
  }
}

// True when the file holds exactly the bytes of `runs`, in order; read in
// pieces, so neither side is held whole.
bool file_equals_runs(const std::string& path, const std::vector<std::span<const unsigned char>>& runs) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return false;
  std::vector<unsigned char> chunk(kChunk);
  for (std::span<const unsigned char> run : runs) {
    while (!run.empty()) {
      const ssize_t n = ::read(fd.get(), chunk.data(), std::min(chunk.size(), run.size()));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      const auto got = static_cast<std::size_t>(n);
      if (std::memcmp(chunk.data(), run.data(), got) != 0) return false;
      run = run.subspan(got);
    }
  }
  unsigned char extra = 0;
  ssize_t n = 0;
  while ((n = ::read(fd.get(), &extra, 1)) < 0 && errno == EINTR) {
  }
  return n == 0;
}

// The process's anonymous resident memory (RssAnon of /proc/self/status:
// heap, stacks, private buffers; not the page cache behind file mappings)
// in KiB, or -1.
long rss_anon_kib() {
  std::FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return -1;
  char line[256];
  long kib = -1;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::sscanf(line, "RssAnon: %ld kB", &kib) == 1) break;
  }
  std::fclose(f);
  return kib;
}

// The peak of RssAnon over the run: the kernel keeps no high-water mark of
// anonymous memory alone (VmHWM counts file pages too), so a thread samples
// it every few milliseconds and each step adds a reading at its end. A peak
// shorter than the sampling period may be missed.
class AnonPeak {
 public:
  AnonPeak() : sampler_([this] { sample_loop(); }) {}
  AnonPeak(const AnonPeak&) = delete;
  AnonPeak& operator=(const AnonPeak&) = delete;
  ~AnonPeak() {
    stop_.store(true);
    sampler_.join();
  }
  // A reading at the end of a step; the step is named as the one the peak
  // was reached in when the peak rose since the step before.
  void step(const char* name) {
    note(rss_anon_kib());
    const long now = peak_.load();
    if (now > step_peak_) {
      step_peak_ = now;
      heaviest_ = name;
    }
  }
  long peak_kib() const { return peak_.load(); }
  const char* heaviest() const { return heaviest_; }

 private:
  void note(long kib) {
    long seen = peak_.load();
    while (kib > seen && !peak_.compare_exchange_weak(seen, kib)) {
    }
  }
  void sample_loop() {
    while (!stop_.load()) {
      note(rss_anon_kib());
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  std::atomic<long> peak_{0};
  std::atomic<bool> stop_{false};
  long step_peak_ = 0;
  const char* heaviest_ = "start";
  std::thread sampler_;
};

// A toolkit result as text: chain verification errors by their names.
std::string result_text(int code) {
  if (code > 0 && code < 100)
    return "certificate verification error " + std::to_string(code) + " (" +
           qcrypto::X509_verify_cert_error_string(code) + ")";
  return "toolkit result " + std::to_string(code);
}

// Prints the step, the reason and whatever the crypto library queued about
// it; the exit status of a failed run.
int fail(const char* step, const std::string& why) {
  std::fprintf(stderr, "dossar-roundtrip: %s failed: %s\n", step, why.c_str());
  qcrypto::ERR_print_errors_fp(stderr);
  return 1;
}

struct Toolkit {
  Toolkit() = default;
  Toolkit(const Toolkit&) = delete;
  Toolkit& operator=(const Toolkit&) = delete;
  ~Toolkit() {
    if (started) QL_cleanup();
  }
  bool started = false;
};

struct BufferFree {
  void operator()(unsigned char* p) const { QL_free(p); }
};
struct TextFree {
  void operator()(char* p) const { QL_free(p); }
};

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
// Decimal megabytes per second, as disks and networks are quoted.
double mb_per_s(std::size_t bytes, double seconds) {
  return seconds > 0 ? static_cast<double>(bytes) / 1e6 / seconds : 0.0;
}

int run(const Options& options) {
  AnonPeak anon;
  ScratchFolder scratch;
  std::string why = options.keep.empty() ? scratch.make_temporary() : scratch.use_kept(options.keep);
  if (!why.empty()) return fail("making the scratch folder", why);
  const std::string& dir = scratch.path();

  roundtrip::ScratchPki pki;
  why = roundtrip::make_scratch_pki(dir, &pki);
  if (!why.empty()) return fail("making the test PKI", why);
  if (options.registry) {
    why = roundtrip::write_scratch_registry(pki);
    if (!why.empty()) return fail("writing the settings tree", why);
    std::printf("settings tree written: executor, CA, CRL folder %s\n", pki.crl_dir.c_str());
  }
  const std::string input = dir + "/input.bin";
  const std::string signed_file = dir + "/input.bin.sgn";
  const std::string sealed_file = dir + "/input.bin.sgn.enc";
  const std::string opened_file = dir + "/opened.sgn";
  why = write_random_file(input, options.mib);
  if (!why.empty()) return fail("writing the input file", why);
  const std::size_t input_bytes = static_cast<std::size_t>(options.mib) * kChunk;
  anon.step("writing the input");

  // From here on only the toolkit, as a program configured with a key
  // container, a trusted CA certificate and a CRL folder would use it.
  Toolkit toolkit;
  int rc = QL_init(pki.container.c_str(), 0);
  if (rc != QL_OK) return fail("starting the toolkit on the key container", result_text(rc));
  toolkit.started = true;
  if ((rc = QL_set_signing_time(1)) != QL_OK || (rc = QL_set_include_certs(1)) != QL_OK)
    return fail("setting the signature options", result_text(rc));
  const std::optional<std::vector<unsigned char>> ca = read_file(pki.ca_cert, QL_CERT_MAX_BYTES);
  if (!ca) return fail("reading the CA certificate", pki.ca_cert);
  if ((rc = QL_add_trusted_certificate(ca->data(), static_cast<long>(ca->size()))) != QL_OK)
    return fail("trusting the CA certificate", result_text(rc));
  if ((rc = QL_load_crls(pki.crl_dir.c_str())) != QL_OK) return fail("loading the CRL", result_text(rc));
  if ((rc = QL_load_keys(pki.container.c_str(), nullptr)) != QL_OK)
    return fail("loading the keys of the container", result_text(rc));
  // The user's own certificate: decryption pairs each key with the
  // certificates of the session that carry its public key.
  const std::optional<std::vector<unsigned char>> user = read_file(pki.user_cert, QL_CERT_MAX_BYTES);
  if (!user) return fail("reading the user's certificate", pki.user_cert);
  if ((rc = QL_add_certificate(user->data(), static_cast<long>(user->size()))) != QL_OK)
    return fail("adding the user's certificate", result_text(rc));

  // Sign.
  UniquePtr<QL_SIGN_SET> signers(QL_SIGN_SET_new());
  if (!signers) return fail("making a signature set", result_text(QL_get_last_error()));
  if ((rc = QL_add_signer_certificate(signers.get(), QL_LOOKUP_FILE, pki.user_cert.c_str(), nullptr)) != QL_OK)
    return fail("choosing the signer certificate", result_text(rc));
  auto start = std::chrono::steady_clock::now();
  if ((rc = QL_sign_file(signers.get(), input.c_str(), signed_file.c_str(), 0)) != QL_OK)
    return fail("signing", result_text(rc));
  const double sign_s = seconds_since(start);
  anon.step("signing");

  // Verify the signed file where it lies, mapped read-only.
  MappedFile message;
  if (message.open(signed_file.c_str()) != FileRead::kOk) return fail("mapping the signed file", signed_file);
  if (message.size() > static_cast<std::size_t>(INT32_MAX))
    return fail("verifying", "the signed file is longer than the toolkit's verification takes (INT32_MAX bytes)");
  UniquePtr<QL_SIGN_SET> checked(QL_SIGN_SET_new());
  if (!checked) return fail("making a signature set", result_text(QL_get_last_error()));
  start = std::chrono::steady_clock::now();
  rc = QL_verify_data_short(checked.get(), message.data(), static_cast<long>(message.size()), nullptr, nullptr, 0);
  const double verify_s = seconds_since(start);
  anon.step("verifying");
  if (rc != QL_OK && rc != QL_ERR_BAD_SIGNATURE) return fail("verifying", result_text(rc));
  if (QL_SIGN_SET_signer_count(checked.get()) != 1 || checked->signing_times.size() != 1)
    return fail("verifying", "the message does not have exactly one signer");
  std::unique_ptr<char, TextFree> name(QL_SIGN_SET_signer_name(checked.get(), 0));
  const int status = QL_SIGN_SET_signer_status(checked.get(), 0);
  const char* time = checked->signing_times[0];
  std::printf("signer: %s   signed at: %s   chain: %s\n", name ? name.get() : "(no name)",
              time != nullptr ? time : "(no signing time)", status == QL_OK ? "verified" : result_text(status).c_str());
  std::fflush(stdout);
  if (status != QL_OK || rc != QL_OK) return fail("verifying", result_text(status != QL_OK ? status : rc));
  // The signed content against the input, compared piece by piece: the
  // crypto library reads it in place in the mapping, as the runs of the
  // message that make it up, and checks its digest again on the way.
  {
    qcrypto::SignedVerifyResult reread;
    std::vector<std::span<const unsigned char>> runs;
    if (qcrypto::signed_data_verify_mem({message.data(), message.size()}, &runs, &reread) != 1 || reread.detached)
      return fail("verifying", "the signed content cannot be read back from the message");
    if (!file_equals_runs(input, runs)) return fail("verifying", "the signed content differs from the input file");
  }
  anon.step("checking the content");

  // Encrypt the signed file to the user, then open it with the user's key.
  UniquePtr<QL_CERT_LIST> recipients(QL_CERT_LIST_new());
  if (!recipients) return fail("making a recipient list", result_text(QL_get_last_error()));
  if ((rc = QL_add_recipient_certificate(recipients.get(), QL_LOOKUP_FILE, pki.user_cert.c_str(), nullptr)) != QL_OK)
    return fail("choosing the recipient certificate", result_text(rc));
  start = std::chrono::steady_clock::now();
  if ((rc = QL_encrypt_file(recipients.get(), signed_file.c_str(), sealed_file.c_str())) != QL_OK)
    return fail("encrypting", result_text(rc));
  const double encrypt_s = seconds_since(start);
  anon.step("encrypting");
  start = std::chrono::steady_clock::now();
  if ((rc = QL_decrypt_file(sealed_file.c_str(), opened_file.c_str())) != QL_OK)
    return fail("decrypting", result_text(rc));
  const double decrypt_s = seconds_since(start);
  anon.step("decrypting");
  if (!file_equals(opened_file, message.data(), message.size()))
    return fail("decrypting", "the decrypted file differs from the signed file");
  anon.step("comparing the decrypted file");

  // Signing and verifying move the input's bytes, encryption and decryption
  // the signed message's.
  std::printf("sign %.1f MB/s, verify %.1f MB/s, encrypt %.1f MB/s, decrypt %.1f MB/s (%ld MiB input)\n",
              mb_per_s(input_bytes, sign_s), mb_per_s(input_bytes, verify_s), mb_per_s(message.size(), encrypt_s),
              mb_per_s(message.size(), decrypt_s), options.mib);
  std::printf(
      "peak anonymous memory: %.1f MiB (RssAnon of /proc/self/status, sampled every 5 ms and at the end of each "
      "step; reached while %s)\n",
      static_cast<double>(anon.peak_kib()) / 1024.0, anon.heaviest());
  if (!options.keep.empty()) std::printf("files kept in %s\n", dir.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  const int parsed = parse_args(argc, argv, &options);
  if (parsed != 0) return parsed < 0 ? 0 : parsed;
  return run(options);
}
