// worker_group.cpp: the worker threads of one call: started in order, watched, joined, their faults raised.
#include "core/worker_group.hpp"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "core/fault.hpp"
#include "core/out_of_memory.hpp"
#include "core/thread_start.hpp"

namespace tessaray::core {

namespace testing {
void (*worker_hook)(std::size_t worker) = nullptr;
int (*spawn_hook)(std::size_t worker) = nullptr;
}  // namespace testing

namespace {

constexpr std::size_t kWorkerStack = std::size_t(2) << 20;

// What the workers share with the calling thread: the running count is
// raised before each start and lowered by a worker when its result slot is
// written; the last one to lower it wakes the calling thread.
struct Shared {
    WorkerGroup* group;
    WorkerGroup::Task task;
    void* context;
    std::mutex mutex{};
    std::condition_variable finished{};
    std::size_t running = 0;  // under `mutex`
};

struct Slot {
    Shared* shared;
    std::size_t worker;
    bool failed = false;  // the result: written by the worker before it says it is done
};

void run_task(Slot& slot) noexcept {
    Shared& s = *slot.shared;
    slot.failed = worker_failed([&] {
        if (testing::worker_hook != nullptr) testing::worker_hook(slot.worker);
        s.task(s.context, slot.worker);
    });
    if (slot.failed) s.group->request_stop();
}

void* run_thread(void* arg) noexcept {
    auto& slot = *static_cast<Slot*>(arg);
    run_task(slot);
    Shared& s = *slot.shared;
    const std::lock_guard lock(s.mutex);
    if (--s.running == 0) s.finished.notify_all();
    return nullptr;
}

int start_worker(pthread_t& thread, Slot& slot) noexcept {
    if (testing::spawn_hook != nullptr) {
        if (const int code = testing::spawn_hook(slot.worker); code != 0) return code;
    }
    return start_thread(thread, kWorkerStack, run_thread, &slot);
}

// Polls the watch unless it asked to stop already; returns whether to go on.
bool poll(WorkerGroup& group, const GroupWatch* watch, bool& go_on) noexcept {
    if (watch != nullptr && go_on && !watch->poll(watch->context)) {
        go_on = false;
        group.request_stop();
    }
    return go_on;
}

// The same when the workers start or end, if the watch is polled then.
void poll_edge(WorkerGroup& group, const GroupWatch* watch, bool& go_on) noexcept {
    if (watch != nullptr && watch->edges) poll(group, watch, go_on);
}

}  // namespace

bool WorkerGroup::run(std::size_t workers, Task task, void* context, const GroupWatch* watch, bool lone_inline) {
    Shared s{this, task, context};
    bool go_on = true;
    if (workers == 1 && lone_inline) {
        // The calling thread is the worker; the task polls the watch itself
        // where it can, between pieces of its work.
        Slot slot{&s, 0};
        poll_edge(*this, watch, go_on);
        run_task(slot);
        poll_edge(*this, watch, go_on);
        if (slot.failed) raise_fault(kWorkerFailedMessage);
        return go_on;
    }

    // Everything is allocated before the first start: nothing between the
    // first start and the last join may throw.
    auto slots = allocate_vector<Slot>(workers);
    auto threads = allocate_vector<pthread_t>(workers);
    std::size_t started = 0;
    int spawn_error = 0;
    for (std::size_t w = 0; w < workers; ++w) {
        slots[w] = Slot{&s, w};
        {
            const std::lock_guard lock(s.mutex);
            ++s.running;
        }
        spawn_error = start_worker(threads[w], slots[w]);
        if (spawn_error != 0) {
            const std::lock_guard lock(s.mutex);
            --s.running;
            request_stop();
            break;
        }
        ++started;
    }
    char spawn_message[512] = "";
    if (spawn_error != 0) {
        describe_start_error(spawn_error, spawn_message, sizeof spawn_message);
        report_fault(spawn_message);
    }

    // With a watch, the calling thread polls it until the last worker is
    // done; the workers are joined in order in any case, and their results
    // taken only once every one has ended.
    if (spawn_error == 0 && watch != nullptr) {
        poll_edge(*this, watch, go_on);
        const auto interval = std::chrono::milliseconds(std::max(1u, watch->interval_ms));
        std::unique_lock lock(s.mutex);
        while (!s.finished.wait_for(lock, interval, [&] { return s.running == 0; })) {
            lock.unlock();
            poll(*this, watch, go_on);
            lock.lock();
        }
        lock.unlock();
        poll_edge(*this, watch, go_on);
    }
    bool failed = false;
    for (std::size_t w = 0; w < started; ++w) {
        pthread_join(threads[w], nullptr);
        failed = failed || slots[w].failed;
    }
    {
        std::unique_lock lock(s.mutex);
        s.finished.wait(lock, [&] { return s.running == 0; });
    }
    if (spawn_error != 0) raise_reported_fault(spawn_message);
    if (failed) raise_fault(kWorkerFailedMessage);
    return go_on;
}

}  // namespace tessaray::core
