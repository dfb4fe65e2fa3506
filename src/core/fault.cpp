// fault.cpp: the fault report on standard error.
#include "core/fault.hpp"

#include <cstdio>
#include <cstring>

namespace tessaray::core {

namespace {

// The source file's path from the project's src/ folder on, not the path of
// the machine it was built on.
const char* project_path(const char* file) noexcept {
    const char* found = std::strstr(file, "src/");
    return found != nullptr ? found : file;
}

}  // namespace

void report_fault(std::string_view message, std::source_location where) noexcept {
    // None of the threads that run the module's code carries a name of ours.
    std::fprintf(stderr, "\nthread '<unnamed>' panicked at %s:%u:%u:\n%.*s\n", project_path(where.file_name()),
                 static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()),
                 static_cast<int>(message.size()), message.data());
    std::fflush(stderr);
}

void raise_fault(std::string message, std::source_location where) {
    report_fault(message, where);
    throw Fault(std::move(message));
}

void raise_reported_fault(std::string message) { throw Fault(std::move(message)); }

}  // namespace tessaray::core
