// Signing digests through a provider-held key, against the project's own
// provider library (stand-ins/capi), which signs with OpenSSL's arithmetic:
// signatures must verify with our verification in both schemes and both
// forms, every provider failure must end cleanly with nothing written past
// the room given, and the provider must be driven in the documented order.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/rand.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "crypto/bn/bn_owner.h"
#include "crypto/capi/capi.h"
#include "crypto/ec/ecurve.h"
#include "crypto/ecgost/ecgost.h"
#include "crypto/err/err.h"
#include "crypto/r3410/r3410.h"

namespace qcrypto {
namespace {

constexpr std::uintptr_t kHandle = 4242;
constexpr std::uint32_t kSpec = 2;
constexpr unsigned char kCanary = 0xA5;
constexpr std::size_t kCanaryBytes = 32;

std::string hex(const BIGNUM* b) {
  char* text = BN_bn2hex(b);
  std::string out(text);
  OPENSSL_free(text);
  return out;
}

std::vector<unsigned char> random_bytes(std::size_t n) {
  std::vector<unsigned char> out(n);
  EXPECT_EQ(::RAND_bytes(out.data(), static_cast<int>(n)), 1);
  return out;
}

BnPtr random_below(const BIGNUM* q) {
  BnPtr v(BN_new());
  do {
    EXPECT_EQ(::BN_rand_range(v.get(), q), 1);
  } while (BN_is_zero(v.get()));
  return v;
}

// A buffer of `room` bytes followed by canary bytes that must survive.
struct Guarded {
  explicit Guarded(std::size_t capacity) : room(capacity), bytes(capacity + kCanaryBytes, kCanary) {}
  unsigned char* data() { return bytes.data(); }
  bool canary_intact() const {
    for (std::size_t i = room; i < bytes.size(); ++i) {
      if (bytes[i] != kCanary) return false;
    }
    return true;
  }
  std::size_t room;
  std::vector<unsigned char> bytes;
};

// Both kinds of provider-held key, built for the same test body: the key
// record carries the public part and the provider binding only; the private
// number goes into the provider's key file.
class ProviderKey {
 public:
  virtual ~ProviderKey() = default;
  virtual std::string name() const = 0;
  virtual int room() const = 0;
  virtual int sign(int form, const unsigned char* digest, int length, unsigned char* out, unsigned int* out_length) = 0;
  virtual int verify(int form, const unsigned char* digest, int length, const unsigned char* sig, int sig_length) = 0;
  virtual int last_error_lib() const = 0;
  virtual int provider_reason() const = 0;
  // The key file's lines.
  std::string file;
};

class Key94 : public ProviderKey {
 public:
  Key94() {
    key_.reset(GOSTS_new());
    EXPECT_EQ(R3410_default_params(key_.get()), 1);
    BnPtr x = random_below(key_->q);
    key_->x = BN_dup(x.get());
    EXPECT_EQ(R3410_generate_pubkey(key_.get()), 1);
    file =
        "scheme=94\np=" + hex(key_->p) + "\nq=" + hex(key_->q) + "\na=" + hex(key_->a) + "\nx=" + hex(x.get()) + "\n";
    // Signing must not need the number: it is gone from the record.
    BN_clear_free(key_->x);
    key_->x = nullptr;
    key_->provider = reinterpret_cast<void*>(kHandle);
    key_->key_spec = static_cast<int>(kSpec);
  }
  std::string name() const override { return "34.10-94"; }
  int room() const override { return R3410_size(key_.get()); }
  int sign(int form, const unsigned char* digest, int length, unsigned char* out, unsigned int* out_length) override {
    return R3410_sign(form, key_.get(), digest, length, out, out_length);
  }
  int verify(int form, const unsigned char* digest, int length, const unsigned char* sig, int sig_length) override {
    return R3410_verify(form, key_.get(), digest, length, sig, sig_length);
  }
  int last_error_lib() const override { return ERRLIB_R3410; }
  int provider_reason() const override { return R3410_R_PROVIDER_SIGN_FAILED; }
  R3410* get() { return key_.get(); }

 private:
  UniquePtr<R3410> key_;
};

class Key2001 : public ProviderKey {
 public:
  Key2001() {
    UniquePtr<ECURVE> curve(ECURVE_init(&ECURVE_DEF_191, ECURVE_PROJECTIVE));
    key_.reset(ECGOST_new(curve.get()));
    BnPtr d = random_below(curve->q);
    EXPECT_NE(BN_copy(key_->d, d.get()), nullptr);
    EXPECT_EQ(ECGOST_generate_pubkey(key_.get()), 1);
    UniquePtr<ECPOINT> g(ECPOINT_dup(curve->P));
    EXPECT_TRUE(ECPOINT_to_affine(g.get()));
    file = "scheme=2001\np=" + hex(curve->p) + "\na=" + hex(curve->a) + "\nb=" + hex(curve->b) + "\ngx=" + hex(g->X) +
           "\ngy=" + hex(g->Y) + "\nq=" + hex(curve->q) + "\nx=" + hex(d.get()) + "\n";
    BN_zero(key_->d);
    key_->provider = kHandle;
    key_->key_spec = kSpec;
  }
  std::string name() const override { return "34.10-2001"; }
  int room() const override { return ECGOST_size(key_.get()); }
  int sign(int form, const unsigned char* digest, int length, unsigned char* out, unsigned int* out_length) override {
    return ECGOST_sign_digest(form, key_.get(), digest, length, out, out_length);
  }
  int verify(int form, const unsigned char* digest, int length, const unsigned char* sig, int sig_length) override {
    return ECGOST_verify_digest(form, key_.get(), digest, length, sig, sig_length);
  }
  int last_error_lib() const override { return ERRLIB_ECGOST; }
  int provider_reason() const override { return ECGOST_R_PROVIDER_SIGN_FAILED; }

 private:
  UniquePtr<ECGOST> key_;
};

class CapiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/dossar-capi-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    ::setenv("DOSSAR_LIB_PATH", (std::string(DOSSAR_BINARY_DIR) + "/stand-ins/lib").c_str(), 1);
    ::setenv("DOSSAR_STANDIN_CAPI", "present", 1);
    ::setenv("DOSSAR_STANDIN_CAPI_KEY", (dir_ + "/key").c_str(), 1);
    ::setenv("DOSSAR_STANDIN_LOG", (dir_ + "/log").c_str(), 1);
    capi_release_default_provider();
    ERR_clear_error();
  }
  void TearDown() override {
    capi_release_default_provider();
    for (const char* name :
         {"DOSSAR_LIB_PATH", "DOSSAR_STANDIN_CAPI", "DOSSAR_STANDIN_CAPI_KEY", "DOSSAR_STANDIN_LOG"}) {
      ::unsetenv(name);
    }
    std::remove((dir_ + "/key").c_str());
    std::remove((dir_ + "/log").c_str());
    ::rmdir(dir_.c_str());
  }

  void WriteKey(const std::string& lines, std::uintptr_t handle = kHandle, std::uint32_t spec = kSpec) {
    std::ofstream out(dir_ + "/key", std::ios::trunc);
    out << lines << "handle=" << handle << "\nspec=" << spec << "\n";
  }
  std::vector<std::string> Log() {
    std::ifstream in(dir_ + "/log");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  void ClearLog() { std::remove((dir_ + "/log").c_str()); }

  std::string dir_;
};

std::vector<std::unique_ptr<ProviderKey>> BothKeys() {
  std::vector<std::unique_ptr<ProviderKey>> keys;
  keys.push_back(std::make_unique<Key94>());
  keys.push_back(std::make_unique<Key2001>());
  return keys;
}

const std::vector<std::string> kFullProtocol = {"CryptCreateHash alg=8033", "CryptSetHashParam", "CryptSignHashA size",
                                                "CryptSignHashA sign", "CryptDestroyHash"};

// --- signatures that verify ---------------------------------------------------

TEST_F(CapiTest, ProviderSignaturesVerifyInBothSchemesAndForms) {
  for (auto& key : BothKeys()) {
    WriteKey(key->file);
    for (int form : {176, 0}) {
      for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(key->name() + (form != 0 ? " DER" : " raw") + " round " + std::to_string(round));
        std::vector<unsigned char> digest = random_bytes(32);
        Guarded out(static_cast<std::size_t>(key->room()));
        unsigned int length = 12345;
        ClearLog();
        ASSERT_EQ(key->sign(form, digest.data(), 32, out.data(), &length), 1);
        EXPECT_EQ(Log(), kFullProtocol);
        EXPECT_TRUE(out.canary_intact());
        if (form == 0) {
          EXPECT_EQ(length, 64u);
        } else {
          EXPECT_GT(length, 64u);
          EXPECT_LE(length, static_cast<unsigned int>(key->room()));
        }
        EXPECT_EQ(key->verify(form, digest.data(), 32, out.data(), static_cast<int>(length)), 1);
        // The signature belongs to this digest, in this form only.
        digest[round] ^= 0x10;
        EXPECT_EQ(key->verify(form, digest.data(), 32, out.data(), static_cast<int>(length)), 0);
        digest[round] ^= 0x10;
        EXPECT_EQ(key->verify(form == 0 ? 176 : 0, digest.data(), 32, out.data(), static_cast<int>(length)), 0);
      }
    }
  }
}

// --- failures of the provider -------------------------------------------------

struct FailureCase {
  const char* name;
  const char* control;  // DOSSAR_STANDIN_CAPI; null: unset
  bool no_library;
  std::uintptr_t handle;  // the handle the provider holds the key under
  std::uint32_t spec;
  int capi_result;  // capi_sign_digest's sound answer: -1, or 1 for "a length"
  std::vector<std::string> protocol;
};

const std::vector<FailureCase>& FailureCases() {
  static const std::vector<FailureCase> cases = {
      {"absent", nullptr, false, kHandle, kSpec, -1, {"CryptCreateHash alg=8033"}},
      {"no_library", "present", true, kHandle, kSpec, -1, {}},
      {"other_handle", "present", false, kHandle + 1, kSpec, -1, {"CryptCreateHash alg=8033"}},
      {"other_spec",
       "present",
       false,
       kHandle,
       kSpec + 1,
       -1,
       {"CryptCreateHash alg=8033", "CryptSetHashParam", "CryptSignHashA size", "CryptDestroyHash"}},
      {"create_fails", "present,fail=1", false, kHandle, kSpec, -1, {"CryptCreateHash alg=8033"}},
      {"set_fails",
       "present,fail=2",
       false,
       kHandle,
       kSpec,
       -1,
       {"CryptCreateHash alg=8033", "CryptSetHashParam", "CryptDestroyHash"}},
      {"size_fails",
       "present,fail=3",
       false,
       kHandle,
       kSpec,
       -1,
       {"CryptCreateHash alg=8033", "CryptSetHashParam", "CryptSignHashA size", "CryptDestroyHash"}},
      {"sign_fails", "present,fail=4", false, kHandle, kSpec, -1, kFullProtocol},
      {"destroy_fails", "present,fail=5", false, kHandle, kSpec, -1, kFullProtocol},
      {"oversize",
       "present,oversize",
       false,
       kHandle,
       kSpec,
       -1,
       {"CryptCreateHash alg=8033", "CryptSetHashParam", "CryptSignHashA size", "CryptDestroyHash"}},
      {"wrong_length", "present,wronglen", false, kHandle, kSpec, -1, kFullProtocol},
      // These two give a length at the provider level; the wrappers then
      // find no signature value in it.
      {"short", "present,short", false, kHandle, kSpec, 1, kFullProtocol},
      {"pattern", "present,pattern=40", false, kHandle, kSpec, 1, kFullProtocol},
  };
  return cases;
}

TEST_F(CapiTest, EveryProviderFailureEndsCleanly) {
  for (auto& key : BothKeys()) {
    for (const FailureCase& c : FailureCases()) {
      SCOPED_TRACE(key->name() + " " + c.name);
      WriteKey(key->file, c.handle, c.spec);
      if (c.control != nullptr) {
        ::setenv("DOSSAR_STANDIN_CAPI", c.control, 1);
      } else {
        ::unsetenv("DOSSAR_STANDIN_CAPI");
      }
      ::setenv(
          "DOSSAR_LIB_PATH",
          c.no_library ? (dir_ + "/nothing-here").c_str() : (std::string(DOSSAR_BINARY_DIR) + "/stand-ins/lib").c_str(),
          1);
      capi_release_default_provider();
      std::vector<unsigned char> digest = random_bytes(32);

      // The provider call itself, with the key's room.
      ClearLog();
      Guarded raw(static_cast<std::size_t>(key->room()));
      unsigned int length = 777;
      const int got = capi_sign_digest(kHandle, kSpec, 176, digest.data(), 32, raw.data(),
                                       static_cast<unsigned int>(key->room()), &length);
      if (c.capi_result < 0) {
        EXPECT_EQ(got, -1);
        EXPECT_EQ(length, 0u);
      } else {
        EXPECT_GT(got, 0);
        EXPECT_EQ(length, static_cast<unsigned int>(got));
      }
      EXPECT_TRUE(raw.canary_intact());
      EXPECT_EQ(Log(), c.protocol);

      // Both forms of the wrapper: 0, no length, the provider reason queued.
      for (int form : {176, 0}) {
        ClearLog();
        ERR_clear_error();
        Guarded out(static_cast<std::size_t>(key->room()));
        length = 777;
        EXPECT_EQ(key->sign(form, digest.data(), 32, out.data(), &length), 0) << form;
        EXPECT_EQ(length, 0u);
        EXPECT_TRUE(out.canary_intact());
        const unsigned long e = ERR_peek_last_error();
        EXPECT_EQ(ERR_GET_LIB_CODE(e), key->last_error_lib());
        EXPECT_EQ(ERR_GET_REASON_CODE(e), key->provider_reason());
        EXPECT_EQ(Log(), c.protocol);
      }
    }
  }
}

// The provider answers a working key again once the failure is gone: the
// failing path left no state behind (library, hash objects).
TEST_F(CapiTest, SignsAgainAfterFailures) {
  Key2001 key;
  WriteKey(key.file);
  std::vector<unsigned char> digest = random_bytes(32);
  std::vector<unsigned char> out(static_cast<std::size_t>(key.room()));
  unsigned int length = 0;
  ::setenv("DOSSAR_LIB_PATH", (dir_ + "/nothing-here").c_str(), 1);
  EXPECT_EQ(key.sign(1, digest.data(), 32, out.data(), &length), 0);
  ::setenv("DOSSAR_LIB_PATH", (std::string(DOSSAR_BINARY_DIR) + "/stand-ins/lib").c_str(), 1);
  ::setenv("DOSSAR_STANDIN_CAPI", "present,fail=4", 1);
  EXPECT_EQ(key.sign(1, digest.data(), 32, out.data(), &length), 0);
  ::setenv("DOSSAR_STANDIN_CAPI", "present", 1);
  ASSERT_EQ(key.sign(1, digest.data(), 32, out.data(), &length), 1);
  EXPECT_EQ(key.verify(1, digest.data(), 32, out.data(), static_cast<int>(length)), 1);
}

// Inputs the wrappers refuse before the provider is asked: a RUS-HASH digest
// of another length, and a 34.10-94 key without the numbers that size its
// signature.
TEST_F(CapiTest, WrappersRefuseBeforeAskingTheProvider) {
  for (auto& key : BothKeys()) {
    WriteKey(key->file);
    std::vector<unsigned char> digest = random_bytes(64);
    for (int length : {0, 31, 33, 64}) {
      SCOPED_TRACE(key->name() + " digest of " + std::to_string(length));
      Guarded out(static_cast<std::size_t>(key->room()));
      unsigned int written = 4;
      ClearLog();
      EXPECT_EQ(key->sign(1, digest.data(), length, out.data(), &written), 0);
      EXPECT_EQ(written, 0u);
      EXPECT_TRUE(out.canary_intact());
      EXPECT_TRUE(Log().empty());
    }
  }
  Key94 key;
  WriteKey(key.file);
  BN_free(key.get()->q);
  key.get()->q = nullptr;
  std::vector<unsigned char> digest = random_bytes(32);
  std::vector<unsigned char> out(128);
  unsigned int written = 4;
  ERR_clear_error();
  EXPECT_EQ(key.sign(1, digest.data(), 32, out.data(), &written), 0);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(ERR_GET_REASON_CODE(ERR_peek_last_error()), ERR_R_INTERNAL);
  EXPECT_TRUE(Log().empty());
}

// Threads sign at once while another drops the process's reference to the
// provider library: every signature verifies, the library stays loaded for
// whoever is signing.
TEST_F(CapiTest, ConcurrentSigningWhileTheLibraryIsReleased) {
  ::unsetenv("DOSSAR_STANDIN_LOG");
  Key2001 key;
  WriteKey(key.file);
  std::atomic<bool> stop{false};
  std::atomic<int> good{0};
  std::thread releaser([&] {
    while (!stop.load()) capi_release_default_provider();
  });
  std::vector<std::thread> signers;
  for (int t = 0; t < 4; ++t) {
    signers.emplace_back([&] {
      for (int i = 0; i < 25; ++i) {
        std::vector<unsigned char> digest = random_bytes(32);
        std::vector<unsigned char> out(static_cast<std::size_t>(key.room()));
        unsigned int length = 0;
        if (key.sign(0, digest.data(), 32, out.data(), &length) == 1 &&
            key.verify(0, digest.data(), 32, out.data(), static_cast<int>(length)) == 1) {
          ++good;
        }
      }
    });
  }
  for (auto& t : signers) t.join();
  stop = true;
  releaser.join();
  EXPECT_EQ(good.load(), 100);
}

// --- the provider call itself ---------------------------------------------------

TEST_F(CapiTest, DigestNumbersMapToTheirAlgorithms) {
  Key94 key;
  WriteKey(key.file);
  struct Row {
    int type;
    const char* created;
    int digest_bytes;
  };
  for (const Row& row : {Row{4, "CryptCreateHash alg=8003", 16}, Row{41, "CryptCreateHash alg=8004", 20},
                         Row{64, "CryptCreateHash alg=8004", 20}, Row{114, "CryptCreateHash alg=8008", 36},
                         Row{176, "CryptCreateHash alg=8033", 32}}) {
    SCOPED_TRACE(row.type);
    std::vector<unsigned char> digest = random_bytes(static_cast<std::size_t>(row.digest_bytes));
    std::vector<unsigned char> out(256);
    unsigned int length = 9;
    ClearLog();
    const int got =
        capi_sign_digest(kHandle, kSpec, row.type, digest.data(), row.digest_bytes, out.data(), 256, &length);
    const std::vector<std::string> log = Log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), row.created);
    EXPECT_EQ(log.back(), "CryptDestroyHash");
    // The provider's key signs GOST hashes only.
    if (row.type == 176) {
      EXPECT_GT(got, 0);
    } else {
      EXPECT_EQ(got, -1);
    }
    // A digest of another size never reaches the provider.
    ClearLog();
    EXPECT_EQ(capi_sign_digest(kHandle, kSpec, row.type, digest.data(), row.digest_bytes - 1, out.data(), 256, &length),
              -1);
    EXPECT_EQ(length, 0u);
    EXPECT_TRUE(Log().empty());
  }
}

TEST_F(CapiTest, UnmappedNumbersGiveZeroWithoutProviderCalls) {
  std::vector<unsigned char> digest = random_bytes(64);
  std::vector<unsigned char> out(128);
  for (int type : {0, 1, 3, 5, 40, 65, 113, 115, 175, 177, 181, -1, 100000}) {
    SCOPED_TRACE(type);
    unsigned int length = 5;
    EXPECT_EQ(capi_sign_digest(kHandle, kSpec, type, digest.data(), 32, out.data(), 128, &length), 0);
    EXPECT_EQ(length, 0u);
  }
  EXPECT_TRUE(Log().empty());
}

TEST_F(CapiTest, MissingArgumentsGiveMinusOne) {
  std::vector<unsigned char> digest = random_bytes(32);
  std::vector<unsigned char> out(128);
  unsigned int length = 5;
  EXPECT_EQ(capi_sign_digest(kHandle, kSpec, 176, nullptr, 32, out.data(), 128, &length), -1);
  EXPECT_EQ(length, 0u);
  length = 5;
  EXPECT_EQ(capi_sign_digest(kHandle, kSpec, 176, digest.data(), 32, nullptr, 128, &length), -1);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(capi_sign_digest(kHandle, kSpec, 176, digest.data(), 32, out.data(), 128, nullptr), -1);
  EXPECT_TRUE(Log().empty());
}

// The provider's bytes come back in reverse order, over the whole length;
// a signature one byte larger than the room is refused before it is written.
TEST_F(CapiTest, ProviderBytesAreReversedWithinTheRoom) {
  Key94 key;
  WriteKey(key.file);
  for (int n : {1, 2, 3, 8, 33, 64, 72, 255}) {
    SCOPED_TRACE(n);
    ::setenv("DOSSAR_STANDIN_CAPI", ("present,pattern=" + std::to_string(n)).c_str(), 1);
    std::vector<unsigned char> digest = random_bytes(32);
    Guarded exact(static_cast<std::size_t>(n));
    unsigned int length = 0;
    ASSERT_EQ(
        capi_sign_digest(kHandle, kSpec, 176, digest.data(), 32, exact.data(), static_cast<unsigned int>(n), &length),
        n);
    EXPECT_EQ(length, static_cast<unsigned int>(n));
    for (int i = 0; i < n; ++i) EXPECT_EQ(exact.bytes[static_cast<std::size_t>(i)], n - i) << i;
    EXPECT_TRUE(exact.canary_intact());

    Guarded tight(static_cast<std::size_t>(n - 1));
    length = 3;
    ClearLog();
    EXPECT_EQ(capi_sign_digest(kHandle, kSpec, 176, digest.data(), 32, tight.data(), static_cast<unsigned int>(n - 1),
                               &length),
              -1);
    EXPECT_EQ(length, 0u);
    EXPECT_TRUE(tight.canary_intact());
    EXPECT_EQ(Log(), (std::vector<std::string>{"CryptCreateHash alg=8033", "CryptSetHashParam", "CryptSignHashA size",
                                               "CryptDestroyHash"}));
  }
}

// A provider that misbehaves in ways the driver library cannot script: the
// interface is driven the same way.
class ScriptedProvider final : public CapiProvider {
 public:
  std::function<bool(std::uint32_t*)> on_size;
  std::function<bool(unsigned char*, std::uint32_t*)> on_sign;
  int created = 0, destroyed = 0;
  std::uint32_t room_given = 0;

  bool create_hash(std::uintptr_t, std::uint32_t, Hash* hash) override {
    ++created;
    *hash = 7;
    return true;
  }
  bool set_hash_value(Hash hash, const unsigned char*) override { return hash == 7; }
  bool sign_hash(Hash, std::uint32_t, unsigned char* signature, std::uint32_t* length) override {
    if (signature == nullptr) return on_size(length);
    room_given = *length;
    return on_sign(signature, length);
  }
  bool destroy_hash(Hash) override {
    ++destroyed;
    return true;
  }
};

TEST(CapiInterface, ProviderLengthsAreHeldToTheRoom) {
  std::vector<unsigned char> digest(32, 0x33);
  struct Row {
    const char* name;
    std::uint32_t announced;
    std::uint32_t reported;
    int expected;
  };
  for (const Row& row : {Row{"exact", 40, 40, 40}, Row{"shorter", 40, 30, 30}, Row{"zero_size", 0, 0, -1},
                         Row{"zero_written", 40, 0, -1}, Row{"more_than_announced", 40, 41, -1},
                         Row{"huge", 0xffffffffu, 40, -1}, Row{"room_plus_one", 65, 65, -1}}) {
    SCOPED_TRACE(row.name);
    ScriptedProvider p;
    p.on_size = [&](std::uint32_t* length) {
      *length = row.announced;
      return true;
    };
    p.on_sign = [&](unsigned char* signature, std::uint32_t* length) {
      for (std::uint32_t i = 0; i < std::min(*length, row.reported); ++i) signature[i] = static_cast<unsigned char>(i);
      *length = row.reported;
      return true;
    };
    Guarded out(64);
    unsigned int length = 1;
    EXPECT_EQ(capi_sign_digest_with(p, 1, 2, 176, digest.data(), 32, out.data(), 64, &length), row.expected);
    EXPECT_EQ(length, row.expected > 0 ? static_cast<unsigned int>(row.expected) : 0u);
    EXPECT_TRUE(out.canary_intact());
    EXPECT_EQ(p.created, 1);
    EXPECT_EQ(p.destroyed, 1);
    // The provider is never offered more room than it announced.
    if (p.room_given != 0) {
      EXPECT_EQ(p.room_given, row.announced);
    }
    if (row.expected > 0) {
      for (int i = 0; i < row.expected; ++i) EXPECT_EQ(out.bytes[static_cast<std::size_t>(i)], row.expected - 1 - i);
    }
  }
}

}  // namespace
}  // namespace qcrypto
