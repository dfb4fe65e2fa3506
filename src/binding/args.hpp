// args.hpp: binding call arguments to parameters, and converting values both ways.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "binding/error.hpp"
#include "core/search.hpp"
#include "core/store.hpp"

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

// Conversions.  Each takes a borrowed object and returns the value or an error.
PyResult<std::vector<float>> to_float_array(PyObject* obj);
PyResult<std::uint64_t> to_u64(PyObject* obj);
// `obj` null (not given) or None means no value.
PyResult<std::optional<std::uint64_t>> to_optional_u64(PyObject* obj);
PyResult<core::StoredVector> to_pair(PyObject* obj);
PyResult<std::vector<core::StoredVector>> to_pairs(PyObject* obj);

// The error of a failed conversion of the parameter `name`: a TypeError
// (exactly) becomes "argument '{name}': {message}" with the same cause;
// everything else passes unchanged.
PyErr argument_error(const char* name, PyErr err);

// Converts with `convert`, naming `name` in a failure.
template <class T>
PyResult<T> convert_arg(const char* name, PyResult<T> converted) {
    if (converted) return converted;
    return unexpected(argument_error(name, std::move(converted).error()));
}

// Result builders (new references; a null from the interpreter is a fault).
PyObject* float_result(float value);
PyObject* u64_result(std::uint64_t value);
PyObject* pairs_result(const std::vector<core::ResultPair>& pairs);
PyObject* none_result();
PyObject* str_result(std::string_view text);

}  // namespace tessaray::binding
