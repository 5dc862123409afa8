// Magnification of a uniformly bright disk by a point-mass lens, in the closed
// form of Witt & Mao (1994, ApJ 430, 505, eq. 9) in complete elliptic
// integrals of the first, second and third kinds.
#include <cmath>
#include <utility>

#include "common/constants.hpp"
#include "ellip/legendre.hpp"
#include "lib/models/models.hpp"

namespace tavlomer::models {

namespace {

using constants::half_pi;
using constants::pi;
using constants::two_pi;

// Within this distance of the limb (in Einstein radii) the third-kind
// integral diverges logarithmically while its coefficient vanishes; the exact
// limit at u = rho is used instead.
constexpr double near_limb_band = 1e-05;

}  // namespace

ListResult witt_mao_magnification(std::vector<double> l, double re, double rstar) {
    namespace legendre = ellip::legendre;
    const double rho = rstar / re;  // source radius in Einstein radii
    const double rho2 = rho * rho;
    const double c1 = (rho2 - 1.0) / (rho2 + 1.0);
    const double c2 = (rho2 + 1.0) / rho2;
    const double c3 = 2.0 / rho;
    const double four_rho = rho * 4.0;
    const double two_rho2 = rho2 + rho2;
    const double rho2_plus_1 = rho2 + 1.0;

    // The limb value does not depend on u: form it on first need, once.
    bool have_limb = false;
    double limb = 0.0;

    // The results overwrite the separations in place, each as soon as it is
    // known; on a failure the whole list is dropped.
    for (double& li : l) {
        const double u = rho * li;
        const double delta = u - rho;
        // A NaN delta fails the test and takes the general form.
        if (std::fabs(delta) < near_limb_band) {
            if (!have_limb) {
                limb = (c3 + c2 * (std::asin(c1) + half_pi)) / pi;
                have_limb = true;
            }
            li = limb;
            continue;
        }
        const double s = rho + u;
        const double n = (four_rho * u) / (s * s);
        const double delta2 = delta * delta;
        const double q = std::sqrt(delta2 + 4.0);
        // m = 4n / (delta^2 + 4), formed through sqrt(4n)/q and squared: this
        // path fixes its last bits.
        const double k = std::sqrt(n * 4.0) / q;
        const double m = k * k;

        const Result<double> e = legendre::ellipe(m);
        if (!e) return std::unexpected(e.error());
        const Result<double> kk = legendre::ellipk(m);
        if (!kk) return std::unexpected(kk.error());
        const Result<double> pi_nm = legendre::ellippi(n, m);
        if (!pi_nm) return std::unexpected(pi_nm.error());

        const double c_e = (s * q) / two_rho2;
        const double c_k = (delta * (4.0 + (u * u - rho2) * 0.5)) / (rho2 * q);
        const double c_pi = (rho2_plus_1 * (delta2 + delta2)) / ((rho2 * s) * q);
        const double sum = (c_e * *e - c_k * *kk) + c_pi * *pi_nm;
        // Equal to sum / pi up to rounding; this form fixes the last bits.
        li = (sum + pi) / two_pi + (sum - pi) / two_pi;
    }
    return l;
}

}  // namespace tavlomer::models
