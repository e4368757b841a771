// src/path2d/sub_path.cpp: the piece of a path between two projected cut points
#include "path2d/sub_path.hpp"

#include <cmath>

#include "path2d/point_queries.hpp"

namespace korvane {

std::optional<Path2D> sub_path(const Path2D& path, std::optional<Point> start,
                               std::optional<Point> end, double epsilon) {
    const PointView source = path.point_view();
    const std::size_t n = source.size();
    if (n == 0) {
        return std::nullopt;
    }
    const std::optional<Projection> from =
        nearest_projection(path, start.value_or(source[0]), epsilon);
    if (!from) {
        return std::nullopt;
    }
    const std::optional<Projection> to =
        nearest_projection(path, end.value_or(source[n - 1]), epsilon);
    if (!to) {
        return std::nullopt;
    }
    const std::size_t c = from->index;
    const std::size_t e = to->index;
    if (e < c || (e == c && to->t < from->t)) {
        return std::nullopt;
    }

    const std::vector<std::vector<double>>& associated = path.associated_values();
    const std::size_t h = associated.size();
    std::vector<Point> points;
    points.reserve(e - c + 2);
    std::vector<std::vector<double>> values(h);
    for (std::vector<double>& list : values) {
        list.reserve(e - c + 2);
    }
    // Every point appended below is matched by one value in each list.
    if (c + 1 < n && !within(from->point, source[c + 1], epsilon)) {
        points.push_back(from->point);
        for (std::size_t k = 0; k < h; ++k) {
            const std::vector<double>& a = associated[k];
            values[k].push_back((a[c + 1] - a[c]) * from->t + a[c]);
        }
    }
    for (std::size_t i = c + 1; i <= e; ++i) {
        points.push_back(source[i]);
    }
    for (std::size_t k = 0; k < h; ++k) {
        const std::vector<double>& a = associated[k];
        values[k].insert(values[k].end(), a.begin() + static_cast<std::ptrdiff_t>(c + 1),
                         a.begin() + static_cast<std::ptrdiff_t>(e + 1));
    }
    if (points.empty() || !within(to->point, points.back(), epsilon)) {
        points.push_back(to->point);
        for (std::size_t k = 0; k < h; ++k) {
            const std::vector<double>& a = associated[k];
            // An end cut at the last point (t is 0 there) has no next value to lean on.
            values[k].push_back(e + 1 < n ? (a[e + 1] - a[e]) * to->t + a[e] : a[e]);
        }
    }
    return Path2D::from_parts(std::move(points), {}, {}, std::move(values));
}

}  // namespace korvane
