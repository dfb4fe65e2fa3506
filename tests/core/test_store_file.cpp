// Tests of the store file: round trips, its arrays found in place, and refusal of truncated, corrupted and foreign files.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "core/npy_header.hpp"
#include "core/store.hpp"
#include "core/store_file.hpp"
#include "core/zip_reader.hpp"
#include "test_util.hpp"

namespace tessaray::core {
namespace {

namespace fs = std::filesystem;
using test::expect_same_bits;

// Entries with ids up to 2**64-1 and floats whose bits must survive: NaNs
// with payloads, -0.0, infinities, a subnormal.
Vectorstore make_store(std::size_t dim, std::size_t count) {
    const float special[] = {std::bit_cast<float>(0x7fc01234u),      -0.0f,
                             std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                             std::bit_cast<float>(0xffa00001u),      1e-45f};
    Vectorstore store(dim);
    std::vector<float> v(dim);
    for (std::size_t e = 0; e < count; ++e) {
        for (std::size_t i = 0; i < dim; ++i) {
            v[i] = (e * dim + i) % 5 == 0 ? special[(e + i) % 6] : static_cast<float>(e) * 0.5f - static_cast<float>(i);
        }
        const std::uint64_t id = e == 1 ? std::numeric_limits<std::uint64_t>::max() : e * 0x9E3779B97F4A7C15ull;
        EXPECT_TRUE(store.insert(v, id).has_value());
    }
    return store;
}

void expect_same_store(const Vectorstore& got, const Vectorstore& want) {
    ASSERT_EQ(got.vector_size(), want.vector_size());
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t e = 0; e < want.size(); ++e) {
        SCOPED_TRACE("entry " + std::to_string(e));
        EXPECT_EQ(got.id(e), want.id(e));
        expect_same_bits(got.vector(e), want.vector(e));
    }
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Where the array data of the .npy member with dtype `descr` starts.
std::size_t data_offset(const std::string& file, const std::string& descr) {
    const std::size_t dict = file.find("{'descr': '" + descr + "'");
    if (dict == std::string::npos || dict < 2) {
        ADD_FAILURE() << "no .npy header of dtype " << descr;
        return 1;
    }
    const auto length = static_cast<unsigned char>(file[dict - 2]) | static_cast<unsigned char>(file[dict - 1]) << 8;
    return dict + static_cast<std::size_t>(length);
}

class StoreFile : public ::testing::Test {
protected:
    void SetUp() override {
        std::string name = (fs::temp_directory_path() / "tessaray-store-file-XXXXXX").string();
        ASSERT_NE(::mkdtemp(name.data()), nullptr);
        dir_ = name;
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path dir_;
};

class StoreFileRoundTrip : public StoreFile,
                           public ::testing::WithParamInterface<std::tuple<std::size_t, std::size_t>> {};

TEST_P(StoreFileRoundTrip, LoadsWhatWasSaved) {
    const auto [dim, count] = GetParam();
    const Vectorstore store = make_store(dim, count);
    const fs::path path = dir_ / "store.npz";
    const auto saved = save_store_file(store, path);
    ASSERT_TRUE(saved.has_value()) << saved.error().message;

    const auto loaded = load_store_file(path);
    ASSERT_TRUE(loaded.has_value()) << loaded.error().message;
    expect_same_store(loaded.value(), store);

    // Every array starts on a page of its own, and nothing else is left in the folder.
    const std::string file = read_file(path);
    const auto members = read_zip({reinterpret_cast<const unsigned char*>(file.data()), file.size()});
    ASSERT_TRUE(members.has_value()) << members.error().what;
    for (const ZipMember& m : members.value()) {
        const auto header = parse_npy_header(m.bytes);
        ASSERT_TRUE(header.has_value()) << header.error();
        EXPECT_EQ((m.offset + header->data_offset) % 4096, 0u) << m.name;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

// 9000 rows of 129 floats take more than one 4 MiB buffer of rows, which a save copies at a time.
INSTANTIATE_TEST_SUITE_P(StoreFile, StoreFileRoundTrip,
                         ::testing::Combine(::testing::Values(0, 1, 3, 129),
                                            ::testing::Values(0, 1, 63, 64, 65, 200, 9000)));

TEST_F(StoreFile, SaveReplacesAnExistingFile) {
    const fs::path path = dir_ / "store.npz";
    ASSERT_TRUE(save_store_file(make_store(5, 10), path).has_value());
    const Vectorstore second = make_store(2, 3);
    ASSERT_TRUE(save_store_file(second, path).has_value());
    const auto loaded = load_store_file(path);
    ASSERT_TRUE(loaded.has_value()) << loaded.error().message;
    expect_same_store(loaded.value(), second);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

// A refused save reports the errno and leaves no file behind, whichever call failed.
TEST_F(StoreFile, FailedSaveLeavesNothing) {
    const Vectorstore store = make_store(3, 70);
    const auto missing = save_store_file(store, dir_ / "no such folder" / "store.npz");
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error().os_error, ENOENT);
    EXPECT_TRUE(fs::is_empty(dir_));

    fs::create_directory(dir_ / "folder");  // the final rename cannot replace it
    const auto onto_folder = save_store_file(store, dir_ / "folder");
    ASSERT_FALSE(onto_folder.has_value());
    EXPECT_EQ(onto_folder.error().os_error, EISDIR);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

TEST_F(StoreFile, MissingFileIsAnOsError) {
    const auto loaded = load_store_file(dir_ / "absent.npz");
    ASSERT_FALSE(loaded.has_value());
    EXPECT_EQ(loaded.error().os_error, ENOENT);
}

// The store's parts lie in the file as the store keeps them, so that a store
// can read them in place: each member's header and bytes, and a store viewing
// the parts found equals the one saved.
TEST_F(StoreFile, PartsAreFoundInPlace) {
    const fs::path path = dir_ / "store.npz";
    const Vectorstore store = make_store(3, 70);
    ASSERT_TRUE(save_store_file(store, path).has_value());
    const std::string file = read_file(path);
    const std::span<const unsigned char> bytes{reinterpret_cast<const unsigned char*>(file.data()), file.size()};
    const auto members = read_zip(bytes);
    ASSERT_TRUE(members.has_value()) << members.error().what;
    ASSERT_EQ(members->size(), 4u);

    const struct {
        const char* name;
        const char* descr;
        std::vector<std::uint64_t> shape;
        const void* data;
        std::size_t bytes;
    } want[] = {{"blocks.npy", "<f4", {1, 3, 64}, store.blocks_data(), 64 * 3 * sizeof(float)},
                {"tail.npy", "<f4", {6, 3}, store.tail_data(), 6 * 3 * sizeof(float)},
                {"roots.npy", "<f4", {70}, store.roots_data(), 70 * sizeof(float)},
                {"ids.npy", "<u8", {70}, store.ids_data(), 70 * sizeof(std::uint64_t)}};
    for (std::size_t i = 0; i < 4; ++i) {
        const ZipMember& m = members.value()[i];
        SCOPED_TRACE(want[i].name);
        EXPECT_EQ(m.name, want[i].name);
        EXPECT_TRUE(crc_matches(m));
        const auto header = parse_npy_header(m.bytes);
        ASSERT_TRUE(header.has_value()) << header.error();
        EXPECT_EQ(header->descr, want[i].descr);
        EXPECT_FALSE(header->fortran_order);
        EXPECT_EQ(header->shape, want[i].shape);
        ASSERT_EQ(m.bytes.size() - header->data_offset, want[i].bytes);
        EXPECT_EQ(std::memcmp(m.bytes.data() + header->data_offset, want[i].data, want[i].bytes), 0);
    }

    const auto found = find_store(bytes, false);
    ASSERT_TRUE(found.has_value()) << found.error().message;
    EXPECT_EQ(found->rows, nullptr);
    const Vectorstore viewing = Vectorstore::viewing(found->parts, nullptr);
    expect_same_store(viewing, store);
    EXPECT_EQ(viewing.reserved_bytes(), 0u);
}

// A damage done to a good file, and a part of the message it must bring.
struct Damage {
    const char* name;
    std::function<void(std::string&)> apply;
    const char* reason;
};
void PrintTo(const Damage& d, std::ostream* os) { *os << d.name; }

void flip(std::string& s, std::size_t at, unsigned mask) {
    s[at] = static_cast<char>(static_cast<unsigned char>(s[at]) ^ mask);
}

void replace_all(std::string& s, const std::string& from, const std::string& to) {
    for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) {
        s.replace(at, from.size(), to);
    }
}

class StoreFileDamaged : public StoreFile, public ::testing::WithParamInterface<Damage> {};

TEST_P(StoreFileDamaged, IsRefused) {
    const fs::path path = dir_ / "store.npz";
    ASSERT_TRUE(save_store_file(make_store(3, 70), path).has_value());
    std::string bytes = read_file(path);
    GetParam().apply(bytes);
    write_file(path, bytes);

    const auto loaded = load_store_file(path);
    ASSERT_FALSE(loaded.has_value());
    EXPECT_EQ(loaded.error().os_error, 0);
    EXPECT_EQ(loaded.error().message.rfind("not a tessaray store file: ", 0), 0u) << loaded.error().message;
    EXPECT_NE(loaded.error().message.find(GetParam().reason), std::string::npos) << loaded.error().message;
}

std::function<void(std::string&)> cut_to(std::function<std::size_t(std::size_t)> size) {
    return [size](std::string& s) { s.resize(size(s.size())); };
}

const Damage kDamages[] = {
    {"CutByOneByte", cut_to([](std::size_t n) { return n - 1; }), "zip end record"},
    {"CutBeforeEndRecord", cut_to([](std::size_t n) { return n - 22; }), "zip end record"},
    {"CutInTheIds", cut_to([](std::size_t n) { return n - 200; }), "zip end record"},
    {"CutInHalf", cut_to([](std::size_t n) { return n / 2; }), "zip end record"},
    {"CutToALocalHeader", cut_to([](std::size_t) { return 30; }), "zip end record"},
    {"CutToTenBytes", cut_to([](std::size_t) { return 10; }), "too short"},
    {"FlippedVectorBit", [](std::string& s) { flip(s, data_offset(s, "<f4") + 77, 0x10); },
     "CRC-32 mismatch in member 'blocks.npy'"},
    {"FlippedIdBit", [](std::string& s) { flip(s, data_offset(s, "<u8") + 8 * 69 + 7, 0x80); },
     "CRC-32 mismatch in member 'ids.npy'"},
    {"WrongMemberName", [](std::string& s) { replace_all(s, "roots.npy", "rootz.npy"); },
     "unexpected member 'rootz.npy'"},
    {"BlocksOfHalfTheRows", [](std::string& s) { replace_all(s, "(1, 3, 64)", "(2, 3, 32)"); },
     "has blocks of 32 rows, not 64"},
    {"TailOfOtherRows", [](std::string& s) { replace_all(s, "(6, 3)", "(3, 6)"); }, "has rows of 6 floats"},
    {"Deflated", [](std::string& s) { s[s.find("PK\x01\x02") + 10] = 8; }, "compression is not supported"},
    {"ObjectIds", [](std::string& s) { replace_all(s, "'<u8'", "'|O' "); }, "dtype '|O'"},
    {"TextFile", [](std::string& s) { s = "vectors,ids\n1.0 2.0 3.0,17\n-4.5 0.0 9.0,18\n"; }, "zip end record"},
    {"EmptyFile", [](std::string& s) { s.clear(); }, "too short"},
};

INSTANTIATE_TEST_SUITE_P(StoreFile, StoreFileDamaged, ::testing::ValuesIn(kDamages),
                         [](const ::testing::TestParamInfo<Damage>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace tessaray::core
