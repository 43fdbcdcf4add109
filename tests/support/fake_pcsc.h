// An in-process PC/SC for the token SDK's tests: readers holding card cores
// (or a responder function), every call counted, every APDU recorded. It
// refuses T=0|T=1 for the older token's ATR with 0x8010000F, as pcscd does.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/card_core.h"

namespace test_support {

struct FakeCalls {
  int establish = 0, list = 0, statusChange = 0, connect = 0, reconnect = 0, begin = 0, end = 0, transmit = 0,
      disconnect = 0, release = 0, free = 0;
};

struct TraceEntry {
  std::vector<uint8_t> cmd;
  std::vector<uint8_t> resp;
};

// Answers one command instead of a card core; false drops the card.
using Responder = std::function<bool(const std::vector<uint8_t>& cmd, std::vector<uint8_t>* resp)>;

struct FakeReader {
  std::string name;
  std::shared_ptr<CardCore> card;  // null: an empty reader (unless a responder is set)
  Responder responder;
  std::vector<uint8_t> atr;  // used with a responder
  uint32_t insertion = 1;    // changes when the card is pulled or swapped
};

class FakePcsc {
 public:
  // The one fake, never destroyed (the SDK's statics may call it at exit).
  static FakePcsc& Get();
  // Puts the fake in the SDK's place and clears it; Uninstall restores pcsclite.
  void Install();
  void Uninstall();
  void Clear();

  FakeReader& AddReader(const std::string& name, std::shared_ptr<CardCore> card);
  void Pull(size_t reader);
  void Insert(size_t reader, std::shared_ptr<CardCore> card);

  std::mutex mutex;
  std::vector<FakeReader> readers;
  FakeCalls calls;
  std::vector<TraceEntry> trace;
  bool recordTrace = true;                 // off for benchmarks
  std::vector<uint32_t> connectProtocols;  // the protocols asked for, per connect
  int32_t establishResult = 0;
  int32_t beginResult = 0;
  int32_t listResultOverride = 0;  // non-zero: list answers this
  bool raw = false;                // list answers rawList as it is
  std::string rawList;

 private:
  FakePcsc() = default;
};

}  // namespace test_support
