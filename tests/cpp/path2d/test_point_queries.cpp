// tests/cpp/path2d/test_point_queries.cpp: nearest projection, segment index and arc length of a point
#include <gtest/gtest.h>

#include "path2d/path2d.hpp"

using korvane::Path2D;
using korvane::Point;

TEST(Projection, EmptyAndSinglePoint) {
    const Path2D empty = Path2D::from_points({});
    EXPECT_FALSE(empty.nearest_projection({0, 0}, 1.0));
    EXPECT_FALSE(empty.path_length_from_point({0, 0}, 1.0));

    const Path2D single = Path2D::from_points({{0, 0}});
    EXPECT_EQ(single.index_from_point({0.01, -0.01}, 0.01), 0u);
    EXPECT_EQ(single.path_length_from_point({0.01, -0.01}, 0.01), 0.0);
    EXPECT_FALSE(single.index_from_point({0.02, 0}, 0.01));
    EXPECT_FALSE(single.path_length_from_point({0.02, 0}, 0.01));
}

TEST(Projection, StraightSegmentAndEndSquares) {
    const Path2D p = Path2D::from_points({{0, 0}, {10, 0}});
    EXPECT_EQ(p.index_from_point({4, 3}, 0.01), 0u);
    EXPECT_EQ(p.path_length_from_point({4, 3}, 0.01), 4.0);
    EXPECT_FALSE(p.index_from_point({10, 3}, 0.01));  // t = 1 is outside, the end square too
    EXPECT_EQ(p.index_from_point({10.2, 0.3}, 0.5), 1u);
    EXPECT_EQ(p.path_length_from_point({10.2, 0.3}, 0.5), 10.0);
    // Accepted by the first-point square, measured from the query itself: before the start.
    EXPECT_EQ(p.index_from_point({-0.2, 0}, 0.5), 0u);
    EXPECT_DOUBLE_EQ(*p.path_length_from_point({-0.2, 0}, 0.5), -0.2);
    // The square is closed.
    EXPECT_EQ(p.index_from_point({10.5, -0.5}, 0.5), 1u);
}

TEST(Projection, FieldsOfASegmentProjection) {
    const Path2D p = Path2D::from_points({{0, 0}, {3, 4}});
    const auto q = p.nearest_projection({3, -1}, 0.01);
    ASSERT_TRUE(q);
    EXPECT_EQ(q->index, 0u);
    EXPECT_DOUBLE_EQ(q->t, 0.2);
    EXPECT_DOUBLE_EQ(q->point.x, 0.6);
    EXPECT_DOUBLE_EQ(q->point.y, 0.8);
    EXPECT_DOUBLE_EQ(q->offset, 1.0);
    EXPECT_DOUBLE_EQ(q->distance, 3.0);
    const auto end = p.nearest_projection({3, 4.005}, 0.01);
    EXPECT_EQ(end->index, 1u);
    EXPECT_EQ(end->point, (Point{3, 4}));
    EXPECT_EQ(end->t, 0.0);
    EXPECT_EQ(end->distance, 0.0);
}

TEST(Projection, NearestCandidateWins) {
    const Path2D corner = Path2D::from_points({{0, 0}, {10, 0}, {10, 10}});
    EXPECT_EQ(corner.index_from_point({5, 1}, 0.01), 0u);
    EXPECT_EQ(corner.path_length_from_point({5, 1}, 0.01), 5.0);
    EXPECT_EQ(corner.index_from_point({10, 5}, 0.01), 1u);
    EXPECT_EQ(corner.path_length_from_point({10, 5}, 0.01), 15.0);
    EXPECT_FALSE(corner.index_from_point({11, -1}, 0.01));  // outside the convex corner
    // A foot exactly on an interior vertex belongs to the segment starting there.
    const auto at_vertex = corner.nearest_projection({8, 0}, 0.01);
    EXPECT_EQ(Path2D::from_points({{0, 0}, {10, 0}, {20, 0}}).index_from_point({10, 2}, 0.01), 1u);
    EXPECT_EQ(at_vertex->index, 0u);

    const Path2D sharp_return = Path2D::from_points({{0, 0}, {10, 0}, {0, 0.5}});
    EXPECT_EQ(sharp_return.index_from_point({5, 0.2}, 0.01), 1u);
    // Equal distances on both arms of a U: the lower index.
    const Path2D u = Path2D::from_points({{0, 1}, {10, 1}, {10, -1}, {0, -1}});
    EXPECT_EQ(u.index_from_point({5, 0}, 0.01), 0u);
}

TEST(Projection, ZeroLengthSegmentIsSkipped) {
    const Path2D p = Path2D::from_points({{0, 0}, {5, 0}, {5, 0}, {10, 0}});
    const auto q = p.nearest_projection({5, 1}, 0.01);
    ASSERT_TRUE(q);
    EXPECT_EQ(q->index, 2u);
    EXPECT_EQ(q->t, 0.0);
    EXPECT_EQ(q->distance, 1.0);
    EXPECT_EQ(p.path_length_from_point({7, -1}, 0.01), 7.0);
}

TEST(Projection, ClosedPathResolvesToTheFirstPoint) {
    const Path2D loop = Path2D::from_points({{0, 0}, {4, 0}, {4, 4}, {0, 0.001}});
    EXPECT_EQ(loop.index_from_point({0, 0}, 0.01), 0u);
    EXPECT_EQ(loop.index_from_point({0, 0.001}, 0.01), 0u);
}
