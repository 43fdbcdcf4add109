#include "dsutils/engine/password_memory.h"

#include <cstring>

namespace dsutils {

std::int64_t SteadyPasswordClock::now() const {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::chrono::milliseconds SteadyPasswordClock::until(std::int64_t deadline) const {
  const std::int64_t left = deadline - now();
  // At least a moment, so a deadline in the past is looked at again at once
  // without spinning.
  return left <= 0 ? std::chrono::milliseconds(1) : std::chrono::milliseconds(left * 1000);
}

PasswordMemory::PasswordMemory() : clock_(std::make_shared<SteadyPasswordClock>()) {}

PasswordMemory::~PasswordMemory() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    wipeLocked();
  }
  wake_.notify_all();
  if (wiper_.joinable()) wiper_.join();
}

void PasswordMemory::setClock(std::shared_ptr<PasswordClock> clock) {
  std::lock_guard lock(mutex_);
  if (clock) clock_ = std::move(clock);
}

void PasswordMemory::wipeLocked() {
  name_.wipe();
  password_.wipe();
  nameLength_ = 0;
  passwordLength_ = 0;
  armed_ = false;
}

void PasswordMemory::remember(std::string_view name, const unsigned char* password, int length, std::uint32_t minutes) {
  {
    std::lock_guard lock(mutex_);
    wipeLocked();
    if (name.size() >= name_.size() || length < 0 || static_cast<std::size_t>(length) >= password_.size() ||
        (length > 0 && password == nullptr))
      return;
    std::memcpy(name_.data(), name.data(), name.size());
    nameLength_ = name.size();
    if (length > 0) std::memcpy(password_.data(), password, static_cast<std::size_t>(length));
    passwordLength_ = length;
    entry_ = clock_->now();
    deadline_ = entry_ + (static_cast<std::int64_t>(minutes) + 1) * 60;
    armed_ = true;
    if (!wiper_.joinable()) wiper_ = std::thread([this] { wiperLoop(); });
  }
  wake_.notify_all();
}

int PasswordMemory::recall(std::string_view name, std::uint32_t minutes, PasswordBuffer& out) {
  out.wipe();
  std::lock_guard lock(mutex_);
  if (passwordLength_ <= 0) return 0;
  const std::int64_t elapsed = clock_->now() - entry_;
  // Whole minutes, truncated; a clock that went back counts as no time.
  if (elapsed > 0 && elapsed / 60 > static_cast<std::int64_t>(minutes)) {
    wipeLocked();
    return 0;
  }
  if (name.empty() || name.size() != nameLength_ || std::memcmp(name.data(), name_.data(), nameLength_) != 0) return 0;
  std::memcpy(out.data(), password_.data(), static_cast<std::size_t>(passwordLength_));
  return passwordLength_;
}

void PasswordMemory::wipe() {
  std::lock_guard lock(mutex_);
  wipeLocked();
}

bool PasswordMemory::empty() const {
  std::lock_guard lock(mutex_);
  return passwordLength_ == 0 && nameLength_ == 0;
}

int PasswordMemory::wiperWipes() const {
  std::lock_guard lock(mutex_);
  return wiperWipes_;
}

void PasswordMemory::wiperLoop() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    if (!armed_) {
      wake_.wait(lock, [this] { return stopping_ || armed_; });
      continue;
    }
    if (clock_->now() >= deadline_) {
      wipeLocked();
      ++wiperWipes_;
      continue;
    }
    // A new entry or the end wakes it early; otherwise it looks again.
    wake_.wait_for(lock, clock_->until(deadline_));
  }
}

}  // namespace dsutils
