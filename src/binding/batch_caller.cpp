// batch_caller.cpp: the calling thread's part while a batch runs unlocked: interrupts and progress calls.
#include "binding/batch_caller.hpp"

#include "binding/bulk_function.hpp"

namespace tessaray::binding {

bool BatchCaller::poll(void* context, std::uint64_t done, std::uint64_t total) {
    auto* self = static_cast<BatchCaller*>(context);
    const Unlocked::Relocked locked(*self->unlocked);
    if (PyErr_CheckSignals() != 0) {
        self->error = fetch();
        return false;
    }
    if (self->progress != nullptr) {
        Ref result = Ref::steal(PyObject_CallFunction(self->progress, "KK", static_cast<unsigned long long>(done),
                                                      static_cast<unsigned long long>(total)));
        if (!result) {
            self->error = fetch();
            return false;
        }
    }
    return true;
}

PyResult<PyObject*> progress_arg(PyObject* obj) {
    if (obj == nullptr || obj == Py_None) return static_cast<PyObject*>(nullptr);
    if (PyCallable_Check(obj) == 0) return unexpected(not_callable("progress", obj));
    return obj;
}

}  // namespace tessaray::binding
