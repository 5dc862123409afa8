// PLACEHOLDER until the quadrature-based models land.
#include "lib/models/models.hpp"

namespace tavlomer::models {
namespace { ListResult pending() { return std::unexpected(NumericError{"not implemented yet"}); } }
ListResult integrated_witt_mao_magnification(std::vector<double>, double, double) { return pending(); }
ListResult integrated_flux_map_witt_mao_magnification(std::vector<double>, std::vector<double>, std::vector<double>, double, double) { return pending(); }
ListResult integrated_heyrovsky_magnification(std::vector<double>, double, double) { return pending(); }
ListResult integrated_flux_map_heyrovsky_magnification(std::vector<double>, std::vector<double>, std::vector<double>, double, double) { return pending(); }
}
