// A radially symmetric source as a stack of nested uniform disks.  With the
// profile b(x) (x in source radii, b = 0 beyond x = 1), integrating the
// magnified flux by parts in the radius gives
//
//   F = \int_{[0, 1]} x^2 A_D(u, x rho) (-db(x))
//
// in units of pi rho^2: each nested disk of radius x rho, magnified by the
// uniform disk's A_D, weighted by how much the brightness drops there.  A
// jump of b (the profile's edge at x = 1, a table's ends) is a point term.
//
// A_D(u, x rho) is smooth in x except where the nested disk's edge crosses
// the lens, x0 = u / rho, where it goes like (x - x0) log|x - x0|.  The
// integrals are split there, each piece mapped so that its nodes cluster at
// the crossing, and summed by adaptive Gauss-Kronrod quadrature that
// bisects the piece with the largest error estimate until the estimates
// meet the tolerance.
#include "physics/magnification.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <memory>
#include <optional>
#include <type_traits>

#include "common/constants.hpp"
#include "common/power_of_two.hpp"
#include "physics/disk.hpp"
#include "physics/disk_batch.hpp"
#include "physics/disk_centroid.hpp"
#include "physics/quarter_turn.hpp"
#include "quadrature/gauss_jacobi.hpp"
#include "quadrature/gauss_kronrod.hpp"

namespace tavlomer::physics {

namespace {

using constants::half_pi;
using detail::disk;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

namespace gk = quadrature::gauss_kronrod;

// The error models of the two rules.  The Kronrod result is far better than
// the Gauss one it is checked against, by a margin measured on these
// integrands (bench/quadrature_error_models.py: every piece of the
// nested-disk integrals for 1e-4 <= rho <= 10 and u / rho from 0 to 1e4,
// panels bisected down to 1/64 of a piece, each against a graded 15-point
// quadrature of itself).  For a relative Gauss-Kronrod difference g:
// - the 15-point rule's relative error stayed below 0.4 g^1.5 for
//   g >= 1e-6; the estimate takes 10 g^1.5 (QUADPACK assumes the power 1.5
//   with a larger, general-purpose factor).  Below, a crossing just outside
//   the limb left up to 16 g^1.5 (g near 1e-7) and 480 g^1.5 (near 1e-9),
//   which the finest tolerances meet with a model of their own (below);
// - the 7-point rule's stayed below 6e-4 g for g >= 1e-4 (507 panels) and
//   below 0.01 g for any g, not a power of g: its 3-point Gauss rule is off
//   by the smooth part of the integrand, the Kronrod result by the crossing's
//   (x - x0) log|x - x0|.  The estimate takes 2e-3 g: over three times the
//   largest error where panels are accepted, and where g < 1e-4 the error,
//   below 1e-6, is a tenth of the finest tolerance the rule is used for.
//   (An estimate g^2 was up to 5000 times short of the error at g = 1e-6,
//   and 30 times more than it at g = 1e-2, where the first panels stop at a
//   coarse rtol.)
constexpr gk::ErrorModel fine_model = {10.0, 1.5};
constexpr gk::ErrorModel coarse_model = {2e-3, 1.0};

// From this tolerance up the 7-point rule, exact for polynomials of degree
// 11, costs fewer nodes than the 15-point one (measured over the laws at
// rtol 1e-4 to 1e-6: at 1e-5 the 7-point rule took 14 nodes a point where
// the 15-point one took 20 for the linear law, 21 for 35 for the
// square-root law; at 1e-6 the 15-point rule took 20 for 27).
//
// Its error model was measured on the fixed laws' profiles; mu^alpha far
// from them breaks it.  At rtol 1e-4 to 1e-2 the 7-point rule left power2
// (c = 0.8) up to 85 rtol off at alpha = 30 and 2.7 rtol at alpha = 0.05,
// with no shortfall seen, while from alpha = 0.25 to 4 it stayed within
// 0.11 rtol (u / rho from 0 to 5, rho from 1e-3 to 6).  Outside that range
// power2 takes the 15-point rule at every rtol.
constexpr std::array<double, 2> coarse_alpha_range = {0.25, 4.0};
//
// It stays up to the coarsest rtol, 1e-2: the smaller rules cost more or
// deliver less (bench/quadrature_error_models.py, the panels as above).
// - The 5-point rule (2-point Gauss embedded) left up to 0.012 g for
//   g >= 1e-2, 0.02 g for g >= 1e-3 and 0.2 g below.  Estimated as 0.02 g
//   from rtol 8e-3 up, its first panels were accepted and the cost on
//   arrays over [0, 3 rho] at rho = 0.1 fell from 0.75 to 0.59 us a point
//   (linear), 1.16 to 0.89 (square root), 1.38 to 1.03 (power2), but rose
//   from 1.23 to 1.31 for the four-coefficient law, and dA/dc of the
//   linear law at u = rho (1 - 1e-12), rho = 10, a 180th of A, came out
//   30 rtol off (its value 0.08 rtol): the coefficients' derivatives are
//   differences of the values, whose errors this rule no longer keeps far
//   below rtol.  Estimated as 0.04 g it met them, but the four-coefficient
//   law's panels bisected (1.73 us) and below rtol 6e-3 every law's did.
// - The 3-point Gauss rule (the midpoint embedded) left up to 0.31 g, and g
//   was near 0.6 on whole pieces: it bisects far more than it saves.
constexpr double coarse_tolerance = 1e-5;

// The 15-point rule for the finest tolerances, below this one, where panels
// are accepted at g near 1e-9: there a crossing just outside the limb
// (u = 1.00001 rho), whose complex roots lie 0.05 from the clustered end of
// the mapped piece, left the rule an error of 400 g^1.5 on the panel at
// that end (measured at g = 1.4e-9; the result 6e-12 off at rtol = 1e-12,
// 5.7 rtol).  Estimated as 100 g^1.5 that panel is bisected and the result
// comes within 0.1 rtol.  (At the default rtol the panels stop at larger g,
// where 10 g^1.5 held in every regime measured; 100 would cost 40% there.)
constexpr double fine_tolerance = 1e-10;
constexpr gk::ErrorModel finest_model = {100.0, fine_model.power};

// Below this tolerance (down to fine_tolerance) the 21-point rule (Gauss 10)
// takes the place of the 15-point one for the fixed laws, with the same
// error model.  There the 15-point rule's first
// panel of a piece holding the crossing misses the tolerance at many
// separations and is bisected (45 nested disks for the piece), which the
// 21-point rule's panel meets; the law whose panel bisects differs from
// separation to separation, so the cost of one law, mode or profile over
// another swung with x0.  Measured on arrays over [0, 3 rho] at rho = 0.1
// (us per point, 15-point then 21-point), at rtol = 1e-9: linear 1.15, 1.10;
// quadratic 1.67, 1.19; its gradient 1.97, 1.78; with the centroid 2.48,
// 1.49.  At 3e-9 and above the 15-point rule's first panels mostly stop and
// it is the cheaper (linear 0.90 against 1.07 at 3e-9).  Its error model
// holds for it (bench/quadrature_error_models.py): the largest error stayed
// below 8.8 g^1.5 for g from 1e-8 to 1e-7, where the default rtol accepts
// panels (the 15-point rule's 85), 30 g^1.5 from 1e-9 to 1e-8 (480) and
// 0.015 g for any g (0.042).  Below fine_tolerance the 15-point rule stays:
// the 21-point one was cheaper there too (linear 3.9 against 4.4 at 1e-12),
// but its nodes nearer the ends raised the rounding floor just outside the
// limb (u = 1.000001 rho: 2.2e-12 off, the 15-point rule's 1.4e-12).
// Nor where a piece without the crossing holds most of the work, which the
// 15-point rule's first panel meets and the 21-point one takes six nodes more
// for: power2 (alpha = 0.6, whose v part is such a piece) cost 1.86 against
// 1.63 for its value (its gradient 6.05 against 6.98, its centroid 2.24
// against 2.95), and a table's intervals, each asked for a share of rtol, 8.7
// against 7.0 (11 entries).  The other laws with a v part gained: square_root
// 1.51 against 1.47 for its value, 2.09 against 2.78 with its centroid;
// logarithmic 2.01 against 2.74; claret4 1.86 against 2.22.
constexpr double wide_tolerance = 2e-9;

// The derivatives are promised to 10 rtol (what an optimiser's steps or a
// sampler's trajectories need is far coarser than the values they compare),
// or a tenth of rtol times their value where they pass through zero.
constexpr double derivative_tolerance = 10.0;
constexpr double derivative_floor = 0.1 / derivative_tolerance;

// A parameter's slope profile b' = db/dalpha (power2's mu^alpha log mu)
// enters its derivative as dA/dalpha = w (F' - A N') / Q (laws.cpp,
// combine), a difference that cancels: F' and A N' can agree to a part in a
// hundred (130 at u = 2 rho, rho = 1, alpha = 0.75, where
// F' = -0.29 and dA/dalpha = -0.003).  Measured against its own size, F'
// met 10 rtol and dA/dalpha missed it (1.5e-10 off at rtol = 1e-9, with
// A = 1.1).  So F' is asked for the derivatives' floor alone, a tenth of rtol
// times the magnified flux F of b: an error within it moves dA/dalpha by at
// most 0.1 rtol |w| F / Q, a tenth of rtol times A for 0 <= c <= 1 (power2's
// weights 1 - c and c, A Q = (1 - c) F_0 + c F).  (It cannot be measured
// against dA/dalpha itself, which depends on c, and bands share the
// integrals.)  The gradient costs a quarter more at alpha = 0.6, two thirds
// more at alpha = 2 (bench/bench_physics.py).

// The larger of two shortfall ratios, NaN if either is.
double worse(double a, double b) noexcept { return std::isnan(a) || a > b ? a : b; }

// How a piece [a, b] of the integration variable is mapped from w in [0, 1]:
// nodes clustered at an end where the integrand is singular (the crossing,
// or sqrt(mu) at the limb).  Each map is smooth and goes like w^2 at a
// clustered end, which turns (y - y0) log|y - y0| into w^3 log w and
// 1/sqrt(y - y0) into a constant.  (A stronger clustering crowds the smooth
// rest of the piece into fewer nodes: measured, it costs more panels than it
// saves.)
enum class Cluster { none, low, high };

struct Piece {
    double a;
    double b;
    Cluster cluster;
};

// A point of a piece: the distances to its ends (each formed without
// cancellation) and dy/dw.
struct Mapped {
    double from_a;
    double to_b;
    double weight;
};

Mapped map(const Piece& piece, double w) noexcept {
    const double h = piece.b - piece.a;
    const double v = 1.0 - w;
    switch (piece.cluster) {
        case Cluster::none:
            return {h * w, h * v, h};
        case Cluster::low:  // y = a + h w^2
            return {h * w * w, h * v * (1.0 + w), 2.0 * h * w};
        case Cluster::high:  // y = b - h (1 - w)^2
            return {h * w * (1.0 + v), h * v * v, 2.0 * h * v};
    }
    return {nan, nan, nan};
}

// The integrals of K integrands over the pieces, the values [0, V) to rtol
// and, if V < K, the rest (their derivatives) after them to
// derivative_tolerance * rtol, or below floors and offsets as in
// gk::Accuracy; with how close the estimates came to the tolerances (the
// worse of the two stages).  The 15-point rule, or the 7-point one for a
// coarse rtol.
template <std::size_t K>
struct Integrals {
    std::array<double, K> value;
    double worst;
};

//
// Values from `refined` on (a parametrised law's slope profile, which only
// its derivative in the parameter takes) are refined with the derivatives,
// so that the others are refined exactly as without them: the values do
// not depend on whether derivatives are asked.
template <std::size_t K, std::size_t Pairs, class F>
Integrals<K> integrate(const gk::Rule<Pairs>& rule, const gk::ErrorModel& model, const F& f,
                       std::size_t piece_count, double rtol, std::size_t values, double per_rho,
                       const std::array<double, K>& offsets, std::size_t refined,
                       double later) noexcept {
    gk::Panels<K, Pairs, F> panels(rule, model, f, piece_count);
    const gk::Sums<K> first = panels.refine({rtol, 0, refined});
    Integrals<K> total{first.value, first.worst};
    if (refined == K) return total;
    std::array<double, K> floors{};
    std::array<bool, K> floor_only{};
    // A slope profile against the profile it is the slope of (the one
    // before it), as the derivatives are against their values, and against
    // that alone (the note after derivative_floor).
    for (std::size_t k = refined; k < values; ++k) {
        floors[k] = k > 0 ? derivative_floor * std::fabs(total.value[k - 1]) : 0.0;
        floor_only[k] = true;
    }
    // d/du and d/drho per unit of u and rho: measured against the values per
    // source radius.  A slope profile's are not used (combine): an infinite
    // floor asks nothing of them.
    for (std::size_t k = values; k < K; ++k) {
        floors[k] = k % values >= refined
                        ? std::numeric_limits<double>::infinity()
                        : derivative_floor * std::fabs(total.value[k % values]) * per_rho;
    }
    const gk::Sums<K> rest =
        panels.refine({later * rtol, refined, K, &floors, &offsets, &floor_only});
    for (std::size_t k = refined; k < K; ++k) total.value[k] = rest.value[k];
    total.worst = worse(total.worst, rest.worst);
    return total;
}

template <std::size_t K, class F>
Integrals<K> integrate(const F& f, std::size_t piece_count, double rtol, std::size_t values,
                       double per_rho, const std::array<double, K>& offsets, std::size_t slopes = 0,
                       double later = derivative_tolerance, bool coarse_rule = true,
                       bool wide_rule = false) noexcept {
    const std::size_t refined = values - slopes;
    if (coarse_rule && rtol >= coarse_tolerance) {
        return integrate<K>(gk::kronrod7, coarse_model, f, piece_count, rtol, values, per_rho,
                            offsets, refined, later);
    }
    if (rtol < fine_tolerance) {
        return integrate<K>(gk::kronrod15, finest_model, f, piece_count, rtol, values, per_rho,
                            offsets, refined, later);
    }
    return wide_rule && rtol < wide_tolerance
               ? integrate<K>(gk::kronrod21, fine_model, f, piece_count, rtol, values, per_rho,
                              offsets, refined, later)
               : integrate<K>(gk::kronrod15, fine_model, f, piece_count, rtol, values, per_rho,
                              offsets, refined, later);
}

// The centroid moments S_k (after the magnified fluxes F_k, on their nodes)
// are asked for rtol relative, or rtol times a hundredth of the source
// radius times F_k where they pass through zero: the shift S / F is then
// within rtol max(|shift|, 0.01 rho).  (integrate's floors are
// derivative_floor |F_k| per_rho: per_rho = centroid_floor rho /
// derivative_floor gives these.)  They take the fluxes' error models, which
// measured on their own integrands are not pessimistic for them where their
// panels are accepted (bench/centroid_error_models.py: the 15-point rule's
// errors reached 15 g^1.5 near g = 1e-7, the 7-point rule's 0.025 g).
constexpr double centroid_floor = 0.01;

template <std::size_t K, class F>
Integrals<K> integrate_centroid(const F& f, std::size_t piece_count, double rtol,
                                std::size_t values, double rho, bool coarse_rule = true,
                                bool wide_rule = false) noexcept {
    return integrate<K>(f, piece_count, rtol, values, centroid_floor * rho / derivative_floor,
                        std::array<double, K>{}, 0, 1.0, coarse_rule, wide_rule);
}

// The fluxes, their moments and the slopes of both (centroid and gradient):
// six blocks of K integrands, F, dF/du, dF/drho, then S, dS/du, dS/drho
// (put_centroid), the last `slopes` profiles of each block a parameter's
// slope profile.  The law's own F and then S are refined first exactly as
// integrate_centroid refines them, so that neither the magnification's nor
// the shift's bits depend on whether the slopes are asked; the rest after
// them to derivative_tolerance rtol: F's slopes as integrate asks them, S's
// against the moment's own scale max(|S|, centroid_floor rho |F|) per rho,
// and a slope profile's F and S against the profile before it.
template <std::size_t K, std::size_t Pairs, class F>
Integrals<6 * K> integrate_centroid_slopes(const gk::Rule<Pairs>& rule, const gk::ErrorModel& model,
                                           const F& f, std::size_t piece_count, double rtol,
                                           double rho, const std::array<double, 6 * K>& offsets,
                                           std::size_t slopes) noexcept {
    constexpr std::size_t N = 6 * K;
    constexpr double infinity = std::numeric_limits<double>::infinity();
    const std::size_t refined = K - slopes;
    gk::Panels<N, Pairs, F> panels(rule, model, f, piece_count);
    const gk::Sums<N> first = panels.refine({rtol, 0, refined});
    Integrals<N> total{first.value, first.worst};
    // integrate_centroid's floors, formed alike (to the bit).
    const double per_rho = centroid_floor * rho / derivative_floor;
    std::array<double, N> floors{};
    for (std::size_t k = 0; k < refined; ++k) {
        floors[3 * K + k] = derivative_floor * std::fabs(total.value[k]) * per_rho;
    }
    const std::array<double, N> none{};
    const gk::Sums<N> moments = panels.refine({1.0 * rtol, 3 * K, 3 * K + refined, &floors, &none});
    for (std::size_t k = 0; k < refined; ++k) total.value[3 * K + k] = moments.value[3 * K + k];
    total.worst = worse(total.worst, moments.worst);
    std::array<double, K> scale{};  // the moments' own
    for (std::size_t k = 0; k < refined; ++k) {
        scale[k] = std::max(std::fabs(total.value[3 * K + k]),
                            centroid_floor * rho * std::fabs(total.value[k]));
    }
    std::array<bool, N> floor_only{};
    for (std::size_t k = 0; k < K; ++k) {
        const bool slope = k >= refined;
        floor_only[k] = slope;
        floor_only[3 * K + k] = slope;
        // A slope profile's value against the profile it is the slope of
        // (the one before it: a law's own come first); its own slopes in u
        // and rho are not used (combine).
        const std::size_t before = k > 0 ? k - 1 : 0;
        floors[k] = slope ? derivative_floor * std::fabs(total.value[before]) : 0.0;
        floors[3 * K + k] = slope ? derivative_floor * scale[before] : infinity;
        for (std::size_t block : {1, 2}) {
            floors[block * K + k] =
                slope ? infinity : derivative_floor * std::fabs(total.value[k]) / rho;
            floors[(3 + block) * K + k] = slope ? infinity : derivative_floor * scale[k] / rho;
        }
    }
    const gk::Sums<N> rest =
        panels.refine({derivative_tolerance * rtol, refined, N, &floors, &offsets, &floor_only});
    for (std::size_t k = refined; k < N; ++k) {
        if (k < 3 * K || k >= 3 * K + refined) total.value[k] = rest.value[k];
    }
    total.worst = worse(total.worst, rest.worst);
    return total;
}

template <std::size_t K, class F>
Integrals<6 * K> integrate_centroid_slopes(const F& f, std::size_t piece_count, double rtol,
                                           double rho, const std::array<double, 6 * K>& offsets,
                                           std::size_t slopes = 0, bool coarse_rule = true,
                                           bool wide_rule = false) noexcept {
    if (coarse_rule && rtol >= coarse_tolerance) {
        return integrate_centroid_slopes<K>(gk::kronrod7, coarse_model, f, piece_count, rtol, rho,
                                            offsets, slopes);
    }
    if (rtol < fine_tolerance) {
        return integrate_centroid_slopes<K>(gk::kronrod15, finest_model, f, piece_count, rtol, rho,
                                            offsets, slopes);
    }
    return wide_rule && rtol < wide_tolerance
               ? integrate_centroid_slopes<K>(gk::kronrod21, fine_model, f, piece_count, rtol, rho,
                                              offsets, slopes)
               : integrate_centroid_slopes<K>(gk::kronrod15, fine_model, f, piece_count, rtol, rho,
                                              offsets, slopes);
}

// ---- Parametric laws: the basis {1, mu, mu^2 or sqrt(mu)} --------------------
//
// In theta = asin(x) (mu = cos theta) the weights -db/dtheta are
//   mu:        sin theta                      F = \int sin^3 theta A_D dtheta
//   mu^2:      2 sin theta cos theta          F = \int 2 sin^3 theta cos theta A_D dtheta
//   sqrt(mu):  sin theta / (2 sqrt(cos theta))
// and b = 1 contributes its edge at x = 1 only: F = A_D(u, rho).

// The integration variable of a piece.
enum class Variable { theta, v, x };

struct SourcePiece {
    Piece piece;
    Variable variable;
};

// The end of the theta part when the sqrt(mu) basis takes v over the rest:
// theta = pi/4, x = 1/sqrt(2), v = 2^(-1/4).
using constants::quarter_pi;
constexpr double x_quarter = 0.70710678118654752440;  // 1/sqrt(2)
constexpr double v_quarter = 0.84089641525371454303;  // 2^(-1/4)

// Where a crossing close outside a piece still calls for nodes clustered at
// that end (beyond it the integrand is smooth at the piece's scale).
constexpr double near_limb_crossing = 1.5;

// At most: two theta pieces about a crossing and one more where a steep
// mu^alpha ends (gaussian_extent), two v pieces about a crossing and one
// more where mu^alpha's limb piece splits (flat_limb), and a v piece at the
// limb for v log v.
constexpr std::size_t max_pieces = 7;

// The limb variable is v = mu^q: q = 1/2 (sqrt(mu)) for every profile but
// mu^alpha, which takes q = alpha / m with m = ceil(alpha): there mu^alpha
// = v^m, whose slope m v^(m - 1) is a polynomial, and x^2 = 1 - v^(2m/alpha)
// has a power of at least 2.  (In sqrt(mu) the slope would be
// 2 alpha v^(2 alpha - 1), singular below alpha = 1/2, and at any alpha not
// a multiple of 1/2 a power the 7-point rule's error model misjudges: 1e-4
// off at rtol = 1e-4 for alpha = 3.35.)  Powers of 1/2 keep the sqrt(mu)
// laws' arithmetic as it was.
constexpr double sqrt_power = 0.5;

// v at a radius x, from c = 1 - x^2 = (1 - x)(1 + x), formed without
// cancellation; mu from v.
double v_of(double c, double q) noexcept {
    return q == sqrt_power ? std::sqrt(std::sqrt(c)) : std::pow(c, 0.5 * q);
}
double mu_of(double v, double q) noexcept { return q == sqrt_power ? v * v : std::pow(v, 1.0 / q); }

// v where the theta part ends, x = mu = 1/sqrt(2): 2^(-q/2).
double v_end(double q) noexcept { return q == sqrt_power ? v_quarter : std::exp2(-0.5 * q); }

// mu^alpha for a large alpha is a narrow peak at the centre, of width
// about 1/sqrt(alpha) in theta (mu^(alpha - 1) ~ exp(-alpha theta^2 / 2)):
// beyond this many widths it is below exp(-40) of its peak.  Where that
// lies inside the theta part the pieces split there, so that the nodes of
// the first piece see the peak whatever alpha (at alpha = 1e10 the first
// nodes of [0, pi/4] lie far outside it).
constexpr double gaussian_extent = 9.0;

// In v = mu^alpha a small alpha crowds the limb's mu into the end of the v
// part: mu = 2^-20 lies at v = 2^(-20 alpha), 1 - 14 alpha of the way for
// alpha near 0, where the nodes of the whole part see none of the drop of x.
// So below this alpha the v part splits at the v of mu = flat_limb, below
// which x = sqrt(1 - mu^2) is 1 to every digit and the integrand flat; the
// outer piece is smooth in log mu, which is linear in v there.
constexpr double crowded_alpha = 0.25;
constexpr double flat_limb = 0x1p-27;  // 1 - mu^2 rounds to 1 below it

// The pieces over the source for a crossing at x0 = u / rho.  In theta the
// source is [0, pi/2], split at theta0 = asin(x0).  The sqrt(mu) basis has
// 1/sqrt(cos theta) at the limb, which a crossing just inside it turns into a
// spike the nodes of [0, theta0] cannot see; it takes v = sqrt(mu) instead
// over the outer part x >= 1/sqrt(2) (where x^2 = 1 - v^4 keeps its digits),
// in which every weight is smooth: db/dv = 2v (mu), 1 (sqrt mu).
// The piece among [first, count) holding y (inside it) gives its part
// beyond y to a piece of its own, each keeping the clustered end it had;
// the new count.  None for y = 0.
std::size_t split_at(std::array<SourcePiece, max_pieces>& pieces, std::size_t first,
                     std::size_t count, double y) noexcept {
    for (std::size_t p = first; y > 0.0 && p < count; ++p) {
        const SourcePiece whole = pieces[p];
        if (!(whole.piece.a < y && y < whole.piece.b)) continue;
        for (std::size_t r = count; r > p + 1; --r) pieces[r] = pieces[r - 1];
        pieces[p] = {
            {whole.piece.a, y, whole.piece.cluster == Cluster::low ? Cluster::low : Cluster::none},
            whole.variable};
        pieces[p + 1] = {{y, whole.piece.b,
                          whole.piece.cluster == Cluster::high ? Cluster::high : Cluster::none},
                         whole.variable};
        return count + 1;
    }
    return count;
}

std::size_t source_pieces(double x0, bool sqrt_basis, bool log_at_limb,
                          std::array<SourcePiece, max_pieces>& pieces, double q = sqrt_power,
                          double theta_split = 0.0, double v_split = 0.0) noexcept {
    std::size_t count = 0;
    const double theta_end = sqrt_basis ? quarter_pi : half_pi;
    const double x_end = sqrt_basis ? x_quarter : 1.0;
    if (x0 > 0.0 && x0 < x_end) {
        const double theta0 = std::asin(x0);
        pieces[count++] = {{0.0, theta0, Cluster::high}, Variable::theta};
        pieces[count++] = {{theta0, theta_end, Cluster::low}, Variable::theta};
    } else {
        // No crossing inside the part (or at the centre, where A_D is smooth
        // in x); one at or just beyond its end clusters the nodes there.
        const bool near = x0 >= x_end && x0 < near_limb_crossing * x_end;
        pieces[count++] = {{0.0, theta_end, near ? Cluster::high : Cluster::none}, Variable::theta};
    }
    count = split_at(pieces, 0, count, theta_split);
    if (!sqrt_basis) return count;
    const std::size_t first_v = count;
    const double v_limit = v_end(q);
    // v runs from the limb (v = 0) inwards.
    if (x0 > x_quarter && x0 < 1.0) {
        const double v0 = v_of((1.0 - x0) * (1.0 + x0), q);
        pieces[count++] = {{0.0, v0, Cluster::high}, Variable::v};
        pieces[count++] = {{v0, v_limit, Cluster::low}, Variable::v};
    } else if (q != sqrt_power && x0 > 1.0 && x0 < near_limb_crossing) {
        // A crossing just outside bends the integrand where mu is about
        // sqrt(x0^2 - 1), which in v = mu^alpha is not at the limb but at
        // vz = (x0^2 - 1)^(alpha/2): the nodes cluster there.
        const double vz = v_of((x0 - 1.0) * (x0 + 1.0), q);
        if (vz < v_limit) {
            pieces[count++] = {{0.0, vz, Cluster::high}, Variable::v};
            pieces[count++] = {{vz, v_limit, Cluster::low}, Variable::v};
        } else {
            pieces[count++] = {{0.0, v_limit, Cluster::high}, Variable::v};
        }
    } else {
        Cluster cluster = Cluster::none;
        if (x0 >= 1.0 && x0 < near_limb_crossing) cluster = Cluster::low;
        if (x0 > 0.0 && x0 <= x_quarter) cluster = Cluster::high;
        pieces[count++] = {{0.0, v_limit, cluster}, Variable::v};
    }
    count = split_at(pieces, first_v, count, v_split);
    // v log v at the limb wants nodes clustered there too: a piece clustered
    // elsewhere (or not at all) gives up its outer half to one that is.
    // (Left to bisection, the limb cost five times the other pieces.)
    if (log_at_limb && pieces[first_v].piece.cluster != Cluster::low) {
        const Piece whole = pieces[first_v].piece;
        const double half = 0.5 * whole.b;
        for (std::size_t p = count; p > first_v + 1; --p) pieces[p] = pieces[p - 1];
        pieces[first_v] = {{0.0, half, Cluster::low}, Variable::v};
        pieces[first_v + 1] = {{half, whole.b, whole.cluster}, Variable::v};
        ++count;
    }
    return count;
}

// The profiles a parametric law integrates (its basis after the uniform
// profile, which is the edge term alone).
template <std::size_t K>
struct Profiles {
    std::array<Profile, K> profile;
    // Whether any is steep at the limb: then v = sqrt(mu) takes the outer
    // source (source_pieces).
    bool steep;
    // Whether any goes like v log v at the limb (source_pieces).
    bool log_at_limb;
    // mu^alpha's alpha (0 when the law has none), the limb variable's power
    // q (sqrt_power) and where the theta part splits (gaussian_extent; 0
    // for no split).
    double alpha = 0.0;
    double q = sqrt_power;
    double theta_split = 0.0;
    double v_split = 0.0;  // likewise the v part (crowded_alpha)
    // Whether the last profile is the parameter's slope profile.
    bool slope = false;
    // Whether the 7-point rule's error model holds for these profiles
    // (coarse_alpha_range).
    bool coarse_rule = true;
    // Whether the 21-point rule takes the 15-point one's place
    // (wide_tolerance).
    bool wide_rule = true;
};

// ---- The derivatives' logarithm ----------------------------------------------
//
// The integrals are differentiated under the integral sign (the nodes' x do
// not depend on u and rho, and where the pieces split at the crossing the
// integrand is continuous, so moving the split adds nothing).  Where the
// edge of a nested disk crosses the lens, x = x0, the derivatives of A_D
// diverge logarithmically (K's logarithm in the ring means of disk.cpp):
//
//   d/du A_D(u, x rho)    =  kappa log|u - x rho| + (continuous),
//   d/drho A_D(u, x rho)  = -x kappa log|u - x rho| + (continuous),
//
// kappa = 8 / (pi r s q) at r = x rho = u (s = u + r, q = sqrt((u - r)^2 + 4)).
// The nodes that resolve the values' (x - x0) log|x - x0| do not resolve the
// logarithm itself, so it is subtracted at every node, as lambda l(y) with
// lambda its coefficient at the crossing and
//
//   l(y) = log prod_z |y - z| = log|x(y) - x0| - (smooth)
//
// over the roots z of x(y) = x0 near the piece, in its variable y (real,
// or complex in conjugate pairs when the crossing lies outside the source),
// and its integral is added back in closed form.  What is left is
// continuous, like the values, and refines on the values' nodes.

// A real root (im == 0), or the pair re +- i im.
struct Root {
    double re;
    double im;
};

struct Logarithm {
    std::array<Root, 3> roots{};
    std::size_t count = 0;
    double at = 0.0;  // the point of the piece where lambda is taken
    // With `scaled`, root i counts scale[i] times (a root of a power that
    // is no polynomial: logarithm_of).
    bool scaled = false;
    std::array<double, 3> scale = {1.0, 1.0, 1.0};

    // l(y); -inf on a root.
    [[nodiscard]] double operator()(double y) const noexcept {
        if (scaled) {
            double sum = 0.0;
            for (std::size_t i = 0; i < count; ++i) {
                const double t = y - roots[i].re;
                sum += scale[i] * std::log(roots[i].im == 0.0 ? std::fabs(t)
                                                              : t * t + roots[i].im * roots[i].im);
            }
            return sum;
        }
        double product = 1.0;
        for (std::size_t i = 0; i < count; ++i) {
            const double t = y - roots[i].re;
            product *= roots[i].im == 0.0 ? std::fabs(t) : t * t + roots[i].im * roots[i].im;
        }
        return std::log(product);
    }

    // \int_a^b l(y) dy.
    [[nodiscard]] double integral(double a, double b) const noexcept {
        double sum = 0.0;
        for (std::size_t i = 0; i < count; ++i) {
            // scale is 1 but where scaled: exact.
            sum += scale[i] * (antiderivative(roots[i], b - roots[i].re) -
                               antiderivative(roots[i], a - roots[i].re));
        }
        return sum;
    }

    // \int_a^b (y - at) l(y) dy.
    [[nodiscard]] double moment(double a, double b) const noexcept {
        double sum = 0.0;
        for (std::size_t i = 0; i < count; ++i) {
            const Root& root = roots[i];
            // y - at = t + (re - at), t = y - re.
            const double ta = a - root.re;
            const double tb = b - root.re;
            sum +=
                scale[i] * (first_moment(root, tb) - first_moment(root, ta) +
                            (root.re - at) * (antiderivative(root, tb) - antiderivative(root, ta)));
        }
        return sum;
    }

private:
    // Of t log|t| or t log(t^2 + im^2).
    static double first_moment(const Root& root, double t) noexcept {
        if (root.im == 0.0) return t == 0.0 ? 0.0 : 0.5 * t * t * (std::log(std::fabs(t)) - 0.5);
        const double s = t * t + root.im * root.im;
        return 0.5 * (s * std::log(s) - t * t);
    }
    // Of log|t| (real root) or log(t^2 + im^2) (a pair), t = y - re.
    static double antiderivative(const Root& root, double t) noexcept {
        if (root.im == 0.0) return t == 0.0 ? 0.0 : t * (std::log(std::fabs(t)) - 1.0);
        const double b = root.im;
        return t * (std::log(t * t + b * b) - 2.0) + 2.0 * b * std::atan(t / b);
    }
};

// The logarithm of a piece for a crossing at x0, in the piece's variable:
//   theta (x = sin theta): roots theta0 = asin(x0) and pi - theta0 for
//     x0 <= 1; pi/2 +- i acosh(x0) beyond (sin theta - x0 =
//     2 cos((theta + theta0)/2) sin((theta - theta0)/2));
//   v (x^2 = 1 - v^4): x - x0 = (1 - x0^2 - v^4) / (x + x0), roots the
//     fourth roots of 1 - x0^2;
//   x itself: x0.
Logarithm logarithm_of(Variable variable, double x0, const Piece& piece,
                       double q = sqrt_power) noexcept {
    Logarithm l;
    double nearest = 0.0;
    switch (variable) {
        case Variable::theta:
            if (x0 <= 1.0) {
                const double theta0 = std::asin(x0);
                l.roots = {Root{theta0, 0.0}, Root{constants::pi - theta0, 0.0}};
                l.count = 2;
                nearest = theta0;
            } else {
                l.roots[0] = {half_pi, std::acosh(x0)};
                l.count = 1;
                nearest = half_pi;
            }
            break;
        case Variable::v: {
            const double c = (1.0 - x0) * (1.0 + x0);
            if (q != sqrt_power) {
                // x - x0 = (c - v^p) / (x + x0), p = 2/q, which is no
                // polynomial: l takes its logarithm near the real root
                // r = c^(q/2) and p log v beyond it, with the scaled roots
                //   c > 0: r once, and the pair +-i r (p - 1)/2 times;
                //   c = 0: 0, p times (exact);
                //   c < 0: the pair |c|^(q/2) exp(+-i pi q / 2), p/2 times
                //          (log|c| at v = 0, p log v far from it).
                // Any l is exact (its integral is added back); the closer to
                // log|x - x0|, the smoother what is left.
                const double p = 2.0 / q;
                const double r = std::pow(std::fabs(c), 0.5 * q);
                l.scaled = true;
                if (c > 0.0) {
                    l.roots = {Root{r, 0.0}, Root{0.0, r}, Root{}};
                    l.scale = {1.0, 0.5 * (p - 1.0), 0.0};
                    l.count = 2;
                } else if (c == 0.0) {
                    l.roots[0] = Root{0.0, 0.0};
                    l.scale[0] = p;
                    l.count = 1;
                } else {
                    l.roots[0] = Root{r * std::cos(half_pi * q), r * std::sin(half_pi * q)};
                    l.scale[0] = 0.5 * p;
                    l.count = 1;
                }
                nearest = c > 0.0 ? r : 0.0;
                break;
            }
            const double root = std::sqrt(std::sqrt(std::fabs(c)));
            if (c >= 0.0) {
                l.roots = {Root{root, 0.0}, Root{-root, 0.0}, Root{0.0, root}};
                nearest = root;
            } else {
                const double g = root * x_quarter;  // root / sqrt(2)
                l.roots = {Root{g, g}, Root{-g, g}};
                nearest = 0.0;
            }
            l.count = c >= 0.0 ? 3 : 2;
            break;
        }
        case Variable::x:
            l.roots[0] = {x0, 0.0};
            l.count = 1;
            nearest = x0;
            break;
    }
    l.at = std::clamp(nearest, piece.a, piece.b);
    return l;
}

// kappa at the nested disk of radius r.
double kappa(double u, double r) noexcept {
    const double s = u + r;
    const double q = std::sqrt((u - r) * (u - r) + 4.0);
    return 8.0 / (constants::pi * r * s * q);
}

// Where the logarithm is subtracted: a crossing inside the source or close
// enough outside it to bend the integrand (beyond, it is smooth).
bool subtracted(double x0) noexcept { return x0 > 0.0 && x0 < near_limb_crossing; }

// A_D(u, x rho), given delta = u - x rho, with its derivatives in u and rho
// if asked.
template <bool Gradient>
Dual nested(double u, double rho, double x, double delta) noexcept {
    if constexpr (Gradient) {
        return disk(Dual{u, 1.0, 0.0}, Dual{x * rho, 0.0, x}, delta);
    } else {
        return {disk(u, x * rho, delta), 0.0, 0.0};
    }
}

// An integrand split around its nested disk, so that the disks of a
// panel's nodes go through the batch disk (disk_batch.hpp) in one call, in
// SIMD lanes: `prepare(p, w)` gives a node of piece p at w, with its disk's
// arguments in `disk` and whatever finishing needs; `finish(node, a,
// values)` writes the node's values from a = A_D there, with its
// derivatives if Gradient (gauss_kronrod.hpp
// hands it one or two panels' nodes at a time).  Each node takes the
// operations of one scalar evaluation, in their order, and the batch disk
// gives the scalar disk's bits: the values, and every sum over them, are
// those of the node-by-node integrand.
struct DiskArguments {
    double u = 0.0;
    double r = 1.0;  // the disk's radius, x rho
    double delta = -1.0;
    double x = 1.0;  // dr / drho, for the derivatives
};

// With Centroid (and not Gradient), `finish(node, c, values)` takes the
// disk's magnification and centroid moment, c = disk_centroid there, from
// the batch's centroid kernel (disk_batch::centroids).
template <std::size_t N, bool Gradient, bool Centroid, class Prepare, class Finish>
struct BatchedDisks {
    const Prepare& prepare;
    const Finish& finish;

    template <std::size_t Count>
    void nodes(const std::array<std::size_t, Count>& p, const std::array<double, Count>& w,
               std::array<std::array<double, N>, Count>& values) const noexcept {
        // Storage the nodes are made in, not default-made first and then
        // overwritten (a panel pair's 30 to 42 nodes of a dozen doubles and
        // more each: 3% of a linear law's instructions).
        using Node = decltype(prepare(p[0], 0.0));
        static_assert(std::is_trivially_destructible_v<Node>);
        alignas(Node) std::byte storage[Count * sizeof(Node)];
        Node* const node = reinterpret_cast<Node*>(storage);
        std::array<double, Count> u, r, delta, a;
        for (std::size_t i = 0; i < Count; ++i) {
            std::construct_at(node + i, prepare(p[i], w[i]));
            u[i] = node[i].disk.u;
            r[i] = node[i].disk.r;
            delta[i] = node[i].disk.delta;
        }
        if constexpr (Centroid) {
            static_assert(!Gradient, "the moments' slopes are evaluated node by node");
            std::array<double, Count> moment;
            disk_batch::centroids(u.data(), r.data(), delta.data(), a.data(), moment.data(), Count);
            for (std::size_t i = 0; i < Count; ++i)
                finish(node[i], detail::DiskCentroid{a[i], moment[i]}, values[i]);
        } else if constexpr (Gradient) {
            // nested<true>'s disks, with their derivatives in u and rho.
            std::array<double, Count> x, du, dr;
            for (std::size_t i = 0; i < Count; ++i) x[i] = node[i].disk.x;
            disk_batch::nested_slopes(u.data(), r.data(), x.data(), delta.data(), a.data(),
                                      du.data(), dr.data(), Count);
            for (std::size_t i = 0; i < Count; ++i)
                finish(node[i], Dual{a[i], du[i], dr[i]}, values[i]);
        } else {
            disk_batch::disks(u.data(), r.data(), delta.data(), a.data(), Count);
            for (std::size_t i = 0; i < Count; ++i)
                finish(node[i], Dual{a[i], 0.0, 0.0}, values[i]);
        }
    }
};

template <std::size_t N, bool Gradient, bool Centroid = false, class Prepare, class Finish>
BatchedDisks<N, Gradient, Centroid, Prepare, Finish> batched_disks(const Prepare& prepare,
                                                                   const Finish& finish) noexcept {
    return {prepare, finish};
}

// ---- Where a nested disk's edge meets the lens -----------------------------
//
// The disk takes delta = u - x rho, its edge's distance from the lens.
// Formed from the rounded x it would carry x's rounding error, eps rho, which
// near the crossing is all of it, and the derivatives (which go like
// log|delta|) would take noise from it.  So within near_end of a piece's
// clustered end, where the crossing (or the limb) is, delta is formed from
// the exact distance d to that end instead:
//
//   delta = (u - x_e rho) + rho (x_e - x),
//
// the first term rounded once, the second from d: with e the end and s = 1
// at the high end, -1 at the low,
//   theta (x = sin theta):  s cos(e) sin d + 2 sin(e) sin^2(d/2),
//   v (x^2 = 1 - v^4):       -s d (v + e) (v^2 + e^2) / (x_e + x),
//   x:                       s d.
constexpr double near_end = 0.01;

struct End {
    bool used = false;
    bool high = false;
    Variable variable = Variable::x;
    double y = 0.0;      // the end, in the piece's variable
    double x = 0.0;      // its radius
    double delta = 0.0;  // u - x rho there
    double sin_y = 0.0;  // theta: sin and cos of the end
    double cos_y = 0.0;
    double q = sqrt_power;  // v: its power of mu
};

End end_of(const Piece& piece, Variable variable, double u, double rho,
           double q = sqrt_power) noexcept {
    End end;
    if (piece.cluster == Cluster::none) return end;
    end.used = true;
    end.high = piece.cluster == Cluster::high;
    end.variable = variable;
    end.y = end.high ? piece.b : piece.a;
    switch (variable) {
        case Variable::theta:
            end.sin_y = std::sin(end.y);
            end.cos_y = std::cos(end.y);
            end.x = end.sin_y;
            break;
        case Variable::v: {
            const double mu = mu_of(end.y, q);
            end.x = std::sqrt(1.0 - mu * mu);
            end.q = q;
            break;
        }
        case Variable::x:
            end.x = end.y;
            break;
    }
    end.delta = std::fma(-rho, end.x, u);
    return end;
}

// sin d for 0 <= d <= near_end (relative error below 1e-21 there).
double sin_near(double d) noexcept {
    const double d2 = d * d;
    return d * (1.0 - d2 / 6.0 * (1.0 - d2 / 20.0 * (1.0 - d2 / 42.0)));
}

// delta at a point of a piece: y at distance d from its clustered end
// (from_a or to_b of the map), x its radius.
[[gnu::always_inline]] inline double delta_at(const End& end, const Mapped& m, double y, double x,
                                              double u, double rho) noexcept {
    const double d = end.high ? m.to_b : m.from_a;
    if (!end.used || !(d < near_end)) return u - x * rho;
    const double s = end.high ? 1.0 : -1.0;
    double gap = 0.0;  // x_e - x
    switch (end.variable) {
        case Variable::theta: {
            const double half = sin_near(0.5 * d);
            gap = s * end.cos_y * sin_near(d) + 2.0 * end.sin_y * half * half;
            break;
        }
        case Variable::v:
            if (end.q != sqrt_power) {
                // x_e - x = (mu^2 - mu_e^2) / (x_e + x), mu^2 = v^p: from
                // the end e, v^p - e^p = e^p expm1(p log1p((v - e) / e)),
                // v - e = -s d exactly.
                const double p = 2.0 / end.q;
                const double difference =
                    end.y > 0.0 ? std::pow(end.y, p) * std::expm1(p * std::log1p(-s * d / end.y))
                                : std::pow(y, p);
                gap = difference / (end.x + x);
                break;
            }
            gap = -s * d * (y + end.y) * (y * y + end.y * end.y) / (end.x + x);
            break;
        case Variable::x:
            gap = s * d;
            break;
    }
    return end.delta + rho * gap;
}

// The K basis integrands of a point at which A_D is a, with weights g[k]
// (dy/dw included) and, with derivatives, their logarithms lambda[k] * l
// (lambda[k] for d/du, lambda[B + k] for d/drho) taken off.  A node on the
// crossing itself, where the derivatives are infinite, counts as zero: the
// logarithm is integrable and the rule sums its neighbourhood.
template <std::size_t B, std::size_t N>
void put(std::array<double, N>& values, const std::array<double, B>& g, const Dual& a,
         const std::array<double, 2 * B>& lambda, double l) noexcept {
    for (std::size_t k = 0; k < B; ++k) values[k] = g[k] * a.v;
    if constexpr (N > B) {
        for (std::size_t k = 0; k < B; ++k) {
            const double du = g[k] * a.du - lambda[k] * l;
            const double dr = g[k] * a.dr - lambda[B + k] * l;
            values[B + k] = std::isfinite(du) ? du : 0.0;
            values[2 * B + k] = std::isfinite(dr) ? dr : 0.0;
        }
    }
}

// The same with the centroid moments (integrate_centroid_slopes's blocks):
// F and its slopes from a, then S and its slopes from the moment m.  Where
// the nested disk's edge crosses the lens, the moment's slopes diverge as
// -u times A_D's (its mean of f cos(phi) stays bounded there, so only its
// - u A term brings a logarithm): the same logarithm, lambda times -u.
template <std::size_t B, std::size_t N>
void put_centroid(std::array<double, N>& values, const std::array<double, B>& g, const Dual& a,
                  const Dual& m, const std::array<double, 2 * B>& lambda, double l,
                  double u) noexcept {
    static_assert(N == 6 * B);
    std::array<double, 3 * B> part;
    put<B>(part, g, a, lambda, l);
    std::copy(part.begin(), part.end(), values.begin());
    std::array<double, 2 * B> moment_lambda;
    for (std::size_t c = 0; c < 2 * B; ++c) moment_lambda[c] = -u * lambda[c];
    put<B>(part, g, m, moment_lambda, l);
    std::copy(part.begin(), part.end(), values.begin() + 3 * B);
}

// The subtraction of one piece: the logarithm, its coefficients per unit of
// dy (as lambda in put, before dy/dw), and its integral over the piece.
// With `sloped` (slope_subtraction below) the coefficient follows the
// logarithm's true one away from the crossing, lambda + slope (y - l.at),
// and the moment of l over the piece adds back the rest.
template <std::size_t B>
struct Subtraction {
    Logarithm l;
    std::array<double, 2 * B> lambda{};
    double integral = 0.0;
    bool sloped = false;
    std::array<double, 2 * B> slope{};
    double moment = 0.0;

    // The coefficient of l at y, per unit of dy.
    [[nodiscard]] double at(std::size_t c, double y) const noexcept {
        return sloped ? lambda[c] + slope[c] * (y - l.at) : lambda[c];
    }
    // Its integral with l over the piece.
    [[nodiscard]] double offset(std::size_t c) const noexcept {
        const double constant = lambda[c] * integral;
        return sloped ? constant + slope[c] * moment : constant;
    }
};

// lambda at the point at = y of a piece whose weights there are g and x:
// kappa g for d/du, -x kappa g for d/drho.
template <std::size_t B>
Subtraction<B> subtraction(const Logarithm& l, const Piece& piece, double u, double rho, double x,
                           const std::array<double, B>& g) noexcept {
    Subtraction<B> out{l, {}, l.integral(piece.a, piece.b)};
    const double k = kappa(u, x * rho);
    bool finite = std::isfinite(out.integral);
    for (std::size_t b = 0; b < B; ++b) {
        out.lambda[b] = k * g[b];
        out.lambda[B + b] = -x * k * g[b];
        finite = finite && std::isfinite(out.lambda[b]) && std::isfinite(out.lambda[B + b]);
    }
    // A source so far below an Einstein radius (1e-150 of one) that kappa
    // overflows has derivatives beyond a double too: the nodes' own infinite
    // slopes give them, unsubtracted.
    return finite ? out : Subtraction<B>{};
}

// The offsets of the derivative integrals: the subtracted logarithms'
// integrals, lambda_p \int l_p over each piece p; none for the values alone
// (N == B), whose integrands carry no derivative slots.
template <std::size_t B, std::size_t N, std::size_t P>
std::array<double, N> offsets_of(const std::array<Subtraction<B>, P>& subtractions,
                                 std::size_t count) noexcept {
    static_assert(N == B || N == 2 * B || N == 3 * B);
    std::array<double, N> offsets{};
    if constexpr (N == 3 * B) {
        for (std::size_t p = 0; p < count; ++p) {
            for (std::size_t c = 0; c < 2 * B; ++c) offsets[B + c] += subtractions[p].offset(c);
        }
    }
    return offsets;
}

// The same for integrate_centroid_slopes's blocks: the moments' logarithms
// are -u times the fluxes' (put_centroid).
template <std::size_t B, std::size_t P>
std::array<double, 6 * B> centroid_offsets_of(const std::array<Subtraction<B>, P>& subtractions,
                                              std::size_t count, double u) noexcept {
    std::array<double, 6 * B> offsets{};
    for (std::size_t p = 0; p < count; ++p) {
        for (std::size_t c = 0; c < 2 * B; ++c) {
            const double offset = subtractions[p].offset(c);
            offsets[B + c] += offset;
            offsets[4 * B + c] += -u * offset;
        }
    }
    return offsets;
}

// The weight -db/dy of a basis profile at a point of a theta piece, from
// h = x^3 dy/dw (y = theta: x^2 (-db/dx) dx = b'(mu) sin^3 theta dtheta):
//   mu:        h                     mu^2:      2 h mu
//   sqrt(mu):  h / (2 sqrt(mu))      mu^(3/2):  (3/2) h sqrt(mu)
//   mu log mu: h (log mu + 1)
// and mu^alpha:  alpha h mu^(alpha - 1), its slope in alpha
// h mu^(alpha - 1) (alpha log mu + 1), from log mu (given: exact for mu near 1).
double theta_weight(Profile profile, double h, double mu, double alpha = 0.0,
                    double log_mu = 0.0) noexcept {
    switch (profile) {
        case Profile::mu:
            return h;
        case Profile::mu_squared:
            return 2.0 * h * mu;
        case Profile::sqrt_mu:
            return h / (2.0 * std::sqrt(mu));
        case Profile::mu_three_halves:
            return 1.5 * h * std::sqrt(mu);
        case Profile::mu_log_mu:
            return h * (std::log(mu) + 1.0);
        case Profile::mu_power:
            return alpha * h * std::exp((alpha - 1.0) * log_mu);
        case Profile::mu_power_log_mu:
            return h * std::exp((alpha - 1.0) * log_mu) * (alpha * log_mu + 1.0);
        case Profile::one:
            break;
    }
    return nan;
}

// The same at a point v of a v piece, from h = x^2 dv/dw (x^2 db/dv dv with
// mu = v^2, v running inwards from the limb):
//   mu:        2 v h                 mu^2:      4 v^3 h
//   sqrt(mu):  h                     mu^(3/2):  3 v^2 h
//   mu log mu (= 2 v^2 log v):       2 v (2 log v + 1) h, 0 at the limb
// and with v = mu^q, mu^alpha = v^e (e = alpha / q): e v^(e - 1) h (h alone
// for q = alpha), its slope in alpha v^e log(v) / q:
// v^(e - 1) (e log v + 1) h / q, 0 at the limb.
double v_weight(Profile profile, double h, double v, double alpha = 0.0,
                double q = sqrt_power) noexcept {
    switch (profile) {
        case Profile::mu:
            return 2.0 * v * h;
        case Profile::mu_squared:
            return 4.0 * v * v * v * h;
        case Profile::sqrt_mu:
            return h;
        case Profile::mu_three_halves:
            return 3.0 * v * v * h;
        case Profile::mu_log_mu:
            return v > 0.0 ? 2.0 * v * (2.0 * std::log(v) + 1.0) * h : 0.0;
        case Profile::mu_power: {
            const double e = alpha / q;
            return e == 1.0 ? h : e * std::pow(v, e - 1.0) * h;
        }
        case Profile::mu_power_log_mu: {
            const double e = alpha / q;
            return v > 0.0 ? std::pow(v, e - 1.0) * (e * std::log(v) + 1.0) * h / q : 0.0;
        }
        case Profile::one:
            break;
    }
    return nan;
}

// log cos theta = log1p(-2 sin^2(theta/2)): every digit near the centre,
// where a large alpha multiplies it.  (mu^alpha takes the steep pieces:
// theta <= pi/4.)  Out of line: inlined into parametric_weights it cost
// the laws without mu^alpha 1.4% more instructions (callgrind, linear).
[[gnu::noinline]] double log_cos(double theta) noexcept {
    const double half = detail::quarter_turn::sin_series(0.5 * theta);  // theta / 2 <= pi/4
    return std::log1p(-2.0 * half * half);
}

// The weights of the basis integrands of a parametric law at y of a
// source piece (to_b: the distance to the piece's end, for mu at the limb),
// times dy/dw = weight; x from y.
template <std::size_t K>
std::array<double, K> parametric_weights(const Profiles<K>& profiles, const SourcePiece& piece,
                                         double y, double to_b, double weight, double& x) noexcept {
    std::array<double, K> g{};
    if (piece.variable == Variable::v) {
        const double mu = mu_of(y, profiles.q);
        const double x2 = 1.0 - mu * mu;
        x = std::sqrt(x2);
        const double h = x2 * weight;
        for (std::size_t k = 0; k < K; ++k) {
            g[k] = v_weight(profiles.profile[k], h, y, profiles.alpha, profiles.q);
        }
        return g;
    }
    // cos theta from pi/2 - theta where the piece ends at the limb, so that
    // it keeps its digits there (to_b is that distance, exact; beyond pi/4,
    // theta is below it and its own cosine keeps them).
    const detail::SinCos at = piece.piece.b == half_pi && to_b <= quarter_pi
                                  ? detail::sin_cos_short_of_half_pi(to_b)
                                  : detail::quarter_sin_cos(y);
    x = at.sin;
    const double mu = at.cos;
    const double h = x * x * x * weight;
    const double log_mu = profiles.alpha > 0.0 ? log_cos(y) : 0.0;
    for (std::size_t k = 0; k < K; ++k) {
        g[k] = theta_weight(profiles.profile[k], h, mu, profiles.alpha, log_mu);
    }
    return g;
}

// The slope profile's weight in v = mu^q, with mu^alpha = v^e (e = ceil
// alpha), carries (e / q) v^(e - 1) log v: at the limb log v, or v log v,
// which only deep bisection resolves (the derivatives cost 20 times the
// values).  Near the limb x^2 A_D is the edge's A_D(u, rho) =: E to order
// v^(2/q), so (e / q) v^(e - 1) log v E is taken off every node of the v
// pieces and its integral, E v^e (log v - 1/e) / q, added back.
double slope_limb(double e, double q, double edge, double v) noexcept {
    return v > 0.0 ? edge * std::pow(v, e) * (std::log(v) - 1.0 / e) / q : 0.0;
}

// The centroid moments of a law's profiles with their slopes in u and rho,
// and the moment of the whole source's edge (Centroid with Gradient).
struct Moments {
    double* value;
    double* d_u;
    double* d_rho;
    double edge;
};

// A nested disk's slopes from disk_centroid_slopes's, whose rho is x rho.
Dual nested_slopes(const Dual& d, double x) noexcept { return {d.v, d.du, x * d.dr}; }

// ---- Outside the source: one Gauss-Jacobi rule in t = x^2 -------------------
//
// With the lens outside the source (x0 = u / rho > 1) no nested disk's edge
// crosses it, and A_D(u, rho sqrt(t)) is analytic in t on [0, 1]: its
// nearest singularities are the crossing t = x0^2 and the pair
// t = (u^2 - 4 +- 4iu) / rho^2 (where |z|^2 = -4 meets the disk, the point
// lens's branch points).  The profiles mu^(h/2) then take one Gauss rule of
// their own weight t (1 - t)^(h/4 - 1) (law_table.hpp's half_power), which
// holds the limb's singular slope exactly, and its error falls like
// R^(1 - 2n) in the number of nodes n, R the Bernstein ellipse of the
// nearest singularity; mu log mu takes two, mu's and one of the weight
// t (1 - t)^(-1/2) (-log(1 - t)) (profile_rule).  Measured
// (bench/outside_rule_error.py: the four powers and the log weight,
// rho from 1e-4 to 10, x0 from 1.01 to 1e3, n = 1 to 12, against
// a 60-point rule), with V = A_D(u, rho) / A(u) - 1, the source's whole
// effect on the nested disks (what the integrand varies by; the rule is
// exact for a constant):
// - the relative error of the values stayed below 0.84 of
//     V (0.12 n^-1.2 R_c^(1 - 2n) + R_b^(1 - 2n)),
//   R_c the crossing's ellipse and R_b the branch points': the crossing,
//   where the nested disks go like (t - t0) log|t - t0|, costs the rule less
//   than its ellipse alone says (0.08 n^-1.2 of it for rho <= 0.1), the
//   branch points (which matter for rho near 1 and beyond) their ellipse's
//   due (0.8 V R^(1 - 2n) with the nearer for both took 3.05 nodes on
//   average where this takes 2.52, over u from rho to 3 rho at rho = 0.1
//   and rtol = 1e-4);
// - the centroid moments' (the nested disks' moments), against
//   max(|S|, 0.01 rho |F|) (integrate_centroid's floor), below 0.84 of the
//   same with V_S, the moment's own change: the edge's moment less the
//   point's, 1 / sqrt(u^2 + 4), on that scale;
// - the derivatives', against their scale max(|dF|, 0.01 |F| / rho)
//   (integrate's floors), below 0.9 of
//     200 (1 + 0.9 rho) min(1, (x0^2 + 6 rho^2) / 18) V R^(1 - 2n)
//   with R the nearer ellipse (from 34 V R^(1 - 2n) for rho <= 1e-2 to 1500
//   at rho = 10; the log|u - x rho| that the nested disks' slopes carry
//   lies just beyond the interval).  The growth with rho was fitted as
//   (1 + rho)^0.9; 1 + 0.9 rho is above it (Bernoulli's inequality), by 2%
//   at rho = 1, and spares two pow() a point.  Near a small source the errors fall
//   short of the rest by x0^2 (the largest ratio to the model without the
//   min() was 0.0096 at x0 = 1.01, 0.04 at 2, 0.17 from 5 on, for
//   rho <= 0.1), and the min() takes that back: one or two nodes fewer.
// Each takes the fewest nodes whose model is a share of its tolerance (a
// quarter; the values, below, less), so the values deliver 0.05 rtol at
// most; where that takes more than max_points (a lens close outside the
// limb: within 1.006 rho at rtol = 1e-4 and rho = 0.1), the adaptive
// quadrature does.  Over u from rho to 3 rho there the rule takes 2.5
// nested disks a profile on average, the adaptive quadrature seven shared
// by the profiles.
namespace gj = quadrature::gauss_jacobi;

constexpr double outside_rule_share = 0.25;
// The values are asked for less: the coefficients' derivatives are
// differences of them (combine), held to a tenth of rtol times A where they
// are small (dA/dc of a large source outside it, where the limb darkening
// barely shows), and the values' errors pass into them whole; at a quarter
// of rtol they came out up to 2 times that floor (rho = 10, u = 1.1 rho).
constexpr double outside_value_share = 0.06;
// Where the branch points' ellipse exceeds this many times the crossing's,
// its term is below a tenth of the crossing's at any n.
constexpr double branch_stand_in = 64.0;
// 0.12 n^-1.2, n = 1 to max_points: the crossing's term of the model.
constexpr std::array<double, gj::max_points> crossing_factor = {
    0.12,    0.05223,  0.03211,  0.02274,  0.01739,  0.01398,
    0.01162, 0.009896, 0.008592, 0.007571, 0.006753, 0.006084};

// The Bernstein ellipse parameter of a point z for the interval [0, 1]:
// a + sqrt(a^2 - 1) for the ellipse about the foci -1 and 1 through
// s = 2 z - 1, whose semi-major axis a is half the sum of the distances to
// the foci (three square roots, where the complex square root and moduli
// took several times as long).
double ellipse(double re, double im) noexcept {
    const double s = 2.0 * re - 1.0;
    const double y = 2.0 * im;
    const double a =
        0.5 * (std::sqrt((s - 1.0) * (s - 1.0) + y * y) + std::sqrt((s + 1.0) * (s + 1.0) + y * y));
    return a + std::sqrt((a - 1.0) * (a + 1.0));
}

// The nodes the rule takes for the values and moments and for the
// derivatives; 0 where it would take more than max_points or the geometry
// is beyond its model.
struct RuleSize {
    std::size_t values = 0;
    std::size_t moments = 0;
    std::size_t slopes = 0;
};

// power2's mu^alpha takes the rule of its own beta = alpha/2 - 1, computed
// (gauss_jacobi.hpp) once per thread for each of the last few alphas: the
// same bits whichever thread computes them.  Measured as above for alpha
// from 0.02 to 100, the model held (below 0.8) wherever the rules' own
// rounding (a few 1e-14, for alpha near 0) was not all the error; the rule
// takes alpha within this range.
constexpr std::array<double, 2> power_rule_alpha = {0.05, 50.0};

const gj::Rule* power_rule(double alpha, std::size_t n) noexcept {
    struct Entry {
        double beta = nan;
        std::array<gj::Rule, gj::max_points> rules{};
        std::array<signed char, gj::max_points> state{};  // 0 unset, 1 set, -1 failed
    };
    thread_local std::array<Entry, 4> cache;
    thread_local std::size_t next = 0;
    const double beta = 0.5 * alpha - 1.0;
    Entry* entry = nullptr;
    for (Entry& e : cache) {
        if (e.beta == beta) entry = &e;
    }
    if (entry == nullptr) {
        entry = &cache[next];
        next = (next + 1) % cache.size();
        *entry = Entry{};
        entry->beta = beta;
    }
    signed char& state = entry->state[n - 1];
    if (state == 0) {
        const std::optional<gj::Rule> rule = gj::compute(n, beta);
        if (rule) entry->rules[n - 1] = *rule;
        state = rule ? 1 : -1;
    }
    return state > 0 ? &entry->rules[n - 1] : nullptr;
}

// Whether the rule takes a profile.
bool has_rule(Profile profile, double alpha) noexcept {
    return half_power(profile) > 0 || profile == Profile::mu_log_mu ||
           (profile == Profile::mu_power && alpha >= power_rule_alpha[0] &&
            alpha <= power_rule_alpha[1]);
}

// The rule of a profile it takes (has_rule), with the factor its flux takes
// (h/4, or alpha/2 for mu^alpha); none where power2's could not be computed.
// mu log mu: -db/dt = (1/4) (1 - t)^(-1/2) (log(1 - t) + 2) changes sign, so
// its flux is (1/2) J - (1/4) L, J the mu profile's integral
// \int_0^1 t (1 - t)^(-1/2) A_D dt and L that of the positive weight
// t (1 - t)^(-1/2) (-log(1 - t)) (gj::log_rules): this is L's rule, and J's
// is mu's (RuleNodes pairs them).
struct ProfileRule {
    const gj::Rule* rule = nullptr;
    double scale = 0.0;
};

ProfileRule profile_rule(Profile profile, double alpha, std::size_t n) noexcept {
    if (const int h = half_power(profile); h > 0) {
        return {&gj::rules[static_cast<std::size_t>(h - 1)][n - 1], 0.25 * h};
    }
    if (profile == Profile::mu_log_mu) return {&gj::log_rules[n - 1], -0.25};
    return {power_rule(alpha, n), 0.5 * alpha};
}

// mu log mu's two terms cancel: with A_D constant (1/2) J and (1/4) L are
// 2/3 and 8/9 of A where the flux is -2/9 of it, so errors of J and L that
// each meet the model's relative bound add up to (2/3 + 8/9) / (2/9) = 7
// times that bound on the flux.  A law with mu log mu asks the rule for
// rtol / 7.  Measured (bench/outside_rule_error.py), L alone kept below
// 0.63 of the model (values and moments; 0.19 for the derivatives), and the
// flux's error below 0.25 of 7 times it (moments; values 0.17, derivatives
// 0.2): J's and L's errors partly cancel too, but a measured factor of 2.5
// in place of 7 saved only 3 to 5% of logarithmic's time outside the source.
constexpr double log_cancellation = 7.0;

template <std::size_t K>
double rule_rtol(const Profiles<K>& profiles, double rtol) noexcept {
    for (const Profile profile : profiles.profile) {
        if (profile == Profile::mu_log_mu) return rtol / log_cancellation;
    }
    return rtol;
}

// The profiles the rule takes: all but a parameter's slope profile.
template <std::size_t K>
std::size_t rule_profiles(const Profiles<K>& profiles) noexcept {
    return profiles.slope ? K - 1 : K;
}

// Where the rule's model stands for a lens outside the source (x0 > 1):
// the Bernstein ellipses of the crossing and of the point lens's branch
// points, the nearer of them, and sqrt(u^2 + 4); `valid` false where the
// geometry is beyond the model.
struct RuleGeometry {
    bool valid = false;
    double crossing = 0.0;
    double branch = 0.0;
    double r = 0.0;
    double root = 0.0;
    double x0 = 0.0;
    // 1 / crossing^2, 1 / branch^2, 1 / r^2: what each node more gains.
    double crossing_step = 0.0;
    double branch_step = 0.0;
    double r_step = 0.0;
};

RuleGeometry rule_geometry(double u, double rho) noexcept {
    const double x0 = u / rho;
    if (!(x0 > 1.0) || !(u < 1e100) || !(rho > 1e-100)) return {};
    RuleGeometry g;
    g.x0 = x0;
    g.root = std::sqrt(u * u + 4.0);
    // The crossing, from x0^2 - 1 formed without cancellation: s - 1 for
    // s = 2 x0^2 - 1.
    const double above = 2.0 * (x0 - 1.0) * (x0 + 1.0);
    g.crossing = 1.0 + above + std::sqrt(above * (above + 2.0));
    // The branch points' ellipse is at least |s| >= 2 |t| - 1 (its two
    // roots multiply to 1 and add to 2s), |t| = (u^2 + 4) / rho^2: far beyond
    // the crossing's (a small source) that bound stands in for it, which
    // only overstates its term, and the ellipse is spared.
    const double far = 2.0 * (u * u + 4.0) / (rho * rho) - 1.0;
    g.branch = far > branch_stand_in * g.crossing
                   ? far
                   : ellipse((u - 2.0) * (u + 2.0) / (rho * rho), 4.0 * u / (rho * rho));
    g.r = std::min(g.crossing, g.branch);
    g.valid = g.r > 1.0;
    g.crossing_step = 1.0 / (g.crossing * g.crossing);
    g.branch_step = 1.0 / (g.branch * g.branch);
    g.r_step = 1.0 / (g.r * g.r);
    return g;
}

// The fewest nodes whose bound on the values (or moments) of a profile that
// the source changes by `variation` meets `asked`; 0 beyond max_points.
std::size_t values_points(const RuleGeometry& g, double variation, double asked) noexcept {
    double c = variation / g.crossing;
    double b = variation / g.branch;
    for (std::size_t n = 1; n <= gj::max_points; ++n) {
        if (crossing_factor[n - 1] * c + b <= asked) return n;
        c *= g.crossing_step;
        b *= g.branch_step;
    }
    return 0;
}

// Whether the rule takes every profile it integrates.
template <std::size_t K>
bool rule_takes(const Profiles<K>& profiles) noexcept {
    for (std::size_t k = 0; k < rule_profiles(profiles); ++k) {
        if (!has_rule(profiles.profile[k], profiles.alpha)) return false;
    }
    return true;
}

// The rule's sizes for a source that changes the values by `effect` and
// the moments by `moment_effect` (relative; NaN where the moments are not
// asked).
RuleSize outside_sizes(const RuleGeometry& g, double rho, double rtol, double effect,
                       double moment_effect, bool slopes) noexcept {
    if (!std::isfinite(effect)) return {};
    const auto slope_points = [&](double asked) -> std::size_t {
        const double near = std::min(1.0, (g.x0 * g.x0 + 6.0 * rho * rho) / 18.0);
        double bound = 200.0 * (1.0 + 0.9 * rho) * near * effect / g.r;
        for (std::size_t n = 1; n <= gj::max_points; ++n) {
            if (bound <= outside_rule_share * asked) return n;
            bound *= g.r_step;
        }
        return 0;
    };
    const std::size_t values = values_points(g, effect, outside_value_share * rtol);
    if (values == 0) return {};
    return {values,
            std::isfinite(moment_effect)
                ? values_points(g, moment_effect, outside_rule_share * rtol)
                : 0,
            slopes ? slope_points(derivative_tolerance * rtol) : 0};
}

RuleSize outside_rule(const RuleGeometry& g, double u, double rho, double rtol, double edge,
                      double edge_moment, bool moments, bool slopes) noexcept {
    const double point = (u * u + 2.0) / (u * g.root);
    const double effect = std::fabs(edge / point - 1.0);
    const double moment_effect =
        moments ? std::fabs(edge_moment - 1.0 / g.root) /
                      std::max(std::fabs(edge_moment), centroid_floor * rho * edge)
                : nan;
    return outside_sizes(g, rho, rtol, effect, moment_effect, slopes);
}

template <std::size_t K>
RuleSize outside_rule(const Profiles<K>& profiles, double u, double rho, double rtol, double edge,
                      double edge_moment, bool moments, bool slopes) noexcept {
    if (!rule_takes(profiles)) return {};
    const RuleGeometry g = rule_geometry(u, rho);
    return g.valid ? outside_rule(g, u, rho, rule_rtol(profiles, rtol), edge, edge_moment, moments,
                                  slopes)
                   : RuleSize{};
}

// The nested disks of the rule's nodes, rule after rule, and the weights
// that sum them into each profile's flux: one rule a profile, and for
// mu log mu (profile_rule) J's besides, which is the mu profile's where the
// law has it (the same nodes: the law's profiles share n), else a rule
// after the profiles'.
template <std::size_t K>
struct RuleNodes {
    static constexpr std::size_t most = (K + 1) * gj::max_points;
    std::size_t n = 0;
    std::size_t profiles = 0;
    std::size_t rules = 0;
    bool ready = true;  // false where a rule could not be computed
    // With a slot after the nodes for the edge disk (with_edge).
    std::array<double, most + 1> u, r, x, delta, w;
    std::array<double, K + 1> scale;
    // mu log mu's J: its rule's index; K + 1 for none.
    std::array<std::size_t, K> paired;

    RuleNodes(const Profiles<K>& laws, std::size_t points, double lens, double rho) noexcept
        : n(points), profiles(rule_profiles(laws)), rules(profiles) {
        paired.fill(K + 1);
        std::size_t mu_rule = K + 1;
        for (std::size_t k = 0; k < profiles; ++k) {
            const ProfileRule rule = profile_rule(laws.profile[k], laws.alpha, n);
            if (rule.rule == nullptr) {
                ready = false;
                return;
            }
            place(k, rule, lens, rho);
            if (laws.profile[k] == Profile::mu) mu_rule = k;
        }
        for (std::size_t k = 0; k < profiles; ++k) {
            if (laws.profile[k] != Profile::mu_log_mu) continue;
            if (mu_rule > K) {
                mu_rule = rules++;
                place(mu_rule, profile_rule(Profile::mu, 0.0, n), lens, rho);
            }
            paired[k] = mu_rule;
        }
    }
    [[nodiscard]] std::size_t count() const noexcept { return rules * n; }

    // The rule's nodes as the `index`th rule.
    void place(std::size_t index, const ProfileRule& rule, double lens, double rho) noexcept {
        scale[index] = rule.scale;
        for (std::size_t j = 0, i = index * n; j < n; ++j, ++i) {
            u[i] = lens;
            x[i] = rule.rule->x[j];
            r[i] = x[i] * rho;
            delta[i] = lens - r[i];
            w[i] = rule.rule->w[j];
        }
    }

    // The edge disk after the nodes, as edge<...>(u, rho, 1.0) forms its
    // arguments; the count with it.
    std::size_t with_edge(double lens, double rho) noexcept {
        const std::size_t i = count();
        u[i] = lens;
        x[i] = 1.0;
        r[i] = 1.0 * rho;
        delta[i] = lens - 1.0 * rho;
        return i + 1;
    }

    // Each profile's sum of f over its nodes (mu log mu's: J's term, then L's).
    void sum(const std::array<double, most + 1>& f, double* out) const noexcept {
        std::array<double, K + 1> totals{};
        for (std::size_t k = 0, i = 0; k < rules; ++k) {
            double total = 0.0;
            for (std::size_t j = 0; j < n; ++j, ++i) total += w[i] * f[i];
            totals[k] = scale[k] * total;
        }
        for (std::size_t k = 0; k < profiles; ++k) {
            out[k] = paired[k] > K ? totals[k] : totals[paired[k]] + totals[k];
        }
    }
};

// What the rule gives: values on one set of nodes; with Centroid the
// moments, and with Gradient the derivatives, on a set of their own where
// their model asks more nodes than the values' (else on the values' nodes,
// whose disks then come with their moments or slopes: the same values).
// Nothing where the rule does not apply; where it gives the values but not
// all the rest (their model beyond max_points, or the moments' slopes,
// left to the panels), the panels give the rest and the rule's values (and
// moments) are kept, so that they are the same bits in every mode.
struct ByRule {
    bool values = false;
    bool moments = false;
    bool slopes = false;
};

// The rule's integrals at the sizes `size` gives.  With `edge`, the edge
// disk goes through the first batch that gives what the mode takes of it
// (its value, its slopes or its centroid moment in du, as edge() returns
// them), one pass of the lanes with the nodes; `edge_given` says whether it
// was.
template <std::size_t K, bool Gradient, bool Centroid>
ByRule rule_integrals(const Profiles<K>& profiles, const RuleSize& size, double u, double rho,
                      double* out, double* d_u, double* d_rho, double* moment, Dual* edge,
                      bool& edge_given) noexcept {
    static_assert(!(Gradient && Centroid), "the moments' slopes are left to the panels");
    edge_given = false;
    RuleNodes<K> nodes(profiles, size.values, u, rho);
    if (!nodes.ready) return {};
    ByRule given{true, false, false};
    std::array<double, RuleNodes<K>::most + 1> a, m, du, dr;
    const std::size_t count = nodes.count();
    // A parameter's slope profile (power2's derivative in alpha) is left to
    // the panels, and with it the derivatives.
    const bool rule_slopes = Gradient && !Centroid && !profiles.slope && size.slopes != 0;
    const bool slopes_shared = rule_slopes && size.slopes <= size.values;
    const bool moments_shared = Centroid && size.moments != 0 && size.moments <= size.values;
    // The edge rides in this batch where it gives what the mode takes.
    const bool edge_here =
        edge != nullptr && (Gradient ? slopes_shared : (!Centroid || moments_shared));
    const std::size_t lanes = edge_here ? nodes.with_edge(u, rho) : count;
    if (moments_shared) {
        disk_batch::centroids(nodes.u.data(), nodes.r.data(), nodes.delta.data(), a.data(),
                              m.data(), lanes);
        nodes.sum(m, moment);
        given.moments = true;
        if (edge_here) *edge = {a[count], m[count], 0.0};
    } else if (slopes_shared) {
        disk_batch::nested_slopes(nodes.u.data(), nodes.r.data(), nodes.x.data(),
                                  nodes.delta.data(), a.data(), du.data(), dr.data(), lanes);
        nodes.sum(du, d_u);
        nodes.sum(dr, d_rho);
        given.slopes = true;
        if (edge_here) *edge = {a[count], du[count], dr[count]};
    } else {
        disk_batch::disks(nodes.u.data(), nodes.r.data(), nodes.delta.data(), a.data(), lanes);
        if (edge_here) *edge = {a[count], 0.0, 0.0};
    }
    edge_given = edge_here;
    nodes.sum(a, out);
    // Where the rule takes more nodes for the moments or the slopes, the
    // edge rides with them.
    const bool edge_later = edge != nullptr && !edge_here;
    if (Centroid && !given.moments && size.moments != 0) {
        RuleNodes<K> finer(profiles, size.moments, u, rho);
        if (!finer.ready) return given;
        const std::size_t n = finer.count();
        disk_batch::centroids(finer.u.data(), finer.r.data(), finer.delta.data(), a.data(),
                              m.data(), edge_later ? finer.with_edge(u, rho) : n);
        finer.sum(m, moment);
        given.moments = true;
        if (edge_later) *edge = {a[n], m[n], 0.0};
        edge_given = edge_given || edge_later;
    }
    if (rule_slopes && !given.slopes) {
        RuleNodes<K> finer(profiles, size.slopes, u, rho);
        if (!finer.ready) return given;
        const std::size_t n = finer.count();
        disk_batch::nested_slopes(finer.u.data(), finer.r.data(), finer.x.data(),
                                  finer.delta.data(), a.data(), du.data(), dr.data(),
                                  edge_later ? finer.with_edge(u, rho) : n);
        finer.sum(du, d_u);
        finer.sum(dr, d_rho);
        given.slopes = true;
        if (edge_later) *edge = {a[n], du[n], dr[n]};
        edge_given = edge_given || edge_later;
    }
    return given;
}

template <std::size_t K, bool Gradient, bool Centroid>
ByRule outside_integrals(const Profiles<K>& profiles, double u, double rho, double rtol,
                         double edge, double edge_moment, double* out, double* d_u, double* d_rho,
                         double* moment) noexcept {
    const RuleSize size =
        outside_rule(profiles, u, rho, rtol, edge, edge_moment, Centroid, Gradient);
    if (size.values == 0) return {};
    if constexpr (Gradient && Centroid) {
        // The moments' slopes are left to the panels: the values and the
        // moments alone.
        bool edge_given = false;
        return rule_integrals<K, false, true>(profiles, size, u, rho, out, d_u, d_rho, moment,
                                              nullptr, edge_given);
    } else {
        bool edge_given = false;
        return rule_integrals<K, Gradient, Centroid>(profiles, size, u, rho, out, d_u, d_rho,
                                                     moment, nullptr, edge_given);
    }
}

// The logarithm's true coefficient, kappa g (and -x kappa g for rho), varies
// along the piece: kappa ~ 1 / (r (u + r)) changes on the scale of x0 itself
// near the crossing.  A constant lambda leaves (kappa g - lambda) l, which
// goes like t log|t| at the crossing, t = y - y0: w^2 log w in the mapped
// variable, rougher than the values' w^3 log w.  The derivatives of the
// linear law then bisected the outer piece once more than its values for
// every lens within half the source radius of the centre (18 of its 60
// nested disks a point over u < rho at rho = 0.1, rtol = 1e-9).  So the
// coefficient follows the true one to first order at the crossing,
// lambda + slope t, which leaves t^2 log|t|, and the moment of l over the
// piece adds back what the slope takes.  Any coefficient is exact (its
// part is added back in closed form): the slope only decides how smooth
// the rest is.  (A curve term besides, matching the coefficient at theta's
// other root pi - theta0 as well, saved under one nested disk a point.)
//
// The slope is a one-sided difference into the piece, second order, over
// this share of the piece: its rounding (1e-16 / 1e-4 of the coefficient)
// and truncation both far below what would roughen the rest.
constexpr double slope_step = 1e-4;

// Sloped only where the crossing is an end of the piece (the nearest root
// real, and where lambda is taken).  Where it lies beyond the piece, lambda
// is taken at the piece's end, and a slope there, extrapolated to the
// crossing and the other roots, left the rest rougher, not smoother (the
// square-root law's theta part with the lens beyond 1/sqrt(2) of the
// radius, its v part with the lens within it: 45 to 75 nested disks a
// point).  Not for mu^alpha's limb variable, whose logarithm is no
// polynomial's (logarithm_of).
bool sloped_at(const Logarithm& l) noexcept {
    return l.count > 0 && !l.scaled && l.roots[0].im == 0.0 && l.roots[0].re == l.at;
}

template <std::size_t K>
void slope_subtraction(Subtraction<K>& sub, const Profiles<K>& profiles, const SourcePiece& piece,
                       double u, double rho) noexcept {
    const Logarithm& l = sub.l;
    const Piece& span = piece.piece;
    if (!sloped_at(l)) return;
    // The true coefficients at y, per unit of dy, to first order in the
    // distance delta = u - r from the crossing (r = x rho).  A_D's slopes
    // are dA_D/du = 2 C / r and dA_D/dr = 2 (M - A_D) / r (the edge's means
    // of the point lens, as uniform_gradient takes them), whose logarithms
    // come from the lens's 1/|z| alone: K(k) / (u + r) for M and, to second
    // order in delta, for C, so kappa(u, r) log|delta| to first order
    // (q = 2 + O(delta^2)); and A_D itself carries kappa delta log|delta|,
    // which -2 A_D / r adds to the slope in r.  So kappa g for u and
    // -x kappa (1 + 2 delta / r) g for rho.  (With -x kappa g for rho the
    // quadratic law's mu^2 bisected its outer piece once more for
    // 0.57 <= u / rho <= 0.81 at rho = 1.)  False where not finite.
    const auto coefficients = [&](double y, std::array<double, 2 * K>& c) {
        double x = 0.0;
        const std::array<double, K> g =
            parametric_weights<K>(profiles, piece, y, span.b - y, 1.0, x);
        const double r = x * rho;
        const double k = kappa(u, r);
        const double k_rho = -x * k * (1.0 + 2.0 * (u - r) / r);
        bool finite = true;
        for (std::size_t b = 0; b < K; ++b) {
            c[b] = k * g[b];
            c[K + b] = k_rho * g[b];
            finite = finite && std::isfinite(c[b]) && std::isfinite(c[K + b]);
        }
        return finite;
    };
    const double h = (l.at < span.b ? 1.0 : -1.0) * slope_step * (span.b - span.a);
    std::array<double, 2 * K> one, two;
    if (!(h != 0.0 && coefficients(l.at + h, one) && coefficients(l.at + 2.0 * h, two))) return;
    bool finite = true;
    for (std::size_t c = 0; c < 2 * K; ++c) {
        sub.slope[c] = (4.0 * one[c] - two[c] - 3.0 * sub.lambda[c]) / (2.0 * h);
        finite = finite && std::isfinite(sub.slope[c]);
    }
    sub.moment = l.moment(span.a, span.b);
    sub.sloped = finite && std::isfinite(sub.moment);
}

// With Centroid (and not Gradient), also the centroid moments of the
// profiles in `moment`: the same integrals over the nested disks' moments
// (disk_centroid.hpp), on the same nodes; with both, the moments and their
// slopes in `moments`.
template <std::size_t K, bool Gradient, bool Centroid = false>
double parametric(const Profiles<K>& profiles, double u, double rho, double rtol, double* out,
                  double* d_u, double* d_rho, double edge = 0.0, double* moment = nullptr,
                  const Moments* moments = nullptr, double edge_moment = 0.0) noexcept {
    constexpr bool both = Gradient && Centroid;
    constexpr std::size_t N = both ? 6 * K : (Gradient ? 3 * K : (Centroid ? 2 * K : K));
    // Outside the source the Gauss-Jacobi rule; where it gives the values
    // (and moments) but not the rest, the panels below give the rest and
    // the rule's values are kept, so that they are the same bits in every
    // mode.
    std::array<double, K> outside{};
    std::array<double, K> outside_moment{};
    const ByRule by_rule =
        outside_integrals<K, Gradient, Centroid>(profiles, u, rho, rtol, edge, edge_moment,
                                                 outside.data(), d_u, d_rho, outside_moment.data());
    const std::size_t ruled = rule_profiles(profiles);
    if (by_rule.values && (!Centroid || by_rule.moments) && (!Gradient || by_rule.slopes)) {
        std::copy_n(outside.begin(), ruled, out);
        if constexpr (Centroid) std::copy_n(outside_moment.begin(), ruled, moment);
        return 0.0;
    }
    const double x0 = u / rho;
    std::array<SourcePiece, max_pieces> pieces;
    const std::size_t count = source_pieces(x0, profiles.steep, profiles.log_at_limb, pieces,
                                            profiles.q, profiles.theta_split, profiles.v_split);
    std::array<Subtraction<K>, max_pieces> subtractions{};
    // The 7-point rule's panels, accepted at a coarse rtol, held the
    // derivatives with the constant subtraction alone (not one nested disk
    // a point saved at rtol = 1e-4, and the slope's setup cost the gradient
    // of the quadratic law a tenth more inside the source).
    const bool sloped_rule = !(profiles.coarse_rule && rtol >= coarse_tolerance);
    if (Gradient && subtracted(x0)) {
        for (std::size_t p = 0; p < count; ++p) {
            const Piece& piece = pieces[p].piece;
            const Logarithm l = logarithm_of(pieces[p].variable, x0, piece, profiles.q);
            double x = 0.0;
            const std::array<double, K> g =
                parametric_weights<K>(profiles, pieces[p], l.at, piece.b - l.at, 1.0, x);
            subtractions[p] = subtraction<K>(l, piece, u, rho, x, g);
            if (sloped_rule) slope_subtraction<K>(subtractions[p], profiles, pieces[p], u, rho);
        }
    }
    std::array<End, max_pieces> ends;
    for (std::size_t p = 0; p < count; ++p) {
        ends[p] = end_of(pieces[p].piece, pieces[p].variable, u, rho, profiles.q);
    }
    struct Node {
        std::size_t p = 0;
        Mapped m{};
        double y = 0.0;
        double x = 0.0;
        std::array<double, K> g{};
        DiskArguments disk;
    };
    const auto prepare = [&](std::size_t p, double w) {
        Node node;
        node.p = p;
        const Piece& piece = pieces[p].piece;
        node.m = map(piece, w);
        const Mapped& m = node.m;
        // The variable from the nearer end of the piece.
        node.y = m.from_a <= m.to_b ? piece.a + m.from_a : piece.b - m.to_b;
        node.g = parametric_weights<K>(profiles, pieces[p], node.y, m.to_b, m.weight, node.x);
        node.disk = {u, node.x * rho, delta_at(ends[p], m, node.y, node.x, u, rho), node.x};
        return node;
    };
    const auto finish = [&](const Node& node, const Dual& a, std::array<double, N>& values) {
        const std::size_t p = node.p;
        const double y = node.y;
        if constexpr (Gradient) {
            const Subtraction<K>& sub = subtractions[p];
            std::array<double, 2 * K> lambda;
            for (std::size_t c = 0; c < 2 * K; ++c) lambda[c] = sub.at(c, y) * node.m.weight;
            put<K>(values, node.g, a, lambda, sub.l.count ? sub.l(y) : 0.0);
        } else {
            put<K>(values, node.g, a, {}, 0.0);
        }
        if (profiles.slope && pieces[p].variable == Variable::v && y > 0.0) {
            const double e = profiles.alpha / profiles.q;
            values[K - 1] -=
                e / profiles.q * std::pow(y, e - 1.0) * std::log(y) * edge * node.m.weight;
        }
    };
    // The centroid moments alone (without their slopes), the nodes' disks
    // batched like the values'.
    const auto finish_centroid = [&](const Node& node, const detail::DiskCentroid& c,
                                     std::array<double, N>& values) {
        for (std::size_t k = 0; k < K; ++k) {
            values[k] = node.g[k] * c.a;
            values[K + k] = node.g[k] * c.moment;
        }
    };
    // The values, their derivatives and the moments take their disks in SIMD
    // lanes.
    const auto integrals = [&] {
        if constexpr (both) {
            // The centroid moments with their slopes, node by node.
            const auto f = [&](std::size_t p, double w, std::array<double, N>& values) {
                const Node node = prepare(p, w);
                const detail::DiskCentroidSlopes c =
                    detail::disk_centroid_slopes(node.disk.u, node.disk.r, node.disk.delta);
                const Subtraction<K>& sub = subtractions[p];
                std::array<double, 2 * K> lambda;
                for (std::size_t c = 0; c < 2 * K; ++c)
                    lambda[c] = sub.at(c, node.y) * node.m.weight;
                put_centroid<K>(values, node.g, nested_slopes(c.a, node.x),
                                nested_slopes(c.moment, node.x), lambda,
                                sub.l.count ? sub.l(node.y) : 0.0, u);
                if (profiles.slope && pieces[p].variable == Variable::v && node.y > 0.0) {
                    const double e = profiles.alpha / profiles.q;
                    const double limb =
                        e / profiles.q * std::pow(node.y, e - 1.0) * std::log(node.y);
                    values[K - 1] -= limb * edge * node.m.weight;
                    // The moment's limb likewise, from the edge's moment.
                    values[4 * K - 1] -= limb * moments->edge * node.m.weight;
                }
            };
            const std::array<double, N> offsets = centroid_offsets_of<K>(subtractions, count, u);
            return std::pair{
                integrate_centroid_slopes<K>(f, count, rtol, rho, offsets, profiles.slope ? 1 : 0,
                                             profiles.coarse_rule, profiles.wide_rule),
                offsets};
        } else if constexpr (Centroid) {
            return std::pair{integrate_centroid<N>(
                                 batched_disks<N, false, true>(prepare, finish_centroid), count,
                                 rtol, K, rho, profiles.coarse_rule, profiles.wide_rule),
                             offsets_of<K, N>(subtractions, count)};
        } else {
            const std::array<double, N> offsets = offsets_of<K, N>(subtractions, count);
            return std::pair{
                integrate<N>(batched_disks<N, Gradient>(prepare, finish), count, rtol, K, 1.0 / rho,
                             offsets, profiles.slope ? 1 : 0, derivative_tolerance,
                             profiles.coarse_rule, profiles.wide_rule),
                offsets};
        }
    };
    const auto [total, offsets] = integrals();
    double slope_added = 0.0;
    double moment_added = 0.0;
    for (std::size_t p = 0; profiles.slope && p < count; ++p) {
        if (pieces[p].variable != Variable::v) continue;
        const double e = profiles.alpha / profiles.q;
        slope_added += slope_limb(e, profiles.q, edge, pieces[p].piece.b) -
                       slope_limb(e, profiles.q, edge, pieces[p].piece.a);
        if constexpr (both) {
            moment_added += slope_limb(e, profiles.q, moments->edge, pieces[p].piece.b) -
                            slope_limb(e, profiles.q, moments->edge, pieces[p].piece.a);
        }
    }
    for (std::size_t k = 0; k < K; ++k) {
        out[k] = total.value[k] + (profiles.slope && k == K - 1 ? slope_added : 0.0);
        if constexpr (Centroid && !Gradient) moment[k] = total.value[K + k];
        if constexpr (Gradient) {
            d_u[k] = total.value[K + k] + offsets[K + k];
            d_rho[k] = total.value[2 * K + k] + offsets[2 * K + k];
        }
        if constexpr (both) {
            moments->value[k] =
                total.value[3 * K + k] + (profiles.slope && k == K - 1 ? moment_added : 0.0);
            moments->d_u[k] = total.value[4 * K + k] + offsets[4 * K + k];
            moments->d_rho[k] = total.value[5 * K + k] + offsets[5 * K + k];
        }
    }
    if (by_rule.values) std::copy_n(outside.begin(), ruled, out);
    if (by_rule.moments) std::copy_n(outside_moment.begin(), ruled, both ? moments->value : moment);
    return total.worst;
}

// ---- Tabulated law: hat functions in x ---------------------------------------
//
// Hat j rises linearly from radii[j-1] to radii[j] and falls to radii[j+1],
// so -db/dx is a constant on each interval, -1/h on the rising side and 1/h
// on the falling one; the table's ends are jumps (point terms).  With
// J_i = \int_{radii[i]}^{radii[i+1]} x^2 A_D(u, x rho) dx,
//
//   F_j = J_j / h_j - J_{j-1} / h_{j-1}  (+ x^2 A_D at a jump down, - at a jump up).
//
// The difference cancels by about x / (2 h), so each J is asked for h times
// the tolerance.

// A nested disk this small (u + x rho, Einstein radii) would be magnified
// beyond the range of a double, as 2 / (x rho) at most; what it adds to its
// interval, x^2 A_D <= 2 x / rho, is then below 1e-300 relative to a hat
// whose disks are not this small (2 / rho and more), and is left out rather
// than formed as 0 * inf.
constexpr double unrepresentable_disk = 1e-300;

// A disk this much smaller than its separation from the lens is magnified
// as a point to every digit (the correction is of order (r / u)^2, 1e-300);
// taken at this size at least, its radius does not round to 0: a table's
// entry of 2e-321 on a source of 0.1, or a table ending at 1e-300 on a
// source of 1e-300 (1e-600).  (Nor does u / r reach 1e154, where the small
// form's k^2 would underflow.)
constexpr double point_source = 1e-150;

// With Centroid, the interval's centroid moment in the result's du (its
// dr unused); with both, the moment and its slopes in `moment`.
template <bool Gradient, bool Centroid = false>
Dual interval_integral(double u, double rho, double lo, double hi, double tol, double& worst,
                       Dual* moment = nullptr) noexcept {
    constexpr bool both = Gradient && Centroid;
    constexpr std::size_t N = both ? 6 : (Gradient ? 3 : (Centroid ? 2 : 1));
    const double x0 = u / rho;
    std::array<Piece, 2> pieces{};
    std::size_t count = 1;
    if (x0 > lo && x0 < hi) {
        pieces[0] = {lo, x0, Cluster::high};
        pieces[1] = {x0, hi, Cluster::low};
        count = 2;
    } else {
        pieces[0] = {lo, hi, x0 == lo ? Cluster::low : (x0 == hi ? Cluster::high : Cluster::none)};
    }
    std::array<Subtraction<1>, 2> subtractions{};
    // An interval farther from the crossing than its width sees a smooth
    // logarithm.
    const double distance = std::max({lo - x0, x0 - hi, 0.0});
    if (Gradient && subtracted(x0) && distance < hi - lo) {
        for (std::size_t p = 0; p < count; ++p) {
            const Logarithm l = logarithm_of(Variable::x, x0, pieces[p]);
            subtractions[p] = subtraction<1>(l, pieces[p], u, rho, l.at, {l.at * l.at});
        }
    }
    const std::array<End, 2> ends = {end_of(pieces[0], Variable::x, u, rho),
                                     end_of(pieces[1], Variable::x, u, rho)};
    // A node: none where the disk is left out.
    struct Node {
        std::size_t p = 0;
        Mapped m{};
        double x = 0.0;
        std::array<double, 1> g{};
        bool none = false;
        DiskArguments disk;
    };
    const auto prepare = [&](std::size_t p, double w) {
        Node node;
        node.p = p;
        const Piece& piece = pieces[p];
        node.m = map(piece, w);
        const Mapped& m = node.m;
        const double x = m.from_a <= m.to_b ? piece.a + m.from_a : piece.b - m.to_b;
        node.x = x;
        node.g = {x * x * m.weight};
        const double at = std::isfinite(x0) ? std::max(x, x0 * point_source) : x;
        node.none = u + x * rho < unrepresentable_disk;
        if (!node.none) {
            node.disk = at == x ? DiskArguments{u, x * rho, delta_at(ends[p], m, x, x, u, rho), x}
                                : DiskArguments{u, at * rho, u - at * rho, at};
        }
        return node;
    };
    const auto finish = [&](const Node& node, const Dual& disk, std::array<double, N>& values) {
        const Dual a = node.none ? Dual{} : disk;
        if constexpr (Gradient) {
            const Subtraction<1>& sub = subtractions[node.p];
            put<1>(values, node.g, a,
                   {sub.lambda[0] * node.m.weight, sub.lambda[1] * node.m.weight},
                   sub.l.count ? sub.l(node.x) : 0.0);
        } else {
            put<1>(values, node.g, a, {}, 0.0);
        }
    };
    // The centroid moments alone, their disks batched like the values'.
    const auto finish_centroid = [&](const Node& node, const detail::DiskCentroid& disk,
                                     std::array<double, N>& values) {
        const detail::DiskCentroid c = node.none ? detail::DiskCentroid{} : disk;
        values[0] = node.g[0] * c.a;
        values[1] = node.g[0] * c.moment;
    };
    if constexpr (both) {
        // The centroid moments with their slopes, node by node.
        const auto f = [&](std::size_t p, double w, std::array<double, N>& values) {
            const Node node = prepare(p, w);
            detail::DiskCentroidSlopes c{};
            if (!node.none) {
                c = detail::disk_centroid_slopes(node.disk.u, node.disk.r, node.disk.delta);
            }
            const Subtraction<1>& sub = subtractions[p];
            put_centroid<1>(values, node.g, nested_slopes(c.a, node.disk.x),
                            nested_slopes(c.moment, node.disk.x),
                            {sub.lambda[0] * node.m.weight, sub.lambda[1] * node.m.weight},
                            sub.l.count ? sub.l(node.x) : 0.0, u);
        };
        const std::array<double, N> offsets = centroid_offsets_of<1>(subtractions, count, u);
        const Integrals<N> total = integrate_centroid_slopes<1>(f, count, tol, rho, offsets);
        worst = worse(worst, total.worst);
        *moment = {total.value[3], total.value[4] + offsets[4], total.value[5] + offsets[5]};
        return {total.value[0], total.value[1] + offsets[1], total.value[2] + offsets[2]};
    } else {
        const std::array<double, N> offsets = offsets_of<1, N>(subtractions, count);
        // The values, their derivatives and the moments take their disks in
        // SIMD lanes.
        const Integrals<N> total = [&] {
            if constexpr (Centroid) {
                return integrate_centroid<N>(
                    batched_disks<N, false, true>(prepare, finish_centroid), count, tol, 1, rho);
            } else {
                return integrate<N>(batched_disks<N, Gradient>(prepare, finish), count, tol, 1,
                                    1.0 / rho, offsets);
            }
        }();
        worst = worse(worst, total.worst);
        if constexpr (Centroid) {
            return {total.value[0], total.value[1], 0.0};
        } else if constexpr (Gradient) {
            return {total.value[0], total.value[1] + offsets[1], total.value[2] + offsets[2]};
        } else {
            return {total.value[0], 0.0, 0.0};
        }
    }
}

// Below this u / rho the lens is taken to sit at the centre: the change is
// of order (u / rho)^2 relative.
constexpr double centre_distance = 1e-150;

// The relative rounding of a narrow annulus's magnified flux, per x / h.
constexpr double annulus_rounding = 2.0 * std::numeric_limits<double>::epsilon();

// The finest relative accuracy asked of one interval's integral.
constexpr double finest_interval_rtol = 1e-15;

// The disk of radius x rho with its edge where x puts it: a table's jumps
// and the source's edge.
template <bool Gradient>
Dual edge_disk(double u, double rho, double x) noexcept {
    return nested<Gradient>(u, rho, x, u - x * rho);
}

// The same with Centroid: its centroid moment in du.
template <bool Gradient, bool Centroid>
Dual edge(double u, double rho, double x) noexcept {
    if constexpr (Centroid) {
        const detail::DiskCentroid c = detail::disk_centroid(u, x * rho, u - x * rho);
        return {c.a, c.moment, 0.0};
    } else {
        return edge_disk<Gradient>(u, rho, x);
    }
}

// With both: A's slopes as without the moment, and the moment with its
// slopes in `moment`.
Dual edge_slopes(double u, double rho, double x, Dual& moment) noexcept {
    const detail::DiskCentroidSlopes c = detail::disk_centroid_slopes(u, x * rho, u - x * rho);
    moment = nested_slopes(c.moment, x);
    return edge_disk<true>(u, rho, x);
}

// ---- Far from the source: the point lens's series ---------------------------
//
// The mean of a function over a disk of radius r about u is
// sum_j (r^2 / 4)^j lap^j f(u) / (j! (j + 1)!) (the mean-value expansion:
// lap^j of a radial function, f'' + f'/u applied j times).  Summed over the
// nested disks, the flux of a profile b is
//
//   F = \int x^2 A_D(u, x rho) (-db) = sum_j T_j P_j,
//   T_j = (rho^2 / 4)^j lap^j A(u) / (j! (j + 1)!),  P_j = \int x^(2j + 2) (-db),
//
// with the point lens's A = (s + 2) / (u sqrt(s + 4)), s = u^2, and
// (derived with a computer algebra system, checked against the nested disks
// by the tests)
//
//   T_1 = A t 4 (s + 1) / (w^2 (s + 2)),
//   T_2 = A t^2 2 (3 s^3 + 6 s^2 + 14 s + 12) / (w^4 (s + 2)),
//   T_3 = A t^3 4 (2 s^5 + 2 s^4 + 22 s^3 + 57 s^2 + 82 s + 50) / (w^6 (s + 2)),
//
// t = (rho / u)^2, w = s + 4: each bounded in s, so that no power of u
// overflows.  For b = mu^p, P_j = prod_{i = 1}^{j + 1} 2i / (p + 2i) (a Beta
// integral in x^2), P_0 the profile's flux N; mu^p log mu takes its slope in
// p, -P_j sum 1 / (p + 2i); the edge (b = 1) P_j = 1.  The terms fall like
// x0^-2j (x0 = u / rho): the pole of A at the lens is the nearest
// singularity.
//
// The series takes three terms, its error bounded by the fourth: measured
// (the nested-disk quadrature at rtol = 1e-12; rho from 1e-4 to 10, x0 from
// 2 to 1000, profiles mu^p for p from 0 to 50) the values' relative error
// stayed below 0.77 of 2 |T_3 P_3 / F|, and the derivatives' below 465 times
// it against their scales max(|dF|, 0.01 |F| / rho) (the floor in rho is what
// needs it: there the error is the term's 6 / rho against 0.01 / rho).
// The series is taken where that bound is a quarter of the derivatives'
// tolerance, 10 rtol, for every profile of the law: in every mode alike,
// so that the values are the same bits whatever else is asked, and 0.005 rtol
// meets the values' share of rtol (0.06) with room.  Beyond this x0 only,
// where the terms fall fast.
constexpr double series_from = 2.0;
constexpr double series_share = 0.005;
// Beyond this u, w^6 would approach the double's range.
constexpr double series_until = 1e8;

// Whether the series may take a lens at u (before its bound is asked).
bool series_reaches(double u, double rho) noexcept {
    return u >= series_from * rho && u < series_until;
}

// The terms T_0 to T_3 and, over u, their slopes in u, u dT_j/du / T_j:
// -8 / ((s + 2) w) for A itself (dA/du = -8 / (u^2 w^(3/2))), and for lap^j A
// the rational functions below.
struct PointSeries {
    std::array<double, 4> term{};
    std::array<double, 4> slope{};
};

// What the terms share: s, w, w^2, w^4 and t.
struct SeriesGeometry {
    double s;
    double w;
    double w2;
    double w4;
    double t;
};

SeriesGeometry series_geometry(double u, double rho) noexcept {
    const double s = u * u;
    const double w = s + 4.0;
    const double w2 = w * w;
    const double ratio = rho / u;
    return {s, w, w2, w2 * w2, ratio * ratio};
}

PointSeries point_series(const SeriesGeometry& geometry, double u) noexcept {
    const auto [s, w, w2, w4, t] = geometry;
    const double a = (s + 2.0) / (u * std::sqrt(w));
    const double n2 = ((3.0 * s + 6.0) * s + 14.0) * s + 12.0;
    const double n3 = ((((2.0 * s + 2.0) * s + 22.0) * s + 57.0) * s + 82.0) * s + 50.0;
    const double over = a / (s + 2.0);
    PointSeries out;
    out.term = {a, over * t * 4.0 * (s + 1.0) / w2, over * (t * t) * 2.0 * n2 / w4,
                over * (t * t * t) * 4.0 * n3 / (w4 * w2)};
    out.slope = {
        -8.0 / ((s + 2.0) * w), -6.0 * ((s + 2.0) * s + 2.0) / ((s + 1.0) * w),
        -24.0 * ((((s + 2.0) * s + 8.0) * s + 14.0) * s + 10.0) / (w * n2),
        -20.0 * (((((s * s + 15.0) * s + 50.0) * s + 108.0) * s + 132.0) * s + 70.0) / (w * n3)};
    return out;
}

// P_0 to P_3 of a profile (mu^alpha's alpha given).
std::array<double, 4> series_moments(Profile profile, double alpha) noexcept {
    // mu^(h/2), h = half_power (0 for the edge, whose P_j are then 1).
    double p = 0.5 * half_power(profile);
    const bool log = profile == Profile::mu_log_mu || profile == Profile::mu_power_log_mu;
    if (profile == Profile::mu_log_mu) p = 1.0;
    if (profile == Profile::mu_power || profile == Profile::mu_power_log_mu) p = alpha;
    std::array<double, 4> moments{};
    double product = 1.0;
    double sum = 0.0;
    for (std::size_t j = 0; j < 4; ++j) {
        const double i2 = 2.0 * static_cast<double>(j + 1);
        product *= i2 / (p + i2);
        sum += 1.0 / (p + i2);
        moments[j] = log ? -product * sum : product;
    }
    return moments;
}

// A parametric law far from the source by the series: F_0 (the edge) and
// the profiles' fluxes in out, with Gradient their slopes in u and rho;
// false (nothing written) where the series is not taken.
// The centroid moments likewise: a nested disk's moment about the source's
// centre is the mean of h(r) cos(phi) less u times that of A, h = A times
// the images' centroid from the lens = (s + 3) / sqrt(s + 4), and the mean of
// h cos(phi) takes h'' + h'/u - h/u^2 for lap.  Its terms (derived as above)
//
//   U_0 = 1 / sqrt(w),  U_1 = -U_0 t 2 (2 s + 5) / w^2,
//   U_2 = -U_0 t^2 2 (3 s^3 + 12 s^2 + 22 s + 18) / w^4,
//   U_3 = -U_0 t^3 2 (4 s^5 + 14 s^4 + 54 s^3 + 149 s^2 + 214 s + 130) / w^6,
//
// measured as above against max(|S|, 0.01 rho |F|) (integrate_centroid's
// scale), stayed below 0.72 of 2 |U_3 P_3| on it, their slopes below 4.9
// times it against the scale per rho, 490 against their floor: the same
// share of rtol serves.
PointSeries moment_series(const SeriesGeometry& geometry) noexcept {
    const auto [s, w, w2, w4, t] = geometry;
    const double g = 1.0 / std::sqrt(w);
    const double m2 = ((3.0 * s + 12.0) * s + 22.0) * s + 18.0;
    const double m3 = ((((4.0 * s + 14.0) * s + 54.0) * s + 149.0) * s + 214.0) * s + 130.0;
    PointSeries out;
    out.term = {g, -g * t * 2.0 * (2.0 * s + 5.0) / w2, -g * (t * t) * 2.0 * m2 / w4,
                -g * (t * t * t) * 2.0 * m3 / (w4 * w2)};
    out.slope = {
        -s / w, -5.0 * ((2.0 * s + 7.0) * s + 8.0) / (w * (2.0 * s + 5.0)),
        -((((21.0 * s + 84.0) * s + 242.0) * s + 410.0) * s + 288.0) / (w * m2),
        -((((((36.0 * s + 90.0) * s + 590.0) * s + 2235.0) * s + 4830.0) * s + 5894.0) * s +
          3120.0) /
            (w * m3)};
    return out;
}

// A series's first three terms summed with a profile's P, and the sum's
// slopes in u and rho; the bound on the rest, 2 |T_3 P_3|.
// (Left uninitialised until summed: a point's results are written whole.)
struct SeriesSum {
    double value;
    double d_u;
    double d_rho;
    double bound;
};

template <bool Slopes>
SeriesSum series_sum(const PointSeries& series, const std::array<double, 4>& p, double u,
                     double rho) noexcept {
    SeriesSum out{0.0, 0.0, 0.0, 2.0 * std::fabs(series.term[3] * p[3])};
    for (std::size_t j = 0; j < 3; ++j) {
        const double part = series.term[j] * p[j];
        out.value += part;
        if constexpr (Slopes) {
            out.d_u += part * series.slope[j];
            out.d_rho += 2.0 * static_cast<double>(j) * part;
        }
    }
    if constexpr (Slopes) {
        out.d_u /= u;
        out.d_rho /= rho;
    }
    return out;
}

// What the series gives a point: nothing, the fluxes (the moments left to
// the rule), or the fluxes and the moments; each with its slopes.
enum class SeriesTaken { none, fluxes, all };

// The fluxes of F_0 (the edge) and the profiles where every profile of
// the law meets the bound, and with Centroid the moments where they meet
// theirs.  A parameter's slope profile (power2's mu^alpha log mu, only with
// the gradient) does not decide: the values would then depend on whether
// the gradient is asked.  Its P_3 is at most 1.04 times mu^alpha's
// (sum 1 / (alpha + 2i) <= 25/24), so where mu^alpha's bound holds, its
// flux and moment are within 0.006 rtol of mu^alpha's, far inside the
// tenth of rtol of them that dA/dalpha asks (the note after
// derivative_floor).
template <std::size_t K, bool Gradient, bool Centroid>
SeriesTaken far_series(const Profiles<K>& profiles, double u, double rho, double rtol,
                       std::array<SeriesSum, K + 1>& flux,
                       std::array<SeriesSum, K + 1>& moment) noexcept {
    if (!series_reaches(u, rho)) return SeriesTaken::none;
    const SeriesGeometry geometry = series_geometry(u, rho);
    const PointSeries series = point_series(geometry, u);
    std::array<std::array<double, 4>, K + 1> p{};
    const double asked = series_share * rtol;
    for (std::size_t k = 0; k <= K; ++k) {
        p[k] = series_moments(k == 0 ? Profile::one : profiles.profile[k - 1], profiles.alpha);
        flux[k] = series_sum<Gradient>(series, p[k], u, rho);
        const bool decides = k <= rule_profiles(profiles);
        if (decides && !(flux[k].bound <= asked * std::fabs(flux[k].value))) {
            return SeriesTaken::none;
        }
    }
    if (!Centroid) return SeriesTaken::fluxes;
    const PointSeries moments = moment_series(geometry);
    for (std::size_t k = 0; k <= K; ++k) {
        moment[k] = series_sum<Gradient>(moments, p[k], u, rho);
        const double scale =
            std::max(std::fabs(moment[k].value), centroid_floor * rho * std::fabs(flux[k].value));
        if (k <= rule_profiles(profiles) && !(moment[k].bound <= asked * scale)) {
            return SeriesTaken::fluxes;
        }
    }
    return SeriesTaken::all;
}

// The radii of a table as it is evaluated: scaled by 2^k so that the
// outermost lies in [1/2, 1] (k = 0 for most tables), while the source
// radius is scaled by 2^-k: the same physical source, and F_k and N_k both
// 2^(2k) times their values for the table as given, which leaves every ratio
// of them as it was.  A power of two scales every radius exactly.  Without
// it a table ending at 1e-160 would have fluxes of 1e-320 (a few digits
// left) and one ending at 1e-200 none at all.
int table_exponent(std::span<const double> radii) noexcept {
    const double outer = radii.back();
    return outer >= 0.5 ? 0 : -std::ilogb(outer) - 1;
}

std::size_t table_units(std::size_t entries) noexcept {
    return (entries - 2) / table_unit_intervals + 1;  // entries - 1 intervals
}

// A table far from the source: the same series, with the profile's hats.
// Over an interval [lo, hi] the mean of x^2 x^(2j) is S_(2j + 3) / (2j + 3),
// S_n = sum_(m < n) hi^m lo^(n - 1 - m) = (hi^n - lo^n) / (hi - lo) formed
// without the difference; at a jump x^2 A_D(u, x rho) is sum_j T_j x^(2j + 2).
// A hat's flux is its falling interval's mean less its rising one's (and
// the jumps at the ends), positive: x^2 A_D(u, x rho) grows with x.
// The first three terms of a series at a power table p_j (x^(2j) means or
// values), with slopes; the bound 2 |T_3 p_3|.
template <bool Slopes>
Dual table_term(const PointSeries& series, const std::array<double, 4>& p, double u, double rho,
                double& bound) noexcept {
    const SeriesSum sum = series_sum<Slopes>(series, p, u, rho);
    bound = sum.bound;
    return {sum.value, sum.d_u, sum.d_rho};
}

// The means over [lo, hi] of x^2 x^(2j), j = 0 to 3.
std::array<double, 4> interval_powers(double lo, double hi) noexcept {
    std::array<double, 4> means{};
    double s = 1.0;    // S_1
    double low = 1.0;  // lo^(n - 1)
    for (int n = 1; n < 9; ++n) {
        low *= lo;
        s = s * hi + low;  // S_(n + 1)
        if (n % 2 == 0) means[static_cast<std::size_t>(n / 2 - 1)] = s / static_cast<double>(n + 1);
    }
    return means;
}

// x^2 x^(2j) at a radius x, j = 0 to 3.
std::array<double, 4> edge_powers(double x) noexcept {
    const double x2 = x * x;
    return {x2, x2 * x2, x2 * x2 * x2, x2 * x2 * x2 * x2};
}

// Whether the series takes a table's point: every hat's flux within its
// bound (and with Centroid every hat's moment within its scale's), as for
// the laws; `radii(i)` the table as evaluated.
template <bool Centroid, class Radii>
SeriesTaken table_series(const Radii& radii, std::size_t n, double u, double rho, double rtol,
                         const PointSeries& flux, const PointSeries& moment) noexcept {
    const double asked = series_share * rtol;
    bool fluxes = true;
    bool moments = Centroid;
    // Hat j: what its rising interval (before) and its falling one give.
    double before_f = 0.0, before_fb = 0.0, before_m = 0.0, before_mb = 0.0;
    for (std::size_t j = 0; j < n && (fluxes || moments); ++j) {
        double f = -before_f, fb = before_fb, m = -before_m, mb = before_mb;
        if (j + 1 < n) {
            const std::array<double, 4> p = interval_powers(radii(j), radii(j + 1));
            double bound = 0.0;
            before_f = table_term<false>(flux, p, u, rho, bound).v;
            before_fb = bound;
            f += before_f;
            fb += bound;
            if constexpr (Centroid) {
                before_m = table_term<false>(moment, p, u, rho, bound).v;
                before_mb = bound;
                m += before_m;
                mb += bound;
            }
        }
        const bool jump = j + 1 == n || (j == 0 && radii(0) > 0.0);
        if (jump) {
            const double sign = j + 1 == n ? 1.0 : -1.0;
            const std::array<double, 4> p = edge_powers(radii(j));
            double bound = 0.0;
            f += sign * table_term<false>(flux, p, u, rho, bound).v;
            fb += bound;
            if constexpr (Centroid) {
                m += sign * table_term<false>(moment, p, u, rho, bound).v;
                mb += bound;
            }
        }
        fluxes = fluxes && fb <= asked * std::fabs(f);
        moments =
            moments && mb <= asked * std::max(std::fabs(m), centroid_floor * rho * std::fabs(f));
    }
    if (!fluxes) return SeriesTaken::none;
    return moments ? SeriesTaken::all : SeriesTaken::fluxes;
}

// With Centroid, d_u takes the centroid moments (d_rho unused); with both,
// the moments and their slopes go to `moments`.
template <bool Gradient, bool Centroid = false>
double tabulated(std::span<const double> given, double u, double rho, double rtol, double* out,
                 double* d_u, double* d_rho, Units units,
                 const Moments* moments = nullptr) noexcept {
    constexpr bool both = Gradient && Centroid;
    double worst = 0.0;
    const int k = table_exponent(given);
    const auto radii = [&](std::size_t i) { return times_power_of_two(given[i], k); };
    const std::size_t n = given.size();
    std::array<double*, 6> parts = {out, d_u, d_rho};
    if constexpr (both) parts = {out, d_u, d_rho, moments->value, moments->d_u, moments->d_rho};
    const std::size_t used = both ? 6 : (Gradient ? 3 : (Centroid ? 2 : 1));
    if (units.first == 0) {
        for (std::size_t c = 0; c < used; ++c) std::fill(parts[c], parts[c] + n, 0.0);
    }
    const auto add = [&](std::size_t j, double factor, const Dual& term) {
        out[j] += factor * term.v;
        if constexpr (Gradient || Centroid) d_u[j] += factor * term.du;
        if constexpr (Gradient) d_rho[j] += factor * term.dr;
    };
    const auto add_moment = [&](std::size_t j, double factor, const Dual& term) {
        moments->value[j] += factor * term.v;
        moments->d_u[j] += factor * term.du;
        moments->d_rho[j] += factor * term.dr;
    };
    // Far from the source the series (above) takes the fluxes, and the
    // moments where they meet its bound too; the same decision for every
    // unit of the point and in every mode.
    const bool far = series_reaches(u, rho);
    const SeriesGeometry geometry = far ? series_geometry(u, rho) : SeriesGeometry{};
    const PointSeries flux_series = far ? point_series(geometry, u) : PointSeries{};
    const PointSeries moments_series = far && Centroid ? moment_series(geometry) : PointSeries{};
    const SeriesTaken taken =
        far ? table_series<Centroid>(radii, n, u, rho, rtol, flux_series, moments_series)
            : SeriesTaken::none;
    // The series's flux (and moment) for powers p; with Centroid alone the
    // moment rides in du, as the disks' does.
    double unused = 0.0;
    const auto series_flux = [&](const std::array<double, 4>& p) {
        return table_term<Gradient>(flux_series, p, u, rho, unused);
    };
    const auto series_moment = [&](const std::array<double, 4>& p) {
        return table_term<Gradient>(moments_series, p, u, rho, unused);
    };
    const bool quadrature = taken == SeriesTaken::none || (Centroid && taken != SeriesTaken::all);
    const std::size_t end =
        std::min(n - 1, units.last >= table_units(n) ? n - 1 : units.last * table_unit_intervals);
    for (std::size_t i = units.first * table_unit_intervals; i < end; ++i) {
        const double lo = radii(i);
        const double hi = radii(i + 1);
        const double h = hi - lo;
        // F_j takes J / h of its two intervals with opposite signs, which
        // cancel by about x / h: their rounding alone leaves F_j about
        // 2 eps x / h off (measured: 5e-9 for an annulus 1e-8 wide at
        // x = 0.5), beyond rtol in annuli narrower than 2 eps x / rtol.
        worst = worse(worst, annulus_rounding * hi / h / rtol);
        Dual mean, moment_mean;
        if (quadrature) {
            const double tol = std::max(rtol * std::min(1.0, h), finest_interval_rtol);
            // Each interval is asked for its share of the tolerance (tol, a
            // fraction h of rtol): its shortfall counts against that share.
            Dual moment;
            const Dual integral =
                interval_integral<Gradient, Centroid>(u, rho, lo, hi, tol, worst, &moment);
            // J / h, not J * (1 / h): an interval as narrow as 5e-324 has no
            // reciprocal, and its integral (of x^2 below h^2) is 0.
            mean = {integral.v / h, integral.du / h, integral.dr / h};
            moment_mean = {moment.v / h, moment.du / h, moment.dr / h};
        }
        if (taken != SeriesTaken::none) {
            const std::array<double, 4> p = interval_powers(lo, hi);
            const Dual f = series_flux(p);
            if constexpr (both) {
                mean = f;
                if (!quadrature) moment_mean = series_moment(p);
            } else if constexpr (Centroid) {
                mean = {f.v, quadrature ? mean.du : series_moment(p).v, 0.0};
            } else {
                mean = f;
            }
        }
        add(i, 1.0, mean);
        add(i + 1, -1.0, mean);
        if constexpr (both) {
            add_moment(i, 1.0, moment_mean);
            add_moment(i + 1, -1.0, moment_mean);
        }
    }
    if (units.last < table_units(n)) return worst;
    // The jumps: up to 1 at the first radius (none if it is the centre), down
    // from 1 at the last: x^2 A_D(u, x rho), by the series x^2 times its sum.
    const auto jump = [&](std::size_t j, double sign) {
        const double x = radii(j);
        Dual a, moment;
        if (quadrature) {
            if constexpr (both) {
                a = edge_slopes(u, rho, x, moment);
            } else {
                a = edge<Gradient, Centroid>(u, rho, x);
            }
            const double factor = sign * x * x;
            a = {factor * a.v, factor * a.du, factor * a.dr};
            moment = {factor * moment.v, factor * moment.du, factor * moment.dr};
        }
        if (taken != SeriesTaken::none) {
            const std::array<double, 4> p = edge_powers(x);
            const Dual f = series_flux(p);
            const Dual ff = {sign * f.v, sign * f.du, sign * f.dr};
            if constexpr (both) {
                a = ff;
                if (!quadrature) {
                    const Dual m = series_moment(p);
                    moment = {sign * m.v, sign * m.du, sign * m.dr};
                }
            } else if constexpr (Centroid) {
                a = {ff.v, quadrature ? a.du : sign * series_moment(p).v, 0.0};
            } else {
                a = ff;
            }
        }
        add(j, 1.0, a);
        if constexpr (both) add_moment(j, 1.0, moment);
    };
    if (radii(0) > 0.0) jump(0, -1.0);
    jump(n - 1, 1.0);
    return worst;
}

// The profiles of a parametric law after the uniform one (and its
// parameter's slope profile, with the basis's slope).
template <std::size_t K>
Profiles<K> integrated_profiles(const Basis& basis) noexcept {
    const LawDescriptor& law = descriptor(basis.law);
    Profiles<K> profiles{{}, false, false};
    for (std::size_t k = 0; k < K; ++k) {
        const Profile profile = k + 1 < law.basis_size ? law.basis[k + 1] : law.parameter_slope;
        profiles.profile[k] = profile;
        profiles.steep = profiles.steep || steep_at_limb(profile);
        // Not for the slope profile mu^alpha log mu (v log v in v = mu^alpha),
        // whose pieces would change the values' (integrate): its limb is
        // left to bisection.
        profiles.log_at_limb = profiles.log_at_limb || profile == Profile::mu_log_mu;
    }
    profiles.slope = basis.slope;
    if (law.parametrised) {
        const double alpha = basis.parameter;
        profiles.alpha = alpha;
        profiles.q = alpha / std::ceil(alpha);
        const double split = gaussian_extent / std::sqrt(alpha);
        profiles.theta_split = split < quarter_pi ? split : 0.0;
        if (alpha < crowded_alpha) profiles.v_split = std::pow(flat_limb, alpha);
        profiles.coarse_rule = alpha >= coarse_alpha_range[0] && alpha <= coarse_alpha_range[1];
        profiles.wide_rule = false;
    }
    return profiles;
}

// The source's change of a nested disk's magnification, V = A_D / A - 1,
// guessed before the edge disk is known: rho^2 lap A / (8 A) for the point
// lens's A (a small disk's change to second order), (rho^2 / (u^2 + 2))
// (1 / (u^2 s^2) + 3 / s^4) with s^2 = u^2 + 4, times 1 + 1.2 / x0^4 for
// the limb, where the second order falls short by up to 2.2 times.  For
// rho <= 1 it is within 15% of V at any x0 > 1; it only chooses which
// nodes are tried first (outside_at_once), never the result.
double guessed_change(const RuleGeometry& g, double u, double rho) noexcept {
    const double uu = u * u;
    const double ss = g.root * g.root;
    const double x0 = g.x0;
    const double limb = 1.0 + 1.2 / (x0 * x0 * x0 * x0);
    return rho * rho / (uu + 2.0) * (1.0 / (uu * ss) + 3.0 / (ss * ss)) * limb;
}

// The centroid moment's change (outside_rule's moment_effect), guessed
// likewise: five times the magnification's for a small source (the second
// order of the moment's integrand over that of A), growing towards the
// limb, where the edge disk's moment passes through 0: measured for
// rho <= 0.1, the growth follows 1 + 0.2 (x0 - 1)^-0.9 within 20% from
// x0 = 1.01 to 10.  Beyond x0 = 65 the growth is below 0.5% and is left
// out (a pow() a point spared).
double guessed_moment_change(double change, double x0) noexcept {
    const double beyond = x0 - 1.0;
    const double growth = beyond < 64.0 ? 1.0 + 0.2 * std::pow(beyond, -0.9) : 1.0;
    return 5.0 * change * growth;
}

// A law outside the source, where the rule takes it: the edge disk goes
// through the rule's first batch with its nodes (rule_integrals), one pass
// of the vector lanes instead of a scalar disk and then the lanes.  The
// rule's sizes depend on the edge disk (outside_rule), so the nodes tried
// are those of the sizes guessed from the point lens (guessed_change), and
// kept only where the edge disk asks the same sizes; else (near a size's
// threshold) they are dropped and parametric() takes the rule as it would
// have.  The bits are those of the edge disk and parametric() either way:
// the guess chooses what is tried first, never the result.  Writes F_0 and
// the integrated profiles' fluxes (with their slopes, or moments, as
// magnified_flux does); none where the rule does not apply.
template <std::size_t K, bool Gradient, bool Centroid>
std::optional<double> outside_at_once(const Profiles<K>& profiles, double u, double rho,
                                      double rtol, double* out, double* d_u,
                                      double* d_rho) noexcept {
    static_assert(!(Gradient && Centroid), "the moments' slopes are left to the panels");
    if (!rule_takes(profiles)) return std::nullopt;
    const RuleGeometry g = rule_geometry(u, rho);
    if (!g.valid) return std::nullopt;
    const double change = guessed_change(g, u, rho);
    const double moment_change = Centroid ? guessed_moment_change(change, g.x0) : nan;
    const double asked = rule_rtol(profiles, rtol);
    const RuleSize guess = outside_sizes(g, rho, asked, change, moment_change, Gradient);
    // Where the rule would leave part of the work to the panels (a size
    // beyond max_points, or a parameter's slope profile), parametric()
    // takes it all as before.
    if (guess.values == 0 || (Centroid && guess.moments == 0) ||
        (Gradient && (guess.slopes == 0 || profiles.slope))) {
        return std::nullopt;
    }
    std::array<double, K> values{}, moments{}, slopes_u{}, slopes_rho{};
    Dual whole{};
    bool edge_given = false;
    const ByRule by = rule_integrals<K, Gradient, Centroid>(profiles, guess, u, rho, values.data(),
                                                            slopes_u.data(), slopes_rho.data(),
                                                            moments.data(), &whole, edge_given);
    if (!edge_given) whole = edge<Gradient, Centroid>(u, rho, 1.0);
    out[0] = whole.v;
    if constexpr (Gradient || Centroid) d_u[0] = whole.du;
    if constexpr (Gradient) d_rho[0] = whole.dr;
    const RuleSize exact =
        outside_rule(g, u, rho, asked, whole.v, Centroid ? whole.du : 0.0, Centroid, Gradient);
    const bool same = exact.values == guess.values &&
                      (!Centroid || exact.moments == guess.moments) &&
                      (!Gradient || exact.slopes == guess.slopes);
    if (same && by.values && (!Centroid || by.moments) && (!Gradient || by.slopes)) {
        std::copy_n(values.begin(), K, out + 1);
        if constexpr (Centroid) std::copy_n(moments.begin(), K, d_u + 1);
        if constexpr (Gradient) {
            std::copy_n(slopes_u.begin(), K, d_u + 1);
            std::copy_n(slopes_rho.begin(), K, d_rho + 1);
        }
        return 0.0;
    }
    const auto next = [](double* p) { return p == nullptr ? p : p + 1; };
    Moments rest{};
    return parametric<K, Gradient, Centroid>(profiles, u, rho, rtol, out + 1, next(d_u),
                                             next(d_rho), whole.v, next(d_u), &rest,
                                             Centroid ? whole.du : 0.0);
}

// f(profiles) for the integrated profiles of a parametric law's basis: one
// instantiation per count; `otherwise` for a count beyond them.
template <class R, class F>
R with_profiles(const Basis& basis, R otherwise, const F& f) {
    switch (basis.size() - 1) {
        case 1:
            return f(integrated_profiles<1>(basis));
        case 2:
            return f(integrated_profiles<2>(basis));
        case 3:
            return f(integrated_profiles<3>(basis));
        case 4:
            return f(integrated_profiles<4>(basis));
        default:
            break;
    }
    static_assert(max_basis == 5, "a larger basis needs its instantiation above");
    return otherwise;
}

template <bool Gradient, bool Centroid>
double magnified_flux_otherwise(const Basis& basis, double u, double rho, double rtol, double* out,
                                double* d_u, double* d_rho, const Moments* moments) noexcept;

// With Centroid, d_u takes the centroid moments (d_rho unused); with both,
// `moments` takes them with their slopes.
template <bool Gradient, bool Centroid = false>
double magnified_flux(const Basis& basis, double u, double rho, double rtol, double* out,
                      double* d_u, double* d_rho, Units units,
                      const Moments* moments = nullptr) noexcept {
    if (basis.law == Law::tabulated) {
        return tabulated<Gradient, Centroid>(basis.radii, u, rho, rtol, out, d_u, d_rho, units,
                                             moments);
    }
    if (units.first > 0) return 0.0;  // a parametric law is one unit
    // Far from the source the series gives the fluxes (and their slopes),
    // and the moments where they meet its bound too; else the moments are
    // computed as below and the series's fluxes written over theirs.
    const std::optional<double> by_series =
        with_profiles(basis, std::optional<double>(),
                      [&]<std::size_t K>(const Profiles<K>& profiles) -> std::optional<double> {
                          std::array<SeriesSum, K + 1> flux, moment;
                          const SeriesTaken taken = far_series<K, Gradient, Centroid>(
                              profiles, u, rho, rtol, flux, moment);
                          if (taken == SeriesTaken::none) return std::nullopt;
                          double worst = 0.0;
                          if (Centroid && taken == SeriesTaken::fluxes) {
                              worst = magnified_flux_otherwise<Gradient, Centroid>(
                                  basis, u, rho, rtol, out, d_u, d_rho, moments);
                          }
                          for (std::size_t k = 0; k <= K; ++k) {
                              out[k] = flux[k].value;
                              if constexpr (Gradient) {
                                  d_u[k] = flux[k].d_u;
                                  d_rho[k] = flux[k].d_rho;
                              }
                              if (taken != SeriesTaken::all) continue;
                              if constexpr (Gradient && Centroid) {
                                  moments->value[k] = moment[k].value;
                                  moments->d_u[k] = moment[k].d_u;
                                  moments->d_rho[k] = moment[k].d_rho;
                              } else if constexpr (Centroid) {
                                  d_u[k] = moment[k].value;
                              }
                          }
                          return worst;
                      });
    if (by_series) return *by_series;
    return magnified_flux_otherwise<Gradient, Centroid>(basis, u, rho, rtol, out, d_u, d_rho,
                                                        moments);
}

// A parametric law where the series is not taken (or for the moments).
template <bool Gradient, bool Centroid>
double magnified_flux_otherwise(const Basis& basis, double u, double rho, double rtol, double* out,
                                double* d_u, double* d_rho, const Moments* moments) noexcept {
    if constexpr (!(Gradient && Centroid)) {
        const std::optional<double> by_rule = with_profiles(
            basis, std::optional<double>(), [&]<std::size_t K>(const Profiles<K>& profiles) {
                return outside_at_once<K, Gradient, Centroid>(profiles, u, rho, rtol, out, d_u,
                                                              d_rho);
            });
        if (by_rule) return *by_rule;
    }
    Dual edge_moment;
    const Dual whole = Gradient && Centroid ? edge_slopes(u, rho, 1.0, edge_moment)
                                            : edge<Gradient, Centroid>(u, rho, 1.0);
    out[0] = whole.v;
    if constexpr (Gradient || Centroid) d_u[0] = whole.du;
    if constexpr (Gradient) d_rho[0] = whole.dr;
    Moments rest{};
    if constexpr (Gradient && Centroid) {
        moments->value[0] = edge_moment.v;
        moments->d_u[0] = edge_moment.du;
        moments->d_rho[0] = edge_moment.dr;
        rest = {moments->value + 1, moments->d_u + 1, moments->d_rho + 1, edge_moment.v};
    }
    const auto next = [](double* p) { return p == nullptr ? p : p + 1; };
    // The edge's centroid moment (the rule outside the source sizes itself
    // by it).
    const double edge_moment_of = Gradient ? edge_moment.v : (Centroid ? whole.du : 0.0);
    // Every integrated profile of a law is refined together, on the same
    // nodes.
    return with_profiles(basis, nan, [&]<std::size_t K>(const Profiles<K>& profiles) {
        return parametric<K, Gradient, Centroid>(profiles, u, rho, rtol, out + 1, next(d_u),
                                                 next(d_rho), whole.v, next(d_u), &rest,
                                                 edge_moment_of);
    });
}

}  // namespace

double uniform(double u, double rho) noexcept { return disk(std::fabs(u), rho); }

void basis_flux(const Basis& basis, std::span<double> flux) noexcept {
    if (basis.law != Law::tabulated) {
        const LawDescriptor& law = descriptor(basis.law);
        for (std::size_t k = 0; k < law.basis_size; ++k) {
            flux[k] = profile_flux(law.basis[k], basis.parameter);
        }
        if (basis.slope) flux[law.basis_size] = profile_flux(law.parameter_slope, basis.parameter);
        return;
    }
    // 2 \int x b_j(x) dx over each side of hat j: h (a + 2 b) / 3 for the side
    // rising from a to b, h (2 b + c) / 3 for the side falling from b to c.
    // The radii as the table is evaluated (table_exponent).
    const int k = table_exponent(basis.radii);
    std::fill(flux.begin(), flux.end(), 0.0);
    for (std::size_t i = 0; i + 1 < basis.radii.size(); ++i) {
        const double a = times_power_of_two(basis.radii[i], k);
        const double b = times_power_of_two(basis.radii[i + 1], k);
        const double h = b - a;
        flux[i] += h * (2.0 * a + b) / 3.0;
        flux[i + 1] += h * (a + 2.0 * b) / 3.0;
    }
}

// The geometry a basis is evaluated at.  A table's source radius is scaled
// by 2^-table (table_exponent).  A source and separation below 2^-340
// (Einstein radii; 4.5e-103, inside disk.hpp's small_scale with room for
// u + rho) are then scaled up by 2^small to that size, where every nested
// disk's magnification, up to 2 / (x rho), stays within range: there the
// nested disks are homogeneous (disk.hpp), so F_k is 2^small times its
// value at the scaled geometry, and its derivatives 2^(2 small) times
// theirs.  Powers of two change no digit, so a source of 1e-306 (or a
// table's outer radius of 1e-300 on a source of 1e-8) gets what one of
// 1e-103 gets, scaled.
constexpr int small_exponent = -340;
constexpr double small_size = 0x1p-340;  // 2^small_exponent

struct Geometry {
    double u;
    double rho;
    int table;
    int small;
};

Geometry scaled(const Basis& basis, double u, double rho) noexcept {
    const int k = basis.law == Law::tabulated ? table_exponent(basis.radii) : 0;
    // The exponent of max(u, rho 2^-k), without forming rho 2^-k, which
    // could underflow before the scaling up; not needed (s = 0) where u or
    // rho is plainly large enough, as almost always.
    int s = 0;
    if (!(u >= small_size || (k == 0 && rho >= small_size))) {
        int e = std::ilogb(rho) - k;
        if (u > 0.0) e = std::max(e, std::ilogb(u));
        s = e < small_exponent ? small_exponent - e : 0;
    }
    Geometry g{times_power_of_two(u, s), times_power_of_two(rho, s - k), k, s};
    if (std::isfinite(g.u)) g.rho = std::max(g.rho, g.u * point_source);
    // A lens this close to the centre is at the centre to every digit
    // (A_D is even in u), and the nested disks about it stay representable.
    if (g.u < g.rho * centre_distance) g.u = 0.0;
    return g;
}

std::size_t basis_units(const Basis& basis) noexcept {
    return basis.law == Law::tabulated ? table_units(basis.radii.size()) : 1;
}

double basis_magnified_flux(const Basis& basis, double u, double rho, double rtol,
                            std::span<double> out, Units units, int* exponent) noexcept {
    if (exponent) *exponent = 0;
    if (std::isnan(u)) {
        std::fill(out.begin(), out.end(), nan);
        return nan;
    }
    const Geometry g = scaled(basis, std::fabs(u), rho);
    const double worst =
        magnified_flux<false>(basis, g.u, g.rho, rtol, out.data(), nullptr, nullptr, units);
    // What follows once the last unit has added its part.
    if (units.last < basis_units(basis)) return worst;
    if (exponent) {
        *exponent = g.small;
    } else if (g.small != 0) {
        for (double& f : out) f = times_power_of_two(f, g.small);
    }
    return worst;
}

// F_k and their slopes as the caller takes them (the geometry's scaling
// undone but for what the caller takes in `exponent`), and `left`, the
// power of two undone.
int unscale_slopes(const Geometry& g, int* exponent, double sign, std::span<double> out,
                   std::span<double> d_u, std::span<double> d_rho) noexcept {
    // What the caller does not take in its exponent.
    const int left = exponent ? 0 : g.small;
    if (exponent) *exponent = g.small;
    if (left != 0) {
        for (double& f : out) f = times_power_of_two(f, left);
    }
    // F is even in u; d/drho takes the table's scaling of rho too.
    for (double& d : d_u) d = sign * times_power_of_two(d, 2 * left);
    if (left != 0 || g.table != 0) {
        for (double& d : d_rho) d = times_power_of_two(d, 2 * left - g.table);
    }
    return left;
}

double basis_magnified_flux_gradient(const Basis& basis, double u, double rho, double rtol,
                                     std::span<double> out, std::span<double> d_u,
                                     std::span<double> d_rho, Units units, int* exponent) noexcept {
    if (exponent) *exponent = 0;
    if (std::isnan(u)) {
        for (std::span<double> part : {out, d_u, d_rho}) std::fill(part.begin(), part.end(), nan);
        return nan;
    }
    const double sign = u < 0.0 ? -1.0 : 1.0;
    const Geometry g = scaled(basis, std::fabs(u), rho);
    const double worst =
        magnified_flux<true>(basis, g.u, g.rho, rtol, out.data(), d_u.data(), d_rho.data(), units);
    if (units.last < basis_units(basis)) return worst;
    unscale_slopes(g, exponent, sign, out, d_u, d_rho);
    return worst;
}

double basis_magnified_flux_centroid(const Basis& basis, double u, double rho, double rtol,
                                     std::span<double> out, std::span<double> moment, Units units,
                                     int* exponent) noexcept {
    if (exponent) *exponent = 0;
    if (std::isnan(u)) {
        for (std::span<double> part : {out, moment}) std::fill(part.begin(), part.end(), nan);
        return nan;
    }
    const Geometry g = scaled(basis, std::fabs(u), rho);
    const double worst = magnified_flux<false, true>(basis, g.u, g.rho, rtol, out.data(),
                                                     moment.data(), nullptr, units);
    if (units.last < basis_units(basis)) return worst;
    // The moments do not scale (disk_centroid.hpp); the fluxes as without them.
    if (exponent) {
        *exponent = g.small;
    } else if (g.small != 0) {
        for (double& f : out) f = times_power_of_two(f, g.small);
    }
    return worst;
}

double basis_magnified_flux_centroid_gradient(const Basis& basis, double u, double rho, double rtol,
                                              std::span<double> out, std::span<double> d_u,
                                              std::span<double> d_rho, std::span<double> moment,
                                              std::span<double> moment_du,
                                              std::span<double> moment_drho, Units units,
                                              int* exponent) noexcept {
    if (exponent) *exponent = 0;
    if (std::isnan(u)) {
        for (std::span<double> part : {out, d_u, d_rho, moment, moment_du, moment_drho}) {
            std::fill(part.begin(), part.end(), nan);
        }
        return nan;
    }
    const double sign = u < 0.0 ? -1.0 : 1.0;
    const Geometry g = scaled(basis, std::fabs(u), rho);
    const Moments moments{moment.data(), moment_du.data(), moment_drho.data(), 0.0};
    const double worst = magnified_flux<true, true>(basis, g.u, g.rho, rtol, out.data(), d_u.data(),
                                                    d_rho.data(), units, &moments);
    if (units.last < basis_units(basis)) return worst;
    // The fluxes and their slopes as basis_magnified_flux_gradient leaves
    // them; the moments do not scale, so their slopes go as 2^-s.
    const int left = unscale_slopes(g, exponent, sign, out, d_u, d_rho);
    for (double& d : moment_du) d = sign * times_power_of_two(d, left);
    if (left != 0 || g.table != 0) {
        for (double& d : moment_drho) d = times_power_of_two(d, left - g.table);
    }
    return worst;
}

DiskCentroid uniform_centroid(double u, double rho) noexcept {
    const double a = std::fabs(u);
    const detail::DiskCentroid c = detail::disk_centroid(a, rho, a - rho);
    return {c.a, c.moment / c.a};
}

// shift = M / A, so d shift = (dM - shift dA) / A.
DiskCentroidGradient uniform_centroid_gradient(double u, double rho) noexcept {
    const double a = std::fabs(u);
    const detail::DiskCentroidSlopes c = detail::disk_centroid_slopes(a, rho, a - rho);
    const double shift = c.value.moment / c.value.a;
    const double sign = u < 0.0 ? -1.0 : 1.0;
    // A zero shift (the centre, the limb) takes no part of A's slopes, which
    // are infinite on the limb.
    const auto slope = [&](double m, double a_slope) {
        return (shift == 0.0 ? m : m - shift * a_slope) / c.value.a;
    };
    // A's slopes as without the shift (the moment's own may come from a
    // finer rule: disk_centroid.hpp).
    const Dual a_slopes = uniform_gradient(u, rho);
    return {a_slopes, {shift, sign * slope(c.moment.du, c.a.du), slope(c.moment.dr, c.a.dr)}};
}

Dual uniform_gradient(double u, double rho) noexcept {
    Dual a = disk(Dual{std::fabs(u), 1.0, 0.0}, Dual{rho, 0.0, 1.0});
    if (u < 0.0) a.du = -a.du;
    return a;
}

}  // namespace tavlomer::physics
