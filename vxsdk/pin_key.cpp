#include "vxsdk/pin_key.h"

#include "vxsdk/md5.h"

namespace vxsdk {

void DerivePinKey(const uint8_t* pin, size_t pinLen, PinKey* key) noexcept {
  SecretBytes<32> s;
  for (uint8_t prefix = 0; prefix < 2; ++prefix) {
    Md5 md;
    md.Update(&prefix, 1);
    md.Update(pin, pinLen);
    md.Final(s.data() + 16 * prefix);
  }
  for (size_t j = 0; j < 24; ++j) {
    uint8_t v = 0;
    for (size_t k = 0; k < 7; ++k) {
      const size_t bit = 7 * j + k;
      v = static_cast<uint8_t>(v | (((s[bit / 8] >> (bit % 8)) & 1u) << k));
    }
    (*key)[j] = v;
  }
}

}  // namespace vxsdk
