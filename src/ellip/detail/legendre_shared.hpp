// What legendre.cpp shares with the batch kernels (batch_lanes.hpp): the
// coefficients of K and E and their evaluation, so that both run the very
// same arithmetic.  Plain arrays and templates over the number type (double,
// or a vector of doubles computed lane by lane), nothing that a target-specific
// translation unit could emit as a shared out-of-line copy.
#pragma once

#include <cstddef>

#include "common/constants.hpp"

namespace tavlomer::ellip::legendre::detail {

using constants::half_pi;
inline constexpr double log4 = 1.3862943611198906;  // log(4)
inline constexpr double eps = constants::epsilon;   // 2^-52

// Coefficients from the highest degree down to the constant term.
// Cephes ellpk.c, P and Q (degree 10 each).
inline constexpr double k_p[11] = {
    0.00013798286460627325, 0.002280257240058756, 0.007974040132204152, 0.00985821379021226,
    0.006874896874499499,   0.006189010336376876, 0.008790782739527438, 0.014938044891680526,
    0.0308851465246712,     0.09657359028116902,  1.3862943611198906,  // log(4)
};
inline constexpr double k_q[11] = {
    2.940789550485985e-05,
    0.0009141847238659173,
    0.005940583037531678,
    0.01548505166497624,
    0.023908960271592488,
    0.030120471522760404,
    0.037377431417382326,
    0.04882803475709983,
    0.07031249969639575,
    0.12499999999987083,
    0.5,
};
// Cephes ellpe.c, P (degree 10) and Q (degree 9).
inline constexpr double e_p[11] = {
    0.0001535525773010133,
    0.0025088849216360204,
    0.008687868165658896,
    0.010735094905607619,
    0.007773954925167871,
    0.007583952894135147,
    0.011568843681057412,
    0.021831799601555724,
    0.05680519456178606,
    0.44314718056099084,
    1.0,
};
inline constexpr double e_q[10] = {
    3.2795489857648585e-05, 0.0010096279267935672, 0.006506094899769275, 0.016886216399331133,
    0.026176974245449364,   0.03348339048882249,   0.04271809265189315,  0.0585936634471101,
    0.09374999971976443,    0.2499999999998883,
};

// Horner's scheme, each product and sum rounded on its own.  T{} + c[0] is
// c[0] exactly (in every lane of a vector).
template <class T, std::size_t N>
[[nodiscard]] inline T horner(const double (&c)[N], T x) noexcept {
    T acc = T{} + c[0];
    for (std::size_t i = 1; i < N; ++i) acc = acc * x + c[i];
    return acc;
}

}  // namespace tavlomer::ellip::legendre::detail
