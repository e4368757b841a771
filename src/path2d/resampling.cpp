// src/path2d/resampling.cpp: equidistant resampling of a path and its associated values
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>

#include "path2d/path2d.hpp"
#include "spline/spline.hpp"

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

// Arc-length positions of the new points along a path of finite length `length`.
Result<std::vector<double>> sample_positions(const ResamplingMethod& method, double length,
                                             double epsilon) {
    if (const auto* by_count = std::get_if<ByNumberPoints>(&method)) {
        return linspace(0.0, length, by_count->number_points);
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
    std::vector<double> positions = linspace(0.0, end, static_cast<std::size_t>(k) + 1);
    // The path end follows as a shorter last step unless the last regular position already
    // lies within epsilon of it (a NaN epsilon never adds it).
    if (!by_distance.drop_last && std::fabs(end - length) > epsilon) {
        positions.push_back(length);
    }
    return positions;
}

// Samples at positions in increasing order; a position outside the spline's range gives 0.
template <class Store>
void sample_all(const Spline& spline, const std::vector<double>& positions, Store store) {
    SplineWalker walker(spline);
    for (std::size_t j = 0; j < positions.size(); ++j) {
        const std::optional<SplineSample> sample = walker.sample(positions[j]);
        store(j, sample ? sample->value : 0.0);
    }
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
    Result<std::vector<double>> sampled = sample_positions(method, length, epsilon);
    if (!sampled.ok()) {
        return sampled.error();
    }
    const std::vector<double>& positions = sampled.value();

    const SplineInterpolation kind = interpolation == InterpolationMethod::Cubic
                                         ? SplineInterpolation::CatmullRom
                                         : SplineInterpolation::Linear;
    std::vector<Point> points(positions.size());
    sample_all(make_spline(s, m_x, kind), positions,
               [&](std::size_t j, double v) { points[j].x = v; });
    sample_all(make_spline(s, m_y, kind), positions,
               [&](std::size_t j, double v) { points[j].y = v; });

    std::vector<std::vector<double>> values;
    values.reserve(m_associated_values.size());
    for (const std::vector<double>& source : m_associated_values) {
        std::vector<double>& target = values.emplace_back(positions.size());
        sample_all(make_spline(s, source, kind), positions,
                   [&](std::size_t j, double v) { target[j] = v; });
    }
    return Path2D::from_points(std::move(points), std::move(values));
}

}  // namespace korvane
