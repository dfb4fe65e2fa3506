// borrow.hpp: the borrow flag of a store object, and RAII guards over it.
//
// 0: free; -1: borrowed exclusively; n >= 1: n shared borrows.  The flag is
// changed only atomically, and a borrow that cannot be had fails at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

#include "binding/error.hpp"

namespace tessaray::binding {

class BorrowChecker {
public:
    bool try_borrow() noexcept {
        std::int64_t seen = flag_.load(std::memory_order_relaxed);
        for (;;) {
            if (seen == -1) return false;
            if (flag_.compare_exchange_weak(seen, seen + 1, std::memory_order_acq_rel, std::memory_order_relaxed)) {
                return true;
            }
        }
    }
    void release_borrow() noexcept { flag_.fetch_add(-1, std::memory_order_release); }

    bool try_borrow_mut() noexcept {
        std::int64_t expected = 0;
        return flag_.compare_exchange_strong(expected, -1, std::memory_order_acq_rel, std::memory_order_relaxed);
    }
    void release_borrow_mut() noexcept { flag_.store(0, std::memory_order_release); }

    std::int64_t value() const noexcept { return flag_.load(std::memory_order_acquire); }

private:
    std::atomic<std::int64_t> flag_{0};
};

// A shared borrow held for the life of the guard.
class SharedBorrow {
public:
    static PyResult<SharedBorrow> take(BorrowChecker& checker) {
        if (!checker.try_borrow()) return unexpected(PyErr::lazy(PyExc_RuntimeError, "Already mutably borrowed"));
        return SharedBorrow(&checker);
    }
    SharedBorrow(SharedBorrow&& o) noexcept : checker_(std::exchange(o.checker_, nullptr)) {}
    SharedBorrow& operator=(SharedBorrow&&) = delete;
    ~SharedBorrow() {
        if (checker_ != nullptr) checker_->release_borrow();
    }

private:
    explicit SharedBorrow(BorrowChecker* checker) noexcept : checker_(checker) {}
    BorrowChecker* checker_;
};

// The exclusive borrow held for the life of the guard.
class ExclusiveBorrow {
public:
    static PyResult<ExclusiveBorrow> take(BorrowChecker& checker) {
        if (!checker.try_borrow_mut()) return unexpected(PyErr::lazy(PyExc_RuntimeError, "Already borrowed"));
        return ExclusiveBorrow(&checker);
    }
    ExclusiveBorrow(ExclusiveBorrow&& o) noexcept : checker_(std::exchange(o.checker_, nullptr)) {}
    ExclusiveBorrow& operator=(ExclusiveBorrow&&) = delete;
    ~ExclusiveBorrow() {
        if (checker_ != nullptr) checker_->release_borrow_mut();
    }

private:
    explicit ExclusiveBorrow(BorrowChecker* checker) noexcept : checker_(checker) {}
    BorrowChecker* checker_;
};

}  // namespace tessaray::binding
