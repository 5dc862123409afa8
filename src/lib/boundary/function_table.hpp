// The module's seven functions: their method records, in registration order.
#pragma once

#include <Python.h>

#include <span>

namespace tavlomer::boundary {

// Records that live until the process ends, as the interpreter's function
// objects keep pointers to them.
[[nodiscard]] std::span<PyMethodDef> method_records() noexcept;

}  // namespace tavlomer::boundary
