// The token SDK's one exception type. Everything that fails inside the SDK
// throws it with a 32-bit result code: a PC/SC code passed on unchanged, or
// 0x86E00000 plus a card status word other than 90 00.
#pragma once

#include <cstdint>

namespace vxsdk {

class CAException {
 public:
  CAException(int32_t code, const char* file, const char* buildDate, int line) noexcept
      : code_(code), file_(file), buildDate_(buildDate), line_(line) {}
  int32_t Code() const noexcept { return code_; }
  const char* File() const noexcept { return file_; }
  const char* BuildDate() const noexcept { return buildDate_; }
  int Line() const noexcept { return line_; }

 private:
  int32_t code_;
  const char* file_;
  const char* buildDate_;
  int line_;
};

// Result codes of the SDK that are not PC/SC's own.
inline constexpr int32_t kCardStatusBase = static_cast<int32_t>(0x86E00000u);
inline constexpr int32_t CardStatusCode(uint16_t sw) { return static_cast<int32_t>(0x86E00000u + sw); }

// PC/SC codes the SDK produces itself.
inline constexpr int32_t kScardENoSmartcard = static_cast<int32_t>(0x8010000Cu);
inline constexpr int32_t kScardEProtoMismatch = static_cast<int32_t>(0x8010000Fu);
inline constexpr int32_t kScardFCommError = static_cast<int32_t>(0x80100013u);
inline constexpr int32_t kScardENoReadersAvailable = static_cast<int32_t>(0x8010002Eu);
inline constexpr int32_t kScardEInsufficientBuffer = static_cast<int32_t>(0x80100008u);
inline constexpr int32_t kScardWRemovedCard = static_cast<int32_t>(0x80100069u);

}  // namespace vxsdk

// __DATE__ is the build date the exception carries; the project builds are
// not bit-reproducible on that line anyway, and the date is what a support
// log asks for.
#define VX_THROW(code) throw ::vxsdk::CAException((code), __FILE__, __DATE__, __LINE__)
