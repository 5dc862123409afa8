// Many ring magnifications at one lens, their elliptic integrals taken by the
// batch kernels: the shared piece of the discrete ring sum and the
// profile-integrated ring models.  Rings are queued (ring_setup's first
// stage at once, the near-ring band finished there), then evaluate() runs K
// and Pi over every queued general-form ring in one pass of each batch kernel
// and finishes them (ring_general_value).  Slot j's result is, bit for bit,
// ring_magnification(lens, l_j, r_j): the same stages on the same values,
// and the batch kernels' elements equal the scalar kernels' results.
//
// Fixed capacity, no allocation: a caller fills a batch, evaluates it, reads
// the results back in order and clears it.
#pragma once

#include <array>
#include <cstddef>

#include "common/numeric_error.hpp"
#include "lib/models/result_buffer.hpp"
#include "lib/models/ring.hpp"

namespace tavlomer::models {

class RingBatch {
public:
    // Wide enough to keep every vector lane busy; small enough for the stack
    // of a thread started with a small one (about 7 KiB).
    static constexpr std::size_t capacity = 64;

    explicit RingBatch(const RingLens& lens) noexcept : lens_(lens) {}

    [[nodiscard]] const RingLens& lens() const noexcept { return lens_; }
    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    [[nodiscard]] std::size_t room() const noexcept { return capacity - size_; }

    // Queues a ring already set up with ring_setup(lens(), l, r) and returns
    // its slot (slots are given out in order from 0).  Needs room() > 0.
    std::size_t add(const RingSetup& setup) noexcept {
        if (setup.general) {
            form_[general_] = setup.form;
            m_[general_] = setup.form.m;
            n_[general_] = setup.form.n;
            slot_[general_] = size_;
            ++general_;
        } else {
            result_.set(size_, setup.near_value);
        }
        return size_++;
    }
    std::size_t add(double l, double r) noexcept { return add(ring_setup(lens_, l, r)); }

    // Completes every queued ring.  Pi is evaluated also where K failed: the
    // result is K's failure all the same, and the extra element costs only
    // Pi's domain test (K fails only for m > 1, which Pi rejects first).
    void evaluate() noexcept;

    [[nodiscard]] const Result<double>& operator[](std::size_t slot) const noexcept {
        return result_[slot];
    }

    void clear() noexcept { size_ = general_ = 0; }

private:
    RingLens lens_;
    std::size_t size_ = 0;
    std::size_t general_ = 0;  // queued general-form rings
    ResultBuffer<capacity> result_;
    // The general-form rings, in the order queued.
    std::array<RingGeneralForm, capacity> form_;
    std::array<std::size_t, capacity> slot_;
    std::array<double, capacity> m_;
    std::array<double, capacity> n_;
    ResultBuffer<capacity> k_;
    ResultBuffer<capacity> pi_;
};

}  // namespace tavlomer::models
