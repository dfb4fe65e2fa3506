// bind.hpp: binding call arguments to parameters, its messages, and the error of a failed argument.
#pragma once

#include <cstddef>
#include <utility>

#include "binding/error.hpp"

namespace tessaray::binding {

// The most parameters any callable of the modules has.
inline constexpr std::size_t kMaxParams = 8;

// One callable's parameters: the first `positional` may be given by position
// or keyword, the rest by keyword only.
struct ArgSpec {
    template <std::size_t N>
    consteval ArgSpec(const char* class_name_, const char* function_name_, const char* const (&params_)[N],
                      std::size_t required_, std::size_t positional_ = N)
            : class_name(class_name_),
              function_name(function_name_),
              params(params_),
              param_count(N),
              required(required_),
              positional(positional_) {
        static_assert(N <= kMaxParams, "BoundArgs has room for kMaxParams arguments");
    }

    const char* class_name;  // nullptr for a module function
    const char* function_name;
    const char* const* params;
    std::size_t param_count;
    std::size_t required;
    std::size_t positional;
};

// The arguments of one call, bound to the callable's parameters: a strong
// reference to the object given for each parameter, null for one not given.
// The references are held until the call is over, so that Python code run by
// a conversion cannot free an argument that only the caller's containers (a
// keyword dictionary, an argument array) kept alive.
class BoundArgs {
public:
    BoundArgs() noexcept = default;
    BoundArgs(BoundArgs&& o) noexcept {
        for (std::size_t i = 0; i < kMaxParams; ++i) slots_[i] = std::exchange(o.slots_[i], nullptr);
    }
    BoundArgs& operator=(BoundArgs&&) = delete;
    ~BoundArgs() {
        for (PyObject* p : slots_) Py_XDECREF(p);
    }

    // The argument of parameter `i` (borrowed from this record), or null.
    PyObject* operator[](std::size_t i) const noexcept { return slots_[i]; }
    // Binds `value` (borrowed from the caller) to the empty parameter `i`.
    void set(std::size_t i, PyObject* value) noexcept { slots_[i] = Py_NewRef(value); }

private:
    PyObject* slots_[kMaxParams] = {};
};

// Binds a vector call: `args` holds the positional arguments, then the
// keyword values in the order of `kwnames`.
PyResult<BoundArgs> bind_vectorcall(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The same from a positional tuple and a keyword dictionary (either may be null).
PyResult<BoundArgs> bind_tuple_dict(const ArgSpec& spec, PyObject* args, PyObject* kwargs);

// The error of a failed conversion of the parameter `name`: a TypeError
// (exactly) becomes "argument '{name}': {message}" with the same cause;
// everything else passes unchanged.
PyErr argument_error(const char* name, PyErr err);

// `converted` unchanged when it holds a value; otherwise its error as the
// error of the parameter `name` (see argument_error).
template <class T>
PyResult<T> convert_arg(const char* name, PyResult<T> converted) {
    if (converted) return converted;
    return unexpected(argument_error(name, std::move(converted).error()));
}

}  // namespace tessaray::binding
