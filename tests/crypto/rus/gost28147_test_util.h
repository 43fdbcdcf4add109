// Helpers of the GOST 28147-89 tests: hex, the published S-box sets by object
// identifier and a reader of the "[section] / Name = value" vector files.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <fstream>
#include <map>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "crypto/rus/gost28147_multi.h"
#include "tests/support/gost_test_data.h"

namespace gost_test {

using namespace test_support;

// Textbook GOST 28147-89 straight from the substitution nodes: each round
// substitutes nibble by nibble, rotates by 11 and swaps the halves; the last
// round of a 32-round run does not swap. Independent of the expanded tables.
inline uint32_t ref_f(const SboxRows& s, uint32_t x) {
  uint32_t y = 0;
  for (int n = 0; n < 8; ++n) y |= uint32_t{s[n][(x >> (4 * n)) & 15]} << (4 * n);
  return (y << 11) | (y >> 21);
}

enum class RefOp { kEncrypt, kDecrypt, kMac16 };

inline void ref_block(const SboxRows& s, const uint32_t key[8], RefOp op, uint32_t& n1, uint32_t& n2) {
  int order[32];
  for (int r = 0; r < 32; ++r) {
    const bool fwd = op == RefOp::kDecrypt ? r < 8 : r < 24;
    order[r] = fwd ? r % 8 : 7 - r % 8;
  }
  const int rounds = op == RefOp::kMac16 ? 16 : 32;
  for (int r = 0; r < rounds; ++r) {
    const uint32_t t = ref_f(s, n1 + key[order[r]]) ^ n2;
    if (r == 31) {
      n2 = t;
    } else {
      n2 = n1;
      n1 = t;
    }
  }
}

// Unpacks a 64-byte set back into nodes.
inline SboxRows unpack_sbox(const unsigned char* b) {
  SboxRows s{};
  for (int v = 0; v < 16; ++v) {
    for (int j = 0; j < 4; ++j) {
      s[2 * j][v] = b[4 * v + j] & 15;
      s[2 * j + 1][v] = b[4 * v + j] >> 4;
    }
  }
  return s;
}

// One entry of a vector file: the section header in force and its fields.
struct VectorEntry {
  std::string section;
  std::map<std::string, std::string> fields;
};

// Reads "[section]" headers and "Name = value" lines; a blank line or a new
// header ends an entry; lines starting with '#' are comments.
inline std::vector<VectorEntry> read_vectors(const std::string& path) {
  std::ifstream f(path);
  if (!f) throw std::runtime_error("cannot open " + path);
  std::vector<VectorEntry> out;
  VectorEntry cur;
  std::string section, line;
  auto flush = [&] {
    if (!cur.fields.empty()) {
      cur.section = section;
      out.push_back(cur);
    }
    cur = VectorEntry{};
  };
  while (std::getline(f, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line.empty()) {
      flush();
      continue;
    }
    if (line[0] == '#') continue;
    if (line[0] == '[') {
      flush();
      section = line;
      continue;
    }
    const auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    auto trim = [](std::string s) {
      const auto b = s.find_first_not_of(" \t");
      const auto e = s.find_last_not_of(" \t");
      return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
    };
    cur.fields[trim(line.substr(0, eq))] = trim(line.substr(eq + 1));
  }
  flush();
  return out;
}

inline std::string vectors_dir() { return DOSSAR_VECTORS_DIR; }

// One choice of kernels: the multi-block dispatch and the round used outside
// the AVX2 batches (single blocks, serial modes, tails, hash).
struct Kernels {
  const char* name;
  qcrypto::gost_detail::Path path;
  qcrypto::gost_detail::RoundPath round;
};

// Table rounds only; each constant-time round without the AVX2 batches (the
// permute round in both widths, the byte-shuffle round in the build for the
// CPU and in its AVX2 build); the AVX2 batches with a permute and with a
// shuffle round; whatever the CPU selects.
inline const Kernels kTableOnly{"Table", qcrypto::gost_detail::Path::kPortable,
                                qcrypto::gost_detail::RoundPath::kTable};
inline const Kernels kVbmiRound{"VbmiRound", qcrypto::gost_detail::Path::kPortable,
                                qcrypto::gost_detail::RoundPath::kAvx512};
inline const Kernels kVbmiNarrowRound{"VbmiNarrowRound", qcrypto::gost_detail::Path::kPortable,
                                      qcrypto::gost_detail::RoundPath::kAvx512Narrow};
inline const Kernels kShuffleRound{"ShuffleRound", qcrypto::gost_detail::Path::kPortable,
                                   qcrypto::gost_detail::RoundPath::kShuffle};
inline const Kernels kShuffleAvx2Round{"ShuffleAvx2Round", qcrypto::gost_detail::Path::kPortable,
                                       qcrypto::gost_detail::RoundPath::kShuffleAvx2};
inline const Kernels kAvx2Batches{"Avx2", qcrypto::gost_detail::Path::kAvx2, qcrypto::gost_detail::RoundPath::kAvx512};
inline const Kernels kAvx2Shuffle{"Avx2Shuffle", qcrypto::gost_detail::Path::kAvx2,
                                  qcrypto::gost_detail::RoundPath::kShuffle};
inline const Kernels kDispatched{"Dispatched", qcrypto::gost_detail::Path::kAuto,
                                 qcrypto::gost_detail::RoundPath::kAuto};

// Why a choice cannot run on this CPU, or null.
inline const char* kernels_missing(const Kernels& k) {
  using qcrypto::gost_detail::RoundPath;
  const bool avx2 = qcrypto::gost_detail::cpu_has_avx2();
  if (k.path == qcrypto::gost_detail::Path::kAvx2 && !avx2) return "CPU lacks AVX2";
  if ((k.round == RoundPath::kAvx512 || k.round == RoundPath::kAvx512Narrow) &&
      !(qcrypto::gost_detail::cpu_has_avx512vbmi() && avx2))
    return "CPU or OS lacks AVX-512 VBMI";
  if ((k.round == RoundPath::kShuffle || k.round == RoundPath::kShuffleAvx2) && !avx2) return "CPU lacks AVX2";
  return nullptr;
}

inline void select_kernels(const Kernels& k) {
  qcrypto::gost_detail::set_path(k.path);
  qcrypto::gost_detail::set_round_path(k.round);
}

inline void reset_kernels() { select_kernels(kDispatched); }

// Names the parameter in test listings instead of its bytes.
inline void PrintTo(const Kernels& k, std::ostream* os) { *os << k.name; }

inline std::string kernels_name(const testing::TestParamInfo<Kernels>& i) { return i.param.name; }

}  // namespace gost_test
