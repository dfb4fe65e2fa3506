// vectorstore_object.cpp: making a Vectorstore instance around a core store; the error of a store whose file was lost.
#include "binding/vectorstore_object.hpp"

#include <cerrno>
#include <new>
#include <utility>

namespace tessaray::binding {

PyErr lost_store_error() {
    Ref error = Ref::steal(PyObject_CallFunction(
        PyExc_OSError, "is", EIO,
        "the file this store reads in place was shortened while it was open: its rows are lost (open the file "
        "again once it is whole)"));
    if (!error) return fetch();
    return PyErr::normalized(std::move(error));
}

PyResult<PyObject*> create_store_object(PyTypeObject* cls, core::Vectorstore&& store) {
    Ref empty = Ref::steal(checked(PyTuple_New(0)));
    PyObject* obj = PyBaseObject_Type.tp_new(cls, empty.get(), nullptr);
    if (obj == nullptr) return unexpected(fetch());
    auto* record = reinterpret_cast<VectorstoreObject*>(obj);
    new (&record->inner) PyVectorstore{std::move(store)};
    new (&record->borrow) BorrowChecker();
    return obj;
}

}  // namespace tessaray::binding
