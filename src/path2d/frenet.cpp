// src/path2d/frenet.cpp: route coordinates of points, and points at route coordinates
#include "path2d/frenet.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <utility>
#include <optional>
#include <type_traits>
#include <vector>

#include "path2d/nearest_batch.hpp"
#include "util/large_list.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Rows this many and more are answered in spatial order (the batch), fewer by a search of the tree
// each; a route without an index (fewer than 8 segments, or one fix) is scanned, from 32 fixes on
// as one leaf. Measured against the per-fix loop of path_length_from_point, the batch from 64 rows
// on: 100 fixes on 250, 1e4 and 1e6 points 0.56, 0.75 and 0.84 of the loop, against 1.08, 0.97 and
// 0.69 (300 fixes) searching fix by fix (loaded machine, one run each). Fewer than 1,024 fixes on a
// route of at most 16 leaves (256 segments) have every leaf a candidate of each fix instead: no
// descent, reach or order to pay for. Against the per-fix loop, best of three: 1,000 fixes on 10
// points 0.35 against 0.48, 10 on 250 points 0.83 against 1.11, 100 on 250 0.51 against 0.63;
// 10,000 on 250 took 0.38 against 0.34 in the batch, and on 1,000 points (64 leaves) 100 fixes 1.05
// against 0.71. Fixes in route order on routes of at most 64 leaves (1,024 segments) start from the
// groups of four segments around the foot before (to_frenet_along): 1,000 trips of 300 fixes on 300
// points 22 us a trip against the batch's 31 (loaded machine, CPU time). At most 1,024 fixes with 8
// leaves of the route or more each share no boxes in the batch, each alone in its cell. On a route
// larger than the caches, where a sample of them lies near the route in cells not crowded (the
// batch's reach stays its least), the batch's walk to the leaves near each costs less than a search
// alone all the same; elsewhere they are searched one by one (nearest_clamped_each), as calls of
// fewer than 64 rows are. On 1e4 points (cached) 100 fixes took 112 ns a fix alone against 161 in
// the batch, on 3e4 points about the same, from 6e4 the batch less. Search alone against the batch,
// ns a fix (CPU time): fixes with noise of 2 m on roads of 1e5 and 1e6 points, 100 of them 219 and
// 325 against 174 and 215, 300 235 and 368 against 182 and 269, and 1,000 296 and 527 against 260
// and 534; but 300 with noise of 200 m or uniform over the box 629 and 670 against 1,724 and 967,
// and 300 near a 2e5-step random walk 753 against 1,589.
constexpr std::size_t whole_path_leaves = 16;
constexpr std::size_t whole_path_most_rows = 1024;
constexpr std::size_t min_ordered_rows = 64;
constexpr std::size_t sparse_leaves_per_row = 8;
constexpr std::size_t sparse_most_rows = 1024;
// A route of fewer segments has no index for a batch; it is scanned.
constexpr std::size_t along_least_segments = 8;

// Whether every leaf is a candidate of every query.
bool whole_path(const SegmentIndex* index, std::size_t queries) noexcept {
    return index && index->leaf_count() <= whole_path_leaves && queries < whole_path_most_rows;
}

// Whether the queries are too few for the route to share its boxes: searched each alone.
bool sparse(const SegmentIndex* index, std::size_t queries) noexcept {
    return index && queries <= sparse_most_rows &&
           queries * sparse_leaves_per_row <= index->leaf_count();
}

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
    const double s = path_length[i] + std::sqrt(dx * dx + dy * dy) * foot->t;
    // Past a NaN point of the path there is no arc length, and so no answer.
    if (std::isnan(s)) {
        return FrenetRow{nan, nan, nan, -1};
    }
    return FrenetRow{s, frenet_side(path, *foot, query) < 0.0 ? -distance : distance, distance,
                     static_cast<std::int64_t>(i)};
}

void put(FrenetColumns out, std::size_t k, const FrenetRow& row) noexcept {
    out.s[k] = row.s;
    out.d[k] = row.d;
    out.distance[k] = row.distance;
    out.segment[k] = row.segment;
}

// Scaling by a power of two is exact, and so is every operation on scaled values where nothing
// overflows or underflows: with every coordinate below 2^500 in magnitude, no difference,
// product, squared length or squared distance of the arithmetic overflows (they stay below
// 2^1004), and lengths and distances from 2^-511 on keep every bit. A call runs in the caller's
// own frame where its largest coordinate (of the path and the points) lies below 2^500 and the
// path's own reaches 2^-300; any other runs in one where its largest lies in [2^499, 2^500).
constexpr int highest_plain_exponent = 499;
constexpr double lowest_plain_path = 0x1p-300;

// The exponent of the frame for a call whose largest finite coordinate magnitudes are these.
int frame_exponent(double path_largest, double query_largest) noexcept {
    const double largest = std::max(path_largest, query_largest);
    if (!(largest > 0.0 && largest < INFINITY)) {
        return 0;
    }
    const int e = std::ilogb(largest);
    return e <= highest_plain_exponent && path_largest >= lowest_plain_path
               ? 0
               : highest_plain_exponent - e;
}

double largest_of(const SegmentIndex::Box& box) noexcept {
    return box.x_low > box.x_high ? 0.0
                                  : std::max(std::max(std::fabs(box.x_low), std::fabs(box.x_high)),
                                             std::max(std::fabs(box.y_low), std::fabs(box.y_high)));
}

// The largest coordinate magnitude among the finite points.
template <class Points>
double largest_finite(const Points& points) noexcept {
    PointBounds bounds;
    for (std::size_t i = 0; i < points.size(); ++i) {
        const Point q = points[i];
        if (std::isfinite(q.x) && std::isfinite(q.y)) {
            bounds.add(q);
        }
    }
    return largest_of(bounds.box);
}

#if defined(__SSE2__)
// The same for points in a row, without branches: a point's magnitudes count where both lanes
// are below infinity, else 0 (which no larger magnitude loses to). Its branch per point had been
// 5 % of the instructions of 1,000 trips of 300 fixes.
template <>
double largest_finite(const std::span<const Point>& points) noexcept {
    const __m128d sign = _mm_set1_pd(-0.0);
    const __m128d infinite = _mm_set1_pd(INFINITY);
    __m128d most[2] = {_mm_setzero_pd(), _mm_setzero_pd()};
    // Not &data()->x: an empty span may hold no pointer at all.
    const auto* at = reinterpret_cast<const double*>(points.data());
    for (std::size_t i = 0; i < points.size(); ++i) {
        const __m128d magnitude = _mm_andnot_pd(sign, _mm_loadu_pd(at + 2 * i));
        const __m128d below = _mm_cmplt_pd(magnitude, infinite);
        const __m128d finite = _mm_and_pd(below, _mm_shuffle_pd(below, below, 1));
        most[i % 2] = _mm_max_pd(most[i % 2], _mm_and_pd(magnitude, finite));
    }
    const __m128d both = _mm_max_pd(most[0], most[1]);
    return std::max(_mm_cvtsd_f64(both), _mm_cvtsd_f64(_mm_unpackhi_pd(both, both)));
}
#endif

// The frame a call computes in: the caller's path, or a copy scaled by 2^exponent with its own
// arc lengths (as the path computes them) and index.
class Frame {
public:
    Frame(const PointView& path, std::span<const double> path_length, const SegmentIndex* index,
          double largest_query)
        : Frame(path, path_length, index, largest_in(path, index), largest_query) {}

    // The frame of a path whose largest coordinate is `path_largest`, as largest_in gives it;
    // with an index of its own where `index` is given.
    Frame(const PointView& path, std::span<const double> path_length, const SegmentIndex* index,
          double path_largest, double largest_query)
        : exponent(frame_exponent(path_largest, largest_query)),
          path(path),
          path_length(path_length),
          index(index) {
        if (exponent == 0) {
            return;
        }
        m_points.reserve(path.size());
        m_lengths.reserve(path.size());
        for (std::size_t i = 0; i < path.size(); ++i) {
            m_points.push_back(scaled(path[i]));
        }
        double total = 0.0;
        for (std::size_t i = 0; i < m_points.size(); ++i) {
            const double dx = i == 0 ? 0.0 : m_points[i].x - m_points[i - 1].x;
            const double dy = i == 0 ? 0.0 : m_points[i].y - m_points[i - 1].y;
            total += i == 0 ? 0.0 : std::sqrt(dx * dx + dy * dy);
            m_lengths.push_back(total);
        }
        this->path = PointView(m_points);
        this->path_length = m_lengths;
        if (index) {
            m_index = SegmentIndex::build(m_points);
            this->index = &*m_index;
        }
    }

    Frame(const Frame&) = delete;  // its views may point into its own lists
    Frame& operator=(const Frame&) = delete;

    Point scaled(Point q) const noexcept {
        return exponent == 0 ? q : Point{std::ldexp(q.x, exponent), std::ldexp(q.y, exponent)};
    }
    // What the rows are measured against: the caller's max_distance applies to unscaled rows.
    double max_distance(double caller_max) const noexcept {
        return exponent == 0 ? caller_max : INFINITY;
    }
    FrenetRow unscaled(const FrenetRow& row, double max_distance) const noexcept {
        if (exponent == 0) {
            return row;
        }
        const double distance = std::ldexp(row.distance, -exponent);
        return distance <= max_distance
                   ? FrenetRow{std::ldexp(row.s, -exponent), std::ldexp(row.d, -exponent), distance,
                               row.segment}
                   : FrenetRow{nan, nan, nan, -1};
    }

    const int exponent;
    PointView path;
    std::span<const double> path_length;
    const SegmentIndex* index;

    // The largest coordinate magnitude of the path: that of the box around its segments where
    // it is finite, else of its finite points.
    static double largest_in(const PointView& path, const SegmentIndex* index) noexcept {
        return largest_in(path, index ? index->bounds() : SegmentIndex::Box{0, 0, INFINITY, 0});
    }
    static double largest_in(const PointView& path, const SegmentIndex::Box& bounds) noexcept {
        const double boxed = largest_of(bounds);
        return boxed < INFINITY ? boxed : largest_finite(path);
    }

private:
    std::vector<Point> m_points;
    std::vector<double> m_lengths;
    std::optional<SegmentIndex> m_index;
};

// The rows of `queries` a chunk at a time in the frame: `feet_of(some, feet)` finds the feet of
// a chunk's points (scaled where the frame is), and each row is written to `out`.
template <class FeetOf>
void frenet_rows_in_chunks(const Frame& frame, std::span<const Point> queries, double max_distance,
                           FrenetColumns out, FeetOf feet_of) {
    const double frame_max = frame.max_distance(max_distance);
    constexpr std::size_t chunk = 256;
    Point scaled[chunk];
    // Only as many feet as there are rows are made: a whole chunk's, cleared, had cost a call of
    // 100 rows on a 1e4-point route 12,000 of its 180,000 instructions.
    using Foot = std::optional<ClampedFoot>;
    alignas(Foot) std::byte storage[chunk * sizeof(Foot)];
    const std::size_t made = std::min(chunk, queries.size());
    for (std::size_t k = 0; k < made; ++k) {
        ::new (storage + k * sizeof(Foot)) Foot();
    }
    Foot* const feet = std::launder(reinterpret_cast<Foot*>(storage));
    for (std::size_t begin = 0; begin < queries.size(); begin += chunk) {
        const std::size_t count = std::min(chunk, queries.size() - begin);
        const Point* some = queries.data() + begin;
        if (frame.exponent != 0) {
            for (std::size_t k = 0; k < count; ++k) {
                scaled[k] = frame.scaled(some[k]);
            }
            some = scaled;
        }
        feet_of(std::span<const Point>(some, count), feet);
        for (std::size_t k = 0; k < count; ++k) {
            put(out, begin + k,
                frame.unscaled(
                    frenet_row(frame.path, frame.path_length, feet[k], some[k], frame_max),
                    max_distance));
        }
    }
}

// The leaves of a path of at most LeafColumns::capacity leaves and their groups in columns, each
// bounded as SegmentIndex::build bounds a leaf; returns the box around them all, the index's
// bounds().
SegmentIndex::Box route_columns(const PointView& p, RouteColumns& route) noexcept {
    static_assert(RouteColumns::group_segments * RouteColumns::leaf_groups ==
                  SegmentIndex::leaf_segments);
    constexpr std::size_t per_group = RouteColumns::group_segments;
    const std::size_t segments = p.size() < 2 ? 0 : p.size() - 1;
    LeafColumns& leaves = route.leaves;
    route.segments = segments;
    leaves.count = (segments + SegmentIndex::leaf_segments - 1) / SegmentIndex::leaf_segments;
    const std::size_t groups = leaves.count * RouteColumns::leaf_groups;
    for (std::size_t g = whole_group_boxes(p, segments / per_group, route); g < groups; ++g) {
        // The corners a and a + (b - a), NaN ones left out by the comparisons.
        SegmentIndex::Box box{INFINITY, INFINITY, -INFINITY, -INFINITY};
        const auto include = [&](double x, double y) {
            box.x_low = x < box.x_low ? x : box.x_low;
            box.y_low = y < box.y_low ? y : box.y_low;
            box.x_high = x > box.x_high ? x : box.x_high;
            box.y_high = y > box.y_high ? y : box.y_high;
        };
        for (std::size_t i = g * per_group; i < std::min((g + 1) * per_group, segments); ++i) {
            const Point a = p[i];
            include(a.x, a.y);
            include(a.x + (p[i + 1].x - a.x), a.y + (p[i + 1].y - a.y));
        }
        route.x_low[g] = box.x_low;
        route.y_low[g] = box.y_low;
        route.x_high[g] = box.x_high;
        route.y_high[g] = box.y_high;
    }
    // A leaf's box is that of its groups' corners, the same minima and maxima.
    PointBounds all;
    for (std::size_t j = 0; j < leaves.count; ++j) {
        PointBounds leaf;
        for (std::size_t g = j * RouteColumns::leaf_groups; g < (j + 1) * RouteColumns::leaf_groups;
             ++g) {
            leaf.add(PointBounds{SegmentIndex::Box{route.x_low[g], route.y_low[g], route.x_high[g],
                                                   route.y_high[g]}});
        }
        leaves.x_low[j] = leaf.box.x_low;
        leaves.y_low[j] = leaf.box.y_low;
        leaves.x_high[j] = leaf.box.x_high;
        leaves.y_high[j] = leaf.box.y_high;
        leaves.begin[j] = j * SegmentIndex::leaf_segments;
        leaves.end[j] = std::min(leaves.begin[j] + SegmentIndex::leaf_segments, segments);
        all.add(leaf);
    }
    for (std::size_t j = leaves.count; j % 4 != 0; ++j) {
        leaves.x_low[j] = leaves.y_low[j] = INFINITY;
        leaves.x_high[j] = leaves.y_high[j] = -INFINITY;
    }
    return all.box;
}

// The leaves of the index built from `p` in columns as route_columns puts them, without their
// groups; returns its bounds().
SegmentIndex::Box index_leaves(const SegmentIndex& index, const PointView& p,
                               RouteColumns& route) noexcept {
    const std::size_t segments = p.size() < 2 ? 0 : p.size() - 1;
    LeafColumns& leaves = route.leaves;
    route.segments = segments;
    leaves.count = (segments + SegmentIndex::leaf_segments - 1) / SegmentIndex::leaf_segments;
    for (std::size_t j = 0; j < leaves.count; ++j) {
        const SegmentIndex::Box& box = index.leaf_box(j);
        leaves.x_low[j] = box.x_low;
        leaves.y_low[j] = box.y_low;
        leaves.x_high[j] = box.x_high;
        leaves.y_high[j] = box.y_high;
        leaves.begin[j] = j * SegmentIndex::leaf_segments;
        leaves.end[j] = std::min(leaves.begin[j] + SegmentIndex::leaf_segments, segments);
    }
    for (std::size_t j = leaves.count; j % 4 != 0; ++j) {
        leaves.x_low[j] = leaves.y_low[j] = INFINITY;
        leaves.x_high[j] = leaves.y_high[j] = -INFINITY;
    }
    return index.bounds();
}

// Whether most of the first queries (at most 128 steps) lie within 16 mean segments of the
// query before: fixes in route order, most of whose feet fall in the leaf of the one before.
bool in_route_order(std::span<const double> path_length, std::span<const Point> queries) noexcept {
    const std::size_t segments = path_length.size() - 1;
    const double near = 16.0 * path_length.back() / static_cast<double>(segments);
    const std::size_t steps = std::min<std::size_t>(queries.size() - 1, 128);
    const std::size_t most_far = steps / 4;
    std::size_t far = 0;
    for (std::size_t k = 1; k <= steps && far <= most_far; ++k) {
        const double dx = std::fabs(queries[k].x - queries[k - 1].x);
        const double dy = std::fabs(queries[k].y - queries[k - 1].y);
        far += static_cast<std::size_t>(!(std::max(dx, dy) <= near));
    }
    return far <= most_far;
}

}  // namespace

AlongSearch to_frenet_along_search(const PointView& path, std::span<const double> path_length,
                                   std::span<const Point> queries) noexcept {
    const std::size_t segments = path.size() < 2 ? 0 : path.size() - 1;
    const std::size_t leaves =
        (segments + SegmentIndex::leaf_segments - 1) / SegmentIndex::leaf_segments;
    if (segments < along_least_segments || leaves > LeafColumns::capacity || queries.size() < 2 ||
        path_length.size() != path.size()) {
        return AlongSearch::unsuited;
    }
    if (in_route_order(path_length, queries)) {
        return AlongSearch::along_route;
    }
    return leaves <= whole_path_leaves && queries.size() < whole_path_most_rows
               ? AlongSearch::nearest_leaves
               : AlongSearch::unsuited;
}

namespace {

// A route's columns take about 100 KB, more than the smallest stacks Python lets a thread have
// (threading.stack_size takes 32 KiB), so they lie on the heap: the last call's are kept for the
// next, exchanged whole without a lock that a fork could leave held, and made afresh, as a local
// would be, by each call that takes them. (A thread_local would need a newer C library than the
// wheels may.)
std::atomic<RouteColumns*> kept_route_columns{nullptr};

class RouteColumnsLease {
public:
    RouteColumnsLease() {
        static_assert(std::is_trivially_destructible_v<RouteColumns>);
        RouteColumns* kept = kept_route_columns.exchange(nullptr);
        m_columns.reset(kept ? new (kept) RouteColumns : new RouteColumns);
    }
    ~RouteColumnsLease() { delete kept_route_columns.exchange(m_columns.release()); }
    RouteColumnsLease(const RouteColumnsLease&) = delete;
    RouteColumnsLease& operator=(const RouteColumnsLease&) = delete;
    RouteColumns& columns() const noexcept { return *m_columns; }

private:
    std::unique_ptr<RouteColumns> m_columns;
};

}  // namespace

void to_frenet_along(const PointView& path, std::span<const double> path_length,
                     const SegmentIndex* index, std::span<const Point> queries, AlongSearch search,
                     double max_distance, FrenetColumns out) {
    // Fixes in route order start from the groups around the foot before; others open whole
    // leaves nearest first, which an index has ready.
    const bool in_order = search == AlongSearch::along_route;
    const RouteColumnsLease lease;
    RouteColumns& route = lease.columns();
    const SegmentIndex::Box bounds =
        index && !in_order ? index_leaves(*index, path, route) : route_columns(path, route);
    // The frame to_frenet takes through an index of the path, whose bounds these are.
    const Frame frame(path, path_length, nullptr, Frame::largest_in(path, bounds),
                      largest_finite(queries));
    if (frame.exponent != 0) {
        route_columns(frame.path, route);
    }
    if (in_order) {
        route_beside(route);
    }
    const LeafColumns& leaves = route.leaves;
    if (in_order && frame.exponent == 0 && leaves.count != 1 && along_rows_wide(frame.path)) {
        // Rows straight from the proven feet and their groups' columns, without a list of feet
        // written and read back, and the fixes left searched one at a time, going on from the
        // feet before (1,000 trips of 300 fixes: 119k -> 110k instructions a trip).
        FeetBefore seen;
        std::optional<ClampedFoot> foot;
        for (std::size_t k = 0; k < queries.size(); ++k) {
            k = proven_rows(route, path_length, queries, k, max_distance, seen, out, foot);
            if (k == queries.size()) {
                break;
            }
            if (!foot) {
                nearest_feet_along(route, path, queries.subspan(k, 1), true, &foot, seen, true);
            }
            put(out, k, frenet_row(path, path_length, foot, queries[k], max_distance));
        }
        return;
    }
    frenet_rows_in_chunks(
        frame, queries, max_distance, out,
        [&](std::span<const Point> some, std::optional<ClampedFoot>* feet) {
            // A route of one leaf measures several queries at once against its few segments.
            if (leaves.count != 1 || !nearest_feet_one_leaf(leaves, frame.path, some, feet)) {
                nearest_feet_along(route, frame.path, some, in_order, feet);
            }
        });
}

bool to_frenet_batched(const SegmentIndex* index, const PointView& path,
                       std::span<const double> path_length, std::span<const Point> queries,
                       double* reach) {
    const std::size_t m = queries.size();
    if (!index || whole_path(index, m) || m < min_ordered_rows || m > batch_max_queries) {
        return false;
    }
    if (!sparse(index, m)) {
        return true;
    }
    if (index->cached(path)) {
        return false;
    }
    const double mean_segment = path_length.back() / static_cast<double>(path.size() - 1);
    const double least = batch_least_reach * mean_segment;
    if (!(least > 0.0 && std::isfinite(least))) {
        return false;
    }
    const PointView sample(CoordinateView(&queries.data()->x, 2, m),
                           CoordinateView(&queries.data()->y, 2, m));
    // Eight queries at most: when the batch is not taken, they are searched twice.
    double shortest = 0.0;
    if (!lone_batch(*index, path, mean_segment, sample, shortest)) {
        return false;
    }
    if (reach) {
        // Lone fixes close to the route gather their leaves within twice the sample's distance,
        // down to half the least reach: fewer boxes and segments, the few farther fixes searched
        // alone (300 on a 1e6-point route, noise of 2 m: 72 against 77 us a call; 4 m: 69
        // against 73).
        *reach = std::max(least / 2.0, shortest);
    }
    return true;
}

struct FrenetBatch::State {
    State(const PointView& path, std::span<const double> path_length, const SegmentIndex* index,
          std::span<const Point> queries, double max_distance, FrenetColumns out,
          double known_reach)
        : path(path),
          path_length(path_length),
          index(index),
          queries(queries),
          max_distance(max_distance),
          out(out),
          known_reach(known_reach) {}

    PointView path;
    std::span<const double> path_length;
    const SegmentIndex* index;
    std::span<const Point> queries;
    double max_distance;
    FrenetColumns out;
    std::unique_ptr<FrenetRow[]> stage;
    std::optional<Frame> frame;
    double frame_max = 0.0;
    double known_reach;  // to_frenet_batched's, or NaN
    double reach = 0.0;
    std::optional<PointView> staged;
    BatchScratch scratch{};
    BatchOrder ordered;
};

FrenetBatch::FrenetBatch(const PointView& path, std::span<const double> path_length,
                         const SegmentIndex* index, std::span<const Point> queries,
                         double max_distance, FrenetColumns out, double reach)
    : m_state(
          std::make_unique<State>(path, path_length, index, queries, max_distance, out, reach)) {
    // Rows answered out of order are staged whole, a cache line's half each, and copied into
    // the columns in order after: a fourth of the scattered writes. The stage goes onto huge
    // pages: a million queries' fresh 4 KiB pages cost about 2 us each here, 15 to 20 ms a call.
    m_state->stage.reset(new FrenetRow[queries.size()]);  // left unfilled
    advise_large(m_state->stage.get(), queries.size() * sizeof(FrenetRow));
}

FrenetBatch::~FrenetBatch() = default;

std::size_t FrenetBatch::rows() const noexcept {
    return m_state->queries.size();
}

PointBounds FrenetBatch::stage(std::size_t begin, std::size_t end) {
    State& state = *m_state;
    FrenetRow* stage = state.stage.get();
    // Each row first holds its query, in s and d, or its answer where the query has none. This
    // is the one read of the caller's points: every later step reads the stage. Read in its
    // turn, a row brings in the line that its answer is then written to (116 against 125 ms a
    // million queries, reading the caller's points there).
    PointBounds bounds;
    for (std::size_t k = begin; k < end; ++k) {
        const Point q = state.queries[k];
        if (std::isfinite(q.x) && std::isfinite(q.y)) {
            stage[k].s = q.x;
            stage[k].d = q.y;
            bounds.add(q);
        } else {
            stage[k] =
                frenet_row(state.path, state.path_length, std::nullopt, q, state.max_distance);
        }
    }
    return bounds;
}

bool FrenetBatch::order(PointBounds bounds, const RunParts& run) {
    State& state = *m_state;
    const std::size_t m = state.queries.size();
    FrenetRow* stage = state.stage.get();
    if (!run(1, [&](std::size_t) {
            state.frame.emplace(state.path, state.path_length, state.index, largest_of(bounds.box));
        })) {
        return false;
    }
    const Frame& frame = *state.frame;
    if (frame.exponent != 0) {
        constexpr std::size_t part_rows = std::size_t{1} << 16;
        const bool scaled = run((m + part_rows - 1) / part_rows, [&](std::size_t part) {
            for (std::size_t k = part * part_rows; k < std::min(m, (part + 1) * part_rows); ++k) {
                const Point q = frame.scaled(Point{stage[k].s, stage[k].d});
                stage[k].s = q.x;
                stage[k].d = q.y;
            }
        });
        if (!scaled) {
            return false;
        }
        const Point low = frame.scaled(Point{bounds.box.x_low, bounds.box.y_low});
        const Point high = frame.scaled(Point{bounds.box.x_high, bounds.box.y_high});
        bounds.box = SegmentIndex::Box{low.x, low.y, high.x, high.y};
    }
    state.frame_max = frame.max_distance(state.max_distance);
    state.staged.emplace(CoordinateView(&stage[0].s, sizeof(FrenetRow) / sizeof(double), m),
                         CoordinateView(&stage[0].d, sizeof(FrenetRow) / sizeof(double), m));
    const double mean_segment =
        frame.path_length.back() / static_cast<double>(frame.path.size() - 1);
    // The sample to_frenet_batched took of the same queries, in the same units, gave a reach: a
    // sample of the batch's own (a query in 32) would be searched for it again.
    if (frame.exponent == 0 && !std::isnan(state.known_reach)) {
        state.reach = state.known_reach;
    } else if (!run(1, [&](std::size_t) {
                   state.reach = batch_reach(*frame.index, frame.path, mean_segment, *state.staged);
               })) {
        return false;
    }
    // The segment and distance columns, not written before the rows are copied out, lend their
    // memory to the sort: a large batch takes no fresh pages for it (with reading the caller's
    // points in place, 126 to 128 against 131 to 137 ms a call).
    state.scratch = BatchScratch{std::as_writable_bytes(std::span(state.out.segment, m)),
                                 std::as_writable_bytes(std::span(state.out.distance, m))};
    // In the caller's own frame the keys come from the caller's points, half the bytes of the
    // stage's rows; a query without a finite coordinate has none in either.
    const PointView ordered_points = frame.exponent == 0
                                         ? PointView(CoordinateView(&state.queries.data()->x, 2, m),
                                                     CoordinateView(&state.queries.data()->y, 2, m))
                                         : *state.staged;
    const std::optional<BatchOrder> ordered =
        order_batch(ordered_points, bounds, state.reach, state.scratch, run);
    state.ordered = ordered.value_or(BatchOrder{});
    return ordered.has_value();
}

std::size_t FrenetBatch::size() const noexcept {
    return m_state->ordered.size;
}

void FrenetBatch::search(std::size_t begin, std::size_t end) const {
    const State& state = *m_state;
    const Frame& frame = *state.frame;
    FrenetRow* stage = state.stage.get();
    search_batch(
        *frame.index, frame.path, *state.staged, state.ordered, state.scratch.order, begin, end,
        [&](std::span<const std::size_t> rows, std::span<const Point> points,
            std::span<const std::optional<ClampedFoot>> feet) {
            // The arc lengths at the feet are requested together before their use: they
            // lie scattered over memory.
            for (const std::optional<ClampedFoot>& foot : feet) {
                if (foot) {
                    __builtin_prefetch(&frame.path_length[foot->index]);
                }
            }
            for (std::size_t j = 0; j < rows.size(); ++j) {
                stage[rows[j]] =
                    frenet_row(frame.path, frame.path_length, feet[j], points[j], state.frame_max);
            }
        });
}

void FrenetBatch::finish(std::size_t begin, std::size_t end) const {
    const State& state = *m_state;
    for (std::size_t k = begin; k < end; ++k) {
        put(state.out, k, state.frame->unscaled(state.stage[k], state.max_distance));
    }
}

void to_frenet(const PointView& path, std::span<const double> path_length,
               const SegmentIndex* index, std::span<const Point> queries, double max_distance,
               FrenetColumns out) {
    const std::size_t m = queries.size();
    if (index) {
        const AlongSearch search = to_frenet_along_search(path, path_length, queries);
        if (search != AlongSearch::unsuited || whole_path(index, m)) {
            to_frenet_along(path, path_length, index, queries, search, max_distance, out);
            return;
        }
    }
    double reach = std::numeric_limits<double>::quiet_NaN();
    if (to_frenet_batched(index, path, path_length, queries, &reach)) {
        FrenetBatch batch(path, path_length, index, queries, max_distance, out, reach);
        batch.order(batch.stage(0, m), run_in_turn);
        batch.search(0, batch.size());
        batch.finish(0, m);
        return;
    }
    const Frame frame(path, path_length, index, largest_finite(queries));
    if (frame.index) {
        frenet_rows_in_chunks(frame, queries, max_distance, out,
                              [&](std::span<const Point> some, std::optional<ClampedFoot>* feet) {
                                  frame.index->nearest_clamped_each(frame.path, some, feet);
                                  // The arc lengths at the feet lie scattered over memory: requested together.
                                  for (std::size_t k = 0; k < some.size(); ++k) {
                                      if (feet[k]) {
                                          __builtin_prefetch(&frame.path_length[feet[k]->index]);
                                      }
                                  }
                              });
        return;
    }
    // A route too short for an index: one leaf of its few segments, measured several fixes at a
    // time as a route of one leaf is (1,000 fixes on 8 points: 24 against 39 us a call; on 2
    // points 17.5 against 18.2). Fewer fixes pay more for the leaf than they save.
    constexpr std::size_t least_leaf_rows = 32;
    if (m >= least_leaf_rows && frame.path.size() >= 2 &&
        frame.path.size() - 1 <= SegmentIndex::leaf_segments) {
        const SegmentIndex leaf = SegmentIndex::build(frame.path);
        frenet_rows_in_chunks(frame, queries, max_distance, out,
                              [&](std::span<const Point> some, std::optional<ClampedFoot>* feet) {
                                  nearest_feet_whole(leaf, frame.path, some, feet);
                              });
        return;
    }
    const double frame_max = frame.max_distance(max_distance);
    for (std::size_t k = 0; k < m; ++k) {
        const Point q = frame.scaled(queries[k]);
        put(out, k,
            frame.unscaled(frenet_row(frame.path, frame.path_length,
                                      nearest_clamped_scan(frame.path, q), q, frame_max),
                           max_distance));
    }
}

// The length of the segment (dx, dy): sqrt(dx * dx + dy * dy), as the path measures it, where
// that sum is a normal number, and else the same in a frame scaled by a power of two, so that
// no length of finite coordinates overflows or underflows. On a cache line, with walk_in_turn
// (which calls it at every new segment) placed after it: where code before had moved them by 32
// bytes, a million sorted rows took 2 to 4 % longer on the same instructions.
[[gnu::aligned(64)]] double segment_length(double dx, double dy) noexcept {
    const double squared = dx * dx + dy * dy;
    if ((squared >= DBL_MIN && squared < INFINITY) || (dx == 0.0 && dy == 0.0) ||
        !std::isfinite(dx) || !std::isfinite(dy)) {
        return std::sqrt(squared);
    }
    const int e = std::max(std::ilogb(dx), std::ilogb(dy));
    const double x = std::ldexp(dx, -e);
    const double y = std::ldexp(dy, -e);
    return std::ldexp(std::sqrt(x * x + y * y), e);
}

namespace {

// The segment a search for `at` stops at where some lengths are NaN (past a NaN point of the
// path): the rule of every row before, kept where the lengths give no order to walk along.
std::size_t segment_by_search(const double* length, std::size_t first, std::size_t last,
                              double at) noexcept {
    if (!(at >= length[first + 1])) {
        return first;
    }
    if (at >= length[last]) {
        return last;
    }
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
    return low;
}

// The segment holding each arc length, and the point at route coordinates on it.
class ArcLengthWalk {
public:
    ArcLengthWalk(const PointView& path, const double* length, std::size_t first, std::size_t last)
        : m_path(path), m_length(length), m_first(first), m_last(last) {}

    // The segment i with length[i] <= at < length[i + 1]; before the second length (NaN too: its
    // row comes out NaN whichever segment holds it) the first, from the last length on the last.
    // Lengths never decrease, so that segment is one, and a walk from the segment of the row
    // before finds it in steps doubling away from there: sorted arc lengths take a step or two.
    std::size_t segment(double at) noexcept {
        const double* length = m_length;
        if (!(at >= length[m_first + 1])) {
            return m_first;
        }
        if (at >= length[m_last]) {
            return m_last;
        }
        // length[low] <= at < length[high], within [first + 1, last].
        std::size_t low = std::clamp(m_hint, m_first + 1, m_last - 1);
        std::size_t high;
        if (length[low] <= at) {
            high = low + 1;
            for (std::size_t step = 1; !(at < length[high]); step *= 2) {
                low = high;
                high = std::min(low + step, m_last);
            }
        } else {
            high = low;
            for (std::size_t step = 1; !(length[low] <= at); step *= 2) {
                high = low;
                low = std::max(high - std::min(step, high - m_first - 1), m_first + 1);
            }
        }
        while (high - low > 1) {
            const std::size_t mid = low + (high - low) / 2;
            if (length[mid] <= at) {
                low = mid;
            } else {
                high = mid;
            }
        }
        m_hint = low;
        return low;
    }

    // The point at arc length `at` on segment i, moved by `offset` along its left unit normal.
    // What a segment contributes is kept for the rows after it, which mostly stay on it when
    // the rows outnumber the segments.
    Point point_at(std::size_t i, double at, double offset) noexcept {
        if (i != m_segment) {
            m_segment = i;
            m_a = m_path[i];
            const Point b = m_path[i + 1];
            m_dx = b.x - m_a.x;
            m_dy = b.y - m_a.y;
            m_segment_length = segment_length(m_dx, m_dy);
            m_normal = left_normal(m_a, b);
        }
        const double along = at - m_length[i];
        const double t = along / m_segment_length;
        Point on{m_a.x + t * m_dx, m_a.y + t * m_dy};
        if (std::isinf(t) && std::isfinite(along)) {
            // t beyond the largest double, far out along a short segment.
            on = Point{m_a.x + along * (m_dx / m_segment_length),
                       m_a.y + along * (m_dy / m_segment_length)};
        }
        return Point{on.x + offset * m_normal.x, on.y + offset * m_normal.y};
    }

private:
    const PointView& m_path;
    const double* m_length;
    std::size_t m_first;
    std::size_t m_last;
    std::size_t m_hint = 0;
    std::size_t m_segment = SIZE_MAX;
    Point m_a{};
    double m_dx = 0.0;
    double m_dy = 0.0;
    double m_segment_length = 0.0;
    Point m_normal{};
};

// Rows are put in order of arc length this many at a time where they come unordered: enough
// that their walk along a long path goes forward in short steps, which the memory reads ahead.
constexpr std::size_t ordered_chunk = std::size_t{1} << 20;

// A row and its finer bucket, its arc length read from the rows: for chunks in the cache.
struct RowKey {
    std::uint64_t key;  // fine << 32 | row

    static RowKey of(std::uint32_t row, std::uint32_t fine) noexcept {
        return RowKey{std::uint64_t{fine} << 32 | row};
    }
    std::size_t row() const noexcept { return key & 0xffffffffu; }
    std::uint32_t fine() const noexcept { return static_cast<std::uint32_t>(key >> 32); }
};

// Writes the 64-byte line at `line` to `to`, both 64-byte aligned, past the cache where the
// machine can.
void write_line(void* to, const void* line) noexcept {
#if defined(__SSE2__)
    for (std::size_t i = 0; i < 4; ++i) {
        _mm_stream_si128(static_cast<__m128i*>(to) + i,
                         _mm_load_si128(static_cast<const __m128i*>(line) + i));
    }
#else
    std::memcpy(to, line, 64);
#endif
}

// Orders the lines written past the cache before any later read of them.
void finish_lines() noexcept {
#if defined(__SSE2__)
    _mm_sfence();
#endif
}

// The bucket of an arc length among 2^bits buckets across the span `low` + [0, 1 / scale): below
// the start and NaN in the first, beyond the end in the last.
struct Buckets {
    double low;
    double scale;
    double count;
    double highest;

    Buckets(double low, double scale, int bits) noexcept
        : low(low), scale(scale), count(std::ldexp(1.0, bits)), highest(count - 1.0) {}
    std::uint32_t of(double at) const noexcept {
        const double u = (at - low) * scale * count;
        return static_cast<std::uint32_t>(u >= 0.0 ? (u < highest ? u : highest) : 0.0);
    }
};

// Puts the rows of a chunk in the cache in order of the bucket of their arc length, about four
// buckets a row (up to 2^22 of them), and hands them to `visit` all at once: a pass counts the
// rows of each group of buckets (at most 512 groups), one more puts them in `ordered`, and each
// group, a few thousand rows, is then ordered by its finer buckets (two to four a row) in place.
template <class Visit>
void in_bucket_order(StridedValues s, std::size_t rows, const Buckets& all, RowKey* ordered,
                     Visit&& visit) {
    const int bucket_bits = std::clamp(static_cast<int>(std::bit_width(rows)) + 2, 8, 22);
    const Buckets buckets(all.low, all.scale, bucket_bits);
    constexpr int most_coarse_bits = 9;
    const int coarse_bits = std::min(bucket_bits, most_coarse_bits);
    const int fine_bits = bucket_bits - coarse_bits;
    constexpr std::size_t most_groups = std::size_t{1} << most_coarse_bits;
    // About 40 KB of counts, on the heap, as threads may have stacks of 32 KiB.
    struct Counts {
        std::size_t start[most_groups + 1];
        std::size_t next[most_groups];
        std::uint32_t count[std::size_t{1} << (22 - most_coarse_bits)];
    };
    const std::unique_ptr<Counts> counts(new Counts);
    auto& start = counts->start;
    std::fill(start, start + most_groups + 1, std::size_t{0});
    for (std::size_t k = 0; k < rows; ++k) {
        ++start[(buckets.of(s[k]) >> fine_bits) + 1];
    }
    const std::size_t groups = std::size_t{1} << coarse_bits;
    std::size_t largest = 0;
    for (std::size_t c = 0; c < groups; ++c) {
        largest = std::max(largest, start[c + 1]);
        start[c + 1] += start[c];
    }
    auto& next = counts->next;
    std::copy(start, start + groups, next);
    const std::uint32_t fine_mask = (std::uint32_t{1} << fine_bits) - 1;
    for (std::size_t k = 0; k < rows; ++k) {
        const std::uint32_t b = buckets.of(s[k]);
        ordered[next[b >> fine_bits]++] = RowKey::of(static_cast<std::uint32_t>(k), b & fine_mask);
    }
    std::vector<RowKey> group(largest);
    auto& count = counts->count;
    for (std::size_t c = 0; c < groups && fine_bits > 0; ++c) {
        const std::size_t size = start[c + 1] - start[c];
        RowKey* in = ordered + start[c];
        if (size <= 1) {
            continue;
        }
        const int bits = std::min(fine_bits, static_cast<int>(std::bit_width(size)) + 1);
        const int shift = fine_bits - bits;
        const std::uint32_t mask = (std::uint32_t{1} << bits) - 1;
        std::fill(count, count + (std::size_t{1} << bits), 0u);
        for (std::size_t j = 0; j < size; ++j) {
            ++count[(in[j].fine() >> shift) & mask];
        }
        std::uint32_t total = 0;
        for (std::size_t d = 0; d <= mask; ++d) {
            total += std::exchange(count[d], total);
        }
        std::copy(in, in + size, group.data());
        for (std::size_t j = 0; j < size; ++j) {
            in[count[(group[j].fine() >> shift) & mask]++] = group[j];
        }
    }
    visit(std::span<const RowKey>(ordered, rows));
}

// Replaces each of the `n` counts (n a multiple of 4, `count` 16-byte aligned) with the sum of
// those before it, four at a time where the machine can: with two finer buckets a row, summed
// one at a time they took about half the instructions of a group's order.
void counts_to_starts(std::uint32_t* count, std::size_t n) noexcept {
#if defined(__SSE2__)
    __m128i before = _mm_setzero_si128();
    for (std::size_t f = 0; f < n; f += 4) {
        __m128i* const four = reinterpret_cast<__m128i*>(count + f);
        const __m128i own = _mm_load_si128(four);
        __m128i sums = _mm_add_epi32(own, _mm_slli_si128(own, 4));
        sums = _mm_add_epi32(sums, _mm_slli_si128(sums, 8));
        _mm_store_si128(four, _mm_add_epi32(before, _mm_sub_epi32(sums, own)));
        before = _mm_add_epi32(before, _mm_shuffle_epi32(sums, 0xff));
    }
#else
    std::uint32_t total = 0;
    for (std::size_t f = 0; f < n; ++f) {
        total += std::exchange(count[f], total);
    }
#endif
}

// Chunks beyond the cache order keys of 4 bytes, a row (below 2^20) and its finer bucket, in 512
// groups of buckets and 2^12 finer buckets in each (about two a row of 2^20).
constexpr int key_row_bits = 20;
constexpr int key_fine_bits = 12;
constexpr int key_group_bits = 9;
constexpr std::size_t key_groups = std::size_t{1} << key_group_bits;
static_assert(ordered_chunk <= std::size_t{1} << key_row_bits);
static_assert(key_row_bits + key_fine_bits == 32);
// A group's keys are kept in blocks of 4 KiB, chained: no pass counts them first.
constexpr std::size_t block_keys = 1024;
constexpr std::size_t line_keys = 64 / sizeof(std::uint32_t);

// Keys for `rows` rows: each group's last block may be part full.
std::size_t pool_keys(std::size_t rows) noexcept {
    return (rows / block_keys + key_groups) * block_keys;
}

// The largest key pool a call has needed (at most a chunk's, 6 MiB) is kept for the next calls,
// which take it while it is free: a fresh one is faulted in every time.
struct KeyPool {
    std::unique_ptr<std::uint32_t[]> keys;
    std::size_t size = 0;

    // The pool from a 64-byte boundary.
    std::uint32_t* lines() const noexcept {
        const auto address = reinterpret_cast<std::uintptr_t>(keys.get());
        return keys.get() + (64 - address % 64) % 64 / sizeof(std::uint32_t);
    }
};
// Exchanged whole, without a lock that a fork could leave held.
std::atomic<KeyPool*> kept_keys{nullptr};

// What in_group_order keeps per group, about 60 KB: on the heap, as threads may have stacks of
// 32 KiB.
struct GroupLines {
    alignas(64) std::uint32_t lines[key_groups][line_keys];
    // Where each group's next key goes in its line: a pointer, not a count, spares every row's
    // put a few instructions (a million random rows 218 -> 214 million).
    std::uint32_t* next[key_groups];
    std::uint32_t block[key_groups];    // each group's last block, first block c
    std::uint32_t written[key_groups];  // each group's keys in its blocks
    std::size_t size[key_groups];
    alignas(16) std::uint32_t count[std::size_t{1} << key_fine_bits];
};

KeyPool take_keys(std::size_t size) {
    size += line_keys;  // for the alignment
    const std::unique_ptr<KeyPool> kept(kept_keys.exchange(nullptr));
    if (kept && kept->size >= size) {
        return std::move(*kept);
    }
    KeyPool fresh{std::unique_ptr<std::uint32_t[]>(new std::uint32_t[size]), size};
    advise_large(fresh.keys.get(), size * sizeof(std::uint32_t));
    return fresh;
}

void give_keys(KeyPool keys) noexcept {
    const std::size_t size = keys.size;
    KeyPool* const given = new (std::nothrow) KeyPool(std::move(keys));
    if (!given) {
        return;  // the pool is freed instead
    }
    std::unique_ptr<KeyPool> before(kept_keys.exchange(given));
    if (before && before->size > size) {
        // Another call's larger pool had been kept: it goes back, and what is there now goes.
        before.reset(kept_keys.exchange(before.release()));
    }
}

// Chunks of this many rows and more are ordered by keys of 4 bytes, with each row's arc length
// and offset staged in its own answer; smaller ones, whose keys stay in the cache, order keys of
// 8 bytes and read the arc lengths from the rows. Against 8-byte keys up to 2^19 rows, random s
// on a 10^6-point path: 300,000 rows 12.5 -> 11.0 ms, 500,000 20.5 -> 17.7, a million on two
// workers 42 -> 36 (CPU time); from 2^16 rows, 70,000 had taken 3.4 -> 3.9.
constexpr std::size_t past_cache_rows = std::size_t{1} << 17;

// The rows of a chunk beyond the cache in order of the bucket of their arc length, handed to
// `visit` a group at a time. One pass stages each row's arc length and offset in its answer,
// `into`, and puts its key in its group's blocks through a cache line per group, written whole
// past the cache; each group, a few thousand rows, is then ordered by its finer buckets in the
// cache. The walk reads a row's staged values from the line its answer is written to, one random
// line a row. Unordered arc lengths so walk the path once a chunk instead of searching it a row
// at a time, with a cache and TLB miss at every level (3.9 us a row on 1e7 points, 0.08 us
// sorted). For a million random s against 16-byte keys carrying the arc length, in 512 groups
// counted first, 35 -> 28 ms (CPU time, alternating runs). Carrying it in these blocks instead
// (12 bytes a row past the cache, the walk reading in turn and only writing at random) took
// 29.4 against 28.3 ms: the pass filling them 3.5 -> 5.4 ms, more than the walk saved.
template <class Visit>
void in_group_order(StridedValues s, StridedValues d, std::size_t rows, const Buckets& all,
                    Point* into, KeyPool& pool, Visit&& visit) {
    constexpr int bucket_bits = key_group_bits + key_fine_bits;
    const Buckets buckets(all.low, all.scale, bucket_bits);
    constexpr std::uint32_t fine_mask = (std::uint32_t{1} << key_fine_bits) - 1;
    std::uint32_t* const keys = pool.lines();
    std::vector<std::uint32_t> chain(pool_keys(rows) / block_keys);  // each block's next
    const std::unique_ptr<GroupLines> state(new GroupLines);
    auto& block = state->block;
    auto& written = state->written;
    auto& lines = state->lines;
    auto& next = state->next;
    std::fill(written, written + key_groups, 0u);
    for (std::size_t c = 0; c < key_groups; ++c) {
        block[c] = static_cast<std::uint32_t>(c);
        next[c] = lines[c];
    }
    std::uint32_t fresh = key_groups;
    const auto put = [&](std::size_t k, std::uint32_t b) {
        const std::size_t c = b >> key_fine_bits;
        std::uint32_t* const to = next[c]++;
        *to = static_cast<std::uint32_t>(k) | (b & fine_mask) << key_row_bits;
        if (reinterpret_cast<std::uintptr_t>(to + 1) % 64 == 0) {  // the line is full
            const std::size_t in_block = written[c] % block_keys;
            write_line(keys + block[c] * block_keys + in_block, lines[c]);
            written[c] += line_keys;
            next[c] = lines[c];
            if (in_block + line_keys == block_keys) {
                chain[block[c]] = fresh;
                block[c] = fresh++;
            }
        }
    };
    std::size_t k = 0;
#if defined(__SSE2__)
    // Two buckets at a time.
    const __m128d low = _mm_set1_pd(buckets.low);
    const __m128d scale = _mm_set1_pd(buckets.scale);
    const __m128d many = _mm_set1_pd(buckets.count);
    const __m128d highest = _mm_set1_pd(buckets.highest);
    for (; k + 2 <= rows; k += 2) {
        const double first = s[k];
        const double second = s[k + 1];
        into[k] = Point{first, d[k]};
        into[k + 1] = Point{second, d[k + 1]};
        __m128d u = _mm_mul_pd(_mm_mul_pd(_mm_sub_pd(_mm_set_pd(second, first), low), scale), many);
        // NaN to 0, as in Buckets::of: the larger of NaN and 0 is the second.
        u = _mm_min_pd(_mm_max_pd(u, _mm_setzero_pd()), highest);
        const __m128i b = _mm_cvttpd_epi32(u);
        put(k, static_cast<std::uint32_t>(_mm_cvtsi128_si32(b)));
        put(k + 1, static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_shuffle_epi32(b, 1))));
    }
#endif
    for (; k < rows; ++k) {
        into[k] = Point{s[k], d[k]};
        put(k, buckets.of(s[k]));
    }
    std::size_t largest = 0;
    auto& size = state->size;
    for (std::size_t c = 0; c < key_groups; ++c) {
        const std::size_t part = static_cast<std::size_t>(next[c] - lines[c]);
        std::copy(lines[c], lines[c] + part,
                  keys + block[c] * block_keys + written[c] % block_keys);
        size[c] = written[c] + part;
        largest = std::max(largest, size[c]);
    }
    finish_lines();
    // Each group's keys, block by block: handed to `take`, or only requested into the cache.
    const auto each_key = [&](std::size_t c, auto&& take) {
        std::size_t left = size[c];
        for (std::uint32_t b = static_cast<std::uint32_t>(c); left > 0; b = chain[b]) {
            const std::uint32_t* in = keys + b * block_keys;
            const std::size_t n = std::min(left, block_keys);
            if constexpr (std::is_same_v<std::decay_t<decltype(take)>, std::nullptr_t>) {
                for (std::size_t j = 0; j < n; j += line_keys) {
#if defined(__x86_64__) || defined(__i386__)
                    // The compiler deletes a loop of nothing but __builtin_prefetch.
                    asm volatile("prefetcht1 %0" : : "m"(in[j]));
#else
                    __builtin_prefetch(in + j, 0, 2);
#endif
                }
            } else {
                // Unrolled: a million random rows 222 -> 218 million instructions.
#pragma GCC unroll 4
                for (std::size_t j = 0; j < n; ++j) {
                    take(in[j]);
                }
            }
            left -= n;
        }
    };
    std::vector<std::uint32_t> group(largest);
    auto& count = state->count;
    for (std::size_t c = 0; c < key_groups; ++c) {
        const std::size_t n = size[c];
        if (c + 1 < key_groups) {
            // The next group's keys, written past the cache, come in while this one is walked:
            // a million random rows 30.2 -> 29.4 ms (CPU time, loaded machine, alternating).
            each_key(c + 1, nullptr);
        }
        if (n == 0) {
            continue;
        }
        // At least four finer buckets, for counts_to_starts.
        const int bits = std::min(key_fine_bits, static_cast<int>(std::bit_width(n)) + 1);
        const int shift = key_row_bits + key_fine_bits - bits;
        std::fill(count, count + (std::size_t{1} << bits), 0u);
        each_key(c, [&](std::uint32_t key) { ++count[key >> shift]; });
        counts_to_starts(count, std::size_t{1} << bits);
        each_key(c, [&](std::uint32_t key) { group[count[key >> shift]++] = key; });
        visit(std::span<const std::uint32_t>(group.data(), n));
    }
}

// The rows in their own order, each found from the one before. Out of line, so that how the
// order of unordered rows is compiled leaves this loop alone: inlined, it had taken 4 % more
// instructions than before that order changed, and 18.4 against 17.6 ms a million rows.
[[gnu::noinline]] void walk_in_turn(ArcLengthWalk& walk, StridedValues at, StridedValues offset,
                                    std::size_t rows, Point* into) {
    for (std::size_t k = 0; k < rows; ++k) {
        into[k] = walk.point_at(walk.segment(at[k]), at[k], offset[k]);
    }
}

// The rows of a group of in_group_order, in turn: their staged arc lengths and offsets read, and
// their answers written, where they are. Out of line, as walk_in_turn: inlined into the order it
// took 1.4 million more instructions a million random rows, and with a bound test for each
// request ahead 3.7 million more.
[[gnu::noinline]] void walk_group(ArcLengthWalk& walk, std::span<const std::uint32_t> keys,
                                  Point* into) {
    constexpr std::uint32_t row_mask = (std::uint32_t{1} << key_row_bits) - 1;
    // Each row's answer is requested this many rows before its turn, then the last few go.
    constexpr std::size_t ahead = 16;
    const auto answer = [&](std::size_t j) {
        const std::size_t k = keys[j] & row_mask;
        const Point staged = into[k];
        into[k] = walk.point_at(walk.segment(staged.x), staged.x, staged.y);
    };
    const std::size_t requesting = keys.size() - std::min(keys.size(), ahead);
    std::size_t j = 0;
    for (; j < requesting; ++j) {
        __builtin_prefetch(&into[keys[j + ahead] & row_mask], 1);
        answer(j);
    }
    for (; j < keys.size(); ++j) {
        answer(j);
    }
}

// Whether the rows' arc lengths fall more than one time in eight, or have fallen more than one
// time in four in the rows read so far: then a walk from one row's segment to the next costs
// more than ordering them first. Random rows are known so after a block, not after a fourth of
// them; ordering rows that would have walked well costs at most about half as much again.
bool unordered(StridedValues s, std::size_t rows) noexcept {
    constexpr std::size_t block = 4096;
    std::size_t falls = 0;
    for (std::size_t begin = 1; begin < rows; begin += block) {
        const std::size_t end = std::min(rows, begin + block);
        for (std::size_t k = begin; k < end; ++k) {
            falls += static_cast<std::size_t>(s[k] < s[k - 1]);
        }
        if (falls > rows / 8 || falls > end / 4) {
            return true;
        }
    }
    return false;
}

}  // namespace

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
    // The path's arc lengths overflow where a segment's squared length does, and are mostly
    // rounding where every segment's underflows: then they are measured again, segment by
    // segment without either.
    std::vector<double> own_lengths;
    const double total = path_length.back();
    if (total > 0x1p500 || total < 0x1p-300) {
        own_lengths.assign(n, 0.0);
        for (std::size_t i = 1; i < n; ++i) {
            own_lengths[i] = own_lengths[i - 1] +
                             segment_length(path[i].x - path[i - 1].x, path[i].y - path[i - 1].y);
        }
    }
    const double* length = own_lengths.empty() ? path_length.data() : own_lengths.data();
    ArcLengthWalk walk(path, length, first, last);
    if (std::isnan(length[n - 1])) {
        // Past a NaN point of the path every length is NaN: no walk, the search as before.
        for (std::size_t k = 0; k < rows; ++k) {
            out[k] = walk.point_at(segment_by_search(length, first, last, s[k]), s[k], d[k]);
        }
        return;
    }
    const double span = length[last + 1] - length[first];
    const double scale = span > 0.0 && span < INFINITY ? 1.0 / span : 0.0;
    const Buckets buckets(length[first], scale, 0);
    KeyPool pool;
    for (std::size_t begin = 0; begin < rows; begin += ordered_chunk) {
        const std::size_t count = std::min(ordered_chunk, rows - begin);
        const StridedValues at{s.first + begin * s.step, s.step};
        const StridedValues offset{d.first + begin * d.step, d.step};
        Point* into = out + begin;
        if (!unordered(at, count)) {
            walk_in_turn(walk, at, offset, count, into);
            continue;
        }
        // The rows' values and answers, scattered over the chunk, are requested ahead of their
        // turn.
        constexpr std::size_t ahead = 16;
        if (count < past_cache_rows) {
            // The only chunk, or the last.
            const std::unique_ptr<RowKey[]> row_keys(new RowKey[count]);
            advise_large(row_keys.get(), count * sizeof(RowKey));
            in_bucket_order(at, count, buckets, row_keys.get(), [&](std::span<const RowKey> keys) {
                for (std::size_t j = 0; j < keys.size(); ++j) {
                    if (j + ahead < keys.size()) {
                        const std::size_t later = keys[j + ahead].row();
                        __builtin_prefetch(&at.first[later * at.step]);
                        __builtin_prefetch(&offset.first[later * offset.step]);
                        __builtin_prefetch(&into[later], 1);
                    }
                    const std::size_t k = keys[j].row();
                    into[k] = walk.point_at(walk.segment(at[k]), at[k], offset[k]);
                }
            });
            continue;
        }
        if (!pool.keys) {
            pool = take_keys(pool_keys(std::min(rows, ordered_chunk)));
        }
        in_group_order(at, offset, count, buckets, into, pool,
                       [&](std::span<const std::uint32_t> keys) { walk_group(walk, keys, into); });
    }
    if (pool.keys) {
        give_keys(std::move(pool));
    }
}

}  // namespace korvane
