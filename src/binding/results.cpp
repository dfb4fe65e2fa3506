// results.cpp: building the Python results of the module's calls from the core's values.
#include "binding/results.hpp"

#include <new>

#include "binding/error.hpp"
#include "binding/sized_alloc.hpp"

namespace tessaray::binding {

namespace {

// A new object from the interpreter.  A result's size is the caller's choice
// (top_k), so running out of memory while building it is a MemoryError, with
// the bytes asked for when they are known (`bytes` not 0); any other failure
// to make an object is a fault.
PyObject* made(PyObject* p, std::size_t bytes = 0) {
    if (p == nullptr && PyErr_ExceptionMatches(PyExc_MemoryError)) {
        PyErr_Clear();
        if (bytes != 0) core::throw_out_of_memory(bytes);
        throw std::bad_alloc();
    }
    return checked(p);
}

}  // namespace

PyObject* float_result(float value) { return made(PyFloat_FromDouble(static_cast<double>(value))); }

PyObject* u64_result(std::uint64_t value) { return made(PyLong_FromUnsignedLongLong(value)); }

PyObject* pairs_result(const std::vector<core::ResultPair>& pairs) {
    const auto n = static_cast<Py_ssize_t>(pairs.size());
    Ref list = Ref::steal(made(PyList_New(n), bytes_of<PyObject*>(pairs.size())));
    for (Py_ssize_t i = 0; i < n; ++i) {
        const core::ResultPair& pair = pairs[static_cast<std::size_t>(i)];
        Ref tuple = Ref::steal(made(PyTuple_New(2)));
        PyTuple_SET_ITEM(tuple.get(), 0, float_result(pair.score));
        PyTuple_SET_ITEM(tuple.get(), 1, u64_result(pair.id));
        PyList_SET_ITEM(list.get(), i, tuple.release());
    }
    return list.release();
}

PyObject* none_result() { return Py_NewRef(Py_None); }

PyObject* str_result(std::string_view text) {
    return checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace tessaray::binding
