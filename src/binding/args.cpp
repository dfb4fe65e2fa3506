// args.cpp: argument binding, value conversion and result building.
#include "binding/args.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <optional>
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
    return PyErr::type_error(callable_name(spec) + " got an unexpected keyword argument '" + display_text(key) + "'");
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
            core::raise_fault("called `Result::unwrap()` on an `Err` value: " + display_text(make_normalized(err)));
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

// ---------------------------------------------------------------------------
// The buffer fast path.
//
// A one-dimensional numpy.ndarray, array.array, memoryview, bytes or bytearray
// of a plain number format is read straight from its memory, without a Python
// call per element.  Each element becomes exactly the float the element path
// gives: the item's Python value converted to double (integers rounded to
// nearest, ties to even; float16 and float32 exactly; bool 0 or 1), then
// that double rounded to float.  Anything else (other formats, more or fewer
// dimensions, subclasses, other types, a refused buffer request) keeps the
// element path, errors included.

// Where a buffer object comes from; it decides which formats its own
// items can have.
enum class BufferSource {
    Numpy,       // numpy.ndarray exactly: any byte order
    Memoryview,  // memoryview: it unpacks native formats only
    Plain,       // bytes, bytearray, array.array: always native
};

enum class ElementKind { Bool, Signed, Unsigned, Half, Float32, Float64 };

struct ElementFormat {
    ElementKind kind;
    bool swap;  // the bytes are in the other order than this machine's
};

// Owns a filled Py_buffer and releases it on every path.
class BufferView {
public:
    BufferView() noexcept = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (held_) PyBuffer_Release(&view_);
    }

    // False (with no exception left) when the object refuses the request.
    bool acquire(PyObject* obj) noexcept {
        if (PyObject_GetBuffer(obj, &view_, PyBUF_FORMAT | PyBUF_ND | PyBUF_STRIDES) != 0) {
            PyErr_Clear();
            return false;
        }
        held_ = true;
        return true;
    }
    const Py_buffer& view() const noexcept { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

std::atomic<PyTypeObject*> ndarray_type{nullptr};
OnceCell array_name_cell;

PyObject* interned_array_name() {
    return array_name_cell
        .get_or_try_init([]() -> PyResult<PyObject*> { return checked(PyUnicode_InternFromString("array")); })
        .value();
}
std::atomic<PyTypeObject*> array_type{nullptr};

// numpy.ndarray itself (not a subclass), told by its module and name without
// importing numpy.  It is a static type: a class made in Python never is.
bool is_ndarray(PyTypeObject* type) {
    if (PyTypeObject* known = ndarray_type.load(std::memory_order_acquire)) return type == known;
    if ((type->tp_flags & Py_TPFLAGS_HEAPTYPE) != 0 || std::strcmp(type->tp_name, "numpy.ndarray") != 0) return false;
    PyTypeObject* expected = nullptr;
    if (ndarray_type.compare_exchange_strong(expected, type)) Py_INCREF(type);  // kept for good
    return true;
}

// array.array itself: the class of the array module that is loaded already
// (a class that is merely named so is not it).
bool is_array_array(PyTypeObject* type) {
    if (PyTypeObject* known = array_type.load(std::memory_order_acquire); known != nullptr && type == known) return true;
    if (std::strcmp(type->tp_name, "array.array") != 0) return false;
    // The real class is in a loaded module; looking it up runs no Python code.
    Ref module = Ref::steal(PyImport_GetModule(interned_array_name()));
    PyObject* found = nullptr;
    if (module && PyModule_Check(module.get())) PyDict_GetItemStringRef(PyModule_GetDict(module.get()), "array", &found);
    Ref found_ref = Ref::steal(found);
    if (PyErr_Occurred()) PyErr_Clear();
    if (found != reinterpret_cast<PyObject*>(type)) return false;
    PyTypeObject* expected = nullptr;
    if (array_type.compare_exchange_strong(expected, type)) Py_INCREF(type);  // kept for good
    return true;
}

// The kind of buffer object `obj` is, if it is one the fast path reads.
std::optional<BufferSource> buffer_source(PyObject* obj) {
    if (PyBytes_CheckExact(obj) || PyByteArray_CheckExact(obj)) return BufferSource::Plain;
    if (PyMemoryView_Check(obj)) return BufferSource::Memoryview;  // memoryview has no subclasses
    PyTypeObject* type = Py_TYPE(obj);
    if (is_ndarray(type)) return BufferSource::Numpy;
    if (is_array_array(type)) return BufferSource::Plain;
    return std::nullopt;
}

// The element format of a buffer format string: one optional byte-order
// character and one type code, of a size that matches `itemsize`.  Nothing
// for formats the fast path leaves to the element path.
std::optional<ElementFormat> parse_format(const char* format, Py_ssize_t itemsize, BufferSource source) {
    if (format == nullptr) format = "B";
    char order = '@';
    if (format[0] != '\0' && std::strchr("@=<>!", format[0]) != nullptr) order = *format++;
    const char code = format[0];
    if (code == '\0' || format[1] != '\0') return std::nullopt;
    const bool native = order == '@';
    // A memoryview unpacks its items in native formats only; bytes,
    // bytearray and array.array only have those.
    if (source != BufferSource::Numpy && !native) return std::nullopt;
    constexpr bool little_host = std::endian::native == std::endian::little;
    const bool swap = (order == '<' && !little_host) || ((order == '>' || order == '!') && little_host);

    ElementKind kind;
    std::size_t size;  // in the standard sizes, or native ones for '@'
    switch (code) {
        case '?': kind = ElementKind::Bool; size = native ? sizeof(bool) : 1; break;
        case 'b': kind = ElementKind::Signed; size = 1; break;
        case 'B': kind = ElementKind::Unsigned; size = 1; break;
        case 'h': kind = ElementKind::Signed; size = native ? sizeof(short) : 2; break;
        case 'H': kind = ElementKind::Unsigned; size = native ? sizeof(unsigned short) : 2; break;
        case 'i': kind = ElementKind::Signed; size = native ? sizeof(int) : 4; break;
        case 'I': kind = ElementKind::Unsigned; size = native ? sizeof(unsigned int) : 4; break;
        case 'l': kind = ElementKind::Signed; size = native ? sizeof(long) : 4; break;
        case 'L': kind = ElementKind::Unsigned; size = native ? sizeof(unsigned long) : 4; break;
        case 'q': kind = ElementKind::Signed; size = native ? sizeof(long long) : 8; break;
        case 'Q': kind = ElementKind::Unsigned; size = native ? sizeof(unsigned long long) : 8; break;
        case 'n':
            if (!native) return std::nullopt;
            kind = ElementKind::Signed; size = sizeof(Py_ssize_t); break;
        case 'N':
            if (!native) return std::nullopt;
            kind = ElementKind::Unsigned; size = sizeof(std::size_t); break;
        case 'e': kind = ElementKind::Half; size = 2; break;
        case 'f': kind = ElementKind::Float32; size = 4; break;
        case 'd': kind = ElementKind::Float64; size = 8; break;
        default: return std::nullopt;  // 'c', 's', 'P', 'g', 'O', complex, structures, ...
    }
    if (static_cast<std::size_t>(itemsize) != size) return std::nullopt;
    if (kind == ElementKind::Bool && size != 1) return std::nullopt;
    if (size != 1 && size != 2 && size != 4 && size != 8) return std::nullopt;
    return ElementFormat{kind, swap && size != 1};
}

template <class U>
U byteswapped(U value) noexcept {
    if constexpr (sizeof(U) == 2) return static_cast<U>(__builtin_bswap16(value));
    else if constexpr (sizeof(U) == 4) return static_cast<U>(__builtin_bswap32(value));
    else if constexpr (sizeof(U) == 8) return static_cast<U>(__builtin_bswap64(value));
    else return value;
}

template <class U, bool Swap>
U load(const char* p) noexcept {
    U value;
    std::memcpy(&value, p, sizeof value);
    if constexpr (Swap) value = byteswapped(value);
    return value;
}

// The float of one element, as the element path makes it.
template <ElementKind Kind, class U, bool Swap>
float element_value(const char* p) noexcept {
    if constexpr (Kind == ElementKind::Bool) {
        return p[0] != 0 ? 1.0f : 0.0f;
    } else if constexpr (Kind == ElementKind::Signed) {
        // Integer to double (nearest, ties to even), then double to float:
        // two roundings, as the element path does them.
        const auto value = static_cast<std::make_signed_t<U>>(load<U, Swap>(p));
        return static_cast<float>(static_cast<double>(static_cast<long long>(value)));
    } else if constexpr (Kind == ElementKind::Unsigned) {
        return static_cast<float>(static_cast<double>(static_cast<unsigned long long>(load<U, Swap>(p))));
    } else if constexpr (Kind == ElementKind::Half) {
        // Exact in double; the interpreter's own decoder keeps NaN payloads
        // as numpy and memoryview do.
        return static_cast<float>(PyFloat_Unpack2(p, (std::endian::native == std::endian::little) != Swap ? 1 : 0));
    } else if constexpr (Kind == ElementKind::Float32) {
        // float -> double -> float is the identity except that a signalling
        // NaN comes back quiet (the conversions keep the payload and set the
        // quiet bit); the compiler may drop the round trip, so do it here.
        std::uint32_t bits = load<std::uint32_t, Swap>(p);
        bits |= (bits & 0x7fffffffu) > 0x7f800000u ? 0x00400000u : 0u;  // branch-free: NaN only
        return std::bit_cast<float>(bits);
    } else {
        return static_cast<float>(std::bit_cast<double>(load<std::uint64_t, Swap>(p)));
    }
}

template <ElementKind Kind, class U, bool Swap>
void convert_elements(const char* base, Py_ssize_t stride, std::size_t n, float* out) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = element_value<Kind, U, Swap>(base + static_cast<Py_ssize_t>(i) * stride);
    }
}

template <ElementKind Kind, class U>
void convert_elements(const ElementFormat& format, const char* base, Py_ssize_t stride, std::size_t n, float* out) {
    if (format.swap) {
        convert_elements<Kind, U, true>(base, stride, n, out);
    } else {
        convert_elements<Kind, U, false>(base, stride, n, out);
    }
}

template <ElementKind Kind>
void convert_sized(const ElementFormat& format, std::size_t size, const char* base, Py_ssize_t stride, std::size_t n,
                   float* out) {
    switch (size) {
        case 1: convert_elements<Kind, std::uint8_t>(format, base, stride, n, out); break;
        case 2: convert_elements<Kind, std::uint16_t>(format, base, stride, n, out); break;
        case 4: convert_elements<Kind, std::uint32_t>(format, base, stride, n, out); break;
        default: convert_elements<Kind, std::uint64_t>(format, base, stride, n, out); break;
    }
}

// The floats of a buffer object, or nothing when the element path is to
// convert it.
std::optional<std::vector<float>> read_buffer(PyObject* obj, BufferSource source) {
    BufferView buffer;
    if (!buffer.acquire(obj)) return std::nullopt;
    const Py_buffer& view = buffer.view();
    if (view.ndim != 1 || view.shape == nullptr || view.suboffsets != nullptr) return std::nullopt;
    const std::optional<ElementFormat> format = parse_format(view.format, view.itemsize, source);
    if (!format) return std::nullopt;
    const auto n = static_cast<std::size_t>(view.shape[0]);
    const Py_ssize_t stride = view.strides != nullptr ? view.strides[0] : view.itemsize;
    const auto* base = static_cast<const char*>(view.buf);
    const auto size = static_cast<std::size_t>(view.itemsize);
    // No Python runs from here on: the contents cannot change under us.
    std::vector<float> out(n);
    switch (format->kind) {
        case ElementKind::Bool: convert_sized<ElementKind::Bool>(*format, size, base, stride, n, out.data()); break;
        case ElementKind::Signed: convert_sized<ElementKind::Signed>(*format, size, base, stride, n, out.data()); break;
        case ElementKind::Unsigned:
            convert_sized<ElementKind::Unsigned>(*format, size, base, stride, n, out.data());
            break;
        case ElementKind::Half: convert_elements<ElementKind::Half, std::uint16_t>(*format, base, stride, n, out.data()); break;
        case ElementKind::Float32:
            convert_elements<ElementKind::Float32, std::uint32_t>(*format, base, stride, n, out.data());
            break;
        case ElementKind::Float64:
            convert_elements<ElementKind::Float64, std::uint64_t>(*format, base, stride, n, out.data());
            break;
    }
    return out;
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
    if (!PyList_CheckExact(obj) && !PyTuple_CheckExact(obj)) {
        if (const std::optional<BufferSource> source = buffer_source(obj)) {
            if (std::optional<std::vector<float>> read = read_buffer(obj, *source)) return std::move(*read);
        }
    }
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
