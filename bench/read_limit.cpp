// read_limit.cpp: how fast this machine can stream a buffer of a given size.
//
// The benchmark's lower bound for an exact search: a plain read of the same
// number of bytes that the search reads, with nothing computed on them but a
// bitwise OR that the compiler cannot drop.  One thread reads the whole
// buffer, or T threads each read one contiguous part; like parallel_search,
// the threads are started anew for every repetition, so the all-core figure
// includes thread start-up.
//
// Usage: read_limit BYTES THREADS REPETITIONS
// Prints the median seconds of one read of BYTES bytes, and the kernel used.
#include <immintrin.h>
#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

// Each reader ORs 64-byte lines into four independent accumulators.
__attribute__((target("avx512f"))) std::uint64_t read_avx512(const char* p, std::size_t bytes) {
    __m512i a0 = _mm512_setzero_si512(), a1 = a0, a2 = a0, a3 = a0;
    std::size_t i = 0;
    for (; i + 256 <= bytes; i += 256) {
        a0 = _mm512_or_si512(a0, _mm512_load_si512(p + i));
        a1 = _mm512_or_si512(a1, _mm512_load_si512(p + i + 64));
        a2 = _mm512_or_si512(a2, _mm512_load_si512(p + i + 128));
        a3 = _mm512_or_si512(a3, _mm512_load_si512(p + i + 192));
    }
    const __m512i a = _mm512_or_si512(_mm512_or_si512(a0, a1), _mm512_or_si512(a2, a3));
    // Folded through memory: g++ 12's _mm512_reduce_or_epi64 trips its own
    // -Wuninitialized.
    alignas(64) std::uint64_t lanes[8];
    _mm512_store_si512(lanes, a);
    std::uint64_t out = 0;
    for (const std::uint64_t lane : lanes) out |= lane;
    for (; i < bytes; ++i) out |= static_cast<unsigned char>(p[i]);
    return out;
}

__attribute__((target("avx2"))) std::uint64_t read_avx2(const char* p, std::size_t bytes) {
    __m256i a0 = _mm256_setzero_si256(), a1 = a0, a2 = a0, a3 = a0;
    std::size_t i = 0;
    for (; i + 128 <= bytes; i += 128) {
        a0 = _mm256_or_si256(a0, _mm256_load_si256(reinterpret_cast<const __m256i*>(p + i)));
        a1 = _mm256_or_si256(a1, _mm256_load_si256(reinterpret_cast<const __m256i*>(p + i + 32)));
        a2 = _mm256_or_si256(a2, _mm256_load_si256(reinterpret_cast<const __m256i*>(p + i + 64)));
        a3 = _mm256_or_si256(a3, _mm256_load_si256(reinterpret_cast<const __m256i*>(p + i + 96)));
    }
    alignas(32) std::uint64_t lanes[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes),
                       _mm256_or_si256(_mm256_or_si256(a0, a1), _mm256_or_si256(a2, a3)));
    std::uint64_t out = lanes[0] | lanes[1] | lanes[2] | lanes[3];
    for (; i < bytes; ++i) out |= static_cast<unsigned char>(p[i]);
    return out;
}

std::uint64_t read_plain(const char* p, std::size_t bytes) {
    std::uint64_t out = 0;
    for (std::size_t i = 0; i < bytes; ++i) out |= static_cast<unsigned char>(p[i]);
    return out;
}

using ReadFn = std::uint64_t (*)(const char*, std::size_t);

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s BYTES THREADS REPETITIONS\n", argv[0]);
        return 2;
    }
    const std::size_t bytes = std::strtoull(argv[1], nullptr, 10);
    const std::size_t threads = std::max<std::size_t>(1, std::strtoull(argv[2], nullptr, 10));
    const int reps = std::max(1, std::atoi(argv[3]));

    ReadFn read = read_plain;
    const char* kernel = "plain";
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) {
        read = read_avx512;
        kernel = "avx512";
    } else if (__builtin_cpu_supports("avx2")) {
        read = read_avx2;
        kernel = "avx2";
    }

    // Allocated the way a large store is (anonymous pages of its own) and
    // written once, so every page is resident before the first timed read.
    const std::size_t mapped = (bytes + 4095) / 4096 * 4096 + 4096;
    void* mem = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mem == MAP_FAILED) {
        std::perror("mmap");
        return 1;
    }
    char* buf = static_cast<char*>(mem);
    for (std::size_t i = 0; i < bytes; ++i) buf[i] = static_cast<char>(i * 131 + 7);

    // Parts of whole 256-byte units, so every part stays 64-byte aligned.
    const std::size_t units = (bytes + 255) / 256;
    const std::size_t per = (units + threads - 1) / threads * 256;

    std::vector<double> times;
    std::uint64_t sink = 0;
    std::vector<std::uint64_t> partial(threads);
    for (int r = 0; r < reps + 1; ++r) {  // the first run is a warm-up
        const auto t0 = std::chrono::steady_clock::now();
        if (threads == 1) {
            partial[0] = read(buf, bytes);
        } else {
            std::vector<std::thread> pool;
            for (std::size_t t = 0; t < threads; ++t) {
                const std::size_t begin = std::min(bytes, t * per);
                const std::size_t end = std::min(bytes, begin + per);
                pool.emplace_back([&, t, begin, end] { partial[t] = read(buf + begin, end - begin); });
            }
            for (auto& th : pool) th.join();
        }
        const auto t1 = std::chrono::steady_clock::now();
        for (auto v : partial) sink |= v;
        if (r > 0) times.push_back(std::chrono::duration<double>(t1 - t0).count());
    }
    std::sort(times.begin(), times.end());
    const double median = times[times.size() / 2];
    std::printf("%.9f %s %llu\n", median, kernel, static_cast<unsigned long long>(sink & 1));
    munmap(mem, mapped);
    return 0;
}
