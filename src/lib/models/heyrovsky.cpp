// The ring magnification and the discrete ring sum over a flux map.
#include <utility>

#include "lib/models/models.hpp"
#include "lib/models/ring.hpp"

namespace tavlomer::models {

Result<double> heyrovsky_magnification(double l, double r, double re, double rstar) noexcept {
    return ring_magnification(RingLens::from_radii(re, rstar), l, r);
}

// The source as a finite set of thin rings: radius bl[j] with weight bf[j].
// The weights enter the sum as given, never normalised; the first failing
// ring evaluation ends the whole call.
ListResult discrete_flux_map_heyrovsky_magnification(std::vector<double> l,
                                                     std::vector<double> bl,
                                                     std::vector<double> bf, double re,
                                                     double rstar) {
    if (bl.size() != bf.size()) return std::unexpected(LengthMismatch{bl.size(), bf.size()});
    const RingLens lens = RingLens::from_radii(re, rstar);
    for (double& li : l) {
        double sum = 0.0;
        for (std::size_t j = 0; j < bl.size(); ++j) {
            const Result<double> a = ring_magnification(lens, li, bl[j]);
            if (!a) return std::unexpected(a.error());
            sum = sum + *a * bf[j];
        }
        li = sum;
    }
    return l;
}

}  // namespace tavlomer::models
