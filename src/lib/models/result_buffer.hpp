// Fixed-size storage for the results of the batch kernels, whose elements
// come to life only as they are used.  A std::array of Result<double> would
// construct all its elements on every call (a store or two each: for the
// three 64-element arrays of witt_mao_magnification about 1200 instructions,
// more than one separation's own work), while a call with few separations
// uses only a few.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <span>
#include <type_traits>

#include "common/numeric_error.hpp"

namespace tavlomer::models {

template <std::size_t N>
class ResultBuffer {
public:
    // The first count elements, freshly constructed, for a batch kernel to
    // assign.
    [[nodiscard]] std::span<Result<double>> first(std::size_t count) noexcept {
        std::uninitialized_value_construct_n(data(), count);
        return {data(), count};
    }

    // Element i, constructed as r.
    void set(std::size_t i, const Result<double>& r) noexcept { std::construct_at(data() + i, r); }

    // Element i, once constructed by first or set.
    [[nodiscard]] const Result<double>& operator[](std::size_t i) const noexcept {
        return std::launder(reinterpret_cast<const Result<double>*>(storage_))[i];
    }

private:
    // Nothing to destroy: the elements are dropped with the storage.
    static_assert(std::is_trivially_destructible_v<Result<double>>);

    [[nodiscard]] Result<double>* data() noexcept {
        return std::launder(reinterpret_cast<Result<double>*>(storage_));
    }

    alignas(Result<double>) std::byte storage_[N * sizeof(Result<double>)];
};

}  // namespace tavlomer::models
