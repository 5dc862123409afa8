// The report of an internal fault on standard error.
#pragma once

#include <source_location>
#include <string_view>

namespace tavlomer::boundary {

// Writes which thread faulted, where, and the message; with the environment
// variable TAVLOMER_BACKTRACE set (to anything but "" or "0") also the
// native call stack.  Never fails and never throws.
void report_fault(std::string_view message, const std::source_location& where) noexcept;

// The same for a fault whose origin is unknown (a foreign C++ exception).
void report_fault(std::string_view message) noexcept;

}  // namespace tavlomer::boundary
