// bulk_function.hpp: what every tessaray_bulk function shares: its store argument, its table entry, and its errors.
//
// Every function takes the store's own borrow, as the store's methods do
// (shared to read, exclusive to write), and holds a reference to it for the
// whole call (store_call.hpp).  The long part of a call (scoring, packing,
// copying, reading or writing a file) runs with the interpreter lock
// released: the borrow, not the lock, keeps the store as it is meanwhile.
#pragma once

#include "binding/bind.hpp"
#include "binding/error.hpp"
#include "binding/fastcall.hpp"
#include "binding/store_call.hpp"
#include "binding/store_class.hpp"
#include "core/file_error.hpp"

namespace tessaray::binding {

// The store of a function: its first argument, `store`.
inline PyResult<VectorstoreObject*> store_of(PyObject*, const BoundArgs& args) { return store_arg(args[0]); }

// The method table entry of a function that runs `Impl` on its store under `Borrow`.
template <const ArgSpec& Spec, class Borrow, PyResult<PyObject*> (*Impl)(StoreAccess<Borrow>, const BoundArgs&)>
PyMethodDef store_function(const char* doc) {
    return fastcall_def<Spec, store_call<store_of, Borrow, Impl>>(doc);
}

// The argument error of `name` for an object that is not callable.
PyErr not_callable(const char* name, PyObject* obj);

// A file error as Python raises it: OSError with the path, or ValueError.
PyErr file_error(const core::FileError& error, PyObject* path);

// The table entries of each group of functions.
PyMethodDef search_batch_def();
PyMethodDef range_search_def();
PyMethodDef self_join_def();
PyMethodDef knn_graph_def();
PyMethodDef insert_many_def();
PyMethodDef export_def();
PyMethodDef memory_size_def();
PyMethodDef without_def();
PyMethodDef save_def();
PyMethodDef load_def();
PyMethodDef open_def();

}  // namespace tessaray::binding
