// The seven magnification models on raw doubles: separations, radii, tables
// of any order and sign, unequal table lengths, NaN and infinities.  Checked
// beyond no undefined behaviour and termination:
//  - a result has one value per separation;
//  - unequal flux-map tables fail with LengthMismatch(len(bl), len(bf)) and
//    nothing else does;
//  - a numeric failure carries one of the kernels' own texts;
//  - the models that absorb kernel failures (the profile-integrated ring
//    models) never fail otherwise;
//  - the integrated disk models fail exactly when the plain disk model fails
//    on the same separations, with the same text; where the plain value is
//    not finite every integrand value is, the quadrature counts them as 0, so
//    the result is 0 divided by the normalisation: exactly 0.0 for the fixed
//    profile, a zero or NaN (a zero-flux table) for a flux map;
//  - the ring function is exactly 0.0 with the lens just inside the ring;
//  - the discrete ring sum over empty tables is all zeros, and one ring of
//    weight 1 reproduces the ring function.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_input.hpp"
#include "lib/models/models.hpp"

namespace models = tavlomer::models;
using models::ListResult;

namespace {

// Separations per call: the profile-integrated models cost about a thousand
// kernel evaluations per separation, so their lists stay short.
constexpr std::size_t most_separations = 6;
constexpr std::size_t most_integrated = 2;
constexpr std::size_t most_table = 10;

bool is_mismatch(const ListResult& r, std::size_t left, std::size_t right) {
    if (r) return false;
    const auto* m = std::get_if<models::LengthMismatch>(&r.error());
    return m != nullptr && m->left == left && m->right == right;
}

const char* numeric_text(const ListResult& r) {
    const auto* e = std::get_if<tavlomer::NumericError>(&r.error());
    FUZZ_CHECK(e != nullptr);
    FUZZ_CHECK(fuzz::known_message(e->text));
    return e->text;
}

void check_list(const ListResult& r, std::size_t length) {
    if (r) {
        FUZZ_CHECK(r->size() == length);
    } else {
        numeric_text(r);
    }
}

// The integrated disk model against the plain one on the same separations.
void check_against_plain(const ListResult& integrated, const std::vector<double>& l, double re,
                         double rstar, bool flux_map) {
    const ListResult plain = models::witt_mao_magnification(l, re, rstar);
    FUZZ_CHECK(integrated.has_value() == plain.has_value());
    if (!plain) {
        FUZZ_CHECK(std::strcmp(numeric_text(integrated), numeric_text(plain)) == 0);
        return;
    }
    FUZZ_CHECK(integrated->size() == l.size());
    for (std::size_t i = 0; i < l.size(); ++i) {
        if (std::isfinite((*plain)[i])) continue;
        const double v = (*integrated)[i];
        FUZZ_CHECK(flux_map ? (v == 0.0 || std::isnan(v)) : fuzz::same_bits(v, 0.0));
    }
}

void ring(double l, double r, double re, double rstar) {
    const tavlomer::Result<double> a = models::heyrovsky_magnification(l, r, re, rstar);
    FUZZ_CHECK(a || fuzz::known_message(a.error().text));
    const double f = l - r;
    if (std::fabs(f) < 0.001 && f < 0.0) FUZZ_CHECK(a && fuzz::same_bits(*a, 0.0));
}

void discrete(const std::vector<double>& l, const std::vector<double>& bl,
              const std::vector<double>& bf, double re, double rstar) {
    const ListResult r = models::discrete_flux_map_heyrovsky_magnification(l, bl, bf, re, rstar);
    if (bl.size() != bf.size()) {
        FUZZ_CHECK(is_mismatch(r, bl.size(), bf.size()));
        return;
    }
    check_list(r, l.size());
    if (bl.empty()) {
        FUZZ_CHECK(r.has_value());
        for (double v : *r) FUZZ_CHECK(fuzz::same_bits(v, 0.0));
    }
    if (bl.size() == 1 && bf[0] == 1.0 && r) {
        for (std::size_t i = 0; i < l.size(); ++i) {
            const tavlomer::Result<double> a =
                models::heyrovsky_magnification(l[i], bl[0], re, rstar);
            FUZZ_CHECK(a.has_value());
            // 0.0 + a turns a -0.0 into +0.0; equal as numbers, NaN aside.
            FUZZ_CHECK((*r)[i] == *a || (std::isnan((*r)[i]) && std::isnan(*a)));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const unsigned model = in.byte() % 7;
    const double re = in.number();
    const double rstar = in.number();
    const bool integrated = model == 1 || model == 2 || model == 4 || model == 5;
    std::vector<double> l = in.list(integrated ? most_integrated : most_separations);
    std::vector<double> bl = in.list(most_table);
    std::vector<double> bf = in.list(most_table);
    // Equal lengths are the interesting case beyond the length check.
    if (in.byte() & 1) bf.resize(bl.size(), 1.0);

    switch (model) {
        case 0:
            check_list(models::witt_mao_magnification(l, re, rstar), l.size());
            if (l.empty()) FUZZ_CHECK(models::witt_mao_magnification(l, re, rstar).has_value());
            break;
        case 1:
            check_against_plain(models::integrated_witt_mao_magnification(l, re, rstar), l, re,
                                rstar, false);
            break;
        case 2: {
            const ListResult r =
                models::integrated_flux_map_witt_mao_magnification(l, bl, bf, re, rstar);
            if (bl.size() != bf.size()) {
                FUZZ_CHECK(is_mismatch(r, bl.size(), bf.size()));
            } else {
                check_against_plain(r, l, re, rstar, true);
            }
            break;
        }
        case 3:
            ring(l.empty() ? re : l[0], bl.empty() ? rstar : bl[0], re, rstar);
            for (std::size_t i = 0; i + 1 < l.size(); i += 2) ring(l[i], l[i + 1], re, rstar);
            break;
        case 4: {
            const ListResult r = models::integrated_heyrovsky_magnification(l, re, rstar);
            FUZZ_CHECK(r.has_value() && r->size() == l.size());
            break;
        }
        case 5: {
            const ListResult r =
                models::integrated_flux_map_heyrovsky_magnification(l, bl, bf, re, rstar);
            if (bl.size() != bf.size()) {
                FUZZ_CHECK(is_mismatch(r, bl.size(), bf.size()));
            } else {
                FUZZ_CHECK(r.has_value() && r->size() == l.size());
            }
            break;
        }
        default:
            discrete(l, bl, bf, re, rstar);
            break;
    }
    return 0;
}
