// src/path2d/segment_kernels.hpp: the arithmetic of clamped feet and box gaps, one at a time and
// several at once, in the same operations
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "path2d/points.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace korvane {

/// The gap along one axis between a point or box and a box, from the two differences of their
/// sides: at most one is positive. Two plain maxima, which compile to instructions rather than
/// the branches a list's maximum takes.
inline double gap(double below, double above) noexcept {
    return std::max(std::max(below, above), 0.0);
}

/// The first place of the lowest of values[0, n) that is a number, and that lowest into
/// `lowest` (infinity where there is none); values[n] must be infinity. Two at a time where SSE2
/// is, else the scalar twin: a pick of the nearest of a route's 16 leaves, a compare and two
/// selects each, had taken a fifth of the instructions of 100 fixes on a 250-point route.
inline std::size_t lowest_first(const double* values, std::size_t n, double& lowest) noexcept {
#if defined(__SSE2__)
    __m128d low = _mm_set1_pd(INFINITY);
    for (std::size_t j = 0; j < n; j += 2) {
        low = _mm_min_pd(_mm_loadu_pd(values + j), low);  // a NaN lane keeps `low`
    }
    lowest = std::min(_mm_cvtsd_f64(low), _mm_cvtsd_f64(_mm_unpackhi_pd(low, low)));
    const __m128d target = _mm_set1_pd(lowest);
    for (std::size_t j = 0; j < n; j += 2) {
        if (const int mask = _mm_movemask_pd(_mm_cmpeq_pd(_mm_loadu_pd(values + j), target))) {
            return j + static_cast<std::size_t>(std::countr_zero(static_cast<unsigned>(mask)));
        }
    }
    return 0;
#else
    std::size_t at = 0;
    lowest = INFINITY;
    for (std::size_t j = 0; j < n; ++j) {
        at = values[j] < lowest ? j : at;
        lowest = values[j] < lowest ? values[j] : lowest;
    }
    return at;
#endif
}

/// The point of segment i nearest to `query`: t = ((query - a) . d) / (d . d) clamped to
/// [0, 1], and 0 on a segment of zero length, whose foot is its point. The kernels below compute
/// exactly this, lane by lane, so every search may compare their squared distances with it.
inline ClampedFoot clamped_foot(const PointView& p, std::size_t i, Point query) noexcept {
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

/// Replaces `best` by the nearest clamped foot of the segments [begin, end) where that is
/// nearer, or as near with a lower index (a NaN distance never is), and says whether it did:
/// every foot is measured, several at a time.
bool nearest_foot_among(const PointView& p, std::size_t begin, std::size_t end, Point query,
                        ClampedFoot& best) noexcept;

/// Leaves of a segment index side by side: their boxes in columns, so that their gaps to one
/// point are measured together, and the segments [begin, end) each holds.
struct alignas(64) LeafColumns {
    static constexpr std::size_t capacity = 64;
    double x_low[capacity];  // each column a whole number of cache lines: no load splits one
    double y_low[capacity];
    double x_high[capacity];
    double y_high[capacity];
    std::size_t begin[capacity];
    std::size_t end[capacity];
    std::size_t count = 0;
};

/// For each query, the nearest clamped foot on the segments of `leaves` into feet[k], those of
/// equal distance going to the lowest index (a NaN distance never counts): the leaves are opened
/// nearest box first while the box's squared gap is at most `limit`, or, once a foot is found,
/// at most its squared distance. An index of SIZE_MAX and an infinite distance where none is.
void nearest_feet_in(const LeafColumns& leaves, const PointView& p, std::span<const Point> queries,
                     double limit, std::optional<ClampedFoot>* feet) noexcept;

/// A short route's leaves in columns, and the boxes of their groups of four segments: leaf j
/// holds the segments [16 j, 16 j + 16) and the groups [4 j, 4 j + 4), group g the segments
/// [4 g, 4 g + 4) (as many as the route has; a group past them is empty, low above high). The
/// leaves' boxes are filled up to a multiple of four, those past the count empty. For fixes in
/// route order, beside[w] holds four boxes around the groups w and w + 1, as columns of four
/// (x_low, y_low, x_high, y_high): group w - 1, group w + 2, the groups before w - 1 and those
/// after w + 2 (each empty where there is none).
struct alignas(64) RouteColumns {
    static constexpr std::size_t group_segments = 4;
    static constexpr std::size_t leaf_groups = 4;
    static constexpr std::size_t group_capacity = leaf_groups * LeafColumns::capacity;
    double x_low[group_capacity];
    double y_low[group_capacity];
    double x_high[group_capacity];
    double y_high[group_capacity];
    std::size_t segments = 0;
    LeafColumns leaves;
    alignas(64) double beside[group_capacity][16];
    // Where whole_group_boxes wrote the boxes: the segments of each whole group as columns of
    // four, a.x, a.y, b.x - a.x, b.y - a.y and the squared length, for fixes in route order.
    alignas(64) double group_segments_of[group_capacity][5][4];
};

/// Fills route.beside from the boxes of its groups.
void route_beside(RouteColumns& route) noexcept;

/// The boxes of the route's groups [0, groups), each of four segments of `p`, as route_columns
/// bounds them (the corners a and a + (b - a), NaN ones left out) where the processor has AVX2 and
/// the coordinates lie in rows; returns how many it wrote (none or all).
std::size_t whole_group_boxes(const PointView& p, std::size_t groups, RouteColumns& route) noexcept;

/// nearest_feet_in of every query over the route's leaves with the largest double as limit, and
/// an empty foot where none is found, a query whose coordinates are not all finite included.
/// `in_order` queries (fixes in route order; the groups' boxes filled), where the feet of the
/// two queries before lie a few segments apart, measure first the two groups around the last
/// foot, in the direction they went, and then only the groups whose boxes lie within that
/// distance; the others open whole leaves nearest first.
void nearest_feet_along(const RouteColumns& route, const PointView& p,
                        std::span<const Point> queries, bool in_order,
                        std::optional<ClampedFoot>* feet) noexcept;

/// The segments of the feet of the last three fixes a search along the route answered, the last
/// first (SIZE_MAX where there is none): what the next fix's search starts from.
struct FeetBefore {
    std::size_t last = SIZE_MAX;
    std::size_t before = SIZE_MAX;
    std::size_t earlier = SIZE_MAX;
};

/// nearest_feet_along going on from the fixes before (`seen`, moved on with the queries); where
/// `first_tried`, the first query's first step (proven_rows') has been tried already.
void nearest_feet_along(const RouteColumns& route, const PointView& p,
                        std::span<const Point> queries, bool in_order,
                        std::optional<ClampedFoot>* feet, FeetBefore& seen,
                        bool first_tried) noexcept;

struct FrenetColumns;  // to_frenet's result columns (path2d/frenet.hpp)

/// Whether proven_rows can search fixes on the points `p` (of the route's columns).
bool along_rows_wide(const PointView& p) noexcept;

/// For the fixes in route order from k on, as nearest_feet_along goes on from `seen` (moved on
/// with them) while its first step proves their feet: the row of each such foot inside its
/// segment into `rows` (what to_frenet's rows are, with `path_length` the route's arc lengths
/// and rows farther than `max_distance` empty). Returns the first fix without its row: its foot
/// into `vertex_foot` where it was proven at a vertex (the row needs the segments around it),
/// else left to the rest of the search (`vertex_foot` empty).
std::size_t proven_rows(const RouteColumns& route, std::span<const double> path_length,
                        std::span<const Point> queries, std::size_t k, double max_distance,
                        FeetBefore& seen, const FrenetColumns& rows,
                        std::optional<ClampedFoot>& vertex_foot) noexcept;

/// The most segments nearest_feet_one_leaf measures query by query: a leaf's.
inline constexpr std::size_t few_feet_segments = 16;

/// nearest_feet_in of one leaf holding the segments from the path's first on (at most
/// few_feet_segments), every query's limit the largest double, and an empty foot where none is
/// found, a query whose coordinates are not all finite included: each query measured against
/// every segment, several queries at a time. False, and nothing measured, where the leaf is
/// another or the build has no kernel for it.
bool nearest_feet_one_leaf(const LeafColumns& leaf, const PointView& p,
                           std::span<const Point> queries,
                           std::optional<ClampedFoot>* feet) noexcept;

}  // namespace korvane
