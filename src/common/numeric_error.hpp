// The failure value shared by every numerical kernel and model.
#pragma once

#include <expected>

namespace tavlomer {

// One fixed, static message text and nothing else: creating, copying and
// dropping a NumericError never allocates, so it can travel out of the
// innermost loops of the kernels at no cost.  The text always names the
// function that detected the failure ("elliprf: Failed to converge.");
// callers hand it on unchanged.
struct NumericError {
    const char* text;
};

// Result-or-failure of a kernel.  Kernels never throw and never signal
// failure through NaN: NaN and infinities are ordinary results.
template <class T>
using Result = std::expected<T, NumericError>;

}  // namespace tavlomer
