// error.hpp: PyErr, the error value that operations return instead of raising.
//
// A PyErr is lazy (an exception class and its message, or the parts of a
// receiver error; nothing exists in the interpreter yet) or normalized (one
// live exception instance).  Only the call boundary raises it, with restore().
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "binding/ref.hpp"
#include "core/expected.hpp"

namespace tessaray::binding {

class PyErr {
public:
    // A lazy error of a fixed class (ValueError, TypeError, ...) with its message.
    static PyErr lazy(PyObject* exception_class, std::string message);
    static PyErr value_error(std::string message) { return lazy(PyExc_ValueError, std::move(message)); }
    static PyErr type_error(std::string message) { return lazy(PyExc_TypeError, std::move(message)); }
    // The internal-fault error: a PanicException carrying the fault's message.
    static PyErr panic(std::string message);
    // "'{}' object is not an instance of '{}'", formatted when raised.
    static PyErr receiver(PyObject* object, PyObject* expected_class);
    // A MemoryError for an allocation of the module's own that failed; with
    // the size of the request, "memory allocation of {} bytes failed".
    static PyErr no_memory();
    static PyErr no_memory(std::size_t bytes);
    // An exception instance taken from the interpreter (owned).
    static PyErr normalized(Ref instance);

    PyErr(PyErr&&) noexcept = default;
    PyErr& operator=(PyErr&&) noexcept = default;

    bool is_normalized() const noexcept { return kind_ == Kind::Normalized; }
    // The instance of a normalized error (borrowed).
    PyObject* instance() const noexcept { return object_.get(); }

private:
    enum class Kind { Lazy, Panic, Receiver, NoMemory, Normalized };
    PyErr(Kind kind, PyObject* cls, std::string message, Ref object, Ref expected) noexcept
            : kind_(kind),
              class_(cls),
              message_(std::move(message)),
              object_(std::move(object)),
              expected_(std::move(expected)) {}

    friend void restore(PyErr&& err);

    Kind kind_;
    PyObject* class_ = nullptr;  // static exception class of a lazy error
    std::string message_;
    Ref object_;             // the offending object of a receiver error, or the instance
    Ref expected_;           // the expected class of a receiver error
    std::size_t bytes_ = 0;  // the failed request of a NoMemory error; 0 when not known
};

template <class T>
using PyResult = Expected<T, PyErr>;

// Raises the error into the interpreter, consuming it.  A failure to do so is
// a fault that the call boundary cannot handle.
void restore(PyErr&& err);

// Removes the interpreter's current exception and returns it, or nothing.  A
// PanicException (exactly that class) is not returned: it is reported and
// resumed as an internal fault.
std::optional<PyErr> take();

// take(), or the SystemError "attempted to fetch exception but none was set".
PyErr fetch();

// Gives the error its exception instance, once; returns it (borrowed).
PyObject* make_normalized(PyErr& err);

// What a null object from an interpreter call that must make one turns into:
// the pending exception goes to the unraisable hook, then a fault.
[[noreturn]] void panic_on_null();

// `p`, or panic_on_null() when it is null.
inline PyObject* checked(PyObject* p) {
    if (p == nullptr) panic_on_null();
    return p;
}

// The PanicException class, created on first need (borrowed; lives forever).
PyObject* panic_exception_class();

// For a module built beside tessaray: its PanicException is tessaray's (the
// one such class that exists when it first needs it), and it creates that
// class itself only if there is none.
void share_panic_class() noexcept;

// str(obj) as text, or "<unprintable>" when str() fails (its error is dropped).
std::string display_text(PyObject* obj);

// Text of a str without failing: lone surrogates are passed through the
// "surrogatepass" handler and every invalid sequence becomes U+FFFD.
std::string lossy_utf8(PyObject* str);

}  // namespace tessaray::binding
