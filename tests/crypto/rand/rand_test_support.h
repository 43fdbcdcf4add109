// Shared pieces of the random-layer tests: a scripted key-press callback,
// the stand-in boards' switches and a clean generator for every test.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "crypto/err/err.h"
#include "crypto/rand/grand.h"
#include "crypto/rand/mprand.h"
#include "crypto/rand/rand.h"
#include "crypto/rand/rand_device.h"

namespace qcrypto::testing_support {

// One call of the key-press callback.
struct KeyCall {
  int character, ordinal, total;
  void* user;
};

// Answers each prompt through `answer` (default: the asked character) and
// records the calls. Passed as the user word, or reached through `current`.
struct KeyScript {
  std::function<int(const KeyCall&, int call_index)> answer;
  std::vector<KeyCall> calls;
  int limit = 1000;  // runaway guard: cancel after this many prompts

  static inline KeyScript* current = nullptr;

  static int callback(int c, int ordinal, int total, void* user) {
    KeyScript* s = user != nullptr ? static_cast<KeyScript*>(user) : current;
    if (s == nullptr) return -1;
    KeyCall call{c, ordinal, total, user};
    s->calls.push_back(call);
    if (static_cast<int>(s->calls.size()) > s->limit) return 0;
    return s->answer ? s->answer(call, static_cast<int>(s->calls.size()) - 1) : c;
  }
};

inline void set_env(const char* name, const std::string& value) { ::setenv(name, value.c_str(), 1); }
inline void unset_env(const char* name) { ::unsetenv(name); }

inline std::string standin_dir() { return std::string(DOSSAR_BINARY_DIR) + "/stand-ins/lib"; }
inline std::string broken_standin_dir() { return std::string(DOSSAR_BINARY_DIR) + "/stand-ins/broken"; }

// No board fitted, library folder = the stand-ins, no call log.
inline void reset_boards() {
  set_env("DOSSAR_LIB_PATH", standin_dir());
  unset_env("DOSSAR_STANDIN_CRYPTON");
  unset_env("DOSSAR_STANDIN_ACCORD");
  unset_env("DOSSAR_STANDIN_SABLE");
  unset_env("DOSSAR_STANDIN_LOG");
}

// Nothing installed, generator unkeyed, no hooks, short pauses.
class RandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_boards();
    PSE_rand_cleanup();
    RAND_set_rand_method(nullptr);
    GRAND_method_cleanup();
    GRAND_set_seed_source(nullptr);
    GRAND_set_keyboard_pause_limit(2);
    mprand_set_callback(nullptr);
    KeyScript::current = nullptr;
    ERR_clear_error();
  }
  void TearDown() override {
    PSE_rand_cleanup();
    RAND_set_rand_method(nullptr);
    GRAND_method_cleanup();
    GRAND_set_seed_source(nullptr);
    GRAND_set_keyboard_pause_limit(500);
    mprand_set_callback(nullptr);
    KeyScript::current = nullptr;
    reset_boards();
    ERR_clear_error();
  }
};

// Library, function and reason of every queued error, oldest first (the
// queue is emptied).
struct ErrCode {
  int lib, func, reason;
  bool operator==(const ErrCode&) const = default;
};
inline std::vector<ErrCode> drain_errors() {
  std::vector<ErrCode> out;
  while (unsigned long e = ERR_get_error())
    out.push_back({ERR_GET_LIB_CODE(e), ERR_GET_FUNC_CODE(e), ERR_GET_REASON_CODE(e)});
  return out;
}
inline void PrintTo(const ErrCode& e, std::ostream* os) {
  *os << "(" << e.lib << "," << e.func << "," << e.reason << ")";
}

}  // namespace qcrypto::testing_support
