// tests/cpp/path2d/test_resampling.cpp: equidistant resampling of points and associated values
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "path2d/point_queries.hpp"
#include "path2d/resampling.hpp"
#include "spline/spline.hpp"

using korvane::ByNumberPoints;
using korvane::BySamplingDistance;
using korvane::ErrorKind;
using korvane::InterpolationMethod;
using korvane::Path2D;
using korvane::Point;

namespace {

const double not_a_number = std::numeric_limits<double>::quiet_NaN();
const double inf = std::numeric_limits<double>::infinity();

Path2D resample(const Path2D& p, korvane::ResamplingMethod m,
                InterpolationMethod kind = InterpolationMethod::Linear, double epsilon = 0.01) {
    auto r = resampled_path(p, m, kind, epsilon);
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message);
    return std::move(r).value();
}

std::vector<double> xs(const Path2D& p) {
    std::vector<double> v;
    for (const Point& q : p.points()) {
        v.push_back(q.x);
    }
    return v;
}

// Distance from q to the nearest segment of the polyline.
double distance_to_polyline(const std::vector<Point>& pts, Point q) {
    double best = inf;
    for (std::size_t i = 0; i + 1 < pts.size(); ++i) {
        const double dx = pts[i + 1].x - pts[i].x;
        const double dy = pts[i + 1].y - pts[i].y;
        const double len2 = dx * dx + dy * dy;
        double t = len2 > 0 ? ((q.x - pts[i].x) * dx + (q.y - pts[i].y) * dy) / len2 : 0.0;
        t = std::clamp(t, 0.0, 1.0);
        best = std::min(best, std::hypot(pts[i].x + t * dx - q.x, pts[i].y + t * dy - q.y));
    }
    return best;
}

}  // namespace

TEST(Resampling, BySamplingDistanceOnStraightLine) {
    Path2D p = Path2D::from_points({{0, 0}, {10, 0}});
    ASSERT_TRUE(p.add_associated_values({0, 10}).ok());
    const Path2D kept = resample(p, BySamplingDistance{3.0, false});
    EXPECT_EQ(kept.points(), (std::vector<Point>{{0, 0}, {3, 0}, {6, 0}, {9, 0}, {10, 0}}));
    EXPECT_EQ(kept.associated_values()[0], (std::vector<double>{0, 3, 6, 9, 10}));
    EXPECT_FALSE(kept.path_length_per_point_cache().has_value());
    EXPECT_EQ(xs(resample(p, BySamplingDistance{3.0, true})), (std::vector<double>{0, 3, 6, 9}));

    // Cubic over the same positions: the guard tangents make the speed uneven.
    const Path2D cubic = resample(p, BySamplingDistance{3.0, false}, InterpolationMethod::Cubic);
    const std::vector<double> x = xs(cubic);
    ASSERT_EQ(x.size(), 5u);
    EXPECT_EQ(x[0], 0.0);
    EXPECT_NEAR(x[1], 2.86699, 5e-6);
    EXPECT_NEAR(x[2], 5.91417, 5e-6);
    EXPECT_NEAR(x[3], 8.99263, 5e-6);
    EXPECT_EQ(x[4], 10.0);
    for (const Point& q : cubic.points()) {
        EXPECT_EQ(q.y, 0.0);
    }
}

TEST(Resampling, PositionsBySamplingDistance) {
    const Path2D ten = Path2D::from_points({{0, 0}, {6, 8}});
    EXPECT_EQ(resample(ten, BySamplingDistance{4.0, false}).size(), 4u);  // 0 4 8 10
    EXPECT_EQ(resample(ten, BySamplingDistance{4.0, true}).size(), 3u);   // 0 4 8
    // Past the length: the start, plus the end unless it lies within epsilon of the start.
    EXPECT_EQ(resample(ten, BySamplingDistance{25.0, true}).size(), 1u);
    EXPECT_EQ(resample(ten, BySamplingDistance{25.0, false}).size(), 2u);

    const Path2D almost = Path2D::from_points({{0, 0}, {10.005, 0}});
    EXPECT_EQ(xs(resample(almost, BySamplingDistance{2.5, false})),
              (std::vector<double>{0, 2.5, 5, 7.5, 10}));
    EXPECT_EQ(
        resample(almost, BySamplingDistance{2.5, false}, InterpolationMethod::Linear, 0.001).size(),
        6u);
}

TEST(Resampling, ByNumberPointsEndsAndEpsilonIgnored) {
    Path2D p = Path2D::from_points({{0, 0}, {1, 1}, {3, 0}, {4, 2}});
    ASSERT_TRUE(p.add_associated_values({1, 2, 3, 4}).ok());
    for (const auto kind : {InterpolationMethod::Linear, InterpolationMethod::Cubic}) {
        const Path2D two = resample(p, ByNumberPoints{2}, kind);
        EXPECT_EQ(two.points(), (std::vector<Point>{{0, 0}, {4, 2}}));
        EXPECT_EQ(two.associated_values()[0], (std::vector<double>{1, 4}));
        const Path2D one = resample(p, ByNumberPoints{1}, kind);
        EXPECT_EQ(one.points(), (std::vector<Point>{{4, 2}}));
        EXPECT_EQ(resample(p, ByNumberPoints{7}, kind, 0.01).points(),
                  resample(p, ByNumberPoints{7}, kind, 100.0).points());
    }
}

TEST(Resampling, LinearSamplesLieOnThePolylineAndAreEvenlySpacedAlongIt) {
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> coord(-50.0, 50.0);
    for (int round = 0; round < 20; ++round) {
        std::vector<Point> pts(3 + rng() % 30);
        for (Point& q : pts) {
            q = {coord(rng), coord(rng)};
        }
        pts[2] = pts[1];  // a zero-length segment
        const Path2D p = Path2D::from_points(pts);
        const Path2D r = resample(p, ByNumberPoints{101});
        ASSERT_EQ(r.size(), 101u);
        EXPECT_EQ(r.points().front(), pts.front());
        EXPECT_EQ(r.points().back(), pts.back());
        for (std::size_t j = 0; j < r.size(); ++j) {
            EXPECT_LT(distance_to_polyline(pts, r.points()[j]), 1e-9);
            const auto at = path_length_from_point(p, r.points()[j], 1e-12);
            if (at && j > 0 && j + 1 < r.size()) {
                EXPECT_NEAR(*at, p.length() * static_cast<double>(j) / 100.0, 1e-7);
            }
        }
    }
}

TEST(Resampling, DegenerateLengths) {
    // All points equal: copies of the last point, values of the last point.
    Path2D same = Path2D::from_points({{2, 3}, {2, 3}, {2, 3}});
    ASSERT_TRUE(same.add_associated_values({7, 8, 9}).ok());
    for (const auto kind : {InterpolationMethod::Linear, InterpolationMethod::Cubic}) {
        const Path2D r = resample(same, ByNumberPoints{4}, kind);
        EXPECT_EQ(r.points(), (std::vector<Point>(4, Point{2, 3})));
        EXPECT_EQ(r.associated_values()[0], (std::vector<double>(4, 9.0)));
        EXPECT_EQ(resample(same, BySamplingDistance{1.0, false}, kind).points(),
                  (std::vector<Point>{{2, 3}}));
    }
    // A repeated point: a position at its arc length takes the later of the two.
    Path2D repeated = Path2D::from_points({{0, 0}, {1, 0}, {1, 0}, {2, 0}});
    ASSERT_TRUE(repeated.add_associated_values({0, 1, 5, 6}).ok());
    EXPECT_EQ(resample(repeated, ByNumberPoints{3}).associated_values()[0],
              (std::vector<double>{0, 5, 6}));
}

TEST(Resampling, LongerCoordinateListFeedsOnlyTheEndGuards) {
    const Path2D p = Path2D::from_coordinates({0, 10, 99}, {0, 0});
    const Path2D linear = resample(p, ByNumberPoints{3});
    EXPECT_EQ(linear.points(), (std::vector<Point>{{0, 0}, {5, 0}, {10, 0}}));
    EXPECT_EQ(linear.x().size(), 3u);
    // The cubic tangent at the end leans on the guard that carries 99.
    const Path2D cubic = resample(p, ByNumberPoints{3}, InterpolationMethod::Cubic);
    EXPECT_EQ(cubic.points().back().x, 10.0);
    const double m0 = 10.0 / 11.0 * 10.0;
    const double m1 = 99.0 / 10.01 * 10.0;
    EXPECT_NEAR(cubic.points()[1].x, 5.0 + (m0 - m1) * 0.125, 1e-12);
}

TEST(Resampling, ShortPathsAreCopiedWhateverTheArguments) {
    Path2D single = Path2D::from_points({{1, 2}});
    ASSERT_TRUE(single.add_associated_values({5}).ok());
    (void)single.length();
    using Method = korvane::ResamplingMethod;
    for (const Method m : {Method{ByNumberPoints{0}}, Method{BySamplingDistance{-1, false}},
                           Method{BySamplingDistance{not_a_number, true}}}) {
        const auto r = resampled_path(single, m, InterpolationMethod::Cubic, not_a_number);
        ASSERT_TRUE(r.ok());
        EXPECT_EQ(r.value().points(), single.points());
        EXPECT_EQ(r.value().associated_values(), single.associated_values());
        EXPECT_TRUE(r.value().path_length_per_point_cache().has_value());
    }
    const auto empty = resampled_path(Path2D::from_points({}), ByNumberPoints{5},
                                      InterpolationMethod::Linear, 0.01);
    ASSERT_TRUE(empty.ok());
    EXPECT_EQ(empty.value().size(), 0u);
}

TEST(Resampling, ZeroPointsGiveAnEmptyPathWithEmptyLists) {
    Path2D p = Path2D::from_points({{0, 0}, {1, 0}});
    ASSERT_TRUE(p.add_associated_values({1, 2}).ok());
    ASSERT_TRUE(p.add_associated_values({3, 4}).ok());
    const Path2D r = resample(p, ByNumberPoints{0});
    EXPECT_EQ(r.size(), 0u);
    EXPECT_TRUE(r.x().empty());
    EXPECT_EQ(r.associated_values(), (std::vector<std::vector<double>>{{}, {}}));
}

TEST(Resampling, RefusedArgumentsAndPaths) {
    const Path2D p = Path2D::from_points({{0, 0}, {100, 0}});
    const auto message = [](const Path2D& path, korvane::ResamplingMethod m) {
        const auto r = resampled_path(path, m, InterpolationMethod::Linear, 0.01);
        EXPECT_FALSE(r.ok());
        if (r.ok()) {
            return std::string();
        }
        EXPECT_EQ(r.error().kind, ErrorKind::Value);
        return r.error().message;
    };
    EXPECT_EQ(message(p, BySamplingDistance{-1, true}),
              "sampling_distance must be a positive finite number, got -1.0");
    EXPECT_EQ(message(p, BySamplingDistance{0.0, false}),
              "sampling_distance must be a positive finite number, got 0.0");
    EXPECT_EQ(message(p, BySamplingDistance{not_a_number, true}),
              "sampling_distance must be a positive finite number, got nan");
    EXPECT_EQ(message(p, BySamplingDistance{inf, true}),
              "sampling_distance must be a positive finite number, got inf");
    // Counts that could not be stored are refused before allocating, however they arise.
    EXPECT_EQ(message(p, BySamplingDistance{1e-12, true}),
              "sampling_distance 1e-12 is too small for a path of length 100.0: more than "
              "4294967296 points");
    EXPECT_FALSE(message(p, BySamplingDistance{5e-324, true}).empty());  // L / d overflows
    EXPECT_EQ(message(p, ByNumberPoints{std::uint64_t{1} << 40}),
              "number_points must be at most 4294967296, got 1099511627776");
    EXPECT_EQ(message(p, ByNumberPoints{~std::uint64_t{0}}),
              "number_points must be at most 4294967296, got 18446744073709551615");

    for (const double bad : {not_a_number, inf}) {
        const Path2D broken = Path2D::from_points({{0, 0}, {bad, 1}, {2, 2}});
        EXPECT_EQ(message(broken, ByNumberPoints{3}),
                  "cannot resample a path whose length is not finite, got " +
                      std::string(std::isnan(bad) ? "nan" : "inf"));
        EXPECT_FALSE(message(broken, BySamplingDistance{1.0, false}).empty());
    }
}

TEST(Resampling, BitIdenticalToBuiltSplinesSampledByBinarySearch) {
    std::mt19937_64 rng(17);
    std::uniform_real_distribution<double> coord(-20.0, 20.0);
    for (int round = 0; round < 40; ++round) {
        const std::size_t n = 2 + rng() % 60;
        std::vector<double> x(n + rng() % 3), y(n);
        for (std::size_t i = 0; i < n; ++i) {
            const bool repeat = i > 0 && rng() % 5 == 0;
            x[i] = repeat ? x[i - 1] : coord(rng);
            y[i] = repeat ? y[i - 1] : coord(rng);
        }
        for (std::size_t i = n; i < x.size(); ++i) {
            x[i] = coord(rng);
        }
        Path2D p = Path2D::from_coordinates(x, y);
        std::vector<double> values(n);
        for (double& v : values) {
            v = coord(rng);
        }
        ASSERT_TRUE(p.add_associated_values(values).ok());
        const double length = p.length();
        using Method = korvane::ResamplingMethod;
        const double distance = length / static_cast<double>(1 + rng() % 50) * 1.01;
        const Method method = round % 2 ? Method{ByNumberPoints{1 + rng() % 300}}
                                        : Method{BySamplingDistance{distance, round % 4 == 0}};
        for (const auto kind : {InterpolationMethod::Linear, InterpolationMethod::Cubic}) {
            const auto spline_kind = kind == InterpolationMethod::Cubic
                                         ? korvane::SplineInterpolation::CatmullRom
                                         : korvane::SplineInterpolation::Linear;
            const Path2D r = resample(p, method, kind);
            // The positions the path got, recovered from the method the long way.
            std::vector<double> positions;
            if (const auto* by_count = std::get_if<ByNumberPoints>(&method)) {
                positions = korvane::linspace(0, length, by_count->number_points);
            } else {
                const auto& by_distance = std::get<BySamplingDistance>(method);
                const double k = std::floor(length / by_distance.sampling_distance);
                positions = korvane::linspace(0, by_distance.sampling_distance * k,
                                              static_cast<std::size_t>(k) + 1);
                if (!by_distance.drop_last &&
                    std::fabs(by_distance.sampling_distance * k - length) > 0.01) {
                    positions.push_back(length);
                }
            }
            const auto& s = p.path_length_per_point();
            const korvane::Spline sx = korvane::make_spline(s, p.x(), spline_kind);
            const korvane::Spline sy = korvane::make_spline(s, p.y(), spline_kind);
            const korvane::Spline sv = korvane::make_spline(s, values, spline_kind);
            ASSERT_EQ(r.size(), positions.size());
            for (std::size_t j = 0; j < positions.size(); ++j) {
                const auto at = [&](const korvane::Spline& spline) {
                    const auto sample = korvane::sample_with_key(spline, positions[j]);
                    return sample ? sample->value : 0.0;
                };
                const auto bits = [](double v) { return std::bit_cast<std::uint64_t>(v); };
                ASSERT_EQ(bits(r.points()[j].x), bits(at(sx)));
                ASSERT_EQ(bits(r.points()[j].y), bits(at(sy)));
                ASSERT_EQ(bits(r.x()[j]), bits(at(sx)));
                ASSERT_EQ(bits(r.associated_values()[0][j]), bits(at(sv)));
            }
        }
    }
}
