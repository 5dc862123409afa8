// The ring magnification and the discrete ring sum over a flux map.
#include <utility>

#include "lib/models/models.hpp"
#include "lib/models/ring.hpp"
#include "lib/models/ring_batch.hpp"

namespace tavlomer::models {

Result<double> heyrovsky_magnification(double l, double r, double re, double rstar) noexcept {
    return ring_magnification(RingLens::from_radii(re, rstar), l, r);
}

// The source as a finite set of thin rings: radius bl[j] with weight bf[j].
// The weights enter the sum as given, never normalised; the first failing
// ring evaluation, in the order separation by separation and ring by ring,
// ends the whole call.  The (separation, ring) pairs go through RingBatch in
// that order, a batch at a time, so that a short table still fills the
// batch with the rings of several separations; each separation's sum runs
// over its rings in table order as before.  A separation is overwritten with
// its sum only once all its rings are queued.
ListResult discrete_flux_map_heyrovsky_magnification(std::vector<double> l, std::vector<double> bl,
                                                     std::vector<double> bf, double re,
                                                     double rstar) {
    if (bl.size() != bf.size()) return std::unexpected(LengthMismatch{bl.size(), bf.size()});
    const std::size_t rings = bl.size();
    if (rings == 0) {
        for (double& li : l) li = 0.0;
        return l;
    }
    RingBatch batch(RingLens::from_radii(re, rstar));
    std::size_t queued_i = 0, queued_j = 0;  // the next pair to queue
    std::size_t done_i = 0, done_j = 0;      // the next pair to add to its sum
    double sum = 0.0;
    while (done_i < l.size()) {
        while (batch.room() > 0 && queued_i < l.size()) {
            batch.add(l[queued_i], bl[queued_j]);
            if (++queued_j == rings) {
                queued_j = 0;
                ++queued_i;
            }
        }
        batch.evaluate();
        for (std::size_t slot = 0; slot < batch.size(); ++slot) {
            const Result<double>& a = batch[slot];
            if (!a) return std::unexpected(a.error());
            sum = sum + *a * bf[done_j];
            if (++done_j == rings) {
                l[done_i++] = sum;
                sum = 0.0;
                done_j = 0;
            }
        }
        batch.clear();
    }
    return l;
}

}  // namespace tavlomer::models
