// store_call.hpp: the order of work of a call on a store object: found, held, borrowed, then its own work.
//
// The methods of Vectorstore and the functions of tessaray_bulk differ only
// in where the store object comes from (the receiver, or the argument
// `store`) and in what they do with the store; everything between is here.
#pragma once

#include <type_traits>
#include <utility>

#include "binding/bind.hpp"
#include "binding/borrow.hpp"
#include "binding/vectorstore_object.hpp"

namespace tessaray::binding {

// What a borrow lets the call do with the store: change it under the
// exclusive borrow, read it under a shared one.
template <class Borrow>
using StoreAccess =
    std::conditional_t<std::is_same_v<Borrow, ExclusiveBorrow>, core::Vectorstore&, const core::Vectorstore&>;

// Runs `own` on the store of `found` (a store object, or the error of
// finding one): holds a reference to the object and takes the borrow, and
// gives both back on every way out.
template <class Borrow, class Own>
auto on_store(PyResult<VectorstoreObject*> found, Own&& own) -> std::invoke_result_t<Own&, StoreAccess<Borrow>> {
    TESSARAY_TRY_ASSIGN(VectorstoreObject * obj, std::move(found));
    const Ref keep = Ref::borrow(reinterpret_cast<PyObject*>(obj));
    TESSARAY_TRY_ASSIGN(Borrow borrow, Borrow::take(obj->borrow));
    auto result = own(obj->inner.store);
    // A store read in place whose file was shortened under it read zeros
    // where its rows were: nothing it answered can be trusted.
    if (obj->inner.store.lost()) {
        if constexpr (std::is_same_v<decltype(result), PyResult<PyObject*>>) {
            if (result) Py_DECREF(*result);
        }
        return unexpected(lost_store_error());
    }
    return result;
}

// Where a call finds its store object: in its receiver or its bound arguments.
using FindStore = PyResult<VectorstoreObject*> (*)(PyObject* self, const BoundArgs& args);

// The typed part of an entry point that works on a store (see fastcall.hpp):
// `Impl` run on the store that `Find` finds, under `Borrow`.
template <FindStore Find, class Borrow, PyResult<PyObject*> (*Impl)(StoreAccess<Borrow>, const BoundArgs&)>
PyResult<PyObject*> store_call(PyObject* self, const BoundArgs& args) {
    return on_store<Borrow>(Find(self, args), [&](StoreAccess<Borrow> store) { return Impl(store, args); });
}

}  // namespace tessaray::binding
