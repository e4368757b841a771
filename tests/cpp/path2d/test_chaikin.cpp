// tests/cpp/path2d/test_chaikin.cpp: Chaikin corner cutting
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <new>
#include <random>

#include "path2d/chaikin.hpp"

using korvane::Path2D;
using korvane::Point;

TEST(Chaikin, ShortPathsAreCopiedWithTheirValues) {
    Path2D single = Path2D::from_points({{1, 2}});
    ASSERT_TRUE(single.add_associated_values({5}).ok());
    for (const std::size_t k : {std::size_t{0}, std::size_t{3}, ~std::size_t{0}}) {
        const Path2D r = smoothed_path_chaikin(single, k);
        EXPECT_EQ(r.points(), single.points());
        EXPECT_EQ(r.associated_values(), single.associated_values());
    }
    EXPECT_EQ(smoothed_path_chaikin(Path2D::from_points({}), 1000).size(), 0u);
}

TEST(Chaikin, WorkedCuts) {
    Path2D p = Path2D::from_points({{0, 0}, {4, 0}});
    ASSERT_TRUE(p.add_associated_values({1, 2}).ok());
    (void)p.length();
    const Path2D zero = smoothed_path_chaikin(p, 0);
    EXPECT_EQ(zero.points(), p.points());
    EXPECT_TRUE(zero.associated_values().empty());
    EXPECT_FALSE(zero.path_length_per_point_cache().has_value());

    EXPECT_EQ(smoothed_path_chaikin(p, 1).points(),
              (std::vector<Point>{{0, 0}, {1, 0}, {3, 0}, {4, 0}}));
    EXPECT_EQ(smoothed_path_chaikin(p, 2).points(),
              (std::vector<Point>{
                  {0, 0}, {0.25, 0}, {0.75, 0}, {1.5, 0}, {2.5, 0}, {3.25, 0}, {3.75, 0}, {4, 0}}));
    // Repeated points are not merged.
    EXPECT_EQ(smoothed_path_chaikin(Path2D::from_points({{0, 0}, {0, 0}, {4, 0}}), 1).points(),
              (std::vector<Point>{{0, 0}, {0, 0}, {0, 0}, {1, 0}, {3, 0}, {4, 0}}));
}

TEST(Chaikin, CountEndsAndBoundingBoxOnRandomPaths) {
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> coord(-1e3, 1e3);
    for (int round = 0; round < 20; ++round) {
        std::vector<Point> pts(2 + rng() % 20);
        for (Point& q : pts) {
            q = {coord(rng), coord(rng)};
        }
        const auto [min_x, max_x] =
            std::minmax_element(pts.begin(), pts.end(), [](Point a, Point b) { return a.x < b.x; });
        const auto [min_y, max_y] =
            std::minmax_element(pts.begin(), pts.end(), [](Point a, Point b) { return a.y < b.y; });
        const std::size_t k = rng() % 6;
        const Path2D r = smoothed_path_chaikin(Path2D::from_points(pts), k);
        ASSERT_EQ(r.size(), pts.size() << k);
        EXPECT_EQ(r.points().front(), pts.front());
        EXPECT_EQ(r.points().back(), pts.back());
        EXPECT_EQ(r.x().size(), r.size());
        for (const Point& q : r.points()) {
            EXPECT_GE(q.x, min_x->x);
            EXPECT_LE(q.x, max_x->x);
            EXPECT_GE(q.y, min_y->y);
            EXPECT_LE(q.y, max_y->y);
        }
        if (k > 0) {
            // The first cut stays on the first input segment, 4^-k along it.
            const double f = std::ldexp(1.0, -2 * static_cast<int>(k));
            EXPECT_NEAR(r.points()[1].x, pts[0].x + f * (pts[1].x - pts[0].x), 1e-9);
            EXPECT_NEAR(r.points()[1].y, pts[0].y + f * (pts[1].y - pts[0].y), 1e-9);
        }
    }
}

TEST(Chaikin, UnstorableCountIsRefusedBeforeAllocating) {
    const Path2D p = Path2D::from_points({{0, 0}, {1, 1}, {2, 0}});
    EXPECT_THROW((void)smoothed_path_chaikin(p, 64), std::bad_alloc);
    EXPECT_THROW((void)smoothed_path_chaikin(p, 1000), std::bad_alloc);
    EXPECT_THROW((void)smoothed_path_chaikin(p, 31), std::bad_alloc);  // 3 * 2^31 points
    EXPECT_EQ(smoothed_path_chaikin(p, 10).size(), 3u << 10);
}
