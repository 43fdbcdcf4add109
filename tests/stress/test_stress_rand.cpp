// Several threads drawing from the installed random method at once: every
// call gets what it asked for and no two calls get the same bytes.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "crypto/rand/rand.h"
#include "tests/stress/random_method.h"
#include "tests/stress/stress_util.h"

namespace {

using Bytes = std::vector<unsigned char>;

class StressRandom : public stress::WithSoftwareGenerator {};

TEST_F(StressRandom, ConcurrentDrawsAreCompleteAndDistinct) {
  constexpr int kCalls = 300;
  // Lengths from 1 to 600 cross the generator's 256-byte buffer in every way.
  auto length = [](int t, int i) { return 1 + (i * 37 + t * 101) % 600; };
  std::vector<std::vector<Bytes>> drawn(stress::kThreads);
  stress::Failures failures;
  stress::RunTogether(stress::kThreads, [&](int t) {
    for (int i = 0; i < kCalls; ++i) {
      Bytes out(static_cast<size_t>(length(t, i)));
      const int got = qcrypto::RAND_bytes(out.data(), static_cast<int>(out.size()));
      if (got != static_cast<int>(out.size())) {
        failures.Add("RAND_bytes gave " + std::to_string(got) + " of " + std::to_string(out.size()));
      }
      drawn[t].push_back(std::move(out));
      // A seed while keyed changes nothing, but takes the same lock between draws.
      if (i % 50 == 0) {
        Bytes seed = stress::SystemRandom(32);
        if (qcrypto::RAND_seed(seed.data(), 32) != 1) failures.Add("RAND_seed failed");
      }
    }
  });
  failures.Report();

  // Two draws that shared a buffer position would start alike; 16 bytes of
  // different output coincide with probability 2^-128.
  std::set<Bytes> starts;
  size_t long_draws = 0, ones = 0, bits = 0;
  for (const auto& per_thread : drawn) {
    ASSERT_EQ(per_thread.size(), static_cast<size_t>(kCalls));
    for (const auto& d : per_thread) {
      for (unsigned char b : d) ones += static_cast<size_t>(__builtin_popcount(b));
      bits += 8 * d.size();
      if (d.size() < 16) continue;
      ++long_draws;
      EXPECT_TRUE(starts.emplace(d.begin(), d.begin() + 16).second) << "two draws returned the same bytes";
    }
  }
  EXPECT_GT(long_draws, static_cast<size_t>(kCalls));
  // Filled, not left as it was: about half the bits are set.
  EXPECT_NEAR(static_cast<double>(ones) / static_cast<double>(bits), 0.5, 0.01);
}

}  // namespace
