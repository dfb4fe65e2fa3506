// vectorstore_type.cpp: the Vectorstore class, its object record and its entry points.
#include "binding/vectorstore_type.hpp"

#include <new>
#include <string>

#include "binding/bind.hpp"
#include "binding/borrow.hpp"
#include "binding/convert.hpp"
#include "binding/once_cell.hpp"
#include "binding/results.hpp"
#include "binding/trampoline.hpp"
#include "core/search.hpp"
#include "core/store.hpp"

namespace tessaray::binding {

namespace {

// The binding's hold on one core store.
struct PyVectorstore {
    core::Vectorstore store;
};

// The layout of a Vectorstore instance.
struct VectorstoreObject {
    PyObject_HEAD
    PyVectorstore inner;
    BorrowChecker borrow;
};

OnceCell type_cell;

// The receiver as a store object, or the receiver error.
PyResult<VectorstoreObject*> receiver(PyObject* self) {
    TRY_ASSIGN(PyObject * cls, vectorstore_class());
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    if (self == nullptr || (Py_TYPE(self) != type && !PyType_IsSubtype(Py_TYPE(self), type))) {
        return unexpected(PyErr::receiver(self != nullptr ? self : Py_None, cls));
    }
    return reinterpret_cast<VectorstoreObject*>(self);
}

// The fresh object of class `cls` that takes over `store`.
PyResult<PyObject*> create_instance(PyTypeObject* cls, core::Vectorstore&& store) {
    Ref empty = Ref::steal(checked(PyTuple_New(0)));
    PyObject* obj = PyBaseObject_Type.tp_new(cls, empty.get(), nullptr);
    if (obj == nullptr) return unexpected(fetch());
    auto* record = reinterpret_cast<VectorstoreObject*>(obj);
    new (&record->inner) PyVectorstore{std::move(store)};
    new (&record->borrow) BorrowChecker();
    return obj;
}

// ---------------------------------------------------------------------------
// Argument descriptions.

constexpr const char* kNewParams[] = {"vector_size", "vectors"};
constexpr ArgSpec kNewSpec{"Vectorstore", "__new__", kNewParams, 1};
constexpr const char* kInsertParams[] = {"vector", "id"};
constexpr ArgSpec kInsertSpec{"Vectorstore", "insert", kInsertParams, 2};
constexpr const char* kSearchParams[] = {"vector", "top_k"};
constexpr ArgSpec kSearchSpec{"Vectorstore", "search", kSearchParams, 2};
constexpr const char* kParallelParams[] = {"vector", "top_k", "n_threads"};
constexpr ArgSpec kParallelSpec{"Vectorstore", "parallel_search", kParallelParams, 2};

// ---------------------------------------------------------------------------
// Entry points.

PyObject* vectorstore_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) noexcept {
    return call_boundary<>(static_cast<PyObject*>(nullptr), [&]() -> PyResult<PyObject*> {
        TRY_ASSIGN(const BoundArgs slots, bind_tuple_dict(kNewSpec, args, kwargs));
        TRY_ASSIGN(const std::uint64_t vector_size, convert_arg("vector_size", to_u64(slots[0])));
        std::vector<core::StoredVector> pairs;
        if (slots[1] != nullptr && slots[1] != Py_None) {
            TRY_ASSIGN(pairs, convert_arg("vectors", to_pairs(slots[1])));
        }
        core::Vectorstore store(static_cast<std::size_t>(vector_size));
        for (core::StoredVector& pair : pairs) {
            auto inserted = store.insert(pair.vector, pair.id);
            if (!inserted) return unexpected(PyErr::value_error(std::move(inserted).error()));
            // The store holds its own copy now; give the converted memory back early.
            std::vector<float>().swap(pair.vector);
        }
        return create_instance(cls, std::move(store));
    });
}

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

Py_ssize_t vectorstore_len(PyObject* self) noexcept {
    return call_boundary<>(Py_ssize_t(-1), [&]() -> PyResult<Py_ssize_t> {
        TRY_ASSIGN(VectorstoreObject * obj, receiver(self));
        TRY_ASSIGN(SharedBorrow borrow, SharedBorrow::take(obj->borrow));
        return static_cast<Py_ssize_t>(obj->inner.store.size());
    });
}

PyObject* vectorstore_repr(PyObject* self) noexcept {
    return call_boundary<>(static_cast<PyObject*>(nullptr), [&]() -> PyResult<PyObject*> {
        TRY_ASSIGN(VectorstoreObject * obj, receiver(self));
        TRY_ASSIGN(SharedBorrow borrow, SharedBorrow::take(obj->borrow));
        const core::Vectorstore& store = obj->inner.store;
        char text[96];
        const int n = std::snprintf(text, sizeof text, "Vectorstore(vector_size=%zu, len=%zu)", store.vector_size(),
                                    store.size());
        return str_result(std::string_view(text, static_cast<std::size_t>(n)));
    });
}

PyObject* vectorstore_get_vector_size(PyObject* self, void*) noexcept {
    return call_boundary<>(static_cast<PyObject*>(nullptr), [&]() -> PyResult<PyObject*> {
        TRY_ASSIGN(VectorstoreObject * obj, receiver(self));
        TRY_ASSIGN(SharedBorrow borrow, SharedBorrow::take(obj->borrow));
        return u64_result(obj->inner.store.vector_size());
    });
}

PyObject* vectorstore_insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_boundary<>(static_cast<PyObject*>(nullptr), [&]() -> PyResult<PyObject*> {
        TRY_ASSIGN(const BoundArgs slots, bind_vectorcall(kInsertSpec, args, nargs, kwnames));
        TRY_ASSIGN(VectorstoreObject * obj, receiver(self));
        const Ref keep_self = Ref::borrow(self);
        TRY_ASSIGN(ExclusiveBorrow borrow, ExclusiveBorrow::take(obj->borrow));
        TRY_ASSIGN(const std::vector<float> vector, convert_arg("vector", to_float_array(slots[0])));
        TRY_ASSIGN(const std::uint64_t id, convert_arg("id", to_u64(slots[1])));
        auto inserted = obj->inner.store.insert(vector, id);
        if (!inserted) return unexpected(PyErr::value_error(std::move(inserted).error()));
        return none_result();
    });
}

PyObject* vectorstore_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_boundary<>(static_cast<PyObject*>(nullptr), [&]() -> PyResult<PyObject*> {
        TRY_ASSIGN(const BoundArgs slots, bind_vectorcall(kSearchSpec, args, nargs, kwnames));
        TRY_ASSIGN(VectorstoreObject * obj, receiver(self));
        const Ref keep_self = Ref::borrow(self);
        TRY_ASSIGN(SharedBorrow borrow, SharedBorrow::take(obj->borrow));
        TRY_ASSIGN(const std::vector<float> query, convert_arg("vector", to_float_array(slots[0])));
        TRY_ASSIGN(const std::uint64_t top_k, convert_arg("top_k", to_u64(slots[1])));
        auto found = core::search(obj->inner.store, query, top_k);
        if (!found) return unexpected(PyErr::value_error(std::move(found).error()));
        return pairs_result(found.value());
    });
}

PyObject* vectorstore_parallel_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) noexcept {
    return call_boundary<>(static_cast<PyObject*>(nullptr), [&]() -> PyResult<PyObject*> {
        TRY_ASSIGN(const BoundArgs slots, bind_vectorcall(kParallelSpec, args, nargs, kwnames));
        TRY_ASSIGN(VectorstoreObject * obj, receiver(self));
        const Ref keep_self = Ref::borrow(self);
        TRY_ASSIGN(SharedBorrow borrow, SharedBorrow::take(obj->borrow));
        TRY_ASSIGN(const std::vector<float> query, convert_arg("vector", to_float_array(slots[0])));
        TRY_ASSIGN(const std::uint64_t top_k, convert_arg("top_k", to_u64(slots[1])));
        TRY_ASSIGN(const std::optional<std::uint64_t> n_threads,
                   convert_arg("n_threads", to_optional_u64(slots[2])));
        auto found = core::parallel_search(obj->inner.store, query, top_k, n_threads);
        if (!found) return unexpected(PyErr::value_error(std::move(found).error()));
        return pairs_result(found.value());
    });
}

// ---------------------------------------------------------------------------
// The class.

PyMethodDef kMethods[] = {
    {"insert", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vectorstore_insert)),
     METH_FASTCALL | METH_KEYWORDS, "insert($self, vector, id)\n--\n\n"},
    {"search", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vectorstore_search)),
     METH_FASTCALL | METH_KEYWORDS, "search($self, vector, top_k)\n--\n\n"},
    {"parallel_search", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vectorstore_parallel_search)),
     METH_FASTCALL | METH_KEYWORDS, "parallel_search($self, vector, top_k, n_threads=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"vector_size", vectorstore_get_vector_size, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyResult<PyObject*> make_class() {
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("Vectorstore(vector_size, vectors=None)\n--\n\n")},
        {Py_tp_new, reinterpret_cast<void*>(vectorstore_new)},
        {Py_mp_length, reinterpret_cast<void*>(vectorstore_len)},
        {Py_tp_repr, reinterpret_cast<void*>(vectorstore_repr)},
        {Py_tp_methods, kMethods},
        {Py_tp_getset, kGetSet},
        {Py_tp_base, &PyBaseObject_Type},
        {Py_tp_dealloc, reinterpret_cast<void*>(vectorstore_dealloc)},
        {0, nullptr},
    };
    PyType_Spec spec{"builtins.Vectorstore", static_cast<int>(sizeof(VectorstoreObject)), 0, Py_TPFLAGS_DEFAULT,
                     slots};
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
