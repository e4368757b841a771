// tests/cpp/path2d/test_derived_quantities.cpp: the single-pass quantities of large paths against
// the formulas computed list by list with the C library
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "path2d/path2d.hpp"
#include "differences.hpp"
#include "../util/ulp.hpp"
#include "../util/vector_atan2.hpp"

namespace korvane {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

using testing::compute_differences;
using testing::ulp_distance;

bool same_bits(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b) ||
           (std::isnan(a) && std::isnan(b));
}

// The quantities as first written: whole difference lists, then one formula per point.
struct Reference {
    std::vector<double> length, heading, curvature;
    std::vector<Point> tangent;

    Reference(const std::vector<double>& x, const std::vector<double>& y) {
        const std::size_t n = std::min(x.size(), y.size());
        length.assign(n, 0.0);
        for (std::size_t i = 1; i < n; ++i) {
            const double dx = x[i] - x[i - 1];
            const double dy = y[i] - y[i - 1];
            length[i] = length[i - 1] + std::sqrt(dx * dx + dy * dy);
        }
        heading.assign(n, 0.0);
        for (std::size_t i = 0; n >= 2 && i < n; ++i) {
            const std::size_t from = i == 0 ? 0 : (i + 1 == n ? n - 2 : i - 1);
            const std::size_t to = i == 0 ? 1 : (i + 1 == n ? n - 1 : i + 1);
            heading[i] = std::atan2(y[to] - y[from], x[to] - x[from]);
        }
        const std::vector<double> dx = compute_differences(x), dy = compute_differences(y);
        const std::vector<double> ddx = compute_differences(dx), ddy = compute_differences(dy);
        for (std::size_t i = 0; i < n; ++i) {
            const double r = std::sqrt(dy[i] * dy[i] + dx[i] * dx[i]);
            tangent.push_back(Point{dx[i] / r, dy[i] / r});
            curvature.push_back((dx[i] * ddy[i] - dy[i] * ddx[i]) /
                                std::pow(dx[i] * dx[i] + dy[i] * dy[i], 1.5));
        }
    }
};

// Random walks at several scales, with runs of repeated points, straight and diagonal runs,
// and coordinates near the limits of the double range.
std::vector<double> walk(std::mt19937_64& rng, std::size_t n, double scale) {
    std::normal_distribution<double> step(0.0, scale);
    std::uniform_int_distribution<int> kind(0, 19);
    std::vector<double> v(n);
    double at = step(rng);
    for (std::size_t i = 0; i < n; ++i) {
        const int k = kind(rng);
        at = k == 0 ? at : (k == 1 ? std::round(at) : at + step(rng));
        v[i] = at;
    }
    return v;
}

void expect_like_reference(const Path2D& path, const Reference& want, const char* what) {
    const std::size_t n = want.length.size();
    ASSERT_EQ(path.size(), n) << what;
    std::uint64_t worst_heading = 0, worst_curvature = 0;
    for (std::size_t i = 0; i < n; ++i) {
        ASSERT_TRUE(same_bits(path.path_length_per_point()[i], want.length[i])) << what << " " << i;
        ASSERT_TRUE(same_bits(path.unit_tangent_vector()[i].x, want.tangent[i].x))
            << what << " " << i;
        ASSERT_TRUE(same_bits(path.unit_tangent_vector()[i].y, want.tangent[i].y))
            << what << " " << i;
        worst_heading =
            std::max(worst_heading, ulp_distance(path.orientation()[i], want.heading[i]));
        worst_curvature =
            std::max(worst_curvature, ulp_distance(path.curvature()[i], want.curvature[i]));
        ASSERT_LE(worst_heading, 2u) << what << " heading " << i;
        ASSERT_LE(worst_curvature, 2u) << what << " curvature " << i << ": " << path.curvature()[i]
                                       << " vs " << want.curvature[i];
    }
    if (!testing::vector_atan2_available()) {
        EXPECT_EQ(worst_heading, 0u) << what;
    }
}

TEST(DerivedQuantities, LargePathsMatchTheListByListFormulasInBothStorageForms) {
    std::mt19937_64 rng(11);
    for (const double scale : {1.0, 1e-3, 1e6, 1e-150, 1e150}) {
        const std::size_t n = 1'000'003;
        const std::vector<double> x = walk(rng, n, scale);
        const std::vector<double> y = walk(rng, n, scale);
        const Reference want(x, y);
        std::vector<Point> points(n);
        for (std::size_t i = 0; i < n; ++i) {
            points[i] = Point{x[i], y[i]};
        }
        expect_like_reference(Path2D::from_points(points), want, "from points");
        expect_like_reference(Path2D::from_coordinates(x, y), want, "from coordinates");
    }
}

TEST(DerivedQuantities, SpecialValuesShortPathsAndExactCompassHeadings) {
    const std::vector<std::vector<double>> cases = {
        {},
        {1},
        {1, 2},
        {1, 2, 3},
        {0, 0, 0, 0},
        {1, 1, 2, 2, 3},
        {0, 1, nan, 3, 4, 5},
        {0, inf, 2, 3, -inf, 5, 6},
        {1e308, -1e308, 1e308, 0, 1, 2},
        {5e-324, 0, -5e-324, 1e-310, 2e-310, 0},
        {0, 1, 0, 1, 0, 1, 0},
    };
    for (const auto& x : cases) {
        for (const auto& y : cases) {
            expect_like_reference(Path2D::from_coordinates(x, y), Reference(x, y), "coordinates");
        }
    }
    // Every heading along the eight compass directions (or atan2(0, 0) where a step is undone)
    // is exact: each central difference spans one step of its own walk, as the even and the
    // odd points make two walks of compass steps from neighbouring starts.
    std::mt19937_64 rng(3);
    const auto step = [&] { return static_cast<double>(static_cast<int>(rng() % 3) - 1) * 0.5; };
    std::vector<double> x{0.0, 0.5}, y{0.0, 0.0};
    for (int i = 2; i < 100'000; ++i) {
        x.push_back(x[i - 2] + step());
        y.push_back(y[i - 2] + step());
    }
    const Reference want(x, y);
    const Path2D compass = Path2D::from_coordinates(x, y);
    for (std::size_t i = 0; i + 1 < x.size(); ++i) {
        ASSERT_TRUE(same_bits(compass.orientation()[i], want.heading[i])) << i;
    }
}

}  // namespace
}  // namespace korvane
