// posix_file.hpp: files through POSIX calls: an owned descriptor, a new file renamed into place, a writer that counts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "core/expected.hpp"
#include "core/file_error.hpp"

namespace tessaray::core {

// An open file descriptor, closed with its owner.
class Fd {
public:
    explicit Fd(int fd = -1) noexcept : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd();
    int get() const noexcept { return fd_; }
    // Closes now and reports close's result (0, or -1 with errno).
    int close() noexcept;

private:
    int fd_;
};

// A new file under a temporary name beside `path`, removed again unless it
// was renamed over `path`.
class TempFile {
public:
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile();

    // Creates the file (hidden, named after `path`, this process and a count).
    static Expected<std::unique_ptr<TempFile>, FileError> create(const std::string& path);

    int fd() const noexcept { return fd_.get(); }

    // Flushes the file to disk, closes it and renames it over `path`.
    Expected<void, FileError> commit(const std::string& path);

private:
    TempFile(std::string name, int fd) : name_(std::move(name)), fd_(fd) {}

    std::string name_;
    Fd fd_;
    bool renamed_ = false;
};

// Writes everything it is given to a descriptor it does not own, counting
// the bytes.
class Output {
public:
    explicit Output(int fd) noexcept : fd_(fd) {}
    std::uint64_t position() const noexcept { return position_; }

    Expected<void, FileError> write(const void* data, std::size_t bytes);
    Expected<void, FileError> write(const std::string& s) { return write(s.data(), s.size()); }
    // Overwrites bytes already written, at `offset`; the position stays.
    Expected<void, FileError> write_at(std::uint64_t offset, const std::string& s);

private:
    int fd_;
    std::uint64_t position_ = 0;
};

}  // namespace tessaray::core
