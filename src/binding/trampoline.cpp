// trampoline.cpp: the trap and the conversion of faults.
#include "binding/trampoline.hpp"

#include <cstdlib>

#include "core/out_of_memory.hpp"

namespace tessaray::binding {

void fire_trap() noexcept {
    core::report_fault("uncaught panic at ffi boundary");
    std::abort();
}

PyErr error_from_current_exception() {
    try {
        throw;
    } catch (const core::Fault& fault) {
        return PyErr::panic(fault.message());
    } catch (const core::OutOfMemory& e) {
        return PyErr::no_memory(e.bytes());
    } catch (const std::bad_alloc&) {
        return PyErr::no_memory();
    } catch (const std::exception& e) {
        core::report_fault(e.what());
        return PyErr::panic(e.what());
    } catch (...) {
        core::report_fault("unknown fault");
        return PyErr::panic("unknown fault");
    }
}

}  // namespace tessaray::binding
