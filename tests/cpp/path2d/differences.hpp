// tests/cpp/path2d/differences.hpp: finite differences with unit spacing, list by list, as the
// reference the single-pass quantities must equal
#pragma once

#include <span>
#include <vector>

namespace korvane::testing {

/// Central differences inside, one-sided first-order differences at both ends.
inline std::vector<double> compute_differences(std::span<const double> values) {
    const std::size_t m = values.size();
    std::vector<double> d(m, 0.0);
    if (m <= 1) {
        return d;
    }
    for (std::size_t i = 1; i + 1 < m; ++i) {
        d[i] = (values[i + 1] - values[i - 1]) * 0.5;
    }
    d[0] = values[1] - values[0];
    d[m - 1] = values[m - 1] - values[m - 2];
    return d;
}

}  // namespace korvane::testing
