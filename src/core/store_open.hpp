// store_open.hpp: a store file opened in place: a store that reads its parts where they lie in the file's mapping.
//
// The file is mapped read-only and shared (guarded_mapping.hpp), so every
// process that opens it shares the page cache's one copy, and the store keeps
// the mapping for as long as it lives.  Nothing is ever written to the file:
// the store's first append copies each part that grows into memory of its
// own.  A file replaced by a rename (as save replaces one) leaves the open
// store reading the old file; a file shortened under it makes the store
// lost() (its lost pages read as zero) instead of ending the process.
#pragma once

#include <string>

#include "core/expected.hpp"
#include "core/file_error.hpp"
#include "core/store.hpp"

namespace tessaray::core {

// The store saved at `path`, read in place.  Checks what load_store_file
// checks, the CRC-32s only with `verify` (one sequential read of the file;
// without it, opening reads only the archive's directory and headers), and
// fails as it fails.  A store file whose rows are kept row after row (saved
// by an earlier version, or by numpy.savez) or whose arrays are not aligned
// for their values can be loaded but not read in place: it fails with
// os_error 0 and a message that starts "cannot open in place: ".
Expected<Vectorstore, FileError> open_store_file(const std::string& path, bool verify);

}  // namespace tessaray::core
