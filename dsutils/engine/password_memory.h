// The key password that a UI object's prompt remembers: the key name it was
// typed for, the password and the time of its entry. One per EngineUi, so an
// object's password serves only its own operations.
//
// The rule, in every mode: the password is handed out only for the same key
// name (byte for byte, as the toolkit names the key) while the whole minutes
// since its entry are not above Min (Property\Email); a wiper thread wipes
// both texts (Min + 1) x 60 s after the entry, as do a failed key load and
// the end of the object. Reuse never renews the entry time.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

#include "crypto/cclib/secret.h"

namespace dsutils {

inline constexpr std::size_t kPasswordBytes = 260;
using PasswordBuffer = qcrypto::SecretBuffer<kPasswordBytes>;

// Seconds for the entry time, and how long the wiper sleeps before it looks
// again. Tests put a clock they move by hand in its place.
class PasswordClock {
 public:
  virtual ~PasswordClock() = default;
  virtual std::int64_t now() const = 0;
  // Real time to wait before looking at the clock again when `deadline`
  // (the clock's seconds) has not come yet.
  virtual std::chrono::milliseconds until(std::int64_t deadline) const = 0;
};

// A monotonic clock: setting the system time neither extends nor shortens
// the life of a password.
class SteadyPasswordClock : public PasswordClock {
 public:
  std::int64_t now() const override;
  std::chrono::milliseconds until(std::int64_t deadline) const override;
};

// Moved by hand; the wiper looks at it every few milliseconds.
class ManualPasswordClock : public PasswordClock {
 public:
  explicit ManualPasswordClock(std::int64_t start = 1'000'000) : now_(start) {}
  std::int64_t now() const override { return now_.load(); }
  std::chrono::milliseconds until(std::int64_t) const override { return std::chrono::milliseconds(2); }
  void set(std::int64_t seconds) { now_.store(seconds); }
  void advance(std::int64_t seconds) { now_.fetch_add(seconds); }

 private:
  std::atomic<std::int64_t> now_;
};

class PasswordMemory {
 public:
  PasswordMemory();
  ~PasswordMemory();
  PasswordMemory(const PasswordMemory&) = delete;
  PasswordMemory& operator=(const PasswordMemory&) = delete;

  // Before anything is remembered (tests).
  void setClock(std::shared_ptr<PasswordClock> clock);

  // Keeps `password` (`length` bytes) for the key `name` (the toolkit's
  // bytes) with the entry time now, and arms the wiper for (minutes + 1) x
  // 60 s from now. A name or password that does not fit the texts is not
  // kept, and whatever was kept before is wiped: a shortened name could
  // name another key.
  void remember(std::string_view name, const unsigned char* password, int length, std::uint32_t minutes);
  // The password into `out` (wiped first): its length, or 0 when nothing is
  // kept for `name`. When the whole minutes since the entry are above
  // `minutes`, both texts are wiped first. Another name neither takes nor
  // clears the password.
  int recall(std::string_view name, std::uint32_t minutes, PasswordBuffer& out);
  // Wipes both texts and disarms the wiper.
  void wipe();
  bool empty() const;
  // Times the wiper has wiped (tests).
  int wiperWipes() const;

 private:
  void wipeLocked();
  void wiperLoop();

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::shared_ptr<PasswordClock> clock_;
  PasswordBuffer name_;
  PasswordBuffer password_;
  std::size_t nameLength_ = 0;
  int passwordLength_ = 0;
  std::int64_t entry_ = 0;
  std::int64_t deadline_ = 0;
  bool armed_ = false;
  bool stopping_ = false;
  int wiperWipes_ = 0;
  std::thread wiper_;
};

}  // namespace dsutils
