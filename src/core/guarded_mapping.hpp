// guarded_mapping.hpp: a shared read-only file mapping whose pages, lost to a shortened file, read as zeros, not SIGBUS.
//
// A process-wide SIGBUS handler, installed by the first open, finds the
// faulting address in a fixed table of the open mappings.  In one of them it
// maps anonymous zero pages over the rest of that mapping, from the faulting
// page on, marks the mapping lost and returns, so that the read runs again
// and finds zeros; any thread is covered.  Any other SIGBUS is passed on to
// the handler that was installed before ours, or ends the process as it
// would have without us.
//
// What is not guarded:
// - A file overwritten in place (not shortened) under the mapping: the bytes
//   read change with it.  Only shortening is turned into zeros and lost().
// - A system call handed bytes of a lost page (write, send, ...) fails with
//   EFAULT instead of raising the signal.
// - A thread that blocks SIGBUS dies on a lost page (the kernel forces the
//   default action on a blocked fault).
// - A handler installed after the last open that does not pass the fault on
//   to ours takes it.  Every open puts ours back in front, passing other
//   faults on to the one it finds there.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>

#include "core/expected.hpp"
#include "core/file_error.hpp"

namespace tessaray::core {

// A whole regular file mapped read-only and shared (PROT_READ, MAP_SHARED),
// so that every process that maps it shares the page cache.  Unmapped with
// its owner.  It never moves: its place in the table refers to its range.
class GuardedMapping {
public:
    // How many non-empty mappings can be open at once in the process.
    static constexpr std::size_t max_mappings = 4096;

    GuardedMapping(const GuardedMapping&) = delete;
    GuardedMapping& operator=(const GuardedMapping&) = delete;
    ~GuardedMapping();

    // Opens and maps `path`.  FIFOs, devices and sockets are refused without
    // waiting on them.  Fails with the errno of the call that failed ("open",
    // "fstat", "mmap"), EISDIR from "open" for a folder, os_error 0 and the
    // message "not a regular file" for anything else that is not a regular
    // file, or EMFILE when max_mappings are open already.  An empty file maps
    // nothing.
    static Expected<std::shared_ptr<const GuardedMapping>, FileError> open(const std::string& path);

    std::span<const unsigned char> bytes() const noexcept { return {data_, bytes_}; }
    // True once a read of the mapping found a page that the file no longer
    // has.  From then on the lost pages, and the rest of the mapping after
    // the first lost page read, read as zero bytes.
    bool lost() const noexcept;

    // Asks the kernel to read ahead: the whole mapping is about to be read in
    // order.
    void advise_sequential() const noexcept;
    // Asks the kernel to read `bytes` bytes from `offset` now (the part of
    // them inside the mapping), unless it reads the mapping ahead in huge
    // pages by itself.
    void read_ahead(std::size_t offset, std::size_t bytes) const noexcept;

private:
    GuardedMapping(const unsigned char* data, std::size_t bytes, std::size_t slot) noexcept
            : data_(data), bytes_(bytes), slot_(slot) {}

    const unsigned char* data_;
    std::size_t bytes_;
    std::size_t slot_;   // in the table of mappings; max_mappings when it has none
    bool huge_ = false;  // advised MADV_HUGEPAGE
};

}  // namespace tessaray::core
