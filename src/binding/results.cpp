// results.cpp: building the Python results of the module's calls from the core's values.
#include "binding/results.hpp"

#include "binding/error.hpp"

namespace tessaray::binding {

PyObject* float_result(float value) { return checked(PyFloat_FromDouble(static_cast<double>(value))); }

PyObject* u64_result(std::uint64_t value) { return checked(PyLong_FromUnsignedLongLong(value)); }

PyObject* pairs_result(const std::vector<core::ResultPair>& pairs) {
    Ref list = Ref::steal(checked(PyList_New(static_cast<Py_ssize_t>(pairs.size()))));
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        Ref tuple = Ref::steal(checked(PyTuple_New(2)));
        PyTuple_SET_ITEM(tuple.get(), 0, float_result(pairs[i].score));
        PyTuple_SET_ITEM(tuple.get(), 1, u64_result(pairs[i].id));
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tuple.release());
    }
    return list.release();
}

PyObject* none_result() { return Py_NewRef(Py_None); }

PyObject* str_result(std::string_view text) {
    return checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace tessaray::binding
