// src/path2d/path2d.cpp: construction of the path record and its derived per-point quantities
#include "path2d/path2d.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "util/large_list.hpp"
#include "util/vector_math.hpp"

namespace korvane {

namespace {

// The finite difference of `compute_differences` at index i of v, computed alone: central
// inside, one-sided at both ends, 0 for a list of fewer than 2 values.
double difference_at(const CoordinateView& v, std::size_t i) noexcept {
    const std::size_t m = v.size();
    if (m <= 1) {
        return 0.0;
    }
    if (i == 0) {
        return v[1] - v[0];
    }
    if (i == m - 1) {
        return v[m - 1] - v[m - 2];
    }
    return (v[i + 1] - v[i - 1]) * 0.5;
}

// The first and second differences at i, bit for bit as compute_differences applied once and
// then again to its result.
struct Differences {
    double d;
    double dd;
};

Differences differences_at(const CoordinateView& v, std::size_t i) noexcept {
    const std::size_t m = v.size();
    if (i >= 2 && i + 2 < m) {
        // Every difference involved is central.
        const double before = (v[i] - v[i - 2]) * 0.5;
        const double after = (v[i + 2] - v[i]) * 0.5;
        return {(v[i + 1] - v[i - 1]) * 0.5, (after - before) * 0.5};
    }
    const double d = difference_at(v, i);
    if (m <= 1) {
        return {d, 0.0};
    }
    if (i == 0) {
        return {d, difference_at(v, 1) - d};
    }
    if (i == m - 1) {
        return {d, d - difference_at(v, m - 2)};
    }
    return {d, (difference_at(v, i + 1) - difference_at(v, i - 1)) * 0.5};
}

// s^1.5 as s * sqrt(s): within 2 ULP of the power function for every normal result. Zero,
// subnormal, huge, infinite and NaN cases take the power function itself.
double power_one_and_a_half(double s) noexcept {
    const double p = s * std::sqrt(s);
    if (p >= DBL_MIN && p < 0x1p1020) {
        return p;
    }
    return std::pow(s, 1.5);
}

}  // namespace

Path2D Path2D::from_points(std::vector<Point> points) {
    Path2D path;
    path.m_size = points.size();
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
    path.m_size = std::min(x.size(), y.size());
    path.m_points.reset();
    path.m_x = std::move(x);
    path.m_y = std::move(y);
    return path;
}

void Path2D::assemble_points() const {
    const PointView p = point_view();
    m_points = generated_list<Point>(m_size, [&p](std::size_t i) { return p[i]; });
}

void Path2D::assemble_coordinates() const {
    // Only a record built from points lacks them, so both come from its points.
    const CoordinateView x = x_view();
    const CoordinateView y = y_view();
    m_x = generated_list<double>(x.size(), [&x](std::size_t i) { return x[i]; });
    m_y = generated_list<double>(y.size(), [&y](std::size_t i) { return y[i]; });
}

const std::vector<double>& Path2D::path_length_per_point() const {
    if (!m_path_length_per_point) {
        const PointView p = point_view();
        double total = 0.0;
        m_path_length_per_point = generated_list<double>(m_size, [&](std::size_t i) {
            if (i > 0) {
                const double dx = p.x()[i] - p.x()[i - 1];
                const double dy = p.y()[i] - p.y()[i - 1];
                total += std::sqrt(dx * dx + dy * dy);
            }
            return total;
        });
    }
    return *m_path_length_per_point;
}

double Path2D::length() const {
    const std::vector<double>& lengths = path_length_per_point();
    return lengths.empty() ? 0.0 : lengths.back();
}

const std::vector<double>& Path2D::orientation() const {
    if (!m_orientation) {
        const std::size_t n = m_size;
        const PointView p = point_view();
        // The differences of a block of headings, then their angles in one call, which may
        // work on several at once.
        constexpr std::size_t block = 256;
        double dy[block];
        double dx[block];
        double angles[block];
        std::size_t block_start = 0;
        std::size_t block_end = 0;
        m_orientation = generated_list<double>(n, [&](std::size_t i) {
            if (i == block_end) {
                block_start = i;
                block_end = std::min(n, i + block);
                for (std::size_t j = block_start; j < block_end; ++j) {
                    // Forward at the start, backward at the end, central inside: the halving of
                    // the central difference cannot change the angle. One point has heading 0.
                    const std::size_t from = j == 0 ? 0 : (j + 1 == n ? n - 2 : j - 1);
                    const std::size_t to = j == 0 ? 1 : (j + 1 == n ? n - 1 : j + 1);
                    const bool single = n < 2;
                    dy[j - block_start] = single ? 0.0 : p.y()[to] - p.y()[from];
                    dx[j - block_start] = single ? 0.0 : p.x()[to] - p.x()[from];
                }
                atan2_many(dy, dx, angles, block_end - block_start);
            }
            return angles[i - block_start];
        });
    }
    return *m_orientation;
}

const std::vector<Point>& Path2D::unit_tangent_vector() const {
    if (!m_unit_tangent_vector) {
        const CoordinateView xs = x_view();
        const CoordinateView ys = y_view();
        const std::size_t m = std::min(xs.size(), ys.size());
        m_unit_tangent_vector = generated_list<Point>(m, [&](std::size_t i) {
            const double dx = difference_at(xs, i);
            const double dy = difference_at(ys, i);
            // A zero difference gives NaN on purpose: there is no direction to report.
            const double r = std::sqrt(dy * dy + dx * dx);
            return Point{dx / r, dy / r};
        });
    }
    return *m_unit_tangent_vector;
}

const std::vector<double>& Path2D::curvature() const {
    if (!m_curvature) {
        const CoordinateView xs = x_view();
        const CoordinateView ys = y_view();
        m_curvature = generated_list<double>(m_size, [&](std::size_t i) {
            const Differences x = differences_at(xs, i);
            const Differences y = differences_at(ys, i);
            return (x.d * y.dd - y.d * x.dd) / power_one_and_a_half(x.d * x.d + y.d * y.d);
        });
    }
    return *m_curvature;
}

}  // namespace korvane
