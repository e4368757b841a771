// tests/cpp/util/test_vector_math.cpp: the vector arc tangent against the C library's scalar one
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "util/vector_math.hpp"
#include "ulp.hpp"

namespace korvane {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

using testing::ulp_distance;

std::vector<double> atan2_of(const std::vector<double>& y, const std::vector<double>& x) {
    std::vector<double> out(y.size());
    atan2_many(y.data(), x.data(), out.data(), y.size());
    return out;
}

TEST(Atan2Many, WithinTwoUlpOfTheScalarOnMillionsOfRandomDirections) {
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::uniform_real_distribution<double> exponent(-1070.0, 1020.0);
    std::uniform_int_distribution<int> pick(0, 4);
    constexpr std::size_t n = 4'000'000;
    std::vector<double> y(n), x(n);
    for (std::size_t i = 0; i < n; ++i) {
        switch (pick(rng)) {
            case 0:  // ordinary coordinates differences
                y[i] = unit(rng);
                x[i] = unit(rng);
                break;
            case 1:  // any magnitudes, including subnormal and near-overflow ones
                y[i] = std::copysign(std::exp2(exponent(rng)), unit(rng));
                x[i] = std::copysign(std::exp2(exponent(rng)), unit(rng));
                break;
            case 2:  // nearly diagonal
                x[i] = unit(rng) * 1e3;
                y[i] = std::nextafter(std::copysign(x[i], unit(rng)), unit(rng) * inf);
                break;
            case 3:  // a few degrees off a diagonal, where the vector function is at its worst
                x[i] = unit(rng);
                y[i] = std::copysign(x[i] * (0.8 + 0.2 * std::fabs(unit(rng))), unit(rng));
                break;
            default:  // nearly axis-aligned
                x[i] = unit(rng);
                y[i] = unit(rng) * 1e-12;
                if (pick(rng) < 2) {
                    std::swap(x[i], y[i]);
                }
        }
    }
    const std::vector<double> got = atan2_of(y, x);
    std::uint64_t worst = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t d = ulp_distance(got[i], std::atan2(y[i], x[i]));
        ASSERT_LE(d, 2u) << "atan2(" << y[i] << ", " << x[i] << ")";
        worst = std::max(worst, d);
    }
    RecordProperty("worst_ulp", static_cast<int>(worst));
}

TEST(Atan2Many, ExactAtSpecialDirectionsAndNonFiniteInputs) {
    const double magnitudes[] = {0.0, 5e-324, 1e-300, 0.5, 1.0, 3.0, 1e300, 1.7976931348623157e308,
                                 inf};
    std::vector<double> y, x;
    for (const double a : magnitudes) {
        for (const double sy : {1.0, -1.0}) {
            for (const double sx : {1.0, -1.0}) {
                for (const double b : magnitudes) {
                    // Axis-aligned (one coordinate zero) or either coordinate infinite.
                    if (a == 0.0 || b == 0.0 || a == inf || b == inf) {
                        y.push_back(std::copysign(a, sy));
                        x.push_back(std::copysign(b, sx));
                    }
                }
                // Diagonals: |y| == |x|.
                y.push_back(std::copysign(a, sy));
                x.push_back(std::copysign(a, sx));
            }
        }
        for (const double other : {nan, -nan}) {
            y.push_back(other);
            x.push_back(a);
            y.push_back(a);
            x.push_back(other);
        }
    }
    const std::vector<double> got = atan2_of(y, x);
    for (std::size_t i = 0; i < y.size(); ++i) {
        const double expected = std::atan2(y[i], x[i]);
        if (std::isnan(expected)) {
            EXPECT_TRUE(std::isnan(got[i])) << "atan2(" << y[i] << ", " << x[i] << ")";
        } else {
            EXPECT_EQ(std::bit_cast<std::uint64_t>(got[i]), std::bit_cast<std::uint64_t>(expected))
                << "atan2(" << y[i] << ", " << x[i] << ")";
        }
    }
}

}  // namespace
}  // namespace korvane
