// PC/SC readers: the enumeration, the ATR table that tells the two card
// operating systems apart, and the reader entries a reader listing returns.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "vxsdk/pcsc.h"

namespace vxsdk {

enum class TokenKind : int32_t { K1 = 0, K2 = 1 };

// The generation whose ATR pattern equals the whole ATR, or none.
std::optional<TokenKind> KindFromAtr(const uint8_t* atr, uint32_t len);

struct ReaderEntry {
  std::string name;
  int32_t present = 0;
};

// Called once per reader whose status could be read, with the reader's
// state after a status query without waiting.
using ReaderCallback = std::function<void(const std::string& name, const PcscReaderState& state)>;

// Walks every reader. No readers at all is an empty walk; other PC/SC
// failures throw their code.
void EnumPcscReaders(const ReaderCallback& callback);

}  // namespace vxsdk
