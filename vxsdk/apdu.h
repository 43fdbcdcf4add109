// Command objects of both card operating systems: the command bytes, an
// answer buffer sized for the expected answer plus SW1 SW2, and the send.
// Both buffers may hold a PIN or a key, so both are wiped when it goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vxsdk {

class CCardChannel;

class CApdu {
 public:
  CApdu(std::vector<uint8_t> command, uint32_t answerCapacity);
  ~CApdu();
  CApdu(CApdu&&) = default;
  CApdu(const CApdu&) = delete;
  CApdu& operator=(const CApdu&) = delete;

  const std::vector<uint8_t>& Command() const { return cmd_; }
  // Transmits; the PC/SC result. An answer without its two status bytes is
  // a communication error.
  int32_t Send(CCardChannel& ch);
  // Transmits and throws the PC/SC code or 0x86E00000 + SW.
  void SendChecked(CCardChannel& ch);
  uint16_t Sw() const;
  // The answer without its status word.
  std::span<const uint8_t> Data() const;

 private:
  std::vector<uint8_t> cmd_;
  std::vector<uint8_t> resp_;
  uint32_t respLen_ = 0;
};

// Older card OS: 00 INS 00 00 00, the data length high byte first, the data;
// no Le, the answer buffer holds `answerLen` bytes and the status word.
CApdu K1Command(uint8_t ins, const std::vector<uint8_t>& data, uint32_t answerLen);
// Newer card OS: CLA INS P1 P2 Lc data Le, Lc and Le always present. Data of
// more than 255 bytes is refused with E_INVALIDARG.
CApdu K2Command(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, const std::vector<uint8_t>& data, uint8_t le);

inline void PutLe16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(static_cast<uint8_t>(x));
  v.push_back(static_cast<uint8_t>(x >> 8));
}
inline void PutBe16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(static_cast<uint8_t>(x >> 8));
  v.push_back(static_cast<uint8_t>(x));
}

inline constexpr int32_t kEInvalidArg = static_cast<int32_t>(0x80070057u);

}  // namespace vxsdk
