// args.cpp: argument binding, value conversion and result building.
#include "binding/args.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "binding/once_cell.hpp"
#include "core/fault.hpp"

namespace tessaray::binding {

namespace {

// ---------------------------------------------------------------------------
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
    if (spec.required == spec.param_count) {
        msg += std::to_string(spec.param_count);
    } else {
        msg += "from " + std::to_string(spec.required) + " to " + std::to_string(spec.param_count);
    }
    msg += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
    return PyErr::type_error(std::move(msg));
}

[[gnu::cold]] PyErr unexpected_keyword(const ArgSpec& spec, PyObject* key) {
    std::string shown;
    if (Ref text = Ref::steal(PyObject_Str(key))) {
        shown = lossy_utf8(text.get());
    } else {
        PyErr_Clear();
        shown = "<unprintable>";
    }
    return PyErr::type_error(callable_name(spec) + " got an unexpected keyword argument '" + shown + "'");
}

[[gnu::cold]] PyErr multiple_values(const ArgSpec& spec, std::size_t param) {
    return PyErr::type_error(callable_name(spec) + " got multiple values for argument '" + spec.params[param] + "'");
}

[[gnu::cold]] PyErr missing_required(const ArgSpec& spec, std::size_t nargs, PyObject* const* slots) {
    std::vector<const char*> names;
    for (std::size_t i = nargs; i < spec.required; ++i) {
        if (slots[i] == nullptr) names.push_back(spec.params[i]);
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
PyResult<std::monostate> bind_keyword(const ArgSpec& spec, PyObject* key, PyObject* value, PyObject** slots) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        return unexpected(unexpected_keyword(spec, key));
    }
    for (std::size_t i = 0; i < spec.param_count; ++i) {
        const char* param = spec.params[i];
        if (std::strlen(param) == static_cast<std::size_t>(size) && std::memcmp(param, text, static_cast<std::size_t>(size)) == 0) {
            if (slots[i] != nullptr) return unexpected(multiple_values(spec, i));
            slots[i] = value;
            return std::monostate{};
        }
    }
    return unexpected(unexpected_keyword(spec, key));
}

PyResult<std::monostate> bind_positional(const ArgSpec& spec, PyObject* const* args, std::size_t nargs,
                                         PyObject** slots) {
    std::fill(slots, slots + spec.param_count, nullptr);
    const std::size_t copied = std::min(nargs, spec.param_count);
    std::copy(args, args + copied, slots);
    if (nargs > spec.param_count) return unexpected(too_many_positional(spec, nargs));
    return std::monostate{};
}

PyResult<std::monostate> check_required(const ArgSpec& spec, std::size_t nargs, PyObject* const* slots) {
    for (std::size_t i = nargs; i < spec.required; ++i) {
        if (slots[i] == nullptr) return unexpected(missing_required(spec, nargs, slots));
    }
    return std::monostate{};
}

// ---------------------------------------------------------------------------
// Conversion helpers.

OnceCell sequence_cell;

// collections.abc.Sequence, imported on first need.
PyObject* sequence_class() {
    auto cls = sequence_cell.get_or_try_init([]() -> PyResult<PyObject*> {
        Ref module = Ref::steal(PyImport_ImportModule("collections.abc"));
        PyObject* found = module ? PyObject_GetAttrString(module.get(), "Sequence") : nullptr;
        if (found == nullptr) {
            PyErr err = fetch();
            std::string detail = "<unprintable>";
            if (Ref text = Ref::steal(PyObject_Str(make_normalized(err)))) {
                detail = lossy_utf8(text.get());
            } else {
                PyErr_Clear();
            }
            core::raise_fault("called `Result::unwrap()` on an `Err` value: " + detail);
        }
        return found;
    });
    return cls.value();
}

[[gnu::cold]] PyErr str_to_vec_error() { return PyErr::type_error("Can't extract `str` to `Vec`"); }

// The first reservation trusts a length hint only this far; the array grows
// as items arrive.
constexpr Py_ssize_t kMaxReserve = Py_ssize_t(1) << 20;

// Appends the float value of `item` to `out`.
PyResult<std::monostate> append_float(PyObject* item, std::vector<float>& out) {
    double value;
    if (PyFloat_CheckExact(item)) {
        value = PyFloat_AS_DOUBLE(item);
    } else {
        value = PyFloat_AsDouble(item);
        if (value == -1.0 && PyErr_Occurred()) return unexpected(fetch());
    }
    // Nearest float, ties to even; too large a magnitude becomes infinity.
    out.push_back(static_cast<float>(value));
    return std::monostate{};
}

// Calls `each(item)` for every item of a sequence, in iteration order.
// Exact lists and tuples are walked by index, the same way their iterators
// walk them; everything else goes through the iterator protocol.
template <class Each>
PyResult<std::monostate> for_each_item(PyObject* obj, Each&& each) {
    if (PyList_CheckExact(obj)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(obj, i));
            TRY_VOID(each(item.get()));
        }
        return std::monostate{};
    }
    if (PyTuple_CheckExact(obj)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(obj); ++i) {
            TRY_VOID(each(PyTuple_GET_ITEM(obj, i)));
        }
        return std::monostate{};
    }
    Ref iter = Ref::steal(PyObject_GetIter(obj));
    if (!iter) return unexpected(fetch());
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
        TRY_VOID(each(item.get()));
    }
    if (PyErr_Occurred()) return unexpected(fetch());
    return std::monostate{};
}

// The length hint of a sequence: its size when it reports one, else 0.
std::size_t length_hint(PyObject* obj) {
    const Py_ssize_t size = PyObject_Size(obj);
    if (size < 0) {
        PyErr_Clear();
        return 0;
    }
    return static_cast<std::size_t>(std::min(size, kMaxReserve));
}

// The checks every sequence argument passes first.
PyResult<std::monostate> check_sequence(PyObject* obj) {
    if (PyUnicode_Check(obj)) return unexpected(str_to_vec_error());
    if (!PySequence_Check(obj)) return unexpected(PyErr::receiver(obj, sequence_class()));
    return std::monostate{};
}

}  // namespace

// ---------------------------------------------------------------------------

PyResult<std::monostate> bind_vectorcall(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames, PyObject** slots) {
    const auto n = static_cast<std::size_t>(nargs);
    TRY_VOID(bind_positional(spec, args, n, slots));
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            TRY_VOID(bind_keyword(spec, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], slots));
        }
    }
    return check_required(spec, n, slots);
}

PyResult<std::monostate> bind_tuple_dict(const ArgSpec& spec, PyObject* args, PyObject* kwargs, PyObject** slots) {
    const std::size_t n = args != nullptr ? static_cast<std::size_t>(PyTuple_GET_SIZE(args)) : 0;
    TRY_VOID(bind_positional(spec, args != nullptr ? PySequence_Fast_ITEMS(args) : nullptr, n, slots));
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) TRY_VOID(bind_keyword(spec, key, value, slots));
    }
    return check_required(spec, n, slots);
}

PyResult<std::vector<float>> to_float_array(PyObject* obj) {
    TRY_VOID(check_sequence(obj));
    std::vector<float> out;
    out.reserve(length_hint(obj));
    TRY_VOID(for_each_item(obj, [&](PyObject* item) { return append_float(item, out); }));
    return out;
}

PyResult<std::uint64_t> to_u64(PyObject* obj) {
    unsigned long long value;
    if (PyLong_Check(obj)) {
        value = PyLong_AsUnsignedLongLong(obj);
    } else {
        Ref index = Ref::steal(PyNumber_Index(obj));
        if (!index) return unexpected(fetch());
        value = PyLong_AsUnsignedLongLong(index.get());
    }
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return unexpected(fetch());
    return static_cast<std::uint64_t>(value);
}

PyResult<std::optional<std::uint64_t>> to_optional_u64(PyObject* obj) {
    if (obj == nullptr || obj == Py_None) return std::optional<std::uint64_t>();
    TRY_ASSIGN(std::uint64_t value, to_u64(obj));
    return std::optional<std::uint64_t>(value);
}

PyResult<core::StoredVector> to_pair(PyObject* obj) {
    if (!PyTuple_Check(obj)) return unexpected(PyErr::receiver(obj, reinterpret_cast<PyObject*>(&PyTuple_Type)));
    const Py_ssize_t size = PyTuple_GET_SIZE(obj);
    if (size != 2) {
        return unexpected(PyErr::value_error("expected tuple of length 2, but got tuple of length " + std::to_string(size)));
    }
    core::StoredVector pair;
    TRY_ASSIGN(pair.vector, to_float_array(PyTuple_GET_ITEM(obj, 0)));
    TRY_ASSIGN(pair.id, to_u64(PyTuple_GET_ITEM(obj, 1)));
    return pair;
}

PyResult<std::vector<core::StoredVector>> to_pairs(PyObject* obj) {
    TRY_VOID(check_sequence(obj));
    std::vector<core::StoredVector> out;
    out.reserve(std::min<std::size_t>(length_hint(obj), 1 << 16));
    TRY_VOID(for_each_item(obj, [&](PyObject* item) -> PyResult<std::monostate> {
        TRY_ASSIGN(core::StoredVector pair, to_pair(item));
        out.push_back(std::move(pair));
        return std::monostate{};
    }));
    return out;
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

// ---------------------------------------------------------------------------

PyObject* float_result(float value) { return checked(PyFloat_FromDouble(static_cast<double>(value))); }

PyObject* u64_result(std::uint64_t value) { return checked(PyLong_FromUnsignedLongLong(value)); }

PyObject* pairs_result(const std::vector<core::ResultPair>& pairs) {
    Ref list = Ref::steal(checked(PyList_New(static_cast<Py_ssize_t>(pairs.size()))));
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        Ref tuple = Ref::steal(checked(PyTuple_New(2)));
        PyTuple_SET_ITEM(tuple.get(), 0, float_result(pairs[i].score));
        PyTuple_SET_ITEM(tuple.get(), 1, u64_result(pairs[i].id));
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tuple.release());
    }
    return list.release();
}

PyObject* none_result() { return Py_NewRef(Py_None); }

PyObject* str_result(std::string_view text) {
    return checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace tessaray::binding
