// fuzz_store_file.cpp: libFuzzer target for the store file reader: any bytes give a store or a clean refusal.
//
// What must hold for every input:
// - read_store returns, and so does find_store without the checksums (as
//   open(verify=False) reads a file) with the parts it finds copied out; they
//   never crash, leak or read out of bounds (the sanitizers built in say so);
// - a refusal is "not a tessaray store file: ..." in printable ASCII, so any
//   interpreter can show it;
// - a store it accepts survives a save and a load bit for bit, and reads the
//   same from the saved file in place: same vector size, rows, norms and ids.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "core/store.hpp"
#include "core/store_file.hpp"
#include "core/store_open.hpp"

namespace {

using tessaray::core::FileError;
using tessaray::core::Vectorstore;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "store file fuzz: %s\n", what.c_str());
    std::abort();
}

void check_refusal(const FileError& error) {
    constexpr std::string_view kPrefix = "not a tessaray store file: ";
    if (error.os_error != 0) fail("a system error from bytes in memory: " + error.message);
    if (!error.message.starts_with(kPrefix) || error.message.size() == kPrefix.size()) {
        fail("refused without saying why: " + error.message);
    }
    for (const char c : error.message) {
        if (c < 0x20 || c > 0x7E) fail("a message that is not printable ASCII: " + error.message);
    }
}

bool same_store(const Vectorstore& a, const Vectorstore& b) {
    if (a.vector_size() != b.vector_size() || a.size() != b.size()) return false;
    const std::size_t d = a.vector_size(), n = a.size();
    if (n != 0 && std::memcmp(a.ids_data(), b.ids_data(), n * sizeof(std::uint64_t)) != 0) return false;
    if (n != 0 && std::memcmp(a.roots_data(), b.roots_data(), n * sizeof(float)) != 0) return false;
    for (std::size_t e = 0; e < n; ++e) {
        for (std::size_t i = 0; i < d; ++i) {
            const float x = a.element(e, i), y = b.element(e, i);
            if (std::memcmp(&x, &y, sizeof x) != 0) return false;
        }
    }
    return true;
}

// A folder for the re-saved files, in memory where the machine has one.
std::string scratch_file() {
    static const std::string path = [] {
        std::string folder =
            access("/dev/shm", W_OK) == 0 ? "/dev/shm/tessaray-fuzz-XXXXXX" : "/tmp/tessaray-fuzz-XXXXXX";
        if (mkdtemp(folder.data()) == nullptr) fail("no scratch folder");
        const std::string file = folder + "/store.npz";
        static const std::string remove_at_exit = folder;
        std::atexit([] {
            unlink((remove_at_exit + "/store.npz").c_str());
            rmdir(remove_at_exit.c_str());
        });
        return file;
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Unverified, as open(path, verify=False) takes a file: the checked
    // shapes alone must keep every read of the parts within the bytes.
    const auto found = tessaray::core::find_store({data, size}, false);
    if (found && found->rows == nullptr) {
        const Vectorstore parts = Vectorstore::copy_of(found->parts);
        if (parts.size() != found->parts.size) fail("a store of other size than its parts");
    } else if (!found) {
        check_refusal(found.error());
    }
    auto loaded = tessaray::core::read_store({data, size});
    if (!loaded) {
        check_refusal(loaded.error());
        return 0;
    }
    const std::string path = scratch_file();
    const auto saved = tessaray::core::save_store_file(*loaded, path);
    if (!saved) fail("a loaded store could not be saved: " + saved.error().message);
    const auto again = tessaray::core::load_store_file(path);
    if (!again) fail("a saved store could not be loaded: " + again.error().message);
    if (!same_store(loaded.value(), again.value())) fail("a store changed on its way through a file");
    const auto opened = tessaray::core::open_store_file(path, true);
    if (!opened) fail("a saved store could not be opened in place: " + opened.error().message);
    if (!same_store(loaded.value(), opened.value())) fail("a store read in place differs from the one saved");
    return 0;
}
