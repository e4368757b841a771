// src/path2d/points.hpp: planar points, points read in place from either storage form, and
// where a query point lands on a path
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

namespace korvane {

/// A planar point, or any pair of doubles such as a unit tangent.
struct Point {
    double x;
    double y;
    bool operator==(const Point&) const = default;
};

/// Where a query point lands on the path.
struct Projection {
    std::size_t index;  ///< first point of the segment, or the matched end point
    Point point;        ///< foot of the perpendicular, or the matched end point
    double t;           ///< fraction of the segment, 0 <= t < 1
    double offset;      ///< distance from point `index` along the segment
    double distance;    ///< distance from the query point to `point`
};

/// The point of a segment nearest to a query point, its parameter t clamped to [0, 1].
struct ClampedFoot {
    std::size_t index;        ///< first point of the segment
    double t;                 ///< 0 and 1 are the segment's ends
    Point point;              ///< a + t (b - a)
    double squared_distance;  ///< from the query point to `point`
};

/// The epsilon test of the point queries: equal within a closed axis-aligned square of
/// half-width epsilon.
inline bool within(Point a, Point b, double epsilon) noexcept {
    return std::fabs(a.x - b.x) <= epsilon && std::fabs(a.y - b.y) <= epsilon;
}

/// One coordinate of the points, read in place: every `stride`-th double from `first`, so it
/// serves a list of doubles (stride 1) as well as the x or y of a list of points (stride 2).
class CoordinateView {
public:
    CoordinateView(const double* first, std::size_t stride, std::size_t size) noexcept
        : m_first(first), m_stride(stride), m_size(size) {}

    std::size_t size() const noexcept { return m_size; }
    bool empty() const noexcept { return m_size == 0; }
    double operator[](std::size_t i) const noexcept { return m_first[i * m_stride]; }
    double back() const noexcept { return (*this)[m_size - 1]; }
    const double* first() const noexcept { return m_first; }
    std::size_t stride() const noexcept { return m_stride; }

private:
    const double* m_first;
    std::size_t m_stride;
    std::size_t m_size;
};

/// The points read in place, whether the record holds them as pairs or as two coordinate lists.
class PointView {
public:
    PointView(CoordinateView x, CoordinateView y) noexcept : m_x(x), m_y(y) {}
    /// The points of a list of pairs.
    PointView(const std::vector<Point>& points) noexcept  // NOLINT: a list is read as its view
        : m_x(points.empty() ? nullptr : &points[0].x, 2, points.size()),
          m_y(points.empty() ? nullptr : &points[0].y, 2, points.size()) {}

    std::size_t size() const noexcept { return m_x.size(); }
    Point operator[](std::size_t i) const noexcept { return Point{m_x[i], m_y[i]}; }
    const CoordinateView& x() const noexcept { return m_x; }
    const CoordinateView& y() const noexcept { return m_y; }

private:
    CoordinateView m_x;
    CoordinateView m_y;
};

}  // namespace korvane
