// module_def.hpp: the definition of each extension module here: one execution step, and no need of the GIL.
#pragma once

#include "binding/python.hpp"

namespace tessaray::binding {

// A module's execution step (Py_mod_exec): 0, or -1 with an exception set.
using ModuleExec = int (*)(PyObject* module) noexcept;

// The slots of a module whose execution step is `Exec`.
template <ModuleExec Exec>
inline PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(Exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

// The definition of the module `name` (multi-phase: its PyInit function
// returns PyModuleDef_Init of it).  It keeps no state of its own.
template <ModuleExec Exec>
PyModuleDef module_def(const char* name, const char* doc) {
    return {PyModuleDef_HEAD_INIT, name, doc, 0, nullptr, module_slots<Exec>, nullptr, nullptr, nullptr};
}

}  // namespace tessaray::binding
