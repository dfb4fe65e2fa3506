// store_class.cpp: tessaray.Vectorstore seen from a module beside tessaray: checked once, and store arguments.
//
// A module that reads the record of tessaray's instances (VectorstoreObject)
// must be sure that tessaray.Vectorstore is the class that the tessaray
// extension built with it made: another build or a stand-in of the same name
// would have another layout or another borrow flag.  This file is the one
// place that checks it.
#include "binding/store_class.hpp"

#include <dlfcn.h>

#include "binding/bind.hpp"
#include "binding/once_cell.hpp"

namespace tessaray::binding {

namespace {

OnceCell store_class_cell;

// Whether two addresses lie in the same loaded object file.
bool same_object_file(const void* a, const void* b) {
    Dl_info ia{};
    Dl_info ib{};
    return dladdr(a, &ia) != 0 && dladdr(b, &ib) != 0 && ia.dli_fbase == ib.dli_fbase;
}

// tessaray.Vectorstore, made sure of: the class whose instances this module
// reads is the one the loaded tessaray extension made (its slots come from
// the same object file as the module's definition), with this layout.
PyResult<PyObject*> find_store_class() {
    Ref module = Ref::steal(PyImport_ImportModule("tessaray"));
    if (!module) return unexpected(fetch());
    Ref cls = Ref::steal(PyObject_GetAttrString(module.get(), "Vectorstore"));
    if (!cls) return unexpected(fetch());
    PyModuleDef* def = PyModule_Check(module.get()) ? PyModule_GetDef(module.get()) : nullptr;
    if (def == nullptr) PyErr_Clear();
    const bool ours = def != nullptr && PyType_Check(cls.get()) &&
                      reinterpret_cast<PyTypeObject*>(cls.get())->tp_basicsize ==
                          static_cast<Py_ssize_t>(sizeof(VectorstoreObject)) &&
                      same_object_file(def, PyType_GetSlot(reinterpret_cast<PyTypeObject*>(cls.get()), Py_tp_dealloc));
    if (PyErr_Occurred()) PyErr_Clear();
    if (!ours) {
        return unexpected(PyErr::lazy(PyExc_ImportError,
                                      "tessaray.Vectorstore is not the class of the tessaray extension module "
                                      "built with this one"));
    }
    return cls.release();
}

}  // namespace

PyResult<PyObject*> store_class() { return store_class_cell.get_or_try_init(find_store_class); }

PyResult<VectorstoreObject*> store_arg(PyObject* obj) {
    TESSARAY_TRY_ASSIGN(PyObject * cls, store_class());
    if (obj == nullptr || Py_TYPE(obj) != reinterpret_cast<PyTypeObject*>(cls)) {
        return unexpected(argument_error("store", PyErr::receiver(obj != nullptr ? obj : Py_None, cls)));
    }
    return reinterpret_cast<VectorstoreObject*>(obj);
}

}  // namespace tessaray::binding
