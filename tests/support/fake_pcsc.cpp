#include "tests/support/fake_pcsc.h"

#include <cstring>

#include "vxsdk/ca_exception.h"
#include "vxsdk/pcsc.h"

namespace test_support {
namespace {

using vxsdk::PcscCard;
using vxsdk::PcscContext;
using vxsdk::PcscReaderState;

constexpr int32_t kUnknownReader = static_cast<int32_t>(0x80100009u);
constexpr int32_t kInvalidHandle = static_cast<int32_t>(0x80100003u);

struct Handle {
  size_t reader;
  uint32_t insertion;
  uint32_t protocol;
};
std::vector<Handle>& Handles() {
  static auto* h = new std::vector<Handle>();
  return *h;
}

FakePcsc& F() { return FakePcsc::Get(); }

std::vector<uint8_t> AtrOf(const FakeReader& r) { return r.card ? r.card->Atr() : r.atr; }
bool Present(const FakeReader& r) { return r.card != nullptr || static_cast<bool>(r.responder); }

int32_t Establish(uint32_t, PcscContext* ctx) {
  std::lock_guard<std::mutex> g(F().mutex);
  ++F().calls.establish;
  *ctx = 1;
  return F().establishResult;
}

int32_t List(PcscContext, char** readers, uint32_t* len) {
  std::lock_guard<std::mutex> g(F().mutex);
  ++F().calls.list;
  *readers = nullptr;
  *len = 0;
  if (F().listResultOverride != 0) {
    return F().listResultOverride;
  }
  std::string multi;
  if (F().raw) {
    multi = F().rawList;
  } else {
    if (F().readers.empty()) {
      return vxsdk::kScardENoReadersAvailable;
    }
    for (const auto& r : F().readers) {
      multi += r.name;
      multi.push_back('\0');
    }
    multi.push_back('\0');
  }
  char* p = new char[multi.size() + 1];
  std::memcpy(p, multi.data(), multi.size());
  p[multi.size()] = '\0';
  *readers = p;
  *len = static_cast<uint32_t>(multi.size());
  return 0;
}

int32_t StatusChange(PcscContext, uint32_t, PcscReaderState* states, uint32_t count) {
  std::lock_guard<std::mutex> g(F().mutex);
  ++F().calls.statusChange;
  for (uint32_t i = 0; i < count; ++i) {
    bool found = false;
    for (const auto& r : F().readers) {
      if (r.name == states[i].reader) {
        found = true;
        states[i].eventState = 0x10;  // changed
        states[i].atrLen = 0;
        if (Present(r)) {
          const auto atr = AtrOf(r);
          states[i].eventState |= vxsdk::kPcscStatePresent;
          states[i].atrLen = static_cast<uint32_t>(std::min<size_t>(atr.size(), vxsdk::kPcscMaxAtr));
          std::memcpy(states[i].atr, atr.data(), states[i].atrLen);
        } else {
          states[i].eventState |= 0x10 | 0x02;  // empty
        }
      }
    }
    if (!found) {
      return kUnknownReader;
    }
  }
  return 0;
}

int32_t Connect(PcscContext, const char* reader, uint32_t, uint32_t protocols, PcscCard* card, uint32_t* active) {
  std::lock_guard<std::mutex> g(F().mutex);
  ++F().calls.connect;
  F().connectProtocols.push_back(protocols);
  for (size_t i = 0; i < F().readers.size(); ++i) {
    const FakeReader& r = F().readers[i];
    if (r.name != reader) {
      continue;
    }
    if (!Present(r)) {
      return vxsdk::kScardENoSmartcard;
    }
    const bool k1 = AtrOf(r) == PersonaAtr(Persona::K1);
    uint32_t proto = 0;
    if (k1) {
      if ((protocols & vxsdk::kPcscProtocolRaw) == 0) {
        return vxsdk::kScardEProtoMismatch;
      }
      proto = vxsdk::kPcscProtocolRaw;
    } else if ((protocols & vxsdk::kPcscProtocolT1) != 0) {
      proto = vxsdk::kPcscProtocolT1;
    } else if ((protocols & vxsdk::kPcscProtocolT0) != 0) {
      proto = vxsdk::kPcscProtocolT0;
    } else {
      return vxsdk::kScardEProtoMismatch;
    }
    Handles().push_back({i, r.insertion, proto});
    *card = Handles().size();
    *active = proto;
    return 0;
  }
  return kUnknownReader;
}

int32_t Reconnect(PcscCard, uint32_t, uint32_t, uint32_t, uint32_t*) {
  std::lock_guard<std::mutex> g(F().mutex);
  ++F().calls.reconnect;
  return static_cast<int32_t>(0x80100001u);
}

const Handle* Find(PcscCard card) {
  if (card == 0 || card > Handles().size()) {
    return nullptr;
  }
  return &Handles()[card - 1];
}

int32_t Begin(PcscCard card) {
  std::lock_guard<std::mutex> g(F().mutex);
  ++F().calls.begin;
  if (Find(card) == nullptr) {
    return kInvalidHandle;
  }
  return F().beginResult;
}

int32_t End(PcscCard card, uint32_t) {
  std::lock_guard<std::mutex> g(F().mutex);
  ++F().calls.end;
  return Find(card) == nullptr ? kInvalidHandle : 0;
}

int32_t Transmit(PcscCard card, uint32_t, const uint8_t* cmd, uint32_t cmdLen, uint8_t* resp, uint32_t* respLen) {
  std::lock_guard<std::mutex> g(F().mutex);
  ++F().calls.transmit;
  const Handle* h = Find(card);
  if (h == nullptr) {
    return kInvalidHandle;
  }
  FakeReader& r = F().readers[h->reader];
  if (r.insertion != h->insertion || !Present(r)) {
    return vxsdk::kScardWRemovedCard;
  }
  TraceEntry e;
  e.cmd.assign(cmd, cmd + cmdLen);
  bool keep = true;
  if (r.responder) {
    keep = r.responder(e.cmd, &e.resp);
  } else {
    keep = r.card->Process(cmd, cmdLen, &e.resp) == CardCore::Outcome::Answer;
  }
  if (!keep) {
    r.card.reset();
    r.responder = nullptr;
    ++r.insertion;
    F().trace.push_back(std::move(e));
    return vxsdk::kScardWRemovedCard;
  }
  if (F().recordTrace) {
    F().trace.push_back(e);
  }
  if (e.resp.size() > *respLen) {
    return vxsdk::kScardEInsufficientBuffer;
  }
  if (!e.resp.empty()) {
    std::memcpy(resp, e.resp.data(), e.resp.size());
  }
  *respLen = static_cast<uint32_t>(e.resp.size());
  return 0;
}

int32_t Disconnect(PcscCard card, uint32_t) {
  std::lock_guard<std::mutex> g(F().mutex);
  ++F().calls.disconnect;
  return Find(card) == nullptr ? kInvalidHandle : 0;
}

int32_t Release(PcscContext) {
  std::lock_guard<std::mutex> g(F().mutex);
  ++F().calls.release;
  return 0;
}

int32_t Free(PcscContext, void* mem) {
  std::lock_guard<std::mutex> g(F().mutex);
  ++F().calls.free;
  delete[] static_cast<char*>(mem);
  return 0;
}

constexpr vxsdk::IPcsc kFake = {Establish, List,     StatusChange, Connect, Reconnect, Begin,
                                End,       Transmit, Disconnect,   Release, Free};

}  // namespace

FakePcsc& FakePcsc::Get() {
  static auto* f = new FakePcsc();
  return *f;
}

void FakePcsc::Install() {
  Clear();
  vxsdk::SetPcscForTest(&kFake);
}

void FakePcsc::Uninstall() { vxsdk::SetPcscForTest(nullptr); }

void FakePcsc::Clear() {
  std::lock_guard<std::mutex> g(mutex);
  readers.clear();
  calls = {};
  trace.clear();
  recordTrace = true;
  connectProtocols.clear();
  establishResult = 0;
  beginResult = 0;
  listResultOverride = 0;
  raw = false;
  rawList.clear();
  Handles().clear();
}

FakeReader& FakePcsc::AddReader(const std::string& name, std::shared_ptr<CardCore> card) {
  std::lock_guard<std::mutex> g(mutex);
  readers.push_back({name, std::move(card), nullptr, {}, 1});
  return readers.back();
}

void FakePcsc::Pull(size_t reader) {
  std::lock_guard<std::mutex> g(mutex);
  readers[reader].card.reset();
  readers[reader].responder = nullptr;
  ++readers[reader].insertion;
}

void FakePcsc::Insert(size_t reader, std::shared_ptr<CardCore> card) {
  std::lock_guard<std::mutex> g(mutex);
  readers[reader].card = std::move(card);
  ++readers[reader].insertion;
}

}  // namespace test_support
