// src/path2d/tracks.cpp: many tracks in ragged columns, one track at a time through the
// functions a path of its points uses
#include "path2d/tracks.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>

#include "path2d/derived_quantities.hpp"
#include "path2d/elastic_band_solver.hpp"
#include "path2d/path2d.hpp"
#include "path2d/point_order.hpp"
#include "path2d/resampling.hpp"
#include "path2d/segment_index.hpp"
#include "util/taubin_circle_fit.hpp"

namespace korvane {

namespace {

PointView view_of(std::span<const Point> points) noexcept {
    // An empty track reads no coordinate; its view needs some address all the same.
    static constexpr Point none{0.0, 0.0};
    const Point* first = points.empty() ? &none : points.data();
    return PointView(CoordinateView(&first->x, 2, points.size()),
                     CoordinateView(&first->y, 2, points.size()));
}

// Writes `block(begin, end, out + begin)` over the n points of a track in the blocks a path's
// cache is filled in, so that the list comes out as the cache's, bit for bit.
template <class T, class Block>
void in_cache_blocks(std::size_t n, T* out, Block&& block) {
    for (std::size_t begin = 0; begin < n; begin += kQuantityBlock) {
        const std::size_t end = std::min(n, begin + kQuantityBlock);
        block(begin, end, out + begin);
    }
}

// A track's heading per point, as its path's orientation cache holds it.
void orientation_of(const PointView& points, std::vector<double>& out) {
    out.resize(points.size());
    in_cache_blocks(points.size(), out.data(), [&](std::size_t b, std::size_t e, double* o) {
        orientation_block(points, b, e, o);
    });
}

// A track's cumulative arc length per point, as its path's cache holds it.
void path_length_of(const PointView& points, double* out) {
    double total = 0.0;
    in_cache_blocks(points.size(), out, [&](std::size_t b, std::size_t e, double* o) {
        path_length_block(points, b, e, total, o);
    });
}

// The cumulative arc lengths of `lanes` tracks of two points or more at once, each to its rows
// of `lengths`, as path_length_of gives them: the same segment lengths, summed in the same
// order. A track's running sum is a chain of additions, each waiting for the one before; the
// chains of several tracks run side by side.
template <std::size_t lanes>
void path_lengths_of(const std::span<const Point>* points, double* const* rows) {
    std::size_t common = SIZE_MAX;
    for (std::size_t c = 0; c < lanes; ++c) {
        const std::span<const Point> track = points[c];
        common = std::min(common, track.size());
        rows[c][0] = 0.0;
        for (std::size_t i = 1; i < track.size(); ++i) {
            const double dx = track[i].x - track[i - 1].x;
            const double dy = track[i].y - track[i - 1].y;
            rows[c][i] = std::sqrt(dx * dx + dy * dy);
        }
    }
    double total[lanes] = {};
    for (std::size_t i = 1; i < common; ++i) {
        for (std::size_t c = 0; c < lanes; ++c) {
            total[c] += rows[c][i];
            rows[c][i] = total[c];
        }
    }
    for (std::size_t c = 0; c < lanes; ++c) {
        const std::size_t n = points[c].size();
        for (std::size_t i = common; i < n; ++i) {
            total[c] += rows[c][i];
            rows[c][i] = total[c];
        }
    }
}

// The same for tracks ts[0, lanes) of the column, into their rows of `lengths`.
template <std::size_t lanes>
void path_lengths_of(const Tracks& tracks, const std::size_t* ts, double* lengths) {
    std::span<const Point> points[lanes];
    double* rows[lanes];
    for (std::size_t c = 0; c < lanes; ++c) {
        points[c] = tracks.track_points(ts[c]);
        rows[c] = lengths + tracks.begin(ts[c]);
    }
    path_lengths_of<lanes>(points, rows);
}

}  // namespace

std::optional<BadOffset> first_bad_offset(std::span<const std::int64_t> offsets,
                                          std::size_t points) noexcept {
    if (offsets.empty()) {
        return BadOffset{0, 0, BadOffset::NoEntry};
    }
    if (offsets[0] != 0) {
        return BadOffset{0, offsets[0], BadOffset::NotZero};
    }
    const std::size_t last = offsets.size() - 1;
    for (std::size_t i = 1; i <= last; ++i) {
        const std::int64_t v = offsets[i];
        if (v < offsets[i - 1]) {
            return BadOffset{i, v, BadOffset::Decreasing};
        }
        if (static_cast<std::uint64_t>(v) > points) {
            return BadOffset{i, v, BadOffset::BeyondPoints};
        }
    }
    if (static_cast<std::uint64_t>(offsets[last]) != points) {
        return BadOffset{last, offsets[last], BadOffset::NotPoints};
    }
    return std::nullopt;
}

std::string bad_offset_message(const BadOffset& bad, std::span<const std::int64_t> offsets,
                               std::size_t points, std::string_view name) {
    const std::string column(name);
    const std::string entry =
        column + "[" + std::to_string(bad.index) + "] is " + std::to_string(bad.value);
    const std::string count = std::to_string(points);
    switch (bad.reason) {
        case BadOffset::NoEntry:
            return column +
                   " has no entry: it needs one more than there are tracks, from 0 to the "
                   "number of points";
        case BadOffset::NotZero: return entry + ": the first entry must be 0";
        case BadOffset::Decreasing:
            return entry + ", below " + column + "[" + std::to_string(bad.index - 1) +
                   "] = " + std::to_string(offsets[bad.index - 1]) + ": " + column +
                   " must not decrease";
        case BadOffset::BeyondPoints: return entry + ", beyond the " + count + " points";
        case BadOffset::NotPoints:
            return entry + ": the last entry must be the number of points, " + count;
    }
    return entry;
}

bool valid_track_offsets(std::span<const std::int64_t> offsets, std::size_t points) noexcept {
    return !first_bad_offset(offsets, points);
}

Tracks::Tracks(std::span<const Point> points, std::span<const std::int64_t> offsets)
    : m_points(points), m_offsets(offsets) {
    if (!valid_track_offsets(offsets, points.size())) {
        throw std::invalid_argument("tracks: offsets that do not delimit the points");
    }
}

PointView Tracks::track(std::size_t t) const noexcept {
    return view_of(track_points(t));
}

std::vector<std::size_t> track_blocks(const Tracks& tracks, std::size_t rows) {
    std::vector<std::size_t> bounds;
    const std::size_t count = tracks.size();
    if (count == 0) {
        return bounds;
    }
    bounds.push_back(0);
    std::size_t start = 0;
    for (std::size_t t = 0; t < count; ++t) {
        if (tracks.end(t) - tracks.begin(start) >= rows) {
            bounds.push_back(t + 1);
            start = t + 1;
        }
    }
    if (bounds.back() != count) {
        bounds.push_back(count);
    }
    return bounds;
}

void quantities(const Tracks& tracks, std::size_t first, std::size_t last, QuantityColumns out) {
    for (std::size_t t = first; t < last; ++t) {
        const PointView points = tracks.track(t);
        const std::size_t n = points.size();
        const std::size_t at = tracks.begin(t);
        double total = 0.0;
        in_cache_blocks(n, out.s + at, [&](std::size_t b, std::size_t e, double* o) {
            path_length_block(points, b, e, total, o);
        });
        in_cache_blocks(n, out.heading + at, [&](std::size_t b, std::size_t e, double* o) {
            orientation_block(points, b, e, o);
        });
        in_cache_blocks(n, out.tangent + at, [&](std::size_t b, std::size_t e, Point* o) {
            unit_tangent_block(points.x(), points.y(), b, e, o);
        });
        in_cache_blocks(n, out.curvature + at, [&](std::size_t b, std::size_t e, double* o) {
            curvature_block(points.x(), points.y(), b, e, o);
        });
    }
}

void repair_point_order(const Tracks& tracks, std::size_t first, std::size_t last, double sus_angle,
                        std::vector<std::int64_t>& kept, std::span<std::int64_t> counts) {
    for (std::size_t t = first; t < last; ++t) {
        const std::vector<std::size_t> indices = repaired_point_indices(tracks.track(t), sus_angle);
        const auto at = static_cast<std::int64_t>(tracks.begin(t));
        for (const std::size_t i : indices) {
            kept.push_back(at + static_cast<std::int64_t>(i));
        }
        counts[t] = static_cast<std::int64_t>(indices.size());
    }
}

std::optional<TrackError> resampled_counts(const Tracks& tracks, std::size_t first,
                                           std::size_t last, const ResamplingMethod& method,
                                           double epsilon, std::span<double> lengths,
                                           std::span<std::int64_t> counts) {
    if (lengths.size() != tracks.points() || counts.size() < last) {
        throw std::invalid_argument("resampled_counts: columns of other lengths");
    }
    // Four tracks' lengths at a time, then their counts in track order.
    constexpr std::size_t lanes = 4;
    std::size_t batch[lanes];
    std::size_t filled = 0;
    const auto count_batch = [&]() -> std::optional<TrackError> {
        if (filled == lanes) {
            path_lengths_of<lanes>(tracks, batch, lengths.data());
        } else {
            for (std::size_t c = 0; c < filled; ++c) {
                path_lengths_of<1>(tracks, batch + c, lengths.data());
            }
        }
        for (std::size_t c = 0; c < filled; ++c) {
            const std::size_t t = batch[c];
            const Result<ResamplingPositions> positions = resampling_positions(
                method, lengths.subspan(tracks.begin(t), tracks.end(t) - tracks.begin(t)), epsilon);
            if (!positions.ok()) {
                return TrackError{t, positions.error()};
            }
            counts[t] = static_cast<std::int64_t>(positions.value().size());
        }
        filled = 0;
        return std::nullopt;
    };
    for (std::size_t t = first; t < last; ++t) {
        const std::size_t count = tracks.end(t) - tracks.begin(t);
        if (count < 2) {
            counts[t] = static_cast<std::int64_t>(count);  // a path of fewer is its own resampling
            continue;
        }
        batch[filled++] = t;
        if (filled == lanes) {
            if (std::optional<TrackError> error = count_batch()) {
                return error;
            }
        }
    }
    return count_batch();
}

void resample(const Tracks& tracks, std::size_t first, std::size_t last,
              std::span<const double> lengths, std::span<const double> values, std::size_t channels,
              const ResamplingMethod& method, InterpolationMethod interpolation, double epsilon,
              ResampledColumns out) {
    for (std::size_t t = first; t < last; ++t) {
        const PointView points = tracks.track(t);
        const std::size_t n = points.size();
        const std::size_t at = tracks.begin(t);
        const auto to = static_cast<std::size_t>(out.offsets[t]);
        double* const rows = out.values + to * channels;
        if (n < 2) {  // a path of fewer than two points is its own resampling
            for (std::size_t i = 0; i < n; ++i) {
                out.points[to + i] = points[i];
            }
            std::copy_n(values.data() + at * channels, n * channels, rows);
            continue;
        }
        const std::span<const double> length = lengths.subspan(at, n);
        const Result<ResamplingPositions> positions = resampling_positions(method, length, epsilon);
        if (!positions.ok() || static_cast<std::int64_t>(positions.value().size()) !=
                                   out.offsets[t + 1] - out.offsets[t]) {
            throw std::invalid_argument("resample: rows that resampled_counts did not give");
        }
        resample_points(points, length, positions.value(), interpolation, out.points + to);
        for (std::size_t c = 0; c < channels; ++c) {
            const CoordinateView channel(values.data() + at * channels + c, channels, n);
            resample_values(length, channel, positions.value(), interpolation, rows + c, channels);
        }
    }
}

void smooth_band(std::span<const Point> points, std::span<const std::int64_t> offsets,
                 std::size_t first, std::size_t last, double max_deviation,
                 ElasticBandMethod method, std::span<Point> out, std::span<bool> solved,
                 ElasticBandSolver& solver) {
    if (out.size() != points.size() || last < first || offsets.size() <= last ||
        solved.size() < last) {
        throw std::invalid_argument("smooth_band: columns of different lengths");
    }
    std::vector<double> orientation;
    for (std::size_t t = first; t < last; ++t) {
        const std::int64_t begin = offsets[t];
        const std::int64_t end = offsets[t + 1];
        if (begin < 0 || end < begin || static_cast<std::uint64_t>(end) > points.size()) {
            throw std::invalid_argument("smooth_band: offsets outside the points");
        }
        const auto track =
            points.subspan(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin));
        const auto answer = out.subspan(static_cast<std::size_t>(begin), track.size());
        const PointView view = view_of(track);
        if (track.empty()) {
            solved[t] = true;
        } else if (method == ElasticBandMethod::OrthogonalBounds) {
            // The headings as a path of the track computes them, so that every bound is the
            // method's.
            orientation_of(view, orientation);
            solved[t] = solver.smooth(view, orientation, max_deviation, method, answer);
        } else {
            solved[t] = solver.smooth(view, {}, max_deviation, method, answer);
        }
    }
}

void circle_segments(const Tracks& tracks, std::size_t first, std::size_t last, double max_rmse,
                     DgesvdFn dgesvd, TrackSegments& out) {
    CircleFitWorkspace workspace;
    std::vector<double> x;
    std::vector<double> y;
    for (std::size_t t = first; t < last; ++t) {
        const std::span<const Point> points = tracks.track_points(t);
        // The fits read the coordinates as the lists a path of the track assembles.
        x.resize(points.size());
        y.resize(points.size());
        for (std::size_t i = 0; i < points.size(); ++i) {
            x[i] = points[i].x;
            y[i] = points[i].y;
        }
        const std::size_t before = out.segments.size();
        append_circle_segments(x, y, 0, points.size(), max_rmse, dgesvd, workspace, out.segments);
        out.track.insert(out.track.end(), out.segments.size() - before,
                         static_cast<std::int64_t>(t));
    }
}

void to_frenet(const Tracks& routes, const Tracks& tracks, std::size_t first, std::size_t last,
               double max_distance, FrenetColumns out) {
    if (routes.size() != tracks.size()) {
        throw std::invalid_argument("to_frenet: as many routes as tracks");
    }
    // Four routes' arc lengths at a time, their running sums side by side (one route's took 7 %
    // of a call on trips of 300 points), then their tracks in turn.
    constexpr std::size_t lanes = 4;
    std::vector<double> lengths;
    std::span<const double> of[lanes];
    for (std::size_t t = first; t < last; ++t) {
        const std::size_t lane = (t - first) % lanes;
        if (lane == 0) {
            const std::size_t n = std::min(lanes, last - t);
            std::span<const Point> points[lanes];
            std::size_t begin[lanes + 1] = {};
            bool every_point = n == lanes;
            for (std::size_t c = 0; c < n; ++c) {
                points[c] = routes.track_points(t + c);
                begin[c + 1] = begin[c] + points[c].size();
                every_point = every_point && !points[c].empty();
            }
            lengths.resize(begin[n]);
            double* rows[lanes];
            for (std::size_t c = 0; c < n; ++c) {
                rows[c] = lengths.data() + begin[c];
                of[c] = std::span<const double>(rows[c], points[c].size());
            }
            if (every_point) {
                path_lengths_of<lanes>(points, rows);
            } else {
                for (std::size_t c = 0; c < n; ++c) {
                    path_length_of(routes.track(t + c), rows[c]);
                }
            }
        }
        const PointView route = routes.track(t);
        const std::span<const Point> queries = tracks.track_points(t);
        const std::span<const double> length = of[lane];
        const std::size_t at = tracks.begin(t);
        const FrenetColumns rows{out.s + at, out.d + at, out.distance + at, out.segment + at};
        // A trip's route needs no index of its own: its leaves are read from its points.
        if (const AlongSearch search = to_frenet_along_search(route, length, queries);
            search != AlongSearch::unsuited) {
            to_frenet_along(route, length, nullptr, queries, search, max_distance, rows);
            continue;
        }
        // A fresh path's index: built for a batch of queries as that path would build it.
        LazySegmentIndex index;
        const SegmentIndex* built = index.for_batch(route, queries.size());
        to_frenet(route, length, built, queries, max_distance, rows);
    }
}

}  // namespace korvane
