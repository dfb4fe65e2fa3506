// cpu_count.cpp: the processors the process may use, from its affinity mask
// (or the processors online) and the CPU quota of its control group.
//
// Control groups are read as files below a root directory so that tests can
// point the reader at a fake tree.  Anything that cannot be read or parsed
// imposes no quota.
#include "core/cpu_count.hpp"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace tessaray::core {

namespace {

// `root` joined with `path`, `path` taken relative to `root` whether or not it
// starts with a slash.
std::string below(const std::string& root, std::string_view path) {
    std::string out = root.empty() ? std::string("/") : root;
    if (out.back() != '/') out.push_back('/');
    while (!path.empty() && path.front() == '/') path.remove_prefix(1);
    out.append(path);
    return out;
}

// The whole content of a file, or nothing when it cannot be read.  Plain
// system calls: this runs on every parallel search that uses the default
// worker count, and the files are small.
std::optional<std::string> read_file(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string content;
    char buf[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (got == 0) break;
        content.append(buf, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return content;
}

std::string_view trim(std::string_view s) {
    constexpr std::string_view space = " \t\r\n";
    const auto first = s.find_first_not_of(space);
    if (first == std::string_view::npos) return {};
    const auto last = s.find_last_not_of(space);
    return s.substr(first, last - first + 1);
}

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (true) {
        const auto pos = s.find(sep, start);
        if (pos == std::string_view::npos) {
            parts.push_back(s.substr(start));
            return parts;
        }
        parts.push_back(s.substr(start, pos - start));
        start = pos + 1;
    }
}

// Whitespace-separated fields.
std::vector<std::string_view> fields(std::string_view s) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
        const std::size_t start = i;
        while (i < s.size() && s[i] != ' ' && s[i] != '\t') ++i;
        if (i > start) out.push_back(s.substr(start, i - start));
    }
    return out;
}

// A whole string of decimal digits, or nothing.
std::optional<std::uint64_t> parse_unsigned(std::string_view s) {
    if (s.empty()) return std::nullopt;
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return value;
}

// The quota of a run-time limit over a period: rounded down, at least 1.
std::optional<std::size_t> quota_of(std::uint64_t limit, std::uint64_t period) {
    if (period == 0) return std::nullopt;
    const std::uint64_t q = limit / period;
    return static_cast<std::size_t>(q < 1 ? 1 : q);
}

// cgroup v2 "cpu.max": "max PERIOD" (no limit) or "LIMIT PERIOD".
std::optional<std::size_t> read_cpu_max(const std::string& dir) {
    const auto content = read_file(dir + "/cpu.max");
    if (!content) return std::nullopt;
    const auto parts = fields(trim(*content));
    if (parts.size() != 2 || parts[0] == "max") return std::nullopt;
    const auto limit = parse_unsigned(parts[0]);
    const auto period = parse_unsigned(parts[1]);
    if (!limit || !period) return std::nullopt;
    return quota_of(*limit, *period);
}

// cgroup v1 "cpu.cfs_quota_us" (-1: no limit) and "cpu.cfs_period_us".
std::optional<std::size_t> read_cfs_quota(const std::string& dir) {
    const auto quota_text = read_file(dir + "/cpu.cfs_quota_us");
    if (!quota_text) return std::nullopt;
    const auto limit = parse_unsigned(trim(*quota_text));  // "-1" does not parse: no limit
    if (!limit) return std::nullopt;
    const auto period_text = read_file(dir + "/cpu.cfs_period_us");
    if (!period_text) return std::nullopt;
    const auto period = parse_unsigned(trim(*period_text));
    if (!period) return std::nullopt;
    return quota_of(*limit, *period);
}

// The components of an absolute group path, or nothing for a path that is not
// absolute or that would leave its hierarchy.
std::optional<std::vector<std::string_view>> path_components(std::string_view path) {
    if (path.empty() || path.front() != '/') return std::nullopt;
    std::vector<std::string_view> out;
    for (const auto part : split(path, '/')) {
        if (part.empty() || part == ".") continue;
        if (part == "..") return std::nullopt;
        out.push_back(part);
    }
    return out;
}

// The smallest quota read by `read` in the group `components` below `base` and
// in each of its ancestors up to `base` itself.
template <class Read>
std::optional<std::size_t> smallest_up_the_tree(const std::string& base,
                                                const std::vector<std::string_view>& components, Read read) {
    std::optional<std::size_t> best;
    for (std::size_t depth = components.size() + 1; depth-- > 0;) {
        std::string dir = base;
        for (std::size_t i = 0; i < depth; ++i) {
            if (dir.empty() || dir.back() != '/') dir.push_back('/');
            dir.append(components[i]);
        }
        while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
        if (const auto q = read(dir); q && (!best || *q < *best)) best = q;
    }
    return best;
}

std::optional<std::size_t> smaller(std::optional<std::size_t> a, std::optional<std::size_t> b) {
    if (!a) return b;
    if (!b) return a;
    return *a < *b ? a : b;
}

bool lists(std::string_view list, std::string_view item) {
    for (const auto part : split(list, ',')) {
        if (part == item) return true;
    }
    return false;
}

// Undoes the octal escapes (\040 for a space etc.) of a mountinfo path.
std::string unescape_mount_path(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size()) {
            const auto digit = [](char c) { return c >= '0' && c <= '7'; };
            if (digit(s[i + 1]) && digit(s[i + 2]) && digit(s[i + 3])) {
                out.push_back(static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0')));
                i += 3;
                continue;
            }
        }
        out.push_back(s[i]);
    }
    return out;
}

struct Mount {
    std::string root;         // the directory of the hierarchy seen at the mount point
    std::string mount_point;  // absolute, as the process sees it
};

// The cgroup v1 mounts that carry the "cpu" controller.
std::vector<Mount> cpu_mounts(const std::string& root) {
    std::vector<Mount> mounts;
    const auto content = read_file(below(root, "proc/self/mountinfo"));
    if (!content) return mounts;
    for (const auto line : split(*content, '\n')) {
        const auto f = fields(line);
        // ID PARENT MAJ:MIN ROOT MOUNT_POINT OPTIONS [OPTIONAL...] - TYPE SOURCE SUPER_OPTIONS
        std::size_t dash = 6;
        while (dash < f.size() && f[dash] != "-") ++dash;
        if (dash + 3 >= f.size()) continue;
        if (f[dash + 1] != "cgroup" || !lists(f[dash + 3], "cpu")) continue;
        mounts.push_back({unescape_mount_path(f[3]), unescape_mount_path(f[4])});
    }
    return mounts;
}

// The group path relative to a mount whose root is `mount_root`: the mount
// root stripped when it is a prefix (whole components), else unchanged.
std::string relative_to_mount(std::string_view group, std::string_view mount_root) {
    while (mount_root.size() > 1 && mount_root.back() == '/') mount_root.remove_suffix(1);
    if (mount_root.empty() || mount_root == "/") return std::string(group);
    if (group.substr(0, mount_root.size()) == mount_root &&
        (group.size() == mount_root.size() || group[mount_root.size()] == '/')) {
        const auto rest = group.substr(mount_root.size());
        return rest.empty() ? std::string("/") : std::string(rest);
    }
    return std::string(group);
}

std::optional<std::size_t> v2_quota(const std::string& root, std::string_view group) {
    const auto components = path_components(group);
    if (!components) return std::nullopt;
    return smallest_up_the_tree(below(root, "sys/fs/cgroup"), *components, read_cpu_max);
}

std::optional<std::size_t> v1_quota(const std::string& root, std::string_view group) {
    std::optional<std::size_t> best;
    const auto walk = [&](const std::string& base, std::string_view relative) {
        const auto components = path_components(relative);
        if (components) best = smaller(best, smallest_up_the_tree(base, *components, read_cfs_quota));
    };
    const auto mounts = cpu_mounts(root);
    // The usual places of the cpu controller: mind the root of the mount there
    // when mountinfo lists one.
    for (const std::string_view place : {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"}) {
        std::string relative(group);
        for (const Mount& m : mounts) {
            if (m.mount_point == place) relative = relative_to_mount(group, m.root);
        }
        walk(below(root, place), relative);
    }
    for (const Mount& m : mounts) {
        if (m.mount_point == "/sys/fs/cgroup/cpu" || m.mount_point == "/sys/fs/cgroup/cpu,cpuacct") continue;
        walk(below(root, m.mount_point), relative_to_mount(group, m.root));
    }
    return best;
}

std::optional<std::size_t> quota_or_throw(const std::string& root) {
    const auto content = read_file(below(root, "proc/self/cgroup"));
    if (!content) return std::nullopt;
    std::optional<std::size_t> best;
    for (const auto raw : split(*content, '\n')) {
        const auto line = trim(raw);
        // HIERARCHY_ID:CONTROLLERS:PATH; the path may itself hold colons.
        const auto first = line.find(':');
        if (first == std::string_view::npos) continue;
        const auto second = line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        const auto id = line.substr(0, first);
        const auto controllers = line.substr(first + 1, second - first - 1);
        const auto path = line.substr(second + 1);
        if (id == "0" && controllers.empty()) {
            best = smaller(best, v2_quota(root, path));
        } else if (lists(controllers, "cpu")) {
            best = smaller(best, v1_quota(root, path));
        }
    }
    return best;
}

}  // namespace

std::optional<std::size_t> cgroup_cpu_quota(const std::string& root) noexcept {
    try {
        return quota_or_throw(root);
    } catch (...) {
        return std::nullopt;
    }
}

std::optional<std::size_t> default_worker_count(const std::string& root, std::optional<std::size_t> affinity_count,
                                                std::optional<std::size_t> online_count) noexcept {
    const std::optional<std::size_t> count = affinity_count && *affinity_count != 0 ? affinity_count : online_count;
    if (!count || *count == 0) return std::nullopt;
    if (const auto quota = cgroup_cpu_quota(root); quota && *quota < *count) return quota;
    return count;
}

std::optional<std::size_t> default_worker_count() noexcept {
    std::optional<std::size_t> affinity;
    cpu_set_t mask;
    CPU_ZERO(&mask);
    if (sched_getaffinity(0, sizeof mask, &mask) == 0) affinity = static_cast<std::size_t>(CPU_COUNT(&mask));
    // The online count is only the fallback: reading it costs a file read.
    std::optional<std::size_t> online;
    if (!affinity || *affinity == 0) {
        if (const long n = sysconf(_SC_NPROCESSORS_ONLN); n > 0) online = static_cast<std::size_t>(n);
    }
    try {
        return default_worker_count(std::string("/"), affinity, online);
    } catch (...) {  // the root string could not be made
        return affinity && *affinity != 0 ? affinity : online;
    }
}

}  // namespace tessaray::core
