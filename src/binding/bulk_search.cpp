// bulk_search.cpp: tessaray_bulk's searches: many queries at once, their answers as lists or arrays.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "binding/batch_caller.hpp"
#include "binding/bulk_function.hpp"
#include "binding/convert.hpp"
#include "binding/convert_rows.hpp"
#include "binding/result_arrays.hpp"
#include "binding/results.hpp"
#include "binding/sized_alloc.hpp"
#include "binding/unlocked.hpp"
#include "core/batch_search.hpp"
#include "core/search.hpp"

namespace tessaray::binding {

namespace {

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

}  // namespace

PyMethodDef search_batch_def() {
    return store_function<kBatchSpec, SharedBorrow, search_batch>(
        "search_batch(store, queries, top_k, n_threads=None, arrays=False, progress=None)\n--\n\n"
        "The answers of store.search(query, top_k) for every query, bit for bit: a list of lists of\n"
        "(score, id) tuples, or with arrays=True a pair of buffers (scores float32, ids uint64) of\n"
        "shape (len(queries), min(top_k, len(store))).  progress(done, total) is called now and\n"
        "then with the (query, row) pairs scored so far.");
}

}  // namespace tessaray::binding
