// The light centroid of the images of a uniformly bright disk lensed by a
// point mass: the building block of the astrometric shift of every brightness
// law (magnification.cpp stacks nested disks, as for the magnification).
// Plain C++, no allocation.
//
// A point source at separation s has its images' light centroid at
// s (s^2 + 3) / (s^2 + 2) from the lens, so its magnified light times that
// position is f(s) = (s^2 + 3) / sqrt(s^2 + 4), and the shift of the
// centroid from the source is s / (s^2 + 2).
#pragma once

#include "physics/dual.hpp"

namespace tavlomer::physics::detail {

// Where the moment's forms take over from one another, beside disk.hpp's
// disk_forms: disk_centroid's choice, which the batch (disk_batch.hpp) makes
// the same way.
namespace centroid_forms {

// Below this u / rho the closed form's bracket loses to rounding what 1/u
// then amplifies (eps rho / u relative): the lens inside takes the polar
// form.
inline constexpr double closed_from = 0.1;
}  // namespace centroid_forms

// The uniform disk of radius rho (Einstein radii) at separation u >= 0:
// its magnification (as disk() gives it, to the bit) and its centroid
// moment, the mean over the disk of
//
//   f(|y|) cos(phi) - u A(|y|)
//
// (phi the angle of the point y from the lens-source axis, A the
// point-source magnification), so that the disk's centroid shift along the
// axis, away from the lens, is moment / a.  The moment is 0 at u = 0 and on
// the limb u = rho, negative inside the disk (the side nearer the lens is
// the more magnified) and positive outside.  NaN for a NaN u.
struct DiskCentroid {
    double a;
    double moment;
};
[[nodiscard]] DiskCentroid disk_centroid(double u, double rho, double delta) noexcept;

// The same values (to the bit) with the derivatives in u and rho of the
// magnification and of the moment: the moment's forms differentiated node by
// node and through the mean iteration (forward mode, dual.hpp), exact to
// rounding.  Far out (u >= 3 rho) the magnification's are those of a finer
// rule than disk()'s, as the moment uses them (within 1e-12 relative where
// disk()'s are a few 1e-12 off); near the limb (closed form) those of the
// moment's own mean iteration, disk()'s to rounding.  On the limb the
// moment's are infinite (+inf in u, -inf in rho); at u = 0 they are the
// limits as u -> 0+.
struct DiskCentroidSlopes {
    DiskCentroid value;
    Dual a;
    Dual moment;
};
[[nodiscard]] DiskCentroidSlopes disk_centroid_slopes(double u, double rho, double delta) noexcept;

}  // namespace tavlomer::physics::detail
