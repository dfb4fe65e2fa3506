// test_borrow.cpp: a store object's borrow flag, taken and given back by threads that run at the same time.
//
// The flag's header comes with the interpreter's C API, so this test is a
// program of its own beside the core tests.  Where calls on one store truly run
// at once (the batch module's calls without the interpreter lock, an
// interpreter without that lock), the flag alone must keep an exclusive
// holder apart from every other holder and order its writes before their reads.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "binding/borrow.hpp"

namespace tessaray::binding {
namespace {

TEST(BorrowFlag, KeepsHoldersApartAcrossThreads) {
    BorrowChecker checker;
    std::uint64_t data[4] = {};  // written only under the exclusive borrow
    std::atomic<int> readers{0};
    std::atomic<int> writers{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> torn{0};
    std::atomic<std::uint64_t> writes{0};
    const auto worker = [&](int t) {
        for (int i = 0; i < 20000; ++i) {
            if ((i + t) % 4 == 0) {
                if (!checker.try_borrow_mut()) continue;
                if (writers.fetch_add(1) != 0 || readers.load() != 0) ++overlaps;
                for (auto& d : data) d += 1;
                writers.fetch_sub(1);
                ++writes;
                checker.release_borrow_mut();
            } else {
                if (!checker.try_borrow()) continue;
                readers.fetch_add(1);
                if (writers.load() != 0) ++overlaps;
                if (data[0] != data[1] || data[1] != data[2] || data[2] != data[3]) ++torn;
                readers.fetch_sub(1);
                checker.release_borrow();
            }
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back(worker, t);
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(overlaps.load(), 0) << "an exclusive holder beside another holder";
    EXPECT_EQ(torn.load(), 0) << "a reader saw a write half done";
    EXPECT_EQ(checker.value(), 0) << "every borrow was given back";
    EXPECT_EQ(data[0], writes.load());
}

}  // namespace
}  // namespace tessaray::binding
