// tests/cpp/path2d/test_sub_path.cpp: cutting a path and its associated values between two points
#include <gtest/gtest.h>

#include <cmath>

#include "path2d/sub_path.hpp"

using korvane::Path2D;
using korvane::Point;

namespace {

Path2D line_with_values() {
    Path2D p = Path2D::from_points({{0, 0}, {10, 0}, {20, 0}});
    EXPECT_TRUE(p.add_associated_values({0, 10, 20}).ok());
    EXPECT_TRUE(p.add_associated_values({1, -1, 3}).ok());
    return p;
}

}  // namespace

TEST(SubPath, WholePathByDefault) {
    EXPECT_FALSE(sub_path(Path2D::from_points({}), std::nullopt, std::nullopt, 0.01));
    const Path2D p = line_with_values();
    const auto whole = sub_path(p, std::nullopt, std::nullopt, 0.01);
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->points(), p.points());
    EXPECT_EQ(whole->associated_values(), p.associated_values());
    EXPECT_FALSE(whole->path_length_per_point_cache().has_value());
}

TEST(SubPath, CutsAreProjectedAndValuesInterpolated) {
    const Path2D p = line_with_values();
    const auto cut = sub_path(p, Point{5, 1}, Point{15, -1}, 0.01);
    ASSERT_TRUE(cut);
    EXPECT_EQ(cut->points(), (std::vector<Point>{{5, 0}, {10, 0}, {15, 0}}));
    EXPECT_EQ(cut->associated_values()[0], (std::vector<double>{5, 10, 15}));
    EXPECT_EQ(cut->associated_values()[1], (std::vector<double>{0, -1, 1}));

    const auto same = sub_path(p, Point{6, 0}, Point{6, 0}, 0.01);
    ASSERT_TRUE(same);
    EXPECT_EQ(same->points(), (std::vector<Point>{{6, 0}}));
    EXPECT_EQ(same->associated_values()[0], (std::vector<double>{6}));

    // A start within epsilon of the next point is represented by that point.
    const auto snapped = sub_path(p, Point{9.8, 0}, std::nullopt, 0.5);
    ASSERT_TRUE(snapped);
    EXPECT_EQ(snapped->points(), (std::vector<Point>{{10, 0}, {20, 0}}));
    EXPECT_EQ(snapped->associated_values()[0], (std::vector<double>{10, 20}));
}

TEST(SubPath, NoResult) {
    const Path2D p = line_with_values();
    EXPECT_FALSE(sub_path(p, Point{15, 0}, Point{5, 0}, 0.01));   // end before start
    EXPECT_FALSE(sub_path(p, Point{7, 0}, Point{6, 0}, 0.01));    // same segment, backwards
    EXPECT_FALSE(sub_path(p, Point{-5, 3}, std::nullopt, 0.01));  // start projects nowhere
    EXPECT_FALSE(sub_path(p, std::nullopt, Point{25, 0}, 0.01));  // end projects nowhere
}

TEST(SubPath, BothCutsAtTheLastPointUseTheLastValues) {
    const Path2D p = line_with_values();
    const auto tail = sub_path(p, Point{20, 0.005}, Point{20, 0}, 0.01);
    ASSERT_TRUE(tail);
    EXPECT_EQ(tail->points(), (std::vector<Point>{{20, 0}}));
    EXPECT_EQ(tail->associated_values(), (std::vector<std::vector<double>>{{20}, {3}}));

    Path2D single = Path2D::from_points({{2, 2}});
    ASSERT_TRUE(single.add_associated_values({7}).ok());
    const auto one = sub_path(single, std::nullopt, std::nullopt, 0.01);
    ASSERT_TRUE(one);
    EXPECT_EQ(one->points(), (std::vector<Point>{{2, 2}}));
    EXPECT_EQ(one->associated_values(), (std::vector<std::vector<double>>{{7}}));
}

TEST(SubPath, ClosedLoopResolvesTheEndToTheStart) {
    Path2D loop = Path2D::from_points({{0, 0}, {4, 0}, {4, 4}, {0, 0.001}});
    ASSERT_TRUE(loop.add_associated_values({1, 2, 3, 4}).ok());
    const auto r = sub_path(loop, std::nullopt, std::nullopt, 0.01);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->points(), (std::vector<Point>{{0, 0}}));
    EXPECT_EQ(r->associated_values()[0], (std::vector<double>{1}));
}

TEST(SubPath, EveryListKeepsOneValuePerPoint) {
    // Cuts on random segments of a zig-zag: lengths always match, values stay between their
    // neighbours, and the cut points lie on the path.
    std::vector<Point> pts;
    std::vector<double> values;
    for (int i = 0; i < 12; ++i) {
        pts.push_back({static_cast<double>(i), i % 2 ? 1.0 : 0.0});
        values.push_back(i * 2.0);
    }
    Path2D p = Path2D::from_points(pts);
    ASSERT_TRUE(p.add_associated_values(values).ok());
    const auto on_zig_zag = [](double x) {
        return Point{x, std::fmod(x, 2.0) < 1 ? std::fmod(x, 1.0) : 1 - std::fmod(x, 1.0)};
    };
    for (double s = 0.1; s < 11; s += 0.7) {
        for (double e = s; e < 11; e += 0.9) {
            const auto r = sub_path(p, on_zig_zag(s), on_zig_zag(e), 0.01);
            ASSERT_TRUE(r) << s << " " << e;
            ASSERT_EQ(r->associated_values()[0].size(), r->size());
            EXPECT_NEAR(r->associated_values()[0].front(), 2 * s, 0.02 + 1e-9);
            EXPECT_NEAR(r->associated_values()[0].back(), 2 * e, 0.02 + 1e-9);
        }
    }
}
