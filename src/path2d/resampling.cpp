// src/path2d/resampling.cpp: equidistant resampling of a path and its associated values
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>

#include "path2d/path2d.hpp"
#include "spline/spline.hpp"
#include "util/large_list.hpp"
#include "util/memory.hpp"

namespace korvane {

namespace {

// Counts beyond this are refused before anything is allocated: 2^32 points with their
// coordinate and position lists need more than 160 GiB, far beyond any real path.
constexpr std::uint64_t max_resampled_points = std::uint64_t{1} << 32;

// Shortest text that reads back as the same double, with ".0" on whole numbers as Python
// prints floats.
std::string format_number(double v) {
    if (std::isnan(v)) {
        return "nan";
    }
    if (std::isinf(v)) {
        return v > 0 ? "inf" : "-inf";
    }
    char buffer[32];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, v).ptr;
    std::string text(buffer, end);
    if (text.find_first_of(".e") == std::string::npos) {
        text += ".0";
    }
    return text;
}

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
Result<Positions> sample_positions(const ResamplingMethod& method, double length,
                                   double epsilon) {
    if (const auto* by_count = std::get_if<ByNumberPoints>(&method)) {
        return Positions{Linspace(0.0, length, by_count->number_points)};
    }
    const auto& by_distance = std::get<BySamplingDistance>(method);
    const double d = by_distance.sampling_distance;
    const double k = std::floor(length / d);
    // k is a whole number (or infinite), so count = k + 1 stays within the limit iff k < limit.
    if (!(k < static_cast<double>(max_resampled_points))) {
        return value_error("sampling_distance " + format_number(d) +
                           " is too small for a path of length " + format_number(length) +
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

}  // namespace

Result<Path2D> Path2D::resampled_path(const ResamplingMethod& method,
                                      InterpolationMethod interpolation, double epsilon) const {
    if (m_points.size() < 2) {
        return Path2D(*this);
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
                               format_number(d));
        }
    }
    const std::vector<double>& s = path_length_per_point();
    const double length = s.back();
    if (!std::isfinite(length)) {
        return value_error("cannot resample a path whose length is not finite, got " +
                           format_number(length));
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
    // Points, x, y and one list per associated value list, all of `count` entries.
    require_memory(count, sizeof(Point) + (2 + m_associated_values.size()) * sizeof(double));
    Path2D resampled;
    // Built like from_points, with the coordinate lists written in the same pass; 0 where a
    // position has no segment.
    resampled.m_points = large_list<Point>(count);
    resampled.m_x = large_list<double>(count);
    resampled.m_y = large_list<double>(count);
    {
        const SortedSpline x_spline(s, m_x, kind);
        const SortedSpline y_spline(s, m_y, kind);
        // Both splines have the parameters s, so one walk finds the segment for both.
        SplineWalker walker(x_spline);
        for (std::size_t j = 0; j < count; ++j) {
            const double at = positions[j];
            if (const std::optional<std::size_t> i = walker.lower_key(at)) {
                const double x = value_or_zero(sample_segment(x_spline, *i, at));
                const double y = value_or_zero(sample_segment(y_spline, *i, at));
                resampled.m_points[j] = Point{x, y};
                resampled.m_x[j] = x;
                resampled.m_y[j] = y;
            }
        }
    }
    resampled.m_associated_values.reserve(m_associated_values.size());
    for (const std::vector<double>& source : m_associated_values) {
        std::vector<double>& target =
            resampled.m_associated_values.emplace_back(large_list<double>(count));
        const SortedSpline spline(s, source, kind);
        SplineWalker walker(spline);
        for (std::size_t j = 0; j < count; ++j) {
            target[j] = value_or_zero(walker.sample(positions[j]));
        }
    }
    return resampled;
}

}  // namespace korvane
