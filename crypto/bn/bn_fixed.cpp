#include "crypto/bn/bn_ext.h"

namespace qcrypto {

int BN_bn2bin_fixed(const BIGNUM* number, unsigned char* buffer, int width) {
  if (number == nullptr || buffer == nullptr || width < 0) return 0;
  const int n = BN_num_bytes(number);
  if (n > width) return 0;
  // The padded writer touches every word whatever the value, so secrets
  // (private keys) leave no trace of their leading zeros in the timing.
  if (width > 0 && BN_bn2binpad(number, buffer, width) != width) return 0;
  return n;
}

}  // namespace qcrypto
