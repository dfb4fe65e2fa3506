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

namespace {

// A list of n (score, id) tuples, pair i from at(i).
template <class At>
PyObject* pair_list(std::size_t n, At&& at) {
    Ref list = Ref::steal(made(PyList_New(static_cast<Py_ssize_t>(n)), bytes_of<PyObject*>(n)));
    for (std::size_t i = 0; i < n; ++i) {
        const core::ResultPair pair = at(i);
        Ref tuple = Ref::steal(made(PyTuple_New(2)));
        PyTuple_SET_ITEM(tuple.get(), 0, float_result(pair.score));
        PyTuple_SET_ITEM(tuple.get(), 1, u64_result(pair.id));
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tuple.release());
    }
    return list.release();
}

}  // namespace

PyObject* pairs_result(const std::vector<core::ResultPair>& pairs) {
    return pair_list(pairs.size(), [&](std::size_t i) { return pairs[i]; });
}

PyObject* pair_lists_result(const float* scores, const std::uint64_t* ids, std::size_t count, std::size_t keep,
                            const std::uint64_t* lengths) {
    Ref lists = Ref::steal(made(PyList_New(static_cast<Py_ssize_t>(count)), bytes_of<PyObject*>(count)));
    for (std::size_t q = 0; q < count; ++q) {
        const std::size_t at = q * keep;
        const std::size_t length = lengths != nullptr ? static_cast<std::size_t>(lengths[q]) : keep;
        PyObject* one = pair_list(length, [&](std::size_t j) { return core::ResultPair{scores[at + j], ids[at + j]}; });
        PyList_SET_ITEM(lists.get(), static_cast<Py_ssize_t>(q), one);
    }
    return lists.release();
}

PyObject* none_result() { return Py_NewRef(Py_None); }

PyObject* str_result(std::string_view text) {
    return checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

namespace {

// The tuple of `items`, or the first error; every value is owned before an
// error returns, so none leaks.
template <std::size_t N>
PyResult<PyObject*> tuple_of(PyResult<PyObject*> (&items)[N]) {
    Ref owned[N];
    for (std::size_t i = 0; i < N; ++i) owned[i] = Ref::steal(items[i] ? items[i].value() : nullptr);
    for (PyResult<PyObject*>& item : items) {
        if (!item) return std::move(item);
    }
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(N));
    if (tuple == nullptr) return unexpected(fetch());
    for (std::size_t i = 0; i < N; ++i) PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), owned[i].release());
    return tuple;
}

}  // namespace

PyResult<PyObject*> pair_of(PyResult<PyObject*> a, PyResult<PyObject*> b) {
    PyResult<PyObject*> items[] = {std::move(a), std::move(b)};
    return tuple_of(items);
}

PyResult<PyObject*> triple_of(PyResult<PyObject*> a, PyResult<PyObject*> b, PyResult<PyObject*> c) {
    PyResult<PyObject*> items[] = {std::move(a), std::move(b), std::move(c)};
    return tuple_of(items);
}

}  // namespace tessaray::binding
