// src/path2d/segment_index.cpp: nearest candidate segment by scan and by box hierarchy
#include "path2d/segment_index.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>

#include "path2d/segment_kernels.hpp"
#include "util/large_list.hpp"
#include "util/memory.hpp"
#include "util/processor.hpp"

#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#endif

namespace korvane {

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

// Below this the scan takes about a microsecond and an index saves nothing worth its memory.
constexpr std::size_t min_indexed_segments = 512;
// A build costs about as much as this many scans (measured); the index is built once the
// scans made for a path add up to that, so a single query never pays for it, and any run of
// queries costs at most about twice what it would with the better choice made in advance.
constexpr std::size_t build_cost_in_scans =
    1;  // A batch of queries has an index from this many segments on: a tree of a leaf or two already
// halves a clamped scan's cost (1,000 fixes: 30 points, 137 against 264 ns a fix; 250 points, 80
// against 1,539; loaded machine).
constexpr std::size_t min_batch_segments = 8;

// IEEE 754 totalOrder as a signed integer key: NaNs with the sign bit set (the x86 default
// NaN among them) sort below everything, the others above.
std::int64_t total_order_key(double v) noexcept {
    const auto bits = std::bit_cast<std::int64_t>(v);
    return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

// The best candidate so far. A candidate replaces it when strictly nearer, or equally near with
// a lower index, so segments may be examined in any order and the result is still that of an
// in-order scan that keeps the first of equal distances.
struct Nearest {
    std::optional<Projection> projection;
    std::int64_t key = 0;

    bool improved_by(std::int64_t candidate_key, std::size_t index) const noexcept {
        return !projection || candidate_key < key ||
               (candidate_key == key && index < projection->index);
    }
};

// Tests the segments [begin, end); true when the best changed. Segments whose foot may lie
// inside them are gathered a block at a time without a branch per segment: on a real path that
// test is close to a coin toss, and a branch on it mispredicts about every other segment.
bool examine_segments(const PointView& p, std::size_t begin, std::size_t end, Point query,
                      Nearest& nearest) {
    bool improved = false;
    constexpr std::size_t block = 256;
    std::size_t gathered[block];
    while (begin < end) {
        const std::size_t stop = std::min(begin + block, end);
        std::size_t count = 0;
        std::size_t i = begin;
#if defined(__SSE2__)
        // Two segments at a time, in the same operations: far from the path, where most of a
        // leaf's segments fail the test, it had taken about 60% of a query's instructions
        // (1 km outside a 1e6-point route, 90 leaves within reach).
        const double* xs = p.x().first();
        const double* ys = p.y().first();
        const std::size_t sx = p.x().stride();
        const std::size_t sy = p.y().stride();
        const __m128d qx = _mm_set1_pd(query.x);
        const __m128d qy = _mm_set1_pd(query.y);
        const __m128d below = _mm_set1_pd(-0x1p-50);
        for (; i + 2 <= stop; i += 2) {
            const double x1 = xs[(i + 1) * sx];
            const double y1 = ys[(i + 1) * sy];
            const __m128d ax = _mm_set_pd(x1, xs[i * sx]);
            const __m128d ay = _mm_set_pd(y1, ys[i * sy]);
            const __m128d dx = _mm_sub_pd(_mm_set_pd(xs[(i + 2) * sx], x1), ax);
            const __m128d dy = _mm_sub_pd(_mm_set_pd(ys[(i + 2) * sy], y1), ay);
            const __m128d numerator =
                _mm_add_pd(_mm_mul_pd(_mm_sub_pd(qx, ax), dx), _mm_mul_pd(_mm_sub_pd(qy, ay), dy));
            const __m128d squared_length = _mm_add_pd(_mm_mul_pd(dx, dx), _mm_mul_pd(dy, dy));
            const auto passed = static_cast<unsigned>(_mm_movemask_pd(
                _mm_and_pd(_mm_cmpge_pd(numerator, _mm_mul_pd(below, squared_length)),
                           _mm_cmplt_pd(numerator, squared_length))));
            gathered[count] = i;
            count += passed & 1u;
            gathered[count] = i + 1;
            count += passed >> 1;
        }
#endif
        for (; i < stop; ++i) {
            const Point a = p[i];
            const double dx = p[i + 1].x - a.x;
            const double dy = p[i + 1].y - a.y;
            const double numerator = (query.x - a.x) * dx + (query.y - a.y) * dy;
            const double squared_length = dx * dx + dy * dy;
            // Necessary for 0 <= t < 1, since the quotient rounds monotonically; NaN fails it
            // as it fails the exact test. A negative numerator still gives t = -0.0, which is
            // not below 0, where the quotient underflows: above -2^-1075 times the squared
            // length, so far above the -2^-50 times allowed here.
            gathered[count] = i;
            count += static_cast<std::size_t>(numerator >= -0x1p-50 * squared_length) &
                     static_cast<std::size_t>(numerator < squared_length);
        }
        for (std::size_t k = 0; k < count; ++k) {
            const std::size_t i = gathered[k];
            const Point a = p[i];
            const double dx = p[i + 1].x - a.x;
            const double dy = p[i + 1].y - a.y;
            const double numerator = (query.x - a.x) * dx + (query.y - a.y) * dy;
            const double squared_length = dx * dx + dy * dy;
            const double t = numerator / squared_length;
            if (!(t >= 0.0 && t < 1.0)) {
                continue;
            }
            const Point q{a.x + t * dx, a.y + t * dy};
            const double ex = q.x - query.x;
            const double ey = q.y - query.y;
            const double distance = std::sqrt(ex * ex + ey * ey);
            const std::int64_t key = total_order_key(distance);
            if (nearest.improved_by(key, i)) {
                nearest.projection = Projection{i, q, t, std::sqrt(squared_length) * t, distance};
                nearest.key = key;
                improved = true;
            }
        }
        begin = stop;
    }
    return improved;
}

// The largest double whose square root does not exceed d: a box whose squared gap lies above
// it holds only candidates strictly farther than d.
double square_limit(double d) noexcept {
    double s = d * d;
    while (s > 0.0 && !(std::sqrt(s) <= d)) {
        s = std::nextafter(s, 0.0);
    }
    for (;;) {
        const double next = std::nextafter(s, infinity);
        if (next == s || !(std::sqrt(next) <= d)) {
            return s;
        }
        s = next;
    }
}

// The search for nearest_segment: the best projection, and the squared gap that its distance
// allows.
struct ProjectionSearch {
    // Far from the path most leaves hold no foot inside a segment, so no bound comes early and a
    // depth-first walk would open most of the boxes near the path: nearest first, by a heap.
    static constexpr bool depth_first = false;
    Nearest nearest;
    double limit = infinity;

    void examine(const PointView& p, std::size_t begin, std::size_t end, Point query) {
        if (examine_segments(p, begin, end, query, nearest)) {
            limit = square_limit(nearest.projection->distance);
        }
    }
    void examine_leaf(const PointView& p, std::size_t begin, std::size_t end, Point query) {
        examine(p, begin, end, query);
    }
};

// The search for the nearest clamped foot. A candidate replaces the best when its squared
// distance is lower, or equal with a lower index, as in Nearest; a NaN never does. The foot
// a + t (b - a), 0 <= t <= 1, lies in the segment's box as the projection's does, and the squared
// distance is compared directly, so the limit is the best squared distance itself.
struct ClampedSearch {
    // Every leaf holds a foot, and a batch starts each search from the foot found for the fix
    // before, so a bound comes at once: depth first, nearest child first, from a stack, which
    // costs no ordering (fixes uniform over a 1e6-point route's box, one by one from the last
    // foot: about 17 boxes opened a fix against 15 nearest first, 845 against 1,070 ns).
    static constexpr bool depth_first = true;
    static constexpr std::size_t none = std::numeric_limits<std::size_t>::max();
    ClampedFoot best{none, 0.0, Point{0.0, 0.0}, infinity};
    double limit = infinity;

    std::optional<ClampedFoot> result() const {
        return best.index == none ? std::nullopt : std::optional<ClampedFoot>(best);
    }

    // Starts from the foot on segment i: only what is at least as near remains to be found.
    void start_from(const PointView& p, std::size_t i, Point query) {
        const ClampedFoot foot = clamped_foot(p, i, query);
        if (!std::isnan(foot.squared_distance)) {
            best = foot;
            limit = foot.squared_distance;
        }
    }

    // Every foot of the run measured several at a time, in the arithmetic of clamped_foot: a
    // test of each segment's own box first, to pass over most without a division, had cost
    // more (fixes uniform over a 1e6-point route's box: 12.6k against 9.8k instructions a fix).
    // A leaf's segments, measured several at a time in the arithmetic of clamped_foot: the test
    // of each segment's box in examine below, to pass over most without a division, had cost
    // more there (fixes uniform over a 1e6-point route's box: 12.6k against 9.8k instructions a
    // fix). The scan of a short path keeps that loop: the kernels' set-up costs more than they
    // save on a few segments (1,000 fixes on a 2-point route: 0.36 against 0.89 of the loop).
    void examine_leaf(const PointView& p, std::size_t begin, std::size_t end, Point query) {
        if (nearest_foot_among(p, begin, end, query, best)) {
            limit = best.squared_distance;
        }
    }

    void examine(const PointView& p, std::size_t begin, std::size_t end, Point query) {
        for (std::size_t i = begin; i < end; ++i) {
            // The squared gap to the segment's own box, which no foot on it undercuts (as for
            // the index's boxes), passes over most segments of a leaf without a division.
            const Point a = p[i];
            const double bx = a.x + (p[i + 1].x - a.x);
            const double by = a.y + (p[i + 1].y - a.y);
            const double gx = gap(std::min(a.x, bx) - query.x, query.x - std::max(a.x, bx));
            const double gy = gap(std::min(a.y, by) - query.y, query.y - std::max(a.y, by));
            if (gx * gx + gy * gy > limit) {
                continue;
            }
            const ClampedFoot foot = clamped_foot(p, i, query);
            if (foot.squared_distance < best.squared_distance ||
                (foot.squared_distance == best.squared_distance && i < best.index)) {
                best = foot;
                limit = foot.squared_distance;
            }
        }
    }
};

// Boxes waiting to be opened, nearest first, in a binary heap of fixed size: a search that
// would need more room gives up and scans instead.
class PendingBoxes {
public:
    struct Box {
        double squared_gap;
        std::size_t node;
    };

    bool empty() const noexcept { return m_size == 0; }
    /// The squared gap of the nearest waiting box; the queue must not be empty.
    double nearest_gap() const noexcept { return m_boxes[0].squared_gap; }
    /// Adds a box; false, adding nothing, when the queue is full.
    bool push(std::size_t node, double squared_gap) noexcept {
        if (m_size == capacity) {
            return false;
        }
        m_boxes[m_size++] = Box{squared_gap, node};
        std::push_heap(m_boxes, m_boxes + m_size, Farther{});
        return true;
    }
    /// Takes the nearest box out; the queue must not be empty.
    Box pop() noexcept {
        std::pop_heap(m_boxes, m_boxes + m_size, Farther{});
        return m_boxes[--m_size];
    }

private:
    static constexpr std::size_t capacity = 256;
    // The heap's order, as a type: the heap's steps then compile without calls.
    struct Farther {
        bool operator()(const Box& a, const Box& b) const noexcept {
            return a.squared_gap > b.squared_gap;
        }
    };
    Box m_boxes[capacity];
    std::size_t m_size = 0;
};

// SegmentIndex::squared_gap of the four boxes from `boxes` on to `region`, bit for bit: the
// same operations, x and y in the two lanes, max_pd(b, a) selecting as std::max(a, b) does, NaN
// included. Computed one at a time they had taken half the instructions of a box opened (fixes
// uniform over a 1e6-point route's box: about 97 of 187 a box).
void squared_gaps4(const SegmentIndex::Box* boxes, const SegmentIndex::Box& region,
                   double* gaps) noexcept {
#if defined(__SSE2__)
    const __m128d low = _mm_loadu_pd(&region.x_low);
    const __m128d high = _mm_loadu_pd(&region.x_high);
    const __m128d zero = _mm_setzero_pd();
    __m128d squares[4];
    for (std::size_t c = 0; c < 4; ++c) {
        const __m128d below = _mm_sub_pd(_mm_loadu_pd(&boxes[c].x_low), high);
        const __m128d above = _mm_sub_pd(low, _mm_loadu_pd(&boxes[c].x_high));
        const __m128d g = _mm_max_pd(zero, _mm_max_pd(above, below));
        squares[c] = _mm_mul_pd(g, g);
    }
    _mm_storeu_pd(gaps, _mm_add_pd(_mm_unpacklo_pd(squares[0], squares[1]),
                                   _mm_unpackhi_pd(squares[0], squares[1])));
    _mm_storeu_pd(gaps + 2, _mm_add_pd(_mm_unpacklo_pd(squares[2], squares[3]),
                                       _mm_unpackhi_pd(squares[2], squares[3])));
#else
    for (std::size_t c = 0; c < 4; ++c) {
        gaps[c] = SegmentIndex::squared_gap(boxes[c], region);
    }
#endif
}

// The same to a point, the box of that point alone.
inline void squared_gaps4(const SegmentIndex::Box* boxes, Point query, double* gaps) noexcept {
    squared_gaps4(boxes, SegmentIndex::Box{query.x, query.y, query.x, query.y}, gaps);
}

// Requests the cache line of `at`, by an instruction the compiler keeps: it deletes a loop of
// nothing but its prefetch builtin.
inline void request_line(const char* at) noexcept {
#if defined(__x86_64__) || defined(__i386__)
    asm volatile("prefetcht0 %0" ::"m"(*at));
#else
    __builtin_prefetch(at);
#endif
}

// Requests the cache lines of the bytes [from, to), to is past from.
void request_lines(const char* from, const char* to) noexcept {
    for (; from < to; from += 64) {
        request_line(from);
    }
    request_line(to - 1);  // the last line, where `from` stepped past it
}

// Requests the four children of `node`, whole: their group lies across three cache lines.
void request_children(const SegmentIndex::Box* boxes, std::size_t node) noexcept {
    const char* group = reinterpret_cast<const char*>(boxes + 4 * node + 1);
    request_lines(group, group + 4 * sizeof(SegmentIndex::Box));
}

// A waiting box's gap and place on the stack as one integer that orders boxes about as their
// gaps do: the gap's leading 32 bits (a squared gap is never negative), then the place.
constexpr std::uint64_t waiting_none = std::numeric_limits<std::uint64_t>::max();
constexpr std::size_t none_waiting = std::numeric_limits<std::size_t>::max();
// About the second-level cache of a core.
constexpr std::size_t cached_bytes = std::size_t{1} << 20;
std::uint64_t waiting_key(double squared_gap, std::size_t at) noexcept {
    return (std::bit_cast<std::uint64_t>(squared_gap) & ~std::uint64_t{0xffffffff}) | at;
}

// Lowers `top` to the highest place below it whose gap lies within `limit`: true, or false
// when none does. `gaps` holds whole groups of four up to `top`.
bool pop_within(const double* gaps, std::size_t& top, double limit) noexcept {
#if defined(__SSE2__)
    const __m128d bound = _mm_set1_pd(limit);
    while (top > 0) {
        const std::size_t group = (top - 1) & ~std::size_t{3};
        auto within = static_cast<unsigned>(
            _mm_movemask_pd(_mm_cmple_pd(_mm_load_pd(gaps + group), bound)) |
            (_mm_movemask_pd(_mm_cmple_pd(_mm_load_pd(gaps + group + 2), bound)) << 2));
        within &= (1u << (top - group)) - 1;
        if (within != 0) {
            top = group + static_cast<std::size_t>(std::bit_width(within)) - 1;
            return true;
        }
        top = group;
    }
    return false;
#else
    while (top > 0) {
        if (gaps[--top] <= limit) {
            return true;
        }
    }
    return false;
#endif
}

// The nodes among `nodes` within squared gap `limit` of the query onto `stack`, the nearest on
// top, their children requested as their parents' opening would have; returns their number.
// Kept out of the descent: inlined there, it had slowed every search (1.5 times the time).
[[gnu::noinline]] std::size_t stack_nodes(const SegmentIndex::Box* boxes, std::size_t first_leaf,
                                          std::span<const std::size_t> nodes, Point query,
                                          double limit, PendingBoxes::Box* stack) noexcept {
    std::size_t depth = 0;
    for (const std::size_t n : nodes) {
        const double g = SegmentIndex::squared_gap(
            boxes[n], SegmentIndex::Box{query.x, query.y, query.x, query.y});
        if (!(g <= limit)) {
            continue;
        }
        if (n < first_leaf) {
            request_children(boxes, n);
        }
        std::size_t at = depth++;
        for (; at > 0 && stack[at - 1].squared_gap < g; --at) {
            stack[at] = stack[at - 1];
        }
        stack[at] = PendingBoxes::Box{g, n};
    }
    return depth;
}

}  // namespace

std::optional<Projection> nearest_segment_scan(const PointView& points, Point query) {
    Nearest nearest;
    if (points.size() >= 2) {
        examine_segments(points, 0, points.size() - 1, query, nearest);
    }
    return nearest.projection;
}

std::optional<ClampedFoot> nearest_clamped_scan(const PointView& points, Point query) {
    if (points.size() < 2 || !std::isfinite(query.x) || !std::isfinite(query.y)) {
        return std::nullopt;
    }
    ClampedSearch search;
    search.examine(points, 0, points.size() - 1, query);
    return search.result();
}

SegmentIndex SegmentIndex::build(const PointView& points) {
    const std::size_t segments = points.size() < 2 ? 0 : points.size() - 1;
    const std::size_t leaves =
        std::max<std::size_t>(1, (segments + leaf_segments - 1) / leaf_segments);
    SegmentIndex index;
    index.m_leaf_count = std::bit_ceil(leaves);
    // A power of four of leaves under the inner nodes, (that power - 1) / 3 of them.
    std::size_t tree_leaves = 1;
    while (tree_leaves < leaves) {
        index.m_first_leaf += tree_leaves;
        tree_leaves *= 4;
    }
    const std::size_t nodes = index.m_first_leaf + tree_leaves;
    require_memory(nodes, sizeof(Box));
    // On huge pages where granted: a descent through a tree larger than the caches otherwise
    // misses the TLB at about every level below the top ones.
    index.m_boxes.reserve(nodes);
    advise_large(index.m_boxes);
    index.m_boxes.resize(nodes);
    Box* boxes = index.m_boxes.data();
    const PointView& p = points;
    // The projection's foot a + t (b - a), 0 <= t < 1, is rounded monotonically at each step,
    // so it lies between a and a + (b - a) as computed here; its difference to the query point,
    // squared and summed, is then at least the box's gap treated alike. A bound from these
    // corners never exceeds a distance the scan computes, whatever the magnitudes. NaN corners
    // are left out by the comparisons: a segment with one has a NaN t and is never a candidate.
    const auto include = [](Box& box, double x, double y) {
        box.x_low = x < box.x_low ? x : box.x_low;
        box.y_low = y < box.y_low ? y : box.y_low;
        box.x_high = x > box.x_high ? x : box.x_high;
        box.y_high = y > box.y_high ? y : box.y_high;
    };
    for (std::size_t leaf = 0; leaf < tree_leaves; ++leaf) {
        Box box{infinity, infinity, -infinity, -infinity};
        const std::size_t begin = std::min(leaf * leaf_segments, segments);
        const std::size_t end = std::min(begin + leaf_segments, segments);
        for (std::size_t i = begin; i < end; ++i) {
            const Point a = p[i];
            include(box, a.x, a.y);
            include(box, a.x + (p[i + 1].x - a.x), a.y + (p[i + 1].y - a.y));
        }
        boxes[index.m_first_leaf + leaf] = box;
    }
    for (std::size_t k = index.m_first_leaf; k-- > 0;) {
        const Box* c = boxes + 4 * k + 1;
        boxes[k] =
            Box{std::min(std::min(c[0].x_low, c[1].x_low), std::min(c[2].x_low, c[3].x_low)),
                std::min(std::min(c[0].y_low, c[1].y_low), std::min(c[2].y_low, c[3].y_low)),
                std::max(std::max(c[0].x_high, c[1].x_high), std::max(c[2].x_high, c[3].x_high)),
                std::max(std::max(c[0].y_high, c[1].y_high), std::max(c[2].y_high, c[3].y_high))};
    }
    return index;
}

// Opens the boxes nearest first and hands their segments to `search`, which keeps the best
// candidate and the squared gap beyond which no box can hold a better one (`limit`). False
// when the boxes do not separate the candidates well enough: the caller then scans.
template <class Search, bool below>
bool SegmentIndex::descend(const PointView& points, Point query, Search& search,
                           std::span<const std::size_t> start) const {
    const std::size_t segments = points.size() < 2 ? 0 : points.size() - 1;
    const PointView& p = points;
    const Box* boxes = m_boxes.data();
    // The squared gap between the query and a box has the shape of the squared distance, so
    // it rounds no higher than that of any foot inside the box.
    // Where boxes do not separate the candidates (no candidate at all, or all of them about
    // equally far, as from the centre of a loop), the search gives up after this much work,
    // counted in segment tests, and scans: such a query costs at most about 1.1 scans. On a
    // short path a sixteenth of the segments is less than the first leaf, and every query
    // would scan after its descent (10 fixes on 250 points: 1.09 against 1.66 times the
    // per-fix loop).
    const std::size_t budget = std::max(segments / 16, 4 * leaf_segments);
    std::size_t work = 0;

    // Nearest first, boxes are opened so that the candidate near the query is found before the
    // boxes around it, which all contain the query where the path winds, are opened. Depth
    // first, the waiting boxes are kept on a stack, three a level at most.
    PendingBoxes pending;
    PendingBoxes::Box stack[3 * 32];
    std::size_t depth = 0;
    std::size_t node = 0;
    if constexpr (below) {
        static_assert(Search::depth_first);
        depth = stack_nodes(boxes, m_first_leaf, start, query, search.limit, stack);
        if (depth == 0) {
            return true;
        }
        node = stack[--depth].node;
    }
    for (;;) {
        if (work > budget) {
            return false;
        }
        if (node >= m_first_leaf) {
            const std::size_t begin = std::min((node - m_first_leaf) * leaf_segments, segments);
            const std::size_t end = std::min(begin + leaf_segments, segments);
            search.examine_leaf(p, begin, end, query);
            work += leaf_segments;
        } else {
            // The children's children are requested now, a level ahead of their use: on a path
            // larger than the caches the descent would otherwise wait on memory each level
            // (noisy fixes on a 1e6-point route: 1.70 against 1.84 us a query). Each group of
            // four boxes whole: it lies across three cache lines, and one line of it requested
            // had left two waits a level (1e7 points: 2.5 against 2.8 us a query).
            const std::size_t first = 4 * node + 1;
            if (4 * first + 1 < m_boxes.size()) {
                for (std::size_t c = 0; c < 4; ++c) {
                    request_children(boxes, first + c);
                }
            }
            double gaps[4];
            squared_gaps4(boxes + first, query, gaps);
            std::size_t nearest = 0;
            for (std::size_t c = 1; c < 4; ++c) {
                nearest = gaps[c] < gaps[nearest] ? c : nearest;
            }
            work += 4;
            if constexpr (Search::depth_first) {
                for (std::size_t c = 0; c < 4; ++c) {
                    stack[depth] = PendingBoxes::Box{gaps[c], first + c};
                    depth += static_cast<std::size_t>(c != nearest && gaps[c] <= search.limit);
                }
                if (gaps[nearest] <= search.limit) {
                    node = first + nearest;
                    continue;
                }
            } else {
                for (std::size_t c = 0; c < 4; ++c) {
                    if (c != nearest && gaps[c] <= search.limit &&
                        !pending.push(first + c, gaps[c])) {
                        return false;
                    }
                }
                // The nearest child goes on at once while no waiting box is nearer still, so a
                // descent through the tree costs no queue operations (the queue had taken 42%
                // of the instructions: 5.5k against 8.4k a query, 2000 fixes on a 1e5-point
                // route).
                const double near_gap = gaps[nearest];
                if (near_gap <= search.limit) {
                    if (pending.empty() || near_gap <= pending.nearest_gap()) {
                        node = first + nearest;
                        continue;
                    }
                    if (!pending.push(first + nearest, near_gap)) {
                        return false;
                    }
                }
            }
        }
        if constexpr (Search::depth_first) {
            // Boxes put aside before the bound last fell may now lie beyond it.
            for (;;) {
                if (depth == 0) {
                    return true;
                }
                const PendingBoxes::Box next = stack[--depth];
                if (next.squared_gap <= search.limit) {
                    node = next.node;
                    break;
                }
            }
        } else {
            if (pending.empty()) {
                return true;
            }
            const PendingBoxes::Box next = pending.pop();
            if (next.squared_gap > search.limit) {
                return true;  // so is every box still waiting
            }
            node = next.node;
        }
    }
}

std::optional<Projection> SegmentIndex::nearest_segment(const PointView& points,
                                                        Point query) const {
    // A NaN or infinite query coordinate makes every numerator NaN or infinite, so every t is
    // NaN or infinite: no candidate anywhere.
    if (!std::isfinite(query.x) || !std::isfinite(query.y)) {
        return std::nullopt;
    }
    ProjectionSearch search;
    if (!descend(points, query, search)) {
        return nearest_segment_scan(points, query);
    }
    return search.nearest.projection;
}

std::optional<ClampedFoot> SegmentIndex::nearest_clamped(const PointView& points, Point query,
                                                         std::optional<std::size_t> hint,
                                                         std::span<const std::size_t> nodes,
                                                         double limit) const {
    // As above: a non-finite query coordinate makes every distance NaN or infinite.
    if (!std::isfinite(query.x) || !std::isfinite(query.y)) {
        return std::nullopt;
    }
    ClampedSearch search;
    if (hint && *hint + 1 < points.size()) {
        search.start_from(points, *hint, query);
    }
    // Every box within the search's limit then lies within `limit` of the query, so below one
    // of the nodes.
    const bool below = !nodes.empty() && search.limit <= limit;
    if (!(below ? descend<ClampedSearch, true>(points, query, search, nodes)
                : descend(points, query, search))) {
        return nearest_clamped_scan(points, query);
    }
    return search.result();
}

std::size_t SegmentIndex::frontier(const Box& region, double limit,
                                   std::span<std::size_t> nodes) const {
    if (nodes.empty() || !(squared_gap(m_boxes[0], region) <= limit)) {
        return 0;
    }
    nodes[0] = 0;
    std::size_t count = 1;
    std::size_t next[64];
    while (nodes[0] < m_first_leaf) {
        std::size_t found = 0;
        for (std::size_t j = 0; j < count; ++j) {
            for (std::size_t c = 4 * nodes[j] + 1; c < 4 * nodes[j] + 5; ++c) {
                if (squared_gap(m_boxes[c], region) <= limit) {
                    if (found == nodes.size() || found == std::size(next)) {
                        return count;
                    }
                    next[found++] = c;
                }
            }
        }
        if (found == 0) {
            return 0;  // the gaps of a box's children may all exceed its own
        }
        std::copy_n(next, found, nodes.begin());
        count = found;
    }
    return count;
}

template <bool keyed>
void SegmentIndex::nearest_clamped_alone(const PointView& points, std::span<const Point> queries,
                                         std::optional<ClampedFoot>* feet) const {
    const std::size_t segments = points.size() < 2 ? 0 : points.size() - 1;
    // As descend's: past it the query is scanned.
    const std::size_t budget = std::max(segments / 16, 4 * leaf_segments);
    const Box* boxes = m_boxes.data();
    const std::size_t first_leaf = m_first_leaf;
    const double* xs = points.x().first();
    const double* ys = points.y().first();
    const std::size_t sx = points.x().stride();
    const std::size_t sy = points.y().stride();
    const bool paired = sx == 2 && sy == 2 && ys == xs + 1;
    // Requests what opening `node` reads, its children's boxes or its leaf's points, so that
    // their cache lines arrive together rather than one after another.
    const auto request = [=](std::size_t node) {
        if constexpr (!keyed) {
            return;  // the boxes and points lie in the caches
        }
        if (node < first_leaf) {
            request_children(boxes, node);
            return;
        }
        const std::size_t begin = std::min((node - first_leaf) * leaf_segments, segments);
        const std::size_t end = std::min(begin + leaf_segments, segments);
        request_lines(reinterpret_cast<const char*>(xs + begin * sx),
                      reinterpret_cast<const char*>(xs + end * sx + 1));
        if (!paired) {
            request_lines(reinterpret_cast<const char*>(ys + begin * sy),
                          reinterpret_cast<const char*>(ys + end * sy + 1));
        }
    };
    // The boxes waiting, four siblings to a group: their gaps side by side and the first
    // sibling's node, pushed as squared_gaps4 writes them and looked through a group at a
    // time. A box opened or given up has a NaN gap, or lies above `top`. Box by box, a gap and
    // a node each, pushed and popped one at a time, the stack had taken about a third of a
    // search's instructions outside its leaves (100 fixes on a 1e4-point route). The first descent may turn to boxes waiting anywhere below it, so
    // its depth has no bound from the tree's height: a search whose stack is full is answered
    // by nearest_clamped instead (300 fixes on a 1e7-point route had overrun 100 boxes).
    constexpr std::size_t stack_groups = 64;
    constexpr double opened = std::numeric_limits<double>::quiet_NaN();
    alignas(64) double gaps[4 * stack_groups];
    std::size_t firsts[stack_groups];
    for (std::size_t k = 0; k < queries.size(); ++k) {
        const Point query = queries[k];
        if (!std::isfinite(query.x) || !std::isfinite(query.y)) {
            feet[k].reset();  // as nearest_clamped
            continue;
        }
        std::size_t node = 0;
        std::size_t top = 0;  // the boxes below it wait, at their places 4 * group + sibling
        std::size_t work = 0;
        // Until a foot bounds the search, the next box is the nearest child or the nearest
        // waiting box where that is nearer still: the first foot is then about always the
        // answer (a depth-first descent had found it for half the fixes on a 1e4-point route,
        // and a quarter on 1e6).
        double waiting_gap = infinity;
        std::size_t waiting_at = 0;
        // or the three nearest, as waiting_key gives them: fewer missed the nearest waiting
        // more often, more cost more to keep (300 noisy fixes on a 1e6-point route, CPU time a
        // call, loaded machine: two 122 us, three 111, four 115, six 152)
        constexpr std::size_t tracked = 3;
        std::uint64_t near[tracked];
        std::fill(near, near + tracked, waiting_none);
        bool answered = false;
        while (node < first_leaf) {
            if (top == 4 * stack_groups || work > budget) [[unlikely]] {
                feet[k] = work > budget ? nearest_clamped_scan(points, query)
                                        : nearest_clamped(points, query);
                answered = true;
                break;
            }
            // Where the boxes lie in the caches, measured into registers and copied onto the
            // stack: read back from there, the gaps had lengthened the chain of the descent's
            // steps by a store's forwarding (on a long route they had cost more copied).
            const std::size_t first = 4 * node + 1;
            double measured[4];
            double* const g = keyed ? gaps + top : measured;
            squared_gaps4(boxes + first, query, g);
            if constexpr (!keyed) {
                std::memcpy(gaps + top, g, sizeof measured);
            }
            std::size_t nearest = 0;
            for (std::size_t c = 1; c < 4; ++c) {
                nearest = g[c] < g[nearest] ? c : nearest;
            }
            work += 4;
            firsts[top / 4] = first;
            const double near_gap = g[nearest];
            std::size_t taken = top + nearest;
            if constexpr (keyed) {
                // Ordered by their gaps' leading bits, their places on the stack below, as
                // integers: selects rather than branches, which on a long route mispredict
                // (1e6 points: 395 against 426 ns a fix). The nearest alone had cost about
                // twice the instructions there, and the nearest child alone three times the
                // time.
                const auto insert = [&](std::uint64_t key) {
                    for (std::size_t j = tracked; j-- > 1;) {
                        near[j] = std::min(near[j], std::max(near[j - 1], key));
                    }
                    near[0] = std::min(near[0], key);
                };
                for (std::size_t c = 0; c < 4; ++c) {
                    insert(waiting_key(g[c], top + c) | (std::uint64_t{0} - (c == nearest)));
                }
                if (near[0] < waiting_key(near_gap, 0)) {
                    taken = near[0] & 0xffffffffu;
                    for (std::size_t j = 0; j + 1 < tracked; ++j) {
                        near[j] = near[j + 1];
                    }
                    near[tracked - 1] = waiting_none;
                    insert(waiting_key(near_gap, top + nearest));
                }
            } else {
                // Where the boxes lie in the caches, the nearest waiting alone, which costs
                // less to keep than two (1e4 points: 124 against 129 ns a fix).
                for (std::size_t c = 0; c < 4; ++c) {
                    const bool nearer = c != nearest && g[c] < waiting_gap;
                    waiting_gap = nearer ? g[c] : waiting_gap;
                    waiting_at = nearer ? top + c : waiting_at;
                }
                if (waiting_gap < near_gap) {
                    taken = waiting_at;
                    waiting_gap = infinity;
                }
            }
            // Where the boxes lie in the caches, the nearest child in a register unless a
            // waiting box was taken, which it seldom is; on a long route, where it often is,
            // from the stack without a branch.
            if constexpr (keyed) {
                top += 4;
                node = firsts[taken / 4] + taken % 4;
            } else {
                node = taken == top + nearest ? first + nearest : firsts[taken / 4] + taken % 4;
                top += 4;
            }
            gaps[taken] = opened;
            request(node);
        }
        if (answered) {
            continue;
        }
        // The rest depth first from the first leaf, nearest child first, with the boxes
        // waiting within the bound.
        ClampedSearch search;
        for (;;) {
            if (node >= first_leaf) {
                const std::size_t begin = std::min((node - first_leaf) * leaf_segments, segments);
                const std::size_t end = std::min(begin + leaf_segments, segments);
                search.examine_leaf(points, begin, end, query);
                work += leaf_segments;
            } else {
                const std::size_t at = (top + 3) & ~std::size_t{3};
                if (at == 4 * stack_groups) [[unlikely]] {
                    feet[k] = nearest_clamped(points, query);
                    answered = true;
                    break;
                }
                const std::size_t first = 4 * node + 1;
                double measured[4];
                double* const g = keyed ? gaps + at : measured;
                // Written out as in the first descent above: through one inlined function the
                // two loops had kept fewer of their values in registers (compared object code).
                squared_gaps4(boxes + first, query, g);
                std::size_t nearest = 0;
                for (std::size_t c = 1; c < 4; ++c) {
                    nearest = g[c] < g[nearest] ? c : nearest;
                }
                work += 4;
                // Where the nearest child lies beyond the bound, so do its siblings.
                if (g[nearest] <= search.limit && work <= budget) {
                    firsts[at / 4] = first;
                    g[nearest] = opened;
                    if constexpr (!keyed) {
                        std::memcpy(gaps + at, g, sizeof measured);
                    }
                    top = at + 4;
                    node = first + nearest;
                    request(node);
                    continue;
                }
            }
            if (work > budget) [[unlikely]] {
                feet[k] = nearest_clamped_scan(points, query);
                answered = true;
                break;
            }
            // The highest waiting box within the bound, which may have fallen since the boxes
            // below were put aside.
            if (!pop_within(gaps, top, search.limit)) {
                break;
            }
            node = firsts[top / 4] + top % 4;
            gaps[top] = opened;  // its group may lie below `top` again
            request(node);
        }
        if (!answered) {
            feet[k] = search.result();
        }
    }
}

void SegmentIndex::nearest_clamped_each(const PointView& points, std::span<const Point> queries,
                                        std::optional<ClampedFoot>* feet) const {
    // One search at a time, its state in registers. Two or more in turn, switching between
    // states kept in memory, had overlapped their waits for the caches but cost more than that
    // hid (CPU time a call, loaded machine; 100 noisy fixes on a 1e4-point route: two in turn
    // 13.1 us, two in lockstep 12.9, one 11.8, one with its stack in groups 11.2; 300 on a
    // 1e6-point route: 127, 135, 127 and 122 us).
    if (cached(points)) {
        nearest_clamped_alone<false>(points, queries, feet);
    } else {
        nearest_clamped_alone<true>(points, queries, feet);
    }
}

bool SegmentIndex::cached(const PointView& points) const noexcept {
    return bytes() + points.size() * 2 * sizeof(double) <= cached_bytes;
}

std::optional<Projection> LazySegmentIndex::nearest_segment(const PointView& points, Point query) {
    const SegmentIndex* index = for_batch(points, 1);
    return index ? index->nearest_segment(points, query) : nearest_segment_scan(points, query);
}

namespace {

// Which of the four boxes from `boxes` lie within squared gap `limit` of `region`: bit c for box
// c, the gaps squared_gaps4's.
struct GroupWithin {
    unsigned operator()(const SegmentIndex::Box* boxes, const SegmentIndex::Box& region,
                        double limit) const noexcept {
        double gaps[4];
        squared_gaps4(boxes, region, gaps);
        unsigned within = 0;
        for (unsigned c = 0; c < 4; ++c) {
            within |= static_cast<unsigned>(gaps[c] <= limit) << c;
        }
        return within;
    }
};

#if defined(__GNUC__) && defined(__x86_64__)
// The same in AVX2, two boxes a vector: the operations of squared_gaps4 lane by lane (max(b, a)
// as there, x^2 + y^2 summed by hadd), so the same gaps. Walking to the leaves near lone fixes
// on a long route is mostly these gaps, a group of four boxes a level.
struct GroupWithinWide {
    __attribute__((target("avx2"))) unsigned operator()(const SegmentIndex::Box* boxes,
                                                        const SegmentIndex::Box& region,
                                                        double limit) const noexcept {
        const __m128d low2 = _mm_loadu_pd(&region.x_low);
        const __m128d high2 = _mm_loadu_pd(&region.x_high);
        const __m256d low = _mm256_insertf128_pd(_mm256_castpd128_pd256(low2), low2, 1);
        const __m256d high = _mm256_insertf128_pd(_mm256_castpd128_pd256(high2), high2, 1);
        const __m256d zero = _mm256_setzero_pd();
        __m256d squares[2];
        for (std::size_t pair = 0; pair < 2; ++pair) {
            const SegmentIndex::Box* b = boxes + 2 * pair;
            const __m256d b_low = _mm256_insertf128_pd(
                _mm256_castpd128_pd256(_mm_loadu_pd(&b[0].x_low)), _mm_loadu_pd(&b[1].x_low), 1);
            const __m256d b_high = _mm256_insertf128_pd(
                _mm256_castpd128_pd256(_mm_loadu_pd(&b[0].x_high)), _mm_loadu_pd(&b[1].x_high), 1);
            const __m256d below = _mm256_sub_pd(b_low, high);
            const __m256d above = _mm256_sub_pd(low, b_high);
            const __m256d g = _mm256_max_pd(zero, _mm256_max_pd(above, below));
            squares[pair] = _mm256_mul_pd(g, g);
        }
        // (gaps 0, 2, 1, 3), put back in order.
        const __m256d gaps = _mm256_permute4x64_pd(_mm256_hadd_pd(squares[0], squares[1]), 0xd8);
        return static_cast<unsigned>(
            _mm256_movemask_pd(_mm256_cmp_pd(gaps, _mm256_set1_pd(limit), _CMP_LE_OQ)));
    }
};
#endif

// SegmentIndex::leaves_near's walk below the root, the groups measured by `within`.
template <class Within>
std::size_t walk_to_leaves(const SegmentIndex::Box* boxes, std::size_t first_leaf,
                           const SegmentIndex::Box& region, double limit,
                           std::span<std::size_t> leaves, Within within) {
    // Depth first, left before right: the leaves come out in segment order. A node's four
    // children are measured together as it is opened, and only those within the limit wait:
    // tested one by one as they were taken, they had taken half the search of a batch of fixes
    // a hundred route points apart (2,000 on a 2e5-point route).
    std::size_t found = 0;
    std::size_t stack[128];  // three waiting nodes a level at most, and four at the last
    std::size_t depth = 0;
    stack[depth++] = 0;
    while (depth > 0) {
        const std::size_t first = 4 * stack[--depth] + 1;
        // Each child tested by a branch of its own: what the walk reads next then depends on
        // predicted branches alone, not on the gaps (taking the children from the bits of the
        // mask, 300 lone fixes on a 1e6-point route had taken 90 against 66 us a call).
        const unsigned near = within(boxes + first, region, limit);
        if (first >= first_leaf) {
            for (std::size_t c = 0; c < 4; ++c) {
                if ((near >> c & 1u) == 0) {
                    continue;
                }
                if (found == leaves.size()) {
                    return leaves.size() + 1;
                }
                leaves[found++] = first + c - first_leaf;
            }
            continue;
        }
        for (std::size_t c = 4; c-- > 0;) {
            if ((near >> c & 1u) != 0) {
                // Its children are requested now, a level ahead of their use, as in descend.
                request_children(boxes, first + c);
                stack[depth++] = first + c;
            }
        }
    }
    return found;
}

#if defined(__GNUC__) && defined(__x86_64__)
// The walk compiled for AVX2 whole, so that the wide gaps inline into it.
__attribute__((target("avx2"), flatten)) std::size_t walk_to_leaves_wide(
    const SegmentIndex::Box* boxes, std::size_t first_leaf, const SegmentIndex::Box& region,
    double limit, std::span<std::size_t> leaves) {
    return walk_to_leaves(boxes, first_leaf, region, limit, leaves, GroupWithinWide{});
}
#endif

}  // namespace

std::size_t SegmentIndex::leaves_near(const Box& region, double limit,
                                      std::span<std::size_t> leaves) const {
    if (!(squared_gap(m_boxes[0], region) <= limit)) {
        return 0;
    }
    if (m_first_leaf == 0) {  // the root is the one leaf
        if (!leaves.empty()) {
            leaves[0] = 0;
        }
        return 1;
    }
#if defined(__GNUC__) && defined(__x86_64__)
    if (has_avx2()) {
        return walk_to_leaves_wide(m_boxes.data(), m_first_leaf, region, limit, leaves);
    }
#endif
    return walk_to_leaves(m_boxes.data(), m_first_leaf, region, limit, leaves, GroupWithin{});
}

const SegmentIndex* LazySegmentIndex::for_batch(const PointView& points, std::size_t queries) {
    if (!m_index && queries > 0) {
        const std::size_t segments = points.size() < 2 ? 0 : points.size() - 1;
        if (segments < (queries < 2 ? min_indexed_segments : min_batch_segments)) {
            return nullptr;
        }
        // A batch of several queries pays for the build at once, as a run of single queries does.
        if (queries < 2 && m_scanned < build_cost_in_scans * segments) {
            m_scanned += segments;
            return nullptr;
        }
        try {
            m_index = std::make_shared<const SegmentIndex>(SegmentIndex::build(points));
        } catch (const std::bad_alloc&) {
            // The index only saves time: without room for it, scan, and try again later.
            m_scanned = 0;
            return nullptr;
        }
    }
    return m_index.get();
}

}  // namespace korvane
