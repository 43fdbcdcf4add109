// The built-in GOST R 34.10-94 domain parameters (1024-bit p, 256-bit q).
#include <array>
#include <string_view>

#include "crypto/r3410/r3410.h"

namespace qcrypto {
namespace {

constexpr unsigned char Nibble(char c) {
  return static_cast<unsigned char>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
}

template <std::size_t N>
constexpr std::array<unsigned char, N> FromHex(std::string_view hex) {
  std::array<unsigned char, N> out{};
  for (std::size_t i = 0; i < N; ++i) {
    out[i] = static_cast<unsigned char>(Nibble(hex[2 * i]) << 4 | Nibble(hex[2 * i + 1]));
  }
  return out;
}

constexpr std::string_view kP =
    "d4fbc40b6822666ef1aabd740ffbdbd3c6f83c65080135a0dad4cf1e6959b23efca3b04dbdc0597312db6db892b2ad33"
    "e56a9380947ef42227ebc7c53b016a64cb1666a2b4ad53edef0b8c7651622a957038cae55a78b31a037c52d5bd190d8d"
    "db8903455001cba30cf1113c0b79b5bdefc92001685832f4f6257f94ad555211";
constexpr std::string_view kQ = "920b7b8a3f1f6f5195bcb0ab5c83850ee7c088461d8b5daf27308183dac5c6eb";
constexpr std::string_view kA =
    "cc4824a3ef62787c6740c25cbb4b0fe0c39c017fcdf9548c00be62523b3b10b90163d3cdaefbe4feb05cc27586d2b336"
    "a6aadbccbdc6305c3fe87fa4724e5d04a3c935ad096b555a5de2e6c75ee02e4dc2877add758f96eb4a5c30aa75cdfbdf"
    "e1e3ce3743ca7242bc82e78411f4cf2e0e82a827cad26002bf8b2b7353c594da";

static_assert(kP.size() == 2 * R3410_DEFAULT_P_BYTES);
static_assert(kQ.size() == 2 * R3410_DEFAULT_Q_BYTES);
static_assert(kA.size() == 2 * R3410_DEFAULT_A_BYTES);

constexpr auto kPBytes = FromHex<R3410_DEFAULT_P_BYTES>(kP);
constexpr auto kQBytes = FromHex<R3410_DEFAULT_Q_BYTES>(kQ);
constexpr auto kABytes = FromHex<R3410_DEFAULT_A_BYTES>(kA);

}  // namespace

const unsigned char* R3410_default_p() { return kPBytes.data(); }
const unsigned char* R3410_default_q() { return kQBytes.data(); }
const unsigned char* R3410_default_a() { return kABytes.data(); }

}  // namespace qcrypto
