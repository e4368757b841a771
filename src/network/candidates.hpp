// src/network/candidates.hpp: the edges near a fix, each with the fix's exact projection on it
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "network/road_network.hpp"

namespace korvane::network {

/// A fix's nearest point on one edge.
struct Candidate {
    std::uint32_t edge;
    double s;         ///< arc length along the edge's geometry from its first point
    double d;         ///< signed offset, left of the edge's own direction positive
    double distance;  ///< |d|, from the fix to `point`
    Point point;
};

/// An edge's nearest foot while the candidates are sought: its arc length and side are worked
/// out only once the edge is among the nearest.
struct NearFoot {
    std::uint32_t edge;
    std::uint32_t segment;  ///< within the edge
    double t;
    double distance;
    Point point;
};

/// The at most `k` edges nearest to `fix` whose nearest point lies within `radius`, nearest
/// first (equal distances: lower edge first), into `out`. `scratch` is the caller's, reused.
void candidates(const RoadNetwork& net, Point fix, double radius, std::size_t k,
                std::vector<Candidate>& out, std::vector<NearFoot>& scratch);

/// The same by testing every segment of every edge: the reference for the above.
std::vector<Candidate> candidates_scan(const RoadNetwork& net, Point fix, double radius,
                                       std::size_t k);

}  // namespace korvane::network
