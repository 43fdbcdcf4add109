// What every large-file benchmark shares: the size from the environment, the
// input written once in 1 MiB pieces (never whole in memory), and the
// resident memory of one benchmark on its own.
//
// Memory: ru_maxrss is the process's high-water mark, so after one benchmark
// that held a large buffer every later one would show it. Each benchmark
// starts a fresh mark (Linux /proc/self/clear_refs "5") and reports
// maxrss_MiB (the peak since then) and own_MiB (the peak less what was
// resident when it started: what the operation itself added).
#pragma once

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

namespace bench_support {

// The size in MiB: the variable `name` when set, else DOSSAR_BENCH_MIB, else
// `fallback`.
inline long long file_mib(const char* name, long long fallback) {
  for (const char* var : {name, "DOSSAR_BENCH_MIB"}) {
    const char* v = var != nullptr ? std::getenv(var) : nullptr;
    if (v != nullptr && std::atoll(v) > 0) return std::atoll(v);
  }
  return fallback;
}

inline std::string temp_dir() {
  const char* t = std::getenv("TMPDIR");
  return t != nullptr && t[0] == '/' ? t : "/tmp";
}

// `bytes` pseudo-random bytes (the same in every program and run) into `path`.
inline bool write_file(const std::string& path, long long bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  std::mt19937_64 rng(42);
  std::array<unsigned char, 1 << 20> chunk{};
  bool ok = true;
  for (long long done = 0; ok && done < bytes; done += static_cast<long long>(chunk.size())) {
    for (auto& b : chunk) b = static_cast<unsigned char>(rng());
    const long long n = std::min<long long>(bytes - done, static_cast<long long>(chunk.size()));
    ok = std::fwrite(chunk.data(), 1, static_cast<std::size_t>(n), f) == static_cast<std::size_t>(n);
  }
  return std::fclose(f) == 0 && ok;
}

inline double current_rss_mib() {
  long pages = 0;
  long resident = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return 0;
  const bool read = std::fscanf(f, "%ld %ld", &pages, &resident) == 2;
  std::fclose(f);
  return read ? static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1 << 20) : 0;
}

inline double peak_rss_mib() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_maxrss) / 1024.0;
}

// One benchmark's memory: construct before the timed loop, report after it.
class PeakMemory {
 public:
  PeakMemory() {
    FILE* f = std::fopen("/proc/self/clear_refs", "w");
    fresh_ = f != nullptr && std::fputs("5", f) >= 0;
    if (f != nullptr) fresh_ = std::fclose(f) == 0 && fresh_;
    start_ = current_rss_mib();
  }
  // Bytes per second, maxrss_MiB and own_MiB; a kernel that refused the
  // fresh mark leaves the process's peak, and says so in the label.
  void report(benchmark::State& state, long long bytes) const {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * bytes);
    const double peak = peak_rss_mib();
    state.counters["maxrss_MiB"] = peak;
    state.counters["own_MiB"] = peak > start_ ? peak - start_ : 0;
    if (!fresh_) state.SetLabel("maxrss is the process's peak");
  }

 private:
  bool fresh_ = false;
  double start_ = 0;
};

}  // namespace bench_support
