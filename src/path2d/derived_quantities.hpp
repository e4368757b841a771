// src/path2d/derived_quantities.hpp: the per-point quantities of points read in place, one
// block of points at a time: what a path's caches are filled with, and what many tracks write
// straight into their columns
#pragma once

#include <cstddef>

#include "path2d/points.hpp"

namespace korvane {

/// The most points a block of `orientation_block` may hold; the caches are filled in blocks of
/// this many from the first point, and so must be any list that is to equal theirs bit for bit
/// (the heading's vector arc tangent takes four points at a time within a block).
inline constexpr std::size_t kQuantityBlock = 512;

/// Cumulative arc length at points [begin, end) into out[0 .. end - begin). `total` enters as
/// the length at point begin - 1 (0 for the first block) and leaves as that at end - 1, so the
/// blocks of one list come in order.
void path_length_block(const PointView& points, std::size_t begin, std::size_t end, double& total,
                       double* out) noexcept;

/// Heading in radians at points [begin, end), at most kQuantityBlock of them.
void orientation_block(const PointView& points, std::size_t begin, std::size_t end,
                       double* out) noexcept;

/// Unit tangent at points [begin, end) of the coordinate lists `x` and `y`, whose shorter one
/// gives the number of points (differences at an end read the whole list they are taken of).
void unit_tangent_block(const CoordinateView& x, const CoordinateView& y, std::size_t begin,
                        std::size_t end, Point* out) noexcept;

/// Signed curvature at points [begin, end) of `x` and `y`, as for the unit tangent.
void curvature_block(const CoordinateView& x, const CoordinateView& y, std::size_t begin,
                     std::size_t end, double* out) noexcept;

}  // namespace korvane
