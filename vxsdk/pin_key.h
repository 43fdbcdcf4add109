// The newer card OS's key from a PIN: two MD5 digests, their first 168 bits
// spread seven to a byte, bit 7 of every key byte zero.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vxsdk/wipe.h"

namespace vxsdk {

using PinKey = SecretBytes<24>;

void DerivePinKey(const uint8_t* pin, size_t pinLen, PinKey* key) noexcept;

}  // namespace vxsdk
