// src/path2d/path2d.hpp: the path record: its storage, views, caches and associated value lists
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "path2d/points.hpp"
#include "path2d/segment_index.hpp"
#include "util/result.hpp"

namespace korvane {

/// A planar path: points, their coordinate lists, lazily filled per-point quantities and
/// caller-attached value lists. The geometry never changes after construction. The operations
/// are free functions on `const Path2D&`, declared in their family's header.
class Path2D {
public:
    /// Takes the points over; x and y are derived from them.
    static Path2D from_points(std::vector<Point> points);
    /// Pairs x and y up to the shorter list; both lists are kept whole.
    static Path2D from_coordinates(std::vector<double> x, std::vector<double> y);
    /// A path derived from another: its points, its whole x and y lists where they hold more
    /// than the points (both empty otherwise), and its associated value lists.
    static Path2D from_parts(std::vector<Point> points, std::vector<double> x,
                             std::vector<double> y,
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

    /// The segment index shared by the point queries, built when they have scanned enough.
    LazySegmentIndex& segment_index() const noexcept { return m_segment_index; }

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
