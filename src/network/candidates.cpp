// src/network/candidates.cpp: the edges near a fix, through the network's segment index
#include "network/candidates.hpp"

#include <algorithm>
#include <cmath>
#include <span>

#include "path2d/segment_kernels.hpp"

namespace korvane::network {

namespace {

// The arc length of the point at t along segment j of edge e.
double arc_length(const RoadNetwork& net, std::uint32_t e, std::size_t j, double t) noexcept {
    const std::span<const double> s = net.lengths(e);
    return s[j] + t * (s[j + 1] - s[j]);
}

// The candidate of a foot at t along segment j of edge e (j counted within the edge).
Candidate candidate_of(const RoadNetwork& net, std::uint32_t e, std::size_t j, double t,
                       Point point, double distance, Point fix) {
    const std::span<const Point> g = net.geometry(e);
    const Point a = g[j];
    const Point b = g[j + 1];
    // Left of the segment's direction is positive; a fix on the edge has d = 0.
    const double cross = (b.x - a.x) * (fix.y - a.y) - (b.y - a.y) * (fix.x - a.x);
    const double d = cross < 0.0 ? -distance : distance;
    return Candidate{e, arc_length(net, e, j, t), d, distance, point};
}

Candidate candidate_of(const RoadNetwork& net, std::uint32_t e, std::size_t j,
                       const ClampedFoot& foot, Point fix) {
    return candidate_of(net, e, j, foot.t, foot.point, std::sqrt(foot.squared_distance), fix);
}

// Adds the foot on segment j of edge e to `found`, which keeps the nearest foot of each edge.
// Feet of one edge come one after the other (both callers scan segments in order, and an
// edge's segments are consecutive), so an edge's foot is only compared with the last kept, and
// the arc length and side are worked out only for a foot that is kept.
void add_foot(const RoadNetwork& net, std::uint32_t e, std::size_t j, const ClampedFoot& foot,
              Point fix, std::vector<Candidate>& found) {
    if (found.empty() || found.back().edge != e) {
        found.push_back(candidate_of(net, e, j, foot, fix));
        return;
    }
    const double distance = std::sqrt(foot.squared_distance);
    if (distance < found.back().distance) {
        found.back() = candidate_of(net, e, j, foot, fix);
    } else if (distance == found.back().distance) {
        const Candidate c = candidate_of(net, e, j, foot, fix);
        if (c.s < found.back().s) {
            found.back() = c;
        }
    }
}

// The k nearest edges of `found` (each edge once, as add_foot keeps them), nearest first.
template <class Found>
void keep_nearest(std::vector<Found>& found, std::size_t k) {
    const auto nearer = [](const Found& a, const Found& b) {
        return a.distance != b.distance ? a.distance < b.distance : a.edge < b.edge;
    };
    // The order is total (each edge once), so selecting the k nearest and then sorting them
    // gives what a partial sort does, in fewer moves of the candidates.
    if (found.size() > k) {
        std::nth_element(found.begin(), found.begin() + static_cast<std::ptrdiff_t>(k - 1),
                         found.end(), nearer);
        found.resize(k);
    }
    std::sort(found.begin(), found.end(), nearer);
}

// As add_foot, keeping the foot alone: the arc length is worked out only where two feet of one
// edge are as near, which the scan settles by the lower arc length.
void add_near_foot(const RoadNetwork& net, std::uint32_t e, std::size_t j, const ClampedFoot& foot,
                   std::vector<NearFoot>& found) {
    const double distance = std::sqrt(foot.squared_distance);
    const NearFoot f{e, static_cast<std::uint32_t>(j), foot.t, distance, foot.point};
    if (found.empty() || found.back().edge != e) {
        found.push_back(f);
        return;
    }
    NearFoot& last = found.back();
    if (distance < last.distance ||
        (distance == last.distance &&
         arc_length(net, e, j, foot.t) < arc_length(net, e, last.segment, last.t))) {
        last = f;
    }
}

}  // namespace

void candidates(const RoadNetwork& net, Point fix, double radius, std::size_t k,
                std::vector<Candidate>& out, std::vector<NearFoot>& scratch) {
    out.clear();
    scratch.clear();
    if (!std::isfinite(fix.x) || !std::isfinite(fix.y) || !(radius >= 0.0) || k == 0) {
        return;
    }
    const double limit = radius * radius;
    const SegmentIndex::Box at{fix.x, fix.y, fix.x, fix.y};
    std::size_t stack_leaves[256];
    std::vector<std::size_t> heap_leaves;
    std::span<std::size_t> leaves(stack_leaves);
    std::size_t count = net.index().leaves_near(at, limit, leaves);
    while (count > leaves.size()) {
        heap_leaves.resize(2 * leaves.size());
        leaves = std::span<std::size_t>(heap_leaves);
        count = net.index().leaves_near(at, limit, leaves);
    }
    const PointView p = net.index_points();
    const std::size_t segments = p.size() - 1;
    // A foot lies in its segment's box but for a rounding of the coordinates' size: a segment
    // whose box is farther than this in x or in y has none within the radius, and is passed
    // over without its division.
    const double reach = radius * (1.0 + 1e-9) + 1e-9 * (std::fabs(fix.x) + std::fabs(fix.y));
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t begin = leaves[i] * SegmentIndex::leaf_segments;
        const std::size_t end = std::min(begin + SegmentIndex::leaf_segments, segments);
        for (std::size_t seg = begin; seg < end; ++seg) {
            const std::uint32_t e = net.segment_edge(seg);
            if (e == RoadNetwork::no_edge) {
                continue;
            }
            const Point a = p[seg];
            const Point b = p[seg + 1];
            if (std::min(a.x, b.x) - fix.x > reach || fix.x - std::max(a.x, b.x) > reach ||
                std::min(a.y, b.y) - fix.y > reach || fix.y - std::max(a.y, b.y) > reach) {
                continue;
            }
            // No foot is nearer than the segment's line, whose distance needs no division:
            // |cross| / |b - a|, with a margin for the rounding of the foot, which grows with
            // how far the fix lies from a.
            const double dx = b.x - a.x;
            const double dy = b.y - a.y;
            const double ax = fix.x - a.x;
            const double ay = fix.y - a.y;
            const double cross = dx * ay - dy * ax;
            const double slack = reach + 1e-9 * (std::fabs(ax) + std::fabs(ay));
            if (cross * cross > slack * slack * (dx * dx + dy * dy)) {
                continue;
            }
            const ClampedFoot foot = clamped_foot(p, seg, fix);
            if (foot.squared_distance <= limit) {
                add_near_foot(net, e, seg - net.first_index_point(e), foot, scratch);
            }
        }
    }
    keep_nearest(scratch, k);
    for (const NearFoot& f : scratch) {
        out.push_back(candidate_of(net, f.edge, f.segment, f.t, f.point, f.distance, fix));
    }
}

std::vector<Candidate> candidates_scan(const RoadNetwork& net, Point fix, double radius,
                                       std::size_t k) {
    std::vector<Candidate> found;
    if (!std::isfinite(fix.x) || !std::isfinite(fix.y) || !(radius >= 0.0) || k == 0) {
        return found;
    }
    const double limit = radius * radius;
    for (std::uint32_t e = 0; e < net.edges(); ++e) {
        const std::span<const Point> g = net.geometry(e);
        const PointView view(CoordinateView(&g[0].x, 2, g.size()),
                             CoordinateView(&g[0].y, 2, g.size()));
        for (std::size_t j = 0; j + 1 < g.size(); ++j) {
            const ClampedFoot foot = clamped_foot(view, j, fix);
            if (foot.squared_distance <= limit) {
                add_foot(net, e, j, foot, fix, found);
            }
        }
    }
    keep_nearest(found, k);
    return found;
}

}  // namespace korvane::network
