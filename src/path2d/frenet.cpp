// src/path2d/frenet.cpp: route coordinates of points, and points at route coordinates
#include "path2d/frenet.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <utility>

#include "util/large_list.hpp"

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

// frenet_side at a vertex (t = 0 or 1), kept out of line so that the common case inside a
// segment stays small where a batch writes its rows.
[[gnu::noinline]] double vertex_side(const PointView& p, const ClampedFoot& foot, Point query) {
    const std::size_t v = foot.t == 0.0 ? foot.index : foot.index + 1;
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

// The side of `query` whose foot on the path is `foot`: for a foot inside its segment, the cross
// product of the segment's direction and query - a. At a vertex (t = 0 or 1), with the segments
// into and out of it (zero-length segments passed over): the sum of their unit left normals
// against query - vertex; where only one exists (an end) or the sum gives 0 (a reversal), the
// cross product with the segment into the vertex, else out of it. Negative means right; 0 (on
// the line) counts as left.
inline double frenet_side(const PointView& p, const ClampedFoot& foot, Point query) {
    if (foot.t > 0.0 && foot.t < 1.0) {
        return cross(p[foot.index], p[foot.index + 1], query);
    }
    return vertex_side(p, foot, query);
}

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

// Keys of the spatial order in memory of any type (the caller's columns, before their values
// are written), read and written as bytes: each a plain 8-byte load or store.
class KeyColumn {
public:
    explicit KeyColumn(void* memory) noexcept : m_bytes(static_cast<std::byte*>(memory)) {}
    std::uint64_t operator[](std::size_t j) const noexcept {
        std::uint64_t key;
        std::memcpy(&key, m_bytes + j * sizeof key, sizeof key);
        return key;
    }
    void set(std::size_t j, std::uint64_t key) noexcept {
        std::memcpy(m_bytes + j * sizeof key, &key, sizeof key);
    }

private:
    std::byte* m_bytes;
};

// The smallest box holding some points: empty (low above high) until one is added.
struct Bounds {
    double x_low = INFINITY, y_low = INFINITY, x_high = -INFINITY, y_high = -INFINITY;
    void add(Point q) noexcept {
        x_low = std::min(x_low, q.x);
        x_high = std::max(x_high, q.x);
        y_low = std::min(y_low, q.y);
        y_high = std::max(y_high, q.y);
    }
};

// The rows k < `rows` whose point_of(k) is finite (then within `bounds`) in an order that
// visits the plane cell by cell along a Z curve, so that consecutive queries walk the same boxes
// of the index (then in cache) and the queries of a cell share one walk: (cell << 32 | row) for
// each, sorted, in `into` (room for one per row), and how many; `spare`, as large, is written
// over. Cells are `cell` wide, or wider where 2^16 of them would not span the queries.
template <class PointOf>
std::size_t spatial_order(std::size_t rows, PointOf point_of, const Bounds& bounds, double cell,
                          KeyColumn into, KeyColumn spare) {
    const auto [x_low, y_low, x_high, y_high] = bounds;
    // A span that overflows, or a cell that underflows, leaves one cell per axis.
    const double span = std::max(x_high - x_low, y_high - y_low);
    const double cells = std::min(65535.0, span / cell);
    const double scale = cells > 0.0 && span > 0.0 && span < INFINITY ? cells / span : 0.0;
    // Products of a finite span and its own scale stay within [0, 65535] but for rounding; the
    // clamp keeps the cast defined. The key grows with each coordinate, so the corner at the
    // highest ones bounds every key, and with it the passes of the sort.
    const auto key_of = [&](Point q) {
        const double cx = std::min(65535.0, std::max(0.0, (q.x - x_low) * scale));
        const double cy = std::min(65535.0, std::max(0.0, (q.y - y_low) * scale));
        return std::uint64_t{
            morton(static_cast<std::uint32_t>(cx), static_cast<std::uint32_t>(cy))};
    };
    // Stable passes of 11 bits over the cell, as many as it has (the row numbers below are in
    // order already): 2048 counters and write positions stay in the first-level cache. The keys
    // start where an even number of passes leaves them in `into`.
    const std::uint64_t highest = key_of(Point{x_high, y_high});
    int passes = 0;
    for (std::uint64_t rest = highest; rest != 0; rest >>= 11) {
        ++passes;
    }
    KeyColumn keys = passes % 2 == 0 ? into : spare;
    KeyColumn sorted = passes % 2 == 0 ? spare : into;
    std::size_t finite = 0;
    for (std::size_t k = 0; k < rows; ++k) {
        const Point q = point_of(k);
        if (std::isfinite(q.x) && std::isfinite(q.y)) {
            keys.set(finite++, key_of(q) << 32 | k);
        }
    }
    std::size_t count[2048];
    for (int pass = 0; pass < passes; ++pass) {
        const int shift = 32 + 11 * pass;
        std::fill(std::begin(count), std::end(count), 0);
        for (std::size_t j = 0; j < finite; ++j) {
            ++count[(keys[j] >> shift) & 0x7ff];
        }
        std::size_t total = 0;
        for (std::size_t& c : count) {
            total += std::exchange(c, total);
        }
        for (std::size_t j = 0; j < finite; ++j) {
            const std::uint64_t key = keys[j];
            sorted.set(count[(key >> shift) & 0x7ff]++, key);
        }
        std::swap(keys, sorted);
    }
    return finite;
}

// The reach of a batch: twice the distance within which 7 in 8 of a sample of the queries find
// their nearest foot, so that few are searched again alone; and no shorter than 16 segments of
// average length, so that a cell holds several queries near a path. Measured on noisy positions
// along a route, any reach from 8 to 24 segments costs about the same. Where the path passes
// the same places many times (laps, a warehouse's aisles), cells that wide lie near more leaves
// than a batch takes, and their queries are searched one by one: there the reach is halved,
// down to the sample's distances, until most sampled queries' cells are not so crowded.
double batch_reach(const PointView& path, std::span<const double> path_length,
                   const SegmentIndex& index, std::span<const Point> queries) {
    // One query in eight at most, so that the sample costs little next to the batch.
    constexpr std::size_t most = 64;
    const std::size_t sample = std::min(most, std::max<std::size_t>(1, queries.size() / 8));
    double distances[most];
    std::size_t found = 0;
    for (std::size_t j = 0; j < sample; ++j) {
        const Point q = queries[j * queries.size() / sample];
        if (const std::optional<ClampedFoot> foot = index.nearest_clamped(path, q)) {
            distances[found++] = std::sqrt(foot->squared_distance);
        }
    }
    const double segment = path_length.back() / static_cast<double>(path.size() - 1);
    double reach = 16.0 * segment;
    double shortest = reach;
    if (found > 0) {
        double* quantile = distances + found * 7 / 8;
        std::nth_element(distances, quantile, distances + found);
        shortest = 2.0 * *quantile;
        reach = std::max(reach, shortest);
    }
    for (int halving = 0; halving < 16 && reach / 2.0 >= shortest; ++halving) {
        std::size_t crowded = 0;
        constexpr std::size_t looked = 8;
        for (std::size_t j = 0; j < looked; ++j) {
            crowded += index.crowded(queries[(2 * j + 1) * queries.size() / (2 * looked)], reach);
        }
        if (2 * crowded <= looked) {
            break;
        }
        reach /= 2.0;
    }
    return reach;
}

// Rows this many and more are answered in spatial order.
constexpr std::size_t min_ordered_rows = 64;

// One row of the columns.
struct FrenetRow {
    double s;
    double d;
    double distance;
    std::int64_t segment;
};

// Inlined into the batch loop, where it writes a row per query.
[[gnu::always_inline]] inline FrenetRow frenet_row(const PointView& path,
                                                   std::span<const double> path_length,
                                                   const std::optional<ClampedFoot>& foot,
                                                   Point query, double max_distance) {
    const double distance = foot ? std::sqrt(foot->squared_distance) : nan;
    if (!(distance <= max_distance)) {
        return FrenetRow{nan, nan, nan, -1};
    }
    const std::size_t i = foot->index;
    const double dx = path[i + 1].x - path[i].x;
    const double dy = path[i + 1].y - path[i].y;
    return FrenetRow{path_length[i] + std::sqrt(dx * dx + dy * dy) * foot->t,
                     frenet_side(path, *foot, query) < 0.0 ? -distance : distance, distance,
                     static_cast<std::int64_t>(i)};
}

void put(FrenetColumns out, std::size_t k, const FrenetRow& row) noexcept {
    out.s[k] = row.s;
    out.d[k] = row.d;
    out.distance[k] = row.distance;
    out.segment[k] = row.segment;
}

}  // namespace

void to_frenet(const PointView& path, std::span<const double> path_length,
               const SegmentIndex* index, std::span<const Point> queries, double max_distance,
               FrenetColumns out) {
    const std::size_t m = queries.size();
    const auto answer = [&](std::size_t k, const std::optional<ClampedFoot>& foot) {
        return frenet_row(path, path_length, foot, queries[k], max_distance);
    };
    if (!index || m < min_ordered_rows || m > std::numeric_limits<std::uint32_t>::max()) {
        for (std::size_t k = 0; k < m; ++k) {
            put(out, k,
                answer(k, index ? index->nearest_clamped(path, queries[k])
                                : nearest_clamped_scan(path, queries[k])));
        }
        return;
    }
    const double reach = batch_reach(path, path_length, *index, queries);
    // Rows answered out of order are staged whole, a cache line's half each, and copied into
    // the columns in order after: a fourth of the scattered writes.
    const std::unique_ptr<FrenetRow[]> stage(new FrenetRow[m]);  // left unfilled
    advise_large(stage.get(), m * sizeof(FrenetRow));
    // Each row first holds its query, in s and d, or its answer where the query has none. Past
    // the reach's sample, this is the one read of the caller's points: every later step reads
    // the stage. Read in its turn, a row brings in the line that its answer is then written to.
    Bounds bounds;
    for (std::size_t k = 0; k < m; ++k) {
        const Point q = queries[k];
        if (std::isfinite(q.x) && std::isfinite(q.y)) {
            stage[k].s = q.x;
            stage[k].d = q.y;
            bounds.add(q);
        } else {
            stage[k] = frenet_row(path, path_length, std::nullopt, q, max_distance);
        }
    }
    // Until the rows are copied out, the segment column holds the order and the distance column
    // the sort's other half: a large batch takes no fresh pages for them.
    const KeyColumn order(out.segment);
    const std::size_t ordered = spatial_order(
        m, [&](std::size_t k) { return Point{stage[k].s, stage[k].d}; }, bounds, reach, order,
        KeyColumn(out.distance));
    // The queries of a block of 8 x 8 cells, up to a batch at a time, share one walk down the
    // index's tree, and those of each cell the leaves near it.
    constexpr std::size_t batch = 256;
    constexpr std::size_t ahead = 16;  // queries read ahead of their turn, their rows random
    std::size_t rows[batch];
    Point points[batch];
    std::size_t runs[batch];
    std::optional<ClampedFoot> feet[batch];
    std::optional<std::size_t> hint;
    for (std::size_t first = 0; first < ordered;) {
        const std::uint64_t block = order[first] >> 38;
        std::size_t count = 0;
        std::size_t run_count = 0;
        while (count < batch && first + count < ordered && order[first + count] >> 38 == block) {
            if (first + count + ahead < ordered) {
                __builtin_prefetch(&stage[order[first + count + ahead] & 0xffffffffu], 1);
            }
            if (count == 0 || order[first + count] >> 32 != order[first + count - 1] >> 32) {
                runs[run_count++] = 0;
            }
            ++runs[run_count - 1];
            rows[count] = static_cast<std::size_t>(order[first + count] & 0xffffffffu);
            points[count] = Point{stage[rows[count]].s, stage[rows[count]].d};
            ++count;
        }
        index->nearest_clamped_batch(path, {points, count}, {runs, run_count}, reach, hint, feet);
        // The arc lengths at the feet are requested together before their use: they lie
        // scattered over memory.
        for (std::size_t j = 0; j < count; ++j) {
            if (feet[j]) {
                __builtin_prefetch(&path_length[feet[j]->index]);
            }
        }
        for (std::size_t j = 0; j < count; ++j) {
            stage[rows[j]] = frenet_row(path, path_length, feet[j], points[j], max_distance);
        }
        if (feet[count - 1]) {
            hint = feet[count - 1]->index;
        }
        first += count;
    }
    for (std::size_t k = 0; k < m; ++k) {
        put(out, k, stage[k]);
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
