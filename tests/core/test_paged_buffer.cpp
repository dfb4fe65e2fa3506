// Tests of the paged buffer: contents across every kind of growth, huge pages, refusals.
#include <gtest/gtest.h>
#include <sys/prctl.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

#include "core/out_of_memory.hpp"
#include "core/paged_buffer.hpp"

namespace tessaray::core {
namespace {

constexpr std::size_t kMiB = std::size_t(1) << 20;

float value_at(std::size_t i) { return static_cast<float>(i % 1000003) - 0.5f; }

// Appends up to `count` elements in steps of `step`, as the store does:
// reserve, check that the new room reads as zero, write, set the size.
void fill_to(PagedBuffer<float>& buffer, std::size_t count, std::size_t step) {
    for (std::size_t n = buffer.size(); n < count;) {
        const std::size_t next = std::min(count, n + step);
        buffer.reserve(next);
        for (std::size_t i = n; i < next; ++i) {
            ASSERT_EQ(buffer[i], 0.0f) << "new element " << i << " of " << next;
            buffer[i] = value_at(i);
        }
        buffer.resize_within_capacity(next);
        n = next;
    }
}

void expect_contents(const PagedBuffer<float>& buffer) {
    for (std::size_t i = 0; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], value_at(i)) << "element " << i;
}

// The resident and huge-page kilobytes of the mapping that holds `address`.
struct Residency {
    std::size_t rss_kb = 0;
    std::size_t huge_kb = 0;
};
Residency residency_of(const void* address) {
    std::ifstream smaps("/proc/self/smaps");
    const auto a = reinterpret_cast<std::uintptr_t>(address);
    Residency r;
    bool inside = false;
    for (std::string line; std::getline(smaps, line);) {
        unsigned long lo = 0, hi = 0;
        char dash = 0;
        if (std::sscanf(line.c_str(), "%lx%c%lx ", &lo, &dash, &hi) == 3 && dash == '-') {
            inside = lo <= a && a < hi;
        } else if (inside) {
            std::sscanf(line.c_str(), "Rss: %zu kB", &r.rss_kb);
            std::sscanf(line.c_str(), "AnonHugePages: %zu kB", &r.huge_kb);
        }
    }
    return r;
}

bool huge_pages_possible() {
    std::ifstream f("/sys/kernel/mm/transparent_hugepage/enabled");
    std::string modes;
    return std::getline(f, modes) && modes.find("[never]") == std::string::npos;
}

// Small steps through the heap, the move to a mapping, growth of the mapping
// and the move to huge pages; then large steps through growth on huge pages.
// With huge pages disabled for the process the same growth must work on
// ordinary pages.
class PagedBufferGrowth : public ::testing::TestWithParam<bool> {};

TEST_P(PagedBufferGrowth, KeepsContentsAndHugePages) {
    const bool thp_disabled = GetParam();
    if (thp_disabled) {
        ASSERT_EQ(prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0), 0);
    }
    struct Restore {
        bool on;
        ~Restore() {
            if (on) prctl(PR_SET_THP_DISABLE, 0, 0, 0, 0);
        }
    } restore{thp_disabled};

    PagedBuffer<float> buffer;
    fill_to(buffer, 2 * kMiB / sizeof(float), 1000);
    expect_contents(buffer);
    const std::size_t huge_from = 41 * kMiB / sizeof(float);
    const std::size_t checks[] = {huge_from, 3 * huge_from};
    for (const std::size_t count : checks) {
        fill_to(buffer, count, 256 * 1024);
        expect_contents(buffer);
        const std::size_t data_kb = buffer.size() * sizeof(float) / 1024;
        const Residency r = residency_of(buffer.data());
        SCOPED_TRACE(std::to_string(data_kb) + " kB of data: " + std::to_string(r.rss_kb) + " kB resident, " +
                     std::to_string(r.huge_kb) + " kB on huge pages");
        // Spare capacity is never touched: at most one partly used huge page.
        EXPECT_LT(r.rss_kb, data_kb + 2048);
        if (thp_disabled) {
            EXPECT_EQ(r.huge_kb, 0u);
        } else if (huge_pages_possible()) {
            // Every whole 2 MiB of data, barring the odd page the kernel had
            // no huge page for.
            EXPECT_GE(r.huge_kb, data_kb / 2048 * 2048 * 9 / 10);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(HugePages, PagedBufferGrowth, ::testing::Values(false, true),
                         [](const auto& param_info) { return param_info.param ? "Disabled" : "Allowed"; });

TEST(PagedBuffer, RefusalCarriesTheSizeAndChangesNothing) {
    PagedBuffer<float> buffer;
    fill_to(buffer, 5000, 5000);
    const float* data = buffer.data();
    const std::size_t capacity = buffer.capacity();
    // More than the address space, and more than the buffer's limit.
    for (const std::size_t count : {std::size_t(1) << 59, std::size_t(1) << 61}) {
        try {
            buffer.reserve(count);
            ADD_FAILURE() << "no refusal for " << count;
        } catch (const OutOfMemory& e) {
            EXPECT_EQ(e.bytes(), count * sizeof(float));
        }
        EXPECT_EQ(buffer.data(), data);
        EXPECT_EQ(buffer.capacity(), capacity);
        EXPECT_EQ(buffer.size(), 5000u);
        expect_contents(buffer);
    }
    try {
        buffer.reserve(std::size_t(-1) / 2);
        ADD_FAILURE() << "no refusal";
    } catch (const OutOfMemory& e) {
        EXPECT_EQ(e.bytes(), std::size_t(-1));  // the product does not fit: saturated
    }
}

}  // namespace
}  // namespace tessaray::core
