// The toolkit driven as the engine drives it: worker threads, each
// bracketing its own work with QL_init / QL_cleanup on the one shared
// session. Each worker adds what it needs (the trusted root, its
// certificate, its key: given to the session or loaded from a protected key
// file through the password prompt), signs and verifies its own file,
// encrypts it to itself and decrypts it, and checks every byte and every
// progress call it sees. Keys are shared between workers, as one person's
// key serves every operation run for them.
//
// Once with another thread starting and stopping the toolkit in a tight
// loop on its own reference; once in batches with a full stop between
// them, after which the toolkit starts afresh (new session, new generator
// seeded through the random-sensor callback like a person typing); once
// with another thread clearing the session's keys under the operations; and
// a setter racing the last stop, whose value must not reach the next start.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "crypto/pkey/key_envelope.h"
#include "crypto/rand/grand.h"
#include "crypto/rand/mprand.h"
#include "crypto/rand/rand.h"
#include "quillon2/ql_certinfo.h"
#include "quillon2/ql_crypt.h"
#include "quillon2/ql_frame.h"
#include "quillon2/ql_keys.h"
#include "quillon2/ql_sign.h"
#include "tests/stress/stress_util.h"
#include "tests/support/gost_pki.h"
#include "tests/support/provider_fixture.h"
#include "tests/support/ql_fixture.h"

QCRYPTO_DECLARE_OWNER(PKCS8_PRIV_KEY_INFO, PKCS8_PRIV_KEY_INFO_free)
QCRYPTO_DECLARE_OWNER(X509_SIG, X509_SIG_free)

namespace {

using Bytes = std::vector<unsigned char>;
using stress::Failures;
using stress::Own;
using stress::Owned;

// As many workers as the engine runs operations at once on a busy machine.
constexpr int kWorkers = 8;
// Each worker stops after this many rounds or once the run's time is up,
// whichever comes first; nothing is asserted about how many it managed.
constexpr int kMaxRounds = 200;
constexpr auto kRunTime = std::chrono::seconds(2);
// The start/stop thread's bound, also ending with the workers.
constexpr int kMaxStarts = 100000000;

bool write_file(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

using SetPtr = qcrypto::UniquePtr<quillon2::QL_SIGN_SET>;

// What one operation's progress calls must look like. The record is the
// worker's own and is handed to the toolkit as the callback's user word, so
// a call that arrives with any other word belongs to another thread.
struct ProgressWatch {
  int stage = 0;
  long total = 0;
  long last_done = -1;
  int calls = 0;
  std::string problem;

  void expect(int next_stage, long next_total) {
    stage = next_stage;
    total = next_total;
    last_done = -1;
    calls = 0;
    problem.clear();
  }
  void note(const std::string& what) {
    if (problem.empty()) problem = what;
  }
};

thread_local ProgressWatch* t_watch = nullptr;
// Calls on a thread that installed no watch, or with a foreign user word.
std::atomic<int> g_stray_calls{0};

int watch_progress(int stage, long done, long total, void* user) {
  ProgressWatch* watch = t_watch;
  if (watch == nullptr || user != watch) {
    ++g_stray_calls;
    return 1;
  }
  const std::string at =
      " (stage " + std::to_string(stage) + ", " + std::to_string(done) + " of " + std::to_string(total) + ")";
  if (stage != watch->stage) watch->note("stage " + std::to_string(watch->stage) + " expected" + at);
  if (total != watch->total) watch->note("total " + std::to_string(watch->total) + " expected" + at);
  if (watch->calls == 0 && done != 0) watch->note("first call not at 0" + at);
  if (done < watch->last_done || done > total) watch->note("done out of order" + at);
  watch->last_done = done;
  ++watch->calls;
  return 1;
}

// The person at the keyboard types exactly what the generator asks for.
// Counted: each restart that draws random bytes asks again.
std::atomic<int> g_keys_typed{0};
int type_what_is_asked(int character, int /*ordinal*/, int /*total*/, void* /*user*/) {
  ++g_keys_typed;
  return character;
}

// Each key serves two workers, as one person's key serves every operation
// the engine runs for them: both GOST key types and RSA. Every worker has
// its own certificate (and so its own signer and recipient) on its key.
constexpr int kKeys = 4;
test_support::PkiKeyType key_type(int key) {
  switch (key) {
    case 0:
      return test_support::PkiKeyType::kR3410;
    case 2:
      return test_support::PkiKeyType::kRsa;
    default:
      return test_support::PkiKeyType::kEcr3410;
  }
}
// The second worker of each key loads it from a password-protected key file
// through the password prompt; the first hands the session the key itself.
bool loads_key_file(int worker) { return worker >= kKeys; }

constexpr char kKeyPassword[] = "stress password";

// The key file the calling worker is loading, for the prompt to check that
// the toolkit names this thread's file and not another's.
thread_local std::string t_key_file;
std::atomic<int> g_wrong_key_file_names{0};

int answer_password(char* buffer, int size, int /*flag*/, void* /*user*/) {
  if (t_key_file.empty() || t_key_file != quillon2::QL_get_key_file_name()) ++g_wrong_key_file_names;
  const int n = static_cast<int>(sizeof kKeyPassword) - 1;
  if (n > size) return -1;
  std::memcpy(buffer, kKeyPassword, static_cast<std::size_t>(n));
  return n;
}

struct Worker {
  EVP_PKEY* key = nullptr;  // one of the fixture's keys
  Owned<X509> cert;
  Bytes der;
  std::string key_file;  // when the worker loads its key from a file
};

class StressToolkit : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(scratch_.path.empty());
    // Restarts draw a fresh generator through the placeholder, which asks the
    // random sensor: no pauses between its prompts here.
    qcrypto::GRAND_set_keyboard_pause_limit(0);
    quillon2::QL_set_random_sensor_callback(type_what_is_asked);
    quillon2::QL_set_password_callback(answer_password);
    g_stray_calls = 0;
    g_keys_typed = 0;
    g_wrong_key_file_names = 0;

    ASSERT_EQ(quillon2::QL_init(nullptr, 0), quillon2::QL_OK);
    qcrypto::RAND_set_rand_method(&test_support::kSystemRand);
    ca_key_ = Own(test_support::gost_new_key(test_support::GostKeyType::kEcr3410));
    ASSERT_TRUE(ca_key_);
    ca_ = Own(test_support::gost_make_cert(ca_key_.get(), {"Stress CA", 1, true, 30}, nullptr, ca_key_.get()));
    ASSERT_TRUE(ca_);
    ca_der_ = test_support::to_der(ca_.get());
    for (int k = 0; k < kKeys; ++k) {
      keys_[static_cast<size_t>(k)] = Own(test_support::pki_new_key(key_type(k)));
      ASSERT_TRUE(keys_[static_cast<size_t>(k)]) << "key " << k;
    }
    for (int t = 0; t < kWorkers; ++t) {
      Worker& w = workers_[static_cast<size_t>(t)];
      w.key = keys_[static_cast<size_t>(t % kKeys)].get();
      const long serial = 100 + t;
      w.cert = Own(test_support::gost_make_cert(w.key, {"Worker " + std::to_string(t), serial, false, 30}, ca_.get(),
                                                ca_key_.get()));
      ASSERT_TRUE(w.cert) << "worker " << t;
      w.der = test_support::to_der(w.cert.get());
      if (loads_key_file(t)) {
        w.key_file = scratch_.path + "/key" + std::to_string(t) + ".p8";
        const Bytes file = test_support::encrypted_pkcs8(w.key, kKeyPassword);
        ASSERT_FALSE(file.empty()) << "worker " << t;
        ASSERT_TRUE(write_file(w.key_file, file));
      }
    }
    // Stopped again: the workers' own starts decide when the toolkit runs.
    ASSERT_EQ(quillon2::QL_cleanup(), quillon2::QL_OK);
    ASSERT_EQ(quillon2::QL_is_initialized(), 0);
  }

  void TearDown() override {
    while (quillon2::QL_is_initialized() != 0) quillon2::QL_cleanup();
    qcrypto::mprand_set_callback(nullptr);
    qcrypto::GRAND_set_keyboard_pause_limit(500);
  }

  // One round of worker t; every failure goes to `failures`.
  void Round(int t, int round, ProgressWatch& watch, Failures& failures);

  // Worker t's rounds until the deadline, under its own progress watch;
  // returns how many it ran.
  int RoundsUntil(int t, std::chrono::steady_clock::time_point deadline, Failures& failures) {
    ProgressWatch watch;
    t_watch = &watch;
    int rounds = 0;
    for (; rounds < kMaxRounds && std::chrono::steady_clock::now() < deadline; ++rounds)
      Round(t, rounds, watch, failures);
    t_watch = nullptr;
    return rounds;
  }

  test_support::Scratch scratch_{"ql-stress-"};
  Owned<EVP_PKEY> ca_key_;
  Owned<X509> ca_;
  Bytes ca_der_;
  std::array<Owned<EVP_PKEY>, kKeys> keys_;
  std::array<Worker, kWorkers> workers_;
  // Set by the test in which another thread clears the session's keys.
  bool keys_may_vanish_ = false;
  std::atomic<int> key_gone_{0};
  std::atomic<int> decrypted_{0};
};

void StressToolkit::Round(int t, int round, ProgressWatch& watch, Failures& failures) {
  using namespace quillon2;  // NOLINT(google-build-using-namespace): the toolkit's flat names
  const Worker& me = workers_[static_cast<size_t>(t)];
  const std::string where = "worker " + std::to_string(t) + " round " + std::to_string(round) + ": ";
  auto check = [&](bool ok, const std::string& what) {
    if (!ok) failures.Add(where + what);
    return ok;
  };
  auto check_code = [&](int code, const std::string& what) {
    return check(code == QL_OK, what + " gave " + std::to_string(code));
  };
  // With another thread clearing the session's keys, an operation that
  // finds none of them is the one failure allowed.
  auto key_gone = [&](int code, int gone_code) {
    if (!keys_may_vanish_ || code != gone_code) return false;
    ++key_gone_;
    return true;
  };
  auto check_progress = [&](const std::string& what, bool ends_at_total) {
    check(watch.problem.empty(), what + " progress: " + watch.problem);
    check(watch.calls >= 1, what + " made no progress call");
    if (ends_at_total) check(watch.last_done == watch.total, what + " progress did not end at the total");
  };

  if (!check_code(QL_init(nullptr, 0), "QL_init")) return;
  // Balanced on every path out of the round.
  struct Stop {
    ~Stop() { QL_cleanup(); }
  } stop;

  check_code(QL_set_progress_callback(watch_progress, &watch), "QL_set_progress_callback");
  // What this thread needs, whether or not the session is a fresh one.
  check_code(QL_add_trusted_certificate(ca_der_.data(), static_cast<long>(ca_der_.size())), "trusted root");
  check_code(QL_add_certificate(me.der.data(), static_cast<long>(me.der.size())), "own certificate");
  if (loads_key_file(t)) {
    // No password given: the prompt answers, and checks the file it is asked about.
    t_key_file = me.key_file;
    check_code(QL_load_key_file(me.key_file.c_str(), nullptr), "QL_load_key_file");
    t_key_file.clear();
  } else {
    QL_SESSION* session = QL_session_get();
    if (!check(session != nullptr, "no session while started")) return;
    // The envelope takes over the new reference, also when it fails.
    Owned<qcrypto::EVP_PKEY_ENVELOPE> key(EVP_PKEY_up_ref(me.key) == 1 ? qcrypto::EVP_PKEY_ENVELOPE_new(me.key, nullptr)
                                                                       : nullptr);
    if (check(key != nullptr, "no key envelope")) {
      key->decrypted = 1;
      check_code(mputil_add_key(session, std::move(key)), "adding the key");
    }
    QL_session_release(session);
  }
  // Settings are shared: every thread changes them under every other
  // thread's operations, and each result must hold under any of them.
  check_code(QL_set_include_certs((t + round) % 2), "QL_set_include_certs");
  check_code(QL_set_cipher((t + round) % 2 == 0 ? "RUS-GAMMAR" : "DES-EDE3-CBC"), "QL_set_cipher");
  const int formats[] = {0, 1, 2};
  check_code(QL_set_recipient_format(formats[(t + round) % 3]), "QL_set_recipient_format");

  // Sizes around the block length, different for every thread and round.
  const std::size_t sizes[] = {1, QL_BLOCK_BYTES - 1, QL_BLOCK_BYTES, 2 * QL_BLOCK_BYTES + 17, 3 * QL_BLOCK_BYTES};
  const std::size_t size = sizes[static_cast<size_t>(t + round) % std::size(sizes)] + static_cast<size_t>(t);
  const Bytes document = stress::Pattern(size, static_cast<uint64_t>(t) * 100003U + static_cast<uint64_t>(round));
  const std::string base = scratch_.path + "/w" + std::to_string(t);
  const std::string in = base + ".bin";
  const std::string signed_path = base + ".sgn";
  const std::string enc = base + ".enc";
  const std::string dec = base + ".dec";
  if (!check(write_file(in, document), "writing the input")) return;
  const long doc_len = static_cast<long>(document.size());
  const long der_len = static_cast<long>(me.der.size());

  // Sign and verify.
  SetPtr signing(QL_SIGN_SET_new());
  if (!check(signing != nullptr, "no signature set")) return;
  if (!check_code(QL_add_signer_certificate(signing.get(), QL_LOOKUP_BYTES, me.der.data(), &der_len), "signer")) return;
  watch.expect(QL_STAGE_SIGN, doc_len);
  const int sign_code = QL_sign_file(signing.get(), in.c_str(), signed_path.c_str(), 0);
  if (!key_gone(sign_code, QL_ERR_NO_SIGNER_KEY)) {
    if (!check_code(sign_code, "QL_sign_file")) return;
    check_progress("signing", true);
    const Bytes message = read_file(signed_path);
    if (!check(!message.empty(), "no signed file")) return;

    SetPtr checking(QL_SIGN_SET_new());
    if (!check(checking != nullptr, "no signature set")) return;
    unsigned char* content = nullptr;
    long content_length = 0;
    watch.expect(QL_STAGE_VERIFY, static_cast<long>(message.size()));
    const int verified = QL_verify_data_short(checking.get(), message.data(), static_cast<long>(message.size()),
                                              &content, &content_length, 1);
    const Bytes content_copy = content != nullptr ? Bytes(content, content + content_length) : Bytes();
    QL_free(content);
    if (check_code(verified, "QL_verify_data_short")) {
      check_progress("verification", true);
      check(content_copy == document, "verified content differs from the document");
      check(QL_SIGN_SET_signer_count(checking.get()) == 1, "signer count");
      check(QL_SIGN_SET_signer_status(checking.get(), 0) == QL_OK, "signer status");
      check(checking->signer_certs.size() == 1 && X509_cmp(checking->signer_certs[0].get(), me.cert.get()) == 0,
            "signer certificate is not the worker's");
    }
  }

  // Encrypt to itself and decrypt.
  Owned<QL_CERT_LIST> recipients(QL_CERT_LIST_new());
  if (!check(recipients != nullptr, "no recipient list")) return;
  if (!check_code(QL_add_recipient_certificate(recipients.get(), QL_LOOKUP_BYTES, me.der.data(), &der_len),
                  "recipient"))
    return;
  watch.expect(QL_STAGE_ENCRYPT, doc_len);
  if (!check_code(QL_encrypt_file(recipients.get(), in.c_str(), enc.c_str()), "QL_encrypt_file")) return;
  check_progress("encryption", true);
  const long enc_len = static_cast<long>(read_file(enc).size());
  watch.expect(QL_STAGE_DECRYPT, enc_len);
  const int decrypt_code = QL_decrypt_file(enc.c_str(), dec.c_str());
  if (key_gone(decrypt_code, QL_ERR_CANNOT_OPEN)) return;
  if (!check_code(decrypt_code, "QL_decrypt_file")) return;
  check_progress("decryption", true);
  check(read_file(dec) == document, "decrypted bytes differ from the document");
  ++decrypted_;
}

TEST_F(StressToolkit, WorkersSignVerifyEncryptDecryptWhileAnotherThreadStartsAndStops) {
  Failures failures;
  std::atomic<int> workers_left{kWorkers};
  std::array<int, kWorkers> rounds{};
  int starts = 0;
  const auto deadline = std::chrono::steady_clock::now() + kRunTime;

  stress::RunTogether(kWorkers + 1, [&](int t) {
    if (t == kWorkers) {
      // Starts and stops on its own reference: never one a worker holds.
      for (; starts < kMaxStarts && workers_left.load() > 0; ++starts) {
        if (quillon2::QL_init(nullptr, 0) != quillon2::QL_OK) {
          failures.Add("start/stop thread: QL_init failed");
          break;
        }
        if (quillon2::QL_is_initialized() != 1 || quillon2::QL_settings_get() == nullptr)
          failures.Add("start/stop thread: not started after QL_init");
        quillon2::QL_cleanup();
      }
      return;
    }
    rounds[static_cast<size_t>(t)] = RoundsUntil(t, deadline, failures);
    --workers_left;
  });

  failures.Report();
  EXPECT_EQ(g_stray_calls.load(), 0) << "progress calls with another thread's user word";
  EXPECT_EQ(g_wrong_key_file_names.load(), 0) << "password prompts naming another thread's key file";
  for (int t = 0; t < kWorkers; ++t) EXPECT_GE(rounds[static_cast<size_t>(t)], 1) << "worker " << t;
  EXPECT_GE(starts, 1);
  // Every start was balanced: the toolkit is stopped again.
  EXPECT_EQ(quillon2::QL_is_initialized(), 0);
  std::printf("rounds per worker:");
  for (int r : rounds) std::printf(" %d", r);
  std::printf("; starts of the start/stop thread: %d; keys typed for seedings: %d\n", starts, g_keys_typed.load());
}

// Another thread clears the session's keys again and again while the
// workers sign and decrypt: an operation that found its key keeps it until
// it is done (the result must be right), one that came too late finds none
// (106 or 125), and nothing is freed under a user.
TEST_F(StressToolkit, OperationsKeepTheirKeysWhileAnotherThreadClearsThem) {
  keys_may_vanish_ = true;
  Failures failures;
  std::atomic<int> workers_left{kWorkers};
  std::array<int, kWorkers> rounds{};
  int clears = 0;
  const auto deadline = std::chrono::steady_clock::now() + kRunTime;

  stress::RunTogether(kWorkers + 1, [&](int t) {
    if (t == kWorkers) {
      if (quillon2::QL_init(nullptr, 0) != quillon2::QL_OK) {
        failures.Add("clearing thread: QL_init failed");
        return;
      }
      for (; clears < kMaxStarts && workers_left.load() > 0; ++clears) {
        if (quillon2::QL_clear_keys() != quillon2::QL_OK) failures.Add("QL_clear_keys failed");
        // Paced, so that some operations find their keys and some do not.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      quillon2::QL_cleanup();
      return;
    }
    rounds[static_cast<size_t>(t)] = RoundsUntil(t, deadline, failures);
    --workers_left;
  });

  failures.Report();
  EXPECT_EQ(g_stray_calls.load(), 0) << "progress calls with another thread's user word";
  for (int t = 0; t < kWorkers; ++t) EXPECT_GE(rounds[static_cast<size_t>(t)], 1) << "worker " << t;
  EXPECT_GE(clears, 1);
  EXPECT_EQ(quillon2::QL_is_initialized(), 0);
  std::printf("clears: %d, operations without their key: %d, decryptions completed: %d\n", clears, key_gone_.load(),
              decrypted_.load());
}

// The workers alone, in batches: each worker takes a start for the batch
// (all of them racing into the toolkit's first start), runs a few rounds
// with their own starts inside it, and drops the batch start again. The
// workers meet between batches with none of them started, so the toolkit
// stops for real each time: the next batch gets a fresh session that holds
// nothing of the last one, and a generator that must be seeded again,
// asking the person only once however many threads want random bytes at
// that moment.
TEST_F(StressToolkit, WorkersRaceIntoFreshStartsAfterEveryFullStop) {
  constexpr int kRoundsPerBatch = 3;
  constexpr int kMaxBatches = 50;
  Failures failures;
  std::array<int, kWorkers> rounds{};
  const auto deadline = std::chrono::steady_clock::now() + kRunTime;
  int batches = 0;
  int started_at_a_meeting = 0;
  // Written by the meeting while every worker waits at the barrier.
  std::atomic<bool> go_on{true};
  // Runs on one thread while every worker waits, none of them started.
  auto meeting = [&]() noexcept {
    ++batches;
    if (quillon2::QL_is_initialized() != 0) ++started_at_a_meeting;
    go_on.store(batches < kMaxBatches && std::chrono::steady_clock::now() < deadline);
  };
  std::barrier all_started(kWorkers);
  std::barrier meet(kWorkers, meeting);

  stress::RunTogether(kWorkers, [&](int t) {
    ProgressWatch watch;
    t_watch = &watch;
    for (int batch = 0; go_on.load(); ++batch) {
      const bool started = quillon2::QL_init(nullptr, 0) == quillon2::QL_OK;
      if (!started) failures.Add("worker " + std::to_string(t) + ": batch start failed");
      // Nobody stops the toolkit before every worker holds its batch start.
      all_started.arrive_and_wait();
      for (int i = 0; i < kRoundsPerBatch; ++i) {
        Round(t, batch * kRoundsPerBatch + i, watch, failures);
        ++rounds[static_cast<size_t>(t)];
      }
      if (started) quillon2::QL_cleanup();
      meet.arrive_and_wait();
    }
    t_watch = nullptr;
  });

  failures.Report();
  EXPECT_EQ(g_stray_calls.load(), 0) << "progress calls with another thread's user word";
  EXPECT_EQ(g_wrong_key_file_names.load(), 0) << "password prompts naming another thread's key file";
  EXPECT_EQ(started_at_a_meeting, 0) << "the toolkit stayed started with every start balanced";
  ASSERT_GE(batches, 1);
  for (int t = 0; t < kWorkers; ++t) EXPECT_EQ(rounds[static_cast<size_t>(t)], batches * kRoundsPerBatch);
  // Each stop drops the generator; the first draw of the next batch seeds a
  // new one through the random sensor: 16 keys, asked once per batch.
  EXPECT_EQ(g_keys_typed.load(), batches * qcrypto::GRAND_KEYBOARD_KEYS);
  EXPECT_EQ(quillon2::QL_is_initialized(), 0);
  std::printf("batches: %d, rounds per worker: %d, keys typed: %d\n", batches, rounds[0], g_keys_typed.load());
}

}  // namespace

namespace {

// A setter racing the stop that balances the last start: the stop takes the
// settings back to their defaults, and what the setter wrote must not
// survive into the next start. One thread starts and stops the toolkit
// alone (each start is a first start); another keeps setting the recipient
// format to a new value, noting each call once it has returned, and holds
// off while a start is under way so that its newer values do not cover an
// older one. A value seen right after a start that comes from a call which
// had returned before that start began was written into a stopped toolkit.
TEST(StressToolkitSettings, ASetterRacingTheLastStopLeavesNothingForTheNextStart) {
  constexpr int kStarts = 400;
  std::atomic<bool> done{false};
  std::atomic<bool> starting{false};
  std::atomic<int> returned{0};  // the value of the last setter call that returned
  int leaked = 0;
  int first_leak = 0;
  int setter_calls = 0;
  stress::RunTogether(2, [&](int t) {
    if (t == 1) {
      for (int value = 1; !done.load() && value < std::numeric_limits<int>::max(); ++value) {
        if (starting.load()) continue;
        quillon2::QL_set_recipient_format(value);
        returned.store(value);
        ++setter_calls;
      }
      return;
    }
    for (int i = 0; i < kStarts; ++i) {
      starting = true;
      const int before = returned.load();
      const bool started = quillon2::QL_init(nullptr, 0) == quillon2::QL_OK;
      const quillon2::QL_SETTINGS* settings = quillon2::QL_settings_get();
      const int seen = settings != nullptr ? settings->recipient_format.load() : -1;
      starting = false;
      if (!started) continue;
      quillon2::QL_cleanup();
      if (seen != 0 && seen <= before) {
        if (leaked++ == 0) first_leak = seen;
      }
    }
    done = true;
  });
  EXPECT_EQ(leaked, 0) << "values of an earlier start seen after a first start, first " << first_leak;
  EXPECT_GE(setter_calls, 1);
  EXPECT_EQ(quillon2::QL_is_initialized(), 0);
}

}  // namespace
