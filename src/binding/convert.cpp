// convert.cpp: converting argument objects to the core's values (float arrays, ids, counts, pairs, flags, paths).
#include "binding/convert.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "binding/buffer.hpp"
#include "binding/once_cell.hpp"
#include "binding/sized_alloc.hpp"
#include "core/fault.hpp"

namespace tessaray::binding {

namespace {

OnceCell sequence_cell;

// collections.abc.Sequence, imported on first need.
PyObject* sequence_class() {
    return sequence_cell.get_or_init([] {
        Ref module = Ref::steal(PyImport_ImportModule("collections.abc"));
        PyObject* found = module ? PyObject_GetAttrString(module.get(), "Sequence") : nullptr;
        if (found == nullptr) {
            PyErr err = fetch();
            core::raise_fault("called `Result::unwrap()` on an `Err` value: " + display_text(make_normalized(err)));
        }
        return found;
    });
}

[[gnu::cold]] PyErr str_to_vec_error() { return PyErr::type_error("Can't extract `str` to `Vec`"); }

// The first reservation trusts a length hint only this far; the array grows
// as items arrive.
constexpr Py_ssize_t kMaxReserve = Py_ssize_t(1) << 20;
constexpr Py_ssize_t kMaxPairReserve = Py_ssize_t(1) << 16;

// The float of a double: nearest, ties to even; too large a magnitude
// becomes infinity.
inline float narrow(double value) noexcept { return static_cast<float>(value); }

// Appends the float value of `item` to `out`.
PyResult<void> append_float(PyObject* item, std::vector<float>& out) {
    double value;
    if (PyFloat_CheckExact(item)) {
        value = PyFloat_AS_DOUBLE(item);
    } else {
        value = PyFloat_AsDouble(item);
        if (value == -1.0 && PyErr_Occurred()) return unexpected(fetch());
    }
    append(out, narrow(value));
    return {};
}

// The floats of an exact list or tuple, in index order.  Each run of exact
// floats is read straight from the item array: nothing in that stretch runs
// Python code, so the array cannot change under it.  Any other item is
// converted by its own __float__ or __index__, which may change a list; the
// size and the item array are read again after it, as a walk by index would.
PyResult<std::vector<float>> sequence_floats(PyObject* obj) {
    std::vector<float> out;
    // The size of a list or tuple is real: its items exist.
    reserve_or_throw(out, static_cast<std::size_t>(PySequence_Fast_GET_SIZE(obj)));
    Py_ssize_t i = 0;  // the next index; out holds the floats of items [0, i)
    for (;;) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(obj);
        PyObject* const* items = PySequence_Fast_ITEMS(obj);
        Py_ssize_t end = i;
        while (end < size && PyFloat_CheckExact(items[end])) ++end;
        if (end > i) {
            grow_to(out, static_cast<std::size_t>(end));
            out.resize(static_cast<std::size_t>(end));
            float* floats = out.data();
            for (; i < end; ++i) floats[i] = narrow(PyFloat_AS_DOUBLE(items[i]));
        }
        if (i >= size) return out;
        Ref item = Ref::borrow(items[i]);  // its conversion may drop it from the list
        TESSARAY_TRY(append_float(item.get(), out));
        ++i;
    }
}

// Calls `each(item)` for every item of a sequence, in iteration order.
// Exact lists and tuples are walked by index, the same way their iterators
// walk them; everything else goes through the iterator protocol.
template <class Each>
PyResult<void> for_each_item(PyObject* obj, Each&& each) {
    if (PyList_CheckExact(obj)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(obj, i));
            TESSARAY_TRY(each(item.get()));
        }
        return {};
    }
    if (PyTuple_CheckExact(obj)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(obj); ++i) {
            TESSARAY_TRY(each(PyTuple_GET_ITEM(obj, i)));
        }
        return {};
    }
    Ref iter = Ref::steal(PyObject_GetIter(obj));
    if (!iter) return unexpected(fetch());
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
        TESSARAY_TRY(each(item.get()));
    }
    if (PyErr_Occurred()) return unexpected(fetch());
    return {};
}

// Room for up to `limit` of the items a sequence says it has.  The length
// is only a hint: when it cannot be asked or its room cannot be had, the
// array starts empty and grows as items arrive.
template <class T>
void reserve_for_hint(PyObject* obj, std::vector<T>& out, Py_ssize_t limit) {
    const Py_ssize_t size = PyObject_Size(obj);
    if (size < 0) {
        PyErr_Clear();
        return;
    }
    try {
        out.reserve(static_cast<std::size_t>(std::min(size, limit)));
    } catch (const std::bad_alloc&) {}
}

// The checks every sequence argument passes first.
PyResult<void> check_sequence(PyObject* obj) {
    if (PyUnicode_Check(obj)) return unexpected(str_to_vec_error());
    if (!PySequence_Check(obj)) return unexpected(PyErr::receiver(obj, sequence_class()));
    return {};
}

}  // namespace

PyResult<std::vector<float>> to_float_array(PyObject* obj) {
    // Exact lists and tuples, the common arguments, pass the sequence checks
    // and are never buffers.
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) return sequence_floats(obj);
    TESSARAY_TRY(check_sequence(obj));
    if (std::optional<std::vector<float>> read = buffer_floats(obj)) return std::move(*read);
    std::vector<float> out;
    reserve_for_hint(obj, out, kMaxReserve);
    TESSARAY_TRY(for_each_item(obj, [&](PyObject* item) { return append_float(item, out); }));
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
    TESSARAY_TRY_ASSIGN(std::uint64_t value, to_u64(obj));
    return std::optional<std::uint64_t>(value);
}

PyResult<core::StoredVector> to_pair(PyObject* obj) {
    if (!PyTuple_Check(obj)) return unexpected(PyErr::receiver(obj, reinterpret_cast<PyObject*>(&PyTuple_Type)));
    const Py_ssize_t size = PyTuple_GET_SIZE(obj);
    if (size != 2) {
        return unexpected(
            PyErr::value_error("expected tuple of length 2, but got tuple of length " + std::to_string(size)));
    }
    core::StoredVector pair;
    TESSARAY_TRY_ASSIGN(pair.vector, to_float_array(PyTuple_GET_ITEM(obj, 0)));
    TESSARAY_TRY_ASSIGN(pair.id, to_u64(PyTuple_GET_ITEM(obj, 1)));
    return pair;
}

PyResult<std::vector<core::StoredVector>> to_pairs(PyObject* obj) {
    TESSARAY_TRY(check_sequence(obj));
    std::vector<core::StoredVector> out;
    reserve_for_hint(obj, out, kMaxPairReserve);
    TESSARAY_TRY(for_each_item(obj, [&](PyObject* item) -> PyResult<void> {
        TESSARAY_TRY_ASSIGN(core::StoredVector pair, to_pair(item));
        append(out, std::move(pair));
        return {};
    }));
    return out;
}

PyResult<std::vector<std::uint64_t>> to_ids(PyObject* obj) {
    if (std::optional<std::vector<std::uint64_t>> ids = buffer_ids(obj)) return std::move(*ids);
    Ref iterator = Ref::steal(PyObject_GetIter(obj));
    if (!iterator) return unexpected(fetch());
    std::vector<std::uint64_t> ids;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        TESSARAY_TRY_ASSIGN(const std::uint64_t id, to_u64(item.get()));
        append(ids, id);
    }
    if (PyErr_Occurred()) return unexpected(fetch());
    return ids;
}

PyResult<float> to_threshold(PyObject* obj) {
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) return unexpected(fetch());
    if (std::isnan(value)) return unexpected(PyErr::value_error("threshold is NaN"));
    float rounded = static_cast<float>(value);
    if (static_cast<double>(rounded) < value) rounded = std::nextafter(rounded, std::numeric_limits<float>::infinity());
    return rounded;
}

PyResult<bool> to_flag(PyObject* obj) {
    if (obj == nullptr) return false;
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) return unexpected(fetch());
    return truth != 0;
}

PyResult<std::string> to_path(PyObject* obj) {
    PyObject* converted = nullptr;
    if (PyUnicode_FSConverter(obj, &converted) == 0) return unexpected(fetch());
    Ref bytes = Ref::steal(converted);
    return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

}  // namespace tessaray::binding
