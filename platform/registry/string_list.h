// The serialised string list of the settings (the default recipients), in
// the byte layout the Windows programs wrote and read:
//   count: 16-bit LE, or 0xFFFF then a 32-bit LE count when >= 0xFFFF;
//   each string: length (1 byte when < 0xFF; else 0xFF + 16-bit when
//   < 0xFFFE; else 0xFF, 0xFFFF + 32-bit), then the bytes, no terminator.
// A 16-bit length of 0xFFFE is the framework's marker of a wide string
// that follows; this code never writes it, and a reader meeting it refuses
// the data rather than take the marker for a length.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace platform::reg {

std::vector<std::uint8_t> serialize_string_list(const std::vector<std::string>& list);
// Parses exactly `bytes` (trailing bytes are refused as well); every length
// is checked against what is left, so hostile data cannot make it read past
// the end or allocate more than its own size.
std::optional<std::vector<std::string>> parse_string_list(std::span<const std::uint8_t> bytes);

}  // namespace platform::reg
