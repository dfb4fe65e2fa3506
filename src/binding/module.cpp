// module.cpp: the module definition, its execution step and cosine_similarity.
#include <span>
#include <string>

#include "binding/bind.hpp"
#include "binding/convert.hpp"
#include "binding/fastcall.hpp"
#include "binding/module_def.hpp"
#include "binding/once_cell.hpp"
#include "binding/results.hpp"
#include "binding/trampoline.hpp"
#include "binding/vectorstore_type.hpp"
#include "core/fault.hpp"
#include "core/kernel.hpp"

namespace tessaray::binding {

namespace {

OnceCell all_name_cell;
OnceCell name_name_cell;

// ---------------------------------------------------------------------------
// cosine_similarity(vec1, vec2)

constexpr const char* kCosineParams[] = {"vec1", "vec2"};
constexpr ArgSpec kCosineSpec{nullptr, "cosine_similarity", kCosineParams, 2};

PyResult<PyObject*> cosine_similarity(PyObject*, const BoundArgs& args) {
    TESSARAY_TRY_ASSIGN(const std::vector<float> a, convert_arg("vec1", to_float_array(args[0])));
    TESSARAY_TRY_ASSIGN(const std::vector<float> b, convert_arg("vec2", to_float_array(args[1])));
    if (a.size() != b.size()) {
        return unexpected(PyErr::value_error("vectors have different dimensions (" + std::to_string(a.size()) + " vs " +
                                             std::to_string(b.size()) + ")"));
    }
    return float_result(core::cosine_ref(a.data(), b.data(), a.size()));
}

PyMethodDef kCosineDef =
    fastcall_def<kCosineSpec, cosine_similarity>("cosine_similarity(vec1, vec2)\n--\n\n", METH_STATIC);

// ---------------------------------------------------------------------------
// The add step: module.__all__ gains `name`, and the module the attribute.

PyResult<void> add_to_module(PyObject* module, PyObject* name, PyObject* value) {
    PyObject* all_name = interned(all_name_cell, "__all__");
    Ref all = Ref::steal(PyObject_GetAttr(module, all_name));
    if (!all) {
        PyErr err = fetch();
        if (!PyErr_GivenExceptionMatches(make_normalized(err), PyExc_AttributeError)) return unexpected(std::move(err));
        all = Ref::steal(checked(PyList_New(0)));
        if (PyObject_SetAttr(module, all_name, all.get()) != 0) return unexpected(fetch());
    } else if (!PyList_Check(all.get())) {
        return unexpected(PyErr::receiver(all.get(), reinterpret_cast<PyObject*>(&PyList_Type)));
    }
    if (PyList_Append(all.get(), name) != 0) {
        PyErr err = fetch();
        core::raise_fault("could not append __name__ to __all__: " + display_text(make_normalized(err)));
    }
    if (PyObject_SetAttr(module, name, value) != 0) return unexpected(fetch());
    return {};
}

int module_exec(PyObject* module) noexcept {
    return call_boundary<>(-1, [&]() -> PyResult<int> {
        TESSARAY_TRY_ASSIGN(PyObject * cls, vectorstore_class());
        Ref class_name = Ref::steal(checked(PyUnicode_FromString("Vectorstore")));
        TESSARAY_TRY(add_to_module(module, class_name.get(), cls));

        Ref module_name = Ref::steal(PyModule_GetNameObject(module));
        if (!module_name) return unexpected(fetch());
        Ref function = Ref::steal(PyCMethod_New(&kCosineDef, module, module_name.get(), nullptr));
        if (!function) return unexpected(fetch());
        Ref function_name = Ref::steal(PyObject_GetAttr(function.get(), interned(name_name_cell, "__name__")));
        if (!function_name) return unexpected(fetch());
        TESSARAY_TRY(add_to_module(module, function_name.get(), function.get()));
        return 0;
    });
}

PyModuleDef kModuleDef = module_def<module_exec>("tessaray", "");

}  // namespace

}  // namespace tessaray::binding

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_tessaray() {
    return PyModuleDef_Init(&tessaray::binding::kModuleDef);
}
