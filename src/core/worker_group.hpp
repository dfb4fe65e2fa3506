// worker_group.hpp: the worker threads of one call: started in order, watched, joined, their faults raised.
//
// A search that uses threads hands its work here as one task per worker.
// Every thread is started with the same stack size, every started thread is
// joined before the call goes on, and a refused start or a failed worker
// becomes one Fault on the calling thread, raised only after the last
// worker has ended: the workers read the caller's buffers in place.
#pragma once

#include <atomic>
#include <cstddef>

namespace tessaray::core {

// The text of the fault raised on the calling thread when a worker failed.
// It reads as a Result unwrapped on an error carrying no value because that
// is exactly what happened: the worker's own fault was reported on its
// thread, and only the fact that it failed reaches the caller.
inline constexpr const char* kWorkerFailedMessage = "called `Result::unwrap()` on an `Err` value: Any { .. }";

// What the calling thread does while the workers run: `poll` is called
// about every `interval_ms` while they run, and with `edges` also once when
// they have all started and once when they have ended.  Returning false
// asks them to stop.
struct GroupWatch {
    bool (*poll)(void* context);
    void* context;
    unsigned interval_ms;
    bool edges;
};

// One call's workers.  A task reads stop_requested() between pieces of its
// work; it is set when the watch asks to stop, when a start is refused and
// when a worker fails, so that the others end early.
class WorkerGroup {
public:
    using Task = void (*)(void* context, std::size_t worker);

    // Runs task(context, w) for every w in [0, workers), each on a thread of
    // its own, or on the calling thread when there is one worker and
    // `lone_inline`.  Returns false when the watch asked to stop.  Throws
    // Fault, after every started worker has ended, when a start was refused
    // ("failed to spawn thread: ...") or a task threw (kWorkerFailedMessage).
    bool run(std::size_t workers, Task task, void* context, const GroupWatch* watch, bool lone_inline);

    template <class F>
    bool run(std::size_t workers, F& task, const GroupWatch* watch, bool lone_inline) {
        return run(
            workers, [](void* f, std::size_t w) { (*static_cast<F*>(f))(w); }, &task, watch, lone_inline);
    }

    bool stop_requested() const noexcept { return stop_.load(std::memory_order_relaxed); }
    void request_stop() noexcept { stop_.store(true, std::memory_order_relaxed); }

private:
    std::atomic<bool> stop_{false};
};

// Test hooks for the fault paths of the worker groups.  Not for production use.
namespace testing {
// When set, called by every worker with its number before its task; a throw
// from it is a worker fault.
extern void (*worker_hook)(std::size_t worker);
// When set, called before each worker's thread is started; a non-zero result
// is used as the error number of a refused start.
extern int (*spawn_hook)(std::size_t worker);
}  // namespace testing

}  // namespace tessaray::core
