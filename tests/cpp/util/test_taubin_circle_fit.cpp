// tests/cpp/util/test_taubin_circle_fit.cpp: algebraic circle fit through dgesvd
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

#include "system_dgesvd.hpp"
#include "util/taubin_circle_fit.hpp"

using korvane::CircleFit;
using korvane::CircleFitWorkspace;
using korvane::FitBound;
using korvane::taubin_circle_fit;

namespace {

struct PointRun {
    std::vector<double> x;
    std::vector<double> y;
};

[[maybe_unused]] PointRun on_circle(double cx, double cy, double r,
                                    const std::vector<double>& angles) {
    PointRun run;
    for (double a : angles) {
        run.x.push_back(cx + r * std::cos(a));
        run.y.push_back(cy + r * std::sin(a));
    }
    return run;
}

[[maybe_unused]] bool same_bits(const CircleFit& a, const CircleFit& b) {
    return std::bit_cast<std::uint64_t>(a.centre_x) == std::bit_cast<std::uint64_t>(b.centre_x) &&
           std::bit_cast<std::uint64_t>(a.centre_y) == std::bit_cast<std::uint64_t>(b.centre_y) &&
           std::bit_cast<std::uint64_t>(a.radius) == std::bit_cast<std::uint64_t>(b.radius) &&
           std::bit_cast<std::uint64_t>(a.rmse) == std::bit_cast<std::uint64_t>(b.rmse);
}

}  // namespace

TEST(TaubinCircleFit, FailingLapackOrNoPointsYieldNothing) {
    const std::vector<double> x{1, 0, -1};
    const std::vector<double> y{0, 1, 0};
    EXPECT_FALSE(taubin_circle_fit(x, y, korvane::testing::non_converging_dgesvd));
    EXPECT_FALSE(taubin_circle_fit(x, y, korvane::testing::refusing_dgesvd));
    EXPECT_FALSE(taubin_circle_fit({}, {}, korvane::testing::non_converging_dgesvd));
    EXPECT_FALSE(taubin_circle_fit(x, {}, korvane::testing::non_converging_dgesvd));
}

#if KORVANE_HAVE_LAPACK

using korvane::testing::system_dgesvd;

TEST(TaubinCircleFit, UnitCircleThroughThreeAndFourPoints) {
    const std::vector<PointRun> runs{{{1, 0, -1}, {0, 1, 0}}, {{1, 0, -1, 0}, {0, 1, 0, -1}}};
    for (const PointRun& run : runs) {
        const std::optional<CircleFit> fit = taubin_circle_fit(run.x, run.y, system_dgesvd);
        ASSERT_TRUE(fit);
        EXPECT_NEAR(fit->centre_x, 0.0, 1e-12);
        EXPECT_NEAR(fit->centre_y, 0.0, 1e-12);
        EXPECT_NEAR(fit->radius, 1.0, 1e-12);
        EXPECT_NEAR(fit->rmse, 0.0, 1e-12);
    }
}

// Any order of points on the circle and any shift of them: the centre moves along, the radius
// and the RMSE stay.
TEST(TaubinCircleFit, ExactCircleInAnyOrderAndTranslated) {
    std::vector<double> angles{0.3, 1.1, 2.0, 2.9, 4.4, 5.5};
    std::sort(angles.begin(), angles.end());
    const std::vector<std::pair<double, double>> shifts{{0.0, 0.0}, {1e3, -250.0}, {-7.5, 0.125}};
    int permutations = 0;
    do {
        for (std::size_t n : {3u, 4u, 6u}) {
            const std::vector<double> some(angles.begin(), angles.begin() + n);
            for (const auto& [dx, dy] : shifts) {
                const PointRun run = on_circle(10.0 + dx, -3.0 + dy, 5.0, some);
                const std::optional<CircleFit> fit = taubin_circle_fit(run.x, run.y, system_dgesvd);
                ASSERT_TRUE(fit);
                EXPECT_NEAR(fit->centre_x, 10.0 + dx, 1e-9);
                EXPECT_NEAR(fit->centre_y, -3.0 + dy, 1e-9);
                EXPECT_NEAR(fit->radius, 5.0, 1e-9);
                EXPECT_NEAR(fit->rmse, 0.0, 1e-9);
            }
        }
        ++permutations;
    } while (std::next_permutation(angles.begin(), angles.end()) && permutations < 40);
}

// On scattered points the fit is close to the circle they scatter around, and its RMSE is that
// of the radial distances to the fitted circle.
TEST(TaubinCircleFit, NoisyCircleRmseOfRadialDistances) {
    std::mt19937_64 rng(7);
    std::normal_distribution<double> noise(0.0, 0.05);
    PointRun run;
    for (int i = 0; i < 40; ++i) {
        const double a = 0.1 * i;
        run.x.push_back(-2.0 + 3.0 * std::cos(a) + noise(rng));
        run.y.push_back(4.0 + 3.0 * std::sin(a) + noise(rng));
    }
    const std::optional<CircleFit> fit = taubin_circle_fit(run.x, run.y, system_dgesvd);
    ASSERT_TRUE(fit);
    EXPECT_NEAR(fit->centre_x, -2.0, 0.1);
    EXPECT_NEAR(fit->centre_y, 4.0, 0.1);
    EXPECT_NEAR(fit->radius, 3.0, 0.1);
    double sum = 0.0;
    for (std::size_t i = 0; i < run.x.size(); ++i) {
        const double d = std::hypot(run.x[i] - fit->centre_x, run.y[i] - fit->centre_y);
        sum += (d - fit->radius) * (d - fit->radius);
    }
    EXPECT_NEAR(fit->rmse, std::sqrt(sum / 40.0), 1e-12);
    EXPECT_GT(fit->rmse, 0.02);
    EXPECT_LT(fit->rmse, 0.08);
}

TEST(TaubinCircleFit, CollinearRunHasNoFiniteError) {
    // Exactly on the x axis: the smallest singular vector has no quadratic part, the circle is
    // infinitely large and the radial errors are undefined.
    const std::vector<double> line_x{0, 1, 2, 3, 4};
    const std::vector<double> line_y{0, 0, 0, 0, 0};
    const std::optional<CircleFit> line = taubin_circle_fit(line_x, line_y, system_dgesvd);
    ASSERT_TRUE(line);
    EXPECT_TRUE(std::isnan(line->rmse));
}

// A bound never contradicts the fit: at a tolerance equal to its RMSE it is not above, just
// below it not within, on arcs of every size, far from the origin, nearly straight, short and
// long. At half and twice the RMSE it must mostly be proven, or it saves nothing.
TEST(TaubinCircleFit, BoundsAgreeWithTheFit) {
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    int proven = 0;
    int tried = 0;
    for (int trial = 0; trial < 400; ++trial) {
        const std::size_t n = 3 + static_cast<std::size_t>(unit(rng) * (trial % 2 ? 400 : 12));
        const double radius = std::pow(10.0, unit(rng) * 7.0);
        const double offset = trial % 3 == 0 ? 5e6 : 0.0;
        std::normal_distribution<double> noise(0.0, std::pow(10.0, unit(rng) * 4.0 - 3.0));
        PointRun run;
        for (std::size_t i = 0; i < n; ++i) {
            const double a = static_cast<double>(i) / radius;
            run.x.push_back(offset + radius * std::sin(a) + noise(rng));
            run.y.push_back(radius * (1.0 - std::cos(a)) + noise(rng));
        }
        const std::optional<CircleFit> fit = taubin_circle_fit(run.x, run.y, system_dgesvd);
        if (!fit || !(fit->rmse > 0.0)) {
            continue;
        }
        CircleFitWorkspace workspace;
        const auto bound = [&](double max_rmse) {
            return korvane::bound_circle_fit(run.x, run.y, max_rmse, workspace);
        };
        EXPECT_NE(bound(fit->rmse), FitBound::above) << "trial " << trial;
        EXPECT_NE(bound(std::nextafter(fit->rmse, 0.0)), FitBound::within) << "trial " << trial;
        proven +=
            (bound(fit->rmse / 2) == FitBound::above) + (bound(fit->rmse * 2) == FitBound::within);
        tried += 2;
    }
    EXPECT_GT(tried, 600);
    EXPECT_GT(proven, tried * 3 / 4);
}

#endif

namespace {

int g_dgesvd_calls = 0;

void counting_dgesvd(const char*, const char*, const int*, const int*, double*, const int*, double*,
                     double*, const int*, double*, const int*, double* work, const int*,
                     int* info) {
    ++g_dgesvd_calls;
    work[0] = 1.0;
    *info = 1;
}

}  // namespace

// LAPACK does not return on NaN input, so these must never reach it.
TEST(TaubinCircleFit, CoincidentOrNonFinitePointsYieldNothingWithoutLapack) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<PointRun> runs{{{2.5, 2.5, 2.5}, {-1, -1, -1}},
                                     {{0, 1, nan, 3}, {0, 1, 0, 1}},
                                     {{0, 1, 2}, {0, inf, 1}},
                                     {{1e200, -1e200, 1e200}, {0, 1, 2}}};
    g_dgesvd_calls = 0;
    for (const PointRun& run : runs) {
        EXPECT_FALSE(taubin_circle_fit(run.x, run.y, counting_dgesvd));
    }
    EXPECT_EQ(g_dgesvd_calls, 0);
}

#if KORVANE_HAVE_LAPACK

TEST(TaubinCircleFit, LongerListIsCutToTheShorter) {
    const std::vector<double> x{1, 0, -1, 0, 123.0};
    const std::vector<double> y{0, 1, 0, -1};
    const std::optional<CircleFit> fit = taubin_circle_fit(x, y, system_dgesvd);
    const std::optional<CircleFit> cut = taubin_circle_fit(std::span(x).first(4), y, system_dgesvd);
    ASSERT_TRUE(fit && cut);
    EXPECT_TRUE(same_bits(*fit, *cut));
}

// A workspace carried from fit to fit, with stale contents and remembered sizes, must give bit
// for bit what a fresh fit gives.
TEST(TaubinCircleFit, ReusedWorkspaceGivesIdenticalResults) {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> coord(-50.0, 50.0);
    std::vector<double> x(600);
    std::vector<double> y(600);
    for (std::size_t i = 0; i < x.size(); ++i) {
        x[i] = coord(rng);
        y[i] = coord(rng);
    }
    CircleFitWorkspace workspace;
    // Sizes learnt from another routine (here a fake answering 1) must not carry over.
    EXPECT_FALSE(taubin_circle_fit(std::span(x).first(3), std::span(y).first(3),
                                   korvane::testing::non_converging_dgesvd, workspace));
    for (std::size_t n : {500u, 3u, 4u, 3u, 37u, 600u, 5u, 3u, 128u, 3u, 300u, 255u, 256u}) {
        const std::size_t offset = (n * 7) % (x.size() - n + 1);
        const auto xs = std::span(x).subspan(offset, n);
        const auto ys = std::span(y).subspan(offset, n);
        const std::optional<CircleFit> reused = taubin_circle_fit(xs, ys, system_dgesvd, workspace);
        const std::optional<CircleFit> fresh = taubin_circle_fit(xs, ys, system_dgesvd);
        ASSERT_TRUE(reused && fresh);
        EXPECT_TRUE(same_bits(*reused, *fresh)) << "n = " << n;
    }
}

#endif
