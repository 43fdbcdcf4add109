// A session that records every erase it is asked for and does it on the file
// system, standing in for the toolkit session.
#pragma once

#include <QStringList>
#include <mutex>

#include "dsutils/engine/session_seam.h"

namespace dsutils::testing {

class RecordingSession : public ICryptoSession {
 public:
  RecordingSession() { set_crypto_session(this); }
  ~RecordingSession() override { set_crypto_session(nullptr); }
  RecordingSession(const RecordingSession&) = delete;
  RecordingSession& operator=(const RecordingSession&) = delete;

  void EraseFile(const QString& path) override {
    {
      const std::lock_guard<std::mutex> g(m_);
      erased_.append(path);
    }
    erase_file_system_file(path);
  }
  QStringList erased() const {
    const std::lock_guard<std::mutex> g(m_);
    return erased_;
  }

 private:
  mutable std::mutex m_;
  QStringList erased_;
};

}  // namespace dsutils::testing
