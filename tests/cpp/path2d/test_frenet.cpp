// tests/cpp/path2d/test_frenet.cpp: nearest clamped feet, the side rule and points at arc lengths
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <span>
#include <tuple>
#include <vector>

#include "path2d/frenet.hpp"
#include "path2d/nearest_batch.hpp"
#include "path2d/path2d.hpp"

using namespace korvane;

namespace {

constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();

struct Rows {
    std::vector<double> s, d, distance;
    std::vector<std::int64_t> segment;
};

Rows frenet(const Path2D& path, const std::vector<Point>& queries, const SegmentIndex* index,
            double max_distance = INFINITY) {
    const std::size_t m = queries.size();
    Rows rows{std::vector<double>(m), std::vector<double>(m), std::vector<double>(m),
              std::vector<std::int64_t>(m)};
    to_frenet(path.point_view(), path.path_length_per_point(), index, queries, max_distance,
              {rows.s.data(), rows.d.data(), rows.distance.data(), rows.segment.data()});
    return rows;
}

}  // namespace

TEST(Frenet, FixesSearchedEachAloneOnATenMillionPointRouteAnswerAsTheTree) {
    // Straights and arcs a metre a step: the tree's height lets a first descent leave about a
    // hundred boxes waiting, more than a search's stack had held.
    std::mt19937_64 rng(6);
    std::normal_distribution<double> normal(0.0, 2.0);
    std::vector<Point> points(10'000'000);
    double heading = 0.0;
    double turn = 0.0;
    for (std::size_t i = 1; i < points.size(); ++i) {
        if (i % 400 == 0) {
            turn = rng() % 3 == 0 ? 0.0 : (static_cast<double>(rng() % 1000) - 500.0) * 1e-4;
        }
        heading += turn;
        points[i] = {points[i - 1].x + std::cos(heading), points[i - 1].y + std::sin(heading)};
    }
    const PointView view(points);
    const SegmentIndex index = SegmentIndex::build(view);
    std::vector<Point> queries;
    for (int k = 0; k < 600; ++k) {
        const Point q = points[rng() % points.size()];
        queries.push_back({q.x + normal(rng), q.y + normal(rng)});
    }
    std::vector<std::optional<ClampedFoot>> each(queries.size());
    index.nearest_clamped_each(view, queries, each.data());
    for (std::size_t k = 0; k < queries.size(); ++k) {
        const auto tree = index.nearest_clamped(view, queries[k]);
        ASSERT_TRUE(tree && each[k]);
        ASSERT_EQ(each[k]->index, tree->index);
        ASSERT_EQ(each[k]->squared_distance, tree->squared_distance);
    }
}

TEST(Frenet, IndexAnswersAsTheScanOnWindingPathsWithRepeatsAndReversals) {
    std::mt19937_64 rng(7);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::vector<Point> points{{0, 0}};
    for (int i = 1; i < 3000; ++i) {
        const Point last = points.back();
        const int kind = i % 97;
        // Repeated points, and runs walking back over the path's own segments.
        points.push_back(kind == 5             ? last
                         : kind < 20 && i > 40 ? points[i - 2 * kind]
                                               : Point{last.x + normal(rng), last.y + normal(rng)});
    }
    const PointView view(points);
    const SegmentIndex index = SegmentIndex::build(view);
    std::vector<Point> queries;
    for (int k = 0; k < 2048; ++k) {
        // Runs of near queries, and every fourth run spread over the whole path.
        const Point q =
            points[k % 128 < 96 ? (k / 32 * 37) % points.size() : rng() % points.size()];
        queries.push_back({q.x + 3 * normal(rng), q.y + 3 * normal(rng)});
    }
    // Reaches that answer most queries in the batch, few of them, and gather too many leaves;
    // the blocks hold one run or several.
    for (const double reach : {3.0, 0.5, 60.0}) {
        PointBounds bounds;
        for (const Point q : queries) {
            bounds.add(q);
        }
        std::vector<std::uint64_t> order(queries.size()), spare(queries.size());
        std::vector<std::optional<ClampedFoot>> batch(queries.size());
        const BatchScratch scratch{std::as_writable_bytes(std::span(order)),
                                   std::as_writable_bytes(std::span(spare))};
        const BatchOrder ordered = order_batch(queries, bounds, reach, scratch).value();
        // The order searched in uneven ranges, as threads share it.
        for (std::size_t begin = 0, step = 1; begin < ordered.size;
             begin += step, step = step * 3 + 1) {
            search_batch(index, view, queries, ordered, scratch.order, begin,
                         std::min(ordered.size, begin + step), [&](auto rows, auto, auto feet) {
                             for (std::size_t j = 0; j < rows.size(); ++j) {
                                 batch[rows[j]] = feet[j];
                             }
                         });
        }
        // And each searched alone, several in turn.
        std::vector<std::optional<ClampedFoot>> each(queries.size());
        index.nearest_clamped_each(view, queries, each.data());
        for (std::size_t k = 0; k < queries.size(); ++k) {
            const auto a = index.nearest_clamped(view, queries[k]);
            const auto b = nearest_clamped_scan(view, queries[k]);
            ASSERT_TRUE(a && b && batch[k] && each[k]);
            ASSERT_EQ(each[k]->index, b->index);
            ASSERT_EQ(each[k]->squared_distance, b->squared_distance);
            ASSERT_EQ(a->index, b->index);
            ASSERT_EQ(a->squared_distance, b->squared_distance);
            ASSERT_EQ(batch[k]->index, b->index);
            ASSERT_EQ(batch[k]->squared_distance, b->squared_distance);
        }
    }
    EXPECT_FALSE(index.nearest_clamped(view, {not_a_number, 0.0}));
    // Ordered in many parts, run last first as threads may take them, over many cells or one:
    // the keys come out sorted, each finite query's once.
    std::vector<Point> many(200'000, Point{not_a_number, 0.0});
    PointBounds bounds;
    std::size_t finite = 0;
    for (std::size_t k = 0; k < many.size(); k += 1 + k % 3, ++finite) {
        bounds.add(many[k] = queries[k % queries.size()]);
    }
    const RunParts backwards = [](std::size_t parts, const auto& part) {
        for (std::size_t i = parts; i-- > 0;) {
            part(i);
        }
        return true;
    };
    for (const double reach : {1e-2, 1e9}) {
        std::vector<std::uint64_t> keys(many.size()), spare(many.size());
        const BatchScratch scratch{std::as_writable_bytes(std::span(keys)),
                                   std::as_writable_bytes(std::span(spare))};
        const std::size_t ordered = order_batch(many, bounds, reach, scratch, backwards)->size;
        std::vector<bool> seen(many.size());
        for (std::size_t j = 0; j < ordered; ++j) {
            const std::size_t row = keys[j] & 0xffffffffu;
            ASSERT_TRUE(j == 0 || keys[j - 1] < keys[j]) << reach;
            ASSERT_TRUE(std::isfinite(many[row].x) && !seen[row]) << reach;
            seen[row] = true;
        }
        EXPECT_EQ(ordered, finite) << reach;
    }
}

TEST(Frenet, BatchesAnswerAsTheScanHoweverManyCellsTheQueriesSpan) {
    // Routes of 1-unit steps along x: their queries span about 40, 400 and 4000 cells of the
    // batch's reach, which the spatial sort orders in one, two and three passes.
    for (const int n : {600, 6000, 60000}) {
        std::vector<Point> points;
        for (int i = 0; i < n; ++i) {
            points.push_back({static_cast<double>(i), std::sin(i * 0.1)});
        }
        const Path2D path = Path2D::from_points(points);
        const SegmentIndex index = SegmentIndex::build(path.point_view());
        std::vector<Point> queries;
        for (int k = 0; k < 300; ++k) {
            const Point p = points[k * 7919 % n];
            queries.push_back({p.x + k % 7 - 3, p.y + k % 5 - 2});
        }
        const Rows batch = frenet(path, queries, &index);
        const Rows scan = frenet(path, queries, nullptr);
        EXPECT_EQ(batch.segment, scan.segment) << n;
        EXPECT_EQ(batch.s, scan.s) << n;
        EXPECT_EQ(batch.d, scan.d) << n;
        // Scaled by powers of two whose squares overflow or underflow, the rows scale exactly.
        for (const int e : {-900, 1000}) {
            const auto scaled = [e](std::vector<Point> v) {
                for (Point& p : v) {
                    p = {std::ldexp(p.x, e), std::ldexp(p.y, e)};
                }
                return v;
            };
            const Path2D far = Path2D::from_points(scaled(points));
            const SegmentIndex far_index = SegmentIndex::build(far.point_view());
            for (const SegmentIndex* i : {&far_index, static_cast<const SegmentIndex*>(nullptr)}) {
                const Rows rows = frenet(far, scaled(queries), i);
                EXPECT_EQ(rows.segment, scan.segment) << n << " " << e;
                for (std::size_t k = 0; k < queries.size(); ++k) {
                    ASSERT_EQ(rows.s[k], std::ldexp(scan.s[k], e)) << n << " " << e;
                    ASSERT_EQ(rows.d[k], std::ldexp(scan.d[k], e)) << n << " " << e;
                }
            }
        }
    }
}

TEST(Frenet, SideAtConvexAndConcaveCornersAndEnds) {
    // Turns left at (10, 0), right at (10, 10) and (60, 10).
    const Path2D path = Path2D::from_points({{0, 0}, {10, 0}, {10, 10}, {60, 10}, {60, -50}});
    const Rows rows = frenet(path,
                             {{11, -1},     // outside the left turn: right
                              {9, 1},       // inside it: left
                              {9, 11},      // outside the right turn at (10, 10): left
                              {-1, 0},      // before the start, on its line: left
                              {-1, -0.5},   // before the start, to the right
                              {60.5, -51},  // beyond the end, to the left of the last segment
                              {not_a_number, 0}},
                             nullptr, 100.0);
    EXPECT_EQ(rows.segment, (std::vector<std::int64_t>{0, 0, 1, 0, 0, 3, -1}));
    EXPECT_DOUBLE_EQ(rows.s[0], 10.0);
    EXPECT_DOUBLE_EQ(rows.d[0], -std::sqrt(2.0));
    EXPECT_DOUBLE_EQ(rows.d[1], 1.0);
    EXPECT_DOUBLE_EQ(rows.d[2], std::sqrt(2.0));
    EXPECT_EQ(rows.d[3], 1.0);
    EXPECT_LT(rows.d[4], 0.0);
    EXPECT_GT(rows.d[5], 0.0);
    EXPECT_TRUE(std::isnan(rows.s[6]) && std::isnan(rows.d[6]));
    EXPECT_EQ(frenet(path, {{200, 0}}, nullptr, 100.0).segment[0], -1);
}

TEST(Frenet, PointsAtArcLengths) {
    // A zero-length segment at the start and at (10, 0), and at the end.
    const Path2D path = Path2D::from_points({{0, 0}, {0, 0}, {10, 0}, {10, 0}, {10, 10}, {10, 10}});
    const std::vector<double> s{-1, 0, 5, 10, 10, 25, not_a_number, 15};
    const std::vector<double> d{1};
    std::vector<Point> out(s.size());
    from_frenet(path.point_view(), path.path_length_per_point(), {s.data(), 1}, {d.data(), 0},
                s.size(), out.data());
    // The vertex at s = 10 belongs to the segment leaving it, whose left is -x.
    const std::vector<Point> expected{{-1, 1}, {0, 1}, {5, 1}, {9, 0}, {9, 0}, {9, 15}};
    for (std::size_t k = 0; k < expected.size(); ++k) {
        EXPECT_EQ(out[k], expected[k]) << k;
    }
    EXPECT_TRUE(std::isnan(out[6].x) && std::isnan(out[6].y));
    EXPECT_EQ(out[7], (Point{9, 5}));
    // Segment lengths whose squares underflow (the first, 1e-300 long, before s = 0) or overflow.
    const std::vector<double> far_s{-1, 1.5e155};
    for (const auto& [points, row, expected] :
         {std::tuple{std::vector<Point>{{0, 0}, {1e-300, 0}, {1, 0}}, 0, Point{-1, 1}},
          std::tuple{std::vector<Point>{{0, 0}, {1e155, 0}, {1e155, 1e155}}, 1,
                     Point{1e155, 0.5e155}}}) {
        const Path2D extreme = Path2D::from_points(points);
        from_frenet(extreme.point_view(), extreme.path_length_per_point(), {far_s.data(), 1},
                    {d.data(), 0}, 2, out.data());
        EXPECT_DOUBLE_EQ(out[row].x, expected.x);
        EXPECT_DOUBLE_EQ(out[row].y, expected.y);
    }
    const Path2D still = Path2D::from_points({{1, 1}, {1, 1}});
    from_frenet(still.point_view(), still.path_length_per_point(), {s.data(), 1}, {d.data(), 0}, 1,
                out.data());
    EXPECT_TRUE(std::isnan(out[0].x));
}
