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

// Arc-length positions of the new points: evenly spaced, possibly followed by the path end.
// Computed on demand, so a long resampling allocates no position list.
struct Positions {
    Linspace regular;
    bool ends_at_length = false;
    double length = 0.0;

    std::size_t size() const noexcept { return regular.size() + (ends_at_length ? 1 : 0); }
    double operator[](std::size_t j) const noexcept {
        return j < regular.size() ? regular[j] : length;
    }
};

// Positions along a path of finite length `length`.
Result<Positions> sample_positions(const ResamplingMethod& method, double length, double epsilon) {
    if (const auto* by_count = std::get_if<ByNumberPoints>(&method)) {
        return Positions{Linspace(0.0, length, by_count->number_points)};
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
    return Positions{Linspace(0.0, end, static_cast<std::size_t>(k) + 1),
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

}  // namespace

Result<Path2D> resampled_path(const Path2D& path, const ResamplingMethod& method,
                              InterpolationMethod interpolation, double epsilon) {
    if (path.size() < 2) {
        return path;
    }
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
    const std::vector<double>& s = path.path_length_per_point();
    const double length = s.back();
    if (!std::isfinite(length)) {
        return value_error("cannot resample a path whose length is not finite, got " +
                           python_float_text(length));
    }
    const Result<Positions> sampled = sample_positions(method, length, epsilon);
    if (!sampled.ok()) {
        return sampled.error();
    }
    const Positions& positions = sampled.value();

    const SplineInterpolation kind = interpolation == InterpolationMethod::Cubic
                                         ? SplineInterpolation::CatmullRom
                                         : SplineInterpolation::Linear;
    // A finite length makes every arc length finite and ascending from 0, so the splines read
    // their keys in place instead of copying them; x, y and every value list hold at least one
    // value per point.
    const std::size_t count = positions.size();
    // Points, the x and y lists the new path assembles when asked for them, and one list per
    // associated value list, all of `count` entries.
    const std::vector<std::vector<double>>& associated = path.associated_values();
    require_memory(count, sizeof(Point) + (2 + associated.size()) * sizeof(double));
    const CoordinateView xs = path.x_view();
    const CoordinateView ys = path.y_view();
    const SortedSpline x_spline(s, xs.first(), xs.stride(), xs.size(), kind);
    const SortedSpline y_spline(s, ys.first(), ys.stride(), ys.size(), kind);
    // Both splines have the parameters s, so one walk finds the segment for both; 0 where a
    // position has no segment. Each list is written once, in its final storage.
    const bool linear = kind == SplineInterpolation::Linear;
    // For linear splines the segment between two input points (every position inside the
    // path: key i of the splines is point i - 1) is sampled without the spline's key lookups:
    // the same position fraction serves both coordinates and every value list, computed as the
    // spline's rule computes it.
    const auto inside = [&](std::optional<std::size_t> key, double at) {
        std::optional<LinearSegment> segment;
        if (linear && key && *key >= 1 && *key < s.size()) {
            const std::size_t d = *key - 1;
            segment = LinearSegment{d, (at - s[d]) / (s[d + 1] - s[d])};
        }
        return segment;
    };
    const auto between = [](double a, double b, double nt) { return (1.0 - nt) * a + nt * b; };
    SplineWalker walker(x_spline);
    std::vector<Point> points = generated_list<Point>(count, [&](std::size_t j) {
        const double at = positions[j];
        const std::optional<std::size_t> key = walker.lower_key(at);
        if (const std::optional<LinearSegment> fast = inside(key, at)) {
            return Point{between(xs[fast->d], xs[fast->d + 1], fast->nt),
                         between(ys[fast->d], ys[fast->d + 1], fast->nt)};
        }
        if (key) {
            return Point{value_or_zero(sample_segment(x_spline, *key, at)),
                         value_or_zero(sample_segment(y_spline, *key, at))};
        }
        return Point{0.0, 0.0};
    });
    std::vector<std::vector<double>> values;
    values.reserve(associated.size());
    for (const std::vector<double>& source : associated) {
        const SortedSpline spline(s, source, kind);
        SplineWalker value_walker(spline);
        values.push_back(generated_list<double>(count, [&](std::size_t j) {
            const double at = positions[j];
            const std::optional<std::size_t> key = value_walker.lower_key(at);
            if (const std::optional<LinearSegment> fast = inside(key, at)) {
                return between(source[fast->d], source[fast->d + 1], fast->nt);
            }
            return key ? value_or_zero(sample_segment(spline, *key, at)) : 0.0;
        }));
    }
    return Path2D::from_parts(std::move(points), {}, {}, std::move(values));
}

}  // namespace korvane
