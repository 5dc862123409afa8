// The seven magnification models behind the Python functions.  Plain C++:
// no interpreter types, no exceptions of their own (memory exhaustion aside,
// which the boundary turns into MemoryError).
//
// Separations l, ring radius r and tabulated radii bl are in source radii;
// re and rstar share one length unit and only their ratio enters.  Each
// list-valued model takes its separation list by value and may reuse its
// storage for the result: the result has one value per separation, in order.
#pragma once

#include <cstddef>
#include <expected>
#include <variant>
#include <vector>

#include "common/numeric_error.hpp"

namespace tavlomer::models {

// Unequal flux-map table lengths: an internal fault of the caller's making,
// reported with both lengths.
struct LengthMismatch {
    std::size_t left;   // len(bl)
    std::size_t right;  // len(bf)
};

using ModelFailure = std::variant<NumericError, LengthMismatch>;
using ListResult = std::expected<std::vector<double>, ModelFailure>;

// Uniform-source (Witt & Mao 1994) models.
[[nodiscard]] ListResult witt_mao_magnification(std::vector<double> l, double re, double rstar);
[[nodiscard]] ListResult integrated_witt_mao_magnification(std::vector<double> l, double re,
                                                           double rstar);
[[nodiscard]] ListResult integrated_flux_map_witt_mao_magnification(std::vector<double> l,
                                                                    std::vector<double> bl,
                                                                    std::vector<double> bf,
                                                                    double re, double rstar);

// Ring (Heyrovsky 2003) models.
[[nodiscard]] Result<double> heyrovsky_magnification(double l, double r, double re,
                                                     double rstar) noexcept;
[[nodiscard]] ListResult integrated_heyrovsky_magnification(std::vector<double> l, double re,
                                                            double rstar);
[[nodiscard]] ListResult integrated_flux_map_heyrovsky_magnification(std::vector<double> l,
                                                                     std::vector<double> bl,
                                                                     std::vector<double> bf,
                                                                     double re, double rstar);
[[nodiscard]] ListResult discrete_flux_map_heyrovsky_magnification(std::vector<double> l,
                                                                   std::vector<double> bl,
                                                                   std::vector<double> bf,
                                                                   double re, double rstar);

}  // namespace tavlomer::models
