// batch_codes.cpp: a batch's queries and panels in 8-bit codes, which the coded bounded tile rules rows out with.
#include "core/batch_codes.hpp"

#include "core/out_of_memory.hpp"
#include "core/score_bound.hpp"

namespace tessaray::core {

QueryCodes code_queries(const KernelSet& kernels, const float* queries, std::size_t count, std::size_t dim) {
    QueryCodes out;
    if (kernels.codes.bound_codes == nullptr || count < kCodedQueries || dim == 0 || dim > kBoundMaxDim ||
        kernels.tile_queries > kCodeTileQueries) {
        return out;
    }
    out.kernels = &kernels.codes;
    out.stride = code_groups(dim) * kernels.codes.query_group_bytes;
    out.codes = allocate_vector<std::uint8_t>(count * out.stride);
    out.coded = allocate_vector<QueryCode>(count);
    const WidenQueryFn widen = kernels.codes.widen_query;
    std::vector<std::uint8_t> bytes = allocate_vector<std::uint8_t>(widen != nullptr ? code_groups(dim) * 4 : 0);
    for (std::size_t q = 0; q < count; ++q) {
        std::uint8_t* codes = out.codes.data() + q * out.stride;
        out.coded[q] = code_query(queries + q * dim, dim, widen != nullptr ? bytes.data() : codes);
        if (widen != nullptr) widen(bytes.data(), dim, codes);
    }
    return out;
}

PanelBuffers::PanelBuffers(bool coded, std::size_t workers, std::size_t blocks, std::size_t dim)
        : blocks_(coded ? blocks : 0), block_bytes_(code_groups(dim) * 4 * kBlockRows) {
    codes_ = allocate_vector<std::int8_t>(workers * blocks_ * block_bytes_);
    rows_ = allocate_vector<float>(workers * 4 * blocks_ * kBlockRows);
    always_ = allocate_vector<std::uint64_t>(workers * blocks_);
}

CodedRows PanelBuffers::of(std::size_t worker) noexcept {
    const std::size_t rows = blocks_ * kBlockRows;
    float* base = rows_.data() + worker * 4 * rows;
    return {codes_.data() + worker * blocks_ * block_bytes_,
            base,
            base + rows,
            base + 2 * rows,
            base + 3 * rows,
            always_.data() + worker * blocks_};
}

}  // namespace tessaray::core
