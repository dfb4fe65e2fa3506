// score_bound.cpp: the per-query limit below which an approximate dot product rules a row out.
#include "core/score_bound.hpp"

#include <cmath>
#include <limits>

#include "core/kernel.hpp"

namespace tessaray::core {

float bound_limit(float bar, float query_root, std::size_t dim) noexcept {
    constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
    if (!std::isfinite(bar) || !(query_root >= kBoundRootLow && query_root <= kBoundRootHigh) || dim > kBoundMaxDim) {
        return kNaN;
    }
    // In double, whose own rounding (about 2^-52 of these magnitudes) the
    // margin below covers many times over.
    const double u = 0x1p-24;
    const double nu = static_cast<double>(dim) * u;
    const double gamma = nu / (1.0 - nu);
    const double c = 2.0 * gamma / ((1.0 - u) * (1.0 - u) * (1.0 - gamma));
    const double magnitude = std::fabs(static_cast<double>(bar)) * (1.0 + u) + c;
    const double exact = (static_cast<double>(bar) - std::fabs(static_cast<double>(bar)) * u - c) * query_root;
    // Room for the double arithmetic, for the kernels' rounding of b * root_r
    // and for underflow, taken from the magnitudes that went in, so that it
    // does not vanish where bar and c nearly cancel.
    const double limit = exact - magnitude * query_root * 0x1p-20;
    if (!(std::fabs(limit) <= 0x1p+100)) return kNaN;
    float b = static_cast<float>(limit);
    if (static_cast<double>(b) > limit) b = std::nextafter(b, -std::numeric_limits<float>::infinity());
    // Lowering b only lets more rows through.
    return std::fabs(b) < 0x1p-100f ? -0x1p-100f : b;
}

float norm_above(double norm) noexcept {
    const double above = norm * (1.0 + 0x1p-30);
    float up = static_cast<float>(above);
    if (static_cast<double>(up) < above) up = std::nextafter(up, std::numeric_limits<float>::infinity());
    return up;
}

CodedLimit coded_limit(float b, float scale, std::size_t dim) noexcept {
    constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
    const double limit = static_cast<double>(b) * scale;
    if (!(std::fabs(limit) <= 0x1p+100)) return {kNaN, 0.0f};
    const double n = static_cast<double>(dim);
    // The test subtracts the room: rounded up, it only lets more rows through.
    return {static_cast<float>(limit), norm_above(0x1p-19 * (std::fabs(limit) * 128.0 * std::sqrt(n) + 65536.0 * n))};
}

KnownRows known_rows(const float* roots) noexcept {
    KnownRows known{0, 0};
    for (std::size_t j = 0; j < kBlockRows; ++j) {
        const float root = roots[j];
        known.zero |= static_cast<std::uint64_t>(root == 0.0f || root == std::numeric_limits<float>::infinity()) << j;
        known.nan |= static_cast<std::uint64_t>(root != root) << j;
    }
    return known;
}

}  // namespace tessaray::core
