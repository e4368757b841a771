// src/path2d/nearest_batch.hpp: the nearest clamped feet of many queries at once, in spatial
// order through a segment index
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <functional>
#include <optional>
#include <span>

#include "path2d/points.hpp"
#include "path2d/segment_index.hpp"
#include "path2d/segment_kernels.hpp"

namespace korvane {

/// The box around the points added to it: empty (low above high) until one is.
struct PointBounds {
    SegmentIndex::Box box{INFINITY, INFINITY, -INFINITY, -INFINITY};
    void add(Point q) noexcept {
        box = SegmentIndex::Box{std::min(box.x_low, q.x), std::min(box.y_low, q.y),
                                std::max(box.x_high, q.x), std::max(box.y_high, q.y)};
    }
    void add(const PointBounds& other) noexcept {
        box = SegmentIndex::Box{
            std::min(box.x_low, other.box.x_low), std::min(box.y_low, other.box.y_low),
            std::max(box.x_high, other.box.x_high), std::max(box.y_high, other.box.y_high)};
    }
};

/// The nearest clamped foot of each query, bit for bit what `index.nearest_clamped` gives
/// (`index` built from `path`, of at most LeafColumns::capacity leaves), into feet[k]: every leaf
/// is a candidate of every query, so there is neither a descent nor an order to make.
void nearest_feet_whole(const SegmentIndex& index, const PointView& path,
                        std::span<const Point> queries, std::optional<ClampedFoot>* feet);

/// The most queries one batch takes (their rows are numbered in 32 bits).
inline constexpr std::size_t batch_max_queries = 0xffffffff;

/// The least reach of a batch, in segments of `mean_segment`.
inline constexpr double batch_least_reach = 16.0;

/// The reach of a batch over `queries`: twice the distance within which 7 in 8 of a sample of
/// them find their nearest foot, no less than batch_least_reach segments of `mean_segment`, and
/// halved while most of a sample's cells that wide lie near more leaves than a batch takes. The
/// sample is one query in 32, at most 64.
double batch_reach(const SegmentIndex& index, const PointView& path, double mean_segment,
                   const PointView& queries);

/// Whether queries too few to share boxes are best taken by the batch all the same: as
/// batch_reach would give them the least reach, a sample of at most 8 (one in 32) judged both
/// for its distances and for crowding at the sampled queries themselves. `shortest` receives
/// twice the distance within which 7 in 8 of the sample find their nearest foot (0 without a
/// foot in the sample).
bool lone_batch(const SegmentIndex& index, const PointView& path, double mean_segment,
                const PointView& queries, double& shortest);

/// Memory lent to a batch, which it writes over: 8 bytes per query in each.
struct BatchScratch {
    std::span<std::byte> order;  ///< the queries' spatial order
    std::span<std::byte> spare;  ///< the other half of its sort
};

/// Takes the feet of a block of queries: the query of row rows[j] is queries[j], and feet[j]
/// its nearest clamped foot (none where no segment's distance is a number).
using BlockFeet =
    std::function<void(std::span<const std::size_t> rows, std::span<const Point> queries,
                       std::span<const std::optional<ClampedFoot>> feet)>;

/// Runs `part(i)` for every i in [0, parts), on one thread or on several at once; false when it
/// stopped early, some parts not run. A step that one thread takes comes as a single part, so
/// that a caller may run every step without its own lock.
using RunParts =
    std::function<bool(std::size_t parts, const std::function<void(std::size_t)>& part)>;

/// Runs the parts one after the other on the calling thread.
bool run_in_turn(std::size_t parts, const std::function<void(std::size_t)>& part);

/// The order a batch's first step made: how many queries it holds, the reach it was made for,
/// and the low bits of each key's cell that number finer cells within one `reach` wide.
struct BatchOrder {
    std::size_t size = 0;
    double reach = 0.0;
    int fine_bits = 0;
};

/// A batch's first step: the queries with finite coordinates (every one `bounds` holds, at most
/// batch_max_queries) put in spatial order over cells `reach` wide, as keys in scratch.order
/// (scratch.spare is written over); returns how many there are and how they are laid out, none
/// when `run` stopped. The order is a sort of distinct keys, the same however `run` shares its
/// parts out.
std::optional<BatchOrder> order_batch(const PointView& queries, const PointBounds& bounds,
                                      double reach, BatchScratch scratch,
                                      const RunParts& run = run_in_turn);

/// Its second: the nearest clamped foot of each query at the positions [begin, end) of that
/// order (`ordered`, its keys in `ordered_keys`), bit for bit what `index.nearest_clamped` gives
/// (`index` built from `path`), handed to `feet` a block at a time; the other rows are the
/// caller's. Disjoint ranges may be searched on several threads at once, and how the order is
/// cut into ranges changes no answer. A query is not read again once its block's feet are handed
/// on, so `feet` may write over it.
void search_batch(const SegmentIndex& index, const PointView& path, const PointView& queries,
                  const BatchOrder& ordered, std::span<std::byte> ordered_keys, std::size_t begin,
                  std::size_t end, const BlockFeet& feet);

}  // namespace korvane
