// src/path2d/frenet.cpp: route coordinates of points, and points at route coordinates
#include "path2d/frenet.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

namespace korvane {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

double cross(Point a, Point b, Point query) noexcept {
    return (b.x - a.x) * (query.y - a.y) - (b.y - a.y) * (query.x - a.x);
}

// The unit left normal of a segment of non-zero length; hypot keeps it finite at any scale.
Point left_normal(Point a, Point b) noexcept {
    const double dx = b.x - a.x;
    const double dy = b.y - a.y;
    const double length = std::hypot(dx, dy);
    return Point{-dy / length, dx / length};
}

}  // namespace

double frenet_side(const PointView& p, const ClampedFoot& foot, Point query) {
    const std::size_t i = foot.index;
    if (foot.t > 0.0 && foot.t < 1.0) {
        return cross(p[i], p[i + 1], query);
    }
    const std::size_t v = foot.t == 0.0 ? i : i + 1;
    const Point vertex = p[v];
    std::size_t in = v;  // the segment into v is in - 1, if in > 0
    while (in > 0 && p[in - 1] == vertex) {
        --in;
    }
    std::size_t out = v;  // the segment out of v is out, if out + 1 < size
    while (out + 1 < p.size() && p[out + 1] == vertex) {
        ++out;
    }
    const bool has_in = in > 0;
    const bool has_out = out + 1 < p.size();
    if (has_in && has_out) {
        const Point n_in = left_normal(p[in - 1], vertex);
        const Point n_out = left_normal(vertex, p[out + 1]);
        const double side =
            (query.x - vertex.x) * (n_in.x + n_out.x) + (query.y - vertex.y) * (n_in.y + n_out.y);
        if (side != 0.0) {
            return side;
        }
    }
    if (has_in) {
        return cross(p[in - 1], vertex, query);
    }
    return has_out ? cross(vertex, p[out + 1], query) : 0.0;
}

namespace {

// Interleaves the bits of two 16-bit numbers: cells close in the plane get close keys.
std::uint32_t morton(std::uint32_t x, std::uint32_t y) noexcept {
    const auto spread = [](std::uint32_t v) {
        v = (v | (v << 8)) & 0x00ff00ffu;
        v = (v | (v << 4)) & 0x0f0f0f0fu;
        v = (v | (v << 2)) & 0x33333333u;
        return (v | (v << 1)) & 0x55555555u;
    };
    return spread(x) | (spread(y) << 1);
}

// The query positions in an order that visits the plane cell by cell along a Z curve, so that
// consecutive queries walk the same boxes of the index (then in cache) and each starts from
// its predecessor's segment.
std::vector<std::uint64_t> spatial_order(std::span<const Point> queries) {
    double x_low = INFINITY, y_low = INFINITY, x_high = -INFINITY, y_high = -INFINITY;
    for (const Point q : queries) {
        if (std::isfinite(q.x) && std::isfinite(q.y)) {
            x_low = std::min(x_low, q.x);
            x_high = std::max(x_high, q.x);
            y_low = std::min(y_low, q.y);
            y_high = std::max(y_high, q.y);
        }
    }
    const double x_scale = x_high > x_low ? 65535.0 / (x_high - x_low) : 0.0;
    const double y_scale = y_high > y_low ? 65535.0 / (y_high - y_low) : 0.0;
    const std::size_t m = queries.size();
    std::vector<std::uint64_t> keys(m);
    std::vector<std::uint64_t> sorted(m);
    for (std::size_t k = 0; k < m; ++k) {
        const Point q = queries[k];
        std::uint64_t cell = 0;
        if (std::isfinite(q.x) && std::isfinite(q.y)) {
            // Products of a finite span and its own reciprocal stay within [0, 65535] but for
            // rounding; the clamp keeps the cast defined.
            const double cx = std::min(65535.0, std::max(0.0, (q.x - x_low) * x_scale));
            const double cy = std::min(65535.0, std::max(0.0, (q.y - y_low) * y_scale));
            cell = morton(static_cast<std::uint32_t>(cx), static_cast<std::uint32_t>(cy));
        }
        keys[k] = cell << 32 | k;
    }
    // Three stable passes of 11 bits over the cell (the row numbers below are in order
    // already): 2048 counters and write positions stay in the first-level cache.
    std::vector<std::size_t> count(2048);
    for (const int shift : {32, 43, 54}) {
        std::fill(count.begin(), count.end(), 0);
        for (const std::uint64_t key : keys) {
            ++count[(key >> shift) & 0x7ff];
        }
        std::size_t total = 0;
        for (std::size_t& c : count) {
            total += std::exchange(c, total);
        }
        for (const std::uint64_t key : keys) {
            sorted[count[(key >> shift) & 0x7ff]++] = key;
        }
        keys.swap(sorted);
    }
    return keys;
}

// Rows this many and more are answered in spatial order.
constexpr std::size_t min_ordered_rows = 64;

}  // namespace

void to_frenet(const PointView& path, std::span<const double> path_length,
               const SegmentIndex* index, std::span<const Point> queries, double max_distance,
               FrenetColumns out) {
    const bool ordered = index && queries.size() >= min_ordered_rows &&
                         queries.size() <= std::numeric_limits<std::uint32_t>::max();
    const std::vector<std::uint64_t> order =
        ordered ? spatial_order(queries) : std::vector<std::uint64_t>();
    // In spatial order, a group of consecutive queries shares the index's walk, starting from
    // the segment the group before found.
    constexpr std::size_t group = SegmentIndex::max_batch;
    std::size_t rows[group];
    Point points[group];
    std::optional<ClampedFoot> feet[group];
    std::optional<std::size_t> hint;
    for (std::size_t first = 0; first < queries.size(); first += group) {
        const std::size_t count = std::min(group, queries.size() - first);
        for (std::size_t j = 0; j < count; ++j) {
            rows[j] =
                ordered ? static_cast<std::size_t>(order[first + j] & 0xffffffffu) : first + j;
            points[j] = queries[rows[j]];
        }
        if (ordered) {
            index->nearest_clamped_batch(path, {points, count}, hint, feet);
        } else {
            for (std::size_t j = 0; j < count; ++j) {
                feet[j] = index ? index->nearest_clamped(path, points[j])
                                : nearest_clamped_scan(path, points[j]);
            }
        }
        for (std::size_t j = 0; j < count; ++j) {
            const std::size_t k = rows[j];
            const std::optional<ClampedFoot>& foot = feet[j];
            const double distance = foot ? std::sqrt(foot->squared_distance) : nan;
            if (foot) {
                hint = foot->index;
            }
            if (!(distance <= max_distance)) {
                out.s[k] = out.d[k] = out.distance[k] = nan;
                out.segment[k] = -1;
                continue;
            }
            const std::size_t i = foot->index;
            const double dx = path[i + 1].x - path[i].x;
            const double dy = path[i + 1].y - path[i].y;
            out.s[k] = path_length[i] + std::sqrt(dx * dx + dy * dy) * foot->t;
            out.d[k] = frenet_side(path, *foot, points[j]) < 0.0 ? -distance : distance;
            out.distance[k] = distance;
            out.segment[k] = static_cast<std::int64_t>(i);
        }
    }
}

void from_frenet(const PointView& path, std::span<const double> path_length, StridedValues s,
                 StridedValues d, std::size_t rows, Point* out) {
    // The first and last segments of non-zero length carry the extrapolation.
    const std::size_t n = path.size();
    std::size_t first = 0;
    while (first + 1 < n && path[first] == path[first + 1]) {
        ++first;
    }
    std::size_t last = n < 2 ? 0 : n - 2;
    while (last > first && path[last] == path[last + 1]) {
        --last;
    }
    if (first + 1 >= n) {
        for (std::size_t k = 0; k < rows; ++k) {
            out[k] = Point{nan, nan};
        }
        return;
    }
    const double* length = path_length.data();
    std::size_t hint = first;
    for (std::size_t k = 0; k < rows; ++k) {
        const double at = s[k];
        // The segment i with length[i] <= at < length[i + 1]: the one before is tried first, as
        // sorted arc lengths mostly stay on it or move to the next.
        std::size_t i = hint;
        if (!(length[i] <= at && at < length[i + 1])) {
            if (hint < last && length[hint + 1] <= at && at < length[hint + 2]) {
                i = hint + 1;
            } else if (!(at >= length[first + 1])) {
                i = first;  // NaN too: its row comes out NaN whichever segment holds it
            } else if (at >= length[last]) {
                i = last;
            } else {
                // length[low] <= at < length[high]; every such i has a segment of non-zero length.
                std::size_t low = first + 1;
                std::size_t high = last;
                while (high - low > 1) {
                    const std::size_t mid = low + (high - low) / 2;
                    if (length[mid] <= at) {
                        low = mid;
                    } else {
                        high = mid;
                    }
                }
                i = low;
            }
        }
        hint = i;
        const Point a = path[i];
        const double dx = path[i + 1].x - a.x;
        const double dy = path[i + 1].y - a.y;
        const double segment_length = std::sqrt(dx * dx + dy * dy);
        const double t = (at - length[i]) / segment_length;
        const Point normal = left_normal(a, path[i + 1]);
        const double offset = d[k];
        out[k] = Point{a.x + t * dx + offset * normal.x, a.y + t * dy + offset * normal.y};
    }
}

}  // namespace korvane
