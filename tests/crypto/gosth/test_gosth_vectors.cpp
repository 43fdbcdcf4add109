// Published digests of independent libraries and of RFC 5831.
//
// Byte order: this library writes the most significant byte of the final H
// first, which is how RFC 5831 prints its hash values. The vectors files list
// digests in the byte-stream order of the other libraries (least significant
// byte of H first), so every comparison below reverses one side.
//
// The empty message is the one place where this system differs from the
// other libraries: it hashes one all-zero block before the length and sum.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "crypto/rus/gost28147_multi.h"
#include "gosth_test_util.h"

namespace {

using namespace gosth_test;
using qcrypto::gost_detail::RoundPath;

// Every vector through each round the step's encryptions can run on.
class GosthVectors : public ::testing::TestWithParam<RoundPath> {
 protected:
  void SetUp() override {
    const RoundPath r = GetParam();
    if (r != RoundPath::kTable && r != RoundPath::kAuto && !qcrypto::gost_detail::cpu_has_avx2())
      GTEST_SKIP() << "CPU lacks AVX2";
    if ((r == RoundPath::kAvx512 || r == RoundPath::kAvx512Narrow) && !qcrypto::gost_detail::cpu_has_avx512vbmi())
      GTEST_SKIP() << "CPU or OS lacks AVX-512 VBMI";
    qcrypto::gost_detail::set_round_path(r);
  }
  void TearDown() override { qcrypto::gost_detail::set_round_path(RoundPath::kAuto); }
};

std::string trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

std::string vectors_path(const char* name) { return std::string(DOSSAR_VECTORS_DIR) + "/" + name; }

struct DigestRow {
  std::string label;
  Bytes message;
  std::string paramset;
  Bytes expected;  // byte-stream order
};

// "128 x 'U'" style messages, else hex.
Bytes parse_message(const std::string& field) {
  const auto x = field.find(" x '");
  if (x != std::string::npos && field.size() == x + 6 && field.back() == '\'')
    return Bytes(std::stoul(field.substr(0, x)), static_cast<unsigned char>(field[x + 4]));
  return from_hex(field);
}

std::vector<DigestRow> read_digest_rows() {
  std::ifstream in(vectors_path("gost3411-94_digests.txt"));
  if (!in) throw std::runtime_error("cannot open gost3411-94_digests.txt");
  std::vector<DigestRow> rows;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> f;
    std::stringstream ss(line);
    for (std::string part; std::getline(ss, part, '|');) f.push_back(trim(part));
    if (f.size() < 4) throw std::runtime_error("malformed line: " + line);
    rows.push_back({f[0], parse_message(f[1]), f[2], from_hex(f[3])});
  }
  return rows;
}

Bytes to_bytes(const Digest& d) { return Bytes(d.begin(), d.end()); }

TEST_P(GosthVectors, DigestsFileBothParameterSets) {
  const auto rows = read_digest_rows();
  int checked = 0, empty = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label + " / " + row.paramset);
    const Digest ours = digest(row.message, paramset(row.paramset).data());
    if (row.message.empty()) {
      // This system's stored behaviour for "" differs from theirs.
      EXPECT_NE(to_bytes(reversed(ours)), row.expected);
      ++empty;
      continue;
    }
    EXPECT_EQ(to_hex(reversed(ours)), to_hex(row.expected));
    ++checked;
  }
  EXPECT_EQ(checked, 16);  // 8 non-empty messages x 2 parameter sets
  EXPECT_EQ(empty, 2);
}

TEST_P(GosthVectors, BotanCryptoProSet) {
  std::ifstream in(vectors_path("botan_gost_3411.vec"));
  ASSERT_TRUE(in) << "cannot open botan_gost_3411.vec";
  std::string line, input;
  bool have_in = false;
  int checked = 0, empty = 0;
  while (std::getline(in, line)) {
    line = trim(line);
    if (line.rfind("In =", 0) == 0) {
      input = trim(line.substr(4));
      have_in = true;
    } else if (line.rfind("Out =", 0) == 0) {
      ASSERT_TRUE(have_in);
      const Bytes msg = from_hex(input), expected = from_hex(trim(line.substr(5)));
      const Digest ours = digest(msg, cryptopro_paramset().data());
      SCOPED_TRACE("message of " + std::to_string(msg.size()) + " bytes");
      if (msg.empty()) {
        EXPECT_NE(to_bytes(reversed(ours)), expected);
        ++empty;
      } else {
        EXPECT_EQ(to_hex(reversed(ours)), to_hex(expected));
        ++checked;
      }
      have_in = false;
    }
  }
  EXPECT_EQ(checked, 9);
  EXPECT_EQ(empty, 1);
}

// RFC 5831 section 7.3, test parameter set, hash values as the RFC prints
// them: our output order.
TEST_P(GosthVectors, Rfc5831Examples) {
  struct Case {
    const char* message;
    const char* hash;
  };
  const Case cases[] = {
      {"This is message, length=32 bytes", "FAFF37A615A816691CFF3EF8B68CA247E09525F39F8119832EB81975D366C4B1"},
      {"Suppose the original message has length = 50 bytes",
       "0852F5623B89DD57AEB4781FE54DF14EEAFBC1350613763A0D770AA657BA1A47"},
  };
  for (const auto& c : cases) {
    const std::string m = c.message;
    const Digest ours = digest(Bytes(m.begin(), m.end()), test_paramset().data());
    EXPECT_EQ(to_hex(ours), to_hex(from_hex(c.hash))) << m;
  }
}

INSTANTIATE_TEST_SUITE_P(Rounds, GosthVectors,
                         ::testing::Values(RoundPath::kTable, RoundPath::kAvx512, RoundPath::kAvx512Narrow,
                                           RoundPath::kShuffle, RoundPath::kShuffleAvx2, RoundPath::kAuto),
                         [](const testing::TestParamInfo<RoundPath>& i) {
                           switch (i.param) {
                             case RoundPath::kTable:
                               return "Table";
                             case RoundPath::kAvx512:
                               return "Vbmi";
                             case RoundPath::kAvx512Narrow:
                               return "VbmiNarrow";
                             case RoundPath::kShuffle:
                               return "Shuffle";
                             case RoundPath::kShuffleAvx2:
                               return "ShuffleAvx2";
                             case RoundPath::kAuto:
                               break;
                           }
                           return "Dispatched";
                         });

}  // namespace
