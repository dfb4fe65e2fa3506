// bulk_files.cpp: tessaray_bulk's store files: save, load and open in place.
#include <optional>
#include <string>

#include "binding/bulk_function.hpp"
#include "binding/convert.hpp"
#include "binding/result_arrays.hpp"
#include "binding/results.hpp"
#include "binding/unlocked.hpp"
#include "binding/vectorstore_object.hpp"
#include "core/store_file.hpp"
#include "core/store_open.hpp"

namespace tessaray::binding {

namespace {

// ---------------------------------------------------------------------------
// save(store, path), load(path) and open(path, *, verify=True)

constexpr const char* kSaveParams[] = {"store", "path"};
constexpr ArgSpec kSaveSpec{nullptr, "save", kSaveParams, 2};

PyResult<PyObject*> save(const core::Vectorstore& store, const BoundArgs& args) {
    TESSARAY_TRY_ASSIGN(const std::string path, convert_arg("path", to_path(args[1])));
    TESSARAY_TRY(check_row_size(store));
    Expected<void, core::FileError> saved;
    {
        const Unlocked unlocked;
        saved = core::save_store_file(store, path);
    }
    if (!saved) return unexpected(file_error(saved.error(), args[1]));
    return none_result();
}

constexpr const char* kLoadParams[] = {"path"};
constexpr ArgSpec kLoadSpec{nullptr, "load", kLoadParams, 1};

// A new store object of the store that `read` makes of the file at `path`
// (the argument `path_arg`), read with the interpreter lock released.
template <class Read>
PyResult<PyObject*> store_from_file(PyObject* path_arg, const std::string& path, Read&& read) {
    TESSARAY_TRY_ASSIGN(PyObject * cls, store_class());
    std::optional<Expected<core::Vectorstore, core::FileError>> store;
    {
        const Unlocked unlocked;
        store.emplace(read(path));
    }
    if (!*store) return unexpected(file_error(store->error(), path_arg));
    return create_store_object(reinterpret_cast<PyTypeObject*>(cls), std::move(*store).value());
}

PyResult<PyObject*> load(PyObject*, const BoundArgs& args) {
    TESSARAY_TRY_ASSIGN(const std::string path, convert_arg("path", to_path(args[0])));
    return store_from_file(args[0], path, [](const std::string& p) { return core::load_store_file(p); });
}

constexpr const char* kOpenParams[] = {"path", "verify"};
constexpr ArgSpec kOpenSpec{nullptr, "open", kOpenParams, 1, 1};

PyResult<PyObject*> open(PyObject*, const BoundArgs& args) {
    TESSARAY_TRY_ASSIGN(const std::string path, convert_arg("path", to_path(args[0])));
    bool verify = true;
    if (args[1] != nullptr) {
        TESSARAY_TRY_ASSIGN(verify, convert_arg("verify", to_flag(args[1])));
    }
    return store_from_file(args[0], path, [verify](const std::string& p) { return core::open_store_file(p, verify); });
}

}  // namespace

PyMethodDef save_def() {
    return store_function<kSaveSpec, SharedBorrow, save>(
        "save(store, path)\n--\n\n"
        "Writes the store to path as an uncompressed .npz of its parts (blocks.npy, tail.npy,\n"
        "roots.npy, ids.npy), each on pages of its own, so that open() can read them in place.");
}

PyMethodDef open_def() {
    return fastcall_def<kOpenSpec, open>(
        "open(path, *, verify=True)\n--\n\n"
        "The store saved at path, read in place: its rows stay in the file, shared through the\n"
        "page cache with every process that opens it.  verify=True checks the file's checksums\n"
        "first (one sequential read).  Writes to the store never change the file.");
}

PyMethodDef load_def() {
    return fastcall_def<kLoadSpec, load>(
        "load(path)\n--\n\n"
        "The store saved at path, after checking the whole file.");
}

}  // namespace tessaray::binding
