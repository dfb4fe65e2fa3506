// cpu_count.hpp: how many processors the process may use.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace tessaray::core {

// The default worker count: the processors in the calling thread's affinity
// mask (or, when that is unknown, the processors online), reduced to the
// control-group CPU quota when one applies.  Nothing when neither count is
// known or it is 0.  Determined anew on every call.
std::optional<std::size_t> default_worker_count() noexcept;

// The same computation with its inputs given: the files are read below `root`
// ("/" in production, a fake tree in tests).
std::optional<std::size_t> default_worker_count(const std::string& root, std::optional<std::size_t> affinity_count,
                                                std::optional<std::size_t> online_count) noexcept;

// The smallest CPU quota (run-time limit / period, rounded down, at least 1)
// among the process's control group and its ancestors, control groups v2 and
// v1, read below `root`; nothing when no quota applies or none can be read.
std::optional<std::size_t> cgroup_cpu_quota(const std::string& root) noexcept;

}  // namespace tessaray::core
