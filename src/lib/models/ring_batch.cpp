// RingBatch::evaluate (ring_batch.hpp): K and Pi of the queued general-form
// rings through the batch kernels, then each ring finished in its slot.
#include "lib/models/ring_batch.hpp"

#include "ellip/batch.hpp"

namespace tavlomer::models {

void RingBatch::evaluate() noexcept {
    namespace batch = ellip::batch;
    const std::size_t count = general_;
    if (count == 0) return;  // every queued ring in the near-ring band
    const batch::In m(m_.data(), count);
    batch::ellipk(m, k_.first(count));
    batch::ellippi(batch::In(n_.data(), count), m, pi_.first(count));
    for (std::size_t j = 0; j < count; ++j) {
        result_.set(slot_[j], ring_general_value(lens_, form_[j], k_[j], pi_[j]));
    }
}

}  // namespace tavlomer::models
