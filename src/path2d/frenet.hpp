// src/path2d/frenet.hpp: route coordinates of points (arc length and signed offset at the
// nearest point of a path), and the points at given route coordinates
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>

#include "path2d/nearest_batch.hpp"
#include "path2d/points.hpp"
#include "path2d/segment_index.hpp"

namespace korvane {

/// Where to_frenet writes: one value per query point in each column.
struct FrenetColumns {
    double* s;
    double* d;
    double* distance;
    std::int64_t* segment;
};

/// For each query point, its nearest point on the segments of `path` (nearest_clamped_scan;
/// through `index` when given, which must have been built from the same points): the arc length
/// `s` there, from `path_length` (one cumulative length per point), the signed offset `d`,
/// positive to the left, its magnitude `distance`, and the segment holding it. At a vertex or an
/// end the side is that of the vertex's two directions of travel (frenet_side in frenet.cpp). A
/// point farther than `max_distance`, a non-finite point and a path of fewer than two points give
/// NaN values and segment -1; a row with a segment has a number s. Coordinates of any finite
/// magnitude are answered: the arithmetic runs in a frame scaled by a power of two, exactly, in
/// which no length, product or squared distance overflows, and lengths and distances from 2^-511
/// on keep every bit. The frame is the caller's own where every coordinate lies below 2^500 and
/// the path's largest reaches 2^-300; else it puts the largest coordinate in [2^499, 2^500), and
/// the rows come back unscaled (an arc length beyond the largest double is infinite). The
/// columns must not overlap `queries`; what they hold before the call returns is unspecified.
void to_frenet(const PointView& path, std::span<const double> path_length,
               const SegmentIndex* index, std::span<const Point> queries, double max_distance,
               FrenetColumns out);

/// How to_frenet_along searches `queries` on a path of these points and arc lengths, if at all.
/// It suits a route of 8 to 1,024 segments and two queries or more: most of them near the query
/// before, as fixes in route order lie, go along the route; otherwise fewer than 1,024 of them on
/// at most 256 segments open the leaves nearest first.
enum class AlongSearch { unsuited, nearest_leaves, along_route };
AlongSearch to_frenet_along_search(const PointView& path, std::span<const double> path_length,
                                   std::span<const Point> queries) noexcept;

/// to_frenet's rows for a path of at most 1,024 segments as through an index built from its
/// points, `index` or none, searched as `search` says (nearest_leaves where it is unsuited):
/// along the route, each query starts from the groups around the foot of the query before; else
/// it opens the path's leaves nearest first.
void to_frenet_along(const PointView& path, std::span<const double> path_length,
                     const SegmentIndex* index, std::span<const Point> queries, AlongSearch search,
                     double max_distance, FrenetColumns out);

/// Whether to_frenet answers `queries` on `path` through `index` as one ordered batch (where
/// to_frenet_along does not suit them). Few queries on a long route are sampled for it: a few of
/// them are searched, and where that finds the batch's least reach, a reach for the batch to
/// take goes to `reach` (left as it is otherwise).
bool to_frenet_batched(const SegmentIndex* index, const PointView& path,
                       std::span<const double> path_length, std::span<const Point> queries,
                       double* reach = nullptr);

/// to_frenet of a batch (to_frenet_batched true) in steps, so that a caller may share them among
/// threads and stop between their parts while every query is still ordered with all the others:
/// ordered in blocks of 65,536 rows apart, 10^6 fixes spread over a 10^6-point route took 2.7
/// times as long, their walks shared a fifteenth as often. stage reads the queries [begin, end)
/// and gives their bounds; order, given the bounds of every query, puts them in order; search
/// answers the positions [begin, end) of that order, of which there are size(); finish writes
/// the rows [begin, end) once every position is searched. Disjoint ranges of stage, search and
/// finish may run on several threads at once, and so may the parts order hands to `run` (false,
/// the batch unordered, when `run` stopped); how any of them are cut changes no row: the rows
/// are to_frenet's, bit for bit.
class FrenetBatch {
public:
    /// `reach`, where to_frenet_batched gave one for these queries, saves order a sample of its
    /// own (NaN: none).
    FrenetBatch(const PointView& path, std::span<const double> path_length,
                const SegmentIndex* index, std::span<const Point> queries, double max_distance,
                FrenetColumns out, double reach = std::numeric_limits<double>::quiet_NaN());
    ~FrenetBatch();
    FrenetBatch(const FrenetBatch&) = delete;
    FrenetBatch& operator=(const FrenetBatch&) = delete;

    std::size_t rows() const noexcept;
    PointBounds stage(std::size_t begin, std::size_t end);
    bool order(PointBounds bounds, const RunParts& run);
    std::size_t size() const noexcept;
    void search(std::size_t begin, std::size_t end) const;
    void finish(std::size_t begin, std::size_t end) const;

private:
    struct State;
    std::unique_ptr<State> m_state;
};

/// Values read with a step, 0 repeating one value for every row.
struct StridedValues {
    const double* first;
    std::size_t step;
    double operator[](std::size_t i) const noexcept { return first[i * step]; }
};

/// For each row, the point at arc length s[i] (linear along the segment holding it, a vertex
/// belonging to the following segment, before 0 and beyond the length along the first and last
/// segment of non-zero length) moved by d[i] along that segment's left unit normal. NaN rows for
/// a NaN input and for a path without a segment of non-zero length. Segment lengths are measured
/// without overflow or underflow at any finite magnitude. `out` must not overlap `s` or `d`: it
/// holds their values while the rows are put in order.
void from_frenet(const PointView& path, std::span<const double> path_length, StridedValues s,
                 StridedValues d, std::size_t rows, Point* out);

}  // namespace korvane
