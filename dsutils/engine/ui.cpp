#include "dsutils/engine/ui.h"

namespace dsutils {

void OperationProgress::start() {
  if (shown_) return;
  shown_ = true;
  ui_.progressStarted(*this);
}

void OperationProgress::stop() {
  if (!shown_) return;
  shown_ = false;
  ui_.progressStopped(*this);
}

void OperationProgress::setFile(const QString& file) {
  file_ = file;
  if (shown_) ui_.progressFile(*this);
}

bool OperationProgress::step(int stage, std::uint64_t done, std::uint64_t total) {
  ui_.progressStep(*this, stage, done, total);
  return !cancelled();
}

}  // namespace dsutils
