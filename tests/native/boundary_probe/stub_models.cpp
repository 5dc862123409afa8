// Stand-in models for the boundary probe.  Each list model echoes what it
// received, in the order it received it, so that a test sees exactly which
// values reached which model parameter; a negative `rstar` instead selects a
// failure.
#include <new>
#include <stdexcept>

#include "lib/models/models.hpp"

namespace tavlomer::models {
namespace {

enum Command : int {
    numeric_error = -1,      // a kernel's NumericError
    out_of_memory = -2,      // std::bad_alloc from inside a model
    unreportable = -3,       // a NumericError whose text is not UTF-8
    length_mismatch = -4,    // unequal bl and bf
    foreign_exception = -5,  // a C++ exception that is not a fault
    faceless_fault = -6,     // something thrown that carries no text
};

ListResult echo(std::vector<double> l, const std::vector<double>& bl, const std::vector<double>& bf,
                double re, double rstar) {
    switch (static_cast<int>(rstar)) {
        case numeric_error:
            return std::unexpected(NumericError{"ellipk: m must be less than 1."});
        case out_of_memory:
            throw std::bad_alloc();
        case unreportable:
            return std::unexpected(NumericError{"\xff not UTF-8"});
        case length_mismatch:
            return std::unexpected(LengthMismatch{bl.size(), bf.size()});
        case foreign_exception:
            throw std::runtime_error("a foreign C++ exception");
        case faceless_fault:
            throw 42;
        default:
            break;
    }
    l.insert(l.end(), bl.begin(), bl.end());
    l.insert(l.end(), bf.begin(), bf.end());
    l.push_back(re);
    l.push_back(rstar);
    return l;
}

}  // namespace

ListResult witt_mao_magnification(std::vector<double> l, double re, double rstar) {
    return echo(std::move(l), {}, {}, re, rstar);
}
ListResult integrated_witt_mao_magnification(std::vector<double> l, double re, double rstar) {
    return echo(std::move(l), {}, {}, re, rstar);
}
ListResult integrated_flux_map_witt_mao_magnification(std::vector<double> l, std::vector<double> bl,
                                                      std::vector<double> bf, double re,
                                                      double rstar) {
    return echo(std::move(l), bl, bf, re, rstar);
}
ListResult integrated_heyrovsky_magnification(std::vector<double> l, double re, double rstar) {
    return echo(std::move(l), {}, {}, re, rstar);
}
ListResult integrated_flux_map_heyrovsky_magnification(std::vector<double> l,
                                                       std::vector<double> bl,
                                                       std::vector<double> bf, double re,
                                                       double rstar) {
    return echo(std::move(l), bl, bf, re, rstar);
}
ListResult discrete_flux_map_heyrovsky_magnification(std::vector<double> l, std::vector<double> bl,
                                                     std::vector<double> bf, double re,
                                                     double rstar) {
    return echo(std::move(l), bl, bf, re, rstar);
}

// The parameters as decimal digits, so that their order shows: (1, 2, 3, 4)
// gives 1234.
Result<double> heyrovsky_magnification(double l, double r, double re, double rstar) noexcept {
    if (rstar == static_cast<double>(numeric_error)) {
        return std::unexpected(NumericError{"ellippi: n must be less than 1."});
    }
    return ((l * 10.0 + r) * 10.0 + re) * 10.0 + rstar;
}

}  // namespace tavlomer::models
