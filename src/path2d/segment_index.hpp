// src/path2d/segment_index.hpp: nearest candidate segment of a path, by scan and by box
// hierarchy, and the hierarchy's leaves
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "path2d/points.hpp"
#include "path2d/segment_kernels.hpp"

namespace korvane {

/// The nearest point of the path's segments, each a closed piece from a to b: every segment in
/// index order, the lowest index kept among equal squared distances, NaN distances never kept.
/// The reference for the index's clamped query.
std::optional<ClampedFoot> nearest_clamped_scan(const PointView& points, Point query);

/// The nearest segment whose foot lies on it (0 <= t < 1), testing every segment in index order;
/// the lowest index wins among equal distances. The reference for the index below.
std::optional<Projection> nearest_segment_scan(const PointView& points, Point query);

/// Bounding boxes over runs of consecutive segments, nested as a balanced tree of four children
/// to a node (half the levels of a binary tree, each a dependent read on a long path). An index
/// answers only for the points it was built from: every query must pass those same points
/// (a path's geometry never changes after construction, so its index serves all its queries).
class SegmentIndex {
public:
    /// A box around segments: its low and high x and y.
    struct Box {
        double x_low;
        double y_low;
        double x_high;
        double y_high;
    };
    /// The squared gap between two boxes, or a box and a point's box. That of a box to the box of
    /// some queries rounds no higher than its gap to any of them, or to any box inside.
    static double squared_gap(const Box& b, const Box& r) noexcept {
        const double gx = gap(b.x_low - r.x_high, r.x_low - b.x_high);
        const double gy = gap(b.y_low - r.y_high, r.y_low - b.y_high);
        return gx * gx + gy * gy;
    }

    /// Linear in the number of points; throws std::bad_alloc beyond physical memory.
    static SegmentIndex build(const PointView& points);
    /// What nearest_segment_scan returns for the same points, bit for bit.
    std::optional<Projection> nearest_segment(const PointView& points, Point query) const;
    /// What nearest_clamped_scan returns for the same points, bit for bit. The search starts
    /// from the foot on segment `hint` when one is given (any segment: it only saves work when
    /// near); where that foot lies within squared gap `limit` of the query, from `nodes`, the
    /// frontier for `limit` of a region holding the query, rather than from the root.
    std::optional<ClampedFoot> nearest_clamped(const PointView& points, Point query,
                                               std::optional<std::size_t> hint = {},
                                               std::span<const std::size_t> nodes = {},
                                               double limit = 0.0) const;
    /// The nodes of the deepest level whose boxes within squared gap `limit` of `region` fit
    /// into `nodes` (the root's level at least): every box of the tree that lies within `limit`
    /// of `region` is one of them or lies below one. Returns their number, 0 when none lies
    /// within `limit` or the root's level does not fit.
    std::size_t frontier(const Box& region, double limit, std::span<std::size_t> nodes) const;
    /// What nearest_clamped gives for each of `queries` (without a hint), bit for bit, into
    /// feet[k]: each search alone, its first descent turning to the nearest box waiting where
    /// that is nearer than the nearest child. For queries spread far apart over a path, which
    /// share no boxes.
    void nearest_clamped_each(const PointView& points, std::span<const Point> queries,
                              std::optional<ClampedFoot>* feet) const;

    // The leaves, for a search of its own (as the many-queries search makes).
    /// Segments per leaf: leaf j holds the segments from j * leaf_segments on, as many of them as
    /// the path has up to leaf_segments. Long enough that walking the tree costs little next to
    /// testing the segments, short enough that a query near the path tests a few dozen.
    static constexpr std::size_t leaf_segments = 16;
    /// Writes the leaves (in segment order) whose boxes lie within squared gap `limit` of
    /// `region` into `leaves`, as many as fit; returns their number, or leaves.size() + 1 when
    /// there are more.
    std::size_t leaves_near(const Box& region, double limit, std::span<std::size_t> leaves) const;
    /// The number of leaves: a power of two, those past the segments empty (low above high).
    std::size_t leaf_count() const noexcept { return m_leaf_count; }
    /// The box of leaf j, which no clamped foot on its segments lies outside of.
    const Box& leaf_box(std::size_t leaf) const noexcept { return m_boxes[m_first_leaf + leaf]; }
    /// The box around every segment (the empty box, low above high, without any).
    const Box& bounds() const noexcept { return m_boxes[0]; }
    /// The memory the boxes take.
    std::size_t bytes() const noexcept { return m_boxes.size() * sizeof(Box); }
    /// Whether the boxes and `points` fit about the second-level cache of a core, where a search
    /// alone waits little on memory.
    bool cached(const PointView& points) const noexcept;

private:
    friend struct SegmentIndexProbe;  // the tests' window on the boxes

    std::vector<Box> m_boxes;      // node k has children 4k + 1 to 4k + 4; node 0 is the root
    std::size_t m_first_leaf = 0;  // node m_first_leaf + j holds the j-th run of segments
    std::size_t m_leaf_count = 1;  // a power of two, at most the tree's leaves (a power of four)

    template <class Search, bool below = false>
    bool descend(const PointView& points, Point query, Search& search,
                 std::span<const std::size_t> start = {}) const;
    template <bool keyed>
    void nearest_clamped_alone(const PointView& points, std::span<const Point> queries,
                               std::optional<ClampedFoot>* feet) const;
};

/// A path's segment index, built once the scans made for the path cost about as much as the
/// build; the index is immutable, so copies of a path share it.
class LazySegmentIndex {
public:
    /// As nearest_segment_scan, through the index when it exists or is due.
    std::optional<Projection> nearest_segment(const PointView& points, Point query);
    /// The index for a batch of `queries` queries, or nullptr when scanning them costs less: a
    /// batch of two or more builds it at once (from 8 segments on; single queries from 512), a
    /// single query counts as one scan towards it, and no queries build nothing. Once built the index is never replaced, so it lives as long as
    /// the path.
    const SegmentIndex* for_batch(const PointView& points, std::size_t queries);

private:
    std::size_t m_scanned = 0;  // segments tested by scans so far
    std::shared_ptr<const SegmentIndex> m_index;
};

}  // namespace korvane
