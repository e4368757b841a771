// src/path2d/resampling.hpp: equidistant resampling of a path and its associated values
#pragma once

#include "path2d/options.hpp"
#include "path2d/path2d.hpp"
#include "util/result.hpp"

namespace korvane {

/// Equidistant resampling over arc length, associated values resampled alongside.
Result<Path2D> resampled_path(const Path2D& path, const ResamplingMethod& method,
                              InterpolationMethod interpolation, double epsilon);

}  // namespace korvane
