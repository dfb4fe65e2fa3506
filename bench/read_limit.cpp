// read_limit.cpp: how fast this machine can stream a buffer of a given size.
//
// The benchmark's lower bound for an exact search: a plain read of the same
// number of bytes that the search reads, with nothing computed on them but a
// bitwise OR that the compiler cannot drop.
//
// The memory is the kind a large store gets: an anonymous mapping aligned to
// 2 MiB, its length rounded up to whole 2 MiB pages and advised with
// madvise(MADV_HUGEPAGE), written once before the first timed read.  How much
// of it the kernel really put on huge pages is read back from
// /proc/self/smaps (AnonHugePages of the mapping) and printed.
//
// Several read loops are timed (SIMD width, number of independent
// accumulators, software prefetch), every one in every repetition, so drift in
// the machine's speed hits them alike; the limit is the loop with the lowest
// median.  Each loop is one sequential stream per thread.  With T threads,
// each reads one contiguous range, and like parallel_search the threads are
// started anew for every repetition, so the figure includes thread start-up.
//
// Usage: read_limit BYTES REPETITIONS THREADS [THREADS ...]
//   Prints one JSON object: the mapping, its huge-page bytes, and for each
//   thread count the median seconds of every loop and the best one.
// Usage: read_limit --serve BYTES
//   Prints the mapping, the last-level cache size and the loops' names as one
//   JSON line, then answers each line "THREADS warm|cold [LOOP]" on standard
//   input with one JSON list: the seconds of one read by every loop (or by
//   loop number LOOP alone).  bench/single_search.py uses this to time
//   the read limit in the same interleaved rounds as the searches.
#include <immintrin.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Where every read's result ends up, so that no read can be dropped.
volatile std::uint64_t g_sink;

// Every loop reads whole 512-byte steps (the caller hands out 512-byte aligned
// ranges of a buffer whose mapped length is a multiple of 2 MiB, so reading up
// to the next step never leaves the mapping) and ORs them into accumulators.

template <int Acc, int PrefetchAhead>
__attribute__((target("avx512f"))) std::uint64_t read_avx512(const char* p, std::size_t bytes) {
    static_assert(512 % (Acc * 64) == 0);
    __m512i acc[Acc];
    for (auto& a : acc) a = _mm512_setzero_si512();
    for (std::size_t i = 0; i < bytes; i += 512) {
        if constexpr (PrefetchAhead > 0) {
            for (int l = 0; l < 512; l += 64) _mm_prefetch(p + i + PrefetchAhead + l, _MM_HINT_T0);
        }
        for (int u = 0; u < 512; u += Acc * 64) {
            for (int a = 0; a < Acc; ++a) acc[a] = _mm512_or_si512(acc[a], _mm512_load_si512(p + i + u + a * 64));
        }
    }
    for (int a = 1; a < Acc; ++a) acc[0] = _mm512_or_si512(acc[0], acc[a]);
    // Folded through memory: g++ 12's _mm512_reduce_or_epi64 trips its own
    // -Wuninitialized.
    alignas(64) std::uint64_t lanes[8];
    _mm512_store_si512(lanes, acc[0]);
    std::uint64_t out = 0;
    for (const std::uint64_t lane : lanes) out |= lane;
    return out;
}

template <int Acc>
__attribute__((target("avx2"))) std::uint64_t read_avx2(const char* p, std::size_t bytes) {
    static_assert(512 % (Acc * 32) == 0);
    __m256i acc[Acc];
    for (auto& a : acc) a = _mm256_setzero_si256();
    for (std::size_t i = 0; i < bytes; i += 512) {
        for (int u = 0; u < 512; u += Acc * 32) {
            for (int a = 0; a < Acc; ++a) {
                acc[a] = _mm256_or_si256(acc[a],
                                         _mm256_load_si256(reinterpret_cast<const __m256i*>(p + i + u + a * 32)));
            }
        }
    }
    for (int a = 1; a < Acc; ++a) acc[0] = _mm256_or_si256(acc[0], acc[a]);
    alignas(32) std::uint64_t lanes[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), acc[0]);
    return lanes[0] | lanes[1] | lanes[2] | lanes[3];
}

std::uint64_t read_plain(const char* p, std::size_t bytes) {
    const auto* w = reinterpret_cast<const std::uint64_t*>(p);
    std::uint64_t a0 = 0, a1 = 0, a2 = 0, a3 = 0;
    for (std::size_t i = 0; i < bytes / 8; i += 4) {
        a0 |= w[i];
        a1 |= w[i + 1];
        a2 |= w[i + 2];
        a3 |= w[i + 3];
    }
    return a0 | a1 | a2 | a3;
}

using ReadFn = std::uint64_t (*)(const char*, std::size_t);

struct Loop {
    const char* name;
    ReadFn read;
};

std::vector<Loop> loops_for_this_cpu() {
    __builtin_cpu_init();
    std::vector<Loop> loops;
    if (__builtin_cpu_supports("avx512f")) {
        loops.push_back({"avx512x4", read_avx512<4, 0>});
        loops.push_back({"avx512x8", read_avx512<8, 0>});
        loops.push_back({"avx512x8+prefetch4k", read_avx512<8, 4096>});
    }
    if (__builtin_cpu_supports("avx2")) loops.push_back({"avx2x8", read_avx2<8>});
    if (loops.empty()) loops.push_back({"plain64x4", read_plain});
    return loops;
}

// AnonHugePages (bytes) of the mapping that holds `addr`, from /proc/self/smaps.
long long huge_bytes_of(const void* addr) {
    std::FILE* f = std::fopen("/proc/self/smaps", "r");
    if (f == nullptr) return -1;
    const auto a = reinterpret_cast<std::uintptr_t>(addr);
    char line[512];
    bool inside = false;
    long long huge = -1;
    while (std::fgets(line, sizeof line, f) != nullptr) {
        unsigned long long lo = 0, hi = 0;
        char dash = 0;
        // A mapping's header line: "lo-hi perms offset dev inode [path]".
        if (std::sscanf(line, "%llx%c%llx ", &lo, &dash, &hi) == 3 && dash == '-') {
            inside = lo <= a && a < hi;
            continue;
        }
        long long kb = 0;
        if (inside && std::sscanf(line, "AnonHugePages: %lld kB", &kb) == 1) {
            huge = kb * 1024;
            break;
        }
    }
    std::fclose(f);
    return huge;
}

// A 2 MiB-aligned, advised mapping of whole huge pages, written once (every
// page resident, none of them the shared zero page).
struct Buffer {
    char* data = nullptr;
    std::size_t mapped = 0;
    bool advised = false;
    long long huge_bytes = -1;

    explicit Buffer(std::size_t bytes) {
        mapped = std::max(kHugePage, (bytes + kHugePage - 1) / kHugePage * kHugePage);
        // Reserve one huge page more, then give back the unaligned head and the tail.
        void* raw = mmap(nullptr, mapped + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (raw == MAP_FAILED) {
            std::perror("mmap");
            std::exit(1);
        }
        const auto start = reinterpret_cast<std::uintptr_t>(raw);
        const std::uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
        if (aligned > start) munmap(raw, aligned - start);
        const std::size_t tail = start + mapped + kHugePage - (aligned + mapped);
        if (tail > 0) munmap(reinterpret_cast<void*>(aligned + mapped), tail);
        data = reinterpret_cast<char*>(aligned);
        advised = madvise(data, mapped, MADV_HUGEPAGE) == 0;
        auto* words = reinterpret_cast<std::uint64_t*>(data);
        for (std::size_t i = 0; i < mapped / 8; ++i) words[i] = i * 0x9E3779B97F4A7C15ull + 7;
        huge_bytes = huge_bytes_of(data);
    }
    ~Buffer() { munmap(data, mapped); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
};

// Reads `steps` 512-byte steps from `buf` with `read` on `threads` threads,
// each a contiguous range (the calling thread alone when `threads` is 1), and
// returns the seconds it took.
double timed_read(ReadFn read, const char* buf, std::size_t steps, std::size_t threads, std::uint64_t& sink) {
    std::vector<std::uint64_t> partial(threads);
    const std::size_t per = (steps + threads - 1) / threads * 512;
    const auto t0 = std::chrono::steady_clock::now();
    if (threads == 1) {
        partial[0] = read(buf, steps * 512);
    } else {
        std::vector<std::thread> pool;
        for (std::size_t t = 0; t < threads; ++t) {
            const std::size_t begin = std::min(steps * 512, t * per);
            const std::size_t end = std::min(steps * 512, begin + per);
            pool.emplace_back([&partial, read, buf, t, begin, end] { partial[t] = read(buf + begin, end - begin); });
        }
        for (auto& th : pool) th.join();
    }
    const double dt = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    for (const auto v : partial) sink |= v;
    return dt;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

std::string header_json(std::size_t bytes, const Buffer& buffer) {
    return "\"bytes\": " + std::to_string(bytes) + ", \"mapped\": " + std::to_string(buffer.mapped) +
           ", \"advised\": " + (buffer.advised ? "true" : "false") +
           ", \"huge_bytes\": " + std::to_string(buffer.huge_bytes);
}

std::string seconds_json(double s) {
    char num[32];
    std::snprintf(num, sizeof num, "%.9f", s);
    return num;
}

// Serving mode: one line "THREADS warm|cold [LOOP]" per request; each answer
// is the list of seconds of one read with every loop (in the header's order),
// or with loop number LOOP alone, with an untimed read by the same loop
// before each timed one when "warm".  One loop per request lets a caller
// read a buffer that fits in the last-level cache in the same state as its
// other methods' data: not just read by another loop.
int serve(std::size_t bytes) {
    const Buffer buffer(bytes);
    const std::vector<Loop> loops = loops_for_this_cpu();
    const std::size_t steps = (bytes + 511) / 512;
    const long llc = sysconf(_SC_LEVEL3_CACHE_SIZE);
    std::string header = "{" + header_json(bytes, buffer) + ", \"llc_bytes\": " + std::to_string(std::max(0L, llc)) +
                         ", \"loops\": [";
    for (std::size_t li = 0; li < loops.size(); ++li) header += std::string(li ? ", " : "") + "\"" + loops[li].name + "\"";
    std::puts((header + "]}").c_str());
    std::fflush(stdout);
    std::uint64_t sink = 0;
    char line[64];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        char* rest = nullptr;
        const std::size_t threads = std::max<std::size_t>(1, std::strtoull(line, &rest, 10));
        const bool warm = std::strstr(line, "warm") != nullptr;
        const char* digits = std::strpbrk(rest, "0123456789");
        std::size_t first = 0, last = loops.size();
        if (digits != nullptr) {
            first = std::min<std::size_t>(std::strtoull(digits, nullptr, 10), loops.size() - 1);
            last = first + 1;
        }
        std::string answer = "[";
        for (std::size_t li = first; li < last; ++li) {
            if (warm) timed_read(loops[li].read, buffer.data, steps, threads, sink);
            answer += std::string(li > first ? ", " : "") +
                      seconds_json(timed_read(loops[li].read, buffer.data, steps, threads, sink));
        }
        std::puts((answer + "]").c_str());
        std::fflush(stdout);
    }
    g_sink = sink;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--serve") == 0) return serve(std::strtoull(argv[2], nullptr, 10));
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s BYTES REPETITIONS THREADS [THREADS ...]\n       %s --serve BYTES\n", argv[0],
                     argv[0]);
        return 2;
    }
    const std::size_t bytes = std::strtoull(argv[1], nullptr, 10);
    const int reps = std::max(1, std::atoi(argv[2]));
    std::vector<std::size_t> thread_counts;
    for (int i = 3; i < argc; ++i) thread_counts.push_back(std::max<std::size_t>(1, std::strtoull(argv[i], nullptr, 10)));

    const Buffer buffer(bytes);
    const std::vector<Loop> loops = loops_for_this_cpu();
    const std::size_t steps = (bytes + 511) / 512;
    std::string json = "{" + header_json(bytes, buffer) + ", \"repetitions\": " + std::to_string(reps) + ", \"threads\": {";
    std::uint64_t sink = 0;
    for (std::size_t ti = 0; ti < thread_counts.size(); ++ti) {
        const std::size_t threads = thread_counts[ti];
        std::vector<std::vector<double>> times(loops.size());
        for (int r = 0; r < reps + 1; ++r) {  // the first round is a warm-up
            for (std::size_t li = 0; li < loops.size(); ++li) {
                const double dt = timed_read(loops[li].read, buffer.data, steps, threads, sink);
                if (r > 0) times[li].push_back(dt);
            }
        }
        std::size_t best = 0;
        std::vector<double> medians;
        for (std::size_t li = 0; li < loops.size(); ++li) {
            medians.push_back(median(times[li]));
            if (medians[li] < medians[best]) best = li;
        }
        json += std::string(ti ? ", " : "") + "\"" + std::to_string(threads) + "\": {\"seconds\": " +
                seconds_json(medians[best]) + ", \"loop\": \"" + loops[best].name + "\", \"loops\": {";
        for (std::size_t li = 0; li < loops.size(); ++li) {
            json += std::string(li ? ", " : "") + "\"" + loops[li].name + "\": " + seconds_json(medians[li]);
        }
        json += "}}";
    }
    g_sink = sink;
    std::puts((json + "}}").c_str());
    return 0;
}
