// The card operating systems of the token's two generations behind one
// interface. Each operation holds the channel lock while it sends its
// commands; the caller brackets operations with Begin and End.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vxsdk/card_channel.h"
#include "vxsdk/readers.h"

namespace vxsdk {

class CVexilToken {
 public:
  explicit CVexilToken(std::shared_ptr<CCardChannel> channel) : channel_(std::move(channel)) {}
  virtual ~CVexilToken() = default;
  CVexilToken(const CVexilToken&) = delete;
  CVexilToken& operator=(const CVexilToken&) = delete;

  virtual int32_t MinPinLength() const { return 4; }
  virtual int32_t MaxPinLength() const { return 16; }
  virtual void Login(const uint8_t* pin, size_t len) = 0;
  virtual bool BoolQuery() = 0;
  virtual void Logout() = 0;
  virtual void ChangePin(const uint8_t* pin, size_t len) = 0;
  virtual std::vector<uint8_t> Serial() = 0;
  virtual std::string Label() = 0;
  virtual std::string Name() const = 0;
  virtual uint16_t Query16A() = 0;
  virtual uint8_t Query8() = 0;
  virtual uint16_t Query16B() = 0;
  virtual uint16_t Query16C() = 0;
  virtual int32_t ConstQuery() const = 0;
  // Begins a card transaction; a PC/SC failure is thrown.
  void Begin();
  // Ends it leaving the card; a failure is thrown (callers ignore it).
  void End();
  virtual std::vector<uint16_t> RootPath() const = 0;
  virtual TokenKind Kind() const = 0;
  // Reads the serial afresh and compares it with the cached one; any
  // failure means another card.
  virtual bool SameCard() = 0;

  CCardChannel& Channel() { return *channel_; }

 protected:
  std::shared_ptr<CCardChannel> channel_;
};

// Begin/End around one scope; a failure of End is ignored.
class CardBracket {
 public:
  explicit CardBracket(CVexilToken& t) : t_(t) { t_.Begin(); }
  ~CardBracket();
  CardBracket(const CardBracket&) = delete;
  CardBracket& operator=(const CardBracket&) = delete;

 private:
  CVexilToken& t_;
};

class CVexilK1Token final : public CVexilToken {
 public:
  static constexpr size_t kIdentSize = 19;
  static constexpr size_t kSelectAnswer = 8;
  static constexpr uint16_t kChunk = 80;
  // Reads and caches the identification record inside a card transaction.
  explicit CVexilK1Token(std::shared_ptr<CCardChannel> channel);

  void Login(const uint8_t* pin, size_t len) override;
  bool BoolQuery() override;
  void Logout() override;
  void ChangePin(const uint8_t* pin, size_t len) override;
  std::vector<uint8_t> Serial() override;
  std::string Label() override;
  std::string Name() const override { return "VexilK1"; }
  uint16_t Query16A() override;
  uint8_t Query8() override;
  uint16_t Query16B() override;
  uint16_t Query16C() override;
  int32_t ConstQuery() const override { return 0; }
  std::vector<uint16_t> RootPath() const override { return {0x3F00}; }
  TokenKind Kind() const override { return TokenKind::K1; }
  bool SameCard() override;

  // The select answer of a path from the root (8 bytes).
  std::vector<uint8_t> SelectPath(const std::vector<uint16_t>& path);
  // Reads `count` bytes of the selected file from `offset` in commands of at
  // most 80 bytes; an answer without data ends the read.
  std::vector<uint8_t> ReadSelected(uint16_t offset, uint16_t count);

 private:
  std::vector<uint8_t> ReadIdent();
  std::vector<uint8_t> ident_;
};

class CVexilK2Token final : public CVexilToken {
 public:
  static constexpr size_t kRecordSize = 7;
  static constexpr size_t kLabelSize = 32;
  // Reads and caches the token record inside a card transaction.
  explicit CVexilK2Token(std::shared_ptr<CCardChannel> channel);

  // An empty PIN sends nothing and fails with 0x86E06416.
  void Login(const uint8_t* pin, size_t len) override;
  bool BoolQuery() override;
  void Logout() override;
  void ChangePin(const uint8_t* pin, size_t len) override;
  std::vector<uint8_t> Serial() override;
  std::string Label() override;
  std::string Name() const override { return "VexilK2"; }
  uint16_t Query16A() override;
  uint8_t Query8() override;
  uint16_t Query16B() override;
  uint16_t Query16C() override;
  int32_t ConstQuery() const override { return 1; }
  std::vector<uint16_t> RootPath() const override { return {0x3F00, 0x6666}; }
  TokenKind Kind() const override { return TokenKind::K2; }
  bool SameCard() override;
  // GET DATA tag 83, and when it answers 10 first the MF select with the
  // FCI and the proprietary command 80 10.
  void ProprietaryReset();
  // Whether byte 7 of 1000/0001 below the root directory is 01.
  bool RootRecordFlag();

 private:
  void SelectApplication();
  std::vector<uint8_t> ReadAppFile(uint16_t df, uint16_t ef, uint8_t len, bool exact);
  std::vector<uint8_t> ReadRecord();
  std::vector<uint8_t> GetData(uint8_t tag);
  std::vector<uint8_t> record_;
};

}  // namespace vxsdk
