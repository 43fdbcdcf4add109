// Several threads at once in GOST 28147-89 and GOST R 34.11-94: the shared
// expanded tables of the built-in S-box sets are built on first use, which
// here happens on all threads at the same moment, while other threads run
// private tables of published sets.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "crypto/rus/gost28147.h"
#include "crypto/rus/gost3411.h"
#include "tests/stress/stress_util.h"
#include "tests/support/gost_test_data.h"

namespace {

using stress::Failures;
using stress::kThreads;
using stress::Own;
using stress::Pattern;
using Bytes = std::vector<unsigned char>;

// The built-in sets (shared tables) and published sets (private tables).
std::vector<Bytes> CipherSboxes() {
  std::vector<Bytes> sets;
  sets.emplace_back(qcrypto::GOSTE_get_default_sbox(), qcrypto::GOSTE_get_default_sbox() + qcrypto::GOSTE_SBOX_BYTES);
  sets.emplace_back(qcrypto::GOSTH_get_default_sbox(), qcrypto::GOSTH_get_default_sbox() + qcrypto::GOSTE_SBOX_BYTES);
  for (const char* oid : {"1.2.643.2.2.31.1", "1.2.643.2.2.31.2", "1.2.643.7.1.2.5.1.1"}) {
    const auto s = test_support::sbox_by_oid(oid);
    sets.emplace_back(s.begin(), s.end());
  }
  return sets;
}

// ECB, gamma, gamma with feedback and a 32-bit MAC of `data` under one key and
// set, concatenated; each encryption is also decrypted and compared.
Bytes CipherAll(const Bytes& key, const Bytes& iv, const Bytes& sbox, const Bytes& data, Failures& failures) {
  auto ctx = Own(qcrypto::GOSTE_new());
  if (ctx == nullptr) {
    failures.Add("GOSTE_new failed");
    return {};
  }
  const int n = static_cast<int>(data.size());
  Bytes out;
  Bytes buf(data.size()), back(data.size());
  auto check_back = [&](const char* mode) {
    if (back != data) failures.Add(std::string(mode) + ": decryption does not give the data back");
  };

  if (qcrypto::GOSTE_ss_init(ctx.get(), 1, key.data(), sbox.data()) != 1 ||
      qcrypto::GOSTE_ss_cipher(ctx.get(), data.data(), buf.data(), n) != n ||
      qcrypto::GOSTE_ss_init(ctx.get(), 0, key.data(), sbox.data()) != 1 ||
      qcrypto::GOSTE_ss_cipher(ctx.get(), buf.data(), back.data(), n) != n) {
    failures.Add("ECB call failed");
  }
  check_back("ECB");
  out.insert(out.end(), buf.begin(), buf.end());

  if (qcrypto::GOSTE_gamma_init(ctx.get(), key.data(), iv.data(), sbox.data()) != 1 ||
      qcrypto::GOSTE_gamma_update(ctx.get(), data.data(), buf.data(), n) != n ||
      qcrypto::GOSTE_gamma_init(ctx.get(), key.data(), iv.data(), sbox.data()) != 1 ||
      qcrypto::GOSTE_gamma_update(ctx.get(), buf.data(), back.data(), n) != n) {
    failures.Add("gamma call failed");
  }
  check_back("gamma");
  out.insert(out.end(), buf.begin(), buf.end());

  if (qcrypto::GOSTE_gamma_fb_init(ctx.get(), key.data(), iv.data(), sbox.data()) != 1 ||
      qcrypto::GOSTE_gamma_fbe_update(ctx.get(), data.data(), buf.data(), n) != n ||
      qcrypto::GOSTE_gamma_fb_init(ctx.get(), key.data(), iv.data(), sbox.data()) != 1 ||
      qcrypto::GOSTE_gamma_fbd_update(ctx.get(), buf.data(), back.data(), n) != n) {
    failures.Add("gamma with feedback call failed");
  }
  check_back("gamma with feedback");
  out.insert(out.end(), buf.begin(), buf.end());

  unsigned char mac[4] = {};
  if (qcrypto::GOSTE_mac_init(ctx.get(), key.data(), sbox.data()) != 1 ||
      qcrypto::GOSTE_mac_update(ctx.get(), data.data(), n) != n || qcrypto::GOSTE_mac_final(ctx.get(), mac, 32) < 1) {
    failures.Add("MAC call failed");
  }
  out.insert(out.end(), mac, mac + sizeof mac);
  return out;
}

// The expanded table a context runs on equals a private expansion of its set.
void ExpectTableOf(const qcrypto::GOSTE_CTX& ctx, const unsigned char* sbox, const char* what) {
  ASSERT_NE(ctx.table, nullptr) << what;
  std::vector<uint32_t> expected(qcrypto::GOSTE_TABLE_WORDS);
  ASSERT_EQ(qcrypto::GOSTE_expand_sbox(sbox, expected.data()), 1);
  EXPECT_EQ(std::memcmp(ctx.table, expected.data(), expected.size() * sizeof(uint32_t)), 0) << what;
}

TEST(StressGost28147, SharedAndPrivateTablesFromManyThreads) {
  const auto sboxes = CipherSboxes();
  constexpr int kRounds = 12;
  constexpr size_t kData = 1000;  // not a multiple of 8: partial blocks in the stream modes
  auto input = [](int t, int r) {
    return std::array<Bytes, 3>{Pattern(32, 1000u * t + r), Pattern(8, 2000u * t + r), Pattern(kData, 3000u * t + r)};
  };
  // results[t][r]; thread t runs set (t + r) mod count, so every set is in
  // use on some thread while another set is in use on the next.
  std::vector<std::vector<Bytes>> results(kThreads, std::vector<Bytes>(kRounds));
  Failures failures;
  stress::RunTogether(kThreads, [&](int t) {
    for (int r = 0; r < kRounds; ++r) {
      const auto [key, iv, data] = input(t, r);
      results[t][r] = CipherAll(key, iv, sboxes[(t + r) % sboxes.size()], data, failures);
    }
  });
  failures.Report();

  // The shared tables built during the race are the expansions of their sets.
  auto ctx = Own(qcrypto::GOSTE_new());
  ASSERT_NE(ctx, nullptr);
  const Bytes key = Pattern(32, 7);
  ASSERT_EQ(qcrypto::GOSTE_ss_init(ctx.get(), 1, key.data(), qcrypto::GOSTE_get_default_sbox()), 1);
  ExpectTableOf(*ctx, qcrypto::GOSTE_get_default_sbox(), "cipher set");
  ASSERT_EQ(qcrypto::GOSTE_ss_init(ctx.get(), 1, key.data(), qcrypto::GOSTH_get_default_sbox()), 1);
  ExpectTableOf(*ctx, qcrypto::GOSTH_get_default_sbox(), "hash set");

  // Every result equals the same work done on this one thread.
  Failures single;
  for (int t = 0; t < kThreads; ++t) {
    for (int r = 0; r < kRounds; ++r) {
      const auto [k, iv, data] = input(t, r);
      EXPECT_EQ(results[t][r], CipherAll(k, iv, sboxes[(t + r) % sboxes.size()], data, single))
          << "thread " << t << " round " << r;
    }
  }
  single.Report();
}

// --- GOST R 34.11-94 --------------------------------------------------------

struct DigestRow {
  Bytes message;
  Bytes sbox;
  Bytes expected;  // as the other libraries print it: our output reversed
};

// The hex-message rows of the published digests, both parameter sets.
std::vector<DigestRow> PublishedDigests() {
  std::ifstream in(std::string(DOSSAR_VECTORS_DIR) + "/gost3411-94_digests.txt");
  std::vector<DigestRow> rows;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> f;
    std::stringstream ss(line);
    for (std::string part; std::getline(ss, part, '|');) {
      const auto b = part.find_first_not_of(' ');
      const auto e = part.find_last_not_of(' ');
      f.push_back(b == std::string::npos ? "" : part.substr(b, e - b + 1));
    }
    // Skip the empty message (hashed differently here on purpose) and the
    // repeated-character descriptions.
    if (f.size() < 4 || f[1].empty() || f[1].find(' ') != std::string::npos) continue;
    const char* oid = f[2] == "test" ? "1.2.643.2.2.30.0" : "1.2.643.2.2.30.1";
    const auto s = test_support::sbox_by_oid(oid);
    rows.push_back({test_support::hex(f[1]), Bytes(s.begin(), s.end()), test_support::hex(f[3])});
  }
  return rows;
}

Bytes Digest(const Bytes& message, const unsigned char* sbox, Failures& failures) {
  Bytes out(qcrypto::GOSTH_DIGEST_BYTES);
  auto ctx = Own(qcrypto::GOSTH_new());
  // Streamed in uneven pieces through a context, so that the open-block
  // handling runs too.
  if (ctx == nullptr || qcrypto::GOSTH_init(ctx.get(), nullptr, sbox) != 1) {
    failures.Add("GOSTH_new/GOSTH_init failed");
    return out;
  }
  size_t at = 0;
  for (size_t piece = 1; at < message.size(); piece = piece * 3 % 61 + 1) {
    const size_t n = std::min(piece, message.size() - at);
    if (qcrypto::GOSTH_update(ctx.get(), message.data() + at, static_cast<int>(n)) != static_cast<int>(n)) {
      failures.Add("GOSTH_update failed");
    }
    at += n;
  }
  if (qcrypto::GOSTH_final(ctx.get(), out.data()) != qcrypto::GOSTH_DIGEST_BYTES) failures.Add("GOSTH_final failed");
  return out;
}

TEST(StressGost3411, DigestsFromManyThreadsEqualOneThread) {
  const auto published = PublishedDigests();
  ASSERT_GE(published.size(), 10u) << "published digests not found in " << DOSSAR_VECTORS_DIR;
  constexpr int kRounds = 24;
  auto message = [](int t, int r) {
    return Pattern(37 * static_cast<size_t>(r) + static_cast<size_t>(t) + 1, 5000u * t + r);
  };
  std::vector<std::vector<Bytes>> results(kThreads, std::vector<Bytes>(kRounds));
  Failures failures;
  stress::RunTogether(kThreads, [&](int t) {
    for (int r = 0; r < kRounds; ++r) {
      // The built-in set (shared table), alternating with a published set
      // (private table) whose digest is known.
      results[t][r] = Digest(message(t, r), nullptr, failures);
      const DigestRow& row = published[(t + r) % published.size()];
      Bytes got = Digest(row.message, row.sbox.data(), failures);
      std::reverse(got.begin(), got.end());
      if (got != row.expected) failures.Add("published digest differs, thread " + std::to_string(t));
    }
  });
  failures.Report();

  auto ctx = Own(qcrypto::GOSTH_new());
  ASSERT_NE(ctx, nullptr);
  ASSERT_EQ(qcrypto::GOSTH_init(ctx.get(), nullptr, nullptr), 1);
  ExpectTableOf(ctx->cipher, qcrypto::GOSTH_get_default_sbox(), "hash set");

  Failures single;
  for (int t = 0; t < kThreads; ++t) {
    for (int r = 0; r < kRounds; ++r) {
      const Bytes m = message(t, r);
      const Bytes expected = Digest(m, nullptr, single);
      EXPECT_EQ(results[t][r], expected) << "thread " << t << " round " << r;
      // The one-shot form agrees with the streamed one.
      Bytes oneshot(qcrypto::GOSTH_DIGEST_BYTES);
      ASSERT_NE(qcrypto::GOSTH_digest(m.data(), static_cast<int>(m.size()), nullptr, nullptr, oneshot.data()), nullptr);
      EXPECT_EQ(oneshot, expected);
    }
  }
  single.Report();
}

}  // namespace
