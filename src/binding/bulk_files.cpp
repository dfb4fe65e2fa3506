// bulk_files.cpp: tessaray_bulk's store files: save and load.
#include <optional>
#include <string>

#include "binding/bulk_function.hpp"
#include "binding/convert.hpp"
#include "binding/result_arrays.hpp"
#include "binding/results.hpp"
#include "binding/unlocked.hpp"
#include "binding/vectorstore_object.hpp"
#include "core/store_file.hpp"

namespace tessaray::binding {

namespace {

// ---------------------------------------------------------------------------
// save(store, path) and load(path)

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

PyResult<PyObject*> load(PyObject*, const BoundArgs& args) {
    TESSARAY_TRY_ASSIGN(PyObject * cls, store_class());
    TESSARAY_TRY_ASSIGN(const std::string path, convert_arg("path", to_path(args[0])));
    std::optional<Expected<core::Vectorstore, core::FileError>> loaded;
    {
        const Unlocked unlocked;
        loaded.emplace(core::load_store_file(path));
    }
    if (!*loaded) return unexpected(file_error(loaded->error(), args[0]));
    return create_store_object(reinterpret_cast<PyTypeObject*>(cls), std::move(*loaded).value());
}

}  // namespace

PyMethodDef save_def() {
    return store_function<kSaveSpec, SharedBorrow, save>(
        "save(store, path)\n--\n\n"
        "Writes the store to path as an uncompressed .npz holding vectors.npy and ids.npy.");
}

PyMethodDef load_def() {
    return fastcall_def<kLoadSpec, load>(
        "load(path)\n--\n\n"
        "The store saved at path, after checking the whole file.");
}

}  // namespace tessaray::binding
