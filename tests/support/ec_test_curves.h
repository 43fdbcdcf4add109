// Curve definitions the curve and signature tests use beside the two
// built-in ones.
#pragma once

#include "crypto/ec/ecurve.h"

namespace qcrypto::ectest {

// Curve definitions used beside the two built-in ones (RFC 4357 parameter
// sets from the public vectors, and secp256k1 for a = 0).
inline const ECURVE_DEF& CryptoProA() {
  static const ECURVE_DEF def = {0,
                                 "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFD97",
                                 "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFD94",
                                 "00000000000000000000000000000000000000000000000000000000000000A6",
                                 "04"
                                 "0000000000000000000000000000000000000000000000000000000000000001"
                                 "8D91E471E0989CDA27DF505A453F2B7635294F2DDF23E3B122ACC99C9E9F1E14",
                                 "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF6C611070995AD10045841B09B761B893",
                                 "01",
                                 nullptr,
                                 nullptr,
                                 nullptr};
  return def;
}

// p = 2^255 + 0xC99 with a = p - 3: the 2^255 + c reduction with the faster
// doubling.
inline const ECURVE_DEF& CryptoProB() {
  static const ECURVE_DEF def = {0,
                                 "8000000000000000000000000000000000000000000000000000000000000C99",
                                 "8000000000000000000000000000000000000000000000000000000000000C96",
                                 "3E1AF419A269A5F866A7D3C25C3DF80AE979259373FF2B182F49D4CE7E1BBC8B",
                                 "04"
                                 "0000000000000000000000000000000000000000000000000000000000000001"
                                 "3FA8124359F96680B83D1C3EB2C070E5C545C9858D03ECFB744BF8D717717EFC",
                                 "800000000000000000000000000000015F700CFFF1A624E5E497161BCC8A198F",
                                 "01",
                                 nullptr,
                                 nullptr,
                                 nullptr};
  return def;
}

inline const ECURVE_DEF& Secp256k1() {
  static const ECURVE_DEF def = {0,
                                 "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEFFFFFC2F",
                                 "",
                                 "07",
                                 "04"
                                 "79BE667EF9DCBBAC55A06295CE870B07029BFCDB2DCE28D959F2815B16F81798"
                                 "483ADA7726A3C4655DA4FBFC0E1108A8FD17B448A68554199C47D08FFB10D4B8",
                                 "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEBAAEDCE6AF48A03BBFD25E8CD0364141",
                                 "01",
                                 nullptr,
                                 nullptr,
                                 nullptr};
  return def;
}

// A 192-bit curve (P-192) to run the fixed-width code below 256 bits.
inline const ECURVE_DEF& P192() {
  static const ECURVE_DEF def = {0,
                                 "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEFFFFFFFFFFFFFFFF",
                                 "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEFFFFFFFFFFFFFFFC",
                                 "64210519E59C80E70FA7E9AB72243049FEB8DEECC146B9B1",
                                 "04188DA80EB03090F67CBF20EB43A18800F4FF0AFD82FF1012"
                                 "07192B95FFC8DA78631011ED6B24CDD573F977A11E794811",
                                 "FFFFFFFFFFFFFFFFFFFFFFFF99DEF836146BC9B1B4D22831",
                                 "01",
                                 nullptr,
                                 nullptr,
                                 nullptr};
  return def;
}

}  // namespace qcrypto::ectest
