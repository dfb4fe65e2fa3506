// cpu_count.cpp: placeholder until the control-group reader lands.
#include "core/cpu_count.hpp"

#include <sched.h>
#include <unistd.h>

namespace tessaray::core {

std::optional<std::size_t> cgroup_cpu_quota(const std::string&) noexcept { return std::nullopt; }

std::optional<std::size_t> default_worker_count(const std::string& root, std::optional<std::size_t> affinity_count,
                                                std::optional<std::size_t> online_count) noexcept {
    std::optional<std::size_t> count = affinity_count && *affinity_count ? affinity_count : online_count;
    if (!count || *count == 0) return std::nullopt;
    if (auto quota = cgroup_cpu_quota(root); quota && *quota < *count) return quota;
    return count;
}

std::optional<std::size_t> default_worker_count() noexcept {
    return default_worker_count("/", std::nullopt, static_cast<std::size_t>(sysconf(_SC_NPROCESSORS_ONLN)));
}

}  // namespace tessaray::core
