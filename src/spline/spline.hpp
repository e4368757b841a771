// src/spline/spline.hpp: one-dimensional linear and Catmull-Rom splines, and evenly spaced values
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace korvane {

/// The rule for the segment that starts at a key.
enum class SplineInterpolation { Linear, CatmullRom };

/// One control point: the value at parameter `t`.
struct SplineKey {
    double t;
    double value;
    SplineInterpolation interpolation;
};

/// A sampled value and the index of the segment's lower key.
struct SplineSample {
    double value;
    std::size_t index;
};

/// Keys sorted ascending by `t`; equal parameters keep their insertion order.
class Spline {
public:
    Spline() = default;

    const std::vector<SplineKey>& keys() const noexcept { return m_keys; }
    /// False when a key parameter is NaN: such a spline cannot be searched and samples nothing.
    bool searchable() const noexcept { return m_keys.empty() || !std::isnan(m_keys.front().t); }

private:
    friend Spline make_spline(std::span<const double>, std::span<const double>,
                              SplineInterpolation);
    std::vector<SplineKey> m_keys;
};

/// Keys (t[i], values[i]) up to the shorter list, sorted stably, plus a leading guard at -1 with
/// values[0] and two trailing guards at t.back() + 0.01 and + 0.02 with values.back().
/// Empty input gives an empty spline. NaN parameters sort before all others.
Spline make_spline(std::span<const double> t, std::span<const double> values,
                   SplineInterpolation interpolation);

/// Value at `t` with the segment's lower key (the last key not above `t`), by binary search;
/// nothing outside the range where the segment rule is defined, or for a NaN parameter.
std::optional<SplineSample> sample_with_key(const Spline& spline, double t);

/// `n` values from `start` to exactly `end`; one value gives `end`, zero values none.
std::vector<double> linspace(double start, double end, std::size_t n);

namespace spline_detail {

/// The segment rule of key i at t, where keys[i].t <= t < keys[i + 1].t.
inline std::optional<SplineSample> evaluate_segment(const SplineKey* keys, std::size_t len,
                                                    std::size_t i, double t) noexcept {
    const SplineKey& a = keys[i];
    const SplineKey& b = keys[i + 1];
    const double nt = (t - a.t) / (b.t - a.t);
    if (a.interpolation == SplineInterpolation::Linear) {
        return SplineSample{(1.0 - nt) * a.value + nt * b.value, i};
    }
    if (i == 0 || i >= len - 2) {
        return std::nullopt;  // a Catmull-Rom tangent needs a key on either side
    }
    const SplineKey& x = keys[i - 1];
    const SplineKey& y = keys[i + 2];
    const double h = b.t - a.t;
    const double m0 = (b.value - x.value) / (b.t - x.t) * h;
    const double m1 = (y.value - a.value) / (y.t - a.t) * h;
    const double nt2 = nt * nt;
    const double nt3 = nt2 * nt;
    const double h00 = 2.0 * nt3 - 3.0 * nt2 + 1.0;
    const double h10 = nt3 - 2.0 * nt2 + nt;
    const double h01 = 3.0 * nt2 - 2.0 * nt3;
    const double h11 = nt3 - nt2;
    return SplineSample{((a.value * h00 + m0 * h10) + b.value * h01) + m1 * h11, i};
}

}  // namespace spline_detail

/// Samples one spline at non-decreasing parameters in amortised constant time per sample.
/// Every result equals `sample_with_key` at the same parameter; a parameter below the previous
/// one is still answered correctly, by a fresh search.
class SplineWalker {
public:
    explicit SplineWalker(const Spline& spline) noexcept
        : m_keys(spline.keys().data()),
          m_len(spline.searchable() ? spline.keys().size() : 0) {}

    std::optional<SplineSample> sample(double t) noexcept {
        if (m_len < 2 || std::isnan(t)) {
            return std::nullopt;
        }
        if (t < m_last) {
            m_above = static_cast<std::size_t>(
                std::upper_bound(m_keys, m_keys + m_len, t,
                                 [](double v, const SplineKey& k) { return v < k.t; }) -
                m_keys);
        }
        m_last = t;
        // m_above counts the keys not above t: all keys below it stay so for any larger t.
        while (m_above < m_len && m_keys[m_above].t <= t) {
            ++m_above;
        }
        if (m_above == 0 || m_above == m_len) {
            return std::nullopt;
        }
        return spline_detail::evaluate_segment(m_keys, m_len, m_above - 1, t);
    }

private:
    const SplineKey* m_keys;
    std::size_t m_len;
    std::size_t m_above = 0;
    double m_last = -INFINITY;
};

}  // namespace korvane
