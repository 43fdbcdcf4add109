// Simple TLV runs of the newer card OS (one-byte tag, one-byte length), as
// found in its FCI and GET DATA answers. Every length is checked against
// the bytes that are there.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace vxsdk {

// The value of the first `tag` in the run, or none; a run whose element
// runs past its end is cut before that element.
std::optional<std::span<const uint8_t>> FindTlv(std::span<const uint8_t> run, uint8_t tag);

// An FCI answer: looks inside a 6F template when there is one, else at the
// top level.
std::optional<std::span<const uint8_t>> FindFciTag(std::span<const uint8_t> answer, uint8_t tag);

}  // namespace vxsdk
