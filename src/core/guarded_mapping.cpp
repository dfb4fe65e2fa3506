// guarded_mapping.cpp: a shared read-only file mapping whose pages, lost to a shortened file, read as zeros, not SIGBUS.
#include "core/guarded_mapping.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>

#include "core/posix_file.hpp"

namespace tessaray::core {

namespace {

// Everything the handler reads is an atomic or was published through one
// before it could read it: it takes no lock and allocates nothing.

const std::uintptr_t kPageBytes = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));

// One open mapping, [begin, end) rounded up to whole pages; begin 0 when the
// slot is free.  `version` is odd while the slot changes, so that the handler
// never takes the begin of one mapping with the end of another.
struct Slot {
    std::atomic<std::uint64_t> version{0};
    std::atomic<std::uintptr_t> begin{0};
    std::atomic<std::uintptr_t> end{0};
    std::atomic<bool> lost{false};
};
Slot slots[GuardedMapping::max_mappings];

// The handlers that were in place when ours was installed, newest first.  A
// record is never changed nor freed once published: the handler may be
// reading it.
struct Previous {
    struct sigaction action;
    const Previous* older;
};
std::atomic<const Previous*> previous{nullptr};

// Threads (by id) inside a previous handler that ours called, and how far
// down the list of previous handlers: a SIGBUS that one of them passes back
// to ours (as a handler does that puts back the one it replaced, ours, and
// raises the signal again) goes on to the next older one.
struct Passing {
    std::atomic<pid_t> thread{0};
    std::atomic<int> depth{0};
};
Passing passing[64];

// Registration and installation, among themselves; never the handler.
std::mutex registry_mutex;

void on_sigbus(int signo, siginfo_t* info, void* context);

bool is_ours(const struct sigaction& action) {
    return (action.sa_flags & SA_SIGINFO) != 0 && action.sa_sigaction == on_sigbus;
}

// In a registered mapping: zero pages over it from the page of `address` on.
bool zero_from(std::uintptr_t address) noexcept {
    for (Slot& slot : slots) {
        const std::uint64_t version = slot.version.load();
        if (version % 2 != 0) continue;
        const std::uintptr_t begin = slot.begin.load();
        const std::uintptr_t end = slot.end.load();
        if (slot.version.load() != version || begin == 0 || address < begin || address >= end) continue;
        const std::uintptr_t page = address & ~(kPageBytes - 1);
        // The system call itself: libc's mmap may take locks of its own.
        const long zeros =
            ::syscall(SYS_mmap, page, end - page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0L);
        if (zeros == -1) return false;
        slot.lost.store(true);
        return true;
    }
    return false;
}

// The kernel's default action: a fault ends the process when it runs again,
// a signal that was sent is sent again.
void default_action(int signo, bool fault) noexcept {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(signo, &action, nullptr);
    if (!fault) ::raise(signo);
}

// Marks the calling thread as inside a previous handler for its lifetime,
// one deeper than it was.  Without a free mark the thread goes unmarked and
// starts at the newest.
class PassingOn {
public:
    explicit PassingOn(pid_t self) noexcept {
        for (Passing& mark : passing) {
            if (mark.thread.load() == self) mark_ = &mark;
        }
        if (mark_ != nullptr) {
            depth_ = mark_->depth.load() + 1;
        } else {
            for (Passing& mark : passing) {
                pid_t none = 0;
                if (mark.thread.compare_exchange_strong(none, self)) {
                    mark_ = &mark;
                    break;
                }
            }
            if (mark_ == nullptr) return;
        }
        mark_->depth.store(depth_);
    }
    PassingOn(const PassingOn&) = delete;
    PassingOn& operator=(const PassingOn&) = delete;
    ~PassingOn() {
        if (mark_ == nullptr) return;
        if (depth_ == 0) {
            mark_->thread.store(0);
        } else {
            mark_->depth.store(depth_ - 1);
        }
    }
    int depth() const noexcept { return depth_; }

private:
    Passing* mark_ = nullptr;
    int depth_ = 0;
};

// Does what would have happened without us: the previous handler runs as the
// kernel would have run it.
void pass_on(int signo, siginfo_t* info, void* context) noexcept {
    const bool fault = info != nullptr && info->si_code > 0;  // not sent by kill, raise, sigqueue
    const PassingOn marked(static_cast<pid_t>(::syscall(SYS_gettid)));
    const Previous* to = previous.load();
    for (int i = 0; i < marked.depth() && to != nullptr; ++i) to = to->older;
    if (to == nullptr) return default_action(signo, fault);
    const struct sigaction& action = to->action;
    const bool with_info = (action.sa_flags & SA_SIGINFO) != 0;
    if (!with_info && action.sa_handler == SIG_DFL) return default_action(signo, fault);
    if (!with_info && action.sa_handler == SIG_IGN) {
        if (fault) default_action(signo, fault);  // a fault cannot be ignored
        return;
    }
    if ((action.sa_flags & SA_RESETHAND) != 0) default_action(signo, true);
    sigset_t mask = action.sa_mask;
    if ((action.sa_flags & SA_NODEFER) == 0) sigaddset(&mask, signo);
    sigset_t before;
    ::pthread_sigmask(SIG_BLOCK, &mask, &before);
    if (with_info) {
        action.sa_sigaction(signo, info, context);
    } else {
        action.sa_handler(signo);
    }
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    // A runtime that runs every handler with all signals blocked (as
    // ThreadSanitizer's does) holds back a SIGBUS that the previous handler
    // raised again until ours returns: taken now, it goes on as if it had
    // reached ours at once.
    sigset_t held;
    sigemptyset(&held);
    sigaddset(&held, signo);
    siginfo_t again;
    const std::int64_t no_wait[2] = {0, 0};  // seconds and nanoseconds, whatever their width
    if (::syscall(SYS_rt_sigtimedwait, &held, &again, no_wait, _NSIG / 8) == signo) on_sigbus(signo, &again, context);
}

void on_sigbus(int signo, siginfo_t* info, void* context) {
    const int saved_errno = errno;
    if (info == nullptr || info->si_code != BUS_ADRERR || !zero_from(reinterpret_cast<std::uintptr_t>(info->si_addr))) {
        pass_on(signo, info, context);
    }
    errno = saved_errno;
}

void publish_previous(const struct sigaction& action) { previous.store(new Previous{action, previous.load()}); }

// Puts our handler in front unless it is there, passing on to the one it
// finds.  Under registry_mutex.
Expected<void, FileError> install_handler() {
    struct sigaction found;
    if (::sigaction(SIGBUS, nullptr, &found) != 0) return unexpected(os_failure("sigaction"));
    if (is_ours(found)) return {};
    // Published first: ours may run as soon as it is in place.
    publish_previous(found);
    struct sigaction ours {};
    ours.sa_sigaction = on_sigbus;
    // SA_NODEFER: a previous handler that raises SIGBUS again reaches ours
    // at once, while its thread is still marked.
    ours.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&ours.sa_mask);
    struct sigaction replaced;
    if (::sigaction(SIGBUS, &ours, &replaced) != 0) return unexpected(os_failure("sigaction"));
    // Changed by another thread between the two calls.
    const bool same = replaced.sa_flags == found.sa_flags &&
                      ((found.sa_flags & SA_SIGINFO) != 0 ? replaced.sa_sigaction == found.sa_sigaction
                                                          : replaced.sa_handler == found.sa_handler);
    if (!same && !is_ours(replaced)) publish_previous(replaced);
    return {};
}

// A free slot holding [begin, end), or max_mappings when all are taken.
// Under registry_mutex.
std::size_t take_slot(std::uintptr_t begin, std::uintptr_t end) noexcept {
    for (std::size_t i = 0; i < GuardedMapping::max_mappings; ++i) {
        Slot& slot = slots[i];
        if (slot.begin.load() != 0) continue;
        slot.version.fetch_add(1);
        slot.lost.store(false);
        slot.end.store(end);
        slot.begin.store(begin);
        slot.version.fetch_add(1);
        return i;
    }
    return GuardedMapping::max_mappings;
}

}  // namespace

GuardedMapping::~GuardedMapping() {
    if (slot_ != max_mappings) {
        const std::lock_guard<std::mutex> lock(registry_mutex);
        Slot& slot = slots[slot_];
        slot.version.fetch_add(1);
        slot.begin.store(0);
        slot.end.store(0);
        slot.version.fetch_add(1);
    }
    if (bytes_ != 0) ::munmap(const_cast<unsigned char*>(data_), bytes_);
}

Expected<std::shared_ptr<const GuardedMapping>, FileError> GuardedMapping::open(const std::string& path) {
    const FileError not_regular{0, "not a regular file"};
    // Without O_NONBLOCK, opening a FIFO waits for a writer (and a device may
    // wait too) before the file's type can be checked.
    const Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (fd.get() < 0) {
        const int error = errno;
        struct stat st;
        // A socket cannot be opened at all (ENXIO): say what it is instead.
        if (error == ENXIO && ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return unexpected(not_regular);
        errno = error;
        return unexpected(os_failure("open"));
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return unexpected(os_failure("fstat"));
    if (S_ISDIR(st.st_mode)) return unexpected(FileError{EISDIR, "open"});
    if (!S_ISREG(st.st_mode)) return unexpected(not_regular);
    // Owned before anything is mapped, so that every later failure unmaps.
    std::unique_ptr<GuardedMapping> mapping(new GuardedMapping(nullptr, 0, max_mappings));
    const std::size_t size = static_cast<std::size_t>(st.st_size);
    if (size == 0) return std::shared_ptr<const GuardedMapping>(std::move(mapping));  // nothing to map
    void* data = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd.get(), 0);
    if (data == MAP_FAILED) return unexpected(os_failure("mmap"));
    mapping->data_ = static_cast<const unsigned char*>(data);
    mapping->bytes_ = size;
    // Faults then read the file in folios of 2 MiB (where its file system
    // keeps large folios) and map them as huge pages, as a loaded store's
    // rows are on transparent huge pages: scans of 4 KiB pages ran a tenth
    // to a quarter slower once the file was in the page cache.
    mapping->huge_ = ::madvise(data, size, MADV_HUGEPAGE) == 0;

    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t end = begin + ((size + kPageBytes - 1) & ~(kPageBytes - 1));
    const std::lock_guard<std::mutex> lock(registry_mutex);
    TESSARAY_TRY(install_handler());
    mapping->slot_ = take_slot(begin, end);
    if (mapping->slot_ == max_mappings) {
        return unexpected(FileError{EMFILE, "all " + std::to_string(max_mappings) + " guarded mappings are in use"});
    }
    return std::shared_ptr<const GuardedMapping>(std::move(mapping));
}

bool GuardedMapping::lost() const noexcept { return slot_ != max_mappings && slots[slot_].lost.load(); }

void GuardedMapping::advise_sequential() const noexcept {
    if (bytes_ != 0) ::madvise(const_cast<unsigned char*>(data_), bytes_, MADV_SEQUENTIAL);
}

void GuardedMapping::read_ahead(std::size_t offset, std::size_t bytes) const noexcept {
    // The kernel reads a huge-page mapping ahead of its faults in 2 MiB
    // folios; MADV_WILLNEED would fill the page cache with 4 KiB pages first,
    // read in the caller's thread (a scan from disk ran at half dd's speed).
    if (huge_ || offset >= bytes_ || bytes == 0) return;
    const std::size_t first = offset & ~static_cast<std::size_t>(kPageBytes - 1);  // madvise wants a page
    const std::size_t last = offset + std::min(bytes, bytes_ - offset);
    ::madvise(const_cast<unsigned char*>(data_) + first, last - first, MADV_WILLNEED);
}

}  // namespace tessaray::core
