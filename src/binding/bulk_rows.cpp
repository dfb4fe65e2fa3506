// bulk_rows.cpp: tessaray_bulk's functions on the rows themselves: many appended at once, all copied out, their memory, a copy without some.
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding/bulk_function.hpp"
#include "binding/convert.hpp"
#include "binding/convert_rows.hpp"
#include "binding/result_arrays.hpp"
#include "binding/results.hpp"
#include "binding/sized_alloc.hpp"
#include "binding/unlocked.hpp"
#include "binding/vectorstore_object.hpp"
#include "core/id_match.hpp"
#include "core/store_select.hpp"

namespace tessaray::binding {

namespace {

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
// without(store, ids)

constexpr const char* kWithoutParams[] = {"store", "ids"};
constexpr ArgSpec kWithoutSpec{nullptr, "without", kWithoutParams, 2};

// A new store of the rows whose id is not listed, in their order: the store
// is append-only, so rows leave by a compacted copy, never in place.
PyResult<PyObject*> without(const core::Vectorstore& store, const BoundArgs& args) {
    TESSARAY_TRY_ASSIGN(PyObject * cls, store_class());
    TESSARAY_TRY_ASSIGN(const std::vector<std::uint64_t> ids, convert_arg("ids", to_ids(args[1])));
    std::optional<core::Vectorstore> kept;
    {
        const Unlocked unlocked;
        const std::vector<std::uint64_t> drop = core::rows_with_ids(store, ids);
        kept.emplace(core::without_rows(store, drop));
    }
    return create_store_object(reinterpret_cast<PyTypeObject*>(cls), std::move(*kept));
}

}  // namespace

PyMethodDef insert_many_def() {
    return store_function<kInsertSpec, ExclusiveBorrow, insert_many>(
        "insert_many(store, rows, ids=None)\n--\n\n"
        "Appends every row with its id (by default len(store), len(store) + 1, ...), as insert() of\n"
        "each row in order would; all or nothing.");
}

PyMethodDef export_def() {
    return store_function<kExportSpec, SharedBorrow, export_rows>(
        "export(store)\n--\n\n"
        "Copies of the stored vectors (float32, len(store) x vector_size) and ids (uint64), in\n"
        "insertion order, as buffers that numpy.asarray takes without copying.");
}

PyMethodDef memory_size_def() {
    return store_function<kMemorySizeSpec, SharedBorrow, memory_size>(
        "memory_size(store)\n--\n\n"
        "Bytes of memory the store holds for its entries: the packed blocks, the tail, the norms\n"
        "and the ids, spare capacity included (the object itself and its Python wrapper aside).");
}

PyMethodDef without_def() {
    return store_function<kWithoutSpec, SharedBorrow, without>(
        "without(store, ids)\n--\n\n"
        "A new Vectorstore of the rows of store whose id is not among ids, in their order, as\n"
        "insert() of each of them would build it; store itself is left as it is.");
}

}  // namespace tessaray::binding
