// batch_caller.hpp: the calling thread's part while a batch runs unlocked: interrupts and progress calls.
#pragma once

#include <cstdint>
#include <optional>

#include "binding/error.hpp"
#include "binding/unlocked.hpp"

namespace tessaray::binding {

// The context of the core's watch over a batch: each poll takes the lock back, checks
// for an interrupt (Ctrl-C) and calls `progress(done, total)`; the first
// error stops the batch and is kept in `error`.
struct BatchCaller {
    Unlocked* unlocked;  // the guard the batch runs under
    PyObject* progress;  // a callable, or null
    std::optional<PyErr> error;

    static bool poll(void* context, std::uint64_t done, std::uint64_t total);
};

}  // namespace tessaray::binding
