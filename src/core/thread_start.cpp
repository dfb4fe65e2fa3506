// thread_start.cpp: starting an OS thread with a chosen stack size, and the text of a refused start.
#include "core/thread_start.hpp"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tessaray::core {

namespace {

constexpr std::size_t kFallbackMinStack = 131072;

// The smallest stack the thread library accepts for these attributes.
std::size_t min_stack_size(const pthread_attr_t* attr) noexcept {
    using MinStackFn = std::size_t (*)(const pthread_attr_t*);
    static const auto get_minstack = reinterpret_cast<MinStackFn>(dlsym(RTLD_DEFAULT, "__pthread_get_minstack"));
    if (get_minstack != nullptr) return get_minstack(attr);
    return kFallbackMinStack;
}

const char* errno_kind(int code) noexcept {
    switch (code) {
        case EAGAIN: return "WouldBlock";
        case ENOMEM: return "OutOfMemory";
        case EINVAL: return "InvalidInput";
        case EPERM: return "PermissionDenied";
        default: return "Uncategorized";
    }
}

}  // namespace

int start_thread(pthread_t& thread, std::size_t stack_bytes, void* (*entry)(void*), void* arg) noexcept {
    pthread_attr_t attr;
    if (const int rc = pthread_attr_init(&attr); rc != 0) return rc;
    std::size_t stack = std::max(stack_bytes, min_stack_size(&attr));
    int rc = pthread_attr_setstacksize(&attr, stack);
    if (rc == EINVAL) {
        const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        stack = (stack + page - 1) / page * page;
        rc = pthread_attr_setstacksize(&attr, stack);
    }
    if (rc == 0) rc = pthread_create(&thread, &attr, entry, arg);
    pthread_attr_destroy(&attr);
    return rc;
}

void describe_start_error(int code, char* out, std::size_t size) noexcept {
    char buf[256];
    const char* text = strerror_r(code, buf, sizeof buf);
    std::snprintf(out, size, "failed to spawn thread: Os { code: %d, kind: %s, message: \"%s\" }", code,
                  errno_kind(code), text);
}

}  // namespace tessaray::core
