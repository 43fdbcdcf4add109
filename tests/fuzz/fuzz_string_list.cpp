// The serialised string list arrives in the settings store, which a loaded
// configuration file fills: any bytes must parse or be refused without
// reading out of bounds, and what parses must come back unchanged through a
// serialise-and-parse round trip.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "platform/registry/string_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  const auto list = platform::reg::parse_string_list(bytes);
  if (!list) return 0;
  const auto again = platform::reg::serialize_string_list(*list);
  const auto reparsed = platform::reg::parse_string_list(again);
  if (!reparsed || *reparsed != *list) std::abort();
  return 0;
}
