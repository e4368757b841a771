// tests/cpp/path2d/test_point_queries.cpp: nearest projection, segment index and arc length of a point
#include <gtest/gtest.h>

#include "path2d/point_queries.hpp"

using korvane::Path2D;
using korvane::Point;

TEST(Projection, EmptyAndSinglePoint) {
    const Path2D empty = Path2D::from_points({});
    EXPECT_FALSE(nearest_projection(empty, {0, 0}, 1.0));
    EXPECT_FALSE(path_length_from_point(empty, {0, 0}, 1.0));

    const Path2D single = Path2D::from_points({{0, 0}});
    EXPECT_EQ(index_from_point(single, {0.01, -0.01}, 0.01), 0u);
    EXPECT_EQ(path_length_from_point(single, {0.01, -0.01}, 0.01), 0.0);
    EXPECT_FALSE(index_from_point(single, {0.02, 0}, 0.01));
    EXPECT_FALSE(path_length_from_point(single, {0.02, 0}, 0.01));
}

TEST(Projection, StraightSegmentAndEndSquares) {
    const Path2D p = Path2D::from_points({{0, 0}, {10, 0}});
    EXPECT_EQ(index_from_point(p, {4, 3}, 0.01), 0u);
    EXPECT_EQ(path_length_from_point(p, {4, 3}, 0.01), 4.0);
    EXPECT_FALSE(index_from_point(p, {10, 3}, 0.01));  // t = 1 is outside, the end square too
    EXPECT_EQ(index_from_point(p, {10.2, 0.3}, 0.5), 1u);
    EXPECT_EQ(path_length_from_point(p, {10.2, 0.3}, 0.5), 10.0);
    // Accepted by the first-point square, measured from the query itself: before the start.
    EXPECT_EQ(index_from_point(p, {-0.2, 0}, 0.5), 0u);
    EXPECT_DOUBLE_EQ(*path_length_from_point(p, {-0.2, 0}, 0.5), -0.2);
    // The square is closed.
    EXPECT_EQ(index_from_point(p, {10.5, -0.5}, 0.5), 1u);
}

TEST(Projection, FieldsOfASegmentProjection) {
    const Path2D p = Path2D::from_points({{0, 0}, {3, 4}});
    const auto q = nearest_projection(p, {3, -1}, 0.01);
    ASSERT_TRUE(q);
    EXPECT_EQ(q->index, 0u);
    EXPECT_DOUBLE_EQ(q->t, 0.2);
    EXPECT_DOUBLE_EQ(q->point.x, 0.6);
    EXPECT_DOUBLE_EQ(q->point.y, 0.8);
    EXPECT_DOUBLE_EQ(q->offset, 1.0);
    EXPECT_DOUBLE_EQ(q->distance, 3.0);
    const auto end = nearest_projection(p, {3, 4.005}, 0.01);
    EXPECT_EQ(end->index, 1u);
    EXPECT_EQ(end->point, (Point{3, 4}));
    EXPECT_EQ(end->t, 0.0);
    EXPECT_EQ(end->distance, 0.0);
}

TEST(Projection, NearestCandidateWins) {
    const Path2D corner = Path2D::from_points({{0, 0}, {10, 0}, {10, 10}});
    EXPECT_EQ(index_from_point(corner, {5, 1}, 0.01), 0u);
    EXPECT_EQ(path_length_from_point(corner, {5, 1}, 0.01), 5.0);
    EXPECT_EQ(index_from_point(corner, {10, 5}, 0.01), 1u);
    EXPECT_EQ(path_length_from_point(corner, {10, 5}, 0.01), 15.0);
    EXPECT_FALSE(index_from_point(corner, {11, -1}, 0.01));  // outside the convex corner
    // A foot exactly on an interior vertex belongs to the segment starting there.
    const auto at_vertex = nearest_projection(corner, {8, 0}, 0.01);
    EXPECT_EQ(index_from_point(Path2D::from_points({{0, 0}, {10, 0}, {20, 0}}), {10, 2}, 0.01), 1u);
    EXPECT_EQ(at_vertex->index, 0u);

    const Path2D sharp_return = Path2D::from_points({{0, 0}, {10, 0}, {0, 0.5}});
    EXPECT_EQ(index_from_point(sharp_return, {5, 0.2}, 0.01), 1u);
    // Equal distances on both arms of a U: the lower index.
    const Path2D u = Path2D::from_points({{0, 1}, {10, 1}, {10, -1}, {0, -1}});
    EXPECT_EQ(index_from_point(u, {5, 0}, 0.01), 0u);
}

TEST(Projection, ZeroLengthSegmentIsSkipped) {
    const Path2D p = Path2D::from_points({{0, 0}, {5, 0}, {5, 0}, {10, 0}});
    const auto q = nearest_projection(p, {5, 1}, 0.01);
    ASSERT_TRUE(q);
    EXPECT_EQ(q->index, 2u);
    EXPECT_EQ(q->t, 0.0);
    EXPECT_EQ(q->distance, 1.0);
    EXPECT_EQ(path_length_from_point(p, {7, -1}, 0.01), 7.0);
}

TEST(Projection, ClosedPathResolvesToTheFirstPoint) {
    const Path2D loop = Path2D::from_points({{0, 0}, {4, 0}, {4, 4}, {0, 0.001}});
    EXPECT_EQ(index_from_point(loop, {0, 0}, 0.01), 0u);
    EXPECT_EQ(index_from_point(loop, {0, 0.001}, 0.01), 0u);
}
