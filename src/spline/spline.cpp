// src/spline/spline.cpp: building and sampling splines, evenly spaced values
#include "spline/spline.hpp"

#include <algorithm>

namespace korvane {

namespace {

// Ascending by parameter with NaN first: a strict weak order, so sorting and searching stay
// well defined whatever the input holds.
constexpr auto key_less = [](const SplineKey& a, const SplineKey& b) noexcept {
    return a.t < b.t || (std::isnan(a.t) && !std::isnan(b.t));
};

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
    keys.resize(m + 1);
    // Slot 0 holds the leading guard while the body is sorted, so placing it moves only the
    // keys that sort before it (none for path lengths), instead of shifting the whole list.
    keys[0] = SplineKey{-1.0, values[0], interpolation};
    for (std::size_t i = 0; i < m; ++i) {
        keys[i + 1] = SplineKey{t[i], values[i], interpolation};
    }
    const auto body = keys.begin() + 1;
    if (!std::is_sorted(body, keys.end(), key_less)) {
        std::stable_sort(body, keys.end(), key_less);
    }
    // A guard inserted at the front and sorted stably ends before the keys equal to it...
    std::rotate(keys.begin(), body, std::lower_bound(body, keys.end(), keys.front(), key_less));
    // ...and one appended at the back ends after them.
    const TrailingGuards guards = trailing_guards(t.back());
    for (const double at : {guards.first, guards.second}) {
        const SplineKey guard{at, values.back(), interpolation};
        keys.insert(std::upper_bound(keys.begin(), keys.end(), guard, key_less), guard);
    }
    return spline;
}

std::optional<SplineSample> sample_with_key(const Spline& spline, double t) {
    const std::vector<SplineKey>& keys = spline.keys();
    if (keys.size() < 2 || !spline.searchable() || std::isnan(t)) {
        return std::nullopt;
    }
    // The key before the first one above t is the last key not above t, which among equal
    // parameters is the last of them.
    const std::size_t above = spline_detail::count_not_above(spline, t);
    if (above == 0 || above == keys.size()) {
        return std::nullopt;
    }
    return sample_segment(spline, above - 1, t);
}

std::vector<double> linspace(double start, double end, std::size_t n) {
    const Linspace sequence(start, end, n);
    std::vector<double> values(n);
    for (std::size_t i = 0; i < n; ++i) {
        values[i] = sequence[i];
    }
    return values;
}

}  // namespace korvane
