// src/path2d/chaikin.hpp: Chaikin corner cutting
#pragma once

#include <cstddef>

#include "path2d/path2d.hpp"
#include "util/result.hpp"

namespace korvane {

/// The number of points Chaikin's `num_iterations` cuts make of the path (n * 2^k, the path's
/// own count below 2 points), or a ValueError when that is more than can be stored.
Result<std::size_t> chaikin_point_count(const Path2D& path, std::size_t num_iterations);
/// Chaikin corner cutting, `num_iterations` times; throws std::bad_alloc when the n * 2^k
/// points cannot be stored (`chaikin_point_count` tells beforehand).
Path2D smoothed_path_chaikin(const Path2D& path, std::size_t num_iterations);

}  // namespace korvane
