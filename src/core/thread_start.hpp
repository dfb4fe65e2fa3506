// thread_start.hpp: starting an OS thread with a chosen stack size, and the text of a refused start.
#pragma once

#include <pthread.h>

#include <cstddef>

namespace tessaray::core {

// Starts entry(arg) on a new joinable thread whose stack holds at least
// `stack_bytes` (more where the thread library needs more for its own use).
// Returns 0, or the OS error number when the start is refused; no thread was
// started then.
int start_thread(pthread_t& thread, std::size_t stack_bytes, void* (*entry)(void*), void* arg) noexcept;

// Writes the description of a refused start with error number `code`,
// "failed to spawn thread: Os { code: ..., kind: ..., message: "..." }",
// into `out` (cut to `size` bytes with its terminator), allocating nothing.
void describe_start_error(int code, char* out, std::size_t size) noexcept;

}  // namespace tessaray::core
