// src/network/road_network.cpp: checking a network's columns and building its graph and index
#include "network/road_network.hpp"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <numeric>
#include <optional>
#include <string>

#include "util/memory.hpp"

namespace korvane::network {

namespace {

template <class... A>
Error value_error(const char* format, A... args) {
    char text[256];
    std::snprintf(text, sizeof text, format, args...);
    return Error{ErrorKind::Value, text};
}

// The first mistake in the columns, if any.
std::optional<Error> mistake(const NetworkColumns& c) {
    const std::size_t edges = c.source.size();
    if (c.target.size() != edges) {
        return value_error("source and target have different lengths (%zu and %zu)", edges,
                           c.target.size());
    }
    if (c.offsets.size() != edges + 1) {
        return value_error("offsets must have one entry more than there are edges (%zu for %zu)",
                           c.offsets.size(), edges);
    }
    if (!c.two_way.empty() && c.two_way.size() != edges) {
        return value_error("two_way must have one entry per edge (%zu for %zu)", c.two_way.size(),
                           edges);
    }
    // Arcs are numbered in 32 bits, two per edge.
    if (edges >= (std::size_t{1} << 31)) {
        return value_error("a network holds fewer than 2**31 edges (got %zu)", edges);
    }
    if (c.offsets[0] != 0) {
        return value_error("offsets must start at 0 (offsets[0] is %" PRId64 ")", c.offsets[0]);
    }
    const auto n = static_cast<std::int64_t>(c.points.size());
    for (std::size_t i = 0; i < edges; ++i) {
        const std::int64_t begin = c.offsets[i];
        const std::int64_t end = c.offsets[i + 1];
        if (end < begin || end > n) {
            return value_error("offsets must not decrease nor exceed the %" PRId64
                               " points (offsets[%zu] is %" PRId64 " after %" PRId64 ")",
                               n, i + 1, end, begin);
        }
        if (end - begin < 2) {
            return value_error("edge %zu has fewer than 2 points (%" PRId64 ")", i, end - begin);
        }
    }
    if (c.offsets[edges] != n) {
        return value_error("offsets must end at the number of points, %" PRId64
                           " (offsets[%zu] is %" PRId64 ")",
                           n, edges, c.offsets[edges]);
    }
    for (std::size_t j = 0; j < c.points.size(); ++j) {
        if (!std::isfinite(c.points[j].x) || !std::isfinite(c.points[j].y)) {
            return value_error("points must be finite (point %zu is (%g, %g))", j, c.points[j].x,
                               c.points[j].y);
        }
    }
    return std::nullopt;
}

// Interleaves the low 16 bits of x and y: the Z order of a grid cell.
std::uint32_t z_order(std::uint32_t x, std::uint32_t y) noexcept {
    const auto spread = [](std::uint32_t v) {
        v &= 0xffff;
        v = (v | (v << 8)) & 0x00ff00ff;
        v = (v | (v << 4)) & 0x0f0f0f0f;
        v = (v | (v << 2)) & 0x33333333;
        return (v | (v << 1)) & 0x55555555;
    };
    return spread(x) | (spread(y) << 1);
}

// The route distance from `origin` to every node over an adjacency (the reversed graph's for
// distances to it), infinity where there is no route.
void distances_from(std::uint32_t origin, std::span<const std::uint32_t> first,
                    std::span<const Step> steps, std::vector<double>& distance,
                    std::vector<std::pair<double, std::uint32_t>>& heap) {
    const auto later = std::greater<std::pair<double, std::uint32_t>>();
    std::fill(distance.begin(), distance.end(), INFINITY);
    distance[origin] = 0.0;
    heap.assign(1, {0.0, origin});
    while (!heap.empty()) {
        std::pop_heap(heap.begin(), heap.end(), later);
        const auto [d, u] = heap.back();
        heap.pop_back();
        if (d > distance[u]) {
            continue;
        }
        for (std::size_t k = first[u]; k < first[u + 1]; ++k) {
            const double through = d + steps[k].length;
            if (through < distance[steps[k].head]) {
                distance[steps[k].head] = through;
                heap.emplace_back(through, steps[k].head);
                std::push_heap(heap.begin(), heap.end(), later);
            }
        }
    }
}

// Landmarks bound a route best from beyond its ends: the largest piece's extreme nodes in four
// directions (eight or sixteen rule out hardly a search more on the benchmark's networks).
constexpr std::size_t kLandmarks = RoadNetwork::landmarks;

}  // namespace

Result<RoadNetwork> RoadNetwork::build(const NetworkColumns& c) {
    if (auto error = mistake(c)) {
        return std::move(*error);
    }
    const std::size_t edges = c.source.size();
    const std::size_t n = c.points.size();
    RoadNetwork net;
    require_memory(n, sizeof(Point) + sizeof(double) + sizeof(std::uint32_t));
    const auto given = [&](std::size_t e) {
        return c.points.subspan(static_cast<std::size_t>(c.offsets[e]),
                                static_cast<std::size_t>(c.offsets[e + 1] - c.offsets[e]));
    };
    net.m_offsets.assign(c.offsets.begin(), c.offsets.end());
    net.m_two_way.assign(edges, 0);
    if (!c.two_way.empty()) {
        for (std::size_t e = 0; e < edges; ++e) {
            net.m_two_way[e] = c.two_way[e] != 0;
        }
    }
    net.m_lengths.resize(n);
    for (std::size_t e = 0; e < edges; ++e) {
        double s = 0.0;
        const auto begin = static_cast<std::size_t>(c.offsets[e]);
        const auto end = static_cast<std::size_t>(c.offsets[e + 1]);
        net.m_lengths[begin] = 0.0;
        for (std::size_t j = begin + 1; j < end; ++j) {
            s += std::hypot(c.points[j].x - c.points[j - 1].x, c.points[j].y - c.points[j - 1].y);
            net.m_lengths[j] = s;
        }
    }

    // Dense node numbers in the order of the ids.
    net.m_node_ids.reserve(2 * edges);
    net.m_node_ids.insert(net.m_node_ids.end(), c.source.begin(), c.source.end());
    net.m_node_ids.insert(net.m_node_ids.end(), c.target.begin(), c.target.end());
    std::sort(net.m_node_ids.begin(), net.m_node_ids.end());
    net.m_node_ids.erase(std::unique(net.m_node_ids.begin(), net.m_node_ids.end()),
                         net.m_node_ids.end());
    net.m_node_ids.shrink_to_fit();
    const auto dense = [&](std::int64_t id) {
        return static_cast<std::uint32_t>(
            std::lower_bound(net.m_node_ids.begin(), net.m_node_ids.end(), id) -
            net.m_node_ids.begin());
    };
    net.m_source.resize(edges);
    net.m_target.resize(edges);
    for (std::size_t e = 0; e < edges; ++e) {
        net.m_source[e] = dense(c.source[e]);
        net.m_target[e] = dense(c.target[e]);
    }

    // The compressed adjacency: the arcs leaving each node, in arc order.
    const std::size_t nodes = net.m_node_ids.size();
    net.m_first_step.assign(nodes + 1, 0);
    for (std::size_t e = 0; e < edges; ++e) {
        ++net.m_first_step[net.m_source[e] + 1];
        if (net.m_two_way[e]) {
            ++net.m_first_step[net.m_target[e] + 1];
        }
    }
    std::partial_sum(net.m_first_step.begin(), net.m_first_step.end(), net.m_first_step.begin());
    net.m_steps.resize(net.m_first_step[nodes]);
    std::vector<std::uint32_t> fill(net.m_first_step.begin(), net.m_first_step.end() - 1);
    for (std::size_t e = 0; e < edges; ++e) {
        const auto arc = static_cast<Arc>(2 * e);
        net.m_steps[fill[net.m_source[e]]++] = Step{arc, net.m_target[e], net.length(e)};
        if (net.m_two_way[e]) {
            net.m_steps[fill[net.m_target[e]]++] = Step{arc + 1, net.m_source[e], net.length(e)};
        }
    }

    // Connected pieces, ignoring direction (union by index, halving paths): a route never
    // leaves its piece, so a candidate in another is known unreachable without a search.
    net.m_piece.resize(nodes);
    std::iota(net.m_piece.begin(), net.m_piece.end(), std::uint32_t{0});
    const auto root = [&](std::uint32_t u) {
        while (net.m_piece[u] != u) {
            u = net.m_piece[u] = net.m_piece[net.m_piece[u]];
        }
        return u;
    };
    for (std::size_t e = 0; e < edges; ++e) {
        const std::uint32_t a = root(net.m_source[e]);
        const std::uint32_t b = root(net.m_target[e]);
        net.m_piece[std::max(a, b)] = std::min(a, b);
    }
    for (std::uint32_t u = 0; u < nodes; ++u) {
        net.m_piece[u] = net.m_piece[net.m_piece[u]];
    }

    net.choose_landmarks(given);

    // The index points: edges in the Z order of their boxes' centres on a 65536-cell grid over
    // the network, so that a leaf's segments lie close together.
    double x_low = INFINITY, y_low = INFINITY, x_high = -INFINITY, y_high = -INFINITY;
    for (const Point& p : c.points) {
        x_low = std::min(x_low, p.x);
        y_low = std::min(y_low, p.y);
        x_high = std::max(x_high, p.x);
        y_high = std::max(y_high, p.y);
    }
    const double scale = 65535.0 / std::max({x_high - x_low, y_high - y_low, 1e-300});
    std::vector<std::pair<std::uint32_t, std::uint32_t>> order(edges);
    for (std::size_t e = 0; e < edges; ++e) {
        double ex_low = INFINITY, ey_low = INFINITY, ex_high = -INFINITY, ey_high = -INFINITY;
        for (const Point& p : given(e)) {
            ex_low = std::min(ex_low, p.x);
            ey_low = std::min(ey_low, p.y);
            ex_high = std::max(ex_high, p.x);
            ey_high = std::max(ey_high, p.y);
        }
        const auto cell = [&](double v, double low) {
            return static_cast<std::uint32_t>(std::clamp((v - low) * scale, 0.0, 65535.0));
        };
        order[e] = {
            z_order(cell(0.5 * (ex_low + ex_high), x_low), cell(0.5 * (ey_low + ey_high), y_low)),
            static_cast<std::uint32_t>(e)};
    }
    std::sort(order.begin(), order.end());
    net.m_index_points.reserve(n + edges);
    net.m_segment_edge.reserve(n + edges);
    net.m_index_first.resize(edges);
    const Point gap{std::numeric_limits<double>::quiet_NaN(),
                    std::numeric_limits<double>::quiet_NaN()};
    for (const auto& [key, e] : order) {
        net.m_index_first[e] = net.m_index_points.size();
        for (const Point& p : given(e)) {
            net.m_index_points.push_back(p);
            net.m_segment_edge.push_back(e);
        }
        // The segment from the edge's last point to the gap belongs to no edge.
        net.m_segment_edge.back() = no_edge;
        net.m_index_points.push_back(gap);
        net.m_segment_edge.push_back(no_edge);
    }
    net.m_index = SegmentIndex::build(net.index_points());
    return net;
}

template <class Given>
void RoadNetwork::choose_landmarks(const Given& given) {
    const std::size_t count = nodes();
    if (count == 0) {
        return;
    }
    std::vector<std::uint32_t> size(count, 0);
    for (std::uint32_t u = 0; u < count; ++u) {
        ++size[m_piece[u]];
    }
    const auto largest =
        static_cast<std::uint32_t>(std::max_element(size.begin(), size.end()) - size.begin());
    std::vector<Point> at(count);
    for (std::size_t e = 0; e < edges(); ++e) {
        at[m_source[e]] = given(e).front();
        at[m_target[e]] = given(e).back();
    }
    static constexpr double kDirections[kLandmarks][2] = {{1, 0}, {0, 1}, {-1, 0}, {0, -1}};
    // A node extreme in two directions is a landmark twice: a fixed number of them lets the
    // bound's loop run without a branch.
    std::uint32_t chosen[kLandmarks];
    for (std::size_t l = 0; l < kLandmarks; ++l) {
        const auto [dx, dy] = kDirections[l];
        chosen[l] = largest;
        for (std::uint32_t u = 0; u < count; ++u) {
            if (m_piece[u] == largest &&
                dx * at[u].x + dy * at[u].y > dx * at[chosen[l]].x + dy * at[chosen[l]].y) {
                chosen[l] = u;
            }
        }
    }
    // The reversed adjacency, for the distances to each landmark.
    std::vector<std::uint32_t> first_in(count + 1, 0);
    for (const Step& step : m_steps) {
        ++first_in[step.head + 1];
    }
    std::partial_sum(first_in.begin(), first_in.end(), first_in.begin());
    std::vector<Step> in(m_steps.size());
    std::vector<std::uint32_t> fill(first_in.begin(), first_in.end() - 1);
    for (std::uint32_t u = 0; u < count; ++u) {
        for (const Step& step : steps(u)) {
            in[fill[step.head]++] = Step{step.arc, u, step.length};
        }
    }
    // No route stands as the largest float, which no distance reaches where the whole network
    // is shorter than 1e30 m; on a vaster one the landmarks bound nothing (every bound 0).
    double total = 0.0;
    for (std::size_t e = 0; e < edges(); ++e) {
        total += length(e);
    }
    m_from_landmark.assign(count * kLandmarks, 0.0f);
    m_to_landmark.assign(count * kLandmarks, 0.0f);
    if (!(total < 1e30)) {
        return;
    }
    const auto stored = [](double d) {
        return d == INFINITY ? std::numeric_limits<float>::max() : static_cast<float>(d);
    };
    std::vector<double> distance(count);
    std::vector<std::pair<double, std::uint32_t>> heap;
    for (std::size_t l = 0; l < kLandmarks; ++l) {
        distances_from(chosen[l], m_first_step, m_steps, distance, heap);
        for (std::size_t u = 0; u < count; ++u) {
            m_from_landmark[u * kLandmarks + l] = stored(distance[u]);
        }
        distances_from(chosen[l], first_in, in, distance, heap);
        for (std::size_t u = 0; u < count; ++u) {
            m_to_landmark[u * kLandmarks + l] = stored(distance[u]);
        }
    }
}

// A float is within a relative 2**-24 of the distance it rounds, so a difference of two loses
// at most 2**-23 of their sum to them: the one subtracted is raised by that share, the other
// lowered. Both products are exact in double (24 bits times 24 bits).
constexpr double kLowered = 1.0 - 0x1p-23;
constexpr double kRaised = 1.0 + 0x1p-23;

RoadNetwork::LandmarkRow RoadNetwork::landmark_row(std::uint32_t u, double from_scale,
                                                   double to_scale) const noexcept {
    LandmarkRow row;
    for (std::size_t l = 0; l < landmarks; ++l) {
        row.from[l] = from_scale * m_from_landmark[u * landmarks + l];
        row.to[l] = to_scale * m_to_landmark[u * landmarks + l];
    }
    return row;
}

RoadNetwork::LandmarkRow RoadNetwork::route_start(std::uint32_t u) const noexcept {
    return landmark_row(u, kRaised, kLowered);
}

RoadNetwork::LandmarkRow RoadNetwork::route_end(std::uint32_t v) const noexcept {
    return landmark_row(v, kLowered, kRaised);
}

std::vector<Point> RoadNetwork::points() const {
    std::vector<Point> points;
    points.reserve(static_cast<std::size_t>(m_offsets.back()));
    for (std::size_t e = 0; e < edges(); ++e) {
        const std::span<const Point> g = geometry(e);
        points.insert(points.end(), g.begin(), g.end());
    }
    return points;
}

std::size_t RoadNetwork::bytes() const noexcept {
    return m_offsets.size() * sizeof(std::int64_t) + m_lengths.size() * sizeof(double) +
           2 * m_source.size() * sizeof(std::uint32_t) + m_two_way.size() +
           m_node_ids.size() * sizeof(std::int64_t) + m_first_step.size() * sizeof(std::uint32_t) +
           m_steps.size() * sizeof(Step) + m_piece.size() * sizeof(std::uint32_t) +
           m_index_points.size() * sizeof(Point) + m_segment_edge.size() * sizeof(std::uint32_t) +
           m_index_first.size() * sizeof(std::size_t) + m_index.bytes() +
           (m_from_landmark.size() + m_to_landmark.size()) * sizeof(float);
}

}  // namespace korvane::network
