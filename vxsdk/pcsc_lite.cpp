#include <PCSC/winscard.h>

#include <climits>
#include <cstring>

#include "vxsdk/pcsc.h"

namespace vxsdk {
namespace {

static_assert(SCARD_SCOPE_USER == kPcscScopeUser);
static_assert(SCARD_SHARE_SHARED == kPcscShareShared);
static_assert(SCARD_PROTOCOL_T0 == kPcscProtocolT0 && SCARD_PROTOCOL_T1 == kPcscProtocolT1 &&
              SCARD_PROTOCOL_RAW == kPcscProtocolRaw);
static_assert(SCARD_LEAVE_CARD == kPcscLeaveCard && SCARD_STATE_PRESENT == kPcscStatePresent);
static_assert(MAX_ATR_SIZE == kPcscMaxAtr);

// pcsclite's codes are 32-bit values in a 64-bit LONG; the SDK's are int32.
int32_t Code(LONG rv) { return static_cast<int32_t>(static_cast<uint32_t>(rv)); }

int32_t Establish(uint32_t scope, PcscContext* ctx) {
  SCARDCONTEXT c = 0;
  const LONG rv = SCardEstablishContext(scope, nullptr, nullptr, &c);
  *ctx = static_cast<PcscContext>(c);
  return Code(rv);
}

int32_t List(PcscContext ctx, char** readers, uint32_t* len) {
  LPSTR p = nullptr;
  DWORD n = SCARD_AUTOALLOCATE;
  const LONG rv = SCardListReaders(static_cast<SCARDCONTEXT>(ctx), nullptr, reinterpret_cast<LPSTR>(&p), &n);
  *readers = rv == SCARD_S_SUCCESS ? p : nullptr;
  *len = rv == SCARD_S_SUCCESS && n <= UINT32_MAX ? static_cast<uint32_t>(n) : 0;
  return Code(rv);
}

int32_t StatusChange(PcscContext ctx, uint32_t timeoutMs, PcscReaderState* states, uint32_t count) {
  if (count > 16) {
    return Code(SCARD_E_INVALID_PARAMETER);
  }
  SCARD_READERSTATE rs[16] = {};
  for (uint32_t i = 0; i < count; ++i) {
    rs[i].szReader = states[i].reader;
    rs[i].dwCurrentState = states[i].currentState;
  }
  const LONG rv = SCardGetStatusChange(static_cast<SCARDCONTEXT>(ctx), timeoutMs, rs, count);
  for (uint32_t i = 0; i < count; ++i) {
    states[i].eventState = static_cast<uint32_t>(rs[i].dwEventState);
    const DWORD n = rs[i].cbAtr <= MAX_ATR_SIZE ? rs[i].cbAtr : MAX_ATR_SIZE;
    states[i].atrLen = static_cast<uint32_t>(n);
    std::memcpy(states[i].atr, rs[i].rgbAtr, n);
  }
  return Code(rv);
}

int32_t Connect(PcscContext ctx, const char* reader, uint32_t share, uint32_t protocols, PcscCard* card,
                uint32_t* active) {
  SCARDHANDLE h = 0;
  DWORD proto = 0;
  const LONG rv = SCardConnect(static_cast<SCARDCONTEXT>(ctx), reader, share, protocols, &h, &proto);
  *card = static_cast<PcscCard>(h);
  *active = static_cast<uint32_t>(proto);
  return Code(rv);
}

int32_t Reconnect(PcscCard card, uint32_t share, uint32_t protocols, uint32_t init, uint32_t* active) {
  DWORD proto = 0;
  const LONG rv = SCardReconnect(static_cast<SCARDHANDLE>(card), share, protocols, init, &proto);
  *active = static_cast<uint32_t>(proto);
  return Code(rv);
}

int32_t Begin(PcscCard card) { return Code(SCardBeginTransaction(static_cast<SCARDHANDLE>(card))); }

int32_t End(PcscCard card, uint32_t disposition) {
  return Code(SCardEndTransaction(static_cast<SCARDHANDLE>(card), disposition));
}

int32_t Transmit(PcscCard card, uint32_t protocol, const uint8_t* cmd, uint32_t cmdLen, uint8_t* resp,
                 uint32_t* respLen) {
  const SCARD_IO_REQUEST* pci = protocol == SCARD_PROTOCOL_T1   ? SCARD_PCI_T1
                                : protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0
                                                                : SCARD_PCI_RAW;
  DWORD n = *respLen;
  const LONG rv = SCardTransmit(static_cast<SCARDHANDLE>(card), pci, cmd, cmdLen, nullptr, resp, &n);
  *respLen = rv == SCARD_S_SUCCESS && n <= *respLen ? static_cast<uint32_t>(n) : 0;
  return Code(rv);
}

int32_t Disconnect(PcscCard card, uint32_t disposition) {
  return Code(SCardDisconnect(static_cast<SCARDHANDLE>(card), disposition));
}

int32_t Release(PcscContext ctx) { return Code(SCardReleaseContext(static_cast<SCARDCONTEXT>(ctx))); }

int32_t Free(PcscContext ctx, void* mem) { return Code(SCardFreeMemory(static_cast<SCARDCONTEXT>(ctx), mem)); }

constexpr IPcsc kPcscLite = {Establish, List,     StatusChange, Connect, Reconnect, Begin,
                             End,       Transmit, Disconnect,   Release, Free};

#ifdef QCRYPTO_TEST_HOOKS
const IPcsc* g_table = &kPcscLite;
#endif

}  // namespace

#ifdef QCRYPTO_TEST_HOOKS
const IPcsc& Pcsc() { return *g_table; }
void SetPcscForTest(const IPcsc* table) { g_table = table != nullptr ? table : &kPcscLite; }
#else
const IPcsc& Pcsc() { return kPcscLite; }
#endif

}  // namespace vxsdk
