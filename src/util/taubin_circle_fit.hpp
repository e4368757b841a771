// src/util/taubin_circle_fit.hpp: algebraic (Taubin) circle fit of a run of points via dgesvd
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "util/lapack.hpp"

namespace korvane {

/// A fitted circle and the root mean squared error of the points' radial distances to it.
struct CircleFit {
    double centre_x;
    double centre_y;
    double radius;  ///< never negative; huge, infinite or NaN for collinear points
    double rmse;
};

class CircleFitWorkspace;

/// Taubin fit of the points (x[i], y[i]) for i below the shorter length. Nothing for no points,
/// for coincident or non-finite points (no finite matrix to decompose) and when dgesvd reports
/// a failure. `dgesvd` must not be null.
std::optional<CircleFit> taubin_circle_fit(std::span<const double> x, std::span<const double> y,
                                           DgesvdFn dgesvd, CircleFitWorkspace& workspace);

/// What can be proven, without decomposing, of the RMSE of `taubin_circle_fit` on the same points
/// against a tolerance.
enum class FitBound {
    unproven,  ///< too close to the tolerance, or too near a degenerate fit, to say
    above,     ///< above it; also for runs without a fit, which a caller refuses alike
    within,    ///< at most the tolerance, unless dgesvd fails to converge on the points
};

/// Most runs a decomposition tries are proven above or within its tolerance this way, at a few
/// passes over the run instead of a decomposition.
FitBound bound_circle_fit(std::span<const double> x, std::span<const double> y, double max_rmse,
                          CircleFitWorkspace& workspace);

/// The same fit with buffers of its own.
std::optional<CircleFit> taubin_circle_fit(std::span<const double> x, std::span<const double> y,
                                           DgesvdFn dgesvd);

/// Buffers kept between fits so that a sequence of fits allocates only when a run is longer
/// than every run before it. Reusing one never changes a result.
class CircleFitWorkspace {
private:
    friend std::optional<CircleFit> taubin_circle_fit(std::span<const double>,
                                                      std::span<const double>, DgesvdFn,
                                                      CircleFitWorkspace&);
    friend FitBound bound_circle_fit(std::span<const double>, std::span<const double>, double,
                                     CircleFitWorkspace&);
    std::vector<double> m_z;         // n-by-3 design matrix, column-major; overwritten by dgesvd
    std::vector<double> m_work;      // dgesvd's work array
    DgesvdFn m_sized_by = nullptr;   // the routine whose answers m_work_length holds
    std::vector<int> m_work_length;  // queried work length per row count, 0 = not asked yet
};

}  // namespace korvane
