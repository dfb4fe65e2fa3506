// bulk_join.cpp: tessaray_bulk's searches of a store against itself: the self-join and the k-NN graph.
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "binding/batch_caller.hpp"
#include "binding/bulk_function.hpp"
#include "binding/convert.hpp"
#include "binding/result_arrays.hpp"
#include "binding/results.hpp"
#include "binding/unlocked.hpp"
#include "core/self_search.hpp"

namespace tessaray::binding {

namespace {

// A new array holding `values`.
template <class T>
Array array_of(const std::vector<T>& values) {
    Array array = new_array(core::bytes_of<T>(values.size()));
    if (!values.empty()) std::memcpy(array.data(), values.data(), values.size() * sizeof(T));
    return array;
}

// ---------------------------------------------------------------------------
// self_join(store, threshold, n_threads=None, *, progress=None)

constexpr const char* kJoinParams[] = {"store", "threshold", "n_threads", "progress"};
constexpr ArgSpec kJoinSpec{nullptr, "self_join", kJoinParams, 2, 3};

PyResult<PyObject*> self_join(const core::Vectorstore& store, const BoundArgs& args) {
    TESSARAY_TRY_ASSIGN(const float threshold, convert_arg("threshold", to_threshold(args[1])));
    TESSARAY_TRY_ASSIGN(const std::optional<std::uint64_t> n_threads,
                        convert_arg("n_threads", to_optional_u64(args[2])));
    TESSARAY_TRY_ASSIGN(PyObject * progress, progress_arg(args[3]));
    core::PairList pairs;
    TESSARAY_TRY(run_watched(progress, [&](const core::SearchWatch& watch) {
        return core::self_join(store, threshold, {0, n_threads, &watch}, pairs);
    }));
    const std::size_t found = pairs.scores.size();
    return triple_of(array_view(array_of(pairs.first), "Q", found, std::nullopt),
                     array_view(array_of(pairs.second), "Q", found, std::nullopt),
                     array_view(array_of(pairs.scores), "f", found, std::nullopt));
}

// ---------------------------------------------------------------------------
// knn_graph(store, k, n_threads=None, *, progress=None)

constexpr const char* kGraphParams[] = {"store", "k", "n_threads", "progress"};
constexpr ArgSpec kGraphSpec{nullptr, "knn_graph", kGraphParams, 2, 3};

PyResult<PyObject*> knn_graph(const core::Vectorstore& store, const BoundArgs& args) {
    TESSARAY_TRY_ASSIGN(const std::uint64_t k, convert_arg("k", to_u64(args[1])));
    TESSARAY_TRY_ASSIGN(const std::optional<std::uint64_t> n_threads,
                        convert_arg("n_threads", to_optional_u64(args[2])));
    TESSARAY_TRY_ASSIGN(PyObject * progress, progress_arg(args[3]));
    const std::size_t n = store.size();
    const std::size_t keep = n == 0 ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(k, n - 1));
    if (keep != 0 && n > SIZE_MAX / keep) core::throw_out_of_memory(SIZE_MAX);
    const Array scores = new_array(core::bytes_of<float>(n * keep));
    const Array ids = new_array(core::bytes_of<std::uint64_t>(n * keep));
    TESSARAY_TRY(run_watched(progress, [&](const core::SearchWatch& watch) {
        auto* s = reinterpret_cast<float*>(scores.data());
        auto* i = reinterpret_cast<std::uint64_t*>(ids.data());
        return core::knn_graph(store, {k, n_threads, &watch}, s, i);
    }));
    return pair_of(array_view(scores, "f", n, keep), array_view(ids, "Q", n, keep));
}

}  // namespace

PyMethodDef self_join_def() {
    return store_function<kJoinSpec, SharedBorrow, self_join>(
        "self_join(store, threshold, n_threads=None, *, progress=None)\n--\n\n"
        "Every pair of rows i < j (positions in insertion order) whose score is at least threshold,\n"
        "each pair once, as three buffers (first uint64, second uint64, scores float32) ordered by\n"
        "first, then second; a pair's score is cosine_similarity of the two stored rows, bit for bit.");
}

PyMethodDef knn_graph_def() {
    return store_function<kGraphSpec, SharedBorrow, knn_graph>(
        "knn_graph(store, k, n_threads=None, *, progress=None)\n--\n\n"
        "For every row, the k best other rows (the row itself left out by position, so an equal row\n"
        "is found), as store.search of that row over the store without it would give them: a pair\n"
        "of buffers (scores float32, ids uint64) of shape (len(store), min(k, len(store) - 1)).");
}

}  // namespace tessaray::binding
