#include "lib/boundary/fault.hpp"

#include <execinfo.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace tavlomer::boundary {
namespace {

constexpr const char* backtrace_variable = "TAVLOMER_BACKTRACE";

bool backtrace_wanted() noexcept {
    const char* value = std::getenv(backtrace_variable);
    return value != nullptr && value[0] != '\0' && std::strcmp(value, "0") != 0;
}

// The build passes absolute source paths; from "src/" on they are the same
// on every machine.
const char* project_path(const char* file) noexcept {
    const char* found = nullptr;
    for (const char* p = std::strstr(file, "src/"); p != nullptr; p = std::strstr(p + 1, "src/")) {
        found = p;
    }
    return found != nullptr ? found : file;
}

void write_report(std::string_view message, const char* file, unsigned line) noexcept {
    char name[64] = "?";
    pthread_getname_np(pthread_self(), name, sizeof name);
    // One formatted write: the report stays in one piece even when another
    // thread writes to standard error at the same time.
    if (file != nullptr) {
        std::fprintf(stderr, "tavlomer: internal fault in thread '%s' (%ld) at %s:%u:\n%.*s\n",
                     name, static_cast<long>(gettid()), project_path(file), line,
                     static_cast<int>(message.size()), message.data());
    } else {
        std::fprintf(stderr, "tavlomer: internal fault in thread '%s' (%ld):\n%.*s\n", name,
                     static_cast<long>(gettid()), static_cast<int>(message.size()), message.data());
    }
    if (!backtrace_wanted()) {
        std::fprintf(stderr, "note: set %s=1 to print the native call stack\n", backtrace_variable);
        return;
    }
    void* frames[128];
    const int count = backtrace(frames, 128);
    std::fputs("native call stack:\n", stderr);
    std::fflush(stderr);
    // Writes straight to the descriptor and allocates nothing.
    backtrace_symbols_fd(frames, count, STDERR_FILENO);
}

}  // namespace

void report_fault(std::string_view message, const std::source_location& where) noexcept {
    write_report(message, where.file_name(), where.line());
}

void report_fault(std::string_view message) noexcept { write_report(message, nullptr, 0); }

[[noreturn, gnu::cold]] void panic(std::string message, std::source_location where) {
    report_fault(message, where);
    throw Fault{std::move(message)};
}

[[noreturn, gnu::cold]] void panic_after_error(std::source_location where) {
    if (PyErr_Occurred()) {
        PyErr_Print();
    }
    panic("Python API call failed", where);
}

}  // namespace tavlomer::boundary
