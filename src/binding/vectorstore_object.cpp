// vectorstore_object.cpp: making a Vectorstore instance around a core store.
#include "binding/vectorstore_object.hpp"

#include <new>
#include <utility>

namespace tessaray::binding {

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
