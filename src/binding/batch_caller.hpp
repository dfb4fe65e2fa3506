// batch_caller.hpp: the calling thread's part while a batch runs unlocked: interrupts and progress calls.
#pragma once

#include <cstdint>
#include <optional>
#include <type_traits>

#include "binding/error.hpp"
#include "binding/unlocked.hpp"
#include "core/search_options.hpp"

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

// How often a batch polls for interrupts and progress.
inline constexpr unsigned kPollMilliseconds = 100;

// The argument `progress`: a callable, or None (or not given) as null.
PyResult<PyObject*> progress_arg(PyObject* obj);

// Runs work(watch) with the interpreter lock released, `watch` polling for
// interrupts and calling `progress`: its result, or the error (an
// interrupt, or what progress raised) that stopped it.  Without `progress`
// the work is not polled as it starts and ends (each poll takes the lock
// back, a good part of a small batch's time): an interrupt is looked for
// once the lock is back instead.
template <class Work>
auto run_watched(PyObject* progress, Work&& work) -> PyResult<std::invoke_result_t<Work&, const core::SearchWatch&>> {
    BatchCaller caller{nullptr, progress, std::nullopt};
    std::optional<std::invoke_result_t<Work&, const core::SearchWatch&>> result;
    {
        Unlocked unlocked;
        caller.unlocked = &unlocked;
        const core::SearchWatch watch{BatchCaller::poll, &caller, kPollMilliseconds, progress != nullptr};
        result.emplace(work(watch));
    }
    if (!caller.error && progress == nullptr && PyErr_CheckSignals() != 0) caller.error = fetch();
    if (caller.error) return unexpected(std::move(*caller.error));
    return std::move(*result);
}

}  // namespace tessaray::binding
