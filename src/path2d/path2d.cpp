// src/path2d/path2d.cpp: construction of the path record and its derived per-point quantities
#include "path2d/path2d.hpp"

#include <algorithm>
#include <cmath>

#include "util/differences.hpp"
#include "util/memory.hpp"

namespace korvane {

Path2D Path2D::from_points(std::vector<Point> points) {
    // The whole record, checked before x and y are added to the points already held.
    require_memory(points.size(), sizeof(Point) + 2 * sizeof(double));
    Path2D path;
    path.m_x.resize(points.size());
    path.m_y.resize(points.size());
    for (std::size_t i = 0; i < points.size(); ++i) {
        path.m_x[i] = points[i].x;
        path.m_y[i] = points[i].y;
    }
    path.m_points = std::move(points);
    return path;
}

Path2D Path2D::from_points(std::vector<Point> points,
                           std::vector<std::vector<double>> associated_values) {
    Path2D path = from_points(std::move(points));
    path.m_associated_values = std::move(associated_values);
    return path;
}

Path2D Path2D::from_coordinates(std::vector<double> x, std::vector<double> y) {
    Path2D path;
    const std::size_t m = std::min(x.size(), y.size());
    require_memory(m, sizeof(Point) + 2 * sizeof(double));
    path.m_points.resize(m);
    for (std::size_t i = 0; i < m; ++i) {
        path.m_points[i] = Point{x[i], y[i]};
    }
    path.m_x = std::move(x);
    path.m_y = std::move(y);
    return path;
}

const std::vector<double>& Path2D::path_length_per_point() const {
    if (!m_path_length_per_point) {
        const std::size_t n = m_points.size();
        std::vector<double> lengths(n, 0.0);
        double total = 0.0;
        for (std::size_t i = 1; i < n; ++i) {
            const double dx = m_points[i].x - m_points[i - 1].x;
            const double dy = m_points[i].y - m_points[i - 1].y;
            total += std::sqrt(dx * dx + dy * dy);
            lengths[i] = total;
        }
        m_path_length_per_point = std::move(lengths);
    }
    return *m_path_length_per_point;
}

double Path2D::length() const {
    const std::vector<double>& lengths = path_length_per_point();
    return lengths.empty() ? 0.0 : lengths.back();
}

const std::vector<double>& Path2D::orientation() const {
    if (!m_orientation) {
        const std::size_t n = m_points.size();
        std::vector<double> angles(n, 0.0);
        if (n >= 2) {
            const auto heading = [](const Point& from, const Point& to) {
                return std::atan2(to.y - from.y, to.x - from.x);
            };
            angles[0] = heading(m_points[0], m_points[1]);
            // Central heading: the halving of the central difference cannot change the angle.
            for (std::size_t i = 1; i + 1 < n; ++i) {
                angles[i] = heading(m_points[i - 1], m_points[i + 1]);
            }
            angles[n - 1] = heading(m_points[n - 2], m_points[n - 1]);
        }
        m_orientation = std::move(angles);
    }
    return *m_orientation;
}

const std::vector<Point>& Path2D::unit_tangent_vector() const {
    if (!m_unit_tangent_vector) {
        const std::vector<double> dx = compute_differences(m_x);
        const std::vector<double> dy = compute_differences(m_y);
        const std::size_t m = std::min(dx.size(), dy.size());
        std::vector<Point> tangents(m);
        for (std::size_t i = 0; i < m; ++i) {
            // A zero difference gives NaN on purpose: there is no direction to report.
            const double r = std::sqrt(dy[i] * dy[i] + dx[i] * dx[i]);
            tangents[i] = Point{dx[i] / r, dy[i] / r};
        }
        m_unit_tangent_vector = std::move(tangents);
    }
    return *m_unit_tangent_vector;
}

const std::vector<double>& Path2D::curvature() const {
    if (!m_curvature) {
        const std::vector<double> dx = compute_differences(m_x);
        const std::vector<double> ddx = compute_differences(dx);
        const std::vector<double> dy = compute_differences(m_y);
        const std::vector<double> ddy = compute_differences(dy);
        const std::size_t n = m_points.size();
        std::vector<double> kappa(n);
        for (std::size_t i = 0; i < n; ++i) {
            kappa[i] = (dx[i] * ddy[i] - dy[i] * ddx[i]) /
                       std::pow(dx[i] * dx[i] + dy[i] * dy[i], 1.5);
        }
        m_curvature = std::move(kappa);
    }
    return *m_curvature;
}

}  // namespace korvane
