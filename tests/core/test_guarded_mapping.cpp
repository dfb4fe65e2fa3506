// Tests of the guarded mapping: lost pages read as zeros on any thread, any other SIGBUS ends as without it, refusals, a full table.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "core/guarded_mapping.hpp"

namespace tessaray::core {
namespace {

const std::size_t kPage = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));

unsigned char pattern(std::size_t offset) { return static_cast<unsigned char>(offset % 251 + 1); }

// A file in memory of `bytes` bytes of pattern(), opened by its path.
class MemoryFile {
public:
    explicit MemoryFile(std::size_t bytes) : fd_(::memfd_create("guarded", MFD_CLOEXEC)) {
        std::vector<unsigned char> data(bytes);
        for (std::size_t i = 0; i < bytes; ++i) data[i] = pattern(i);
        EXPECT_EQ(::write(fd_, data.data(), bytes), static_cast<ssize_t>(bytes));
    }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;
    ~MemoryFile() { ::close(fd_); }

    std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }
    void shorten(std::size_t bytes) const { ASSERT_EQ(::ftruncate(fd_, static_cast<off_t>(bytes)), 0); }
    int fd() const { return fd_; }

private:
    int fd_;
};

std::shared_ptr<const GuardedMapping> open_mapping(const MemoryFile& file) {
    auto mapping = GuardedMapping::open(file.path());
    EXPECT_TRUE(mapping.has_value()) << mapping.error().message;
    return mapping ? mapping.value() : nullptr;
}

// How many bytes of `bytes` from `from` differ from pattern() (or from 0 with `zeros`).
std::size_t mismatches(std::span<const unsigned char> bytes, std::size_t from, bool zeros) {
    std::size_t count = 0;
    for (std::size_t i = from; i < bytes.size(); ++i) count += bytes[i] != (zeros ? 0 : pattern(i));
    return count;
}

class GuardedMappingLost : public ::testing::TestWithParam<bool> {};

TEST_P(GuardedMappingLost, LostPagesReadAsZeros) {
    const MemoryFile shortened(4 * kPage), intact(2 * kPage + 100);
    const auto mapping = open_mapping(shortened), other = open_mapping(intact);
    ASSERT_TRUE(mapping && other);
    EXPECT_EQ(mismatches(mapping->bytes(), 0, false), 0u);

    shortened.shorten(kPage + kPage / 2);
    // The last page first, then one before it: both lost, each a fault of its own.
    unsigned char last = 1, before = 1;
    const auto read = [&] {
        last = mapping->bytes()[3 * kPage + 7];
        before = mapping->bytes()[2 * kPage];
    };
    if (GetParam()) {
        std::thread(read).join();
    } else {
        read();
    }
    EXPECT_EQ(last, 0);
    EXPECT_EQ(before, 0);
    EXPECT_TRUE(mapping->lost());
    EXPECT_EQ(mismatches(mapping->bytes().first(kPage + kPage / 2), 0, false), 0u);
    EXPECT_EQ(mismatches(mapping->bytes(), kPage + kPage / 2, true), 0u);
    EXPECT_FALSE(other->lost());
    EXPECT_EQ(mismatches(other->bytes(), 0, false), 0u);
}

INSTANTIATE_TEST_SUITE_P(Reader, GuardedMappingLost, ::testing::Values(false, true),
                         [](const auto& param_info) { return param_info.param ? "OtherThread" : "CallingThread"; });

// Reads a page lost to a file mapped without a guard.
void read_unguarded_lost_page() {
    const rlimit no_core{0, 0};
    ::setrlimit(RLIMIT_CORE, &no_core);
    const MemoryFile file(2 * kPage);
    const auto* data =
        static_cast<const volatile unsigned char*>(::mmap(nullptr, 2 * kPage, PROT_READ, MAP_SHARED, file.fd(), 0));
    file.shorten(0);
    (void)data[kPage];
}

// SIGBUS handlers that a process may put in place after the guard's: none,
// one that exits, and one that puts back the handler it replaced and raises
// the signal again (as Python's fault handler does).
enum class Other { kNone, kExits, kRaisesAgain };
const char* const kOtherNames[] = {"None", "Exits", "RaisesAgain"};
struct sigaction replaced;
void exit_3(int, siginfo_t*, void*) { ::_exit(3); }
void put_back_and_raise(int signo) {
    ::sigaction(signo, &replaced, nullptr);
    ::raise(signo);
}
void install(Other other) {
    struct sigaction action {};
    action.sa_flags = other == Other::kExits ? SA_SIGINFO : SA_NODEFER;
    if (other == Other::kExits) action.sa_sigaction = exit_3;
    if (other == Other::kRaisesAgain) action.sa_handler = put_back_and_raise;
    if (other != Other::kNone) ::sigaction(SIGBUS, &action, &replaced);
}

class GuardedMappingDeathTest : public ::testing::TestWithParam<Other> {};

// A read outside the guarded mappings ends the same way (killed, or through
// the other handler) with the guard's handler in front of that handler as
// without the guard.
TEST_P(GuardedMappingDeathTest, ForeignSigbusEndsAsWithout) {
#ifdef __SANITIZE_THREAD__
    // Its sigaction gives out the runtime's own handler as the one before
    // ours; called from ours, inside the runtime's dispatcher, it reports the
    // fault and exits instead of aborting.
    if (GetParam() == Other::kNone) GTEST_SKIP() << "ThreadSanitizer's handler ends the process its own way";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // each in a fresh process, without the guard's handler
    int without = -1;
    EXPECT_EXIT(
        {
            install(GetParam());
            read_unguarded_lost_page();
        },
        [&](int status) {
            without = status;  // whatever ended it
            return true;
        },
        "");
    EXPECT_EXIT(
        {
            const MemoryFile file(kPage);
            const auto first = open_mapping(file);
            install(GetParam());
            const auto second = open_mapping(file);  // the guard's handler in front again
            read_unguarded_lost_page();
        },
        [&](int status) { return status == without; }, "");
}

INSTANTIATE_TEST_SUITE_P(Other, GuardedMappingDeathTest,
                         ::testing::Values(Other::kNone, Other::kExits, Other::kRaisesAgain),
                         [](const auto& param_info) { return kOtherNames[static_cast<int>(param_info.param)]; });

TEST(GuardedMapping, RefusesWhatIsNotARegularFile) {
    std::string dir = (std::filesystem::temp_directory_path() / "tessaray-guarded-XXXXXX").string();
    ASSERT_NE(::mkdtemp(dir.data()), nullptr);
    ASSERT_EQ(::mkfifo((dir + "/fifo").c_str(), 0600), 0);
    const auto folder = GuardedMapping::open(dir), fifo = GuardedMapping::open(dir + "/fifo");
    std::filesystem::remove_all(dir);
    ASSERT_FALSE(folder || fifo);
    EXPECT_EQ(folder.error().os_error, EISDIR);
    EXPECT_EQ(fifo.error().os_error, 0);
    EXPECT_EQ(fifo.error().message, "not a regular file");
}

// A full table refuses with EMFILE and takes a mapping again once one is
// closed; empty files take no place in it.
TEST(GuardedMapping, TableOfMappingsFills) {
    const MemoryFile file(100), empty(0);
    std::vector<std::shared_ptr<const GuardedMapping>> open;
    for (std::size_t i = 0; i < GuardedMapping::max_mappings; ++i) {
        open.push_back(open_mapping(file));
        ASSERT_TRUE(open.back());
    }
    const auto refused = GuardedMapping::open(file.path());
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().os_error, EMFILE);
    const auto none = open_mapping(empty);
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->bytes().empty());
    EXPECT_FALSE(none->lost());

    open.pop_back();
    const auto again = open_mapping(file);
    ASSERT_TRUE(again);
    EXPECT_EQ(mismatches(again->bytes(), 0, false), 0u);
}

}  // namespace
}  // namespace tessaray::core
