// Internal faults: the fault in flight, how one is raised, and its report on
// standard error.  The bottom of the boundary: everything else here may
// fault, so this file includes none of its neighbours.
#pragma once

#include <Python.h>

#include <source_location>
#include <string>
#include <string_view>

namespace tavlomer::boundary {

// An internal fault in flight.  Deliberately not a std::exception: nothing
// but the call entry catches it.
struct Fault {
    std::string message;
};

// Reports an internal fault on standard error and unwinds to the call entry.
[[noreturn]] void panic(std::string message,
                        std::source_location where = std::source_location::current());
// An interpreter call returned null where an object is required: prints the
// pending exception, then faults with "Python API call failed".
[[noreturn]] void panic_after_error(std::source_location where = std::source_location::current());

// Writes which thread faulted, where, and the message; with the environment
// variable TAVLOMER_BACKTRACE set (to anything but "" or "0") also the
// native call stack.  Never fails and never throws.
void report_fault(std::string_view message, const std::source_location& where) noexcept;

// The same for a fault whose origin is unknown (a foreign C++ exception).
void report_fault(std::string_view message) noexcept;

}  // namespace tavlomer::boundary
