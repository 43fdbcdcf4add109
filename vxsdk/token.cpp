#include "vxsdk/token.h"

#include <algorithm>
#include <cstring>

#include "vxsdk/apdu.h"
#include "vxsdk/ca_exception.h"
#include "vxsdk/des.h"
#include "vxsdk/pin_key.h"
#include "vxsdk/tlv.h"
#include "vxsdk/wipe.h"

namespace vxsdk {
namespace {

constexpr uint16_t kSwNotFound = 0x6A82;
constexpr uint16_t kSwNotFoundAlt = 0x6407;
constexpr uint16_t kSwEmptyPin = 0x6416;

std::string TrimTrailing(const std::vector<uint8_t>& v) {
  size_t n = v.size();
  while (n > 0 && (v[n - 1] == 0x00 || v[n - 1] == 0x20)) {
    --n;
  }
  return std::string(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(n));
}

// An answer shorter than its record is the card's fault, not a success.
void NeedAtLeast(std::span<const uint8_t> data, size_t n) {
  if (data.size() < n) {
    VX_THROW(kScardFCommError);
  }
}

std::vector<uint8_t> PinCommandData(const uint8_t* pin, size_t len) {
  if (len > 255 || (pin == nullptr && len != 0)) {
    VX_THROW(kEInvalidArg);
  }
  std::vector<uint8_t> d;
  d.reserve(len + 1);
  d.push_back(static_cast<uint8_t>(len));
  d.insert(d.end(), pin, pin + len);
  return d;
}

// A K2 PIN is refused before anything is sent: an empty one with the card's
// own status (it could never log in), a missing one as a bad argument.
void CheckK2Pin(const uint8_t* pin, size_t len) {
  if (len == 0) {
    VX_THROW(CardStatusCode(kSwEmptyPin));
  }
  if (pin == nullptr) {
    VX_THROW(kEInvalidArg);
  }
}

// The data vector of a command that carries a secret, wiped after the
// command object has copied it.
struct WipedData {
  std::vector<uint8_t> v;
  ~WipedData() { Wipe(v.data(), v.size()); }
};

}  // namespace

void CVexilToken::Begin() {
  const int32_t rv = channel_->BeginTransaction();
  if (rv != 0) {
    VX_THROW(rv);
  }
}

void CVexilToken::End() {
  const int32_t rv = channel_->EndTransaction(kPcscLeaveCard);
  if (rv != 0) {
    VX_THROW(rv);
  }
}

CardBracket::~CardBracket() {
  try {
    t_.End();
  } catch (const CAException&) {
    // The handle layer ignores a failed end; so does every bracket here.
  }
}

// ---- older card OS ----

CVexilK1Token::CVexilK1Token(std::shared_ptr<CCardChannel> channel) : CVexilToken(std::move(channel)) {
  CardBracket b(*this);
  ident_ = ReadIdent();
}

std::vector<uint8_t> CVexilK1Token::ReadIdent() {
  ChannelLock lock(*channel_);
  CApdu c = K1Command(0xDA, {0x00}, kIdentSize);
  c.SendChecked(*channel_);
  NeedAtLeast(c.Data(), kIdentSize);
  return {c.Data().begin(), c.Data().begin() + kIdentSize};
}

void CVexilK1Token::Login(const uint8_t* pin, size_t len) {
  ChannelLock lock(*channel_);
  WipedData d{PinCommandData(pin, len)};
  CApdu c = K1Command(0x20, d.v, 0);
  c.SendChecked(*channel_);
}

void CVexilK1Token::Logout() {
  ChannelLock lock(*channel_);
  CApdu c = K1Command(0xDC, {0x00}, 0);
  c.SendChecked(*channel_);
}

void CVexilK1Token::ChangePin(const uint8_t* pin, size_t len) {
  ChannelLock lock(*channel_);
  WipedData d{PinCommandData(pin, len)};
  CApdu c = K1Command(0xD4, d.v, 0);
  c.SendChecked(*channel_);
}

std::vector<uint8_t> CVexilK1Token::Serial() { return {ident_.begin(), ident_.begin() + 4}; }

bool CVexilK1Token::BoolQuery() {
  ident_ = ReadIdent();
  return (ident_[14] | ident_[15]) != 0;
}

uint16_t CVexilK1Token::Query16A() { return static_cast<uint16_t>(ident_[4] | ident_[5] << 8); }
uint8_t CVexilK1Token::Query8() { return ident_[18]; }
uint16_t CVexilK1Token::Query16B() { return static_cast<uint16_t>(ident_[6] | ident_[7] << 8); }
uint16_t CVexilK1Token::Query16C() {
  ident_ = ReadIdent();
  return static_cast<uint16_t>(ident_[16] | ident_[17] << 8);
}

std::vector<uint8_t> CVexilK1Token::SelectPath(const std::vector<uint16_t>& path) {
  if (path.size() > 127) {
    VX_THROW(kEInvalidArg);
  }
  std::vector<uint8_t> d = {0x00, static_cast<uint8_t>(path.size())};
  for (uint16_t id : path) {
    PutLe16(d, id);
  }
  ChannelLock lock(*channel_);
  CApdu c = K1Command(0xA4, d, kSelectAnswer);
  c.SendChecked(*channel_);
  NeedAtLeast(c.Data(), kSelectAnswer);
  return {c.Data().begin(), c.Data().begin() + kSelectAnswer};
}

std::vector<uint8_t> CVexilK1Token::ReadSelected(uint16_t offset, uint16_t count) {
  ChannelLock lock(*channel_);
  std::vector<uint8_t> out;
  out.reserve(count);
  uint32_t pos = offset;
  while (out.size() < count) {
    const uint16_t chunk = static_cast<uint16_t>(std::min<size_t>(kChunk, count - out.size()));
    std::vector<uint8_t> d;
    PutLe16(d, static_cast<uint16_t>(pos));
    PutLe16(d, chunk);
    CApdu c = K1Command(0xB0, d, chunk);
    c.SendChecked(*channel_);
    if (c.Data().empty()) {
      break;  // asking again would ask for ever
    }
    out.insert(out.end(), c.Data().begin(), c.Data().end());
    pos += static_cast<uint32_t>(c.Data().size());
  }
  return out;
}

std::string CVexilK1Token::Label() {
  ChannelLock lock(*channel_);
  std::vector<uint8_t> sel;
  try {
    sel = SelectPath({0x3F00, 0x8000, 0xAAAA});
  } catch (const CAException& e) {
    if (e.Code() == CardStatusCode(kSwNotFound) || e.Code() == CardStatusCode(kSwNotFoundAlt)) {
      return {};
    }
    throw;
  }
  const uint16_t size = static_cast<uint16_t>(sel[4] | sel[5] << 8);
  if (sel[2] != 1 || sel[3] != 0 || size == 0) {
    return {};
  }
  return TrimTrailing(ReadSelected(0, size));
}

bool CVexilK1Token::SameCard() {
  try {
    CardBracket b(*this);
    const std::vector<uint8_t> now = ReadIdent();
    return std::equal(now.begin(), now.begin() + 4, ident_.begin());
  } catch (const CAException&) {
    return false;
  }
}

// ---- newer card OS ----

CVexilK2Token::CVexilK2Token(std::shared_ptr<CCardChannel> channel) : CVexilToken(std::move(channel)) {
  CardBracket b(*this);
  record_ = ReadRecord();
}

void CVexilK2Token::SelectApplication() {
  CApdu c = K2Command(0x00, 0xA4, 0x04, 0x0C, {'Q', 'R', 'L'}, 0x00);
  c.SendChecked(*channel_);
}

std::vector<uint8_t> CVexilK2Token::ReadAppFile(uint16_t df, uint16_t ef, uint8_t len, bool exact) {
  ChannelLock lock(*channel_);
  SelectApplication();
  std::vector<uint8_t> path;
  PutBe16(path, df);
  PutBe16(path, ef);
  CApdu sel = K2Command(0x00, 0xA4, 0x09, 0x0C, path, 0x00);
  sel.SendChecked(*channel_);
  CApdu rd = K2Command(0x00, 0xB0, 0x00, 0x00, {}, len);
  rd.SendChecked(*channel_);
  if (exact) {
    NeedAtLeast(rd.Data(), len);
  }
  const size_t n = std::min<size_t>(rd.Data().size(), len);
  return {rd.Data().begin(), rd.Data().begin() + static_cast<std::ptrdiff_t>(n)};
}

std::vector<uint8_t> CVexilK2Token::ReadRecord() { return ReadAppFile(0x1000, 0x0001, kRecordSize, true); }

std::vector<uint8_t> CVexilK2Token::GetData(uint8_t tag) {
  ChannelLock lock(*channel_);
  CApdu c = K2Command(0x00, 0xCA, 0x01, tag, {}, 0xFD);
  c.SendChecked(*channel_);
  return {c.Data().begin(), c.Data().end()};
}

void CVexilK2Token::Login(const uint8_t* pin, size_t len) {
  CheckK2Pin(pin, len);
  ChannelLock lock(*channel_);
  SelectApplication();
  PinKey key;
  DerivePinKey(pin, len, &key);
  CApdu ch = K2Command(0x00, 0x84, 0x00, 0x00, {}, 0x08);
  ch.SendChecked(*channel_);
  NeedAtLeast(ch.Data(), 8);
  WipedData crypt{std::vector<uint8_t>(8)};
  DesEde3EncryptBlock(key.data(), ch.Data().data(), crypt.v.data());
  CApdu auth = K2Command(0x00, 0x82, 0x00, 0x81, crypt.v, 0x00);
  auth.SendChecked(*channel_);
}

void CVexilK2Token::ChangePin(const uint8_t* pin, size_t len) {
  // An empty PIN cannot log in afterwards; refusing it before anything is
  // sent keeps the card's key as it was.
  CheckK2Pin(pin, len);
  ChannelLock lock(*channel_);
  SelectApplication();
  PinKey key;
  DerivePinKey(pin, len, &key);
  // The key template: reference, two fixed records, sixteen FF, then the key.
  static constexpr uint8_t kHead[25] = {0x83, 0x02, 0x00, 0x01, 0x85, 0x08, 0x03, 0x0F, 0x82, 0x0F, 0xFF, 0xFF, 0x00,
                                        0x00, 0x86, 0x07, 0x00, 0x01, 0xFF, 0x00, 0x00, 0x00, 0x01, 0x8B, 0x10};
  WipedData tpl{std::vector<uint8_t>(67, 0xFF)};
  std::memcpy(tpl.v.data(), kHead, sizeof kHead);
  tpl.v[41] = 0x8F;
  tpl.v[42] = 0x18;
  std::memcpy(tpl.v.data() + 43, key.data(), key.size());
  bool put = false;
  try {
    CApdu c = K2Command(0x00, 0xDA, 0x01, 0x6E, tpl.v, 0x00);
    c.SendChecked(*channel_);
    put = true;
  } catch (const CAException&) {
    put = false;
  }
  if (!put) {
    WipedData k{std::vector<uint8_t>(key.data(), key.data() + key.size())};
    CApdu c = K2Command(0x00, 0x24, 0x01, 0x81, k.v, 0x00);
    c.SendChecked(*channel_);
  }
  Login(pin, len);
}

void CVexilK2Token::Logout() {
  ChannelLock lock(*channel_);
  CApdu c = K2Command(0x00, 0xA4, 0x00, 0x0C, {}, 0x00);
  c.SendChecked(*channel_);
}

std::vector<uint8_t> CVexilK2Token::Serial() { return {record_[4], record_[3], record_[2], record_[1]}; }

std::string CVexilK2Token::Label() { return TrimTrailing(ReadAppFile(0x1000, 0x0002, kLabelSize, false)); }

bool CVexilK2Token::BoolQuery() {
  const std::vector<uint8_t> v = GetData(0x84);
  return std::find(v.begin(), v.end(), 0x01) != v.end();
}

uint16_t CVexilK2Token::Query16A() { return static_cast<uint16_t>(record_[5] << 8 | record_[6]); }
uint8_t CVexilK2Token::Query8() { return record_[0]; }
uint16_t CVexilK2Token::Query16B() {
  const std::vector<uint8_t> v = GetData(0x89);
  NeedAtLeast(v, 4);
  return static_cast<uint16_t>(v[2] << 8 | v[3]);
}
uint16_t CVexilK2Token::Query16C() {
  const std::vector<uint8_t> v = GetData(0x8A);
  NeedAtLeast(v, 2);
  return static_cast<uint16_t>(v[0] << 8 | v[1]);
}

void CVexilK2Token::ProprietaryReset() {
  ChannelLock lock(*channel_);
  const std::vector<uint8_t> v = GetData(0x83);
  if (v.empty() || v[0] != 0x10) {
    return;
  }
  CApdu sel = K2Command(0x00, 0xA4, 0x00, 0x00, {}, 0x64);
  sel.SendChecked(*channel_);
  CApdu c = K2Command(0x80, 0x10, 0x00, 0x00, {}, 0x00);
  c.SendChecked(*channel_);
}

bool CVexilK2Token::RootRecordFlag() {
  ChannelLock lock(*channel_);
  std::vector<uint8_t> path;
  for (uint16_t id : {uint16_t{0x6666}, uint16_t{0x1000}, uint16_t{0x0001}}) {
    PutBe16(path, id);
  }
  CApdu sel = K2Command(0x00, 0xA4, 0x08, 0x0C, path, 0x00);
  sel.SendChecked(*channel_);
  CApdu rd = K2Command(0x00, 0xB0, 0x00, 0x00, {}, 0x08);
  rd.SendChecked(*channel_);
  NeedAtLeast(rd.Data(), 8);
  return rd.Data()[7] == 0x01;
}

bool CVexilK2Token::SameCard() {
  try {
    CardBracket b(*this);
    const std::vector<uint8_t> now = ReadRecord();
    return std::equal(now.begin() + 1, now.begin() + 5, record_.begin() + 1);
  } catch (const CAException&) {
    return false;
  }
}

}  // namespace vxsdk
