// tests/cpp/path2d/test_point_order.cpp: detection and repair of points where the path reverses
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <random>

#include "path2d/point_order.hpp"

using korvane::Path2D;
using korvane::Point;

namespace {

const double not_a_number = std::numeric_limits<double>::quiet_NaN();

// Straight from the definition: two arc tangents per interior point.
std::vector<std::size_t> reference_detect(const std::vector<Point>& p, double sus_angle) {
    std::vector<std::size_t> found;
    for (std::size_t j = 1; j + 1 < p.size(); ++j) {
        const double in = std::atan2(p[j].y - p[j - 1].y, p[j].x - p[j - 1].x);
        const double out = std::atan2(p[j + 1].y - p[j].y, p[j + 1].x - p[j].x);
        double d = std::fabs(out - in);
        if (d > 3.141592653589793) {
            d = std::fabs(6.283185307179586 - d);
        }
        if (d >= sus_angle) {
            found.push_back(j);
        }
    }
    return found;
}

struct Repaired {
    std::vector<Point> points;
    std::vector<double> x;
    std::vector<double> y;
    std::vector<std::vector<double>> values;
    std::size_t passes = 0;
};

// Pass by pass: detect on the current points, remove everything reported, repeat.
Repaired reference_repair(const Path2D& source, double sus_angle) {
    Repaired r{source.points(), source.x(), source.y(), source.associated_values()};
    for (;;) {
        const std::vector<std::size_t> found = reference_detect(r.points, sus_angle);
        if (found.empty()) {
            return r;
        }
        ++r.passes;
        for (auto it = found.rbegin(); it != found.rend(); ++it) {
            const auto at = static_cast<std::ptrdiff_t>(*it);
            r.points.erase(r.points.begin() + at);
            r.x.erase(r.x.begin() + at);
            r.y.erase(r.y.begin() + at);
            for (std::vector<double>& v : r.values) {
                v.erase(v.begin() + at);
            }
        }
    }
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](double u, double v) {
               return std::bit_cast<std::uint64_t>(u) == std::bit_cast<std::uint64_t>(v);
           });
}

void expect_same_as_reference(const Path2D& source, double sus_angle, const std::string& what) {
    const Repaired expected = reference_repair(source, sus_angle);
    const Path2D repaired = repair_corrupted_point_order(source, sus_angle);
    std::vector<double> px, py, ex, ey;
    for (const Point& q : repaired.points()) {
        px.push_back(q.x);
        py.push_back(q.y);
    }
    for (const Point& q : expected.points) {
        ex.push_back(q.x);
        ey.push_back(q.y);
    }
    ASSERT_TRUE(same_bits(px, ex) && same_bits(py, ey))
        << what << " sus " << sus_angle << ": " << repaired.size() << " points, expected "
        << expected.points.size() << " after " << expected.passes << " passes";
    ASSERT_TRUE(same_bits(repaired.x(), expected.x) && same_bits(repaired.y(), expected.y)) << what;
    ASSERT_EQ(repaired.associated_values().size(), expected.values.size()) << what;
    for (std::size_t k = 0; k < expected.values.size(); ++k) {
        ASSERT_TRUE(same_bits(repaired.associated_values()[k], expected.values[k])) << what;
    }
    ASSERT_EQ(detect_corrupted_point_order(source, sus_angle),
              reference_detect(source.points(), sus_angle))
        << what;
}

Path2D with_index_values(std::vector<Point> pts) {
    Path2D p = Path2D::from_points(std::move(pts));
    std::vector<double> values(p.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        values[i] = static_cast<double>(i);
    }
    EXPECT_TRUE(p.add_associated_values(values).ok());
    return p;
}

// Out along the x axis and back slightly above it: the tip is eaten one or two points per pass.
std::vector<Point> fold(std::size_t half) {
    std::vector<Point> pts;
    for (std::size_t i = 0; i < half; ++i) {
        pts.push_back({static_cast<double>(i), 0.0});
    }
    for (std::size_t i = 0; i < half; ++i) {
        pts.push_back({static_cast<double>(half) - 1.5 - static_cast<double>(i), 0.01});
    }
    return pts;
}

}  // namespace

TEST(PointOrder, DetectionWorkedCases) {
    for (const std::size_t n : {0u, 1u, 2u}) {
        std::vector<Point> pts(n, Point{1, 1});
        EXPECT_TRUE(detect_corrupted_point_order(Path2D::from_points(pts), 0.0).empty());
    }
    const Path2D straight = Path2D::from_points({{0, 0}, {1, 0}, {2, 0}, {3, 0}});
    EXPECT_TRUE(detect_corrupted_point_order(straight, 0.1).empty());
    EXPECT_EQ(detect_corrupted_point_order(straight, 0.0), (std::vector<std::size_t>{1, 2}));
    EXPECT_EQ(repair_corrupted_point_order(straight, 0.0).points(),
              (std::vector<Point>{{0, 0}, {3, 0}}));

    const Path2D right_angle = Path2D::from_points({{0, 0}, {1, 0}, {1, 1}});
    EXPECT_EQ(detect_corrupted_point_order(right_angle, 1.5), std::vector<std::size_t>{1});
    EXPECT_TRUE(detect_corrupted_point_order(right_angle, 2.8).empty());
    // Inclusive threshold: the turn is exactly atan2(1, 0).
    EXPECT_EQ(detect_corrupted_point_order(right_angle, std::numbers::pi / 2),
              std::vector<std::size_t>{1});

    const Path2D hairpin = Path2D::from_points({{0, 0}, {1, 0}, {0, 0.01}});
    EXPECT_EQ(detect_corrupted_point_order(hairpin, 2.8), std::vector<std::size_t>{1});
    EXPECT_EQ(repair_corrupted_point_order(hairpin, 2.8).points(),
              (std::vector<Point>{{0, 0}, {0, 0.01}}));

    // A zero-length segment has heading 0, so turning back after it is a full reversal.
    const Path2D repeated = Path2D::from_points({{0, 0}, {1, 0}, {1, 0}, {0, 0}});
    EXPECT_EQ(detect_corrupted_point_order(repeated, 2.8), std::vector<std::size_t>{2});
    EXPECT_TRUE(
        detect_corrupted_point_order(Path2D::from_points({{0, 0}, {not_a_number, 0}, {0, 0}}), 0.0)
            .empty());
}

TEST(PointOrder, RepairRemovesBothPointsOfAReversalWithTheirValues) {
    Path2D p = Path2D::from_points({{0, 0}, {1, 0}, {2, 0}, {1.5, 0}, {3, 0}, {4, 0}});
    ASSERT_TRUE(p.add_associated_values({0, 1, 2, 3, 4, 5}).ok());
    (void)p.length();
    const Path2D r = repair_corrupted_point_order(p, 2.8);
    EXPECT_EQ(r.points(), (std::vector<Point>{{0, 0}, {1, 0}, {3, 0}, {4, 0}}));
    EXPECT_EQ(r.x(), (std::vector<double>{0, 1, 3, 4}));
    EXPECT_EQ(r.associated_values(), (std::vector<std::vector<double>>{{0, 1, 4, 5}}));
    EXPECT_FALSE(r.path_length_per_point_cache().has_value());
    EXPECT_EQ(r.length(), 4.0);

    // Coordinates beyond the point count stay at the tail.
    const Path2D coords =
        Path2D::from_coordinates({0, 1, 2, 1.5, 3, 4, 77, 78}, {0, 0, 0, 0, 0, 0});
    const Path2D rc = repair_corrupted_point_order(coords, 2.8);
    EXPECT_EQ(rc.x(), (std::vector<double>{0, 1, 3, 4, 77, 78}));
    EXPECT_EQ(rc.y(), (std::vector<double>{0, 0, 0, 0}));
}

TEST(PointOrder, RepairMatchesPassByPassOnHardPaths) {
    std::mt19937_64 rng(2024);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    // Right angles and diagonals on the grid paths meet the thresholds at pi / 4, pi / 2 and
    // 3 pi / 4 exactly; pi and beyond, 0 and NaN are edge thresholds.
    const double pi = std::numbers::pi;
    const std::vector<double> angles{0.0, 0.3,        pi / 4, 1.0, 1.5, pi / 2,
                                     2.0, 3 * pi / 4, 2.8,    pi,  3.2, not_a_number};

    std::vector<std::pair<std::string, std::vector<Point>>> paths;
    paths.emplace_back("fold", fold(300));
    for (int round = 0; round < 12; ++round) {
        const std::size_t n = 3 + rng() % 150;
        std::vector<Point> walk, saw, grid, dup, spiky;
        double x = 0;
        for (std::size_t i = 0; i < n; ++i) {
            x += unit(rng) < 0.3 ? -unit(rng) : unit(rng);
            walk.push_back({x, 0.05 * unit(rng)});
            saw.push_back({static_cast<double>(i) + (i % 2 ? -1.5 : 0.0), 0.001 * (i % 3)});
            grid.push_back({std::floor(4 * unit(rng)), std::floor(2 * unit(rng))});
            spiky.push_back(
                {static_cast<double>(i) + (i % 7 == 3 ? -3.0 : 0.0), i % 11 == 5 ? 1e-9 : 0.0});
            dup.push_back(i > 0 && unit(rng) < 0.3 ? dup.back() : Point{x, unit(rng)});
        }
        std::vector<Point> holes = walk;
        holes[rng() % n].x = not_a_number;
        holes[rng() % n].y = not_a_number;
        paths.emplace_back("walk", walk);
        paths.emplace_back("sawtooth", saw);
        paths.emplace_back("grid", grid);
        paths.emplace_back("repeated", dup);
        paths.emplace_back("spikes", spiky);
        paths.emplace_back("nan", holes);
        // Scales where squared lengths leave the normal range, alone or mixed with ordinary ones.
        std::vector<Point> huge, tiny, mixed;
        for (std::size_t i = 0; i < n; ++i) {
            huge.push_back({walk[i].x * 1e250, walk[i].y * 1e250});
            tiny.push_back({walk[i].x * 1e-250, walk[i].y * 1e-250});
            mixed.push_back(i % 5 == 2 ? tiny[i] : walk[i]);
        }
        paths.emplace_back("huge", huge);
        paths.emplace_back("tiny", tiny);
        paths.emplace_back("mixed scale", mixed);
    }
    // Turns within 1e-8 of the default threshold, on either side.
    std::vector<Point> near{{0, 0}};
    double direction = 0.3;
    for (int i = 0; i < 200; ++i) {
        direction += (i % 2 ? 1 : -1) * (2.8 + (i % 21 - 10) * 1e-9);
        near.push_back({near.back().x + std::cos(direction), near.back().y + std::sin(direction)});
    }
    paths.emplace_back("near threshold", near);
    for (const auto& [name, pts] : paths) {
        const Path2D p = with_index_values(pts);
        for (const double sus : angles) {
            expect_same_as_reference(p, sus, name);
        }
    }
}

TEST(PointOrder, FoldNeedsManyPassesAndIsRepairedInOne) {
    const Path2D p = with_index_values(fold(1000));
    const Repaired expected = reference_repair(p, 2.8);
    EXPECT_GT(expected.passes, 500u);
    expect_same_as_reference(p, 2.8, "fold");
}
