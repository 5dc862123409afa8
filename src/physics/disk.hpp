// The uniformly bright disk, accurate to a few units in the last place for
// every separation: the building block of every brightness law
// (magnification.cpp stacks nested disks).  Plain C++, no allocation.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>

#include "physics/dual.hpp"

namespace tavlomer::physics::detail {

using physics::Dual;

// Sources and separations this small (u + rho, in Einstein radii) see the
// lens's magnification 1/u alone: the corrections are of order (u + rho)^2,
// while the general forms would underflow.  There the disk is homogeneous,
// A(c u, c rho) = A(u, rho) / c, and exactly so for c a power of two.
inline constexpr double small_scale = 1e-100;

// Where the other forms take over from the closed form, and how its mean
// iteration ends: disk.cpp's choice of form, which the batch disk
// (disk_batch.hpp) makes the same way.
namespace disk_forms {

// cel's arithmetic-geometric mean stops once its two means agree to this
// relative distance; the error left is of the order of its square.
inline constexpr double cel_agreement = 1e-9;
// The mean converges quadratically: a handful of steps for any kc a double
// holds.  The bound only stops a NaN argument from iterating forever.
inline constexpr int cel_step_limit = 64;

// The closed form serves u < closed_below rho; beyond, where its terms grow
// like (u / rho)^2 and cancel to A ~ 1, the far form.
inline constexpr double closed_below = 3.0;

// Below this |delta / s| the separation is on the limb as far as a double can
// tell (the difference is of order |delta / s| log |delta / s| relative), and
// (delta / s)^2 would underflow.
inline constexpr double on_limb = 1e-140;

// Beyond this separation (and u >= 3 rho) A - 1 < 2 / (u - rho)^4 underflows;
// a disk of this radius is unmagnified wherever it is.
inline constexpr double unmagnified = 1e100;
}  // namespace disk_forms

// Bulirsch's general complete elliptic integral
//
//   cel(kc, p, a, b) = \int_0^{pi/2} (a cos^2 t + b sin^2 t)
//                      / ((cos^2 t + p sin^2 t) sqrt(cos^2 t + kc^2 sin^2 t)) dt
//
// for kc > 0 and p > 0 (R. Bulirsch, "Numerical calculation of elliptic
// integrals and elliptic functions. III", Numer. Math. 13 (1969) 305-315).
// K(m) = cel(kc, 1, 1, 1), E(m) = cel(kc, 1, 1, kc^2) and
// Pi(n, m) = cel(kc, 1 - n, 1, 1) with kc = sqrt(1 - m): the parameters
// enter as the complements, which is what keeps the disk accurate at its limb.
template <class T>
[[nodiscard]] T cel(T kc, T p, T a, T b) noexcept;

// Several cel of the same kc, evaluated together; each enters as
// {sqrt(p), a, b / sqrt(p)}.
template <class T>
struct CelOf {
    T p;
    T a;
    T b;
};
template <class T, std::size_t N>
[[nodiscard]] std::array<T, N> cels(T kc, std::array<CelOf<T>, N> args) noexcept;
// And with M more that enter with the first one's p, as {a, b / sqrt(p)};
// their results follow the N others'.
template <class T>
struct Companion {
    T a;
    T b;
};
template <class T, std::size_t N, std::size_t M>
[[nodiscard]] std::array<T, N + M> cels(T kc, std::array<CelOf<T>, N> args,
                                        std::array<Companion<T>, M> companions) noexcept;

// The closed form's arguments (u < closed_below rho, off the limb): Witt &
// Mao's pi rho^2 A = c_e E(m) - c_k K(m) + c_pi Pi(n, m), with delta = u - rho,
// s = u + rho, q = sqrt(delta^2 + 4) and kc = sqrt(1 - m), as two cel of kc.
// disk.cpp's closed form and disk_centroid.cpp's, which takes its centroid
// moment from the same mean iteration, both start here: the same operations,
// so the same bits.  (disk_simd.hpp spells them again on vector registers.)
template <class T>
struct ClosedArguments {
    T s;
    T q;
    T kc;
    // c_e E - c_k K and c_pi Pi(n, m), as cels takes them.
    std::array<CelOf<T>, 2> terms;
};

template <class T>
[[nodiscard]] inline ClosedArguments<T> closed_arguments(const T& u, const T& rho,
                                                         const T& delta) noexcept {
    using std::fabs;
    using std::sqrt;
    const T s = u + rho;
    const T r = delta / s;
    const T q = sqrt(delta * delta + 4.0);
    const T kc = fabs(r) * sqrt(s * s + 4.0) / q;
    // The first two terms share one cel:
    // alpha K + beta E = cel(kc, 1, alpha + beta, alpha + beta kc^2).
    const T c_e = 0.5 * s * q;
    const T c_k = delta * (4.0 + 0.5 * delta * s) / q;
    // (delta / s) (delta / q) rather than delta^2 / (s q): for a source of
    // 1e77 Einstein radii and more (1 + rho^2) delta^2 would overflow.
    const T c_pi = 2.0 * (1.0 + rho * rho) * (r * (delta / q));
    // c_pi Pi(n, m) = cel(kc, r^2, c_pi, c_pi), entered with sqrt(p) = |r|
    // and b / sqrt(p) = c_pi / |r| = 2 (1 + rho^2) |delta| / q formed
    // directly: near the limb nothing of size 1/|r| appears.
    return {s,
            q,
            kc,
            {{{T{1.0}, c_e - c_k, c_e * (kc * kc) - c_k},
              {fabs(r), c_pi, 2.0 * (1.0 + rho * rho) * fabs(delta) / q}}}};
}

// The magnification of a uniform disk of radius rho at separation u (both in
// Einstein radii), u >= 0 and rho > 0 finite.  NaN for a NaN u.  With Dual
// arguments, its derivatives too (u and rho seeded by the caller); on the
// limb itself they are infinite, -inf in u and +inf in rho.
[[nodiscard]] double disk(double u, double rho) noexcept;
[[nodiscard]] Dual disk(const Dual& u, const Dual& rho) noexcept;
// The same with delta = u - rho given by a caller who knows it better than
// the difference of the rounded u and rho: a nested disk whose edge passes
// close to the lens, where the derivatives go like log|delta|.
[[nodiscard]] double disk(double u, double rho, double delta) noexcept;
[[nodiscard]] Dual disk(const Dual& u, const Dual& rho, double delta) noexcept;

// The closed form's value and its slopes in its own u and rho, and the
// derivatives they give for the caller's seeds u and rho: disk() with Dual
// arguments forms them this way, and so does the batch disk from its lanes.
struct ClosedSlopes {
    double a;
    double a_u;
    double a_rho;
};
[[nodiscard]] Dual chain(const ClosedSlopes& slopes, const Dual& u, const Dual& rho) noexcept;

}  // namespace tavlomer::physics::detail
