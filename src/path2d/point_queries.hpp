// src/path2d/point_queries.hpp: projecting a query point onto a path, and the queries built on it
#pragma once

#include <cstddef>
#include <optional>

#include "path2d/path2d.hpp"
#include "path2d/points.hpp"

namespace korvane {

/// Nearest projection of a point onto the path's segments or end points.
std::optional<Projection> nearest_projection(const Path2D& path, Point point, double epsilon);
/// Segment index of the nearest projection.
std::optional<std::size_t> index_from_point(const Path2D& path, Point point, double epsilon);
/// Arc length at the projection of a point.
std::optional<double> path_length_from_point(const Path2D& path, Point point, double epsilon);

}  // namespace korvane
