// trampoline.hpp: the call boundary around every entry point.
//
// An operation returns a value or a PyErr, or ends with an internal fault
// (a C++ exception).  The trampoline raises the PyErr, or the fault as
// PanicException (memory exhaustion as MemoryError), and returns the entry
// point's failure value.  Nothing unwinds into the interpreter: a fault while
// raising fires the trap, which reports it and aborts the process.
#pragma once

#include <exception>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>

#include "binding/error.hpp"
#include "core/fault.hpp"

namespace tessaray::binding {

// Reports "uncaught panic at ffi boundary" and aborts.
[[noreturn]] void fire_trap() noexcept;

// Turns whatever ended an operation abruptly into the error to raise.
PyErr error_from_current_exception();

template <class Op, class T = std::remove_cvref_t<decltype(std::declval<Op&>()().value())>>
T call_boundary(T failure, Op&& op) noexcept {
    try {
        std::optional<PyErr> err;
        try {
            auto result = op();
            if (result) return std::move(result).value();
            err.emplace(std::move(result).error());
        } catch (...) {
            err.emplace(error_from_current_exception());
        }
        restore(std::move(*err));
        return failure;
    } catch (...) {
        fire_trap();
    }
}

// The deallocation boundary: a failure goes to the unraisable hook.
template <class Op>
void dealloc_boundary(Op&& op) noexcept {
    try {
        try {
            op();
            return;
        } catch (...) {
            restore(error_from_current_exception());
        }
        PyErr_WriteUnraisable(nullptr);
    } catch (...) {
        fire_trap();
    }
}

}  // namespace tessaray::binding
