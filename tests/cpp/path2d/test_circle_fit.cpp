// tests/cpp/path2d/test_circle_fit.cpp: circle segment decomposition and circle-fit curvature
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

#include "path2d/circle_fit.hpp"
#include "../util/system_dgesvd.hpp"
#include "util/taubin_circle_fit.hpp"

using korvane::CircleSegment;
using korvane::ErrorKind;
using korvane::Path2D;
using korvane::Point;
using korvane::testing::non_converging_dgesvd;

namespace {

constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();

std::vector<Point> arc(double cx, double cy, double r, double from, double step, int count) {
    std::vector<Point> points;
    for (int i = 0; i < count; ++i) {
        const double a = from + step * i;
        points.push_back({cx + r * std::cos(a), cy + r * std::sin(a)});
    }
    return points;
}

// Every decomposition tiles its range: ascending, touching, nothing left out.
void expect_tiles(const std::vector<CircleSegment>& segments, std::size_t start, std::size_t end) {
    ASSERT_FALSE(segments.empty());
    EXPECT_EQ(segments.front().start, start);
    EXPECT_EQ(segments.back().end, end);
    for (std::size_t i = 1; i < segments.size(); ++i) {
        EXPECT_EQ(segments[i - 1].end, segments[i].start);
    }
}

// Splitting down because nothing is accepted leaves runs of at most 2 points with curvature 0.
void expect_split_to_pairs(const std::vector<CircleSegment>& segments, std::size_t start,
                           std::size_t end) {
    expect_tiles(segments, start, end);
    for (const CircleSegment& s : segments) {
        EXPECT_LE(s.end - s.start, 2u);
        EXPECT_EQ(s.curvature, 0.0);
    }
}

}  // namespace

TEST(CircleSegments, ShortRunsNeedNoFitAndNoValidIndices) {
    const Path2D p = Path2D::from_points({{0, 0}, {1, 1}});
    for (std::size_t len : {0u, 1u, 2u}) {
        for (std::size_t start : {0u, 1u, 50u}) {
            const auto r = find_circle_segments(p, start, start + len, 0.15, non_converging_dgesvd);
            ASSERT_TRUE(r.ok());
            EXPECT_EQ(r.value(), (std::vector<CircleSegment>{{start, start + len, 0.0}}));
        }
    }
    EXPECT_TRUE(
        compute_circle_fit_curvature(Path2D::from_points({}), 0.15, nullptr).value().empty());
    EXPECT_EQ(compute_circle_fit_curvature(Path2D::from_points({{3, 3}}), 0.15, nullptr).value(),
              std::vector<double>{0.0});
    EXPECT_EQ(compute_circle_fit_curvature(p, 0.15, nullptr).value(),
              (std::vector<double>{0.0, 0.0}));
}

TEST(CircleSegments, BadRangesAreIndexErrors) {
    const Path2D p = Path2D::from_points(arc(0, 0, 4, 0, 0.3, 6));
    const auto reversed = find_circle_segments(p, 5, 2, 0.15, non_converging_dgesvd);
    ASSERT_FALSE(reversed.ok());
    EXPECT_EQ(reversed.error().kind, ErrorKind::Index);
    EXPECT_EQ(reversed.error().message, "end index 2 lies before start index 5");
    // Even a reversed range of "length" below 3 is refused: its unsigned length wraps.
    EXPECT_FALSE(find_circle_segments(p, 3, 2, 0.15, non_converging_dgesvd).ok());

    const auto beyond = find_circle_segments(p, 4, 7, 0.15, non_converging_dgesvd);
    ASSERT_FALSE(beyond.ok());
    EXPECT_EQ(beyond.error().kind, ErrorKind::Index);
    EXPECT_EQ(beyond.error().message, "end index 7 lies beyond the path of 6 points");

    // The longer coordinate list does not count: only paired coordinates are points.
    const Path2D uneven = Path2D::from_coordinates({0, 1, 2, 3, 4}, {0, 1, 0});
    EXPECT_FALSE(find_circle_segments(uneven, 0, 4, 0.15, non_converging_dgesvd).ok());
    EXPECT_TRUE(find_circle_segments(uneven, 0, 3, 0.15, non_converging_dgesvd).ok());
}

// A LAPACK failure is a fit that does not fit: the run is split like a rejected one.
TEST(CircleSegments, FailingLapackSplitsInsteadOfFailing) {
    const Path2D p = Path2D::from_points(arc(0, 0, 4, 0, 0.3, 11));
    const auto r = find_circle_segments(p, 0, 11, 0.15, non_converging_dgesvd);
    ASSERT_TRUE(r.ok());
    expect_split_to_pairs(r.value(), 0, 11);
    const auto curvature = compute_circle_fit_curvature(p, 0.15, korvane::testing::refusing_dgesvd);
    ASSERT_TRUE(curvature.ok());
    EXPECT_EQ(curvature.value(), std::vector<double>(11, 0.0));
}

#if KORVANE_HAVE_LAPACK

using korvane::testing::system_dgesvd;

namespace {

// The system dgesvd, except that it cannot decompose more than `MaxRows` rows.
template <int MaxRows>
void dgesvd_up_to(const char* jobu, const char* jobvt, const int* m, const int* n, double* a,
                  const int* lda, double* s, double* u, const int* ldu, double* vt, const int* ldvt,
                  double* work, const int* lwork, int* info) {
    if (*m > MaxRows && *lwork != -1) {
        *info = 1;
        return;
    }
    system_dgesvd(jobu, jobvt, m, n, a, lda, s, u, ldu, vt, ldvt, work, lwork, info);
}

// The decomposition as plainly stated, with a fresh fit and fresh lists at every step; the
// library's version must match it bit for bit.
std::vector<CircleSegment> plain_decomposition(const Path2D& p, std::size_t start, std::size_t end,
                                               double max_rmse) {
    const auto fit_curvature = [&](std::size_t a, std::size_t b) -> std::optional<double> {
        const auto fit = korvane::taubin_circle_fit(
            std::span(p.x()).subspan(a, b - a), std::span(p.y()).subspan(a, b - a), system_dgesvd);
        if (fit && max_rmse >= fit->rmse) {
            return 1.0 / fit->radius;
        }
        return std::nullopt;
    };
    if (end - start < 3) {
        return {{start, end, 0.0}};
    }
    if (const auto k = fit_curvature(start, end)) {
        return {{start, end, *k}};
    }
    const std::size_t mid = start + (end - start) / 2;
    std::vector<CircleSegment> left = plain_decomposition(p, start, mid, max_rmse);
    const std::vector<CircleSegment> right = plain_decomposition(p, mid, end, max_rmse);
    if (const auto k = fit_curvature(left.back().start, right.front().end)) {
        left.back() = {left.back().start, right.front().end, *k};
        left.insert(left.end(), right.begin() + 1, right.end());
    } else {
        left.insert(left.end(), right.begin(), right.end());
    }
    return left;
}

std::vector<Point> noisy_track(int count, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> noise(0.0, 0.03);
    std::vector<Point> points;
    double x = 0.0;
    double y = 0.0;
    double heading = 0.0;
    for (int i = 0; i < count; ++i) {
        // Alternating left arcs of radius 8, straights and right arcs of radius 20, step 0.5.
        const int phase = (i / 40) % 3;
        heading += phase == 0 ? 0.5 / 8.0 : (phase == 1 ? 0.0 : -0.5 / 20.0);
        x += 0.5 * std::cos(heading);
        y += 0.5 * std::sin(heading);
        points.push_back({x + noise(rng), y + noise(rng)});
    }
    return points;
}

}  // namespace

// No sign: a clockwise run of the circle gives the same curvature as a counter-clockwise one.
TEST(CircleSegments, ExactCircleIsOneSegmentInBothDirections) {
    for (int count : {3, 4, 7, 30}) {
        for (double step : {0.2, -0.2}) {
            const Path2D p = Path2D::from_points(arc(5, -1, 4, 0.7, step, count));
            const auto segments = find_circle_segments(p, 0, count, 0.15, system_dgesvd);
            ASSERT_TRUE(segments.ok());
            ASSERT_EQ(segments.value().size(), 1u);
            EXPECT_EQ(segments.value()[0].end, static_cast<std::size_t>(count));
            EXPECT_NEAR(segments.value()[0].curvature, 0.25, 1e-9);
            const auto curvature = compute_circle_fit_curvature(p, 0.15, system_dgesvd);
            ASSERT_TRUE(curvature.ok());
            ASSERT_EQ(curvature.value().size(), static_cast<std::size_t>(count));
            for (double k : curvature.value()) {
                EXPECT_NEAR(k, 0.25, 1e-9);
            }
        }
    }
}

TEST(CircleSegments, CollinearRunSplitsDownToPairs) {
    const Path2D p = Path2D::from_points({{0, 0}, {1, 0}, {2, 0}, {3, 0}, {4, 0}});
    const auto r = find_circle_segments(p, 0, 5, 0.15, system_dgesvd);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value(), (std::vector<CircleSegment>{{0, 2, 0.0}, {2, 3, 0.0}, {3, 5, 0.0}}));
}

TEST(CircleSegments, NanToleranceAcceptsNothing) {
    const Path2D p = Path2D::from_points(arc(0, 0, 4, 0, 0.2, 13));
    const auto r = find_circle_segments(p, 0, 13, not_a_number, system_dgesvd);
    ASSERT_TRUE(r.ok());
    expect_split_to_pairs(r.value(), 0, 13);
}

// Two arcs of very different circles meeting at the midpoint: split at 3, not merged back.
TEST(CircleSegments, SixPointsSplitInTheMiddle) {
    std::vector<Point> points = arc(0, 0, 1, 0, 0.5, 3);
    for (const Point& q : arc(30, 0, 10, 2.5, 0.3, 3)) {
        points.push_back(q);
    }
    const Path2D p = Path2D::from_points(points);
    const auto r = find_circle_segments(p, 0, 6, 0.15, system_dgesvd);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r.value().size(), 2u);
    EXPECT_EQ(r.value()[0].end, 3u);
    EXPECT_NEAR(r.value()[0].curvature, 1.0, 1e-9);
    EXPECT_NEAR(r.value()[1].curvature, 0.1, 1e-9);
}

// The merge fit across the split is the 6-row fit, which fails here, so the halves stay apart
// although one circle holds them all.
TEST(CircleSegments, FailedMergeFitKeepsBothHalves) {
    const Path2D p = Path2D::from_points(arc(0, 0, 4, 0, 0.3, 6));
    const auto r = find_circle_segments(p, 0, 6, 0.15, dgesvd_up_to<3>);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r.value().size(), 2u);
    EXPECT_EQ(r.value()[0].end, 3u);
    EXPECT_NEAR(r.value()[0].curvature, 0.25, 1e-9);
    EXPECT_NEAR(r.value()[1].curvature, 0.25, 1e-9);
}

TEST(CircleSegments, RmseEqualToToleranceIsAccepted) {
    const std::vector<Point> points{{0, 0}, {1, 0.3}, {2, 0.2}, {3, 0.9}, {4, 0.5}, {5, 1.7}};
    const Path2D p = Path2D::from_points(points);
    const auto fit = korvane::taubin_circle_fit(p.x(), p.y(), system_dgesvd);
    ASSERT_TRUE(fit);
    const auto equal = find_circle_segments(p, 0, 6, fit->rmse, system_dgesvd);
    ASSERT_TRUE(equal.ok());
    EXPECT_EQ(equal.value(), (std::vector<CircleSegment>{{0, 6, 1.0 / fit->radius}}));
    const auto below = find_circle_segments(p, 0, 6, std::nextafter(fit->rmse, 0.0), system_dgesvd);
    ASSERT_TRUE(below.ok());
    EXPECT_GT(below.value().size(), 1u);
}

// A vehicle standing still repeats its position; such runs and NaN coordinates have no circle
// and must not stall the decomposition.
TEST(CircleSegments, RepeatedAndNanPointsAreSplitOff) {
    std::vector<Point> points = arc(0, 0, 4, 0, 0.2, 8);
    points.insert(points.begin() + 4, 5, points[4]);
    points.push_back({std::numeric_limits<double>::quiet_NaN(), 1.0});
    const Path2D p = Path2D::from_points(points);
    const auto r = find_circle_segments(p, 0, p.size(), 0.15, system_dgesvd);
    ASSERT_TRUE(r.ok());
    expect_tiles(r.value(), 0, p.size());
    for (const CircleSegment& s : r.value()) {
        if (s.end - s.start >= 3) {
            EXPECT_TRUE(std::isfinite(s.curvature)) << s.start << ".." << s.end;
        }
    }
    EXPECT_EQ(r.value().back().curvature, 0.0);
}

// Only paired coordinates are points: the surplus of the longer list is ignored, either way.
TEST(CircleSegments, UnevenCoordinateListsGiveOneValuePerPoint) {
    const std::vector<Point> points = arc(1, 2, 4, 0, 0.25, 6);
    std::vector<double> x;
    std::vector<double> y;
    for (const Point& q : points) {
        x.push_back(q.x);
        y.push_back(q.y);
    }
    const std::vector<double> expected =
        compute_circle_fit_curvature(Path2D::from_points(points), 0.15, system_dgesvd).value();
    std::vector<double> longer_x = x;
    longer_x.insert(longer_x.end(), {100.0, -3.0});
    std::vector<double> longer_y = y;
    longer_y.push_back(55.0);
    for (const Path2D& p :
         {Path2D::from_coordinates(longer_x, y), Path2D::from_coordinates(x, longer_y)}) {
        const auto curvature = compute_circle_fit_curvature(p, 0.15, system_dgesvd);
        ASSERT_TRUE(curvature.ok());
        EXPECT_EQ(curvature.value(), expected);
    }
}

TEST(CircleSegments, NoisyTrackMatchesPlainDecompositionExactly) {
    const Path2D p = Path2D::from_points(noisy_track(1500, 3));
    for (double max_rmse : {0.01, 0.05, 0.15, 1.0}) {
        const auto r = find_circle_segments(p, 0, p.size(), max_rmse, system_dgesvd);
        ASSERT_TRUE(r.ok());
        const std::vector<CircleSegment> plain = plain_decomposition(p, 0, p.size(), max_rmse);
        EXPECT_EQ(r.value(), plain) << "max_rmse " << max_rmse;
        const auto sub = find_circle_segments(p, 111, 987, max_rmse, system_dgesvd);
        ASSERT_TRUE(sub.ok());
        EXPECT_EQ(sub.value(), plain_decomposition(p, 111, 987, max_rmse));

        const auto curvature = compute_circle_fit_curvature(p, max_rmse, system_dgesvd);
        ASSERT_TRUE(curvature.ok());
        ASSERT_EQ(curvature.value().size(), p.size());
        for (const CircleSegment& s : plain) {
            for (std::size_t i = s.start; i < s.end; ++i) {
                ASSERT_EQ(curvature.value()[i], s.curvature);
            }
        }
    }
}

// Moving or turning the path moves its circles along: the curvature profile stays.
TEST(CircleSegments, CurvatureInvariantUnderRotationAndTranslation) {
    const std::vector<Point> points = noisy_track(600, 5);
    const Path2D p = Path2D::from_points(points);
    const std::vector<double> reference =
        compute_circle_fit_curvature(p, 0.15, system_dgesvd).value();
    for (const auto& [angle, dx, dy] : std::vector<std::tuple<double, double, double>>{
             {0.0, 250.0, -40.0}, {std::numbers::pi / 3, 0.0, 0.0}, {-2.0, -1e3, 7e2}}) {
        std::vector<Point> moved;
        for (const Point& q : points) {
            moved.push_back({std::cos(angle) * q.x - std::sin(angle) * q.y + dx,
                             std::sin(angle) * q.x + std::cos(angle) * q.y + dy});
        }
        const auto curvature =
            compute_circle_fit_curvature(Path2D::from_points(moved), 0.15, system_dgesvd);
        ASSERT_TRUE(curvature.ok());
        ASSERT_EQ(curvature.value().size(), reference.size());
        for (std::size_t i = 0; i < reference.size(); ++i) {
            EXPECT_NEAR(curvature.value()[i], reference[i], 1e-6 * (1.0 + std::abs(reference[i])))
                << "point " << i;
        }
    }
    // The arcs of radius 8 and 20 are found as such away from their ends.
    const std::size_t inside_left_arc = 20;
    const std::size_t inside_right_arc = 100;
    EXPECT_NEAR(reference[inside_left_arc], 1.0 / 8.0, 0.03);
    EXPECT_NEAR(reference[inside_right_arc], 1.0 / 20.0, 0.03);
}

#endif
