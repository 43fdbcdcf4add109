#include "vxsdk/readers.h"

#include <cstring>

#include "vxsdk/ca_exception.h"

namespace vxsdk {
namespace {

struct AtrPattern {
  uint8_t bytes[13];
  uint32_t len;
  TokenKind kind;
};

constexpr AtrPattern kPatterns[] = {
    {{0x3B, 0x81, 0x1F, 0x00, 0xCC, 0x52}, 6, TokenKind::K1},
    {{0x3B, 0xE2, 0x00, 0xFF, 0xC1, 0x10, 0x31, 0xFE, 0x55, 0xC8, 0x02, 0x9C}, 12, TokenKind::K2},
    {{0x3B, 0xF2, 0x98, 0x00, 0xFF, 0xC1, 0x10, 0x31, 0xFE, 0x55, 0xC8, 0x03, 0x15}, 13, TokenKind::K2},
};

// Releases the context and the list on every path out of the walk,
// including a callback that throws.
class ContextGuard {
 public:
  explicit ContextGuard(PcscContext ctx) : ctx_(ctx) {}
  ~ContextGuard() {
    if (list_ != nullptr) {
      Pcsc().free(ctx_, list_);
    }
    Pcsc().release(ctx_);
  }
  ContextGuard(const ContextGuard&) = delete;
  ContextGuard& operator=(const ContextGuard&) = delete;
  char** list() { return &list_; }

 private:
  PcscContext ctx_;
  char* list_ = nullptr;
};

}  // namespace

std::optional<TokenKind> KindFromAtr(const uint8_t* atr, uint32_t len) {
  if (atr == nullptr) {
    return std::nullopt;
  }
  for (const auto& p : kPatterns) {
    if (len == p.len && std::memcmp(atr, p.bytes, len) == 0) {
      return p.kind;
    }
  }
  return std::nullopt;
}

void EnumPcscReaders(const ReaderCallback& callback) {
  PcscContext ctx = 0;
  const int32_t rv = Pcsc().establish(kPcscScopeUser, &ctx);
  if (rv != 0) {
    VX_THROW(rv);
  }
  ContextGuard guard(ctx);
  uint32_t len = 0;
  const int32_t lrv = Pcsc().list(ctx, guard.list(), &len);
  if (lrv == kScardENoReadersAvailable) {
    return;
  }
  if (lrv != 0) {
    VX_THROW(lrv);
  }
  const char* p = *guard.list();
  if (p == nullptr) {
    return;
  }
  // The length bounds the walk: a list without its closing NUL ends there.
  size_t pos = 0;
  while (pos < len) {
    const size_t n = strnlen(p + pos, len - pos);
    if (n == 0 || pos + n == len) {
      break;
    }
    std::string name(p + pos, n);
    pos += n + 1;
    PcscReaderState state;
    state.reader = name.c_str();
    if (Pcsc().statusChange(ctx, 0, &state, 1) != 0) {
      continue;
    }
    if (state.atrLen > kPcscMaxAtr) {
      state.atrLen = 0;
    }
    callback(name, state);
  }
}

}  // namespace vxsdk
