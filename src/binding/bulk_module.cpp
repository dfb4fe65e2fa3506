// bulk_module.cpp: the tessaray_bulk module: many queries, many rows and store files, on tessaray's Vectorstore objects.
//
// Every function takes the store's own borrow, as the store's methods do
// (shared to read, exclusive to write), and holds a reference to it for the
// whole call (store_call.hpp).  The long part of a call (scoring, packing,
// copying, reading or writing a file) runs with the interpreter lock
// released: the borrow, not the lock, keeps the store as it is meanwhile.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "binding/batch_caller.hpp"
#include "binding/bind.hpp"
#include "binding/convert.hpp"
#include "binding/convert_rows.hpp"
#include "binding/fastcall.hpp"
#include "binding/module_def.hpp"
#include "binding/result_arrays.hpp"
#include "binding/results.hpp"
#include "binding/sized_alloc.hpp"
#include "binding/store_call.hpp"
#include "binding/store_class.hpp"
#include "binding/trampoline.hpp"
#include "binding/unlocked.hpp"
#include "binding/vectorstore_object.hpp"
#include "core/batch_search.hpp"
#include "core/search.hpp"
#include "core/store_file.hpp"

namespace tessaray::binding {

namespace {

// The store of a function: its first argument, `store`.
PyResult<VectorstoreObject*> store_of(PyObject*, const BoundArgs& args) { return store_arg(args[0]); }

// The method table entry of a function that runs `Impl` on its store under `Borrow`.
template <const ArgSpec& Spec, class Borrow, PyResult<PyObject*> (*Impl)(StoreAccess<Borrow>, const BoundArgs&)>
PyMethodDef store_function(const char* doc) {
    return fastcall_def<Spec, store_call<store_of, Borrow, Impl>>(doc);
}

[[gnu::cold]] PyErr not_callable(const char* name, PyObject* obj) {
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

// ---------------------------------------------------------------------------
// search_batch(store, queries, top_k, n_threads=None, arrays=False, progress=None)

constexpr const char* kBatchParams[] = {"store", "queries", "top_k", "n_threads", "arrays", "progress"};
constexpr ArgSpec kBatchSpec{nullptr, "search_batch", kBatchParams, 3};
constexpr unsigned kPollMilliseconds = 100;

PyResult<PyObject*> search_batch(const core::Vectorstore& store, const BoundArgs& args) {
    const std::size_t dim = store.vector_size();
    TESSARAY_TRY_ASSIGN(Rows queries, convert_arg("queries", to_rows(args[1], dim, core::query_length_message)));
    TESSARAY_TRY_ASSIGN(const std::uint64_t top_k, convert_arg("top_k", to_u64(args[2])));
    TESSARAY_TRY_ASSIGN(const std::optional<std::uint64_t> n_threads,
                        convert_arg("n_threads", to_optional_u64(args[3])));
    TESSARAY_TRY_ASSIGN(const bool arrays, convert_arg("arrays", to_flag(args[4])));
    PyObject* progress = args[5] != nullptr && args[5] != Py_None ? args[5] : nullptr;
    if (progress != nullptr && PyCallable_Check(progress) == 0) return unexpected(not_callable("progress", progress));

    const std::size_t count = queries.count;
    const std::size_t keep = core::batch_keep(store, top_k);
    if (keep != 0 && count > SIZE_MAX / keep) core::throw_out_of_memory(SIZE_MAX);
    const std::size_t results = count * keep;
    // The answers are written where they are returned from: the arrays, or
    // two plain vectors that the lists are built from.
    Array score_array;
    Array id_array;
    std::vector<float> score_vector;
    std::vector<std::uint64_t> id_vector;
    float* scores = nullptr;
    std::uint64_t* ids = nullptr;
    if (arrays) {
        score_array = new_array(core::bytes_of<float>(results));
        id_array = new_array(core::bytes_of<std::uint64_t>(results));
        scores = reinterpret_cast<float*>(score_array.data());
        ids = reinterpret_cast<std::uint64_t*>(id_array.data());
    } else {
        reserve_or_throw(score_vector, results);
        reserve_or_throw(id_vector, results);
        score_vector.resize(results);
        id_vector.resize(results);
        scores = score_vector.data();
        ids = id_vector.data();
    }
    const float* rows = queries.contiguous();

    bool completed = true;
    BatchCaller caller{nullptr, progress, std::nullopt};
    {
        Unlocked unlocked;
        caller.unlocked = &unlocked;
        const core::SearchWatch watch{BatchCaller::poll, &caller, kPollMilliseconds};
        completed = core::search_batch(store, rows, count, {top_k, n_threads, &watch}, scores, ids);
    }
    if (!completed) return unexpected(std::move(*caller.error));
    if (!arrays) return pair_lists_result(scores, ids, count, keep);
    return pair_of(array_view(score_array, "f", count, keep), array_view(id_array, "Q", count, keep));
}

// ---------------------------------------------------------------------------
// insert_many(store, rows, ids=None)

constexpr const char* kInsertParams[] = {"store", "rows", "ids"};
constexpr ArgSpec kInsertSpec{nullptr, "insert_many", kInsertParams, 2};

PyResult<PyObject*> insert_many(core::Vectorstore& store, const BoundArgs& args) {
    TESSARAY_TRY_ASSIGN(const Rows rows,
                        convert_arg("rows", to_rows(args[1], store.vector_size(), core::vector_length_message)));
    std::vector<std::uint64_t> ids;
    if (args[2] != nullptr && args[2] != Py_None) {
        TESSARAY_TRY_ASSIGN(ids, convert_arg("ids", to_ids(args[2])));
        if (ids.size() != rows.count) {
            return unexpected(PyErr::value_error("ids has length " + std::to_string(ids.size()) + " but rows has " +
                                                 std::to_string(rows.count)));
        }
    } else {
        // Consecutive from the store's length, as long as they fit.
        const std::uint64_t first = store.size();
        if (rows.count != 0 && rows.count - 1 > UINT64_MAX - first) {
            return unexpected(PyErr::lazy(PyExc_OverflowError, "default ids pass 2**64 - 1"));
        }
        reserve_or_throw(ids, rows.count);
        for (std::size_t r = 0; r < rows.count; ++r) ids.push_back(first + r);
    }
    {
        const Unlocked unlocked;
        store.append_rows(rows.count, ids.data(), rows.source());
    }
    return none_result();
}

// ---------------------------------------------------------------------------
// export(store)

constexpr const char* kStoreParams[] = {"store"};
constexpr ArgSpec kExportSpec{nullptr, "export", kStoreParams, 1};

PyResult<PyObject*> export_rows(const core::Vectorstore& store, const BoundArgs&) {
    TESSARAY_TRY(check_row_size(store));
    const std::size_t n = store.size();
    const std::size_t dim = store.vector_size();
    if (dim != 0 && n > SIZE_MAX / dim) core::throw_out_of_memory(SIZE_MAX);
    const Array vectors = new_array(core::bytes_of<float>(n * dim));
    const Array ids = new_array(core::bytes_of<std::uint64_t>(n));
    {
        const Unlocked unlocked;
        store.copy_rows(0, n, reinterpret_cast<float*>(vectors.data()));
        if (n != 0) std::memcpy(ids.data(), store.ids_data(), n * sizeof(std::uint64_t));
    }
    return pair_of(array_view(vectors, "f", n, dim), array_view(ids, "Q", n, std::nullopt));
}

// ---------------------------------------------------------------------------
// memory_size(store)

constexpr ArgSpec kMemorySizeSpec{nullptr, "memory_size", kStoreParams, 1};

PyResult<PyObject*> memory_size(const core::Vectorstore& store, const BoundArgs&) {
    return u64_result(store.reserved_bytes());
}

// ---------------------------------------------------------------------------
// save(store, path) and load(path)

constexpr const char* kSaveParams[] = {"store", "path"};
constexpr ArgSpec kSaveSpec{nullptr, "save", kSaveParams, 2};

PyResult<PyObject*> save(const core::Vectorstore& store, const BoundArgs& args) {
    TESSARAY_TRY_ASSIGN(const std::string path, convert_arg("path", to_path(args[1])));
    TESSARAY_TRY(check_row_size(store));
    Expected<void, core::FileError> saved;
    {
        const Unlocked unlocked;
        saved = core::save_store_file(store, path);
    }
    if (!saved) return unexpected(file_error(saved.error(), args[1]));
    return none_result();
}

constexpr const char* kLoadParams[] = {"path"};
constexpr ArgSpec kLoadSpec{nullptr, "load", kLoadParams, 1};

PyResult<PyObject*> load(PyObject*, const BoundArgs& args) {
    TESSARAY_TRY_ASSIGN(PyObject * cls, store_class());
    TESSARAY_TRY_ASSIGN(const std::string path, convert_arg("path", to_path(args[0])));
    std::optional<Expected<core::Vectorstore, core::FileError>> loaded;
    {
        const Unlocked unlocked;
        loaded.emplace(core::load_store_file(path));
    }
    if (!*loaded) return unexpected(file_error(loaded->error(), args[0]));
    return create_store_object(reinterpret_cast<PyTypeObject*>(cls), std::move(*loaded).value());
}

// ---------------------------------------------------------------------------
// The module: each function with its kind of borrow.

PyMethodDef kFunctions[] = {
    store_function<kBatchSpec, SharedBorrow, search_batch>(
        "search_batch(store, queries, top_k, n_threads=None, arrays=False, progress=None)\n--\n\n"
        "The answers of store.search(query, top_k) for every query, bit for bit: a list of lists of\n"
        "(score, id) tuples, or with arrays=True a pair of buffers (scores float32, ids uint64) of\n"
        "shape (len(queries), min(top_k, len(store))).  progress(done, total) is called now and\n"
        "then with the (query, row) pairs scored so far."),
    store_function<kInsertSpec, ExclusiveBorrow, insert_many>(
        "insert_many(store, rows, ids=None)\n--\n\n"
        "Appends every row with its id (by default len(store), len(store) + 1, ...), as insert() of\n"
        "each row in order would; all or nothing."),
    store_function<kExportSpec, SharedBorrow, export_rows>(
        "export(store)\n--\n\n"
        "Copies of the stored vectors (float32, len(store) x vector_size) and ids (uint64), in\n"
        "insertion order, as buffers that numpy.asarray takes without copying."),
    store_function<kMemorySizeSpec, SharedBorrow, memory_size>(
        "memory_size(store)\n--\n\n"
        "Bytes of memory the store holds for its entries: the packed blocks, the tail, the norms\n"
        "and the ids, spare capacity included (the object itself and its Python wrapper aside)."),
    store_function<kSaveSpec, SharedBorrow, save>(
        "save(store, path)\n--\n\n"
        "Writes the store to path as an uncompressed .npz holding vectors.npy and ids.npy."),
    fastcall_def<kLoadSpec, load>("load(path)\n--\n\n"
                                  "The store saved at path, after checking the whole file."),
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject* module) noexcept {
    share_panic_class();
    return call_boundary<>(-1, [&]() -> PyResult<int> {
        // A tessaray that this module cannot read fails the import, not the first call.
        TESSARAY_TRY(store_class());
        if (PyModule_AddFunctions(module, kFunctions) != 0) return unexpected(fetch());
        Ref all = Ref::steal(
            Py_BuildValue("[ssssss]", "search_batch", "insert_many", "export", "memory_size", "save", "load"));
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
