// vectorstore_object.hpp: the record of a Vectorstore instance, for every module that reaches into one, and the error of a store whose file was lost.
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

// The error of every call on a store read in place whose file lost pages
// (core::Vectorstore::lost): OSError with errno EIO.
PyErr lost_store_error();

// A fresh instance of `cls` (the Vectorstore class) that takes over `store`.
PyResult<PyObject*> create_store_object(PyTypeObject* cls, core::Vectorstore&& store);

}  // namespace tessaray::binding
