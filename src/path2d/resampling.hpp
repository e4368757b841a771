// src/path2d/resampling.hpp: equidistant resampling of a path and its associated values
#pragma once

#include <cstddef>
#include <span>

#include "path2d/options.hpp"
#include "path2d/path2d.hpp"
#include "spline/spline.hpp"
#include "util/result.hpp"

namespace korvane {

/// Equidistant resampling over arc length, associated values resampled alongside.
Result<Path2D> resampled_path(const Path2D& path, const ResamplingMethod& method,
                              InterpolationMethod interpolation, double epsilon);

/// The arc lengths a resampling samples at: evenly spaced from 0, maybe followed by the end.
/// Computed on demand, so a long resampling allocates no position list.
struct ResamplingPositions {
    Linspace regular;
    bool ends_at_length = false;
    double length = 0.0;

    std::size_t size() const noexcept { return regular.size() + (ends_at_length ? 1 : 0); }
    double operator[](std::size_t j) const noexcept {
        return j < regular.size() ? regular[j] : length;
    }
};

/// Where `resampled_path` samples a path of two points or more whose cumulative arc lengths are
/// `s`, or the error it gives that path.
Result<ResamplingPositions> resampling_positions(const ResamplingMethod& method,
                                                 std::span<const double> s, double epsilon);

/// The points `resampled_path` gives at `positions` (from `resampling_positions` for the arc
/// lengths `s` of `points`), written to out[0 .. positions.size()).
void resample_points(const PointView& points, std::span<const double> s,
                     const ResamplingPositions& positions, InterpolationMethod interpolation,
                     Point* out);

/// The values of one associated value list, one per point, at the same positions as
/// `resample_points`, written to out[j * out_stride].
void resample_values(std::span<const double> s, const CoordinateView& values,
                     const ResamplingPositions& positions, InterpolationMethod interpolation,
                     double* out, std::size_t out_stride);

}  // namespace korvane
