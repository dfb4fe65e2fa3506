// unlocked.hpp: the interpreter lock let go for the long part of a call, and taken back for a moment within it.
//
// What the call works on meanwhile is kept as it is by the store's borrow and
// by the references the call holds, not by the lock.
#pragma once

#include "binding/python.hpp"

namespace tessaray::binding {

// Releases the lock for the life of the guard.
class Unlocked {
public:
    Unlocked() noexcept : state_(PyEval_SaveThread()) {}
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;
    ~Unlocked() {
        if (state_ != nullptr) PyEval_RestoreThread(state_);
    }
    // Takes the lock back for the life of the returned guard.
    class Relocked {
    public:
        explicit Relocked(Unlocked& u) noexcept : u_(u) { PyEval_RestoreThread(u_.state_); }
        Relocked(const Relocked&) = delete;
        Relocked& operator=(const Relocked&) = delete;
        ~Relocked() { u_.state_ = PyEval_SaveThread(); }

    private:
        Unlocked& u_;
    };

private:
    PyThreadState* state_;
};

}  // namespace tessaray::binding
