// src/path2d/resampling.cpp: equidistant resampling of a path and its associated values
#include "path2d/resampling.hpp"

#include <cmath>
#include <cstdint>
#include <span>
#include <string>

#include "spline/spline.hpp"
#include "util/float_text.hpp"
#include "util/large_list.hpp"
#include "util/memory.hpp"

namespace korvane {

namespace {

// Counts beyond this are refused before anything is allocated: 2^32 points with their
// coordinate and position lists need more than 160 GiB, far beyond any real path.
constexpr std::uint64_t max_resampled_points = std::uint64_t{1} << 32;

Error value_error(std::string message) {
    return Error{ErrorKind::Value, std::move(message)};
}

// Positions along a path of finite length `length`.
Result<ResamplingPositions> sample_positions(const ResamplingMethod& method, double length,
                                             double epsilon) {
    if (const auto* by_count = std::get_if<ByNumberPoints>(&method)) {
        return ResamplingPositions{Linspace(0.0, length, by_count->number_points)};
    }
    const auto& by_distance = std::get<BySamplingDistance>(method);
    const double d = by_distance.sampling_distance;
    const double k = std::floor(length / d);
    // k is a whole number (or infinite), so count = k + 1 stays within the limit iff k < limit.
    if (!(k < static_cast<double>(max_resampled_points))) {
        return value_error("sampling_distance " + python_float_text(d) +
                           " is too small for a path of length " + python_float_text(length) +
                           ": more than " + std::to_string(max_resampled_points) + " points");
    }
    const double end = d * k;
    // The path end follows as a shorter last step unless the last regular position already
    // lies within epsilon of it (a NaN epsilon never adds it).
    return ResamplingPositions{Linspace(0.0, end, static_cast<std::size_t>(k) + 1),
                               !by_distance.drop_last && std::fabs(end - length) > epsilon, length};
}

// Positions outside a spline's range take the value 0.
double value_or_zero(const std::optional<SplineSample>& sample) noexcept {
    return sample ? sample->value : 0.0;
}

// A position inside the path: the segment from point d holds it, at the fraction nt of its length.
struct LinearSegment {
    std::size_t d;
    double nt;
};

SplineInterpolation spline_kind(InterpolationMethod interpolation) noexcept {
    return interpolation == InterpolationMethod::Cubic ? SplineInterpolation::CatmullRom
                                                       : SplineInterpolation::Linear;
}

// For linear splines the segment between two input points (every position inside the path: key
// i of the splines is point i - 1) is sampled without the spline's key lookups: the same
// position fraction serves both coordinates and every value list, computed as the spline's rule
// computes it.
std::optional<LinearSegment> inside(bool linear, std::span<const double> s,
                                    std::optional<std::size_t> key, double at) noexcept {
    std::optional<LinearSegment> segment;
    if (linear && key && *key >= 1 && *key < s.size()) {
        const std::size_t d = *key - 1;
        segment = LinearSegment{d, (at - s[d]) / (s[d + 1] - s[d])};
    }
    return segment;
}

double between(double a, double b, double nt) noexcept {
    return (1.0 - nt) * a + nt * b;
}

// Both coordinates' samples on the Catmull-Rom segment from key i, each what sample_segment
// gives (0 where that gives nothing): the splines share their parameters, so a position's
// fraction and Hermite weights are computed once. The same operations on the same operands as
// the spline's own rule. It serves the segments next to a guard key; the sampler reads every
// other segment from the points itself.
Point catmull_rom_pair(const SortedSpline& xs, const SortedSpline& ys, std::size_t i,
                       double at) noexcept {
    if (i == 0 || i >= xs.size() - 2) {
        return Point{0.0, 0.0};
    }
    // The slope at key j of both splines, 0 < j < size - 1.
    const auto slopes = [&](std::size_t j) {
        const double dt = xs.parameter(j + 1) - xs.parameter(j - 1);
        return Point{(xs.key(j + 1).value - xs.key(j - 1).value) / dt,
                     (ys.key(j + 1).value - ys.key(j - 1).value) / dt};
    };
    const Point low = slopes(i);
    const Point high = slopes(i + 1);
    const double t_a = xs.parameter(i);
    const double t_b = xs.parameter(i + 1);
    const double nt = (at - t_a) / (t_b - t_a);
    const double h = t_b - t_a;
    const spline_detail::HermiteWeights weights = spline_detail::hermite_weights(nt);
    const auto value = [&](const SortedSpline& spline, double m0, double m1) {
        return weights(spline.key(i).value, spline.key(i + 1).value, m0 * h, m1 * h);
    };
    return Point{value(xs, low.x, high.x), value(ys, low.y, high.y)};
}

// Coordinates every second double from `first`, as a list of pairs holds them: read without
// multiplying by a stride.
class PairCoordinates {
public:
    explicit PairCoordinates(const CoordinateView& view) noexcept
        : m_first(view.first()), m_size(view.size()) {}
    std::size_t size() const noexcept { return m_size; }
    double operator[](std::size_t i) const noexcept { return m_first[2 * i]; }
    const double* first() const noexcept { return m_first; }
    static constexpr std::size_t stride() noexcept { return 2; }

private:
    const double* m_first;
    std::size_t m_size;
};

// The last point d with s[d] <= at, for `at` from the first arc length on, walked to from the
// position before (positions come in order): the splines' lower key is key d + 1. It hands its
// place to a spline's key walk, for which a parameter from its last position on has a lower
// key of d + 2 or above.
class ArcWalk {
public:
    std::size_t segment(std::span<const double> s, double at) noexcept {
        if (at < m_at) {
            m_d = 0;
        }
        m_at = at;
        const std::size_t n = s.size();
        if (at < s[n - 1]) {
            // The last arc length, above `at`, ends the walk.
            while (s[m_d + 1] <= at) {
                ++m_d;
            }
        } else {
            while (m_d + 1 < n && s[m_d + 1] <= at) {
                ++m_d;
            }
        }
        return m_d;
    }
    void hand_over(SplineWalker<SortedSpline>& walker, std::span<const double> s,
                   double at) const noexcept {
        if (at >= m_at && m_at >= s.front()) {
            walker.continue_from(m_at, m_d + 2);
        }
    }

private:
    double m_at = -INFINITY;
    std::size_t m_d = 0;
};

// The new points, one position at a time in order. A finite length makes every arc length
// finite and ascending from 0, so the splines read their keys in place instead of copying them;
// both splines have the parameters s, so one walk finds the segment for both (0 where a position
// has no segment).
template <class Coordinates>
class PointSampler {
public:
    PointSampler(const PointView& points, std::span<const double> s,
                 const ResamplingPositions& positions, SplineInterpolation kind) noexcept
        : m_xs(points.x()),
          m_ys(points.y()),
          m_s(s),
          m_positions(positions),
          m_linear(kind == SplineInterpolation::Linear),
          m_x(s, m_xs.first(), m_xs.stride(), m_xs.size(), kind),
          m_y(s, m_ys.first(), m_ys.stride(), m_ys.size(), kind),
          m_walker(m_x) {}
    PointSampler(const PointSampler&) = delete;  // the walker points at the spline

    // Inlined where the points are written: a position inside the path is a step of the walk
    // and the segment's arithmetic.
    Point operator()(std::size_t j) noexcept {
        const double at = m_positions[j];
        if (at >= m_s.front()) {
            if (m_linear && at < m_s.back()) {
                return linear(at);
            }
            if (!m_linear && at <= m_s.back()) {
                return cubic(at);
            }
        }
        return outside(at);
    }

private:
    // The spline's own rule, by its key walk, which takes over from the sampler's: the lower
    // key of a parameter from the last point on is key d + 1 or above, d the walk's point.
    [[gnu::noinline]] Point outside(double at) noexcept {
        m_walk.hand_over(m_walker, m_s, at);
        const std::optional<std::size_t> key = m_walker.lower_key(at);
        if (const std::optional<LinearSegment> fast = inside(m_linear, m_s, key, at)) {
            return Point{between(m_xs[fast->d], m_xs[fast->d + 1], fast->nt),
                         between(m_ys[fast->d], m_ys[fast->d + 1], fast->nt)};
        }
        if (!key) {
            return Point{0.0, 0.0};
        }
        if (!m_linear) {
            return catmull_rom_pair(m_x, m_y, *key, at);
        }
        return Point{value_or_zero(sample_segment(m_x, *key, at)),
                     value_or_zero(sample_segment(m_y, *key, at))};
    }

    // Inside the path (below its last arc length) a linear sample is the segment's fraction as
    // inside() computes it, without the key lookups.
    Point linear(double at) noexcept {
        const std::size_t d = m_walk.segment(m_s, at);
        const double nt = (at - m_s[d]) / (m_s[d + 1] - m_s[d]);
        return Point{between(m_xs[d], m_xs[d + 1], nt), between(m_ys[d], m_ys[d + 1], nt)};
    }

    using Pair = double __attribute__((vector_size(16)));

    // Between the first and the last arc length the splines' lower key is key d + 1 for the
    // last point d with s[d] <= at (the guards lie outside), so a walk over s finds it. Where
    // that segment's four keys are all points, the sample is read from the points directly,
    // both coordinates as the two lanes of one vector: the same operations on the same
    // operands as catmull_rom_pair, in a third of its instructions. The slope at a point serves
    // the segments on both sides of it, so stepping to the next segment divides once, not twice.
    Point cubic(double at) noexcept {
        const std::size_t d = m_walk.segment(m_s, at);
        const std::size_t n = m_s.size();
        if (d == 0 || d + 2 >= n) {
            return catmull_rom_pair(m_x, m_y, d + 1, at);
        }
        if (d != m_slope_point) {
            m_low = d == m_slope_point + 1 ? m_high : slope(d);
            m_high = slope(d + 1);
            m_slope_point = d;
        }
        const double t_a = m_s[d];
        const double t_b = m_s[d + 1];
        const double nt = (at - t_a) / (t_b - t_a);
        const double h = t_b - t_a;
        const spline_detail::HermiteWeights w = spline_detail::hermite_weights(nt);
        const Pair value = ((point(d) * splat(w.h00) + m_low * splat(h) * splat(w.h10)) +
                            point(d + 1) * splat(w.h01)) +
                           m_high * splat(h) * splat(w.h11);
        return Point{value[0], value[1]};
    }
    static Pair splat(double v) noexcept { return Pair{v, v}; }
    Pair point(std::size_t d) const noexcept { return Pair{m_xs[d], m_ys[d]}; }
    // The tangent slope at point d, 0 < d < n - 1.
    Pair slope(std::size_t d) const noexcept {
        return (point(d + 1) - point(d - 1)) / splat(m_s[d + 1] - m_s[d - 1]);
    }

    Coordinates m_xs;
    Coordinates m_ys;
    std::span<const double> m_s;
    const ResamplingPositions& m_positions;
    bool m_linear;
    SortedSpline m_x;
    SortedSpline m_y;
    SplineWalker<SortedSpline> m_walker;
    ArcWalk m_walk;
    std::size_t m_slope_point = SIZE_MAX - 1;  // the segment's first point the slopes are of
    Pair m_low{};                              // at that point
    Pair m_high{};                             // at the next
};

// The values of one list at the same positions, in order.
class ValueSampler {
public:
    ValueSampler(std::span<const double> s, const CoordinateView& values,
                 const ResamplingPositions& positions, SplineInterpolation kind) noexcept
        : m_values(values),
          m_s(s),
          m_positions(positions),
          m_linear(kind == SplineInterpolation::Linear),
          m_spline(s, values.first(), values.stride(), values.size(), kind),
          m_walker(m_spline) {}
    ValueSampler(const ValueSampler&) = delete;

    double operator()(std::size_t j) noexcept {
        const double at = m_positions[j];
        if (m_linear && at >= m_s.front() && at < m_s.back()) {
            // As the point sampler's linear samples inside the path.
            const std::size_t d = m_walk.segment(m_s, at);
            return between(m_values[d], m_values[d + 1], (at - m_s[d]) / (m_s[d + 1] - m_s[d]));
        }
        m_walk.hand_over(m_walker, m_s, at);  // as the point sampler's outside()
        const std::optional<std::size_t> key = m_walker.lower_key(at);
        if (const std::optional<LinearSegment> fast = inside(m_linear, m_s, key, at)) {
            return between(m_values[fast->d], m_values[fast->d + 1], fast->nt);
        }
        return key ? value_or_zero(sample_segment(m_spline, *key, at)) : 0.0;
    }

private:
    CoordinateView m_values;
    std::span<const double> m_s;
    const ResamplingPositions& m_positions;
    bool m_linear;
    SortedSpline m_spline;
    SplineWalker<SortedSpline> m_walker;
    ArcWalk m_walk;
};

// Runs `f` with a point sampler of `points`, one that reads pairs where the points are pairs.
template <class F>
void with_point_sampler(const PointView& points, std::span<const double> s,
                        const ResamplingPositions& positions, SplineInterpolation kind, F&& f) {
    if (points.x().stride() == 2 && points.y().stride() == 2) {
        PointSampler<PairCoordinates> sample(points, s, positions, kind);
        f(sample);
    } else {
        PointSampler<CoordinateView> sample(points, s, positions, kind);
        f(sample);
    }
}

}  // namespace

Result<ResamplingPositions> resampling_positions(const ResamplingMethod& method,
                                                 std::span<const double> s, double epsilon) {
    if (const auto* by_count = std::get_if<ByNumberPoints>(&method)) {
        if (by_count->number_points > max_resampled_points) {
            return value_error("number_points must be at most " +
                               std::to_string(max_resampled_points) + ", got " +
                               std::to_string(by_count->number_points));
        }
    } else {
        const double d = std::get<BySamplingDistance>(method).sampling_distance;
        if (!(std::isfinite(d) && d > 0.0)) {
            return value_error("sampling_distance must be a positive finite number, got " +
                               python_float_text(d));
        }
    }
    const double length = s.back();
    if (!std::isfinite(length)) {
        return value_error("cannot resample a path whose length is not finite, got " +
                           python_float_text(length));
    }
    return sample_positions(method, length, epsilon);
}

void resample_points(const PointView& points, std::span<const double> s,
                     const ResamplingPositions& positions, InterpolationMethod interpolation,
                     Point* out) {
    with_point_sampler(points, s, positions, spline_kind(interpolation), [&](auto& sample) {
        // The new rows are no part of the sampler's state, which then stays in registers.
        Point* __restrict__ to = out;
        const std::size_t count = positions.size();
        for (std::size_t j = 0; j < count; ++j) {
            to[j] = sample(j);
        }
    });
}

void resample_values(std::span<const double> s, const CoordinateView& values,
                     const ResamplingPositions& positions, InterpolationMethod interpolation,
                     double* out, std::size_t out_stride) {
    ValueSampler sample(s, values, positions, spline_kind(interpolation));
    for (std::size_t j = 0; j < positions.size(); ++j) {
        out[j * out_stride] = sample(j);
    }
}

Result<Path2D> resampled_path(const Path2D& path, const ResamplingMethod& method,
                              InterpolationMethod interpolation, double epsilon) {
    if (path.size() < 2) {
        return path;
    }
    const std::vector<double>& s = path.path_length_per_point();
    const Result<ResamplingPositions> sampled = resampling_positions(method, s, epsilon);
    if (!sampled.ok()) {
        return sampled.error();
    }
    const ResamplingPositions& positions = sampled.value();
    const SplineInterpolation kind = spline_kind(interpolation);
    // x, y and every value list hold at least one value per point.
    const std::size_t count = positions.size();
    // Points, the x and y lists the new path assembles when asked for them, and one list per
    // associated value list, all of `count` entries.
    const std::vector<std::vector<double>>& associated = path.associated_values();
    require_memory(count, sizeof(Point) + (2 + associated.size()) * sizeof(double));
    // Each list is written once, in its final storage.
    std::vector<Point> points;
    with_point_sampler(
        PointView(path.x_view(), path.y_view()), s, positions, kind, [&](auto& sample_point) {
            points = generated_list<Point>(count, [&](std::size_t j) { return sample_point(j); });
        });
    std::vector<std::vector<double>> values;
    values.reserve(associated.size());
    for (const std::vector<double>& source : associated) {
        ValueSampler sample_value(s, CoordinateView(source.data(), 1, source.size()), positions,
                                  kind);
        values.push_back(
            generated_list<double>(count, [&](std::size_t j) { return sample_value(j); }));
    }
    return Path2D::from_parts(std::move(points), {}, {}, std::move(values));
}

}  // namespace korvane
