// src/spline/spline.cpp: building and sampling splines, evenly spaced values
#include "spline/spline.hpp"

#include <algorithm>

namespace korvane {

namespace {

// Ascending by parameter with NaN first: a strict weak order, so sorting and searching stay
// well defined whatever the input holds.
bool key_less(const SplineKey& a, const SplineKey& b) noexcept {
    return a.t < b.t || (std::isnan(a.t) && !std::isnan(b.t));
}

}  // namespace

Spline make_spline(std::span<const double> t, std::span<const double> values,
                   SplineInterpolation interpolation) {
    Spline spline;
    if (t.empty() || values.empty()) {
        return spline;
    }
    const std::size_t m = std::min(t.size(), values.size());
    std::vector<SplineKey>& keys = spline.m_keys;
    keys.reserve(m + 3);
    // Slot 0 holds the leading guard while the body is sorted, so placing it moves only the
    // keys that sort before it (none for path lengths), instead of shifting the whole list.
    keys.push_back(SplineKey{-1.0, values[0], interpolation});
    for (std::size_t i = 0; i < m; ++i) {
        keys.push_back(SplineKey{t[i], values[i], interpolation});
    }
    const auto body = keys.begin() + 1;
    if (!std::is_sorted(body, keys.end(), key_less)) {
        std::stable_sort(body, keys.end(), key_less);
    }
    // A guard inserted at the front and sorted stably ends before the keys equal to it...
    std::rotate(keys.begin(), body, std::lower_bound(body, keys.end(), keys.front(), key_less));
    // ...and one appended at the back ends after them.
    for (const double offset : {0.01, 0.02}) {
        const SplineKey guard{t.back() + offset, values.back(), interpolation};
        keys.insert(std::upper_bound(keys.begin(), keys.end(), guard, key_less), guard);
    }
    return spline;
}

std::optional<SplineSample> sample_with_key(const Spline& spline, double t) {
    const std::vector<SplineKey>& keys = spline.keys();
    if (keys.size() < 2 || !spline.searchable() || std::isnan(t)) {
        return std::nullopt;
    }
    // The first key above t; the one before it is the last key not above t, which among
    // equal parameters is the last of them.
    const auto above = std::upper_bound(keys.begin(), keys.end(), t,
                                        [](double v, const SplineKey& k) { return v < k.t; });
    if (above == keys.begin() || above == keys.end()) {
        return std::nullopt;
    }
    const auto i = static_cast<std::size_t>(above - keys.begin()) - 1;
    return spline_detail::evaluate_segment(keys.data(), keys.size(), i, t);
}

std::vector<double> linspace(double start, double end, std::size_t n) {
    std::vector<double> values(n);
    if (n == 0) {
        return values;
    }
    const double step = n >= 2 ? (end - start) / (static_cast<double>(n) - 1.0) : 0.0;
    values[0] = start;
    for (std::size_t i = 1; i + 1 < n; ++i) {
        values[i] = static_cast<double>(i) * step + start;
    }
    // Exactly `end`, not start + (n - 1) * step, which may round past it.
    values[n - 1] = end;
    return values;
}

}  // namespace korvane
