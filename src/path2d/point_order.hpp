// src/path2d/point_order.hpp: finding and removing points where the path runs backwards
#pragma once

#include <cstddef>
#include <vector>

#include "path2d/path2d.hpp"

namespace korvane {

/// Interior indices where the path turns by at least `sus_angle`.
std::vector<std::size_t> detect_corrupted_point_order(const Path2D& path, double sus_angle);
/// The indices, increasing, of the points the repair below keeps of `points`.
std::vector<std::size_t> repaired_point_indices(const PointView& points, double sus_angle);
/// The path with reversing points removed until no turn reaches `sus_angle`.
Path2D repair_corrupted_point_order(const Path2D& path, double sus_angle);

}  // namespace korvane
