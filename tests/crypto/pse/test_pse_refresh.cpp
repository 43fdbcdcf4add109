// An old container survives a refresh cut off at any single write: the
// refresh runs in a process of its own that fails (or dies) at write n, then
// a new process opens the container, loads its keys and signs. Separate
// processes, so no generator, cache or open file carries over.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "crypto/bio/media.h"
#include "crypto/pkey/key_envelope.h"
#include "crypto/pse/pse_files.h"
#include "crypto/rand/rand_device.h"
#include "crypto/rus/gost3411.h"
#include "tests/crypto/pse/pse_test_util.h"
#include "tests/support/pse_fixture.h"
#include "tests/support/run_program.h"

namespace qcrypto {
namespace {

using namespace pse_test;

const char* env(const char* name) { return std::getenv(name); }

std::string hex(const unsigned char* p, size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

// Runs this test program again with one test and extra environment.
test_support::ProgramResult run_child(const std::string& filter, const std::vector<std::string>& extra) {
  test_support::ProgramOptions options;
  options.environment = extra;
  test_support::ProgramResult r = test_support::run_program({"/proc/self/exe", "--gtest_filter=" + filter}, options);
  // A child that skipped never saw its task, yet exits 0 like a good one; and
  // its skip report echoed in a failure message here would make ctest count
  // this whole test as skipped rather than failed.
  if (r.output.find("[  SKIPPED ]") != std::string::npos) {
    r.status = -1;
    r.output = "the child skipped: its environment did not reach it";
  }
  return r;
}

// The child side: refresh under a fault, or open and use.
TEST(PseRefreshChild, Run) {
  const char* medium = env("PSE_CHILD_MEDIUM");
  if (medium == nullptr) GTEST_SKIP() << "runs only as a child of the refresh test";
  ERR_load_crypto_strings();
  RAND_set_rand_method(nullptr);
  if (std::string(env("PSE_CHILD_MODE")) == "refresh") {
    pse_test_set_write_fault(std::atoi(env("PSE_CHILD_AT")),
                             static_cast<PseWriteFault>(std::atoi(env("PSE_CHILD_FAULT"))));
    PSE_close(PSE30_open(medium, nullptr));  // may fail: the fault decides
    return;
  }
  UniquePtr<PSE> c(PSE30_open(medium, nullptr));
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(hex(c->fingerprint->data, 32), env("PSE_CHILD_PRINT"));
  unsigned char sec[PSE30_SEC_SGN_BYTES];
  ASSERT_EQ(PSE_read_sec_sgn_old(medium, sec), 1);
  UniquePtr<R3410> old(R3410_load_old_pse_key(c.get(), sec, sizeof sec));
  ASSERT_NE(old, nullptr);
  char key_path[PSE_PATH_BUFFER], dir[PSE_PATH_BUFFER];
  ASSERT_NE(PSE_sign_dir_path(medium, dir), nullptr);
  media_make_path(key_path, dir, "00000001.key", nullptr);
  const Bytes der = testing_support::read_whole(key_path);
  UniquePtr<EVP_PKEY_ENVELOPE> key(
      EVP_PKEY_decode_private(der.data(), static_cast<long>(der.size()), c.get(), nullptr, nullptr));
  ASSERT_NE(key, nullptr);
  EXPECT_FALSE(sign(key->pkey, {1, 2, 3}).empty());
  PSE_rand_cleanup();
}

TEST(PseRefresh, SurvivesAnInterruptionAtEveryWrite) {
  ERR_load_crypto_strings();
  Scratch scratch;
  struct Case {
    PseWriteFault fault;
    const char* name;
    int exit_code;  // of the refreshing child
  };
  const Case kinds[] = {
      {PseWriteFault::Fail, "fail", 0}, {PseWriteFault::Torn, "torn", 0}, {PseWriteFault::Die, "die", 86}};
  // Three writes: the backup, the new record, the wipe of the backup; a
  // number past them is an uninterrupted refresh.
  for (const Case& k : kinds) {
    for (int at = 1; at <= 4; ++at) {
      SCOPED_TRACE(std::string(k.name) + " at write " + std::to_string(at));
      RAND_set_rand_method(&kSystemRand);
      const std::string medium = scratch / (std::string(k.name) + std::to_string(at));
      auto f = testing_support::make_pse_fixture(medium, testing_support::PseFormat::Old, true);
      ASSERT_NE(f, nullptr);
      RAND_set_rand_method(nullptr);
      Bytes twice(f->master_key.begin(), f->master_key.end());
      twice.insert(twice.end(), f->master_key.begin(), f->master_key.end());
      unsigned char print[32];
      ASSERT_NE(GOSTH_digest(twice.data(), 64, nullptr, f->sbox.data(), print), nullptr);
      const std::vector<std::string> common = {"PSE_CHILD_MEDIUM=" + medium, "PSE_CHILD_PRINT=" + hex(print, 32)};
      std::vector<std::string> refresh = common;
      refresh.push_back("PSE_CHILD_MODE=refresh");
      refresh.push_back("PSE_CHILD_AT=" + std::to_string(at));
      refresh.push_back("PSE_CHILD_FAULT=" + std::to_string(static_cast<int>(k.fault)));
      const test_support::ProgramResult refreshed = run_child("PseRefreshChild.Run", refresh);
      EXPECT_EQ(refreshed.status, at <= 3 ? k.exit_code : 0) << refreshed.output;
      std::vector<std::string> open = common;
      open.push_back("PSE_CHILD_MODE=open");
      // Twice: the container stays good after the repair.
      for (int round = 0; round < 2; ++round) {
        const test_support::ProgramResult opened = run_child("PseRefreshChild.Run", open);
        EXPECT_EQ(opened.status, 0) << opened.output;
      }
    }
  }
}

}  // namespace
}  // namespace qcrypto
