// kernel_ref.cpp: the scalar reference arithmetic.
#include "core/kernel.hpp"

namespace tessaray::core {

float dot_ref(const float* a, const float* b, std::size_t n) noexcept {
    float acc = -0.0f;
    for (std::size_t i = 0; i < n; ++i) {
        const float product = a[i] * b[i];
        acc += product;
    }
    return acc;
}

float sum_squares_ref(const float* a, std::size_t n) noexcept { return dot_ref(a, a, n); }

float cosine_ref(const float* a, const float* b, std::size_t n) noexcept {
    const float dot = dot_ref(a, b, n);
    const float root_a = root_of(sum_squares_ref(a, n));
    const float root_b = root_of(sum_squares_ref(b, n));
    return score_from_parts(dot, root_a, root_b);
}

}  // namespace tessaray::core
