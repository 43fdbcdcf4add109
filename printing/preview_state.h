// The state of the preview's toolbar, apart from any widget: which page is
// shown, the zoom step and one or two pages side by side, and from them the
// caption and enabled state of each button.
#pragma once

#include <QString>

namespace vtpagina {

class PreviewState {
 public:
  static constexpr int kMaxZoom = 2;

  void set_page_count(int pages);
  int page_count() const { return pages_; }
  int current_page() const { return current_; }  // 1-based
  int zoom() const { return zoom_; }             // 0: whole page(s)
  bool two_pages() const { return two_pages_; }

  bool can_next() const;
  bool can_previous() const { return current_ > 1; }
  bool can_zoom_in() const { return zoom_ < kMaxZoom; }
  bool can_zoom_out() const { return zoom_ > 0; }
  // Offered only when not zoomed in and the document has two pages or more.
  bool can_toggle_pages() const { return zoom_ == 0 && pages_ >= 2; }
  // "&Два листа" while one page is shown (zoomed in, the whole-page setting
  // counts), else "&Один лист".
  QString pages_caption() const;

  void next();
  void previous();
  void zoom_in();
  void zoom_out();
  void toggle_pages();
  void go_to(int page);

  // One page on screen while zoomed in, whatever the whole-page setting.
  bool shows_two_pages() const { return two_pages_ && zoom_ == 0; }

 private:
  int step() const { return shows_two_pages() ? 2 : 1; }
  int pages_ = 0;
  int current_ = 1;
  int zoom_ = 0;
  bool two_pages_ = false;
};

}  // namespace vtpagina
