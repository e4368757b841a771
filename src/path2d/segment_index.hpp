// src/path2d/segment_index.hpp: nearest candidate segment of a path, by scan and by box hierarchy
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "path2d/points.hpp"

namespace korvane {

/// The point of a segment nearest to a query point, its parameter t clamped to [0, 1].
struct ClampedFoot {
    std::size_t index;        ///< first point of the segment
    double t;                 ///< 0 and 1 are the segment's ends
    Point point;              ///< a + t (b - a)
    double squared_distance;  ///< from the query point to `point`
};

/// The nearest point of the path's segments, each a closed piece from a to b: every segment in
/// index order, the lowest index kept among equal squared distances, NaN distances never kept.
/// The reference for the index's clamped query.
std::optional<ClampedFoot> nearest_clamped_scan(const PointView& points, Point query);

/// The nearest segment whose foot lies on it (0 <= t < 1), testing every segment in index order;
/// the lowest index wins among equal distances. The reference for the index below.
std::optional<Projection> nearest_segment_scan(const PointView& points, Point query);

/// Bounding boxes over runs of consecutive segments, nested as a balanced binary tree. An index
/// answers only for the points it was built from: every query must pass those same points
/// (a path's geometry never changes after construction, so its index serves all its queries).
class SegmentIndex {
public:
    /// Linear in the number of points; throws std::bad_alloc beyond physical memory.
    static SegmentIndex build(const PointView& points);
    /// What nearest_segment_scan returns for the same points, bit for bit.
    std::optional<Projection> nearest_segment(const PointView& points, Point query) const;
    /// What nearest_clamped_scan returns for the same points, bit for bit. The search starts
    /// from the foot on segment `hint` when one is given (any segment: it only saves work when
    /// near).
    std::optional<ClampedFoot> nearest_clamped(const PointView& points, Point query,
                                               std::optional<std::size_t> hint = {}) const;
    /// nearest_clamped of each query, bit for bit, for queries that come in runs close
    /// together (`runs` holds their lengths, in order; each run a box about `reach` wide, and
    /// all of them a few such boxes): one walk down the tree gathers the leaves within `reach` of
    /// them all, among which those of each run are picked out, and these answer every query
    /// whose nearest foot lies within `reach`; the others, and all of them where the leaves are
    /// too many, are searched one by one, each from the segment found for the query before it
    /// (the first from `hint`).
    void nearest_clamped_batch(const PointView& points, std::span<const Point> queries,
                               std::span<const std::size_t> runs, double reach,
                               std::optional<std::size_t> hint,
                               std::optional<ClampedFoot>* out) const;
    /// The most leaves a batch gathers for one run; a run near more is searched one by one.
    static constexpr std::size_t batch_leaves = 64;
    /// Whether more than batch_leaves leaves lie within `reach` of the square `reach` wide
    /// around `centre`: a batch's run of queries there would be searched one by one.
    bool crowded(Point centre, double reach) const;

private:
    friend struct SegmentIndexProbe;  // the tests' window on the boxes

    struct Box {
        double x_low;
        double y_low;
        double x_high;
        double y_high;
    };
    std::vector<Box> m_boxes;      // node k has children 2k and 2k + 1; node 0 is unused
    std::size_t m_first_leaf = 1;  // node m_first_leaf + j holds the j-th run of segments

    template <class Search>
    bool descend(const PointView& points, Point query, Search& search) const;
    // Writes the leaves (in segment order) whose boxes lie within squared gap `limit` of
    // `region`, up to `capacity` of them; returns their number, or capacity + 1 when there are
    // more.
    std::size_t leaves_near(const Box& region, double limit, std::size_t* leaves,
                            std::size_t capacity) const;
};

/// A path's segment index, built once the scans made for the path cost about as much as the
/// build; the index is immutable, so copies of a path share it.
class LazySegmentIndex {
public:
    /// As nearest_segment_scan, through the index when it exists or is due.
    std::optional<Projection> nearest_segment(const PointView& points, Point query);
    /// The index for a batch of `queries` queries, or nullptr when scanning them costs less: a
    /// batch of two or more builds it at once, a single query counts as one scan towards it, and
    /// no queries build nothing. Once built the index is never replaced, so it lives as long as
    /// the path.
    const SegmentIndex* for_batch(const PointView& points, std::size_t queries);

private:
    std::size_t m_scanned = 0;  // segments tested by scans so far
    std::shared_ptr<const SegmentIndex> m_index;
};

}  // namespace korvane
