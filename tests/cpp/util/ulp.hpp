// tests/cpp/util/ulp.hpp: distance between doubles in representable steps, for accuracy tests
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace korvane::testing {

/// Distance in representable doubles; both NaN counts as 0, one NaN as "far".
inline std::uint64_t ulp_distance(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) {
        return std::isnan(a) && std::isnan(b) ? 0 : ~std::uint64_t{0};
    }
    const auto ordered = [](double v) {
        const auto bits = std::bit_cast<std::int64_t>(v);
        return bits < 0 ? std::numeric_limits<std::int64_t>::min() - bits : bits;
    };
    const std::int64_t d = ordered(a) - ordered(b);
    return static_cast<std::uint64_t>(d < 0 ? -d : d);
}

}  // namespace korvane::testing
