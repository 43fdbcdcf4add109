#include "vxsdk/apdu.h"

#include "vxsdk/ca_exception.h"
#include "vxsdk/card_channel.h"
#include "vxsdk/wipe.h"

namespace vxsdk {

CApdu::CApdu(std::vector<uint8_t> command, uint32_t answerCapacity)
    : cmd_(std::move(command)), resp_(static_cast<size_t>(answerCapacity) + 2) {}

CApdu::~CApdu() {
  Wipe(cmd_.data(), cmd_.size());
  Wipe(resp_.data(), resp_.size());
}

int32_t CApdu::Send(CCardChannel& ch) {
  respLen_ = 0;
  uint32_t n = static_cast<uint32_t>(resp_.size());
  const int32_t rv = ch.Transmit(cmd_.data(), static_cast<uint32_t>(cmd_.size()), resp_.data(), &n);
  if (rv != 0) {
    return rv;
  }
  if (n < 2 || n > resp_.size()) {
    return kScardFCommError;
  }
  respLen_ = n;
  return 0;
}

void CApdu::SendChecked(CCardChannel& ch) {
  const int32_t rv = Send(ch);
  if (rv != 0) {
    VX_THROW(rv);
  }
  const uint16_t sw = Sw();
  if (sw != 0x9000) {
    VX_THROW(CardStatusCode(sw));
  }
}

uint16_t CApdu::Sw() const {
  if (respLen_ < 2) {
    return 0;
  }
  return static_cast<uint16_t>(resp_[respLen_ - 2] << 8 | resp_[respLen_ - 1]);
}

std::span<const uint8_t> CApdu::Data() const {
  if (respLen_ < 2) {
    return {};
  }
  return {resp_.data(), respLen_ - 2};
}

CApdu K1Command(uint8_t ins, const std::vector<uint8_t>& data, uint32_t answerLen) {
  if (data.size() > 0xFFFF) {
    VX_THROW(kEInvalidArg);
  }
  // One allocation: a grown buffer would be freed with the PIN still in it.
  std::vector<uint8_t> c;
  c.reserve(7 + data.size());
  c.assign({0x00, ins, 0x00, 0x00, 0x00});
  PutBe16(c, static_cast<uint16_t>(data.size()));
  c.insert(c.end(), data.begin(), data.end());
  return CApdu(std::move(c), answerLen);
}

CApdu K2Command(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, const std::vector<uint8_t>& data, uint8_t le) {
  if (data.size() > 255) {
    VX_THROW(kEInvalidArg);
  }
  std::vector<uint8_t> c;
  c.reserve(6 + data.size());
  c.assign({cla, ins, p1, p2, static_cast<uint8_t>(data.size())});
  c.insert(c.end(), data.begin(), data.end());
  c.push_back(le);
  return CApdu(std::move(c), le);
}

}  // namespace vxsdk
