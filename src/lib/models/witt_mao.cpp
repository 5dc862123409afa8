// Magnification of a uniformly bright disk by a point-mass lens, in the closed
// form of Witt & Mao (1994, ApJ 430, 505, eq. 9) in complete elliptic
// integrals of the first, second and third kinds.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <span>
#include <utility>

#include "common/constants.hpp"
#include "ellip/batch.hpp"
#include "lib/models/models.hpp"
#include "lib/models/result_buffer.hpp"

namespace tavlomer::models {

namespace {

using constants::half_pi;
using constants::pi;
using constants::two_pi;

// Within this distance of the limb (in Einstein radii) the third-kind
// integral diverges logarithmically while its coefficient vanishes; the exact
// limit at u = rho is used instead.
constexpr double near_limb_band = 1e-05;

// Separations per pass of the batch kernels: enough to keep every vector lane
// busy, few enough for the stack of a thread started with a small one
// (about 6.5 KiB of arguments and results).
constexpr std::size_t chunk = 64;

// One separation's general form up to its elliptic integrals.
struct DiskGeneralForm {
    double u;       // rho * l
    double delta;   // u - rho
    double delta2;  // delta * delta
    double s;       // rho + u
    double q;       // sqrt(delta^2 + 4)
};

}  // namespace

// The separations go a chunk at a time through three stages: every
// separation's arguments n and m, then E(m), K(m) and Pi(n, m) of the whole
// chunk through the batch kernels, then each separation finished in list
// order.  The failure reported is the one the separation-by-separation
// evaluation reaches first: the first separation in list order whose E, K or
// Pi fails, and of its three the first in the order E, K, Pi.  The extra
// elements a batch evaluates beyond a failure are pure work whose results
// are dropped with the list.
ListResult witt_mao_magnification(std::vector<double> l, double re, double rstar) {
    namespace batch = ellip::batch;
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

    std::array<bool, chunk> general;
    std::array<DiskGeneralForm, chunk> form;
    std::array<double, chunk> n_arg;
    std::array<double, chunk> m_arg;
    ResultBuffer<chunk> e;
    ResultBuffer<chunk> kk;
    ResultBuffer<chunk> pi_nm;

    // The results overwrite the separations in place, each once its chunk's
    // integrals are known; on a failure the whole list is dropped.
    for (std::size_t first = 0; first < l.size(); first += chunk) {
        const std::span<double> part(l.data() + first, std::min(chunk, l.size() - first));
        std::size_t count = 0;  // general-form separations in the chunk
        for (std::size_t j = 0; j < part.size(); ++j) {
            const double u = rho * part[j];
            const double delta = u - rho;
            // A NaN delta fails the test and takes the general form.
            general[j] = !(std::fabs(delta) < near_limb_band);
            if (!general[j]) continue;
            const double s = rho + u;
            const double n = (four_rho * u) / (s * s);
            const double delta2 = delta * delta;
            const double q = std::sqrt(delta2 + 4.0);
            // m = 4n / (delta^2 + 4), formed through sqrt(4n)/q and squared:
            // this path fixes its last bits.
            const double k = std::sqrt(n * 4.0) / q;
            form[count] = {u, delta, delta2, s, q};
            n_arg[count] = n;
            m_arg[count] = k * k;
            ++count;
        }

        const batch::In m(m_arg.data(), count);
        batch::ellipe(m, e.first(count));
        batch::ellipk(m, kk.first(count));
        batch::ellippi(batch::In(n_arg.data(), count), m, pi_nm.first(count));

        std::size_t g = 0;
        for (std::size_t j = 0; j < part.size(); ++j) {
            if (!general[j]) {
                if (!have_limb) {
                    limb = (c3 + c2 * (std::asin(c1) + half_pi)) / pi;
                    have_limb = true;
                }
                part[j] = limb;
                continue;
            }
            if (!e[g]) return std::unexpected(e[g].error());
            if (!kk[g]) return std::unexpected(kk[g].error());
            if (!pi_nm[g]) return std::unexpected(pi_nm[g].error());
            const auto [u, delta, delta2, s, q] = form[g];
            const double c_e = (s * q) / two_rho2;
            const double c_k = (delta * (4.0 + (u * u - rho2) * 0.5)) / (rho2 * q);
            const double c_pi = (rho2_plus_1 * (delta2 + delta2)) / ((rho2 * s) * q);
            const double sum = (c_e * *e[g] - c_k * *kk[g]) + c_pi * *pi_nm[g];
            // Equal to sum / pi up to rounding; this form fixes the last bits.
            part[j] = (sum + pi) / two_pi + (sum - pi) / two_pi;
            ++g;
        }
    }
    return l;
}

}  // namespace tavlomer::models
