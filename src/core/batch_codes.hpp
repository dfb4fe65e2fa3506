// batch_codes.hpp: a batch's queries and panels in 8-bit codes, which the coded bounded tile rules rows out with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/kernel.hpp"

namespace tessaray::core {

// The fewest queries for which a batch codes its panels.  Each panel's rows
// are coded once per batch, which costs about what the codes save over 20
// to 30 queries (against the float tile at 200,000 x 768: 1.02 x at 16
// queries, 1.01 x at 24, 0.91 x at 32).
inline constexpr std::size_t kCodedQueries = 32;

// Every query coded (code_query()), or nothing where the batch sums in
// floats: with fewer than kCodedQueries queries, on a CPU without the coded
// kernels, or with a kernel level that forgoes them.
struct QueryCodes {
    const CodeKernels* kernels = nullptr;  // null: not coded
    std::size_t stride = 0;                // bytes per query's codes
    std::vector<std::uint8_t> codes;
    std::vector<QueryCode> coded;
};
QueryCodes code_queries(const KernelSet& kernels, const float* queries, std::size_t count, std::size_t dim);

// Every worker's coded panel (kernel.hpp's CodedRows) of up to `blocks`
// blocks, over buffers of its own.
class PanelBuffers {
public:
    PanelBuffers(bool coded, std::size_t workers, std::size_t blocks, std::size_t dim);
    CodedRows of(std::size_t worker) noexcept;

private:
    std::size_t blocks_;
    std::size_t block_bytes_;
    std::vector<std::int8_t> codes_;
    std::vector<float> rows_;  // weights, offsets, errors and spans, a panel's rows each, per worker
    std::vector<std::uint64_t> always_;
};

}  // namespace tessaray::core
