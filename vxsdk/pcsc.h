// The PC/SC functions the SDK calls, as one table. pcsclite's LONG and DWORD
// are 64-bit on amd64; the table speaks int32 results and uint32 values, and
// the pcsclite implementation converts at its edge. Test builds can put a
// fake in its place.
#pragma once

#include <cstdint>

namespace vxsdk {

using PcscContext = uintptr_t;
using PcscCard = uintptr_t;

inline constexpr uint32_t kPcscScopeUser = 0;
inline constexpr uint32_t kPcscShareShared = 2;
inline constexpr uint32_t kPcscProtocolT0 = 1;
inline constexpr uint32_t kPcscProtocolT1 = 2;
inline constexpr uint32_t kPcscProtocolRaw = 4;
inline constexpr uint32_t kPcscLeaveCard = 0;
inline constexpr uint32_t kPcscStatePresent = 0x20;
inline constexpr uint32_t kPcscMaxAtr = 33;

struct PcscReaderState {
  const char* reader = nullptr;
  uint32_t currentState = 0;
  uint32_t eventState = 0;
  uint32_t atrLen = 0;
  uint8_t atr[kPcscMaxAtr] = {};
};

struct IPcsc {
  int32_t (*establish)(uint32_t scope, PcscContext* ctx);
  // The readers as a multi-string (names ending in NUL, an empty name last),
  // allocated by the implementation and handed back through `free`.
  int32_t (*list)(PcscContext ctx, char** readers, uint32_t* len);
  int32_t (*statusChange)(PcscContext ctx, uint32_t timeoutMs, PcscReaderState* states, uint32_t count);
  int32_t (*connect)(PcscContext ctx, const char* reader, uint32_t share, uint32_t protocols, PcscCard* card,
                     uint32_t* active);
  int32_t (*reconnect)(PcscCard card, uint32_t share, uint32_t protocols, uint32_t init, uint32_t* active);
  int32_t (*begin)(PcscCard card);
  int32_t (*end)(PcscCard card, uint32_t disposition);
  int32_t (*transmit)(PcscCard card, uint32_t protocol, const uint8_t* cmd, uint32_t cmdLen, uint8_t* resp,
                      uint32_t* respLen);
  int32_t (*disconnect)(PcscCard card, uint32_t disposition);
  int32_t (*release)(PcscContext ctx);
  int32_t (*free)(PcscContext ctx, void* mem);
};

// The table in use: pcsclite's, or in a test build the one installed below.
const IPcsc& Pcsc();

#ifdef QCRYPTO_TEST_HOOKS
// Installs a replacement table (null restores pcsclite's). Not thread-safe:
// call it before the SDK is used.
void SetPcscForTest(const IPcsc* table);
#endif

}  // namespace vxsdk
