// src/path2d/point_queries.cpp: projecting a query point onto the path, and the queries built on it
#include "path2d/point_queries.hpp"

#include <cmath>

namespace korvane {

std::optional<Projection> nearest_projection(const Path2D& path, Point point, double epsilon) {
    const std::size_t n = path.size();
    if (n == 0) {
        return std::nullopt;
    }
    // The first point is tested before the last, so it wins on a closed path.
    const PointView points = path.point_view();
    if (within(point, points[0], epsilon)) {
        return Projection{0, points[0], 0.0, 0.0, 0.0};
    }
    if (within(point, points[n - 1], epsilon)) {
        return Projection{n - 1, points[n - 1], 0.0, 0.0, 0.0};
    }
    return path.segment_index().nearest_segment(points, point);
}

std::optional<std::size_t> index_from_point(const Path2D& path, Point point, double epsilon) {
    const std::optional<Projection> projection = nearest_projection(path, point, epsilon);
    if (!projection) {
        return std::nullopt;
    }
    return projection->index;
}

std::optional<double> path_length_from_point(const Path2D& path, Point point, double epsilon) {
    const std::optional<Projection> projection = nearest_projection(path, point, epsilon);
    if (!projection) {
        return std::nullopt;
    }
    const std::size_t i = projection->index;
    const double at_index = path.path_length_per_point()[i];
    if (i + 1 >= path.size()) {
        return at_index;
    }
    // From the query point itself, unclamped: a point accepted by the first-point test just
    // before the start gets a negative position.
    const PointView points = path.point_view();
    const Point a = points[i];
    const double dx = points[i + 1].x - a.x;
    const double dy = points[i + 1].y - a.y;
    const double squared_length = dx * dx + dy * dy;
    // Only the first-point test can land on a zero-length segment: it gives no direction to
    // measure along, and 0 / 0 would turn the start of the path into NaN.
    if (squared_length == 0.0) {
        return at_index;
    }
    const double t = ((point.x - a.x) * dx + (point.y - a.y) * dy) / squared_length;
    return at_index + std::sqrt(squared_length) * t;
}

}  // namespace korvane
