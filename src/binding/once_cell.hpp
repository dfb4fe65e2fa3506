// once_cell.hpp: a process-wide interpreter object that is made once and kept.
//
// The maker runs with the interpreter lock held.  A thread that finds another
// thread making the value waits for it without holding the lock, so the maker
// can always finish.
#pragma once

#include <atomic>
#include <mutex>

#include "binding/error.hpp"

namespace tessaray::binding {

class OnceCell {
public:
    PyObject* get() const noexcept { return value_.load(std::memory_order_acquire); }

    // Returns the value (borrowed), making it with `make` when the cell is
    // empty.  `make` returns a new reference or a PyErr; a failure leaves the
    // cell empty so that a later call tries again.
    template <class Make>
    PyResult<PyObject*> get_or_try_init(Make&& make) {
        if (PyObject* v = get()) return v;
        std::unique_lock<std::recursive_mutex> lock(mutex_, std::try_to_lock);
        if (!lock.owns_lock()) {
            Py_BEGIN_ALLOW_THREADS lock.lock();
            Py_END_ALLOW_THREADS
        }
        if (PyObject* v = get()) return v;
        PyResult<PyObject*> made = make();
        if (!made) return made;
        // The maker may have run code that filled the cell already.
        if (PyObject* v = get()) {
            Py_DECREF(made.value());
            return v;
        }
        value_.store(made.value(), std::memory_order_release);
        return made.value();
    }

    // The same for a `make` that cannot fail: it returns a new reference, or
    // ends in a fault itself.
    template <class Make>
    PyObject* get_or_init(Make&& make) {
        return get_or_try_init([&]() -> PyResult<PyObject*> { return make(); }).value();
    }

private:
    std::atomic<PyObject*> value_{nullptr};
    std::recursive_mutex mutex_;
};

// The interned str of `text`, made once in `cell` (borrowed).
inline PyObject* interned(OnceCell& cell, const char* text) {
    return cell.get_or_init([text] { return checked(PyUnicode_InternFromString(text)); });
}

}  // namespace tessaray::binding
