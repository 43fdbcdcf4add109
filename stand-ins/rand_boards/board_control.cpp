#include "stand-ins/rand_boards/board_control.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace standin {
namespace {

uint64_t splitmix64(uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

}  // namespace

BoardControl read_control(const char* variable) {
  BoardControl c;
  // A stand-in links no product library (so not platform::env); its controls are set before any
  // thread starts and nothing writes the environment afterwards.
  // NOLINTNEXTLINE(concurrency-mt-unsafe): the environment is fixed while threads run
  const char* env = std::getenv(variable);
  if (env == nullptr) return c;
  std::string rest(env);
  std::size_t start = 0;
  while (start <= rest.size()) {
    const std::size_t comma = rest.find(',', start);
    const std::string token = rest.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (token == "present") c.present = true;
    if (token == "noservice") c.no_service = true;
    if (token == "norandom") c.no_random = true;
    if (token.rfind("fail=", 0) == 0) c.fail_first = std::strtol(token.c_str() + 5, nullptr, 10);
    if (token.rfind("die=", 0) == 0) c.die_after = std::strtol(token.c_str() + 4, nullptr, 10);
    if (token.rfind("seed=", 0) == 0) c.seed = std::strtoull(token.c_str() + 5, nullptr, 10);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return c;
}

void log_call(const char* name) {
  // A stand-in links no product library (so not platform::env); its controls are set before any
  // thread starts and nothing writes the environment afterwards.
  // NOLINTNEXTLINE(concurrency-mt-unsafe): the environment is fixed while threads run
  const char* path = std::getenv("DOSSAR_STANDIN_LOG");
  if (path == nullptr) return;
  if (FILE* f = std::fopen(path, "a"); f != nullptr) {
    std::fprintf(f, "%s\n", name);
    std::fclose(f);
  }
}

void Board::open() {
  draws_ = 0;
  successes_ = 0;
  position_ = 0;
}

bool Board::draw(unsigned char* out, int length) {
  const BoardControl c = control();
  ++draws_;
  if (!c.present || draws_ <= c.fail_first) return false;
  if (c.die_after >= 0 && successes_ >= c.die_after) return false;
  ++successes_;
  for (int i = 0; i < length; ++i) {
    out[i] = static_cast<unsigned char>(splitmix64(c.seed ^ salt_ ^ (position_ / 8)) >> (8 * (position_ % 8)));
    ++position_;
  }
  return true;
}

}  // namespace standin
