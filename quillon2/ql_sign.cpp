#include "quillon2/ql_sign.h"

#include <openssl/bio.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "crypto/cclib/regular_file.h"
#include "crypto/err/err.h"
#include "crypto/pkcs7/p7_stream.h"
#include "crypto/pkcs7/signed_data.h"
#include "crypto/x509/name_print.h"
#include "crypto/x509store/verify.h"
#include "quillon2/ql_data_verify.h"
#include "quillon2/ql_keys.h"
#include "quillon2/ql_lookup.h"

namespace quillon2 {
namespace {

using qcrypto::UniquePtr;

// Hands the session back on every path out of an operation.
class SessionRef {
 public:
  SessionRef() : session_(QL_session_get()) {}
  ~SessionRef() {
    if (session_ != nullptr) QL_session_release(session_);
  }
  SessionRef(const SessionRef&) = delete;
  SessionRef& operator=(const SessionRef&) = delete;
  QL_SESSION* get() const { return session_; }

 private:
  QL_SESSION* session_;
};

void free_times(std::vector<char*>& times) {
  for (char* t : times) QL_free(t);
  times.clear();
}

void clear_results(QL_SIGN_SET* set) {
  set->signer_certs.clear();
  set->signer_status.clear();
  free_times(set->signing_times);
}

// A large new buffer is first touched by the copy into it: in 2 MiB pages
// that takes a fault per 2 MiB instead of one per 4 KiB. Under a hypervisor
// that traps page faults the small pages cost nearly as much as hashing the
// bytes. Only a hint: the kernel may ignore it.
void advise_huge_pages(unsigned char* buffer, std::size_t size) {
  constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
  if (size < 4 * kHuge) return;
  const auto start = (reinterpret_cast<std::uintptr_t>(buffer) + kHuge - 1) & ~(kHuge - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(buffer) + size) & ~(kHuge - 1);
  if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
}

// The caller-buffer rules of every function that hands bytes back: the
// bytes, which may lie in several runs, go into the caller's buffer or into
// a new one of the exact length, each run copied once.
int hand_over(std::span<const std::span<const unsigned char>> runs, unsigned char** buffer, long* length) {
  std::size_t size = 0;
  for (const auto& run : runs) size += run.size();
  if (size > static_cast<std::size_t>(std::numeric_limits<long>::max())) return QL_ERR_MEMORY;
  const long needed = static_cast<long>(size);
  unsigned char* out = *buffer;
  if (out == nullptr) {
    out = static_cast<unsigned char*>(QL_malloc(size == 0 ? 1 : size));
    if (out == nullptr) return QL_ERR_MEMORY;
    advise_huge_pages(out, size);
  } else if (*length < needed) {
    *length = needed;
    return QL_ERR_BUFFER_SMALL;
  }
  if (*buffer == nullptr) *buffer = out;
  for (const auto& run : runs) {
    if (!run.empty()) std::memcpy(out, run.data(), run.size());
    out += run.size();
  }
  *length = needed;
  return QL_OK;
}

int hand_over_bio(BIO* bio, unsigned char** buffer, long* length) {
  const unsigned char* data = nullptr;
  const long n = BIO_get_mem_data(bio, &data);
  const std::span<const unsigned char> run(data, n > 0 ? static_cast<std::size_t>(n) : 0);
  return hand_over({&run, 1}, buffer, length);
}

// Where a caller's content is handed over by the in-place calls.
struct ContentView {
  const unsigned char** content;
  long* length;
  unsigned char** joined;
};

// Content of one run (or none) stays where it lies in the message; pieces of
// a constructed string are joined into a QL_malloc buffer, which the caller
// frees through *joined.
int hand_over_view(std::span<const std::span<const unsigned char>> runs, const unsigned char* message,
                   const ContentView& view) {
  *view.joined = nullptr;
  if (runs.size() <= 1) {
    const std::size_t size = runs.empty() ? 0 : runs.front().size();
    if (size > static_cast<std::size_t>(std::numeric_limits<long>::max())) return QL_ERR_MEMORY;
    *view.content = runs.empty() ? message : runs.front().data();
    *view.length = static_cast<long>(size);
    return QL_OK;
  }
  const int code = hand_over(runs, view.joined, view.length);
  *view.content = *view.joined;
  return code;
}

int hand_over_bio_view(BIO* bio, const ContentView& view) {
  *view.joined = nullptr;
  const int code = hand_over_bio(bio, view.joined, view.length);
  *view.content = *view.joined;
  return code;
}

bool same_cert(X509* a, X509* b) { return X509_cmp(a, b) == 0; }

bool in_list(X509* cert, const std::vector<UniquePtr<X509>>& list) {
  return std::any_of(list.begin(), list.end(), [cert](const UniquePtr<X509>& c) { return same_cert(c.get(), cert); });
}

// A certificate file of the look-up by path is refused above 1 MiB before it
// is read.
const LookupPolicy kSignerLookup{std::size_t{1} << 20, mputil_decode_cert};

// The certificate of a look-up, or null with the look-up's code (129 when
// nothing was found).
UniquePtr<X509> lookup(QL_SESSION* session, int mode, const void* key, const void* second, int* code) {
  CertLookup found = ql_lookup_cert(session, mode, key, second, kSignerLookup);
  *code = ql_lookup_code(found.status, QL_ERR_SIGNER_CERT);
  return std::move(found.cert);
}

// 0 when the certificate's chain verifies against the session store with
// the settings' check options, else its verification error number (163 when
// the chain failed without one, 103 when no record could be made).
int verify_chain(QL_SESSION* session, X509* cert) {
  const ChainCheck chain = ql_check_chain(session->store, cert);
  if (!chain.made) return QL_ERR_MEMORY;
  if (chain.valid) return QL_OK;
  return chain.error() != 0 ? chain.error() : QL_ERR_SIGNATURE_FAILED;
}

// The first session key whose public part is the certificate's.
SessionKey signer_key(QL_SESSION* session, X509* cert) {
  EVP_PKEY* pub = X509_get0_pubkey(cert);
  if (pub == nullptr) return nullptr;
  for (SessionKey& key : mputil_keys(session))
    if (qcrypto::EVP_PKEY_cmp_public(key->pkey, pub) == 1) return key;
  return nullptr;
}

// Writes the signed message into `out` as PEM "PKCS7" through a base64
// filter, so the message never sits whole in memory.
int sign_pem(std::span<const qcrypto::SignedSigner> signers, BIO* in, std::uint64_t length, BIO* out,
             const qcrypto::SignedOptions& options, qcrypto::EnvelopeProgress progress) {
  if (BIO_puts(out, "-----BEGIN PKCS7-----\n") <= 0) return 0;
  UniquePtr<BIO> b64(BIO_new(BIO_f_base64()));
  if (!b64) return 0;
  BIO_push(b64.get(), out);
  int rc = qcrypto::signed_data_sign_bio(signers, in, length, b64.get(), options, progress);
  if (rc == 1 && BIO_flush(b64.get()) != 1) rc = 0;
  BIO_pop(b64.get());
  if (rc == 1 && BIO_puts(out, "-----END PKCS7-----\n") <= 0) rc = 0;
  return rc;
}

int sign_code(int rc) {
  if (rc == qcrypto::SIGNED_CANCELLED) return QL_ERR_CANCELLED;
  return rc == 1 ? QL_OK : QL_ERR_FINISH;
}

int sign(QL_SIGN_SET* set, const char* input, const char* output, int detached) {
  if (set == nullptr || input == nullptr || output == nullptr) return QL_ERR_ARGUMENT;
  if (QL_is_initialized() == 0) return QL_ERR_NOT_INITIALISED;
  SessionRef session;
  const QL_SETTINGS* settings = QL_settings_get();
  if (session.get() == nullptr || settings == nullptr) return QL_ERR_NOT_INITIALISED;

  const long long total = input[0] != '\0' ? ql_file_size(input) : -1;
  ProgressReport report(QL_STAGE_SIGN, total > 0 ? static_cast<long>(total) : 0);
  if (const int code = report.begin(); code != QL_OK) return code;
  if (set->certificates.empty()) return QL_ERR_SIGNER;

  if (input[0] == '\0') return QL_ERR_INPUT;
  UniquePtr<BIO> in = qcrypto::open_regular_file_bio(input);
  if (!in) return QL_ERR_INPUT;
  // The length of the file that was opened, not of whatever the name means now.
  FILE* fp = nullptr;
  struct stat st {};
  if (BIO_get_fp(in.get(), &fp) != 1 || fp == nullptr || ::fstat(::fileno(fp), &st) != 0 || !S_ISREG(st.st_mode))
    return QL_ERR_INPUT;

  // Each key is held until the message is finished, even when another thread
  // clears the session's keys meanwhile.
  std::vector<SessionKey> keys;
  std::vector<qcrypto::SignedSigner> signers;
  for (const UniquePtr<X509>& cert : set->certificates) {
    SessionKey key = signer_key(session.get(), cert.get());
    if (!key) return QL_ERR_NO_SIGNER_KEY;
    signers.push_back({key->pkey, cert.get(), settings->digest.load()});
    keys.push_back(std::move(key));
  }
  qcrypto::SignedOptions options;
  options.detached = detached != 0;
  options.include_certs = settings->include_certs.load() != 0;
  if (settings->signing_time.load() != 0) options.signing_time = std::time(nullptr);
  ProgressBridge bridge{&report};
  const qcrypto::EnvelopeProgress progress{ql_bridge_progress, &bridge};

  qcrypto::p7::AtomicOutput out(output);
  if (out.bio() == nullptr) return QL_ERR_OUTPUT;
  const auto length = static_cast<std::uint64_t>(st.st_size);
  const int rc = settings->output_format.load() == QL_FORMAT_PEM
                     ? sign_pem(signers, in.get(), length, out.bio(), options, progress)
                     : qcrypto::signed_data_sign_bio(signers, in.get(), length, out.bio(), options, progress);
  if (const int code = sign_code(rc); code != QL_OK) return code;
  return out.commit() ? QL_OK : QL_ERR_WRITE_MESSAGE;
}

// A message in PEM is turned to DER before the engine reads it when the
// settings say PEM first; otherwise the engine's own DER-then-PEM order holds.
// The engine reads a message without signers whole, content included,
// before it says so: such a message is no decoding failure.
bool read_without_signers(int rc) {
  const unsigned long error = qcrypto::ERR_peek_last_error();
  return rc == 0 && qcrypto::ERR_GET_LIB_CODE(error) == qcrypto::ERRLIB_PKCS7 &&
         qcrypto::ERR_GET_REASON_CODE(error) == qcrypto::P7S_R_NO_SIGNERS;
}

int decode_code(unsigned long error) {
  if (qcrypto::ERR_GET_REASON_CODE(error) == qcrypto::P7S_R_WRONG_PKCS7_TYPE) return QL_ERR_NOT_SIGNED;
  if (qcrypto::ERR_GET_REASON_CODE(error) == qcrypto::P7S_R_NO_CONTENT) return QL_ERR_CONTENT_READ;
  return QL_ERR_NOT_MESSAGE;
}

int verify(QL_SIGN_SET* set, const unsigned char* message, long length, unsigned char** content, long* content_length,
           int want_content, const unsigned char* detached, long detached_length, const ContentView* view = nullptr) {
  // Memory channels take an int length: a longer message is refused rather
  // than read cut short.
  if (set == nullptr || message == nullptr || length <= 0 || length > INT32_MAX) return QL_ERR_ARGUMENT;
  if (want_content != 0 && (content == nullptr || content_length == nullptr)) return QL_ERR_ARGUMENT;
  if (detached != nullptr && (detached_length < 0 || detached_length > INT32_MAX)) return QL_ERR_ARGUMENT;
  if (QL_is_initialized() == 0) return QL_ERR_NOT_INITIALISED;
  SessionRef session;
  if (session.get() == nullptr) return QL_ERR_NOT_INITIALISED;
  clear_results(set);

  const long total = detached != nullptr ? detached_length : length;
  ProgressReport report(QL_STAGE_VERIFY, total);
  if (const int code = report.begin(); code != QL_OK) return code;

  // DER is read in place, its content digested and handed over from the
  // message itself; PEM is decoded through a BIO.
  const bool der = message[0] == 0x30;
  const bool hand_content = want_content != 0 && detached == nullptr;
  UniquePtr<BIO> in(der ? nullptr : BIO_new_mem_buf(message, static_cast<int>(length)));
  UniquePtr<BIO> content_out(hand_content && !der ? BIO_new(BIO_s_mem()) : nullptr);
  std::vector<std::span<const unsigned char>> content_runs;
  if ((!der && !in) || (hand_content && !der && !content_out)) return QL_ERR_MEMORY;

  // Signer certificates not carried by the message: the session's list, then
  // the set's.
  std::vector<UniquePtr<X509>> session_list = ql_session_certs(session.get());
  std::vector<X509*> extra;
  for (const UniquePtr<X509>& c : session_list) extra.push_back(c.get());
  for (const UniquePtr<X509>& c : set->certificates) extra.push_back(c.get());

  qcrypto::SignedVerifyOptions options;
  // A detached content is digested where it lies.
  if (detached != nullptr) options.detached_bytes.emplace(detached, static_cast<std::size_t>(detached_length));
  options.extra_certs = extra;
  options.progress_total = static_cast<std::uint64_t>(total);
  qcrypto::SignedVerifyResult result;
  qcrypto::ERR_clear_error();
  ProgressBridge bridge{&report};
  const qcrypto::EnvelopeProgress progress{ql_bridge_progress, &bridge};
  const int rc =
      der ? qcrypto::signed_data_verify_mem({message, static_cast<std::size_t>(length)},
                                            hand_content ? &content_runs : nullptr, &result, options, progress)
          : qcrypto::signed_data_verify_bio(in.get(), content_out.get(), &result, options, progress);
  if (rc == qcrypto::SIGNED_CANCELLED) return QL_ERR_CANCELLED;
  if (rc != 1 && rc != qcrypto::SIGNED_INVALID && !read_without_signers(rc)) {
    const int code = decode_code(qcrypto::ERR_peek_last_error());
    qcrypto::ERR_clear_error();
    return code;
  }
  if (hand_content) {
    int code = QL_OK;
    if (view != nullptr)
      code = der ? hand_over_view(content_runs, message, *view) : hand_over_bio_view(content_out.get(), *view);
    else
      code = der ? hand_over(content_runs, content, content_length)
                 : hand_over_bio(content_out.get(), content, content_length);
    if (code != QL_OK) return code;
  }
  if (result.signers.empty()) return QL_ERR_NO_SIGNERS;
  qcrypto::ERR_clear_error();

  // Each signer is judged as PKCS7_dataVerify judges it, the chain first;
  // the signature verdict is the one the engine reached while the content
  // streamed by, so the content is not digested again per signer.
  // The stack borrows the result's references.
  struct StackFree {
    void operator()(STACK_OF(X509) * stack) const { sk_X509_free(stack); }
  };
  std::unique_ptr<STACK_OF(X509), StackFree> untrusted(sk_X509_new_null());
  if (!untrusted) return QL_ERR_MEMORY;
  for (const UniquePtr<X509>& c : result.certificates)
    if (sk_X509_push(untrusted.get(), c.get()) <= 0) return QL_ERR_MEMORY;
  bool failed = false;
  for (const qcrypto::SignerResult& signer : result.signers) {
    if (!signer.cert) return QL_ERR_SIGNER_CERT;
    qcrypto::X509_STORE_CTX context{};
    int status = QL_OK;
    const auto engine_verdict = [&signer] {
      if (signer.status == qcrypto::SignerStatus::kGood) return 1;
      QERR(qcrypto::ERRLIB_PKCS7, qcrypto::P7S_F_PKCS7_DATAVERIFY, qcrypto::P7S_R_SIGNATURE_FAILURE);
      return 0;
    };
    if (ql_judge_signer(session.get()->store, &context, signer.cert.get(), untrusted.get(), engine_verdict) != 1)
      status = context.error != 0 ? context.error : QL_ERR_SIGNATURE_FAILED;
    if (status != QL_OK) failed = true;
    char* time = nullptr;
    if (signer.signing_time && ASN1_STRING_type(signer.signing_time.get()) == V_ASN1_UTCTIME) {
      time = QL_signing_time_text_of(signer.signing_time.get());
      if (time == nullptr) return QL_ERR_MEMORY;
    }
    if (X509_up_ref(signer.cert.get()) != 1) {
      QL_free(time);
      return QL_ERR_MEMORY;
    }
    set->signer_certs.emplace_back(signer.cert.get());
    set->signer_status.push_back(status);
    set->signing_times.push_back(time);
  }
  qcrypto::ERR_clear_error();
  if (failed) return QL_ERR_BAD_SIGNATURE;
  if (!set->certificates.empty()) {
    std::vector<X509*> required;
    for (const UniquePtr<X509>& c : set->certificates) required.push_back(c.get());
    if (qcrypto::signed_data_check_signers(result, required) != 1) return QL_ERR_REQUIRED_SIGNER;
  }
  return QL_OK;
}

bool bad_index(const QL_SIGN_SET* set, int i) {
  if (set != nullptr && i >= 0 && static_cast<std::size_t>(i) < set->signer_certs.size()) return false;
  QL_set_last_error(QL_ERR_ARGUMENT);
  return true;
}

}  // namespace

QL_SIGN_SET* QL_SIGN_SET_new() {
  auto* set = new (std::nothrow) QL_SIGN_SET;
  QL_set_last_error(set != nullptr ? QL_OK : QL_ERR_MEMORY);
  return set;
}

void QL_SIGN_SET_free(QL_SIGN_SET* set) {
  if (set == nullptr) return;
  free_times(set->signing_times);
  delete set;
}

int QL_add_signer_certificate(QL_SIGN_SET* set, int mode, const void* key, const void* second) {
  if (set == nullptr) return QL_ERR_ARGUMENT;
  if (QL_is_initialized() == 0) return QL_ERR_NOT_INITIALISED;
  SessionRef session;
  if (session.get() == nullptr) return QL_ERR_NOT_INITIALISED;
  int code = QL_OK;
  UniquePtr<X509> cert = lookup(session.get(), mode, key, second, &code);
  if (!cert) return code;
  if (const int chain = verify_chain(session.get(), cert.get()); chain != QL_OK) return chain;
  set->certificates.push_back(std::move(cert));
  return QL_OK;
}

int QL_sign_file(QL_SIGN_SET* set, const char* input, const char* output, int detached) {
  return sign(set, input, output, detached);
}

int QL_verify_data(QL_SIGN_SET* set, const unsigned char* message, long length, unsigned char** content,
                   long* content_length, int want_content, const unsigned char* detached, long detached_length) {
  return verify(set, message, length, content, content_length, want_content, detached, detached_length);
}

int QL_verify_data_short(QL_SIGN_SET* set, const unsigned char* message, long length, unsigned char** content,
                         long* content_length, int want_content) {
  return verify(set, message, length, content, content_length, want_content, nullptr, 0);
}

int QL_verify_data_in_place(QL_SIGN_SET* set, const unsigned char* message, long length, const unsigned char** content,
                            long* content_length, unsigned char** joined) {
  if (content == nullptr || content_length == nullptr || joined == nullptr) return QL_ERR_ARGUMENT;
  *content = nullptr;
  *joined = nullptr;
  *content_length = 0;
  const ContentView view{content, content_length, joined};
  return verify(set, message, length, joined, content_length, 1, nullptr, 0, &view);
}

int QL_get_signed_content(const unsigned char* message, long length, unsigned char** content, long* content_length) {
  if (message == nullptr || length <= 0 || length > INT32_MAX || content == nullptr || content_length == nullptr)
    return QL_ERR_ARGUMENT;
  if (QL_is_initialized() == 0) return QL_ERR_NOT_INITIALISED;
  UniquePtr<BIO> in(BIO_new_mem_buf(message, static_cast<int>(length)));
  UniquePtr<BIO> out(BIO_new(BIO_s_mem()));
  if (!in || !out) return QL_ERR_MEMORY;
  qcrypto::SignedVerifyResult result;
  qcrypto::ERR_clear_error();
  // Signatures are not judged here: a signer that does not check out still
  // leaves the content read whole.
  const int rc = qcrypto::signed_data_verify_bio(in.get(), out.get(), &result);
  if (rc != 1 && rc != qcrypto::SIGNED_INVALID && !read_without_signers(rc)) {
    const int code = decode_code(qcrypto::ERR_peek_last_error());
    qcrypto::ERR_clear_error();
    return code;
  }
  qcrypto::ERR_clear_error();
  if (result.detached) return QL_ERR_CONTENT_READ;
  return hand_over_bio(out.get(), content, content_length);
}

int QL_get_signed_content_in_place(const unsigned char* message, long length, const unsigned char** content,
                                   long* content_length, unsigned char** joined) {
  if (content == nullptr || content_length == nullptr || joined == nullptr) return QL_ERR_ARGUMENT;
  *content = nullptr;
  *joined = nullptr;
  *content_length = 0;
  if (message == nullptr || length <= 0 || length > INT32_MAX) return QL_ERR_ARGUMENT;
  if (QL_is_initialized() == 0) return QL_ERR_NOT_INITIALISED;
  if (message[0] != 0x30) {
    // PEM is decoded through a BIO: its content is a copy in any case.
    const int code = QL_get_signed_content(message, length, joined, content_length);
    *content = *joined;
    return code;
  }
  std::vector<std::span<const unsigned char>> runs;
  qcrypto::SignedVerifyResult result;
  qcrypto::ERR_clear_error();
  // Signatures are not judged here, so the content is not digested either:
  // extracting a verified document reads it once more, no more.
  qcrypto::SignedVerifyOptions options;
  options.digest_content = false;
  const int rc = qcrypto::signed_data_verify_mem({message, static_cast<std::size_t>(length)}, &runs, &result, options);
  if (rc != 1 && rc != qcrypto::SIGNED_INVALID && !read_without_signers(rc)) {
    const int code = decode_code(qcrypto::ERR_peek_last_error());
    qcrypto::ERR_clear_error();
    return code;
  }
  qcrypto::ERR_clear_error();
  if (result.detached) return QL_ERR_CONTENT_READ;
  return hand_over_view(runs, message, {content, content_length, joined});
}

int QL_SIGN_SET_signer_count(const QL_SIGN_SET* set) {
  if (set == nullptr) {
    QL_set_last_error(QL_ERR_ARGUMENT);
    return 0;
  }
  QL_set_last_error(QL_OK);
  return static_cast<int>(set->signer_certs.size());
}

int QL_SIGN_SET_signer_status(const QL_SIGN_SET* set, int i) {
  QL_set_last_error(QL_OK);
  if (bad_index(set, i)) return QL_ERR_ARGUMENT;
  return set->signer_status[static_cast<std::size_t>(i)];
}

char* QL_SIGN_SET_signer_name(const QL_SIGN_SET* set, int i) {
  QL_set_last_error(QL_OK);
  if (bad_index(set, i)) return nullptr;
  char buffer[1024];
  buffer[0] = '\0';
  if (qcrypto::X509_NAME_oneline(X509_get_subject_name(set->signer_certs[static_cast<std::size_t>(i)].get()), buffer,
                                 sizeof buffer) == nullptr) {
    QL_set_last_error(QL_ERR_MEMORY);
    return nullptr;
  }
  char* text = QL_strdup(buffer);
  QL_set_last_error(text != nullptr ? QL_OK : QL_ERR_MEMORY);
  return text;
}

int QL_SIGN_SET_signer_cert_data(const QL_SIGN_SET* set, int i, unsigned char** data, long* length) {
  if (data == nullptr || length == nullptr || bad_index(set, i)) return QL_ERR_ARGUMENT;
  UniquePtr<BIO> out(BIO_new(BIO_s_mem()));
  if (!out || PEM_write_bio_X509(out.get(), set->signer_certs[static_cast<std::size_t>(i)].get()) != 1)
    return QL_ERR_MEMORY;
  return hand_over_bio(out.get(), data, length);
}

int QL_SIGN_SET_cert_is_embedded(const QL_SIGN_SET* set, int i) {
  QL_set_last_error(QL_OK);
  if (bad_index(set, i)) return 0;
  X509* cert = set->signer_certs[static_cast<std::size_t>(i)].get();
  if (in_list(cert, set->certificates)) return 0;
  SessionRef session;
  return in_list(cert, ql_session_certs(session.get())) ? 0 : 1;
}

int QL_add_signing_time(PKCS7_SIGNER_INFO* signer) {
  QL_set_last_error(QL_OK);
  if (signer == nullptr) {
    QL_set_last_error(QL_ERR_ARGUMENT);
    return 0;
  }
  UniquePtr<ASN1_UTCTIME> now(ASN1_UTCTIME_set(nullptr, std::time(nullptr)));
  if (!now || PKCS7_add_signed_attribute(signer, NID_pkcs9_signingTime, V_ASN1_UTCTIME, now.get()) != 1) {
    QL_set_last_error(QL_ERR_MEMORY);
    return 0;
  }
  (void)now.release();  // the attribute owns it now
  return 1;
}

ASN1_UTCTIME* QL_get_signing_time(PKCS7_SIGNER_INFO* signer) {
  QL_set_last_error(QL_OK);
  if (signer == nullptr) {
    QL_set_last_error(QL_ERR_ARGUMENT);
    return nullptr;
  }
  ASN1_TYPE* value = PKCS7_get_signed_attribute(signer, NID_pkcs9_signingTime);
  if (value == nullptr || value->type != V_ASN1_UTCTIME) return nullptr;
  return value->value.utctime;
}

char* QL_signing_time_text_of(const ASN1_STRING* time) {
  QL_set_last_error(QL_OK);
  if (time == nullptr || ASN1_STRING_type(time) != V_ASN1_UTCTIME) {
    QL_set_last_error(QL_ERR_ARGUMENT);
    return nullptr;
  }
  UniquePtr<BIO> out(BIO_new(BIO_s_mem()));
  if (!out) {
    QL_set_last_error(QL_ERR_MEMORY);
    return nullptr;
  }
  if (ASN1_TIME_print(out.get(), time) != 1) {
    QL_set_last_error(QL_ERR_ARGUMENT);
    return nullptr;
  }
  const char* data = nullptr;
  const long n = BIO_get_mem_data(out.get(), &data);
  auto* text = static_cast<char*>(QL_malloc(static_cast<std::size_t>(n > 0 ? n : 0) + 1));
  if (text == nullptr) return nullptr;
  if (n > 0) std::memcpy(text, data, static_cast<std::size_t>(n));
  text[n > 0 ? n : 0] = '\0';
  QL_set_last_error(QL_OK);
  return text;
}

char* QL_signing_time_text(PKCS7_SIGNER_INFO* signer) {
  const ASN1_UTCTIME* time = QL_get_signing_time(signer);
  if (time == nullptr) {
    QL_set_last_error(QL_ERR_ARGUMENT);
    return nullptr;
  }
  return QL_signing_time_text_of(time);
}

}  // namespace quillon2
