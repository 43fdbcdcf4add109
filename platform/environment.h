// The process environment and the C library's error texts, read in a way
// that is safe while other threads run.
//
// getenv hands out a pointer into the environment block, which any
// setenv/putenv may move or free; strerror may return a shared buffer. The
// product reads the environment only through env(), which copies the value
// out under one process-wide lock, and it never calls setenv/putenv once
// threads run: the environment is fixed at start-up (tests set their
// variables before they start any thread).
#pragma once

#include <optional>
#include <string>

namespace platform {

// The value of an environment variable, or nothing when it is not set (an
// empty value is set: callers that ignore empty values say so).
std::optional<std::string> env(const char* name);

// The C library's text for an errno value, from the thread-safe strerror_r.
std::string errno_text(int err);

}  // namespace platform
