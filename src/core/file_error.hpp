// file_error.hpp: why reading or writing a file failed.
#pragma once

#include <cerrno>
#include <string>

namespace tessaray::core {

struct FileError {
    // errno of the system call that failed, or 0 when the file itself is not
    // what was asked for.
    int os_error = 0;
    // With an os_error, the call that failed ("open", "write", ...); without,
    // what is wrong with the file (for a store file: "not a tessaray store
    // file: " and what is wrong with it).
    std::string message;
};

// The failure of the system call `call`, from errno as it stands.
inline FileError os_failure(const char* call) { return FileError{errno, call}; }

}  // namespace tessaray::core
