// src/path2d/segment_index.cpp: nearest candidate segment by scan and by box hierarchy
#include "path2d/segment_index.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>

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

std::optional<Projection> SegmentIndex::nearest_segment(const PointView& points,
                                                        Point query) const {
    // A NaN or infinite query coordinate makes every numerator NaN or infinite, so every t is
    // NaN or infinite: no candidate anywhere.
    if (!std::isfinite(query.x) || !std::isfinite(query.y)) {
        return std::nullopt;
    }
    const std::size_t segments = points.size() < 2 ? 0 : points.size() - 1;
    const PointView& p = points;
    const Box* boxes = m_boxes.data();
    // Squared gap between the query and a box, in the shape of the squared distance, so that
    // it rounds no higher than that of any foot inside the box.
    const auto squared_gap = [query](const Box& b) {
        const double gx = std::max({b.x_low - query.x, query.x - b.x_high, 0.0});
        const double gy = std::max({b.y_low - query.y, query.y - b.y_high, 0.0});
        return gx * gx + gy * gy;
    };
    // Where boxes do not separate the candidates (no candidate at all, or all of them about
    // equally far, as from the centre of a loop), the search gives up after this much work,
    // counted in segment tests, and scans: such a query costs at most about 1.1 scans.
    const std::size_t budget = segments / 16;
    std::size_t work = 0;

    Nearest nearest;
    double limit = infinity;  // boxes whose squared gap exceeds it hold no better candidate
    // Boxes are opened nearest first, so the candidate near the query is found before the
    // boxes around it, which all contain the query where the path winds, are opened.
    PendingBoxes pending;
    std::size_t node = 1;
    for (;;) {
        if (work > budget) {
            return nearest_segment_scan(points, query);
        }
        if (node >= m_first_leaf) {
            const std::size_t begin = std::min((node - m_first_leaf) * leaf_segments, segments);
            const std::size_t end = std::min(begin + leaf_segments, segments);
            if (examine_segments(p, begin, end, query, nearest)) {
                limit = square_limit(nearest.projection->distance);
            }
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
            double near_gap = squared_gap(boxes[near]);
            double far_gap = squared_gap(boxes[far]);
            if (far_gap < near_gap) {
                std::swap(near, far);
                std::swap(near_gap, far_gap);
            }
            work += 2;
            if (far_gap <= limit && !pending.push(far, far_gap)) {
                return nearest_segment_scan(points, query);
            }
            // The nearer child goes on at once while no waiting box is nearer still, so a
            // descent through the tree costs no queue operations.
            if (near_gap <= limit) {
                if (pending.empty() || near_gap <= pending.nearest_gap()) {
                    node = near;
                    continue;
                }
                if (!pending.push(near, near_gap)) {
                    return nearest_segment_scan(points, query);
                }
            }
        }
        if (pending.empty()) {
            return nearest.projection;
        }
        const PendingBoxes::Box next = pending.pop();
        if (next.squared_gap > limit) {
            return nearest.projection;  // so is every box still waiting
        }
        node = next.node;
    }
}

std::optional<Projection> LazySegmentIndex::nearest_segment(const PointView& points, Point query) {
    if (!m_index) {
        const std::size_t segments = points.size() < 2 ? 0 : points.size() - 1;
        if (segments < min_indexed_segments) {
            return nearest_segment_scan(points, query);
        }
        if (m_scanned < build_cost_in_scans * segments) {
            m_scanned += segments;
            return nearest_segment_scan(points, query);
        }
        try {
            m_index = std::make_shared<const SegmentIndex>(SegmentIndex::build(points));
        } catch (const std::bad_alloc&) {
            // The index only saves time: without room for it, scan, and try again later.
            m_scanned = 0;
            return nearest_segment_scan(points, query);
        }
    }
    return m_index->nearest_segment(points, query);
}

}  // namespace korvane
