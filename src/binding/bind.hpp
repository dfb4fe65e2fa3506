// bind.hpp: binding call arguments to parameters, its messages, and the error of a failed argument.
#pragma once

#include <cstddef>
#include <utility>

#include "binding/error.hpp"

namespace tessaray::binding {

// One callable's parameters; every parameter may be given by position or keyword.
struct ArgSpec {
    const char* class_name;  // nullptr for a module function
    const char* function_name;
    const char* const* params;
    std::size_t param_count;
    std::size_t required;
};

// Fills `slots` (param_count borrowed references, null for not given) from a
// vector call: `args` holds the positional arguments, then the keyword values
// in the order of `kwnames`.
PyResult<std::monostate> bind_vectorcall(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames, PyObject** slots);

// The same from a positional tuple and a keyword dictionary (either may be null).
PyResult<std::monostate> bind_tuple_dict(const ArgSpec& spec, PyObject* args, PyObject* kwargs, PyObject** slots);

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
