// crc32_bench.cpp: each CRC-32 path this CPU runs over one buffer in memory, in GB/s, beside a memcpy of it.
//
// The buffer (256 MiB by default: far beyond the caches, as a store file read
// from the page cache is) is an anonymous mapping advised onto huge pages, as
// bench/read_limit.cpp maps its own, and is filled first.  Each case runs
// once untimed, then REPETITIONS timed runs; printed are the median and the
// best rate (on a shared machine the best is the one least disturbed).  Two
// references: a plain read of the bytes (the bound a checksum pass is held
// to) and a memcpy of them into a second such buffer (a read and a write of
// every byte, what a copy out of the page cache costs).
//
// Usage: crc32_bench [MIB [REPETITIONS]]
#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "core/crc32.hpp"

using namespace tessaray::core;

namespace {

// An anonymous mapping of `bytes`, 2 MiB aligned and advised onto huge pages.
class Mapping {
public:
    explicit Mapping(std::size_t bytes) : length_(bytes + kHuge) {
        raw_ = mmap(nullptr, length_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (raw_ == MAP_FAILED) {
            std::perror("mmap");
            std::exit(1);
        }
        const auto at = (reinterpret_cast<std::uintptr_t>(raw_) + kHuge - 1) & ~(kHuge - 1);
        data_ = reinterpret_cast<unsigned char*>(at);
        madvise(data_, bytes, MADV_HUGEPAGE);
        std::memset(data_, 0, bytes);
    }
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    ~Mapping() { munmap(raw_, length_); }
    unsigned char* data() const { return data_; }

private:
    static constexpr std::size_t kHuge = std::size_t{2} << 20;
    std::size_t length_;
    void* raw_;
    unsigned char* data_;
};

// A plain read of every byte: an OR of all 64-bit words that cannot be dropped.
std::uint64_t read_all(const unsigned char* p, std::size_t bytes) {
    std::uint64_t acc[8] = {};
    for (std::size_t i = 0; i + 64 <= bytes; i += 64) {
        for (int k = 0; k < 8; ++k) {
            std::uint64_t w;
            std::memcpy(&w, p + i + 8 * k, 8);
            acc[k] |= w;
        }
    }
    std::uint64_t all = 0;
    for (const std::uint64_t a : acc) all |= a;
    return all;
}

struct Rate {
    double median;
    double best;
};

template <class F>
Rate rate(std::size_t bytes, int repetitions, F&& f) {
    f();
    std::vector<double> rates;
    for (int i = 0; i < repetitions; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        f();
        const auto t1 = std::chrono::steady_clock::now();
        rates.push_back(double(bytes) / std::chrono::duration<double>(t1 - t0).count() * 1e-9);
    }
    std::sort(rates.begin(), rates.end());
    return {rates[rates.size() / 2], rates.back()};
}

void print(std::string_view name, std::string_view method, Rate r, const char* extra = "") {
    std::printf("  %-9.*s %-30.*s %6.2f GB/s median, %6.2f GB/s best%s\n", int(name.size()), name.data(),
                int(method.size()), method.data(), r.median, r.best, extra);
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
    const int repetitions = argc > 2 ? std::atoi(argv[2]) : 9;
    const std::size_t bytes = mib << 20;
    const Mapping source(bytes), target(bytes);
    unsigned char* const data = source.data();
    std::uint64_t state = 1;
    for (std::size_t i = 0; i < bytes; ++i) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        data[i] = static_cast<unsigned char>(state >> 56);
    }
    std::printf("CRC-32 over %zu MiB in memory, %d runs\n", mib, repetitions);

    const Crc32Path* paths[8];
    const std::size_t n = supported_crc32(paths, 8);
    std::uint32_t first = 0;
    for (std::size_t i = n; i-- > 0;) {
        std::uint32_t crc = 0;
        const Rate r = rate(bytes, repetitions, [&] { crc = paths[i]->update(0, data, bytes); });
        if (i == n - 1) first = crc;
        print(paths[i]->name, paths[i]->method, r, crc == first ? "" : "  (CRC differs from zlib's!)");
    }
    print("read", "(reference)", rate(bytes, repetitions, [&] {
              const std::uint64_t all = read_all(data, bytes);
              asm volatile("" : : "r"(all));
          }));
    print("memcpy", "(reference)", rate(bytes, repetitions, [&] {
              std::memcpy(target.data(), data, bytes);
              asm volatile("" : : "r"(target.data()) : "memory");
          }));
    return 0;
}
