// src/path2d/projection.cpp: projecting a query point onto the path, and the queries built on it
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

#include "path2d/path2d.hpp"

namespace korvane {

namespace {

// Equal within a closed axis-aligned square of half-width epsilon.
bool within(Point a, Point b, double epsilon) noexcept {
    return std::fabs(a.x - b.x) <= epsilon && std::fabs(a.y - b.y) <= epsilon;
}

// IEEE 754 totalOrder as a signed integer key: NaNs with the sign bit set (the x86 default
// NaN among them) sort below everything, the others above.
std::int64_t total_order_key(double v) noexcept {
    const auto bits = std::bit_cast<std::int64_t>(v);
    return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

}  // namespace

std::optional<Projection> Path2D::nearest_projection(Point point, double epsilon) const {
    const std::size_t n = size();
    if (n == 0) {
        return std::nullopt;
    }
    // The first point is tested before the last, so it wins on a closed path.
    if (within(point, points().front(), epsilon)) {
        return Projection{0, points().front(), 0.0, 0.0, 0.0};
    }
    if (within(point, points().back(), epsilon)) {
        return Projection{n - 1, points().back(), 0.0, 0.0, 0.0};
    }
    std::optional<Projection> best;
    std::int64_t best_key = 0;
    const Point* p = points().data();
    // Segments whose foot may lie inside them are gathered a block at a time without a branch
    // per segment: on a real path that test is close to a coin toss, and a branch on it
    // mispredicts about every other segment. The few gathered ones are then examined in index
    // order, so ties still keep the lower index.
    constexpr std::size_t block = 256;
    std::size_t gathered[block];
    for (std::size_t begin = 0; begin + 1 < n; begin += block) {
        const std::size_t end = std::min(begin + block, n - 1);
        std::size_t count = 0;
        for (std::size_t i = begin; i < end; ++i) {
            const Point a = p[i];
            const double dx = p[i + 1].x - a.x;
            const double dy = p[i + 1].y - a.y;
            const double numerator = (point.x - a.x) * dx + (point.y - a.y) * dy;
            const double squared_length = dx * dx + dy * dy;
            // Necessary for 0 <= t < 1, since the quotient rounds monotonically; NaN fails it
            // as it fails the exact test.
            gathered[count] = i;
            count += static_cast<std::size_t>(numerator >= 0.0) &
                     static_cast<std::size_t>(numerator < squared_length);
        }
        for (std::size_t k = 0; k < count; ++k) {
            const std::size_t i = gathered[k];
            const Point a = p[i];
            const double dx = p[i + 1].x - a.x;
            const double dy = p[i + 1].y - a.y;
            const double numerator = (point.x - a.x) * dx + (point.y - a.y) * dy;
            const double squared_length = dx * dx + dy * dy;
            const double t = numerator / squared_length;
            if (!(t >= 0.0 && t < 1.0)) {
                continue;
            }
            const Point q{a.x + t * dx, a.y + t * dy};
            const double ex = q.x - point.x;
            const double ey = q.y - point.y;
            const double distance = std::sqrt(ex * ex + ey * ey);
            const std::int64_t key = total_order_key(distance);
            // Only a strictly nearer candidate replaces the best, so ties keep the lower index.
            if (!best || key < best_key) {
                best = Projection{i, q, t, std::sqrt(squared_length) * t, distance};
                best_key = key;
            }
        }
    }
    return best;
}

std::optional<std::size_t> Path2D::index_from_point(Point point, double epsilon) const {
    const std::optional<Projection> projection = nearest_projection(point, epsilon);
    if (!projection) {
        return std::nullopt;
    }
    return projection->index;
}

std::optional<double> Path2D::path_length_from_point(Point point, double epsilon) const {
    const std::optional<Projection> projection = nearest_projection(point, epsilon);
    if (!projection) {
        return std::nullopt;
    }
    const std::size_t i = projection->index;
    const double at_index = path_length_per_point()[i];
    if (i + 1 >= size()) {
        return at_index;
    }
    // From the query point itself, unclamped: a point accepted by the first-point test just
    // before the start gets a negative position.
    const Point a = points()[i];
    const double dx = points()[i + 1].x - a.x;
    const double dy = points()[i + 1].y - a.y;
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
