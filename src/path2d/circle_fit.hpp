// src/path2d/circle_fit.hpp: circle segment decomposition and curvature from arcs
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "path2d/path2d.hpp"
#include "util/lapack.hpp"
#include "util/result.hpp"

namespace korvane {

/// A run of points [start, end) lying close to one circle, with the circle's curvature.
struct CircleSegment {
    std::size_t start;
    std::size_t end;
    double curvature;
    bool operator==(const CircleSegment&) const = default;
};

class CircleFitWorkspace;

/// Recursive circle decomposition of the points [start, end).
Result<std::vector<CircleSegment>> find_circle_segments(const Path2D& path, std::size_t start,
                                                        std::size_t end, double max_rmse,
                                                        DgesvdFn dgesvd);
/// The same decomposition of the coordinates `x` and `y`, its range checked by the caller,
/// appended to `out`; `workspace` serves every fit, and may serve the next call.
void append_circle_segments(std::span<const double> x, std::span<const double> y, std::size_t start,
                            std::size_t end, double max_rmse, DgesvdFn dgesvd,
                            CircleFitWorkspace& workspace, std::vector<CircleSegment>& out);
/// One curvature per point from the circle decomposition of the whole path.
Result<std::vector<double>> compute_circle_fit_curvature(const Path2D& path, double max_rmse,
                                                         DgesvdFn dgesvd);

}  // namespace korvane
