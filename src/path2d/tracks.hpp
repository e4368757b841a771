// src/path2d/tracks.hpp: many tracks in ragged columns, each answered by the operation a path of
// its points gives, bit for bit, over ranges of tracks that threads may share
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "path2d/circle_fit.hpp"
#include "path2d/frenet.hpp"
#include "path2d/options.hpp"
#include "path2d/points.hpp"
#include "util/lapack.hpp"
#include "util/result.hpp"

namespace korvane {

class ElasticBandSolver;

/// The first wrong entry of a column's offsets, which must run from 0 to the number of points
/// without decreasing; `value` is meaningless when there is no entry at all.
struct BadOffset {
    enum Reason { NoEntry, NotZero, Decreasing, BeyondPoints, NotPoints };
    std::size_t index;
    std::int64_t value;
    Reason reason;
};

/// The first wrong entry of `offsets` for a column of `points` points, or nothing.
std::optional<BadOffset> first_bad_offset(std::span<const std::int64_t> offsets,
                                          std::size_t points) noexcept;

/// What is wrong with it, naming the entry of the column called `name`, its index and value.
std::string bad_offset_message(const BadOffset& bad, std::span<const std::int64_t> offsets,
                               std::size_t points, std::string_view name = "offsets");

/// Whether `offsets` delimit tracks of a column of `points` points: 0 first, `points` last,
/// never decreasing.
bool valid_track_offsets(std::span<const std::int64_t> offsets, std::size_t points) noexcept;

/// The tracks of a ragged column, read in place: track t is points[offsets[t] .. offsets[t + 1]).
class Tracks {
public:
    /// `offsets` must be valid for `points` (std::invalid_argument otherwise).
    Tracks(std::span<const Point> points, std::span<const std::int64_t> offsets);
    std::size_t size() const noexcept { return m_offsets.size() - 1; }
    std::size_t points() const noexcept { return m_points.size(); }
    std::size_t begin(std::size_t t) const noexcept {
        return static_cast<std::size_t>(m_offsets[t]);
    }
    std::size_t end(std::size_t t) const noexcept {
        return static_cast<std::size_t>(m_offsets[t + 1]);
    }
    std::span<const Point> track_points(std::size_t t) const noexcept {
        return m_points.subspan(begin(t), end(t) - begin(t));
    }
    /// Track t as a path's points would be read in place.
    PointView track(std::size_t t) const noexcept;

private:
    std::span<const Point> m_points;
    std::span<const std::int64_t> m_offsets;
};

/// Boundaries 0 = b_0 < b_1 < ... < b_k = T of blocks of whole tracks of at least `rows` points
/// each (the last may hold fewer): the units of work that threads share. No tracks, no blocks.
std::vector<std::size_t> track_blocks(const Tracks& tracks, std::size_t rows);

/// Where `quantities` writes: one row per point of the column.
struct QuantityColumns {
    double* s;
    double* heading;
    Point* tangent;
    double* curvature;
};

/// The arc length, heading, unit tangent and curvature of tracks [first, last), written to
/// their rows.
void quantities(const Tracks& tracks, std::size_t first, std::size_t last, QuantityColumns out);

/// Appends the indices into the column of the points that `repair_corrupted_point_order` keeps
/// of each of the tracks [first, last), increasing, and writes how many to counts[t].
void repair_point_order(const Tracks& tracks, std::size_t first, std::size_t last, double sus_angle,
                        std::vector<std::int64_t>& kept, std::span<std::int64_t> counts);

/// A failure of one track: the first in track order is the call's.
struct TrackError {
    std::size_t track;
    Error error;
};

/// How many points `resampled_path` gives a path of each of the tracks [first, last), written to
/// counts[t], with the cumulative arc lengths that path has written to the tracks' rows of
/// `lengths` (one per point of the column); the first track's failure, after which nothing more
/// is counted.
std::optional<TrackError> resampled_counts(const Tracks& tracks, std::size_t first,
                                           std::size_t last, const ResamplingMethod& method,
                                           double epsilon, std::span<double> lengths,
                                           std::span<std::int64_t> counts);

/// Where `resample` writes: track t's rows are [offsets[t], offsets[t + 1]) of the new points
/// and of the values, `channels` to a row.
struct ResampledColumns {
    std::span<const std::int64_t> offsets;
    Point* points;
    double* values;
};

/// Resamples the tracks [first, last), whose counts and `lengths` `resampled_counts` gave
/// without a failure, as `resampled_path` resamples a path of each, with `values` (row-major, `channels` per point
/// of the column) carried as its associated value lists, into their rows of `out`.
void resample(const Tracks& tracks, std::size_t first, std::size_t last,
              std::span<const double> lengths, std::span<const double> values, std::size_t channels,
              const ResamplingMethod& method, InterpolationMethod interpolation, double epsilon,
              ResampledColumns out);

/// Smooths tracks [first, last) of a ragged column: track t is points[offsets[t] ..
/// offsets[t + 1]), its answer goes to the same rows of `out` and whether it was solved to
/// `solved[t]` (`ElasticBandSolver::smooth` per track, with the headings a path of its points
/// has). `offsets` must be valid for `points` and `out` must not overlap them
/// (std::invalid_argument for offsets outside the points or columns of other lengths). Threads
/// may run it at once on disjoint track ranges, each with its own `solver`.
void smooth_band(std::span<const Point> points, std::span<const std::int64_t> offsets,
                 std::size_t first, std::size_t last, double max_deviation,
                 ElasticBandMethod method, std::span<Point> out, std::span<bool> solved,
                 ElasticBandSolver& solver);

/// Circle segments of tracks, appended in track order, with the track of each.
struct TrackSegments {
    std::vector<CircleSegment> segments;
    std::vector<std::int64_t> track;
};

/// Appends `find_circle_segments(0, n, max_rmse)` of each of the tracks [first, last), n its
/// number of points; `dgesvd` may be null when no track has three points or more.
void circle_segments(const Tracks& tracks, std::size_t first, std::size_t last, double max_rmse,
                     DgesvdFn dgesvd, TrackSegments& out);

/// The route coordinates of the points of tracks [first, last) on the route of the same index,
/// as `to_frenet` gives them for a path of the route's points, written to the tracks' rows.
void to_frenet(const Tracks& routes, const Tracks& tracks, std::size_t first, std::size_t last,
               double max_distance, FrenetColumns out);

}  // namespace korvane
