// kernel_dispatch.cpp: choosing the block kernel once, by CPU features.
#include <cstdlib>
#include <string_view>

#include "core/kernel.hpp"

namespace tessaray::core {

std::size_t supported_kernels(const KernelSet** out, std::size_t max) noexcept {
    std::size_t n = 0;
    __builtin_cpu_init();
    if (n < max && __builtin_cpu_supports("avx512f")) out[n++] = &avx512_kernels();
    // Every AVX2 CPU made has FMA too; a virtual machine that hides it gets the baseline.
    if (n < max && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) out[n++] = &avx2_kernels();
    if (n < max) out[n++] = &baseline_kernels();
    return n;
}

const KernelSet& active_kernels() noexcept {
    static const KernelSet* chosen = [] {
        const KernelSet* sets[8];
        const std::size_t n = supported_kernels(sets, 8);
        // A forced level must be one this CPU runs; anything else means the best.
        const char* forced = std::getenv("TESSARAY_SIMD");
        if (forced != nullptr) {
            for (std::size_t i = 0; i < n; ++i) {
                if (sets[i]->name == std::string_view(forced)) return sets[i];
            }
        }
        return sets[0];
    }();
    return *chosen;
}

}  // namespace tessaray::core
