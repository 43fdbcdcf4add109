// One PC/SC connection to a card: shared access, nested transactions and a
// channel lock that its owner thread may take again.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "vxsdk/pcsc.h"

namespace vxsdk {

class CCardChannel {
 public:
  // Connects with T=0 or T=1; a card whose ATR offers neither (the older
  // token announces only T=15) is connected raw. Throws the PC/SC code.
  static std::shared_ptr<CCardChannel> Open(const std::string& reader, uint32_t shareMode);

  virtual ~CCardChannel();
  CCardChannel(const CCardChannel&) = delete;
  CCardChannel& operator=(const CCardChannel&) = delete;

  // Sends one command; *respLen is the buffer size in and the answer size out.
  virtual int32_t Transmit(const uint8_t* cmd, uint32_t cmdLen, uint8_t* resp, uint32_t* respLen);
  // Only the outermost begin and end reach PC/SC.
  virtual int32_t BeginTransaction();
  virtual int32_t EndTransaction(uint32_t disposition);

  void Lock();
  void Unlock();

  uint32_t ActiveProtocol() const { return protocol_; }
  const std::string& Reader() const { return reader_; }
  int32_t TransactionDepth() const { return depth_.load(); }

 private:
  CCardChannel(std::string reader, uint32_t shareMode);
  bool OwnedByMe() const { return owner_.load() == std::this_thread::get_id(); }

  PcscContext ctx_ = 0;
  PcscCard card_ = 0;
  bool connected_ = false;
  uint32_t share_;
  uint32_t protocol_ = 0;
  std::string reader_;
  std::mutex txMutex_;
  std::atomic<int32_t> depth_{0};
  std::mutex lock_;
  std::atomic<std::thread::id> owner_{};
  int32_t ownerDepth_ = 0;
};

// Holds the channel lock for one card operation.
class ChannelLock {
 public:
  explicit ChannelLock(CCardChannel& ch) : ch_(ch) { ch_.Lock(); }
  ~ChannelLock() { ch_.Unlock(); }
  ChannelLock(const ChannelLock&) = delete;
  ChannelLock& operator=(const ChannelLock&) = delete;

 private:
  CCardChannel& ch_;
};

}  // namespace vxsdk
