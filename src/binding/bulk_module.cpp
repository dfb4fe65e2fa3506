// bulk_module.cpp: the tessaray_bulk module: many queries, many rows and store files, on tessaray's Vectorstore objects.
#include <cerrno>
#include <string>

#include "binding/bulk_function.hpp"
#include "binding/module_def.hpp"
#include "binding/ref.hpp"

namespace tessaray::binding {

PyErr not_callable(const char* name, PyObject* obj) {
    std::string message = "'";
    message += Py_TYPE(obj)->tp_name;
    message += "' object is not callable";
    return argument_error(name, PyErr::type_error(std::move(message)));
}

PyErr file_error(const core::FileError& error, PyObject* path) {
    if (error.os_error == 0) return PyErr::value_error(error.message);
    errno = error.os_error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    return fetch();
}

namespace {

PyMethodDef kFunctions[] = {
    search_batch_def(), range_search_def(), self_join_def(),   knn_graph_def(),
    insert_many_def(),  export_def(),       memory_size_def(), without_def(),
    save_def(),         load_def(),         open_def(),        {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject* module) noexcept {
    share_panic_class();
    return call_boundary<>(-1, [&]() -> PyResult<int> {
        // A tessaray that this module cannot read fails the import, not the first call.
        TESSARAY_TRY(store_class());
        if (PyModule_AddFunctions(module, kFunctions) != 0) return unexpected(fetch());
        // __all__: the functions, in the table's order.
        Ref all = Ref::steal(PyList_New(0));
        for (const PyMethodDef* f = kFunctions; all && f->ml_name != nullptr; ++f) {
            Ref name = Ref::steal(PyUnicode_FromString(f->ml_name));
            if (!name || PyList_Append(all.get(), name.get()) != 0) all = Ref();
        }
        if (!all || PyModule_Add(module, "__all__", all.release()) != 0) return unexpected(fetch());
        return 0;
    });
}

PyModuleDef kModuleDef = module_def<module_exec>(
    "tessaray_bulk", "Many queries, many rows and store files at once, on tessaray.Vectorstore objects.");

}  // namespace

}  // namespace tessaray::binding

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_tessaray_bulk() {
    return PyModuleDef_Init(&tessaray::binding::kModuleDef);
}
