// fault.hpp: internal faults, the abrupt end of an operation that cannot go on.
//
// A fault is reported on standard error where it happens and then travels as a
// C++ exception of one type, `Fault`, through every owner's destructor up to
// the call boundary, which turns it into the caller's error.
#pragma once

#include <exception>
#include <source_location>
#include <string>
#include <string_view>

namespace tessaray::core {

class Fault : public std::exception {
public:
    explicit Fault(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

// Writes the fault report (thread, place, message) to standard error.
void report_fault(std::string_view message, std::source_location where = std::source_location::current()) noexcept;

// Reports a fault and throws it.
[[noreturn]] void raise_fault(std::string message, std::source_location where = std::source_location::current());

// Throws a fault without a report, for a fault whose report was already made.
[[noreturn]] void raise_reported_fault(std::string message);

// Runs a worker thread's `work`; true when it ended in an exception, which
// has been reported then (a Fault where it was raised, anything else here).
template <class Work>
bool worker_failed(Work&& work) noexcept {
    try {
        work();
        return false;
    } catch (const Fault&) {
    } catch (const std::exception& e) {
        report_fault(e.what());
    } catch (...) {
        report_fault("Box<dyn Any>");
    }
    return true;
}

}  // namespace tessaray::core
