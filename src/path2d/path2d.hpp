// src/path2d/path2d.hpp: the path record, its constructions, caches and operations
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "path2d/options.hpp"
#include "path2d/points.hpp"
#include "path2d/segment_index.hpp"
#include "util/lapack.hpp"
#include "util/result.hpp"

namespace simple_qp {
class Solver;
}

namespace korvane {

/// A run of points [start, end) lying close to one circle, with the circle's curvature.
struct CircleSegment {
    std::size_t start;
    std::size_t end;
    double curvature;
    bool operator==(const CircleSegment&) const = default;
};

/// A planar path: points, their coordinate lists, lazily filled per-point quantities and
/// caller-attached value lists. The geometry never changes after construction.
class Path2D {
public:
    /// Takes the points over; x and y are derived from them.
    static Path2D from_points(std::vector<Point> points);
    /// Pairs x and y up to the shorter list; both lists are kept whole.
    static Path2D from_coordinates(std::vector<double> x, std::vector<double> y);
    /// Points and associated value lists of a derived path; every list holds one value per point.
    static Path2D from_points(std::vector<Point> points,
                              std::vector<std::vector<double>> associated_values);

    /// The points as one list. A record built from coordinates holds only its x and y lists;
    /// it assembles this list on first use and keeps it.
    const std::vector<Point>& points() const {
        if (!m_points) {
            assemble_points();
        }
        return *m_points;
    }
    /// The whole x (or y) list. A record built from points holds only the points; it assembles
    /// these lists on first use and keeps them.
    const std::vector<double>& x() const {
        if (!m_x) {
            assemble_coordinates();
        }
        return *m_x;
    }
    const std::vector<double>& y() const {
        if (!m_y) {
            assemble_coordinates();
        }
        return *m_y;
    }
    std::size_t size() const noexcept { return m_size; }

    /// The points, x and y read in place, whichever lists the record holds; nothing is built.
    PointView point_view() const noexcept { return PointView(x_view(m_size), y_view(m_size)); }
    CoordinateView x_view() const noexcept { return x_view(m_x ? m_x->size() : m_size); }
    CoordinateView y_view() const noexcept { return y_view(m_y ? m_y->size() : m_size); }

    /// Cumulative arc length per point; computed on first use, then kept.
    const std::vector<double>& path_length_per_point() const;
    /// Last cumulative arc length, 0 for an empty path.
    double length() const;
    /// Heading in radians per point; computed on first use, then kept.
    const std::vector<double>& orientation() const;
    /// Unit tangent per point from differences of x and y; computed on first use, then kept.
    const std::vector<Point>& unit_tangent_vector() const;
    /// Signed curvature per point, positive turning left; computed on first use, then kept.
    const std::vector<double>& curvature() const;

    /// The cache cells as they stand, without filling them.
    const std::optional<std::vector<double>>& path_length_per_point_cache() const noexcept {
        return m_path_length_per_point;
    }
    const std::optional<std::vector<double>>& orientation_cache() const noexcept {
        return m_orientation;
    }
    const std::optional<std::vector<Point>>& unit_tangent_vector_cache() const noexcept {
        return m_unit_tangent_vector;
    }
    const std::optional<std::vector<double>>& curvature_cache() const noexcept {
        return m_curvature;
    }

    /// All associated value lists; the position of a list is its handle.
    const std::vector<std::vector<double>>& associated_values() const noexcept {
        return m_associated_values;
    }
    /// Appends a list of one value per point and returns its handle.
    Result<std::size_t> add_associated_values(std::vector<double> values);
    /// The list of a handle, or nullptr when no list has it.
    const std::vector<double>* associated_values(std::size_t handle) const noexcept;

    /// Nearest projection of a point onto the path's segments or end points.
    std::optional<Projection> nearest_projection(Point point, double epsilon) const;
    /// Segment index of the nearest projection.
    std::optional<std::size_t> index_from_point(Point point, double epsilon) const;
    /// Arc length at the projection of a point.
    std::optional<double> path_length_from_point(Point point, double epsilon) const;
    /// The piece between two points (or the path's ends), associated values cut alike.
    std::optional<Path2D> sub_path(std::optional<Point> start, std::optional<Point> end,
                                   double epsilon) const;

    /// Equidistant resampling over arc length, associated values resampled alongside.
    Result<Path2D> resampled_path(const ResamplingMethod& method, InterpolationMethod interpolation,
                                  double epsilon) const;

    /// Recursive circle decomposition of the points [start, end).
    Result<std::vector<CircleSegment>> find_circle_segments(std::size_t start, std::size_t end,
                                                            double max_rmse, DgesvdFn dgesvd) const;
    /// One curvature per point from the circle decomposition of the whole path.
    Result<std::vector<double>> compute_circle_fit_curvature(double max_rmse,
                                                             DgesvdFn dgesvd) const;

    /// Interior indices where the path turns by at least `sus_angle`.
    std::vector<std::size_t> detect_corrupted_point_order(double sus_angle) const;
    /// The path with reversing points removed until no turn reaches `sus_angle`.
    Path2D repair_corrupted_point_order(double sus_angle) const;

    /// The number of points Chaikin's `num_iterations` cuts make of this path (n * 2^k, the
    /// path's own count below 2 points), or a ValueError when that is more than can be stored.
    Result<std::size_t> chaikin_point_count(std::size_t num_iterations) const;
    /// Chaikin corner cutting, `num_iterations` times; throws std::bad_alloc when the
    /// n * 2^k points cannot be stored (`chaikin_point_count` tells beforehand).
    Path2D smoothed_path_chaikin(std::size_t num_iterations) const;
    /// Elastic band smoothing as a quadratic program; nothing when the solve fails.
    std::optional<Path2D> smoothed_path_elastic_band(double max_deviation, ElasticBandMethod method,
                                                     const simple_qp::Solver& solver) const;

private:
    Path2D() = default;

    void assemble_points() const;
    void assemble_coordinates() const;

    // An empty list may have no storage at all; its views point at a stand-in.
    static const double* coordinates_of(const std::vector<Point>& points) noexcept {
        static constexpr double none[2] = {0.0, 0.0};
        return points.empty() ? none : &points.front().x;
    }
    CoordinateView x_view(std::size_t size) const noexcept {
        return m_x ? CoordinateView(m_x->data(), 1, size)
                   : CoordinateView(coordinates_of(*m_points), 2, size);
    }
    CoordinateView y_view(std::size_t size) const noexcept {
        return m_y ? CoordinateView(m_y->data(), 1, size)
                   : CoordinateView(coordinates_of(*m_points) + 1, 2, size);
    }

    // The geometry is held once: as points (built from points) or as the x and y lists (built
    // from coordinates, kept whole when their lengths differ). The other form is assembled only
    // when a caller needs it as a list, and then kept; the views read whichever is there.
    std::size_t m_size = 0;
    mutable std::optional<std::vector<Point>> m_points = std::vector<Point>();
    mutable std::optional<std::vector<double>> m_x;
    mutable std::optional<std::vector<double>> m_y;
    mutable std::optional<std::vector<double>> m_path_length_per_point;
    mutable std::optional<std::vector<double>> m_orientation;
    mutable std::optional<std::vector<Point>> m_unit_tangent_vector;
    mutable std::optional<std::vector<double>> m_curvature;
    mutable LazySegmentIndex m_segment_index;
    std::vector<std::vector<double>> m_associated_values;
};

}  // namespace korvane
