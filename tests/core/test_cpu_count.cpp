// Tests of the default worker count: control-group quotas read from fake
// trees, the affinity and online fallbacks, and the real count.
#include <gtest/gtest.h>
#include <sched.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/cpu_count.hpp"

namespace tessaray::core {
namespace {

namespace fs = std::filesystem;

// A directory tree in a fresh temporary directory, removed at the end.
class FakeTree {
public:
    FakeTree() {
        std::string pattern = (fs::temp_directory_path() / "tessaray-cpu-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        dir_ = pattern;
    }
    FakeTree(const FakeTree&) = delete;
    FakeTree& operator=(const FakeTree&) = delete;
    ~FakeTree() {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    // The root argument for the reader, with a trailing slash like "/".
    std::string root() const { return dir_.string() + "/"; }

    void write(const std::string& relative, const std::string& content) const {
        const fs::path path = dir_ / relative;
        fs::create_directories(path.parent_path());
        std::ofstream out(path, std::ios::binary);
        out << content;
        if (!out) throw std::runtime_error("cannot write " + path.string());
    }

private:
    fs::path dir_;
};

using Files = std::vector<std::pair<std::string, std::string>>;

struct QuotaCase {
    std::string name;
    Files files;
    std::optional<std::size_t> expected;
};

std::ostream& operator<<(std::ostream& os, const QuotaCase& c) { return os << c.name; }

// Writes v1 quota and period files into `dir`.
void add_cfs(Files& files, const std::string& dir, const std::string& quota, const std::string& period = "100000\n") {
    files.emplace_back(dir + "/cpu.cfs_quota_us", quota);
    files.emplace_back(dir + "/cpu.cfs_period_us", period);
}

const std::string kMountinfoHead =
    "22 1 0:21 / /proc rw,nosuid,nodev,noexec,relatime shared:12 - proc proc rw\n"
    "25 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n";

std::vector<QuotaCase> quota_cases() {
    std::vector<QuotaCase> cases;

    // ---- cgroup v2 ----
    cases.push_back({"v2_nested_ancestor_smallest",
                     {{"proc/self/cgroup", "0::/a/b/c\n"},
                      {"sys/fs/cgroup/cpu.max", "max 100000\n"},
                      {"sys/fs/cgroup/a/cpu.max", "200000 100000\n"},
                      {"sys/fs/cgroup/a/b/cpu.max", "max 100000\n"},
                      {"sys/fs/cgroup/a/b/c/cpu.max", "450000 100000\n"}},
                     2});
    cases.push_back({"v2_own_group_smallest",
                     {{"proc/self/cgroup", "0::/a/b\n"},
                      {"sys/fs/cgroup/a/cpu.max", "800000 100000\n"},
                      {"sys/fs/cgroup/a/b/cpu.max", "300000 100000\n"}},
                     3});
    cases.push_back(
        {"v2_root_group_counts", {{"proc/self/cgroup", "0::/a\n"}, {"sys/fs/cgroup/cpu.max", "700000 100000\n"}}, 7});
    cases.push_back({"v2_unlimited",
                     {{"proc/self/cgroup", "0::/a/b\n"},
                      {"sys/fs/cgroup/cpu.max", "max 100000\n"},
                      {"sys/fs/cgroup/a/cpu.max", "max 100000\n"},
                      {"sys/fs/cgroup/a/b/cpu.max", "max 50000\n"}},
                     std::nullopt});
    cases.push_back({"v2_below_one_counts_as_one",
                     {{"proc/self/cgroup", "0::/a\n"}, {"sys/fs/cgroup/a/cpu.max", "50000 100000\n"}},
                     1});
    cases.push_back(
        {"v2_rounded_down", {{"proc/self/cgroup", "0::/a\n"}, {"sys/fs/cgroup/a/cpu.max", "150000 100000\n"}}, 1});
    cases.push_back({"v2_rounded_down_larger",
                     {{"proc/self/cgroup", "0::/a\n"}, {"sys/fs/cgroup/a/cpu.max", "399999 100000\n"}},
                     3});
    cases.push_back(
        {"v2_other_period", {{"proc/self/cgroup", "0::/svc\n"}, {"sys/fs/cgroup/svc/cpu.max", "250000 50000"}}, 5});
    cases.push_back({"v2_trailing_slash_in_path",
                     {{"proc/self/cgroup", "0::/a/b/\n"}, {"sys/fs/cgroup/a/b/cpu.max", "600000 100000\n"}},
                     6});
    cases.push_back({"v2_group_files_missing",
                     {{"proc/self/cgroup", "0::/a/b\n"}, {"sys/fs/cgroup/a/b/cpu.weight", "100\n"}},
                     std::nullopt});
    cases.push_back({"v2_garbage_then_valid_ancestor",
                     {{"proc/self/cgroup", "0::/a/b\n"},
                      {"sys/fs/cgroup/a/b/cpu.max", "lots\n"},
                      {"sys/fs/cgroup/a/cpu.max", "900000 100000\n"}},
                     9});

    // ---- cgroup v1 ----
    {
        QuotaCase c{"v1_cpu_dir", {{"proc/self/cgroup", "5:cpuset:/\n4:cpu:/grp/sub\n3:memory:/x\n"}}, 3};
        add_cfs(c.files, "sys/fs/cgroup/cpu", "-1\n");
        add_cfs(c.files, "sys/fs/cgroup/cpu/grp", "-1\n");
        add_cfs(c.files, "sys/fs/cgroup/cpu/grp/sub", "300000\n");
        cases.push_back(c);
    }
    {
        QuotaCase c{"v1_cpu_cpuacct_dir", {{"proc/self/cgroup", "4:cpu,cpuacct:/grp/sub\n"}}, 2};
        add_cfs(c.files, "sys/fs/cgroup/cpu,cpuacct/grp", "200000\n");
        add_cfs(c.files, "sys/fs/cgroup/cpu,cpuacct/grp/sub", "500000\n");
        cases.push_back(c);
    }
    {
        QuotaCase c{"v1_cpuacct_cpu_list_order", {{"proc/self/cgroup", "7:cpuacct,cpu:/g\n"}}, 4};
        add_cfs(c.files, "sys/fs/cgroup/cpu/g", "400000\n");
        cases.push_back(c);
    }
    {
        QuotaCase c{"v1_unlimited", {{"proc/self/cgroup", "4:cpu,cpuacct:/grp\n"}}, std::nullopt};
        add_cfs(c.files, "sys/fs/cgroup/cpu,cpuacct", "-1\n");
        add_cfs(c.files, "sys/fs/cgroup/cpu,cpuacct/grp", "-1\n");
        cases.push_back(c);
    }
    {
        QuotaCase c{"v1_below_one_counts_as_one", {{"proc/self/cgroup", "4:cpu:/grp\n"}}, 1};
        add_cfs(c.files, "sys/fs/cgroup/cpu/grp", "20000\n");
        cases.push_back(c);
    }
    {
        QuotaCase c{"v1_period_missing", {{"proc/self/cgroup", "4:cpu:/grp\n"}}, std::nullopt};
        c.files.emplace_back("sys/fs/cgroup/cpu/grp/cpu.cfs_quota_us", "200000\n");
        cases.push_back(c);
    }
    {
        QuotaCase c{"v1_quota_missing", {{"proc/self/cgroup", "4:cpu:/grp\n"}}, std::nullopt};
        c.files.emplace_back("sys/fs/cgroup/cpu/grp/cpu.cfs_period_us", "100000\n");
        cases.push_back(c);
    }
    {
        // Only the controller named exactly "cpu" counts: "cpuacct" and
        // "cpuset" lines do not lead to the cpu hierarchy.
        QuotaCase c{"v1_no_cpu_controller_line",
                    {{"proc/self/cgroup", "3:cpuacct:/grp\n2:cpuset:/grp\n1:name=systemd:/grp\n"}},
                    std::nullopt};
        add_cfs(c.files, "sys/fs/cgroup/cpu/grp", "200000\n");
        add_cfs(c.files, "sys/fs/cgroup/cpu,cpuacct/grp", "200000\n");
        cases.push_back(c);
    }
    {
        // The cpu controller mounted elsewhere, with the group's ancestor as
        // the mount's root: the path is relative to that root.
        QuotaCase c{
            "v1_mountinfo_mount_point_with_root",
            {{"proc/self/cgroup", "6:cpu,cpuacct:/docker/abc/sub\n"},
             {"proc/self/mountinfo",
              kMountinfoHead + "33 25 0:29 /docker/abc /opt/cg/cpuctl rw,nosuid shared:5 master:3 - cgroup cgroup "
                               "rw,cpu,cpuacct\n"}},
            2};
        add_cfs(c.files, "opt/cg/cpuctl", "600000\n");
        add_cfs(c.files, "opt/cg/cpuctl/sub", "200000\n");
        // Where the unstripped path would lead: must not be read.
        add_cfs(c.files, "opt/cg/cpuctl/docker/abc/sub", "100000\n", "1000000\n");
        cases.push_back(c);
    }
    {
        QuotaCase c{
            "v1_mountinfo_mount_root_is_group",
            {{"proc/self/cgroup", "6:cpu:/docker/abc\n"},
             {"proc/self/mountinfo", kMountinfoHead + "33 25 0:29 /docker/abc /cg/cpu rw - cgroup cgroup rw,cpu\n"}},
            5};
        add_cfs(c.files, "cg/cpu", "500000\n");
        cases.push_back(c);
    }
    {
        QuotaCase c{"v1_mountinfo_root_not_a_prefix",
                    {{"proc/self/cgroup", "6:cpu:/grp\n"},
                     {"proc/self/mountinfo", kMountinfoHead + "33 25 0:29 /other /cg/cpu rw - cgroup cgroup rw,cpu\n"}},
                    3};
        add_cfs(c.files, "cg/cpu/grp", "300000\n");
        cases.push_back(c);
    }
    {
        // "/docker/ab" is not a whole-component prefix of "/docker/abc".
        QuotaCase c{
            "v1_mountinfo_root_partial_component",
            {{"proc/self/cgroup", "6:cpu:/docker/abc\n"},
             {"proc/self/mountinfo", kMountinfoHead + "33 25 0:29 /docker/ab /cg/cpu rw - cgroup cgroup rw,cpu\n"}},
            std::nullopt};
        add_cfs(c.files, "cg/cpu/c", "300000\n");
        cases.push_back(c);
    }
    {
        QuotaCase c{"v1_mountinfo_escaped_mount_point",
                    {{"proc/self/cgroup", "6:cpu:/grp\n"},
                     {"proc/self/mountinfo", kMountinfoHead + "33 25 0:29 / /cg\\040dir rw - cgroup cgroup rw,cpu\n"}},
                    6};
        add_cfs(c.files, "cg dir/grp", "600000\n");
        cases.push_back(c);
    }
    {
        // A cgroup mount without the cpu controller is not used.
        QuotaCase c{"v1_mountinfo_other_controller",
                    {{"proc/self/cgroup", "6:cpu:/grp\n"},
                     {"proc/self/mountinfo", kMountinfoHead + "33 25 0:29 / /cg/acct rw - cgroup cgroup rw,cpuacct\n"}},
                    std::nullopt};
        add_cfs(c.files, "cg/acct/grp", "300000\n");
        cases.push_back(c);
    }
    {
        // The usual directory listed in mountinfo with a root of its own.
        QuotaCase c{"v1_usual_dir_with_mount_root",
                    {{"proc/self/cgroup", "4:cpu,cpuacct:/kubepods/pod1/c1\n"},
                     {"proc/self/mountinfo",
                      kMountinfoHead +
                          "40 31 0:37 /kubepods/pod1 /sys/fs/cgroup/cpu,cpuacct ro - cgroup cgroup rw,cpu,cpuacct\n"}},
                    3};
        add_cfs(c.files, "sys/fs/cgroup/cpu,cpuacct/c1", "300000\n");
        cases.push_back(c);
    }

    // ---- both versions: the smallest counts ----
    {
        QuotaCase c{"hybrid_v1_smaller", {{"proc/self/cgroup", "4:cpu:/g\n0::/g\n"}}, 2};
        c.files.emplace_back("sys/fs/cgroup/g/cpu.max", "500000 100000\n");
        add_cfs(c.files, "sys/fs/cgroup/cpu/g", "200000\n");
        cases.push_back(c);
    }
    {
        QuotaCase c{"hybrid_v2_smaller", {{"proc/self/cgroup", "4:cpu:/g\n0::/g\n"}}, 3};
        c.files.emplace_back("sys/fs/cgroup/g/cpu.max", "300000 100000\n");
        add_cfs(c.files, "sys/fs/cgroup/cpu/g", "800000\n");
        cases.push_back(c);
    }

    // ---- nothing to read ----
    cases.push_back({"no_proc_self_cgroup", {{"sys/fs/cgroup/cpu.max", "100000 100000\n"}}, std::nullopt});
    cases.push_back({"empty_proc_self_cgroup",
                     {{"proc/self/cgroup", ""}, {"sys/fs/cgroup/cpu.max", "100000 100000\n"}},
                     std::nullopt});
    cases.push_back({"garbage_proc_self_cgroup",
                     {{"proc/self/cgroup", "this is not a cgroup file\n::\n0::relative\n"},
                      {"sys/fs/cgroup/cpu.max", "100000 100000\n"},
                      {"sys/fs/cgroup/relative/cpu.max", "100000 100000\n"}},
                     std::nullopt});
    cases.push_back({"path_leaving_hierarchy",
                     {{"proc/self/cgroup", "0::/../../outside\n"}, {"outside/cpu.max", "100000 100000\n"}},
                     std::nullopt});
    return cases;
}

class CgroupQuota : public ::testing::TestWithParam<QuotaCase> {};

TEST_P(CgroupQuota, ReadsSmallestQuota) {
    const QuotaCase& c = GetParam();
    FakeTree tree;
    for (const auto& [path, content] : c.files) tree.write(path, content);
    EXPECT_EQ(cgroup_cpu_quota(tree.root()), c.expected);
    // The root may also be given without its trailing slash.
    std::string bare = tree.root();
    bare.pop_back();
    EXPECT_EQ(cgroup_cpu_quota(bare), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Trees, CgroupQuota, ::testing::ValuesIn(quota_cases()),
                         [](const auto& test_info) { return test_info.param.name; });

// Garbage in the quota files imposes no quota, whichever version it is in.
TEST(CgroupQuotaGarbage, UnparsableContentIsNoQuota) {
    const std::vector<std::string> v2_garbage = {"",
                                                 "\n",
                                                 "banana\n",
                                                 "100000\n",
                                                 "150000 100000 7\n",
                                                 "1.5 100000\n",
                                                 "-5 100000\n",
                                                 "150000 0\n",
                                                 "150000 abc\n",
                                                 "max\n",
                                                 "0x10 100000\n",
                                                 "99999999999999999999999 100000\n",
                                                 "150000, 100000\n"};
    for (const auto& content : v2_garbage) {
        SCOPED_TRACE("cpu.max: \"" + content + "\"");
        FakeTree tree;
        tree.write("proc/self/cgroup", "0::/g\n");
        tree.write("sys/fs/cgroup/g/cpu.max", content);
        EXPECT_EQ(cgroup_cpu_quota(tree.root()), std::nullopt);
    }
    const std::vector<std::pair<std::string, std::string>> v1_garbage = {
        {"", "100000"},        {"abc", "100000"}, {"-2", "100000"},       {"200000", ""},         {"200000", "0"},
        {"200000", "-100000"}, {"2e5", "100000"}, {"200000 1", "100000"}, {"200000", "100000 x"}, {"-1", "100000"}};
    for (const auto& [quota, period] : v1_garbage) {
        SCOPED_TRACE("cfs quota \"" + quota + "\", period \"" + period + "\"");
        FakeTree tree;
        tree.write("proc/self/cgroup", "4:cpu:/g\n");
        tree.write("sys/fs/cgroup/cpu/g/cpu.cfs_quota_us", quota);
        tree.write("sys/fs/cgroup/cpu/g/cpu.cfs_period_us", period);
        EXPECT_EQ(cgroup_cpu_quota(tree.root()), std::nullopt);
    }
}

// A missing tree altogether: no quota, and no failure.
TEST(CgroupQuotaGarbage, MissingRootIsNoQuota) {
    EXPECT_EQ(cgroup_cpu_quota("/nonexistent-tessaray-root/"), std::nullopt);
    EXPECT_EQ(cgroup_cpu_quota(""), cgroup_cpu_quota("/"));
}

struct CountCase {
    std::string name;
    std::optional<std::size_t> quota;  // written as a v2 quota when given
    std::optional<std::size_t> affinity;
    std::optional<std::size_t> online;
    std::optional<std::size_t> expected;
};

std::ostream& operator<<(std::ostream& os, const CountCase& c) { return os << c.name; }

class WorkerCount : public ::testing::TestWithParam<CountCase> {};

TEST_P(WorkerCount, CombinesAffinityOnlineAndQuota) {
    const CountCase& c = GetParam();
    FakeTree tree;
    tree.write("proc/self/cgroup", "0::/job\n");
    tree.write("sys/fs/cgroup/job/cpu.max",
               c.quota ? std::to_string(*c.quota * 100000) + " 100000\n" : std::string("max 100000\n"));
    ASSERT_EQ(cgroup_cpu_quota(tree.root()), c.quota);
    EXPECT_EQ(default_worker_count(tree.root(), c.affinity, c.online), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, WorkerCount,
    ::testing::Values(CountCase{"affinity_no_quota", std::nullopt, 8, 16, 8},
                      CountCase{"affinity_reduced_by_quota", 2, 8, 16, 2},
                      CountCase{"quota_above_affinity", 12, 4, 16, 4}, CountCase{"quota_equal_affinity", 4, 4, 16, 4},
                      CountCase{"affinity_unknown_uses_online", std::nullopt, std::nullopt, 6, 6},
                      CountCase{"affinity_empty_uses_online", std::nullopt, 0, 6, 6},
                      CountCase{"online_reduced_by_quota", 3, std::nullopt, 6, 3},
                      CountCase{"online_unknown_with_affinity", std::nullopt, 5, std::nullopt, 5},
                      CountCase{"both_unknown", std::nullopt, std::nullopt, std::nullopt, std::nullopt},
                      CountCase{"both_unknown_with_quota", 2, std::nullopt, std::nullopt, std::nullopt},
                      CountCase{"online_zero", std::nullopt, std::nullopt, 0, std::nullopt},
                      CountCase{"online_zero_with_quota", 2, 0, 0, std::nullopt},
                      CountCase{"affinity_zero_online_unknown", std::nullopt, 0, std::nullopt, std::nullopt}),
    [](const auto& test_info) { return test_info.param.name; });

TEST(WorkerCount, QuotaBelowOneCountsAsOneProcessor) {
    FakeTree tree;
    tree.write("proc/self/cgroup", "0::/job\n");
    tree.write("sys/fs/cgroup/job/cpu.max", "10000 100000\n");
    EXPECT_EQ(default_worker_count(tree.root(), 8, 8), std::optional<std::size_t>(1));
}

TEST(WorkerCount, RealCountIsWithinTheProcessorsOnline) {
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    ASSERT_GT(online, 0);
    const auto count = default_worker_count();
    ASSERT_TRUE(count.has_value());
    EXPECT_GE(*count, 1u);
    EXPECT_LE(*count, static_cast<std::size_t>(online));

    cpu_set_t mask;
    CPU_ZERO(&mask);
    if (sched_getaffinity(0, sizeof mask, &mask) == 0 && CPU_COUNT(&mask) > 0) {
        EXPECT_LE(*count, static_cast<std::size_t>(CPU_COUNT(&mask)));
    }
    if (const auto quota = cgroup_cpu_quota("/")) {
        EXPECT_LE(*count, *quota);
    }
}

// Determined anew on every call: a narrower affinity mask shows at once.
TEST(WorkerCount, RealCountFollowsTheAffinityMask) {
    cpu_set_t original;
    CPU_ZERO(&original);
    ASSERT_EQ(sched_getaffinity(0, sizeof original, &original), 0);
    int first = -1;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &original)) {
            first = cpu;
            break;
        }
    }
    ASSERT_GE(first, 0);
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(first, &one);
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    const auto narrowed = default_worker_count();
    ASSERT_EQ(sched_setaffinity(0, sizeof original, &original), 0);
    EXPECT_EQ(narrowed, std::optional<std::size_t>(1));
    const auto restored = default_worker_count();
    ASSERT_TRUE(restored.has_value());
    EXPECT_GE(*restored, 1u);
}

}  // namespace
}  // namespace tessaray::core
