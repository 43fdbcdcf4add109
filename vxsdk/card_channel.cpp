#include "vxsdk/card_channel.h"

#include "vxsdk/ca_exception.h"

namespace vxsdk {

CCardChannel::CCardChannel(std::string reader, uint32_t shareMode) : share_(shareMode), reader_(std::move(reader)) {}

std::shared_ptr<CCardChannel> CCardChannel::Open(const std::string& reader, uint32_t shareMode) {
  std::shared_ptr<CCardChannel> ch(new CCardChannel(reader, shareMode));
  int32_t rv = Pcsc().establish(kPcscScopeUser, &ch->ctx_);
  if (rv != 0) {
    VX_THROW(rv);
  }
  rv = Pcsc().connect(ch->ctx_, ch->reader_.c_str(), shareMode, kPcscProtocolT0 | kPcscProtocolT1, &ch->card_,
                      &ch->protocol_);
  if (rv == kScardEProtoMismatch) {
    rv = Pcsc().connect(ch->ctx_, ch->reader_.c_str(), shareMode, kPcscProtocolRaw, &ch->card_, &ch->protocol_);
  }
  if (rv != 0) {
    VX_THROW(rv);  // the destructor releases the context
  }
  ch->connected_ = true;
  return ch;
}

CCardChannel::~CCardChannel() {
  if (connected_) {
    Pcsc().disconnect(card_, kPcscLeaveCard);
  }
  if (ctx_ != 0) {
    Pcsc().release(ctx_);
  }
}

void CCardChannel::Lock() {
  if (OwnedByMe()) {
    ++ownerDepth_;
    return;
  }
  lock_.lock();
  owner_.store(std::this_thread::get_id());
  ownerDepth_ = 1;
}

void CCardChannel::Unlock() {
  if (--ownerDepth_ == 0) {
    owner_.store(std::thread::id());
    lock_.unlock();
  }
}

int32_t CCardChannel::Transmit(const uint8_t* cmd, uint32_t cmdLen, uint8_t* resp, uint32_t* respLen) {
  if (OwnedByMe()) {
    return Pcsc().transmit(card_, protocol_, cmd, cmdLen, resp, respLen);
  }
  ChannelLock hold(*this);
  return Pcsc().transmit(card_, protocol_, cmd, cmdLen, resp, respLen);
}

int32_t CCardChannel::BeginTransaction() {
  std::lock_guard<std::mutex> g(txMutex_);
  if (depth_.load() == 0) {
    const int32_t rv = Pcsc().begin(card_);
    if (rv != 0) {
      return rv;
    }
  }
  depth_.fetch_add(1);
  return 0;
}

int32_t CCardChannel::EndTransaction(uint32_t disposition) {
  std::lock_guard<std::mutex> g(txMutex_);
  // An end without its begin must not end another caller's transaction.
  if (depth_.load() == 0) {
    return 0;
  }
  if (depth_.fetch_sub(1) == 1) {
    return Pcsc().end(card_, disposition);
  }
  return 0;
}

}  // namespace vxsdk
