// What the key-medium prompt says after a failed Touch-Memory driver call:
// one row per status code, with its text and whether the person may retry.
// A code outside the table shows nothing and gives up.
#pragma once

#include <span>

namespace dsutils {

struct TouchMemoryMessage {
  int code;
  const char* text;  // UTF-8
  bool retry;        // Retry/Cancel with the question icon; else OK with the stop icon
};

std::span<const TouchMemoryMessage> touch_memory_messages();
// The row of `code`, null when there is none.
const TouchMemoryMessage* find_touch_memory_message(int code);

}  // namespace dsutils
