// PLACEHOLDER
#include "ellip/legendre.hpp"
namespace tavlomer::ellip::legendre {
Result<double> ellipk(double) noexcept { return std::unexpected(NumericError{"todo"}); }
Result<double> ellipe(double) noexcept { return std::unexpected(NumericError{"todo"}); }
Result<double> ellippi(double, double) noexcept { return std::unexpected(NumericError{"todo"}); }
}
