// src/spline/spline.hpp: one-dimensional linear and Catmull-Rom splines, and evenly spaced values
#pragma once

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

// The reference spline: `Spline`, `make_spline` and `sample_with_key` state the sampling rules,
// and the tests hold `SortedSpline` and `SplineWalker`, which the product samples through, to
// them.

/// Keys sorted ascending by `t`; equal parameters keep their insertion order.
class Spline {
public:
    Spline() = default;

    const std::vector<SplineKey>& keys() const noexcept { return m_keys; }
    std::size_t size() const noexcept { return m_keys.size(); }
    const SplineKey& key(std::size_t j) const noexcept { return m_keys[j]; }
    double parameter(std::size_t j) const noexcept { return m_keys[j].t; }
    /// False when a key parameter is NaN: such a spline cannot be searched and samples nothing.
    bool searchable() const noexcept { return m_keys.empty() || !std::isnan(m_keys.front().t); }

private:
    friend Spline make_spline(std::span<const double>, std::span<const double>,
                              SplineInterpolation);
    std::vector<SplineKey> m_keys;
};

/// The parameters of the two trailing guard keys after the last parameter `last`: last + 0.01
/// and last + 0.02. Where a sum rounds back onto `last` (or onto the first guard), as it does for
/// a finite `last` from 2^47 on, it is replaced by the next double above, so that the guards
/// always lie above the last key and a sample at `last` still finds its segment.
struct TrailingGuards {
    double first;
    double second;
};
inline TrailingGuards trailing_guards(double last) noexcept {
    TrailingGuards guards{last + 0.01, last + 0.02};
    if (std::isfinite(last)) {
        if (!(guards.first > last)) {
            guards.first = std::nextafter(last, INFINITY);
        }
        if (!(guards.second > guards.first)) {
            guards.second = std::nextafter(guards.first, INFINITY);
        }
    }
    return guards;
}

/// Keys (t[i], values[i]) up to the shorter list, sorted stably, plus a leading guard at -1 with
/// values[0] and two trailing guards at t.back() + 0.01 and + 0.02 (see `trailing_guards`) with
/// values.back().
/// Empty input gives an empty spline. NaN parameters sort before all others.
Spline make_spline(std::span<const double> t, std::span<const double> values,
                   SplineInterpolation interpolation);

/// The spline `make_spline(t, values, kind)` for parameters it keeps in place, read without
/// copying: key 0 is the leading guard, key j the pair j - 1, the last two the trailing guards.
/// Path lengths always qualify, and resampling a long path then builds no key lists.
class SortedSpline {
public:
    /// `t` must be what `make_spline` leaves in order with the leading guard first (non-empty,
    /// ascending, without NaN, not below -1), and `values` at least as long.
    SortedSpline(std::span<const double> t, std::span<const double> values,
                 SplineInterpolation interpolation) noexcept
        : SortedSpline(t, values.data(), 1, values.size(), interpolation) {}
    /// The same with `count` values read every `stride`-th double from `values`, such as the x
    /// coordinates of a list of points.
    SortedSpline(std::span<const double> t, const double* values, std::size_t stride,
                 std::size_t count, SplineInterpolation interpolation) noexcept
        : m_t(t),
          m_values(values),
          m_stride(stride),
          m_last_value(values[(count - 1) * stride]),
          m_guards(trailing_guards(t.back())),
          m_interpolation(interpolation) {}

    std::size_t size() const noexcept { return m_t.size() + 3; }
    SplineKey key(std::size_t j) const noexcept {
        const std::size_t m = m_t.size();
        if (j == 0) {
            return {-1.0, m_values[0], m_interpolation};
        }
        if (j <= m) {
            return {m_t[j - 1], m_values[(j - 1) * m_stride], m_interpolation};
        }
        return {j == m + 1 ? m_guards.first : m_guards.second, m_last_value, m_interpolation};
    }
    /// key(j).t, without reading the value.
    double parameter(std::size_t j) const noexcept {
        if (j == 0) {
            return -1.0;
        }
        return j <= m_t.size() ? m_t[j - 1]
                               : (j == m_t.size() + 1 ? m_guards.first : m_guards.second);
    }
    bool searchable() const noexcept { return true; }

private:
    std::span<const double> m_t;
    const double* m_values;
    std::size_t m_stride;
    double m_last_value;
    TrailingGuards m_guards;
    SplineInterpolation m_interpolation;
};

/// Value at `t` with the segment's lower key (the last key not above `t`), by binary search;
/// nothing outside the range where the segment rule is defined, or for a NaN parameter.
std::optional<SplineSample> sample_with_key(const Spline& spline, double t);

/// The values of `linspace(start, end, n)`, each computed when asked for.
class Linspace {
public:
    Linspace(double start, double end, std::size_t n) noexcept
        : m_start(start),
          m_end(end),
          m_step(n >= 2 ? (end - start) / (static_cast<double>(n) - 1.0) : 0.0),
          m_size(n) {}

    std::size_t size() const noexcept { return m_size; }
    /// Exactly `end` last, not start + (n - 1) * step, which may round past it.
    double operator[](std::size_t i) const noexcept {
        if (i + 1 == m_size) {
            return m_end;
        }
        return i == 0 ? m_start : static_cast<double>(i) * m_step + m_start;
    }

private:
    double m_start;
    double m_end;
    double m_step;
    std::size_t m_size;
};

/// `n` values from `start` to exactly `end`; one value gives `end`, zero values none.
std::vector<double> linspace(double start, double end, std::size_t n);

namespace spline_detail {

/// The cubic Hermite weights at nt in [0, 1), and the value they give between values a and b
/// with scaled slopes m0 and m1, in the one order of operations every Catmull-Rom sample takes.
struct HermiteWeights {
    double operator()(double a, double b, double m0, double m1) const noexcept {
        return ((a * h00 + m0 * h10) + b * h01) + m1 * h11;
    }

    double h00;
    double h10;
    double h01;
    double h11;
};

inline HermiteWeights hermite_weights(double nt) noexcept {
    const double nt2 = nt * nt;
    const double nt3 = nt2 * nt;
    return HermiteWeights{2.0 * nt3 - 3.0 * nt2 + 1.0, nt3 - 2.0 * nt2 + nt, 3.0 * nt2 - 2.0 * nt3,
                          nt3 - nt2};
}

/// Catmull-Rom on the segment from key i, at nt in [0, 1); nothing without keys on both sides.
template <class Keys>
std::optional<SplineSample> catmull_rom(const Keys& keys, std::size_t i, double nt) noexcept {
    if (i == 0 || i >= keys.size() - 2) {
        return std::nullopt;
    }
    const SplineKey x = keys.key(i - 1);
    const SplineKey a = keys.key(i);
    const SplineKey b = keys.key(i + 1);
    const SplineKey y = keys.key(i + 2);
    const double h = b.t - a.t;
    const double m0 = (b.value - x.value) / (b.t - x.t) * h;
    const double m1 = (y.value - a.value) / (y.t - a.t) * h;
    return SplineSample{hermite_weights(nt)(a.value, b.value, m0, m1), i};
}

/// The number of keys whose parameter is not above t, by binary search.
template <class Keys>
std::size_t count_not_above(const Keys& keys, double t) noexcept {
    std::size_t low = 0;
    std::size_t high = keys.size();
    while (low < high) {
        const std::size_t mid = low + (high - low) / 2;
        if (keys.parameter(mid) <= t) {
            low = mid + 1;
        } else {
            high = mid;
        }
    }
    return low;
}

}  // namespace spline_detail

/// The segment rule of key i at t, where key(i).t <= t < key(i + 1).t (i as found by
/// `SplineWalker::lower_key`); nothing for a Catmull-Rom segment without both neighbours.
template <class Keys>
std::optional<SplineSample> sample_segment(const Keys& keys, std::size_t i, double t) noexcept {
    const SplineKey a = keys.key(i);
    const SplineKey b = keys.key(i + 1);
    const double nt = (t - a.t) / (b.t - a.t);
    if (a.interpolation == SplineInterpolation::Linear) {
        return SplineSample{(1.0 - nt) * a.value + nt * b.value, i};
    }
    return spline_detail::catmull_rom(keys, i, nt);
}

/// Samples a `Spline` or `SortedSpline` at non-decreasing parameters in amortised constant time
/// per sample. Every result equals `sample_with_key` on the same keys at the same parameter; a
/// parameter below the previous one is still answered correctly, by a fresh search.
template <class Keys>
class SplineWalker {
public:
    explicit SplineWalker(const Keys& keys) noexcept
        : m_keys(&keys), m_len(keys.searchable() ? keys.size() : 0) {}

    std::optional<SplineSample> sample(double t) noexcept {
        const std::optional<std::size_t> i = lower_key(t);
        if (!i) {
            return std::nullopt;
        }
        return sample_segment(*m_keys, *i, t);
    }

    /// The segment's lower key for `t`, the last key not above it; nothing before the first
    /// key, from the last key on, or for NaN. It depends on the key parameters only, so it
    /// serves every spline with the same parameters.
    std::optional<std::size_t> lower_key(double t) noexcept {
        if (m_len < 2 || std::isnan(t)) {
            return std::nullopt;
        }
        if (t < m_last) {
            m_above = spline_detail::count_not_above(*m_keys, t);
        }
        m_last = t;
        // m_above counts the keys not above t; for a larger t they all still are.
        while (m_above < m_len && m_keys->parameter(m_above) <= t) {
            ++m_above;
        }
        if (m_above == 0 || m_above == m_len) {
            return std::nullopt;
        }
        return m_above - 1;
    }

    /// Continues from parameter `t`, of which the first `above` keys are known not to be above
    /// (as a caller that walked them itself knows), instead of from the first key.
    void continue_from(double t, std::size_t above) noexcept {
        m_last = t;
        m_above = std::min(above, m_len);
    }

private:
    const Keys* m_keys;
    std::size_t m_len;
    std::size_t m_above = 0;
    double m_last = -INFINITY;
};

}  // namespace korvane
