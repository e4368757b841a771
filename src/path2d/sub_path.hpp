// src/path2d/sub_path.hpp: the piece of a path between two projected cut points
#pragma once

#include <optional>

#include "path2d/path2d.hpp"
#include "path2d/points.hpp"

namespace korvane {

/// The piece between two points (or the path's ends), associated values cut alike.
std::optional<Path2D> sub_path(const Path2D& path, std::optional<Point> start,
                               std::optional<Point> end, double epsilon);

}  // namespace korvane
