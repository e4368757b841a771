// src/network/road_network.hpp: a road network of edges with geometry, its directed graph on
// dense node numbers and a segment index over every edge
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "path2d/points.hpp"
#include "path2d/segment_index.hpp"
#include "util/result.hpp"

namespace korvane::network {

/// The columns a network is built from: edge i's geometry is points[offsets[i]:offsets[i+1]],
/// drivable from node source[i] to target[i], and back along the reversed geometry where
/// two_way[i] (an empty two_way: every edge one-way).
struct NetworkColumns {
    std::span<const Point> points;
    std::span<const std::int64_t> offsets;
    std::span<const std::int64_t> source;
    std::span<const std::int64_t> target;
    std::span<const std::uint8_t> two_way;
};

/// One way of driving an edge: arc 2e drives edge e from source to target, arc 2e + 1 back.
using Arc = std::uint32_t;
inline constexpr std::uint32_t edge_of(Arc arc) noexcept {
    return arc >> 1;
}
inline constexpr bool is_reversed(Arc arc) noexcept {
    return (arc & 1u) != 0;
}

/// An arc leaving a node: which arc, the node it reaches and its length.
struct Step {
    Arc arc;
    std::uint32_t head;
    double length;
};

class RoadNetwork {
public:
    /// The network of the columns, or a ValueError naming the first mistake: mismatched lengths,
    /// offsets that do not run from 0 to the number of points without decreasing, an edge of
    /// fewer than 2 points, a non-finite coordinate. Throws std::bad_alloc beyond memory.
    static Result<RoadNetwork> build(const NetworkColumns& columns);

    std::size_t edges() const noexcept { return m_source.size(); }
    std::size_t nodes() const noexcept { return m_node_ids.size(); }
    /// The geometry of edge e, in the order given (held once, in the index points).
    std::span<const Point> geometry(std::size_t e) const noexcept {
        return std::span<const Point>(m_index_points)
            .subspan(m_index_first[e], static_cast<std::size_t>(m_offsets[e + 1] - m_offsets[e]));
    }
    /// Arc length at each point of edge e, from 0 at its first point.
    std::span<const double> lengths(std::size_t e) const noexcept {
        return std::span<const double>(m_lengths).subspan(m_offsets[e],
                                                          m_offsets[e + 1] - m_offsets[e]);
    }
    double length(std::size_t e) const noexcept { return m_lengths[m_offsets[e + 1] - 1]; }
    bool two_way(std::size_t e) const noexcept { return m_two_way[e] != 0; }
    /// The dense node an arc leaves from, and the one it reaches.
    std::uint32_t tail(Arc arc) const noexcept {
        return is_reversed(arc) ? m_target[edge_of(arc)] : m_source[edge_of(arc)];
    }
    std::uint32_t head(Arc arc) const noexcept {
        return is_reversed(arc) ? m_source[edge_of(arc)] : m_target[edge_of(arc)];
    }
    /// The connected piece of dense node u, directions ignored (its lowest node): no route
    /// joins nodes of different pieces.
    std::uint32_t piece(std::uint32_t u) const noexcept { return m_piece[u]; }
    /// Landmarks per node, at the rim of the largest piece.
    static constexpr std::size_t landmarks = 4;
    /// A node's distances from and to each landmark, scaled for where a route starts or ends:
    /// each rounded float widened by its relative 2**-24 the way that keeps a bound below.
    struct LandmarkRow {
        double from[landmarks];
        double to[landmarks];
    };
    LandmarkRow route_start(std::uint32_t u) const noexcept;
    LandmarkRow route_end(std::uint32_t v) const noexcept;
    /// A lower bound on the route distance from the start's node to the end's, never above the
    /// distance a search sums, and vast (about 3e38) where a landmark shows that no route joins
    /// them: by the triangle inequality, landmark to the end is no shorter than landmark to the
    /// start and on, the start to a landmark no shorter than the route and on from the end.
    /// Halved lane by lane, so that it runs in vector registers.
    static double route_lower_bound(const LandmarkRow& start, const LandmarkRow& end) noexcept {
        double bound[landmarks];
        for (std::size_t l = 0; l < landmarks; ++l) {
            const double ahead = end.from[l] - start.from[l];
            const double behind = start.to[l] - end.to[l];
            bound[l] = ahead > behind ? ahead : behind;
        }
        for (std::size_t half = landmarks / 2; half > 0; half /= 2) {
            for (std::size_t l = 0; l < half; ++l) {
                bound[l] = bound[l] > bound[l + half] ? bound[l] : bound[l + half];
            }
        }
        return bound[0];
    }
    double route_lower_bound(std::uint32_t u, std::uint32_t v) const noexcept {
        return route_lower_bound(route_start(u), route_end(v));
    }
    /// The arcs leaving dense node u.
    std::span<const Step> steps(std::uint32_t u) const noexcept {
        return std::span<const Step>(m_steps).subspan(m_first_step[u],
                                                      m_first_step[u + 1] - m_first_step[u]);
    }

    // The segment index: every edge's points one after the other in a spatial order of the
    // edges, each edge followed by a NaN point, so that no segment joins two edges and no leaf's
    // box stretches from one edge to the next.
    const SegmentIndex& index() const noexcept { return m_index; }
    PointView index_points() const noexcept { return PointView(m_index_points); }
    /// The edge segment k of the index points belongs to (and the edge's first segment there),
    /// or none past an edge's end.
    static constexpr std::uint32_t no_edge = 0xffffffff;
    std::uint32_t segment_edge(std::size_t k) const noexcept { return m_segment_edge[k]; }
    std::size_t first_index_point(std::size_t e) const noexcept { return m_index_first[e]; }

    /// The columns again, as given (node ids as given too); the points are gathered edge by edge.
    std::vector<Point> points() const;
    std::span<const std::int64_t> offsets() const noexcept { return m_offsets; }
    std::int64_t source_id(std::size_t e) const noexcept { return m_node_ids[m_source[e]]; }
    std::int64_t target_id(std::size_t e) const noexcept { return m_node_ids[m_target[e]]; }
    /// Bytes held, for the memory bound.
    std::size_t bytes() const noexcept;

private:
    // Node u's landmark distances, from and to each scaled as given.
    LandmarkRow landmark_row(std::uint32_t u, double from_scale, double to_scale) const noexcept;
    template <class Given>
    void choose_landmarks(const Given& given);

    std::vector<std::int64_t> m_offsets;
    std::vector<double> m_lengths;
    std::vector<std::uint32_t> m_source;  // dense node numbers
    std::vector<std::uint32_t> m_target;
    std::vector<std::uint8_t> m_two_way;
    std::vector<std::int64_t> m_node_ids;  // dense number to the id given
    std::vector<std::uint32_t> m_first_step;
    std::vector<Step> m_steps;
    std::vector<std::uint32_t> m_piece;
    // Route distances from each landmark to each node and from each node to it, node by node,
    // `landmarks` to a node (none without nodes).
    std::vector<float> m_from_landmark;
    std::vector<float> m_to_landmark;
    std::vector<Point> m_index_points;
    std::vector<std::uint32_t> m_segment_edge;
    std::vector<std::size_t> m_index_first;
    SegmentIndex m_index;
};

}  // namespace korvane::network
