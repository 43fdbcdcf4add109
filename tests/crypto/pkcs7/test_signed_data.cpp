// Signed data made and checked by our own code: round trips over the key
// types, attached and detached, one and two signers, with and without the
// signing time; tampering caught on the right signer; certificates searched
// in the caller's list; required signers; progress and cancel; byte-identical
// GOST messages under the deterministic random method; the same message
// whether the head is written again in a file or the content read twice;
// PEM input; bounds; a message read in place from memory (DER and BER
// content forms) against the same message read through a BIO; signed
// attributes replayed as the content of an attribute-less signer.
#include <fcntl.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <span>
#include <tuple>

#include "crypto/evp/objects.h"
#include "crypto/pkcs7/p7_stream.h"
#include "crypto/rand/rand_fixed.h"
#include "signed_test_util.h"
#include "tests/support/signed_forge.h"

namespace signed_test {
namespace {

using qcrypto::SignerStatus;

constexpr std::time_t kWhen = 1767323045;  // 2026-01-02 03:04:05 UTC
const char kWhenText[] = "260102030405Z";

class SignedData : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(qcrypto::evp_provider_start(), 1);
    qcrypto::ERR_load_crypto_strings();
    Signers::get();
  }
  void SetUp() override { qcrypto::RAND_set_rand_method(&pkcs7_test::kSystemRand); }
  void TearDown() override { qcrypto::ERR_clear_error(); }
};

// The index of the signer whose certificate is `cert`, or -1.
int signer_of(const qcrypto::SignedVerifyResult& r, X509* cert) {
  for (size_t i = 0; i < r.signers.size(); ++i) {
    if (r.signers[i].cert && X509_cmp(r.signers[i].cert.get(), cert) == 0) return static_cast<int>(i);
  }
  return -1;
}

using RoundTrip = std::tuple<PkiKeyType, bool /*detached*/, int /*signers*/, bool /*time*/>;
class SignedRoundTrip : public SignedData, public ::testing::WithParamInterface<RoundTrip> {};

TEST_P(SignedRoundTrip, VerifiesWithEverySignerGood) {
  const auto [type, detached, count, with_time] = GetParam();
  std::vector<qcrypto::SignedSigner> signers;
  for (int i = 0; i < count; ++i) signers.push_back(as_signer(Signers::get().at(type, i)));
  qcrypto::SignedOptions options;
  options.detached = detached;
  if (with_time) options.signing_time = kWhen;
  const Bytes content = pkcs7_test::pattern(3 * qcrypto::SIGNED_BLOCK + 77, 5);
  ASSERT_TRUE(signers[0].key && signers[0].cert);
  const Bytes msg = sign(signers, content, options);
  ASSERT_FALSE(msg.empty());

  qcrypto::SignedVerifyResult r;
  Bytes out;
  ASSERT_EQ(verify(msg, detached ? &content : nullptr, &r, &out), 1);
  EXPECT_EQ(r.detached, detached);
  EXPECT_EQ(r.content_length, content.size());
  EXPECT_EQ(out, detached ? Bytes{} : content);
  ASSERT_EQ(r.signers.size(), static_cast<size_t>(count));
  EXPECT_EQ(r.certificates.size(), static_cast<size_t>(count));
  std::vector<X509*> required;
  for (int i = 0; i < count; ++i) {
    X509* cert = Signers::get().at(type, i).cert.get();
    required.push_back(cert);
    const int at = signer_of(r, cert);
    ASSERT_GE(at, 0);
    const auto& s = r.signers[static_cast<size_t>(at)];
    EXPECT_EQ(s.status, SignerStatus::kGood);
    EXPECT_TRUE(s.cert_from_message);
    if (with_time) {
      ASSERT_TRUE(s.signing_time);
      EXPECT_EQ(ASN1_STRING_type(s.signing_time.get()), V_ASN1_UTCTIME);
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s.signing_time.get())),
                            static_cast<size_t>(ASN1_STRING_length(s.signing_time.get()))),
                kWhenText);
    } else {
      EXPECT_FALSE(s.signing_time);
    }
  }
  EXPECT_EQ(qcrypto::signed_data_check_signers(r, required), 1);
  // The stock decoder reads the whole message.
  const unsigned char* p = msg.data();
  PKCS7* parsed = d2i_PKCS7(nullptr, &p, static_cast<long>(msg.size()));
  ASSERT_NE(parsed, nullptr);
  EXPECT_EQ(p, msg.data() + msg.size());
  EXPECT_EQ(PKCS7_type_is_signed(parsed), 1);
  EXPECT_EQ(PKCS7_get_detached(parsed), detached ? 1 : 0);
  PKCS7_free(parsed);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SignedRoundTrip,
    ::testing::Combine(::testing::Values(PkiKeyType::kR3410, PkiKeyType::kEcr3410, PkiKeyType::kRsa), ::testing::Bool(),
                       ::testing::Values(1, 2), ::testing::Bool()),
    [](const auto& row) {
      return std::string(type_name(std::get<0>(row.param))) + (std::get<1>(row.param) ? "_detached_" : "_attached_") +
             std::to_string(std::get<2>(row.param)) + (std::get<3>(row.param) ? "_time" : "_notime");
    });

// The digest each key type signs over, whatever was asked for.
TEST_F(SignedData, DigestFollowsTheKeyType) {
  static EVP_MD* md5 = EVP_MD_fetch(nullptr, "MD5", nullptr);
  static EVP_MD* sha1 = EVP_MD_fetch(nullptr, "SHA1", nullptr);
  struct Row {
    PkiKeyType type;
    const EVP_MD* asked;
    std::string oid;  // empty: refused
  };
  const Row rows[] = {
      {PkiKeyType::kR3410, md5, qcrypto::sysobj_find(qcrypto::SYSOBJ_RUS_HASH)->oid},
      {PkiKeyType::kEcr3410, md5, qcrypto::sysobj_find(qcrypto::SYSOBJ_ECR3410_R3411)->oid},
      {PkiKeyType::kEcr3410, nullptr, qcrypto::sysobj_find(qcrypto::SYSOBJ_ECR3410_R3411)->oid},
      {PkiKeyType::kRsa, md5, "1.2.840.113549.2.5"},
      {PkiKeyType::kRsa, sha1, "1.3.14.3.2.26"},
      {PkiKeyType::kRsa, nullptr, "2.16.840.1.101.3.4.2.1"},
      {PkiKeyType::kRsa, qcrypto::EVP_rus_hash(), ""},
      {PkiKeyType::kEcdsaP256, md5, ""},
      {PkiKeyType::kEcdsaP256, sha1, "1.3.14.3.2.26"},
  };
  const Bytes content = pkcs7_test::pattern(100, 9);
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(type_name(row.type)) + " " + (row.asked ? EVP_MD_get0_name(row.asked) : "default"));
    int rc = 0;
    const Bytes msg = sign({as_signer(Signers::get().at(row.type), row.asked)}, content, {}, {}, &rc);
    if (row.oid.empty()) {
      EXPECT_EQ(rc, 0);
      EXPECT_TRUE(
          pkcs7_test::queued(qcrypto::P7S_F_PKCS7_DATAFINAL, qcrypto::P7S_R_SIGNING_NOT_SUPPORTED_FOR_THIS_KEY_TYPE));
      continue;
    }
    qcrypto::SignedVerifyResult r;
    ASSERT_EQ(verify(msg, nullptr, &r, nullptr), 1);
    char oid[80];
    OBJ_obj2txt(oid, sizeof oid, r.signers.at(0).info->digest_alg->algorithm, 1);
    EXPECT_EQ(std::string(oid), row.oid);
  }
}

TEST_F(SignedData, KeyThatIsNotTheCertificatesIsRefused) {
  const Signer& a = Signers::get().at(PkiKeyType::kEcr3410, 0);
  const Signer& b = Signers::get().at(PkiKeyType::kEcr3410, 1);
  int rc = 1;
  EXPECT_TRUE(sign({{a.key.get(), b.cert.get(), nullptr}}, Bytes(10, 1), {}, {}, &rc).empty());
  EXPECT_EQ(rc, 0);
  EXPECT_TRUE(
      pkcs7_test::queued(qcrypto::P7S_F_PKCS7_DATAFINAL, qcrypto::P7S_R_PRIVATE_KEY_DOES_NOT_MATCH_CERTIFICATE));
}

// Offset of `needle` in `hay` (the n-th occurrence), or npos.
size_t find_bytes(const Bytes& hay, const Bytes& needle, int nth = 0) {
  auto it = hay.begin();
  for (;;) {
    it = std::search(it, hay.end(), needle.begin(), needle.end());
    if (it == hay.end() || nth-- == 0) break;
    ++it;
  }
  return it == hay.end() ? std::string::npos : static_cast<size_t>(it - hay.begin());
}

class SignedTamper : public SignedData, public ::testing::WithParamInterface<PkiKeyType> {};

TEST_P(SignedTamper, FailsTheRightSigner) {
  const PkiKeyType type = GetParam();
  const Signer& a = Signers::get().at(type, 0);
  const Signer& b = Signers::get().at(type, 1);
  qcrypto::SignedOptions options;
  options.signing_time = kWhen;
  const Bytes content = pkcs7_test::pattern(5000, 11);
  const Bytes msg = sign({as_signer(a), as_signer(b)}, content, options);
  ASSERT_FALSE(msg.empty());
  qcrypto::SignedVerifyResult good;
  ASSERT_EQ(verify(msg, nullptr, &good, nullptr), 1);
  ASSERT_EQ(good.signers.size(), 2U);

  // Content: the digest no longer matches for either signer.
  {
    Bytes bad = msg;
    const size_t at = find_bytes(bad, Bytes(content.begin(), content.begin() + 32));
    ASSERT_NE(at, std::string::npos);
    bad[at + 2500] ^= 0x01;
    qcrypto::SignedVerifyResult r;
    Bytes out;
    EXPECT_EQ(verify(bad, nullptr, &r, &out), qcrypto::SIGNED_INVALID);
    ASSERT_EQ(r.signers.size(), 2U);
    EXPECT_EQ(r.signers[0].status, SignerStatus::kBadDigest);
    EXPECT_EQ(r.signers[1].status, SignerStatus::kBadDigest);
    EXPECT_TRUE(pkcs7_test::queued(qcrypto::P7S_F_PKCS7_SIGNATUREVERIFY, qcrypto::P7S_R_SIGNATURE_FAILURE));
  }
  // The last byte is in the last signer's signature.
  {
    Bytes bad = msg;
    bad.back() ^= 0x01;
    qcrypto::SignedVerifyResult r;
    EXPECT_EQ(verify(bad, nullptr, &r, nullptr), qcrypto::SIGNED_INVALID);
    ASSERT_EQ(r.signers.size(), 2U);
    EXPECT_EQ(r.signers[0].status, SignerStatus::kGood);
    EXPECT_EQ(r.signers[1].status, SignerStatus::kBadSignature);
    EXPECT_EQ(X509_cmp(r.signers[1].cert.get(), good.signers[1].cert.get()), 0);
  }
  // The first signer's signing time: a signed attribute.
  {
    Bytes bad = msg;
    const size_t at = find_bytes(bad, Bytes(kWhenText, kWhenText + 12), 0);
    ASSERT_NE(at, std::string::npos);
    bad[at + 11] = '6';
    qcrypto::SignedVerifyResult r;
    EXPECT_EQ(verify(bad, nullptr, &r, nullptr), qcrypto::SIGNED_INVALID);
    ASSERT_EQ(r.signers.size(), 2U);
    EXPECT_EQ(r.signers[0].status, SignerStatus::kBadSignature);
    EXPECT_EQ(r.signers[1].status, SignerStatus::kGood);
  }
  // Detached content changed.
  {
    options.detached = true;
    const Bytes det = sign({as_signer(a), as_signer(b)}, content, options);
    Bytes other = content;
    other[4999] ^= 0x80;
    qcrypto::SignedVerifyResult r;
    EXPECT_EQ(verify(det, &other, &r, nullptr), qcrypto::SIGNED_INVALID);
    ASSERT_EQ(r.signers.size(), 2U);
    EXPECT_EQ(r.signers[0].status, SignerStatus::kBadDigest);
    EXPECT_EQ(r.signers[1].status, SignerStatus::kBadDigest);
  }
}

INSTANTIATE_TEST_SUITE_P(Types, SignedTamper,
                         ::testing::Values(PkiKeyType::kR3410, PkiKeyType::kEcr3410, PkiKeyType::kRsa,
                                           PkiKeyType::kEcdsaP256),
                         [](const auto& row) { return std::string(type_name(row.param)); });

// Without certificates in the message the signer is looked for in the
// caller's list; a certificate of the same issuer and serial number with
// another key does not verify.
TEST_F(SignedData, SignerCertificatesFromTheCallersList) {
  const Signer& a = Signers::get().at(PkiKeyType::kEcr3410, 0);
  const Signer& other = Signers::get().at(PkiKeyType::kEcr3410, 1);
  qcrypto::SignedOptions options;
  options.include_certs = false;
  const Bytes content = pkcs7_test::pattern(300, 12);
  const Bytes msg = sign({as_signer(a)}, content, options);
  ASSERT_FALSE(msg.empty());

  qcrypto::SignedVerifyResult r;
  EXPECT_EQ(verify(msg, nullptr, &r, nullptr), qcrypto::SIGNED_INVALID);
  ASSERT_EQ(r.signers.size(), 1U);
  EXPECT_TRUE(r.certificates.empty());
  EXPECT_EQ(r.signers[0].status, SignerStatus::kNoCertificate);
  EXPECT_TRUE(pkcs7_test::queued(qcrypto::P7S_F_PKCS7_SIGNATUREVERIFY, qcrypto::P7S_R_UNABLE_TO_FIND_CERTIFICATE));

  EXPECT_EQ(verify(msg, nullptr, &r, nullptr, {other.cert.get()}), qcrypto::SIGNED_INVALID);
  EXPECT_EQ(r.signers.at(0).status, SignerStatus::kNoCertificate);

  EXPECT_EQ(verify(msg, nullptr, &r, nullptr, {other.cert.get(), a.cert.get()}), 1);
  EXPECT_EQ(r.signers.at(0).status, SignerStatus::kGood);
  EXPECT_FALSE(r.signers[0].cert_from_message);

  // Same issuer name and serial number, another key.
  UniquePtr<EVP_PKEY> key(test_support::pki_new_key(PkiKeyType::kEcr3410));
  test_support::PkiCertSpec spec;
  spec.common_name = "signer ecr3410 0";
  spec.serial = 1;
  UniquePtr<X509> twin(test_support::pki_make_cert(key.get(), spec, nullptr, key.get()));
  ASSERT_TRUE(twin);
  EXPECT_EQ(verify(msg, nullptr, &r, nullptr, {twin.get()}), qcrypto::SIGNED_INVALID);
  EXPECT_EQ(r.signers.at(0).status, SignerStatus::kBadSignature);
  // Nor does it count as the required signer.
  EXPECT_EQ(verify(msg, nullptr, &r, nullptr, {a.cert.get()}), 1);
  EXPECT_EQ(qcrypto::signed_data_check_signers(r, std::vector<X509*>{twin.get()}), 0);
}

TEST_F(SignedData, RequiredSignerMissing) {
  const Signer& a = Signers::get().at(PkiKeyType::kR3410, 0);
  const Signer& b = Signers::get().at(PkiKeyType::kR3410, 1);
  const Signer& c = Signers::get().at(PkiKeyType::kEcr3410, 0);
  const Bytes msg = sign({as_signer(a), as_signer(c)}, pkcs7_test::pattern(50, 1));
  qcrypto::SignedVerifyResult r;
  ASSERT_EQ(verify(msg, nullptr, &r, nullptr), 1);
  EXPECT_EQ(qcrypto::signed_data_check_signers(r, std::vector<X509*>{a.cert.get(), c.cert.get()}), 1);
  EXPECT_EQ(qcrypto::signed_data_check_signers(r, std::vector<X509*>{a.cert.get(), b.cert.get()}), 0);
  EXPECT_EQ(qcrypto::signed_data_check_signers(r, std::vector<X509*>{b.cert.get()}), 0);
  EXPECT_EQ(qcrypto::signed_data_check_signers(r, std::vector<X509*>{}), 1);
}

struct Call {
  int stage;
  long done;
  long total;
  bool operator==(const Call&) const = default;
};
struct Recorder {
  std::vector<Call> calls;
  int cancel_at = -1;  // index of the call that answers 0
};
int record(int stage, long done, long total, void* user) {
  auto* rec = static_cast<Recorder*>(user);
  rec->calls.push_back({stage, done, total});
  return static_cast<int>(rec->calls.size()) - 1 == rec->cancel_at ? 0 : 1;
}

TEST_F(SignedData, ProgressCallsAndCancel) {
  const Signer& a = Signers::get().at(PkiKeyType::kEcr3410, 0);
  const long n = 2 * qcrypto::SIGNED_BLOCK + 10;
  const Bytes content = pkcs7_test::pattern(static_cast<size_t>(n), 3);
  const std::vector<Call> sign_calls = {{7, 0, n}, {7, 4096, n}, {7, 8192, n}, {7, n, n}};
  const std::vector<Call> verify_calls = {{6, 0, n}, {6, 4096, n}, {6, 8192, n}, {6, n, n}};

  Recorder rec;
  Bytes msg = sign({as_signer(a)}, content, {}, {record, &rec});
  EXPECT_EQ(rec.calls, sign_calls);
  rec = {};
  qcrypto::SignedVerifyResult r;
  ASSERT_EQ(verify(msg, nullptr, &r, nullptr, {}, {record, &rec}), 1);
  EXPECT_EQ(rec.calls, verify_calls);
  // A total larger than the content ends with (total, total).
  rec = {};
  ASSERT_EQ(verify(msg, nullptr, &r, nullptr, {}, {record, &rec}, 20000), 1);
  ASSERT_EQ(rec.calls.size(), 5U);
  EXPECT_EQ(rec.calls.front(), (Call{6, 0, 20000}));
  EXPECT_EQ(rec.calls.back(), (Call{6, 20000, 20000}));
  // Detached: the caller's total.
  qcrypto::SignedOptions detached;
  detached.detached = true;
  const Bytes det = sign({as_signer(a)}, content, detached);
  rec = {};
  ASSERT_EQ(verify(det, &content, &r, nullptr, {}, {record, &rec}, static_cast<std::uint64_t>(n)), 1);
  EXPECT_EQ(rec.calls, verify_calls);

  for (int at : {0, 2}) {
    SCOPED_TRACE(at);
    rec = {};
    rec.cancel_at = at;
    int rc = 0;
    EXPECT_TRUE(sign({as_signer(a)}, content, {}, {record, &rec}, &rc).empty());
    EXPECT_EQ(rc, qcrypto::SIGNED_CANCELLED);
    EXPECT_EQ(rec.calls.size(), static_cast<size_t>(at + 1));
    EXPECT_TRUE(pkcs7_test::queued(qcrypto::P7S_F_PKCS7_DATAFINAL, qcrypto::P7E_R_CANCELLED));
    rec = {};
    rec.cancel_at = at;
    Bytes out;
    EXPECT_EQ(verify(msg, nullptr, &r, &out, {}, {record, &rec}), qcrypto::SIGNED_CANCELLED);
    EXPECT_EQ(rec.calls.size(), static_cast<size_t>(at + 1));
    EXPECT_TRUE(r.signers.empty());
    EXPECT_TRUE(pkcs7_test::queued(qcrypto::P7S_F_PKCS7_DATAVERIFY, qcrypto::P7E_R_CANCELLED));
  }
}

// With the deterministic random method and a fixed signing time a GOST
// message reproduces byte for byte; different random bytes give a different
// message that verifies too.
TEST_F(SignedData, DeterministicRandomReproducesGostMessages) {
  const Bytes content = pkcs7_test::pattern(9000, 4);
  qcrypto::SignedOptions options;
  options.signing_time = kWhen;
  for (PkiKeyType type : {PkiKeyType::kR3410, PkiKeyType::kEcr3410}) {
    SCOPED_TRACE(type_name(type));
    const std::vector<qcrypto::SignedSigner> signers = {as_signer(Signers::get().at(type, 0)),
                                                        as_signer(Signers::get().at(type, 1))};
    auto run = [&](unsigned seed) {
      qcrypto::RAND_set_rand_method(qcrypto::RAND_fixed_method());
      qcrypto::RAND_fixed_set_bytes(pkcs7_test::pattern(1 << 14, seed));
      Bytes m = sign(signers, content, options);
      qcrypto::RAND_set_rand_method(&pkcs7_test::kSystemRand);
      return m;
    };
    const Bytes first = run(1);
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(run(1), first);
    const Bytes other = run(2);
    EXPECT_NE(other, first);
    qcrypto::SignedVerifyResult r;
    EXPECT_EQ(verify(first, nullptr, &r, nullptr), 1);
    EXPECT_EQ(verify(other, nullptr, &r, nullptr), 1);
  }
}

// A scratch file open for reading and writing, gone once closed; `append`
// opens it for appending only.
class ScratchFile {
 public:
  explicit ScratchFile(bool append = false) : fp_(std::tmpfile()) {
    if (fp_ != nullptr && append) fcntl(fileno(fp_), F_SETFL, O_APPEND);
  }
  ~ScratchFile() {
    if (fp_ != nullptr) std::fclose(fp_);
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;
  FILE* fp() const { return fp_; }
  int fd() const { return fp_ != nullptr ? fileno(fp_) : -1; }
  Bytes bytes() const {
    Bytes b;
    struct stat st {};
    if (fp_ == nullptr || std::fflush(fp_) != 0 || fstat(fd(), &st) != 0) return b;
    b.resize(static_cast<size_t>(st.st_size));
    if (pread(fd(), b.data(), b.size(), 0) != static_cast<ssize_t>(b.size())) b.clear();
    return b;
  }

 private:
  FILE* fp_;
};

// The outputs a message can be written into after bytes that were there.
enum class Output { kDescriptor, kStdioFile, kAppending };

// Signs into a scratch file that already holds `prefix`; the whole file.
Bytes sign_into_file(const std::vector<qcrypto::SignedSigner>& signers, const Bytes& content,
                     const qcrypto::SignedOptions& options, Output kind, const Bytes& prefix) {
  ScratchFile file(kind == Output::kAppending);
  UniquePtr<BIO> in(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
  UniquePtr<BIO> out(kind == Output::kStdioFile ? BIO_new_fp(file.fp(), BIO_NOCLOSE)
                                                : BIO_new_fd(file.fd(), BIO_NOCLOSE));
  const int n = static_cast<int>(prefix.size());
  if (!in || !out || (n > 0 && BIO_write(out.get(), prefix.data(), n) != n)) return {};
  if (qcrypto::signed_data_sign_bio(signers, in.get(), content.size(), out.get(), options) != 1) return {};
  out.reset();
  return file.bytes();
}

// Into a file the content is copied as it is digested and the head is
// written again at the end; into memory the content is read twice. Under
// the same random bytes both give the same message, byte for byte, also at
// the content lengths around 64 KiB where the DER lengths of the final head
// take a byte less than those laid out for the longest signatures and the
// content moves. An appending file takes the two passes.
TEST_F(SignedData, InPlaceHeadGivesTheTwoPassMessage) {
  const Bytes prefix = {'s', 'o', 'm', 'e', '\n'};
  qcrypto::SignedOptions options;
  options.signing_time = kWhen;
  for (PkiKeyType type : {PkiKeyType::kR3410, PkiKeyType::kEcr3410, PkiKeyType::kRsa}) {
    for (int count : {1, 2}) {
      SCOPED_TRACE(std::string(type_name(type)) + " x" + std::to_string(count));
      std::vector<qcrypto::SignedSigner> signers;
      for (int i = 0; i < count; ++i) signers.push_back(as_signer(Signers::get().at(type, i)));
      const Bytes probe = sign(signers, Bytes(1000, 1), options);
      ASSERT_FALSE(probe.empty());
      const size_t overhead = probe.size() - 1000;
      for (size_t length = 0x10000 - overhead - 24; length < 0x10000 - overhead + 12; ++length) {
        SCOPED_TRACE(length);
        const Bytes content = pkcs7_test::pattern(length, static_cast<unsigned>(length));
        const auto kind = static_cast<Output>(length % 3);
        auto run = [&](bool into_file) {
          qcrypto::RAND_set_rand_method(qcrypto::RAND_fixed_method());
          qcrypto::RAND_fixed_set_bytes(pkcs7_test::pattern(1 << 14, static_cast<unsigned>(length)));
          Bytes m =
              into_file ? sign_into_file(signers, content, options, kind, prefix) : sign(signers, content, options);
          qcrypto::RAND_set_rand_method(&pkcs7_test::kSystemRand);
          return m;
        };
        const Bytes two_pass = run(false);
        ASSERT_FALSE(two_pass.empty());
        Bytes expected = prefix;
        expected.insert(expected.end(), two_pass.begin(), two_pass.end());
        ASSERT_EQ(run(true), expected) << "output " << static_cast<int>(kind);
        qcrypto::SignedVerifyResult r;
        Bytes out;
        ASSERT_EQ(verify(two_pass, nullptr, &r, &out), 1);
        EXPECT_EQ(out, content);
      }
    }
  }
}

// Content many blocks long (the input is read several blocks at a time):
// still one progress call per block, the same message into a file as into
// memory, and it verifies.
TEST_F(SignedData, LongContentKeepsOneProgressCallPerBlock) {
  const std::vector<qcrypto::SignedSigner> signers = {as_signer(Signers::get().at(PkiKeyType::kEcr3410))};
  const size_t blocks = 150;
  const auto n = static_cast<long>(blocks * qcrypto::SIGNED_BLOCK + 7);
  const Bytes content = pkcs7_test::pattern(static_cast<size_t>(n), 12);
  std::vector<Call> expected = {{7, 0, n}};
  for (size_t i = 1; i <= blocks; ++i) expected.push_back({7, static_cast<long>(i * qcrypto::SIGNED_BLOCK), n});
  expected.push_back({7, n, n});
  qcrypto::SignedOptions options;
  options.signing_time = kWhen;
  qcrypto::RAND_set_rand_method(qcrypto::RAND_fixed_method());
  qcrypto::RAND_fixed_set_bytes(pkcs7_test::pattern(1 << 14, 5));
  Recorder rec;
  const Bytes in_memory = sign(signers, content, options, {record, &rec});
  EXPECT_EQ(rec.calls, expected);
  qcrypto::RAND_fixed_set_bytes(pkcs7_test::pattern(1 << 14, 5));
  const Bytes in_file = sign_into_file(signers, content, options, Output::kDescriptor, {});
  qcrypto::RAND_set_rand_method(&pkcs7_test::kSystemRand);
  ASSERT_FALSE(in_memory.empty());
  EXPECT_EQ(in_file, in_memory);
  qcrypto::SignedVerifyResult r;
  Bytes back;
  ASSERT_EQ(verify(in_file, nullptr, &r, &back), 1);
  EXPECT_EQ(back, content);
}

// Into a file the content is read once, so a pipe will do as input; into
// memory it must be read twice, which a pipe cannot.
TEST_F(SignedData, PipeInputNeedsAFileOutput) {
  const Signer& s = Signers::get().at(PkiKeyType::kEcr3410);
  const Bytes content = pkcs7_test::pattern(3 * qcrypto::SIGNED_BLOCK + 5, 9);
  for (bool into_file : {true, false}) {
    SCOPED_TRACE(into_file ? "file" : "memory");
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    // Less than a pipe holds: all written before the signing reads.
    ASSERT_EQ(write(fds[1], content.data(), content.size()), static_cast<ssize_t>(content.size()));
    close(fds[1]);
    UniquePtr<BIO> in(BIO_new_fd(fds[0], BIO_CLOSE));
    ScratchFile file;
    UniquePtr<BIO> out(into_file ? BIO_new_fd(file.fd(), BIO_NOCLOSE) : BIO_new(BIO_s_mem()));
    ASSERT_TRUE(in && out);
    const qcrypto::SignedSigner signers[] = {as_signer(s)};
    const int rc = qcrypto::signed_data_sign_bio(signers, in.get(), content.size(), out.get());
    if (into_file) {
      ASSERT_EQ(rc, 1);
      qcrypto::SignedVerifyResult r;
      Bytes back;
      ASSERT_EQ(verify(file.bytes(), nullptr, &r, &back), 1);
      EXPECT_EQ(back, content);
    } else {
      EXPECT_EQ(rc, 0);
      EXPECT_TRUE(pkcs7_test::queued(qcrypto::P7S_F_PKCS7_DATAFINAL, qcrypto::P7S_R_NO_CONTENT));
    }
  }
}

TEST_F(SignedData, PemInputIsRead) {
  const Bytes content = pkcs7_test::pattern(700, 8);
  const Bytes msg = sign({as_signer(Signers::get().at(PkiKeyType::kR3410))}, content);
  for (const char* label : {"PKCS7", "CMS"}) {
    UniquePtr<BIO> pem(BIO_new(BIO_s_mem()));
    ASSERT_GT(PEM_write_bio(pem.get(), label, "", msg.data(), static_cast<long>(msg.size())), 0);
    qcrypto::SignedVerifyResult r;
    Bytes out;
    EXPECT_EQ(verify(pkcs7_test::bio_bytes(pem.get()), nullptr, &r, &out), 1) << label;
    EXPECT_EQ(out, content);
  }
}

// Broken and hostile messages end in 0 with nothing good reported: every
// truncation, trailing bytes, content both attached and detached, no
// content at all, another content type, a wrong outer type.
TEST_F(SignedData, MalformedMessagesAreRefused) {
  const Bytes content = pkcs7_test::pattern(600, 2);
  const Bytes msg = sign({as_signer(Signers::get().at(PkiKeyType::kEcr3410))}, content);
  qcrypto::SignedOptions detached_opt;
  detached_opt.detached = true;
  const Bytes det = sign({as_signer(Signers::get().at(PkiKeyType::kEcr3410))}, content, detached_opt);
  qcrypto::SignedVerifyResult r;
  for (size_t n = 0; n < msg.size(); n += (n < 64 ? 1 : 37)) {
    EXPECT_EQ(verify(Bytes(msg.begin(), msg.begin() + static_cast<long>(n)), nullptr, &r, nullptr), 0) << n;
  }
  Bytes longer = msg;
  longer.push_back(0);
  EXPECT_EQ(verify(longer, nullptr, &r, nullptr), 0);
  EXPECT_EQ(verify(msg, &content, &r, nullptr), 0);
  EXPECT_TRUE(pkcs7_test::queued(qcrypto::P7S_F_PKCS7_DATAVERIFY, qcrypto::P7S_R_NO_CONTENT));
  EXPECT_EQ(verify(det, nullptr, &r, nullptr), 0);
  EXPECT_TRUE(pkcs7_test::queued(qcrypto::P7S_F_PKCS7_DATAVERIFY, qcrypto::P7S_R_NO_CONTENT));
  Bytes enveloped = msg;
  enveloped[14] = 0x03;  // signedData -> envelopedData OID (last byte)
  ASSERT_EQ(msg[14], 0x02);
  EXPECT_EQ(verify(enveloped, nullptr, &r, nullptr), 0);
  EXPECT_TRUE(pkcs7_test::queued(qcrypto::P7S_F_PKCS7_DATAVERIFY, qcrypto::P7S_R_WRONG_PKCS7_TYPE));
  // Content type other than the signed contentType attribute.
  Bytes retyped = msg;
  const Bytes data_oid = {0x06, 0x09, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x07, 0x01};
  const size_t at = find_bytes(retyped, data_oid);
  ASSERT_NE(at, std::string::npos);
  retyped[at + 10] = 0x05;
  EXPECT_EQ(verify(retyped, nullptr, &r, nullptr), qcrypto::SIGNED_INVALID);
  EXPECT_EQ(r.signers.at(0).status, SignerStatus::kBadAttributes);
}

// A signer set over the bound: the message is refused before any signer
// record is decoded.
TEST_F(SignedData, SignerCountIsBounded) {
  const Signer& a = Signers::get().at(PkiKeyType::kEcr3410, 0);
  // The writer never makes such a set: build the message by hand from one record.
  const Bytes one = sign({as_signer(a)}, Bytes(4, 7));
  ASSERT_FALSE(one.empty());
  qcrypto::SignedVerifyResult r;
  ASSERT_EQ(verify(one, nullptr, &r, nullptr), 1);
  unsigned char* der = nullptr;
  const int n = i2d_PKCS7_SIGNER_INFO(r.signers[0].info.get(), &der);
  ASSERT_GT(n, 0);
  const Bytes info(der, der + n);
  OPENSSL_free(der);
  // Everything before the signer set stays; the set is rebuilt with 65 copies.
  const size_t info_at = find_bytes(one, info);
  ASSERT_NE(info_at, std::string::npos);
  const size_t set_at = info_at - qcrypto::p7::header_size(info.size());
  ASSERT_EQ(one[set_at], 0x31);
  Bytes body(one.begin() + 15 + 4 + 4, one.begin() + static_cast<long>(set_at));  // inside SignedData
  Bytes set;
  for (int i = 0; i < 65; ++i) set.insert(set.end(), info.begin(), info.end());
  Bytes sd_inner = body;
  qcrypto::p7::append_header(&sd_inner, 0x31, set.size());
  sd_inner.insert(sd_inner.end(), set.begin(), set.end());
  Bytes sd;
  qcrypto::p7::append_header(&sd, 0x30, sd_inner.size());
  sd.insert(sd.end(), sd_inner.begin(), sd_inner.end());
  Bytes expl;
  qcrypto::p7::append_header(&expl, 0xa0, sd.size());
  expl.insert(expl.end(), sd.begin(), sd.end());
  Bytes ci_inner(one.begin() + 4, one.begin() + 15);
  ci_inner.insert(ci_inner.end(), expl.begin(), expl.end());
  Bytes msg;
  qcrypto::p7::append_header(&msg, 0x30, ci_inner.size());
  msg.insert(msg.end(), ci_inner.begin(), ci_inner.end());
  EXPECT_EQ(verify(msg, nullptr, &r, nullptr), 0);
  EXPECT_TRUE(r.signers.empty());
  EXPECT_TRUE(pkcs7_test::queued(qcrypto::P7S_F_PKCS7_DATAVERIFY, qcrypto::P7S_R_MALFORMED));
}

// --- a message read in place -------------------------------------------------

// One DER element: where its contents start and how long they are.
struct Element {
  size_t body = 0;
  size_t length = 0;
  size_t end() const { return body + length; }
};
Element element_at(const Bytes& b, size_t at) {
  Element e;
  size_t p = at + 1;
  const unsigned char first = b.at(p++);
  if (first < 0x80) {
    e.length = first;
  } else {
    for (int i = 0; i < (first & 0x7f); ++i) e.length = (e.length << 8) | b.at(p++);
  }
  e.body = p;
  return e;
}
Bytes cut(const Bytes& b, size_t from, size_t to) {
  return Bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(to));
}
Bytes wrap(unsigned char tag, const Bytes& inner, bool indefinite) {
  Bytes out;
  if (indefinite) {
    out = {tag, 0x80};
  } else {
    qcrypto::p7::append_header(&out, tag, inner.size());
  }
  out.insert(out.end(), inner.begin(), inner.end());
  if (indefinite) out.insert(out.end(), {0, 0});
  return out;
}
Bytes join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// The attached DER message re-encoded as BER: the content as a constructed
// OCTET STRING of `piece`-byte strings, every level around it indefinite
// or definite. The signature does not cover the encoding.
Bytes as_ber(const Bytes& der, size_t piece, bool indefinite) {
  const Element ci = element_at(der, 0);
  const Element type = element_at(der, ci.body);
  const Element expl = element_at(der, type.end());
  const Element sd = element_at(der, expl.body);
  const Element version = element_at(der, sd.body);
  const Element algs = element_at(der, version.end());
  const Element eci = element_at(der, algs.end());
  const Element eci_type = element_at(der, eci.body);
  const Element eci_expl = element_at(der, eci_type.end());
  const Element octets = element_at(der, eci_expl.body);
  Bytes pieces;
  for (size_t at = octets.body; at < octets.end(); at += piece) {
    pieces = join({pieces, wrap(0x04, cut(der, at, std::min(at + piece, octets.end())), false)});
  }
  const Bytes content = wrap(0xa0, wrap(0x24, pieces, indefinite), indefinite);
  const Bytes encap = wrap(0x30, join({cut(der, eci.body, eci_type.end()), content}), indefinite);
  const Bytes signed_data =
      wrap(0x30, join({cut(der, sd.body, algs.end()), encap, cut(der, eci.end(), sd.end())}), indefinite);
  return wrap(0x30, join({cut(der, ci.body, type.end()), wrap(0xa0, signed_data, indefinite)}), indefinite);
}

struct MemRead {
  int rc = 0;
  std::vector<std::span<const unsigned char>> runs;
  Bytes content;  // the runs joined
  std::vector<Call> calls;
  qcrypto::SignedVerifyResult result;
};
MemRead verify_mem(const Bytes& msg, std::uint64_t progress_total = 0, bool digest_content = true) {
  MemRead m;
  Recorder rec;
  qcrypto::SignedVerifyOptions options;
  options.progress_total = progress_total;
  options.digest_content = digest_content;
  m.rc = qcrypto::signed_data_verify_mem(msg, &m.runs, &m.result, options, {record, &rec});
  for (const auto& run : m.runs) m.content.insert(m.content.end(), run.begin(), run.end());
  m.calls = std::move(rec.calls);
  return m;
}

// Every content form read in place gives what the BIO reader gives: the
// result, the signer verdicts, the content, the progress calls; the content
// is left where it lies in the message (one run for a primitive string, one
// per piece otherwise).
TEST_F(SignedData, MemoryReaderMatchesTheBioReader) {
  const Bytes content = pkcs7_test::pattern(5 * qcrypto::SIGNED_BLOCK + 123, 9);
  const Bytes der = sign({as_signer(Signers::get().at(PkiKeyType::kEcr3410))}, content);
  ASSERT_FALSE(der.empty());
  struct Form {
    const char* name;
    Bytes msg;
    size_t runs;
  };
  const size_t pieces = (content.size() + 999) / 1000;
  const std::vector<Form> forms = {
      {"der", der, 1},
      {"ber indefinite", as_ber(der, 1000, true), pieces},
      {"ber definite constructed", as_ber(der, 1000, false), pieces},
      {"ber one piece", as_ber(der, content.size(), true), 1},
  };
  for (const Form& f : forms) {
    SCOPED_TRACE(f.name);
    qcrypto::SignedVerifyResult r;
    Bytes out;
    Recorder rec;
    ASSERT_EQ(verify(f.msg, nullptr, &r, &out, {}, {record, &rec}), 1);
    ASSERT_EQ(out, content);
    const MemRead m = verify_mem(f.msg);
    EXPECT_EQ(m.rc, 1);
    EXPECT_EQ(m.content, content);
    EXPECT_EQ(m.calls, rec.calls);
    EXPECT_EQ(m.result.content_length, content.size());
    EXPECT_FALSE(m.result.detached);
    ASSERT_EQ(m.result.signers.size(), 1U);
    EXPECT_EQ(m.result.signers[0].status, SignerStatus::kGood);
    EXPECT_EQ(m.result.certificates.size(), r.certificates.size());
    ASSERT_EQ(m.runs.size(), f.runs);
    for (const auto& run : m.runs) {
      EXPECT_GE(run.data(), f.msg.data());
      EXPECT_LE(run.data() + run.size(), f.msg.data() + f.msg.size());
    }
    // Located without a digest: the same runs, and no signer passes unchecked.
    const MemRead located = verify_mem(f.msg, 0, false);
    EXPECT_EQ(located.rc, qcrypto::SIGNED_INVALID);
    ASSERT_EQ(located.runs.size(), m.runs.size());
    for (size_t i = 0; i < m.runs.size(); ++i) {
      EXPECT_EQ(located.runs[i].data(), m.runs[i].data());
      EXPECT_EQ(located.runs[i].size(), m.runs[i].size());
    }
    ASSERT_EQ(located.result.signers.size(), 1U);
    EXPECT_NE(located.result.signers[0].status, SignerStatus::kGood);
  }
  // A changed content byte fails the signer in both readers alike.
  Bytes changed = forms[1].msg;
  const size_t at = find_bytes(changed, Bytes(content.begin() + 2000, content.begin() + 2040));
  ASSERT_NE(at, std::string::npos);
  changed[at] ^= 1;
  qcrypto::SignedVerifyResult r;
  EXPECT_EQ(verify(changed, nullptr, &r, nullptr), qcrypto::SIGNED_INVALID);
  const MemRead m = verify_mem(changed);
  EXPECT_EQ(m.rc, qcrypto::SIGNED_INVALID);
  ASSERT_EQ(m.result.signers.size(), 1U);
  EXPECT_EQ(m.result.signers[0].status, SignerStatus::kBadDigest);
}

// In place as through a BIO: every truncation and trailing bytes are refused,
// in DER and in BER; PEM is left to the BIO form; a detached signature reads
// its content from the options.
TEST_F(SignedData, MemoryReaderRefusesWhatTheBioReaderRefuses) {
  const Bytes content = pkcs7_test::pattern(1500, 4);
  const Bytes der = sign({as_signer(Signers::get().at(PkiKeyType::kR3410))}, content);
  ASSERT_FALSE(der.empty());
  for (const Bytes& msg : {der, as_ber(der, 500, true), as_ber(der, 500, false)}) {
    for (size_t n = 0; n < msg.size(); n += (n < 80 ? 1 : 29)) {
      const Bytes cut_short(msg.begin(), msg.begin() + static_cast<long>(n));
      qcrypto::SignedVerifyResult r;
      ASSERT_EQ(verify(cut_short, nullptr, &r, nullptr), 0) << n;
      EXPECT_EQ(verify_mem(cut_short).rc, 0) << n;
    }
    Bytes longer = msg;
    longer.push_back(0);
    EXPECT_EQ(verify_mem(longer).rc, 0);
    EXPECT_TRUE(pkcs7_test::queued(qcrypto::P7S_F_PKCS7_DATAVERIFY, qcrypto::P7S_R_MALFORMED));
  }
  UniquePtr<BIO> pem(BIO_new(BIO_s_mem()));
  ASSERT_GT(PEM_write_bio(pem.get(), "PKCS7", "", der.data(), static_cast<long>(der.size())), 0);
  EXPECT_EQ(verify_mem(pkcs7_test::bio_bytes(pem.get())).rc, 0);

  qcrypto::SignedOptions detached_opt;
  detached_opt.detached = true;
  const Bytes det = sign({as_signer(Signers::get().at(PkiKeyType::kR3410))}, content, detached_opt);
  UniquePtr<BIO> det_in(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
  qcrypto::SignedVerifyOptions options;
  options.detached = det_in.get();
  std::vector<std::span<const unsigned char>> runs;
  qcrypto::SignedVerifyResult r;
  EXPECT_EQ(qcrypto::signed_data_verify_mem(det, &runs, &r, options), 1);
  EXPECT_TRUE(r.detached);
  EXPECT_EQ(r.content_length, content.size());
  EXPECT_TRUE(runs.empty());
  EXPECT_EQ(verify_mem(det).rc, 0);
  EXPECT_TRUE(pkcs7_test::queued(qcrypto::P7S_F_PKCS7_DATAVERIFY, qcrypto::P7S_R_NO_CONTENT));
}

// A detached content held in memory is judged as the same bytes through a
// BIO: the verdict, the signer status and the progress calls, for the
// content itself, a changed byte, a cut and none at all. The message must
// be detached, and one content is the most a caller may give.
TEST_F(SignedData, DetachedContentInMemoryMatchesTheBio) {
  const Bytes content = pkcs7_test::pattern(3 * qcrypto::SIGNED_BLOCK + 77, 6);
  qcrypto::SignedOptions detached_opt;
  detached_opt.detached = true;
  const Bytes det = sign({as_signer(Signers::get().at(PkiKeyType::kEcr3410))}, content, detached_opt);
  ASSERT_FALSE(det.empty());
  Bytes changed = content;
  changed[qcrypto::SIGNED_BLOCK + 5] ^= 0x40;
  struct Row {
    const char* name;
    Bytes given;
    int rc;
  };
  const std::vector<Row> rows = {
      {"the content", content, 1},
      {"a changed byte", changed, qcrypto::SIGNED_INVALID},
      {"cut by one", Bytes(content.begin(), content.end() - 1), qcrypto::SIGNED_INVALID},
      {"empty", Bytes{}, qcrypto::SIGNED_INVALID},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    qcrypto::SignedVerifyResult through_bio;
    Recorder bio_calls;
    ASSERT_EQ(verify(det, &row.given, &through_bio, nullptr, {}, {record, &bio_calls}, row.given.size()), row.rc);
    qcrypto::SignedVerifyOptions options;
    options.detached_bytes.emplace(row.given.data(), row.given.size());
    options.progress_total = row.given.size();
    std::vector<std::span<const unsigned char>> runs;
    qcrypto::SignedVerifyResult in_memory;
    Recorder mem_calls;
    EXPECT_EQ(qcrypto::signed_data_verify_mem(det, &runs, &in_memory, options, {record, &mem_calls}), row.rc);
    EXPECT_TRUE(runs.empty()) << "the caller's content is not handed back";
    EXPECT_TRUE(in_memory.detached);
    EXPECT_EQ(in_memory.content_length, row.given.size());
    ASSERT_EQ(in_memory.signers.size(), 1U);
    EXPECT_EQ(in_memory.signers[0].status, through_bio.signers[0].status);
    EXPECT_EQ(mem_calls.calls, bio_calls.calls);
    // The BIO reader takes the same bytes too.
    UniquePtr<BIO> in(BIO_new_mem_buf(det.data(), static_cast<int>(det.size())));
    qcrypto::SignedVerifyResult bio_with_bytes;
    EXPECT_EQ(qcrypto::signed_data_verify_bio(in.get(), nullptr, &bio_with_bytes, options), row.rc);
  }

  const Bytes attached = sign({as_signer(Signers::get().at(PkiKeyType::kEcr3410))}, content);
  qcrypto::SignedVerifyOptions options;
  options.detached_bytes.emplace(content.data(), content.size());
  qcrypto::SignedVerifyResult r;
  EXPECT_EQ(qcrypto::signed_data_verify_mem(attached, nullptr, &r, options), 0);
  EXPECT_TRUE(pkcs7_test::queued(qcrypto::P7S_F_PKCS7_DATAVERIFY, qcrypto::P7S_R_NO_CONTENT));

  UniquePtr<BIO> second(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
  options.detached = second.get();
  EXPECT_EQ(qcrypto::signed_data_verify_mem(det, nullptr, &r, options), 0);
  EXPECT_TRUE(pkcs7_test::queued(qcrypto::P7S_F_PKCS7_DATAVERIFY, qcrypto::ERR_R_INTERNAL));
  EXPECT_TRUE(r.signers.empty());
}

// A signer's signature over its signed attributes does not verify as an
// attribute-less signature over those attributes as content, through either
// reader, attached or detached, whatever the key type: the signature
// failure, not a good signer.
TEST_F(SignedData, SignedAttributesReplayedAsContentAreRefused) {
  for (const PkiKeyType type : {PkiKeyType::kR3410, PkiKeyType::kEcr3410, PkiKeyType::kRsa, PkiKeyType::kEcdsaP256}) {
    for (const bool detached : {false, true}) {
      SCOPED_TRACE(std::string(type_name(type)) + (detached ? " detached" : " attached"));
      qcrypto::SignedOptions options;
      options.detached = detached;
      options.signing_time = kWhen;
      const Bytes original = pkcs7_test::pattern(700, 11);
      const Bytes msg = sign({as_signer(Signers::get().at(type))}, original, options);
      ASSERT_FALSE(msg.empty());
      Bytes content;
      const Bytes forged = test_support::attributes_as_content(msg, &content);
      ASSERT_FALSE(forged.empty());
      ASSERT_EQ(content.at(0), 0x31);

      qcrypto::SignedVerifyResult r;
      Bytes out;
      EXPECT_EQ(verify(forged, detached ? &content : nullptr, &r, &out), qcrypto::SIGNED_INVALID);
      ASSERT_EQ(r.signers.size(), 1U);
      EXPECT_EQ(r.signers[0].status, SignerStatus::kBadSignature);
      EXPECT_TRUE(pkcs7_test::queued(qcrypto::P7S_F_PKCS7_SIGNATUREVERIFY, qcrypto::P7S_R_SIGNATURE_FAILURE));
      qcrypto::ERR_clear_error();

      qcrypto::SignedVerifyOptions mem_options;
      if (detached) mem_options.detached_bytes.emplace(content.data(), content.size());
      std::vector<std::span<const unsigned char>> runs;
      qcrypto::SignedVerifyResult in_memory;
      EXPECT_EQ(qcrypto::signed_data_verify_mem(forged, &runs, &in_memory, mem_options), qcrypto::SIGNED_INVALID);
      ASSERT_EQ(in_memory.signers.size(), 1U);
      EXPECT_EQ(in_memory.signers[0].status, SignerStatus::kBadSignature);
      qcrypto::ERR_clear_error();

      // The content in pieces, so that the attributes arrive split anywhere.
      for (const size_t piece : {size_t{1}, size_t{7}}) {
        if (detached) break;
        SCOPED_TRACE("pieces of " + std::to_string(piece));
        const Bytes ber = as_ber(forged, piece, piece == 1);
        EXPECT_EQ(verify(ber, nullptr, &r, &out), qcrypto::SIGNED_INVALID);
        ASSERT_EQ(r.signers.size(), 1U);
        EXPECT_EQ(r.signers[0].status, SignerStatus::kBadSignature);
        EXPECT_EQ(qcrypto::signed_data_verify_mem(ber, &runs, &in_memory, {}), qcrypto::SIGNED_INVALID);
        ASSERT_EQ(in_memory.signers.size(), 1U);
        EXPECT_EQ(in_memory.signers[0].status, SignerStatus::kBadSignature);
        qcrypto::ERR_clear_error();
      }

      // The message as signed still checks out.
      EXPECT_EQ(verify(msg, detached ? &original : nullptr, &r, &out), 1);
    }
  }
}

}  // namespace
}  // namespace signed_test
