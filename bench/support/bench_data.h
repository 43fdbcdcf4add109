// The input every throughput benchmark hashes or encrypts: the same
// pseudo-random bytes in every program and run, grown on demand.
#pragma once

#include <cstddef>
#include <random>
#include <vector>

namespace bench_support {

inline const std::vector<unsigned char>& data(std::size_t n) {
  static std::vector<unsigned char> buf;
  if (buf.size() < n) {
    buf.resize(n);
    std::mt19937_64 rng(42);
    for (auto& b : buf) b = static_cast<unsigned char>(rng());
  }
  return buf;
}

}  // namespace bench_support
