// bind.cpp: binding call arguments to parameters, its messages, and the error of a failed argument.
#include "binding/bind.hpp"

#include <cstring>
#include <string>
#include <vector>

namespace tessaray::binding {

namespace {

// Binding messages.  Built only when binding fails.

std::string callable_name(const ArgSpec& spec) {
    std::string name;
    if (spec.class_name != nullptr) {
        name += spec.class_name;
        name += '.';
    }
    name += spec.function_name;
    name += "()";
    return name;
}

[[gnu::cold]] PyErr too_many_positional(const ArgSpec& spec, std::size_t given) {
    std::string msg = callable_name(spec) + " takes ";
    if (spec.required == spec.positional) {
        msg += std::to_string(spec.positional);
    } else {
        msg += "from " + std::to_string(spec.required) + " to " + std::to_string(spec.positional);
    }
    msg += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
    return PyErr::type_error(std::move(msg));
}

[[gnu::cold]] PyErr unexpected_keyword(const ArgSpec& spec, PyObject* key) {
    return PyErr::type_error(callable_name(spec) + " got an unexpected keyword argument '" + display_text(key) + "'");
}

[[gnu::cold]] PyErr multiple_values(const ArgSpec& spec, std::size_t param) {
    return PyErr::type_error(callable_name(spec) + " got multiple values for argument '" + spec.params[param] + "'");
}

[[gnu::cold]] PyErr missing_required(const ArgSpec& spec, std::size_t nargs, const BoundArgs& bound) {
    std::vector<const char*> names;
    for (std::size_t i = nargs; i < spec.required; ++i) {
        if (bound[i] == nullptr) names.push_back(spec.params[i]);
    }
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i != 0) list += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        list += "'";
        list += names[i];
        list += "'";
    }
    return PyErr::type_error(callable_name(spec) + " missing " + std::to_string(names.size()) +
                             " required positional " + (names.size() == 1 ? "argument" : "arguments") + ": " + list);
}

// Puts one keyword argument into its slot.
PyResult<void> bind_keyword(const ArgSpec& spec, PyObject* key, PyObject* value, BoundArgs& bound) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        return unexpected(unexpected_keyword(spec, key));
    }
    for (std::size_t i = 0; i < spec.param_count; ++i) {
        const char* param = spec.params[i];
        if (std::strlen(param) == static_cast<std::size_t>(size) &&
            std::memcmp(param, text, static_cast<std::size_t>(size)) == 0) {
            if (bound[i] != nullptr) return unexpected(multiple_values(spec, i));
            bound.set(i, value);
            return {};
        }
    }
    return unexpected(unexpected_keyword(spec, key));
}

PyResult<void> bind_positional(const ArgSpec& spec, PyObject* const* args, std::size_t nargs, BoundArgs& bound) {
    if (nargs > spec.positional) return unexpected(too_many_positional(spec, nargs));
    for (std::size_t i = 0; i < nargs; ++i) bound.set(i, args[i]);
    return {};
}

PyResult<void> check_required(const ArgSpec& spec, std::size_t nargs, const BoundArgs& bound) {
    for (std::size_t i = nargs; i < spec.required; ++i) {
        if (bound[i] == nullptr) return unexpected(missing_required(spec, nargs, bound));
    }
    return {};
}

}  // namespace

// ---------------------------------------------------------------------------

PyResult<BoundArgs> bind_vectorcall(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const auto n = static_cast<std::size_t>(nargs);
    BoundArgs bound;
    TESSARAY_TRY(bind_positional(spec, args, n, bound));
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            TESSARAY_TRY(bind_keyword(spec, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], bound));
        }
    }
    TESSARAY_TRY(check_required(spec, n, bound));
    return bound;
}

PyResult<BoundArgs> bind_tuple_dict(const ArgSpec& spec, PyObject* args, PyObject* kwargs) {
    const std::size_t n = args != nullptr ? static_cast<std::size_t>(PyTuple_GET_SIZE(args)) : 0;
    BoundArgs bound;
    TESSARAY_TRY(bind_positional(spec, args != nullptr ? PySequence_Fast_ITEMS(args) : nullptr, n, bound));
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) TESSARAY_TRY(bind_keyword(spec, key, value, bound));
    }
    TESSARAY_TRY(check_required(spec, n, bound));
    return bound;
}

PyErr argument_error(const char* name, PyErr err) {
    PyObject* instance = make_normalized(err);
    if (Py_TYPE(instance) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) return err;
    std::string text;
    if (Ref str = Ref::steal(PyObject_Str(instance))) {
        text = lossy_utf8(str.get());
    } else {
        restore(fetch());
        PyErr_WriteUnraisable(nullptr);
        if (Ref cls_name = Ref::steal(PyType_GetName(Py_TYPE(instance)))) {
            text = "<unprintable " + lossy_utf8(cls_name.get()) + " object>";
        } else {
            PyErr_Clear();
            text = "<unprintable object>";
        }
    }
    PyErr wrapped = PyErr::type_error("argument '" + std::string(name) + "': " + text);
    PyException_SetCause(make_normalized(wrapped), PyException_GetCause(instance));
    return wrapped;
}

}  // namespace tessaray::binding
