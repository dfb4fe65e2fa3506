// bulk_search.cpp: tessaray_bulk's searches: many queries at once, their answers as lists or arrays.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "binding/batch_caller.hpp"
#include "binding/bulk_function.hpp"
#include "binding/convert.hpp"
#include "binding/convert_allow.hpp"
#include "binding/convert_rows.hpp"
#include "binding/result_arrays.hpp"
#include "binding/results.hpp"
#include "binding/sized_alloc.hpp"
#include "binding/unlocked.hpp"
#include "core/batch_search.hpp"
#include "core/listed_search.hpp"
#include "core/range_search.hpp"
#include "core/search.hpp"

namespace tessaray::binding {

namespace {

// ---------------------------------------------------------------------------
// search_batch(store, queries, top_k, n_threads=None, arrays=False, progress=None, *, allow=None)

constexpr const char* kBatchParams[] = {"store", "queries", "top_k", "n_threads", "arrays", "progress", "allow"};
constexpr ArgSpec kBatchSpec{nullptr, "search_batch", kBatchParams, 3, 6};

std::optional<core::RowFilter> filter_of(const std::optional<AllowedRows>& allowed) {
    return allowed ? allowed->filter() : std::nullopt;
}

// Per-query lists of rows, if `allow` gave them.
const core::RowLists* lists_of(const std::optional<AllowedRows>& allowed) {
    return allowed && allowed->lists ? &*allowed->lists : nullptr;
}

PyResult<PyObject*> search_batch(const core::Vectorstore& store, const BoundArgs& args) {
    const std::size_t dim = store.vector_size();
    TESSARAY_TRY_ASSIGN(Rows queries, convert_arg("queries", to_rows(args[1], dim, core::query_length_message)));
    TESSARAY_TRY_ASSIGN(const std::uint64_t top_k, convert_arg("top_k", to_u64(args[2])));
    TESSARAY_TRY_ASSIGN(const std::optional<std::uint64_t> n_threads,
                        convert_arg("n_threads", to_optional_u64(args[3])));
    TESSARAY_TRY_ASSIGN(const bool arrays, convert_arg("arrays", to_flag(args[4])));
    TESSARAY_TRY_ASSIGN(PyObject * progress, progress_arg(args[5]));
    TESSARAY_TRY_ASSIGN(const std::optional<AllowedRows> allowed,
                        convert_arg("allow", to_allowed_rows(args[6], store, queries.count)));
    const std::optional<core::RowFilter> filter = filter_of(allowed);
    const core::RowLists* lists = lists_of(allowed);

    const std::size_t count = queries.count;
    const std::size_t keep = lists != nullptr
                                 ? core::listed_width(*lists, top_k)
                                 : core::batch_keep(store, {top_k, n_threads, nullptr, filter ? &*filter : nullptr});
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

    TESSARAY_TRY(run_watched(progress, [&](const core::SearchWatch& watch) {
        const core::SearchOptions options{top_k, n_threads, &watch, filter ? &*filter : nullptr};
        if (lists != nullptr) return core::search_listed(store, rows, count, *lists, options, scores, ids);
        return core::search_batch(store, rows, count, options, scores, ids);
    }));
    if (!arrays && lists != nullptr) {
        // Each query's own number of answers: min(top_k, the rows it lists).
        std::vector<std::uint64_t> lengths;
        reserve_or_throw(lengths, count);
        for (std::size_t q = 0; q < count; ++q) lengths.push_back(std::min(top_k, lists->lims[q + 1] - lists->lims[q]));
        return pair_lists_result(scores, ids, count, keep, lengths.data());
    }
    if (!arrays) return pair_lists_result(scores, ids, count, keep);
    return pair_of(array_view(score_array, "f", count, keep), array_view(id_array, "Q", count, keep));
}

// ---------------------------------------------------------------------------
// range_search(store, queries, threshold, n_threads=None, *, allow=None, max_results=None, progress=None)

constexpr const char* kRangeParams[] = {"store", "queries",     "threshold", "n_threads",
                                        "allow", "max_results", "progress"};
constexpr ArgSpec kRangeSpec{nullptr, "range_search", kRangeParams, 3, 4};

PyResult<PyObject*> range_search(const core::Vectorstore& store, const BoundArgs& args) {
    TESSARAY_TRY_ASSIGN(Rows queries,
                        convert_arg("queries", to_rows(args[1], store.vector_size(), core::query_length_message)));
    TESSARAY_TRY_ASSIGN(const float threshold, convert_arg("threshold", to_threshold(args[2])));
    TESSARAY_TRY_ASSIGN(const std::optional<std::uint64_t> n_threads,
                        convert_arg("n_threads", to_optional_u64(args[3])));
    TESSARAY_TRY_ASSIGN(const std::optional<AllowedRows> allowed,
                        convert_arg("allow", to_allowed_rows(args[4], store, queries.count)));
    TESSARAY_TRY_ASSIGN(const std::optional<std::uint64_t> max_results,
                        convert_arg("max_results", to_optional_u64(args[5])));
    TESSARAY_TRY_ASSIGN(PyObject * progress, progress_arg(args[6]));
    const std::optional<core::RowFilter> filter = filter_of(allowed);
    const core::RowLists* lists = lists_of(allowed);

    const std::size_t count = queries.count;
    const float* rows = queries.contiguous();
    core::RangeAnswers answers;
    TESSARAY_TRY_ASSIGN(const core::RangeEnd end, run_watched(progress, [&](const core::SearchWatch& watch) {
                            const core::SearchOptions options{0, n_threads, &watch, filter ? &*filter : nullptr};
                            const std::uint64_t most = max_results.value_or(UINT64_MAX);
                            if (lists != nullptr) {
                                return core::range_search_listed(store, rows, count, *lists, options, threshold, most,
                                                                 answers);
                            }
                            return core::range_search(store, rows, count, options, threshold, most, answers);
                        }));
    if (end == core::RangeEnd::over) {
        return unexpected(PyErr::value_error("more than max_results=" + std::to_string(*max_results) +
                                             " rows are at or above the threshold"));
    }
    const std::size_t found = answers.entries.size();
    const Array lims = new_array(core::bytes_of<std::uint64_t>(count + 1));
    const Array scores = new_array(core::bytes_of<float>(found));
    const Array ids = new_array(core::bytes_of<std::uint64_t>(found));
    {
        const Unlocked unlocked;
        std::memcpy(lims.data(), answers.lims.data(), (count + 1) * sizeof(std::uint64_t));
        auto* s = reinterpret_cast<float*>(scores.data());
        auto* i = reinterpret_cast<std::uint64_t*>(ids.data());
        for (std::size_t r = 0; r < found; ++r) {
            s[r] = answers.entries[r].score;
            i[r] = store.id(answers.entries[r].index);
        }
    }
    return triple_of(array_view(lims, "Q", count + 1, std::nullopt), array_view(scores, "f", found, std::nullopt),
                     array_view(ids, "Q", found, std::nullopt));
}

}  // namespace

PyMethodDef search_batch_def() {
    return store_function<kBatchSpec, SharedBorrow, search_batch>(
        "search_batch(store, queries, top_k, n_threads=None, arrays=False, progress=None, *, allow=None)\n--\n\n"
        "The answers of store.search(query, top_k) for every query, bit for bit: a list of lists of\n"
        "(score, id) tuples, or with arrays=True a pair of buffers (scores float32, ids uint64) of\n"
        "shape (len(queries), min(top_k, allowed rows)).  progress(done, total) is called now and\n"
        "then with the (query, row) pairs scored so far.  allow: a boolean row mask of len(store), or\n"
        "ids (a buffer or iterable of integers): the answers are those of a store holding only the\n"
        "allowed rows (the rows whose id is listed), in their order.  allow=(lims, ids) gives query q\n"
        "its own ids, ids[lims[q]:lims[q+1]]; with arrays=True, a query with fewer answers than the\n"
        "width has its row completed with NaN scores and ids 2**64 - 1.");
}

PyMethodDef range_search_def() {
    return store_function<kRangeSpec, SharedBorrow, range_search>(
        "range_search(store, queries, threshold, n_threads=None, *, allow=None, max_results=None, progress=None)\n"
        "--\n\n"
        "Every row whose score for a query is at least threshold (a NaN score never is), as three\n"
        "buffers (lims uint64, scores float32, ids uint64): query q's rows are scores[lims[q]:lims[q+1]]\n"
        "and ids[lims[q]:lims[q+1]], best first, equal scores in insertion order.  allow as in\n"
        "search_batch.  When more than max_results rows qualify over all queries, the search stops\n"
        "as soon as it knows and raises ValueError, having kept no more than max_results of them.");
}

}  // namespace tessaray::binding
