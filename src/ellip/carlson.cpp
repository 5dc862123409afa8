// PLACEHOLDER
#include "ellip/carlson.hpp"
namespace tavlomer::ellip::carlson {
Result<double> elliprf(double, double, double) noexcept { return std::unexpected(NumericError{"todo"}); }
Result<double> elliprc(double, double) noexcept { return std::unexpected(NumericError{"todo"}); }
Result<double> elliprd(double, double, double) noexcept { return std::unexpected(NumericError{"todo"}); }
Result<double> elliprj(double, double, double, double) noexcept { return std::unexpected(NumericError{"todo"}); }
Result<double> _elliprj(double, double, double, double) noexcept { return std::unexpected(NumericError{"todo"}); }
}
