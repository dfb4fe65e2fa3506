// vectorstore_object.hpp: the record of a Vectorstore instance, for every module that reaches into one.
//
// The class and its slots live in vectorstore_type.cpp; a module built beside
// this one that works on the same instances includes this header, so both
// read one layout and one borrow flag.
#pragma once

#include "binding/borrow.hpp"
#include "binding/error.hpp"
#include "binding/python.hpp"
#include "core/store.hpp"

namespace tessaray::binding {

// The binding's hold on one core store.
struct PyVectorstore {
    core::Vectorstore store;
};

// The layout of a Vectorstore instance.
struct VectorstoreObject {
    PyObject_HEAD PyVectorstore inner;
    BorrowChecker borrow;
};

// A fresh instance of `cls` (the Vectorstore class) that takes over `store`.
PyResult<PyObject*> create_store_object(PyTypeObject* cls, core::Vectorstore&& store);

}  // namespace tessaray::binding
