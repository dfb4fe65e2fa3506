// posix_file.cpp: files through POSIX calls: an owned descriptor, a new file renamed into place, a writer that counts.
#include "core/posix_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

namespace tessaray::core {

Fd::~Fd() {
    if (fd_ >= 0) ::close(fd_);
}

int Fd::close() noexcept { return ::close(std::exchange(fd_, -1)); }

TempFile::~TempFile() {
    if (!renamed_) ::unlink(name_.c_str());
}

Expected<std::unique_ptr<TempFile>, FileError> TempFile::create(const std::string& path) {
    static std::atomic<std::uint64_t> counter{0};
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    // Hidden, and short enough for any name the folder takes.
    const std::string base = path.substr(folder.size()).substr(0, 180);
    for (int attempt = 0;; ++attempt) {
        const std::string name =
            folder + "." + base + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) return std::unique_ptr<TempFile>(new TempFile(name, fd));
        if (errno != EEXIST || attempt == 100) return unexpected(os_failure("open"));
    }
}

Expected<void, FileError> TempFile::commit(const std::string& path) {
    if (::fsync(fd_.get()) != 0) return unexpected(os_failure("fsync"));
    if (fd_.close() != 0) return unexpected(os_failure("close"));
    if (::rename(name_.c_str(), path.c_str()) != 0) return unexpected(os_failure("rename"));
    renamed_ = true;
    // Makes the rename itself durable; the file is in place whatever this says.
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) ::fsync(dir.get());
    return {};
}

Expected<void, FileError> Output::write(const void* data, std::size_t bytes) {
    const auto* p = static_cast<const unsigned char*>(data);
    while (bytes > 0) {
        const ssize_t n = ::write(fd_, p, std::min<std::size_t>(bytes, std::size_t(1) << 30));
        if (n < 0) {
            if (errno == EINTR) continue;
            return unexpected(os_failure("write"));
        }
        p += n;
        bytes -= static_cast<std::size_t>(n);
        position_ += static_cast<std::uint64_t>(n);
    }
    return {};
}

Expected<void, FileError> Output::write_at(std::uint64_t offset, const std::string& s) {
    for (std::size_t done = 0; done < s.size();) {
        const ssize_t n = ::pwrite(fd_, s.data() + done, s.size() - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return unexpected(os_failure("write"));
        }
        done += static_cast<std::size_t>(n);
    }
    return {};
}

}  // namespace tessaray::core
