// fastcall.hpp: the vector-call entry point around an entry point's typed part, and its method table entry.
//
// An entry point is a thin parser, then a typed function: the argument
// binding and the call boundary are here, the typed part holds no argument
// handling of its own beyond converting the bound arguments.
#pragma once

#include "binding/bind.hpp"
#include "binding/trampoline.hpp"

namespace tessaray::binding {

// The typed part of an entry point: given the receiver (the module of a
// module function, the instance of a method) and the bound arguments, a new
// reference or an error.
using TypedCall = PyResult<PyObject*> (*)(PyObject* self, const BoundArgs& args);

// A vector call (METH_FASTCALL | METH_KEYWORDS): binds the arguments to
// `Spec`, then runs `Impl`, inside the call boundary.
template <const ArgSpec& Spec, TypedCall Impl>
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_boundary<>(static_cast<PyObject*>(nullptr), [&]() -> PyResult<PyObject*> {
        TESSARAY_TRY_ASSIGN(const BoundArgs bound, bind_vectorcall(Spec, args, nargs, kwnames));
        return Impl(self, bound);
    });
}

// The method table entry of fastcall<Spec, Impl>, named after `Spec`'s
// function, with `doc` (text signature first) and any `more_flags`.
template <const ArgSpec& Spec, TypedCall Impl>
PyMethodDef fastcall_def(const char* doc, int more_flags = 0) {
    return {Spec.function_name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fastcall<Spec, Impl>)),
            METH_FASTCALL | METH_KEYWORDS | more_flags, doc};
}

}  // namespace tessaray::binding
