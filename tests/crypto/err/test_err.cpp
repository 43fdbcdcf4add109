#include <errno.h>
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "crypto/err/err.h"

namespace qcrypto {
namespace {

class ErrTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ERR_load_crypto_strings();
    ERR_clear_error();
  }
  void TearDown() override { ERR_clear_error(); }
};

TEST_F(ErrTest, OwnLibraryErrorPrintsLibraryFunctionAndReasonTexts) {
  QERR(ERRLIB_RAND, 110, 100);
  const unsigned long e = ERR_peek_error();
  EXPECT_EQ(ERR_GET_LIB_CODE(e), 69);
  EXPECT_EQ(ERR_GET_FUNC_CODE(e), 110);
  EXPECT_EQ(ERR_GET_REASON_CODE(e), 100);
  EXPECT_EQ(ERR_error_string(e), "error:4506E064:RAND routines:GRAND_gamma_rand_seed:method not set");
}

TEST_F(ErrTest, TextsOfEveryOwnTable) {
  struct Case {
    int lib, func, reason;
    const char* lib_text;
    const char* func_text;
    const char* reason_text;
  };
  const Case cases[] = {
      {65, 121, 105, "R3410 routines", "R3410_generate_pubkey", "invalid private key"},
      {66, 258, 129, "CADB routines", "RESPONSE_BODY_read_bio", "data expected"},  // later entry wins
      {66, 279, 111, "CADB routines", "CADB_GENERAL_NAME_new", "invalid data"},
      {72, 100, 33, "GOSTE routines", "GOSTE_new", "memory alloc failure"},
      {72, 101, 33, "GOSTE routines", "GOSTH_new", "memory alloc failure"},
      {74, 119, 103, "PSE routines", "PSE_finger_print", "invalit object format"},
      {75, 117, 100, "ECGOST routines", "ECPOINT_bi2point", "invalid parameters"},
      {78, 119, 108, "GOSTS routines", "d2i_GOSTS_SIG", "invalid domain parameters"},
      {70, 136, 74, "VEXIL routines", "VXSDK_delete", "PSE lib"},  // a library number as reason
      {76, 116, 12, "SHAMIR routines", "SHAMIR_SHARED_SECRET_PARAMS_to_asn1", "internal error"},
      {69, 101, 10, "RAND routines", "RAND_bytes", "check RAM failure"},  // common reason beats a library
      {3, 120, 108, "bignum routines", "BN_mod_binary_inverse", "no inverse"},
      {78, 115, 109, "GOSTS routines", "GOSTS_do_verify", "invalid public key"},
  };
  for (const auto& c : cases) {
    const unsigned long e = ERR_PACK_CODE(c.lib, c.func, c.reason);
    SCOPED_TRACE(c.func_text);
    ASSERT_NE(ERR_lib_error_string(e), nullptr);
    ASSERT_NE(ERR_func_error_string(e), nullptr);
    ASSERT_NE(ERR_reason_error_string(e), nullptr);
    EXPECT_STREQ(ERR_lib_error_string(e), c.lib_text);
    EXPECT_STREQ(ERR_func_error_string(e), c.func_text);
    EXPECT_STREQ(ERR_reason_error_string(e), c.reason_text);
  }
}

TEST_F(ErrTest, LibrariesWithoutTablesPrintNumbers) {
  // 73 and 77 have names but no tables; 70 has no reason table.
  EXPECT_EQ(ERR_error_string(ERR_PACK_CODE(73, 5, 200)), "error:490050C8:GOSTH routines:func(5):reason(200)");
  EXPECT_EQ(ERR_error_string(ERR_PACK_CODE(70, 100, 150)), "error:46064096:VEXIL routines:VEXIL_init:reason(150)");
  EXPECT_EQ(ERR_error_string(ERR_PACK_CODE(99, 1, 1)), "error:63001001:lib(99):func(1):reason(1)");
}

TEST_F(ErrTest, QueueIsFifoWithFileAndLineAndIsPerThread) {
  QERR(ERRLIB_GOSTE, 100, 33);
  const int first_line = __LINE__ - 1;
  QERR(ERRLIB_ECGOST, 124, 100);
  std::thread([] { EXPECT_EQ(ERR_peek_error(), 0UL); }).join();

  const char* file = nullptr;
  int line = 0;
  EXPECT_EQ(ERR_peek_last_error(), ERR_PACK_CODE(75, 124, 100));
  EXPECT_EQ(ERR_get_error_line(&file, &line), ERR_PACK_CODE(72, 100, 33));
  EXPECT_EQ(line, first_line);
  EXPECT_NE(std::string(file).find("test_err.cpp"), std::string::npos);
  EXPECT_EQ(ERR_get_error(), ERR_PACK_CODE(75, 124, 100));
  EXPECT_EQ(ERR_get_error(), 0UL);
}

// One store: the queue keeps as many entries as OpenSSL's own, the newest.
TEST_F(ErrTest, QueueKeepsTheNewestAsOpenSslDoes) {
  for (int i = 0; i < 20; ++i) ERR_raise(ERR_LIB_BN, BN_R_DIV_BY_ZERO);
  int depth = 0;
  while (::ERR_get_error() != 0) ++depth;
  ASSERT_GT(depth, 8);
  ASSERT_LT(depth, 20);

  for (int i = 0; i < 20; ++i) QERR(ERRLIB_PSE, 100 + i, 100);
  EXPECT_EQ(ERR_GET_FUNC_CODE(ERR_peek_error()), 100 + 20 - depth);
  EXPECT_EQ(ERR_GET_FUNC_CODE(ERR_peek_last_error()), 119);
  int n = 0;
  while (ERR_get_error() != 0) ++n;
  EXPECT_EQ(n, depth);
}

// Errors raised inside OpenSSL and our own come out in one order through
// either interface, each with its library, reason and texts.
TEST_F(ErrTest, OwnAndOpenSslErrorsInterleaveInOrderThroughBothInterfaces) {
  auto raise_all = [] {
    QERR(ERRLIB_GOSTE, 100, ERR_R_MEMORY_ALLOC);
    BIGNUM* q = BN_new();
    BIGNUM* zero = BN_new();
    BN_CTX* ctx = BN_CTX_new();
    EXPECT_EQ(BN_div(q, nullptr, BN_value_one(), zero, ctx), 0);
    BN_CTX_free(ctx);
    BN_free(zero);
    BN_free(q);
    QERR(ERRLIB_PSE, 102, 100);
    EVP_MD* md = EVP_MD_fetch(nullptr, "no-such-digest", nullptr);
    EXPECT_EQ(md, nullptr);
  };

  // What OpenSSL itself reports for its two failures, for comparison.
  raise_all();
  std::vector<unsigned long> stock;
  while (unsigned long e = ::ERR_get_error()) stock.push_back(e);
  ASSERT_EQ(stock.size(), 4u);
  EXPECT_EQ(ERR_GET_LIB(stock[0]), ERRLIB_GOSTE);
  EXPECT_EQ(ERR_GET_LIB(stock[1]), ERR_LIB_BN);
  EXPECT_EQ(ERR_GET_REASON(stock[1]), BN_R_DIV_BY_ZERO);
  EXPECT_EQ(ERR_GET_LIB(stock[2]), ERRLIB_PSE);
  EXPECT_EQ(ERR_GET_LIB(stock[3]), ERR_LIB_EVP);

  raise_all();
  EXPECT_EQ(ERR_GET_LIB_CODE(ERR_peek_last_error()), ERR_LIB_EVP);
  EXPECT_EQ(ERR_get_error(), ERR_PACK_CODE(72, 100, ERR_R_MEMORY_ALLOC));
  const char* file = nullptr;
  int line = 0;
  const unsigned long bn = ERR_get_error_line(&file, &line);
  EXPECT_EQ(ERR_GET_LIB_CODE(bn), ERR_LIB_BN);
  EXPECT_EQ(ERR_GET_FUNC_CODE(bn), 0);
  EXPECT_EQ(ERR_GET_REASON_CODE(bn), BN_R_DIV_BY_ZERO);
  EXPECT_NE(std::string(file).find("bn"), std::string::npos) << file;
  EXPECT_GT(line, 0);
  EXPECT_STREQ(ERR_reason_error_string(bn), ::ERR_reason_error_string(stock[1]));
  EXPECT_STREQ(ERR_lib_error_string(bn), "bignum routines");
  EXPECT_EQ(ERR_get_error(), ERR_PACK_CODE(74, 102, 100));
  const unsigned long evp = ERR_get_error();
  EXPECT_EQ(ERR_GET_LIB_CODE(evp), ERR_LIB_EVP);
  ASSERT_NE(ERR_reason_error_string(evp), nullptr);
  EXPECT_STREQ(ERR_reason_error_string(evp), ::ERR_reason_error_string(stock[3]));
  EXPECT_EQ(ERR_get_error(), 0UL);
  EXPECT_EQ(::ERR_peek_error(), 0UL);  // reading ours drained OpenSSL's

  // Mixed readers: one of each takes the next entry.
  raise_all();
  EXPECT_EQ(ERR_GET_LIB(::ERR_get_error()), ERRLIB_GOSTE);
  EXPECT_EQ(ERR_GET_LIB_CODE(ERR_get_error()), ERR_LIB_BN);
  EXPECT_EQ(ERR_GET_LIB(::ERR_get_error()), ERRLIB_PSE);
  EXPECT_EQ(ERR_GET_LIB_CODE(ERR_get_error()), ERR_LIB_EVP);
  EXPECT_EQ(ERR_peek_error(), 0UL);
}

// The function number is not lost on its way through OpenSSL's queue: every
// function of every table comes back as it was raised, with texts loaded or
// not at the time of raising.
TEST_F(ErrTest, EveryFunctionNumberSurvivesTheQueue) {
  int checked = 0;
  for (int lib = ERRLIB_R3410; lib <= ERRLIB_GOSTS; ++lib) {
    for (int func = 1; func < 4096; ++func) {
      if (ERR_func_error_string(ERR_PACK_CODE(lib, func, 0)) == nullptr) continue;
      QERR(lib, func, 100);
      EXPECT_EQ(ERR_get_error(), ERR_PACK_CODE(lib, func, 100)) << lib << "/" << func;
      ++checked;
    }
  }
  EXPECT_GT(checked, 300);
  ERR_free_strings();
  QERR(ERRLIB_RAND, 110, 100);
  QERR(ERRLIB_GOSTH, 7, 12);
  ERR_load_crypto_strings();
  EXPECT_EQ(ERR_get_error(), ERR_PACK_CODE(69, 110, 100));
  EXPECT_EQ(ERR_get_error(), ERR_PACK_CODE(73, 7, 12));
  QERR(ERRLIB_SYS, 0, ENOENT);
  EXPECT_EQ(ERR_get_error(), ERR_PACK_CODE(ERRLIB_SYS, 0, ENOENT));
}

TEST_F(ErrTest, MirroredIntoOpenSslQueueInOrder) {
  QERR(ERRLIB_GOSTE, 100, 33);
  QERR(ERRLIB_PSE, 102, 100);
  const unsigned long a = ::ERR_get_error();
  const unsigned long b = ::ERR_get_error();
  EXPECT_EQ(ERR_GET_LIB(a), 72);
  EXPECT_EQ(ERR_GET_REASON(a), ERR_GET_REASON(ERR_R_MALLOC_FAILURE));
  EXPECT_EQ(ERR_GET_LIB(b), 74);
  EXPECT_EQ(ERR_GET_REASON(b), 100);
  EXPECT_STREQ(::ERR_lib_error_string(b), "PSE routines");
  EXPECT_STREQ(::ERR_reason_error_string(b), "invalid MAC");
  EXPECT_EQ(::ERR_get_error(), 0UL);
}

TEST_F(ErrTest, ClearEmptiesBothQueuesAndTheLastResult) {
  ERR_set_last_result(184);
  QERR(ERRLIB_CADB, 104, 104);
  ERR_raise(ERR_LIB_BN, BN_R_DIV_BY_ZERO);
  EXPECT_EQ(ERR_get_last_result(), 184);
  ERR_clear_error();
  EXPECT_EQ(ERR_peek_error(), 0UL);
  EXPECT_EQ(::ERR_peek_error(), 0UL);
  EXPECT_EQ(ERR_get_last_result(), 0);
  // OpenSSL's clear empties ours as well: there is one queue.
  QERR(ERRLIB_CADB, 104, 104);
  ::ERR_clear_error();
  EXPECT_EQ(ERR_peek_error(), 0UL);
}

TEST_F(ErrTest, LastResultIsPerThread) {
  ERR_set_last_result(161);
  std::thread([] {
    EXPECT_EQ(ERR_get_last_result(), 0);
    ERR_set_last_result(103);
  }).join();
  EXPECT_EQ(ERR_get_last_result(), 161);
}

TEST_F(ErrTest, LoadingTwiceAndReloadingAfterFreeKeepsTexts) {
  ERR_load_crypto_strings();
  ERR_load_RAND_strings();
  EXPECT_STREQ(ERR_func_error_string(ERR_PACK_CODE(69, 110, 0)), "GRAND_gamma_rand_seed");
  ERR_free_strings();
  EXPECT_EQ(ERR_func_error_string(ERR_PACK_CODE(69, 110, 0)), nullptr);
  ERR_load_crypto_strings();
  EXPECT_STREQ(ERR_func_error_string(ERR_PACK_CODE(69, 110, 0)), "GRAND_gamma_rand_seed");
  EXPECT_STREQ(ERR_reason_error_string(ERR_PACK_CODE(69, 0, 100)), "method not set");
}

TEST_F(ErrTest, PrintWritesOneLinePerEntryAndEmptiesTheQueue) {
  QERR(ERRLIB_RAND, 110, 100);
  {
    BIGNUM* q = BN_new();
    BIGNUM* zero = BN_new();
    BN_CTX* ctx = BN_CTX_new();
    EXPECT_EQ(BN_div(q, nullptr, BN_value_one(), zero, ctx), 0);
    BN_CTX_free(ctx);
    BN_free(zero);
    BN_free(q);
  }
  ERR_raise_data(ERR_LIB_EVP, EVP_R_UNSUPPORTED_ALGORITHM, "detail %d", 42);
  QERR(ERRLIB_GOSTE, 100, 33);
  char buf[2048] = {};
  std::FILE* f = fmemopen(buf, sizeof buf - 1, "w");
  ASSERT_NE(f, nullptr);
  qcrypto::ERR_print_errors_fp(f);
  std::fclose(f);
  const std::string text(buf);
  const auto first = text.find(":error:4506E064:RAND routines:GRAND_gamma_rand_seed:method not set:");
  const std::string bn_line = std::string(":bignum routines:BN_div:") +
                              ::ERR_reason_error_string(ERR_PACK(ERR_LIB_BN, 0, BN_R_DIV_BY_ZERO)) + ":";
  const auto middle = text.find(bn_line);
  const auto second = text.find(":error:48064021:GOSTE routines:GOSTE_new:memory alloc failure:");
  EXPECT_NE(first, std::string::npos) << text;
  EXPECT_NE(middle, std::string::npos) << text;
  EXPECT_NE(second, std::string::npos) << text;
  EXPECT_NE(text.find(":detail 42\n"), std::string::npos) << text;
  EXPECT_LT(first, middle);
  EXPECT_LT(middle, second);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4);
  EXPECT_EQ(ERR_peek_error(), 0UL);
  EXPECT_EQ(::ERR_peek_error(), 0UL);
}

}  // namespace
}  // namespace qcrypto
