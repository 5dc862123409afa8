// The magnification of a thin, uniformly bright ring centred on the source
// (Heyrovsky 2003, ApJ 594, 464): the building block of every limb-darkened
// model.  Shared by the plain ring function, the discrete ring sum and the
// profile integrals, which evaluate it about a thousand times per separation;
// the quantities that depend only on re / rstar are therefore formed once in
// RingLens, each exactly as the per-call formula forms it, so hoisting them
// changes no bit.
#pragma once

#include <cmath>

#include "common/constants.hpp"
#include "common/numeric_error.hpp"
#include "ellip/legendre.hpp"

namespace tavlomer::models {

using constants::half_pi;
using constants::pi;
using constants::two_pi;

// The lens, seen from the source: eps = re / rstar is the Einstein radius in
// source radii and g = eps^2.
struct RingLens {
    double eps;
    double g;
    double eps_times_8;  // eps * 8
    double two_eps;      // eps + eps
    double four_eps;     // 4 * eps
    double two_g;        // 2 * g
    double four_g;       // 4 * g

    [[nodiscard]] static RingLens from_radii(double re, double rstar) noexcept {
        const double eps = re / rstar;
        const double g = eps * eps;
        return {eps, g, eps * 8.0, eps + eps, 4.0 * eps, 2.0 * g, 4.0 * g};
    }
};

// The ring passes within this distance of the lens (in source radii): there
// the elliptic form loses its accuracy as n and m approach 1, and the
// logarithmic expansion about the ring takes over.
inline constexpr double near_ring_band = 0.001;

// A ring magnification up to its elliptic integrals.  ring_setup forms
// everything that comes before K and Pi, ring_general_value everything after;
// ring_magnification joins them with the scalar kernels and RingBatch
// (ring_batch.hpp) with the batch kernels, so both run one sequence of
// operations.
//
// The general form's quantities, with f = l - r:
struct RingGeneralForm {
    double f2;  // f * f
    double s;   // l + r
    double d;   // f^2 + 4g
    double m;   // the parameter of K and Pi
    double n;   // the characteristic of Pi
};

struct RingSetup {
    bool general;       // whether the general form applies
    double near_value;  // the result in the near-ring band (never a failure)
    RingGeneralForm form;

    // A NaN parameter makes the ring's value NaN or a failure, whatever K
    // and Pi then do: K(NaN) is NaN or a failure, and NaN * 2g enters the
    // final sum.  (The negative radius x - e of the profile integrals gives
    // (l r)/d < 0 and so a NaN square root.)
    [[nodiscard]] bool certainly_nan() const noexcept { return general && std::isnan(form.m); }
};

// Magnification of the ring of radius r whose centre lies at distance l from
// the lens: the mean of the point-source magnification (u^2 + 2)/(u sqrt(u^2 + 4))
// around the ring.  Fails only through ellipk or ellippi.
//
// The first stage: the near-ring band's value, or the general form's K and
// Pi arguments.
[[nodiscard]] inline RingSetup ring_setup(const RingLens& lens, double l, double r) noexcept {
    const double f = l - r;
    // A NaN f fails this test and goes to the general form.
    if (std::fabs(f) < near_ring_band) {
        // Lens just inside the ring: defined as exactly 0.0, no expansion on
        // this side.
        if (f < 0.0) return {false, 0.0, {}};
        // Expansion about the ring, lens on or just outside it.  At f = 0 the
        // logarithm is +inf (and NaN at l = r = 0); both are returned as values.
        const double l2 = l * l;
        const double log_term =
            std::log((lens.eps_times_8 * l) / (std::fabs(f) * std::sqrt(l2 + lens.g)));
        const double t1 = 4.0 * std::atan(l / lens.eps);
        const double t2 = (1.0 - f / (l + l)) * (lens.two_eps / l) * log_term;
        const double t3 = f * ((lens.eps * ((l2 + l2) + lens.g)) / (l2 * (l2 + lens.g)));
        return {false, (t1 + t2 + t3) / two_pi, {}};
    }
    // General form in complete integrals of the first and third kinds, with
    // n = 1 - (f/s)^2 and m = n 4g / (f^2 + 4g), so 0 < m < n < 1 for l, r > 0.
    const double s = l + r;
    const double f2 = f * f;
    const double d = f2 + lens.four_g;
    const double k = (lens.four_eps / s) * std::sqrt((l * r) / d);
    const double m = k * k;
    const double n = ((4.0 * l) * r) / (s * s);
    return {true, 0.0, {f2, s, d, m, n}};
}

// The last stage of the general form, from K(m) and Pi(n, m): the failure of
// K if it failed (Pi is then not looked at), else the failure of Pi, else
// the value.
[[nodiscard]] inline Result<double> ring_general_value(const RingLens& lens,
                                                       const RingGeneralForm& form,
                                                       const Result<double>& kk,
                                                       const Result<double>& pi_nm) noexcept {
    if (!kk) return kk;
    if (!pi_nm) return pi_nm;
    return ((4.0 / (form.s * std::sqrt(form.d))) * (form.f2 * *pi_nm + lens.two_g * *kk)) / two_pi;
}

// One ring with the scalar kernels; Pi is not evaluated once K has failed.
[[nodiscard]] inline Result<double> ring_magnification(const RingLens& lens, double l,
                                                       double r) noexcept {
    const RingSetup setup = ring_setup(lens, l, r);
    if (!setup.general) return setup.near_value;
    const Result<double> kk = ellip::legendre::ellipk(setup.form.m);
    if (!kk) return kk;
    return ring_general_value(lens, setup.form, kk,
                              ellip::legendre::ellippi(setup.form.n, setup.form.m));
}

}  // namespace tavlomer::models
