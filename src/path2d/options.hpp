// src/path2d/options.hpp: the values that select how resampling and smoothing work
#pragma once

#include <cstdint>
#include <variant>

namespace korvane {

/// Interpolation over arc length; the numeric values are part of the Python surface.
enum class InterpolationMethod : int { Cubic = 0, Linear = 1 };

/// How the elastic band bounds each point's deviation; numeric values as seen from Python.
enum class ElasticBandMethod : int { SquareBounds = 0, OrthogonalBounds = 1 };

/// Resample to a fixed number of evenly spaced points.
struct ByNumberPoints {
    std::uint64_t number_points;
};

/// Resample at a fixed distance; `drop_last` omits the shorter final step to the path end.
struct BySamplingDistance {
    double sampling_distance;
    bool drop_last;
};

/// Tagged resampling option; the variant index is the tag (0 by count, 1 by distance).
using ResamplingMethod = std::variant<ByNumberPoints, BySamplingDistance>;

}  // namespace korvane
