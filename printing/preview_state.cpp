#include "printing/preview_state.h"

#include <algorithm>

namespace vtpagina {

void PreviewState::set_page_count(int pages) {
  pages_ = std::max(0, pages);
  if (pages_ < 2) two_pages_ = false;
  current_ = std::clamp(current_, 1, std::max(1, pages_));
}

bool PreviewState::can_next() const { return current_ + step() <= pages_; }

QString PreviewState::pages_caption() const {
  return two_pages_ ? QStringLiteral("&Один лист") : QStringLiteral("&Два листа");
}

void PreviewState::next() {
  if (can_next()) current_ += step();
}

void PreviewState::previous() { current_ = std::max(1, current_ - step()); }

void PreviewState::zoom_in() {
  if (can_zoom_in()) ++zoom_;
}

void PreviewState::zoom_out() {
  if (can_zoom_out()) --zoom_;
}

void PreviewState::toggle_pages() {
  if (!can_toggle_pages()) return;
  two_pages_ = !two_pages_;
  if (two_pages_ && current_ + 1 > pages_) current_ = std::max(1, pages_ - 1);
}

void PreviewState::go_to(int page) { current_ = std::clamp(page, 1, std::max(1, pages_)); }

}  // namespace vtpagina
