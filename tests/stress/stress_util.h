// Helpers of the threaded stress tests: start threads together, collect what
// went wrong in each, own the C records the tests make.
#pragma once

#include <gtest/gtest.h>
#include <sys/random.h>

#include <cstdint>
#include <functional>
#include <latch>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "crypto/bn/bn_owner.h"
#include "crypto/cclib/ossl_owners.h"

namespace stress {

// The thread count of every test: enough for the shared state to be entered
// from several cores at once, few enough for a 2-core CI machine.
constexpr int kThreads = 4;

// Records made by the library or by OpenSSL, freed by the free function
// declared beside each type.
template <class T>
using Owned = qcrypto::UniquePtr<T>;

template <class T>
Owned<T> Own(T* p) {
  return Owned<T>(p);
}

// Failures seen on worker threads, reported by the test's own thread.
class Failures {
 public:
  void Add(std::string what) {
    std::lock_guard lock(mutex_);
    if (messages_.size() < 50) messages_.push_back(std::move(what));
    ++count_;
  }
  // Fails the current test with every message collected.
  void Report() const {
    for (const auto& m : messages_) ADD_FAILURE() << m;
    if (count_ > messages_.size()) ADD_FAILURE() << (count_ - messages_.size()) << " more failures";
  }
  size_t count() const { return count_; }

 private:
  std::mutex mutex_;
  std::vector<std::string> messages_;
  size_t count_ = 0;
};

// Runs body(t) for t = 0 .. threads-1, each on its own thread, all released
// at the same moment so that first uses of shared state collide.
inline void RunTogether(int threads, const std::function<void(int)>& body) {
  std::latch start(threads);
  std::vector<std::jthread> workers;
  workers.reserve(static_cast<size_t>(threads));
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&start, &body, t] {
      start.arrive_and_wait();
      body(t);
    });
  }
}

// Inputs the tests choose: reproducible per (thread, round).
inline std::vector<unsigned char> Pattern(size_t n, uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::vector<unsigned char> out(n);
  for (auto& b : out) b = static_cast<unsigned char>(gen());
  return out;
}

inline std::vector<unsigned char> SystemRandom(size_t n) {
  std::vector<unsigned char> out(n);
  size_t got = 0;
  while (got < n) {
    const ssize_t r = getrandom(out.data() + got, n - got, 0);
    if (r > 0) got += static_cast<size_t>(r);
  }
  return out;
}

}  // namespace stress
