// src/path2d/segment_index.cpp: nearest candidate segment by scan and by box hierarchy
#include "path2d/segment_index.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "util/memory.hpp"

namespace korvane {

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

// Segments per leaf box: long enough that walking the tree costs little next to testing the
// segments, short enough that a query near the path tests a few dozen.
constexpr std::size_t leaf_segments = 16;
// Below this the scan takes about a microsecond and an index saves nothing worth its memory.
constexpr std::size_t min_indexed_segments = 512;
// A build costs about as much as this many scans (measured); the index is built once the
// scans made for a path add up to that, so a single query never pays for it, and any run of
// queries costs at most about twice what it would with the better choice made in advance.
constexpr std::size_t build_cost_in_scans = 1;

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
        for (std::size_t i = begin; i < stop; ++i) {
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

// The gap along one axis between a point or box and a box, from the two differences of their
// sides: at most one is positive. Two plain maxima, which compile to instructions rather than
// the branches a list's maximum takes.
double gap(double below, double above) noexcept {
    return std::max(std::max(below, above), 0.0);
}

// The box around the finite points among `queries`.
template <class Box>
Box bounds(std::span<const Point> queries) noexcept {
    Box region{infinity, infinity, -infinity, -infinity};
    for (const Point q : queries) {
        if (std::isfinite(q.x) && std::isfinite(q.y)) {
            region = Box{std::min(region.x_low, q.x), std::min(region.y_low, q.y),
                         std::max(region.x_high, q.x), std::max(region.y_high, q.y)};
        }
    }
    return region;
}

// The squared gap between two boxes. That of a box to the box of some queries rounds no higher
// than its gap to any of them, or to any box inside.
template <class Box>
double squared_gap(const Box& b, const Box& r) noexcept {
    const double gx = gap(b.x_low - r.x_high, r.x_low - b.x_high);
    const double gy = gap(b.y_low - r.y_high, r.y_low - b.y_high);
    return gx * gx + gy * gy;
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
    Nearest nearest;
    double limit = infinity;

    void examine(const PointView& p, std::size_t begin, std::size_t end, Point query) {
        if (examine_segments(p, begin, end, query, nearest)) {
            limit = square_limit(nearest.projection->distance);
        }
    }
};

#if defined(__SSE2__) && defined(__GNUC__)
#define KORVANE_VECTOR_MEASURE 1

// The squared distances of the clamped feet on segments from a to b, and their t, in the
// operations and order of ClampedSearch::clamped_foot, lane by lane: V is one of the compiler's
// vectors of doubles, whose operators work lane by lane and whose comparisons select lanes.
// Inlined into each caller, so that the vectors take the caller's instructions.
template <class V>
[[gnu::always_inline]] inline void squared_feet(const V& ax, const V& ay, const V& bx, const V& by,
                                                Point query, V& out, V& clamped) noexcept {
    const V zero{};
    const V one = zero + 1.0;
    const V dx = bx - ax;
    const V dy = by - ay;
    const V squared_length = dx * dx + dy * dy;
    const V ratio = ((query.x - ax) * dx + (query.y - ay) * dy) / squared_length;
    V t = squared_length > zero ? ratio : zero;
    t = zero > t ? zero : t;
    t = t > one ? one : t;
    const V ex = (ax + t * dx) - query.x;
    const V ey = (ay + t * dy) - query.y;
    out = ex * ex + ey * ey;
    clamped = t;
}

// Two segments at a time: their squared distances (squared_feet) for k < n in steps of two, the
// points either in two lists (stride 1) or in one list of pairs (stride 2). Stores them in out
// and their t in ts, lowers `lowest` to the lowest number among them and returns how many it
// measured.
std::size_t measure_pairs(const double* x, const double* y, std::size_t stride, std::size_t i,
                          std::size_t n, Point query, double* out, double* ts,
                          double& lowest) noexcept {
    __m128d low = _mm_set1_pd(lowest);
    std::size_t k = 0;
    for (; k + 2 <= n; k += 2) {
        const std::size_t j = i + k;
        __m128d ax, ay, bx, by, squared, t;
        if (stride == 1) {
            ax = _mm_loadu_pd(x + j);
            bx = _mm_loadu_pd(x + j + 1);
            ay = _mm_loadu_pd(y + j);
            by = _mm_loadu_pd(y + j + 1);
        } else {
            const __m128d p0 = _mm_loadu_pd(x + 2 * j);
            const __m128d p1 = _mm_loadu_pd(x + 2 * j + 2);
            const __m128d p2 = _mm_loadu_pd(x + 2 * j + 4);
            ax = _mm_unpacklo_pd(p0, p1);
            ay = _mm_unpackhi_pd(p0, p1);
            bx = _mm_unpacklo_pd(p1, p2);
            by = _mm_unpackhi_pd(p1, p2);
        }
        squared_feet(ax, ay, bx, by, query, squared, t);
        _mm_storeu_pd(out + k, squared);
        _mm_storeu_pd(ts + k, t);
        low = _mm_min_pd(squared, low);  // squared < low ? squared : low: NaN passed over
    }
    double lanes[2];
    _mm_storeu_pd(lanes, low);
    lowest = lanes[1] < lanes[0] ? lanes[1] : lanes[0];
    return k;
}
#endif

#if defined(KORVANE_VECTOR_MEASURE) && defined(__x86_64__)
#define KORVANE_WIDE_MEASURE 1

// The same four at a time, where the processor has AVX2 (the target enables no fused
// multiply-add, so every operation rounds as it does alone).
__attribute__((target("avx2"))) std::size_t measure_wide(const double* x, const double* y,
                                                         std::size_t stride, std::size_t i,
                                                         std::size_t n, Point query, double* out,
                                                         double* ts, double& lowest) noexcept {
    __m256d low = _mm256_set1_pd(lowest);
    std::size_t k = 0;
    for (; k + 4 <= n; k += 4) {
        const std::size_t j = i + k;
        __m256d ax, ay, bx, by, squared, t;
        if (stride == 1) {
            ax = _mm256_loadu_pd(x + j);
            bx = _mm256_loadu_pd(x + j + 1);
            ay = _mm256_loadu_pd(y + j);
            by = _mm256_loadu_pd(y + j + 1);
        } else {
            // Pairs (x, y) in a row: split into x and y, then put the lanes back in order.
            const __m256d p01 = _mm256_loadu_pd(x + 2 * j);
            const __m256d p23 = _mm256_loadu_pd(x + 2 * j + 4);
            const __m256d p12 = _mm256_loadu_pd(x + 2 * j + 2);
            const __m256d p34 = _mm256_loadu_pd(x + 2 * j + 6);
            ax = _mm256_permute4x64_pd(_mm256_unpacklo_pd(p01, p23), 0xd8);
            ay = _mm256_permute4x64_pd(_mm256_unpackhi_pd(p01, p23), 0xd8);
            bx = _mm256_permute4x64_pd(_mm256_unpacklo_pd(p12, p34), 0xd8);
            by = _mm256_permute4x64_pd(_mm256_unpackhi_pd(p12, p34), 0xd8);
        }
        squared_feet(ax, ay, bx, by, query, squared, t);
        _mm256_storeu_pd(out + k, squared);
        _mm256_storeu_pd(ts + k, t);
        low = _mm256_min_pd(squared, low);
    }
    double lanes[4];
    _mm256_storeu_pd(lanes, low);
    for (const double lane : lanes) {
        lowest = lane < lowest ? lane : lowest;
    }
    return k;
}

bool has_avx2() noexcept {
    static const bool found = __builtin_cpu_supports("avx2");
    return found;
}
#endif

// The search for the nearest clamped foot. A candidate replaces the best when its squared
// distance is lower, or equal with a lower index, as in Nearest; a NaN never does. The foot
// a + t (b - a), 0 <= t <= 1, lies in the segment's box as the projection's does, and the squared
// distance is compared directly, so the limit is the best squared distance itself.
struct ClampedSearch {
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

    // As examine, for a run of segments near the query: every foot is measured, two at a time
    // where the coordinates lie one or two doubles apart, and only the nearest is taken.
    void examine_near(const PointView& p, std::size_t begin, std::size_t end, Point query) {
        double squared[leaf_run];
        double ts[leaf_run];
        for (std::size_t i = begin; i < end; i += leaf_run) {
            const std::size_t n = std::min(leaf_run, end - i);
            // The lowest of the numbers (NaN passed over), and the first segment at it.
            const double lowest = measure(p, i, n, query, squared, ts);
            const std::size_t k = first_equal(squared, n, lowest);
            if (k < n && (lowest < best.squared_distance ||
                          (lowest == best.squared_distance && i + k < best.index))) {
                // The foot as clamped_foot places it, at the t measured.
                const Point a = p[i + k];
                const Point b = p[i + k + 1];
                best = ClampedFoot{i + k, ts[k],
                                   Point{a.x + ts[k] * (b.x - a.x), a.y + ts[k] * (b.y - a.y)},
                                   lowest};
                limit = best.squared_distance;
            }
        }
    }

    static constexpr std::size_t leaf_run = 16;

    // The first k < n with values[k] == v, or n.
    static std::size_t first_equal(const double* values, std::size_t n, double v) noexcept {
        std::size_t k = 0;
#if defined(__SSE2__)
        const __m128d target = _mm_set1_pd(v);
        unsigned mask = 0;
        for (; k + 2 <= n; k += 2) {
            mask |= static_cast<unsigned>(
                        _mm_movemask_pd(_mm_cmpeq_pd(_mm_loadu_pd(values + k), target)))
                    << k;
        }
        if (mask != 0) {
            return static_cast<std::size_t>(std::countr_zero(mask));
        }
#endif
        while (k < n && !(values[k] == v)) {
            ++k;
        }
        return k;
    }

    // clamped_foot(p, i + k, query)'s squared distance into out[k] and its t into ts[k] for
    // k < n; returns the lowest distance that is a number, infinity where none is.
    static double measure(const PointView& p, std::size_t i, std::size_t n, Point query,
                          double* out, double* ts) noexcept {
        const double* x = p.x().first();
        const double* y = p.y().first();
        const std::size_t stride = p.x().stride();
        std::size_t k = 0;
        double lowest = infinity;
        const bool in_rows =
            stride == p.y().stride() && (stride == 1 || (stride == 2 && y == x + 1));
#if defined(KORVANE_WIDE_MEASURE)
        if (in_rows && has_avx2()) {
            k = measure_wide(x, y, stride, i, n, query, out, ts, lowest);
        }
#endif
#if defined(KORVANE_VECTOR_MEASURE)
        if (in_rows) {
            k += measure_pairs(x, y, stride, i + k, n - k, query, out + k, ts + k, lowest);
        }
#endif
        for (; k < n; ++k) {
            const ClampedFoot foot = clamped_foot(p, i + k, query);
            out[k] = foot.squared_distance;
            ts[k] = foot.t;
            lowest = out[k] < lowest ? out[k] : lowest;
        }
        return lowest;
    }

    // Where a zero-length segment has no direction to measure t along, its foot is its point.
    static ClampedFoot clamped_foot(const PointView& p, std::size_t i, Point query) noexcept {
        const Point a = p[i];
        const double dx = p[i + 1].x - a.x;
        const double dy = p[i + 1].y - a.y;
        const double squared_length = dx * dx + dy * dy;
        // Selected rather than branched on: near a query the clamps apply to about every other
        // segment, and a branch on them mispredicts as often.
        const double ratio = ((query.x - a.x) * dx + (query.y - a.y) * dy) / squared_length;
        double t = squared_length > 0.0 ? ratio : 0.0;
        t = 0.0 > t ? 0.0 : t;
        t = t > 1.0 ? 1.0 : t;
        const Point foot{a.x + t * dx, a.y + t * dy};
        const double ex = foot.x - query.x;
        const double ey = foot.y - query.y;
        return ClampedFoot{i, t, foot, ex * ex + ey * ey};
    }
};

// Boxes waiting to be opened, nearest first, in a binary heap of fixed size: a search that
// would need more room gives up and scans instead.
class PendingBoxes {
public:
    struct Box {
        double squared_gap;
        std::size_t node;
        bool operator<(const Box& o) const noexcept { return squared_gap > o.squared_gap; }
    };

    bool empty() const noexcept { return m_size == 0; }
    /// The squared gap of the nearest waiting box; the queue must not be empty.
    double nearest_gap() const noexcept { return m_heap[0].squared_gap; }
    /// Adds a box; false, adding nothing, when the queue is full.
    bool push(std::size_t node, double squared_gap) noexcept {
        if (m_size == capacity) {
            return false;
        }
        m_heap[m_size++] = Box{squared_gap, node};
        std::push_heap(m_heap, m_heap + m_size);
        return true;
    }
    /// Takes the nearest box out; the queue must not be empty.
    Box pop() noexcept {
        std::pop_heap(m_heap, m_heap + m_size);
        return m_heap[--m_size];
    }

private:
    static constexpr std::size_t capacity = 256;
    Box m_heap[capacity];
    std::size_t m_size = 0;
};

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
    index.m_first_leaf = std::bit_ceil(leaves);
    require_memory(2 * index.m_first_leaf, sizeof(Box));
    index.m_boxes.resize(2 * index.m_first_leaf);
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
    for (std::size_t leaf = 0; leaf < index.m_first_leaf; ++leaf) {
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
    for (std::size_t k = index.m_first_leaf - 1; k >= 1; --k) {
        const Box& l = boxes[2 * k];
        const Box& r = boxes[2 * k + 1];
        boxes[k] = Box{std::min(l.x_low, r.x_low), std::min(l.y_low, r.y_low),
                       std::max(l.x_high, r.x_high), std::max(l.y_high, r.y_high)};
    }
    return index;
}

// Opens the boxes nearest first and hands their segments to `search`, which keeps the best
// candidate and the squared gap beyond which no box can hold a better one (`limit`). False
// when the boxes do not separate the candidates well enough: the caller then scans.
template <class Search>
bool SegmentIndex::descend(const PointView& points, Point query, Search& search) const {
    const std::size_t segments = points.size() < 2 ? 0 : points.size() - 1;
    const PointView& p = points;
    const Box* boxes = m_boxes.data();
    // The squared gap between the query and a box has the shape of the squared distance, so
    // it rounds no higher than that of any foot inside the box.
    const Box at{query.x, query.y, query.x, query.y};
    // Where boxes do not separate the candidates (no candidate at all, or all of them about
    // equally far, as from the centre of a loop), the search gives up after this much work,
    // counted in segment tests, and scans: such a query costs at most about 1.1 scans.
    const std::size_t budget = segments / 16;
    std::size_t work = 0;

    // Boxes are opened nearest first, so the candidate near the query is found before the
    // boxes around it, which all contain the query where the path winds, are opened.
    PendingBoxes pending;
    std::size_t node = 1;
    for (;;) {
        if (work > budget) {
            return false;
        }
        if (node >= m_first_leaf) {
            const std::size_t begin = std::min((node - m_first_leaf) * leaf_segments, segments);
            const std::size_t end = std::min(begin + leaf_segments, segments);
            search.examine(p, begin, end, query);
            work += leaf_segments;
        } else {
            // Both children's children are requested now, a level ahead of their use: on a
            // path larger than the caches the descent would otherwise wait on memory each level.
            if (4 * node < m_first_leaf) {
                __builtin_prefetch(&boxes[4 * node]);
                __builtin_prefetch(&boxes[4 * node + 2]);
            }
            std::size_t near = 2 * node;
            std::size_t far = near + 1;
            double near_gap = squared_gap(boxes[near], at);
            double far_gap = squared_gap(boxes[far], at);
            if (far_gap < near_gap) {
                std::swap(near, far);
                std::swap(near_gap, far_gap);
            }
            work += 2;
            if (far_gap <= search.limit && !pending.push(far, far_gap)) {
                return false;
            }
            // The nearer child goes on at once while no waiting box is nearer still, so a
            // descent through the tree costs no queue operations.
            if (near_gap <= search.limit) {
                if (pending.empty() || near_gap <= pending.nearest_gap()) {
                    node = near;
                    continue;
                }
                if (!pending.push(near, near_gap)) {
                    return false;
                }
            }
        }
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
                                                         std::optional<std::size_t> hint) const {
    // As above: a non-finite query coordinate makes every distance NaN or infinite.
    if (!std::isfinite(query.x) || !std::isfinite(query.y)) {
        return std::nullopt;
    }
    ClampedSearch search;
    if (hint && *hint + 1 < points.size()) {
        search.start_from(points, *hint, query);
    }
    if (!descend(points, query, search)) {
        return nearest_clamped_scan(points, query);
    }
    return search.result();
}

std::optional<Projection> LazySegmentIndex::nearest_segment(const PointView& points, Point query) {
    const SegmentIndex* index = for_batch(points, 1);
    return index ? index->nearest_segment(points, query) : nearest_segment_scan(points, query);
}

namespace {

// Boxes in columns, room for N.
template <std::size_t N>
struct BoxColumns {
    double x_low[N];
    double y_low[N];
    double x_high[N];
    double y_high[N];
};

// squared_gap(box j, the point q) into out[j] for j < count, several at a time where the
// compiler's vectors allow: the same operations, lane by lane.
template <std::size_t N>
void squared_gaps(const BoxColumns<N>& boxes, std::size_t count, Point q, double* out) noexcept {
    std::size_t j = 0;
#if defined(KORVANE_VECTOR_MEASURE)
    for (; j + 2 <= count; j += 2) {
        const __m128d zero = _mm_setzero_pd();
        const __m128d qx = _mm_set1_pd(q.x);
        const __m128d qy = _mm_set1_pd(q.y);
        // gap(below, above): _mm_max_pd(a, b) is a > b ? a : b, so _mm_max_pd(above, below)
        // is std::max(below, above) and _mm_max_pd(0, m) is std::max(m, 0.0), NaN included.
        const __m128d gx =
            _mm_max_pd(zero, _mm_max_pd(_mm_sub_pd(qx, _mm_loadu_pd(boxes.x_high + j)),
                                        _mm_sub_pd(_mm_loadu_pd(boxes.x_low + j), qx)));
        const __m128d gy =
            _mm_max_pd(zero, _mm_max_pd(_mm_sub_pd(qy, _mm_loadu_pd(boxes.y_high + j)),
                                        _mm_sub_pd(_mm_loadu_pd(boxes.y_low + j), qy)));
        _mm_storeu_pd(out + j, _mm_add_pd(_mm_mul_pd(gx, gx), _mm_mul_pd(gy, gy)));
    }
#endif
    for (; j < count; ++j) {
        const double gx = gap(boxes.x_low[j] - q.x, q.x - boxes.x_high[j]);
        const double gy = gap(boxes.y_low[j] - q.y, q.y - boxes.y_high[j]);
        out[j] = gx * gx + gy * gy;
    }
}

}  // namespace

std::size_t SegmentIndex::leaves_near(const Box& region, double limit, std::size_t* leaves,
                                      std::size_t capacity) const {
    // Depth first, left before right: the leaves come out in segment order.
    std::size_t found = 0;
    std::size_t stack[64];
    std::size_t depth = 0;
    stack[depth++] = 1;
    while (depth > 0) {
        const std::size_t node = stack[--depth];
        if (!(squared_gap(m_boxes[node], region) <= limit)) {
            continue;
        }
        if (node < m_first_leaf) {
            stack[depth++] = 2 * node + 1;
            stack[depth++] = 2 * node;
        } else if (found < capacity) {
            leaves[found++] = node;
        } else {
            return capacity + 1;
        }
    }
    return found;
}

bool SegmentIndex::crowded(Point centre, double reach) const {
    std::size_t leaves[batch_leaves];
    const double half = reach / 2.0;
    const Box region{centre.x - half, centre.y - half, centre.x + half, centre.y + half};
    return leaves_near(region, reach * reach, leaves, batch_leaves) > batch_leaves;
}

void SegmentIndex::nearest_clamped_batch(const PointView& points, std::span<const Point> queries,
                                         std::span<const std::size_t> runs, double reach,
                                         std::optional<std::size_t> hint,
                                         std::optional<ClampedFoot>* out) const {
    const std::size_t segments = points.size() < 2 ? 0 : points.size() - 1;
    const auto one_by_one = [&](std::span<const Point> some, std::optional<ClampedFoot>* into) {
        for (std::size_t k = 0; k < some.size(); ++k) {
            into[k] = nearest_clamped(points, some[k], hint);
            hint = into[k] ? std::optional<std::size_t>(into[k]->index) : hint;
        }
    };
    const double limit = reach * reach;
    if (!(limit < infinity)) {
        return one_by_one(queries, out);
    }
    // One walk down the tree for all runs: the leaves near each run are among those near all.
    constexpr std::size_t max_shared = 256;
    std::size_t shared[max_shared];
    const std::size_t shared_count =
        runs.size() > 1 ? leaves_near(bounds<Box>(queries), limit, shared, max_shared)
                        : max_shared + 1;
    std::size_t first = 0;
    for (const std::size_t run : runs) {
        const std::span<const Point> near = queries.subspan(first, run);
        std::optional<ClampedFoot>* near_out = out + first;
        first += run;
        const Box region = bounds<Box>(near);
        constexpr std::size_t max_leaves = batch_leaves;
        std::size_t leaves[max_leaves];
        std::size_t found = 0;
        if (shared_count <= max_shared) {
            for (std::size_t j = 0; j < shared_count && found <= max_leaves; ++j) {
                if (squared_gap(m_boxes[shared[j]], region) <= limit) {
                    if (found < max_leaves) {
                        leaves[found] = shared[j];
                    }
                    ++found;
                }
            }
        } else {
            found = leaves_near(region, limit, leaves, max_leaves);
        }
        if (found > max_leaves) {
            // The boxes do not separate the candidates near these queries.
            one_by_one(near, near_out);
            continue;
        }
        // The run's leaf boxes side by side, for measuring their gaps to each query at once.
        BoxColumns<max_leaves> boxes;
        for (std::size_t j = 0; j < found; ++j) {
            const Box& b = m_boxes[leaves[j]];
            boxes.x_low[j] = b.x_low;
            boxes.y_low[j] = b.y_low;
            boxes.x_high[j] = b.x_high;
            boxes.y_high[j] = b.y_high;
        }
        double gaps_of[max_leaves];
        for (std::size_t k = 0; k < near.size(); ++k) {
            const Point q = near[k];
            if (!std::isfinite(q.x) || !std::isfinite(q.y)) {
                near_out[k] = std::nullopt;
                continue;
            }
            ClampedSearch search;
            search.limit = limit;
            // The leaves within reach, nearest first: the one holding the answer then usually
            // tightens the limit past the others. Each turn picks the nearest left, without
            // branches; most queries take two turns.
            squared_gaps(boxes, found, q, gaps_of);
            for (;;) {
                std::size_t nearest = 0;
                double g = infinity;
                for (std::size_t j = 0; j < found; ++j) {
                    nearest = gaps_of[j] < g ? j : nearest;
                    g = gaps_of[j] < g ? gaps_of[j] : g;
                }
                if (!(g <= search.limit)) {
                    break;
                }
                gaps_of[nearest] = infinity;
                const std::size_t begin =
                    std::min((leaves[nearest] - m_first_leaf) * leaf_segments, segments);
                search.examine_near(points, begin, std::min(begin + leaf_segments, segments), q);
            }
            // A nearest foot beyond reach may lie in a leaf not gathered.
            near_out[k] = search.best.squared_distance <= limit ? search.result()
                                                                : nearest_clamped(points, q, hint);
            if (near_out[k]) {
                hint = near_out[k]->index;
            }
        }
    }
}

const SegmentIndex* LazySegmentIndex::for_batch(const PointView& points, std::size_t queries) {
    if (!m_index && queries > 0) {
        const std::size_t segments = points.size() < 2 ? 0 : points.size() - 1;
        if (segments < min_indexed_segments) {
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
