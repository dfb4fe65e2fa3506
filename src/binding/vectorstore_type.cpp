// vectorstore_type.cpp: the Vectorstore class, its object record and its entry points.
#include "binding/vectorstore_type.hpp"

#include <cstdio>
#include <new>
#include <string>
#include <type_traits>

#include "binding/bind.hpp"
#include "binding/borrow.hpp"
#include "binding/convert.hpp"
#include "binding/fastcall.hpp"
#include "binding/once_cell.hpp"
#include "binding/results.hpp"
#include "binding/store_call.hpp"
#include "binding/trampoline.hpp"
#include "binding/vectorstore_object.hpp"
#include "core/search.hpp"
#include "core/store.hpp"

namespace tessaray::binding {

namespace {

OnceCell type_cell;

// The receiver as a store object, or the receiver error.
PyResult<VectorstoreObject*> receiver(PyObject* self) {
    TESSARAY_TRY_ASSIGN(PyObject * cls, vectorstore_class());
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    if (self == nullptr || (Py_TYPE(self) != type && !PyType_IsSubtype(Py_TYPE(self), type))) {
        return unexpected(PyErr::receiver(self != nullptr ? self : Py_None, cls));
    }
    return reinterpret_cast<VectorstoreObject*>(self);
}

// The deallocation slot.
void vectorstore_dealloc(PyObject* self) noexcept {
    dealloc_boundary([&] {
        PyTypeObject* type = Py_TYPE(self);
        auto* record = reinterpret_cast<VectorstoreObject*>(self);
        record->inner.~PyVectorstore();
        record->borrow.~BorrowChecker();
        // The class and its base must outlive the free function's use of them.
        Ref keep_type = Ref::borrow(reinterpret_cast<PyObject*>(type));
        Ref keep_base = Ref::borrow(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
        type->tp_free(self);
        Py_DECREF(type);  // the reference every instance of a heap type holds
    });
}

// ---------------------------------------------------------------------------
// The entry points' shapes.  Each entry point below states only what is its
// own: its argument description, its kind of borrow (in the tables), its
// conversions and its core call; store_call.hpp holds the order of work.

// The store of a method: its receiver.
PyResult<VectorstoreObject*> receiver_of(PyObject* self, const BoundArgs&) { return receiver(self); }

// The method table entry of a method that runs `Impl` on the receiver's
// store under `Borrow`.
template <const ArgSpec& Spec, class Borrow, PyResult<PyObject*> (*Impl)(StoreAccess<Borrow>, const BoundArgs&)>
PyMethodDef method(const char* doc) {
    return fastcall_def<Spec, store_call<receiver_of, Borrow, Impl>>(doc);
}

// What a slot returns after raising: null, or -1 for a count.
template <class T>
constexpr T failure_value() {
    if constexpr (std::is_pointer_v<T>) {
        return nullptr;
    } else {
        return -1;
    }
}

// A slot without arguments (len(), repr()): runs `Impl` on the store under
// `Borrow`.
template <class Borrow, auto Impl,
          class T = typename std::invoke_result_t<decltype(Impl), StoreAccess<Borrow>>::value_type>
T query(PyObject* self) noexcept {
    return call_boundary<>(failure_value<T>(), [&] { return on_store<Borrow>(receiver(self), Impl); });
}

// An attribute getter: a query with the getter's signature.
template <class Borrow, auto Impl>
PyObject* getter(PyObject* self, void*) noexcept {
    return query<Borrow, Impl>(self);
}

// The constructor (tuple and dictionary): binds the arguments to `Spec`, then
// runs `Impl` for the class being instantiated.
template <const ArgSpec& Spec, PyResult<PyObject*> (*Impl)(PyTypeObject*, const BoundArgs&)>
PyObject* constructor(PyTypeObject* cls, PyObject* args, PyObject* kwargs) noexcept {
    return call_boundary<>(static_cast<PyObject*>(nullptr), [&]() -> PyResult<PyObject*> {
        TESSARAY_TRY_ASSIGN(const BoundArgs bound, bind_tuple_dict(Spec, args, kwargs));
        return Impl(cls, bound);
    });
}

// The core's result, its refusal (a wrong vector length) as a ValueError.
template <class T>
PyResult<T> domain(Expected<T, std::string>&& result) {
    if (!result) return unexpected(PyErr::value_error(std::move(result).error()));
    if constexpr (!std::is_void_v<T>) {
        return std::move(result).value();
    } else {
        return {};
    }
}

// ---------------------------------------------------------------------------
// Vectorstore(vector_size, vectors=None)

constexpr const char* kNewParams[] = {"vector_size", "vectors"};
constexpr ArgSpec kNewSpec{"Vectorstore", "__new__", kNewParams, 1};

PyResult<PyObject*> construct(PyTypeObject* cls, const BoundArgs& args) {
    TESSARAY_TRY_ASSIGN(const std::uint64_t vector_size, convert_arg("vector_size", to_u64(args[0])));
    std::vector<core::StoredVector> pairs;
    if (args[1] != nullptr && args[1] != Py_None) {
        TESSARAY_TRY_ASSIGN(pairs, convert_arg("vectors", to_pairs(args[1])));
    }
    core::Vectorstore store(static_cast<std::size_t>(vector_size));
    for (core::StoredVector& pair : pairs) {
        TESSARAY_TRY(domain(store.insert(pair.vector, pair.id)));
        // The store holds its own copy now; give the converted memory back early.
        std::vector<float>().swap(pair.vector);
    }
    return create_store_object(cls, std::move(store));
}

// ---------------------------------------------------------------------------
// len(), repr() and vector_size

PyResult<Py_ssize_t> length(const core::Vectorstore& store) { return static_cast<Py_ssize_t>(store.size()); }

PyResult<PyObject*> repr(const core::Vectorstore& store) {
    char text[96];
    const int n =
        std::snprintf(text, sizeof text, "Vectorstore(vector_size=%zu, len=%zu)", store.vector_size(), store.size());
    return str_result(std::string_view(text, static_cast<std::size_t>(n)));
}

PyResult<PyObject*> vector_size(const core::Vectorstore& store) { return u64_result(store.vector_size()); }

// ---------------------------------------------------------------------------
// insert(vector, id)

constexpr const char* kInsertParams[] = {"vector", "id"};
constexpr ArgSpec kInsertSpec{"Vectorstore", "insert", kInsertParams, 2};

PyResult<PyObject*> insert(core::Vectorstore& store, const BoundArgs& args) {
    TESSARAY_TRY_ASSIGN(const std::vector<float> vector, convert_arg("vector", to_float_array(args[0])));
    TESSARAY_TRY_ASSIGN(const std::uint64_t id, convert_arg("id", to_u64(args[1])));
    TESSARAY_TRY(domain(store.insert(vector, id)));
    return none_result();
}

// ---------------------------------------------------------------------------
// search(vector, top_k) and parallel_search(vector, top_k, n_threads=None)

constexpr const char* kSearchParams[] = {"vector", "top_k"};
constexpr ArgSpec kSearchSpec{"Vectorstore", "search", kSearchParams, 2};

PyResult<PyObject*> search(const core::Vectorstore& store, const BoundArgs& args) {
    TESSARAY_TRY_ASSIGN(const std::vector<float> query, convert_arg("vector", to_float_array(args[0])));
    TESSARAY_TRY_ASSIGN(const std::uint64_t top_k, convert_arg("top_k", to_u64(args[1])));
    TESSARAY_TRY_ASSIGN(const auto found, domain(core::search(store, query, top_k)));
    return pairs_result(found);
}

constexpr const char* kParallelParams[] = {"vector", "top_k", "n_threads"};
constexpr ArgSpec kParallelSpec{"Vectorstore", "parallel_search", kParallelParams, 2};

PyResult<PyObject*> parallel_search(const core::Vectorstore& store, const BoundArgs& args) {
    TESSARAY_TRY_ASSIGN(const std::vector<float> query, convert_arg("vector", to_float_array(args[0])));
    TESSARAY_TRY_ASSIGN(const std::uint64_t top_k, convert_arg("top_k", to_u64(args[1])));
    TESSARAY_TRY_ASSIGN(const std::optional<std::uint64_t> n_threads,
                        convert_arg("n_threads", to_optional_u64(args[2])));
    TESSARAY_TRY_ASSIGN(const auto found, domain(core::parallel_search(store, query, {top_k, n_threads})));
    return pairs_result(found);
}

// ---------------------------------------------------------------------------
// The class: each entry point with its kind of borrow.

PyMethodDef kMethods[] = {
    method<kInsertSpec, ExclusiveBorrow, insert>("insert($self, vector, id)\n--\n\n"),
    method<kSearchSpec, SharedBorrow, search>("search($self, vector, top_k)\n--\n\n"),
    method<kParallelSpec, SharedBorrow, parallel_search>(
        "parallel_search($self, vector, top_k, n_threads=None)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"vector_size", getter<SharedBorrow, vector_size>, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyResult<PyObject*> make_class() {
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("Vectorstore(vector_size, vectors=None)\n--\n\n")},
        {Py_tp_new, reinterpret_cast<void*>(constructor<kNewSpec, construct>)},
        {Py_mp_length, reinterpret_cast<void*>(query<SharedBorrow, length>)},
        {Py_tp_repr, reinterpret_cast<void*>(query<SharedBorrow, repr>)},
        {Py_tp_methods, kMethods},
        {Py_tp_getset, kGetSet},
        {Py_tp_base, &PyBaseObject_Type},
        {Py_tp_dealloc, reinterpret_cast<void*>(vectorstore_dealloc)},
        {0, nullptr},
    };
    PyType_Spec spec{"builtins.Vectorstore", static_cast<int>(sizeof(VectorstoreObject)), 0, Py_TPFLAGS_DEFAULT, slots};
    PyObject* cls = PyType_FromSpec(&spec);
    if (cls == nullptr) {
        PyErr cause = fetch();
        PyErr err = PyErr::lazy(PyExc_RuntimeError, "An error occurred while initializing class Vectorstore");
        PyException_SetCause(make_normalized(err), Py_NewRef(make_normalized(cause)));
        return unexpected(std::move(err));
    }
    return cls;
}

}  // namespace

PyResult<PyObject*> vectorstore_class() { return type_cell.get_or_try_init(make_class); }

}  // namespace tessaray::binding
