// tests/cpp/path2d/test_path2d.cpp: construction and derived quantities of the path record
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "path2d/path2d.hpp"
#include "differences.hpp"

using korvane::Path2D;
using korvane::Point;

TEST(Differences, CentralInsideOneSidedAtEnds) {
    EXPECT_TRUE(korvane::testing::compute_differences(std::vector<double>{}).empty());
    EXPECT_EQ(korvane::testing::compute_differences(std::vector<double>{5.0}),
              std::vector<double>{0.0});
    EXPECT_EQ(korvane::testing::compute_differences(std::vector<double>{1.0, 4.0}),
              (std::vector<double>{3.0, 3.0}));
    EXPECT_EQ(korvane::testing::compute_differences(std::vector<double>{0.0, 1.0, 4.0, 9.0}),
              (std::vector<double>{1.0, 2.0, 4.0, 5.0}));
}

TEST(Construction, FromCoordinatesPairsUpToShorterListAndKeepsBoth) {
    const Path2D p = Path2D::from_coordinates({1, 2, 3}, {4, 5});
    EXPECT_EQ(p.points(), (std::vector<Point>{{1, 4}, {2, 5}}));
    EXPECT_EQ(p.x().size(), 3u);
    EXPECT_EQ(p.y().size(), 2u);
    EXPECT_EQ(p.path_length_per_point().size(), 2u);
    EXPECT_EQ(p.orientation().size(), 2u);
    EXPECT_EQ(p.curvature().size(), 2u);
    EXPECT_EQ(p.unit_tangent_vector().size(), 2u);
}

TEST(Construction, CopyKeepsCacheStatesAndSharesNothing) {
    Path2D p = Path2D::from_points({{0, 0}, {3, 4}});
    (void)p.length();
    ASSERT_TRUE(p.add_associated_values({1, 2}).ok());
    Path2D copy = p;
    EXPECT_TRUE(copy.path_length_per_point_cache().has_value());
    EXPECT_FALSE(copy.orientation_cache().has_value());
    ASSERT_TRUE(copy.add_associated_values({3, 4}).ok());
    EXPECT_EQ(p.associated_values().size(), 1u);
}

TEST(DerivedQuantities, EmptyAndSinglePoint) {
    const Path2D empty = Path2D::from_points({});
    EXPECT_TRUE(empty.path_length_per_point().empty());
    EXPECT_TRUE(empty.path_length_per_point_cache().has_value());
    EXPECT_EQ(empty.length(), 0.0);
    EXPECT_TRUE(empty.orientation().empty());
    EXPECT_TRUE(empty.curvature().empty());

    const Path2D single = Path2D::from_points({{2, 3}});
    EXPECT_EQ(single.path_length_per_point(), std::vector<double>{0.0});
    EXPECT_EQ(single.orientation(), std::vector<double>{0.0});
    EXPECT_TRUE(std::isnan(single.unit_tangent_vector()[0].x));
    EXPECT_TRUE(std::isnan(single.curvature()[0]));
}

TEST(DerivedQuantities, RightAngleTurn) {
    const Path2D p = Path2D::from_points({{0, 0}, {1, 0}, {1, 1}});
    EXPECT_EQ(p.path_length_per_point(), (std::vector<double>{0, 1, 2}));
    EXPECT_DOUBLE_EQ(p.orientation()[1], std::numbers::pi / 4);
    EXPECT_DOUBLE_EQ(p.orientation()[2], std::numbers::pi / 2);
    EXPECT_DOUBLE_EQ(p.curvature()[0], 0.5);
    EXPECT_DOUBLE_EQ(p.curvature()[1], std::sqrt(2.0));
    EXPECT_DOUBLE_EQ(p.curvature()[2], 0.5);
}

TEST(DerivedQuantities, HairpinHasZeroMiddleHeadingAndNanTangent) {
    const Path2D p = Path2D::from_points({{0, 0}, {1, 0}, {0, 0}});
    EXPECT_EQ(p.orientation(), (std::vector<double>{0.0, 0.0, std::numbers::pi}));
    EXPECT_TRUE(std::isnan(p.unit_tangent_vector()[1].x));
}

TEST(DerivedQuantities, CurvatureSignFollowsTurnDirection) {
    // A counter-clockwise circle has curvature +1/r; mirrored, -1/r.
    std::vector<Point> ccw, cw;
    for (int i = 0; i < 50; ++i) {
        const double a = 0.05 * i;
        ccw.push_back({2 * std::cos(a), 2 * std::sin(a)});
        cw.push_back({2 * std::cos(a), -2 * std::sin(a)});
    }
    const Path2D left = Path2D::from_points(ccw);
    const Path2D right = Path2D::from_points(cw);
    EXPECT_NEAR(left.curvature()[25], 0.5, 1e-3);
    EXPECT_NEAR(right.curvature()[25], -0.5, 1e-3);
}

TEST(AssociatedValues, WrongLengthIsRefusedWithoutConsumingAHandle) {
    Path2D p = Path2D::from_points({{0, 0}, {1, 0}, {2, 0}});
    const auto refused = p.add_associated_values({1, 2});
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().message,
              "The associated value has length 2, although 3 was expected");
    EXPECT_EQ(p.add_associated_values({1, 2, 3}).value(), 0u);
    EXPECT_EQ(p.add_associated_values({4, 5, 6}).value(), 1u);
    ASSERT_NE(p.associated_values(1), nullptr);
    EXPECT_EQ((*p.associated_values(1))[2], 6.0);
    EXPECT_EQ(p.associated_values(2), nullptr);
}
