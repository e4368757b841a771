// tests/cpp/path2d/test_segment_index.cpp: the segment index answers exactly as the scan does
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "path2d/path2d.hpp"
#include "path2d/segment_index.hpp"

using korvane::LazySegmentIndex;
using korvane::Point;
using korvane::Projection;
using korvane::SegmentIndex;

namespace korvane {
// Reads what the index holds, which nothing outside needs to.
struct SegmentIndexProbe {
    static std::size_t memory_bytes(const SegmentIndex& index) {
        return index.m_boxes.size() * sizeof(SegmentIndex::Box);
    }
};
}  // namespace korvane
using korvane::SegmentIndexProbe;

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

bool same_bits(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

::testing::AssertionResult same(const std::optional<Projection>& a,
                                const std::optional<Projection>& b) {
    if (!a && !b) {
        return ::testing::AssertionSuccess();
    }
    if (a && b && a->index == b->index && same_bits(a->point.x, b->point.x) &&
        same_bits(a->point.y, b->point.y) && same_bits(a->t, b->t) &&
        same_bits(a->offset, b->offset) && same_bits(a->distance, b->distance)) {
        return ::testing::AssertionSuccess();
    }
    const auto text = [](const std::optional<Projection>& p) {
        return p ? "segment " + std::to_string(p->index) + " at distance " +
                       std::to_string(p->distance)
                 : std::string("none");
    };
    return ::testing::AssertionFailure() << "index: " << text(a) << ", scan: " << text(b);
}

std::vector<Point> walk(std::mt19937_64& rng, std::size_t n, double step) {
    std::normal_distribution<double> normal(0.0, step);
    std::vector<Point> points{{0, 0}};
    for (std::size_t i = 1; i < n; ++i) {
        points.push_back({points.back().x + normal(rng), points.back().y + normal(rng)});
    }
    return points;
}

std::vector<Point> scaled(std::vector<Point> points, double factor) {
    for (Point& p : points) {
        p = {p.x * factor, p.y * factor};
    }
    return points;
}

// Paths on which a box hierarchy could go wrong: equal distances from overlapping or returning
// segments, degenerate segments, and coordinates whose squares overflow or underflow.
std::vector<std::pair<std::string, std::vector<Point>>> adversarial_paths() {
    std::mt19937_64 rng(5);
    std::vector<std::pair<std::string, std::vector<Point>>> paths;
    paths.emplace_back("walk", walk(rng, 3000, 1.0));
    std::vector<Point> zig_zag;
    for (int i = 0; i < 2000; ++i) {
        zig_zag.push_back({(i % 2 ? 40.0 : 0.0) + 0.01 * i, 0.5 * i});
    }
    paths.emplace_back("zig-zag", zig_zag);
    std::vector<Point> repeated = walk(rng, 2000, 1.0);
    for (std::size_t i = 3; i < repeated.size(); i += 7) {
        repeated[i] = repeated[i - 1];             // zero-length segments
        repeated[i - 3] = repeated[(i * 31) % i];  // points coinciding with earlier ones
    }
    paths.emplace_back("repeated", repeated);
    std::vector<Point> loops;  // three laps of one circle, the start where it ends
    for (int i = 0; i <= 3 * 700; ++i) {
        const double angle = 2 * std::numbers::pi * i / 700;
        loops.push_back({50 * std::cos(angle), 50 * std::sin(angle)});
    }
    paths.emplace_back("loops", loops);
    std::vector<Point> there_and_back = walk(rng, 1500, 1.0);
    there_and_back.insert(there_and_back.end(), there_and_back.rbegin() + 1, there_and_back.rend());
    paths.emplace_back("there-and-back", there_and_back);
    std::vector<Point> collinear;  // overlapping runs along one line, in both directions
    for (int lap = 0; lap < 6; ++lap) {
        for (int i = 0; i < 400; ++i) {
            collinear.push_back({lap % 2 ? 700.0 - 1.5 * i : 0.25 * lap + 1.5 * i, 0.0});
        }
    }
    paths.emplace_back("collinear", collinear);
    const std::vector<Point> base = walk(rng, 2500, 1.0);
    for (const auto& [name, factor] : {std::pair{"tiny", 1e-160},
                                       {"subnormal", 1e-310},
                                       {"huge", 1e150},
                                       {"squares overflow", 1e155},
                                       {"near the largest double", 1e300}}) {
        paths.emplace_back(name, scaled(base, factor));
    }
    std::vector<Point> shifted = base;  // far from the origin, as georeferenced data is
    for (Point& p : shifted) {
        p = {p.x + 512000.0, p.y + 5400000.0};
    }
    paths.emplace_back("shifted", shifted);
    std::vector<Point> holes = walk(rng, 2500, 1.0);
    for (std::size_t i = 5; i < holes.size(); i += 97) {
        holes[i] = i % 3 == 0   ? Point{nan, holes[i].y}
                   : i % 3 == 1 ? Point{inf, 1.0}
                                : Point{-inf, nan};
    }
    for (std::size_t i = 1000; i < 1300; ++i) {
        holes[i] = {nan, nan};
    }
    paths.emplace_back("non-finite points", holes);
    return paths;
}

// On vertices, on segments, near them, far away, and non-finite.
std::vector<Point> queries(const std::vector<Point>& points, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_int_distribution<std::size_t> pick(0, points.size() - 2);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    double low_x = inf, low_y = inf, high_x = -inf, high_y = -inf, scale = 0.0;
    for (std::size_t i = 0; i + 1 < points.size(); ++i) {
        const Point a = points[i];
        if (std::isfinite(a.x) && std::isfinite(a.y)) {
            low_x = std::min(low_x, a.x), high_x = std::max(high_x, a.x);
            low_y = std::min(low_y, a.y), high_y = std::max(high_y, a.y);
            scale = std::max(scale, std::hypot(points[i + 1].x - a.x, points[i + 1].y - a.y));
        }
    }
    std::normal_distribution<double> noise(0.0, scale);
    std::vector<Point> out{{nan, 0}, {0, inf}, {-inf, -inf}};
    for (int k = 0; k < 120; ++k) {
        const std::size_t i = pick(rng);
        const Point a = points[i], b = points[i + 1];
        const double t = unit(rng);
        const Point on{a.x + t * (b.x - a.x), a.y + t * (b.y - a.y)};
        out.push_back(a);
        out.push_back(on);
        out.push_back({on.x + noise(rng), on.y + noise(rng)});
        out.push_back({on.x + 0.01 * noise(rng), on.y});
        out.push_back({low_x + (high_x - low_x) * (3 * unit(rng) - 1),
                       low_y + (high_y - low_y) * (3 * unit(rng) - 1)});
    }
    return out;
}

}  // namespace

TEST(SegmentIndex, EqualsTheScanBitForBit) {
    for (const auto& [name, points] : adversarial_paths()) {
        SCOPED_TRACE(name);
        const SegmentIndex index = SegmentIndex::build(points);
        // The index may take at most about as much memory as the points.
        EXPECT_LE(SegmentIndexProbe::memory_bytes(index), points.size() * sizeof(Point));
        LazySegmentIndex lazy;
        std::size_t found = 0;
        for (const Point q : queries(points, 11)) {
            const auto scan = korvane::nearest_segment_scan(points, q);
            found += scan.has_value();
            ASSERT_TRUE(same(index.nearest_segment(points, q), scan)) << q.x << " " << q.y;
            ASSERT_TRUE(same(lazy.nearest_segment(points, q), scan)) << q.x << " " << q.y;
            // The leaves near a box around the query: every leaf whose box is, in order, or one
            // more than room was given for.
            const SegmentIndex::Box region{q.x - 1, q.y - 2, q.x + 3, q.y};
            std::vector<std::size_t> near;
            for (std::size_t j = 0; j < index.leaf_count(); ++j) {
                if (SegmentIndex::squared_gap(index.leaf_box(j), region) <= 25.0) {
                    near.push_back(j);
                }
            }
            std::vector<std::size_t> leaves(near.size() + 1);
            leaves.resize(index.leaves_near(region, 25.0, leaves));
            ASSERT_EQ(leaves, near) << q.x << " " << q.y;
            if (!near.empty()) {
                EXPECT_EQ(index.leaves_near(region, 25.0, {leaves.data(), near.size() - 1}),
                          near.size());
            }
            // From the boxes near that box, as a batch searches: the foot found from the root.
            for (const double limit : {25.0, 1e4, inf}) {
                std::size_t nodes[16];
                const std::size_t count = index.frontier(region, limit, nodes);
                const std::size_t hint = (found * 7919) % (points.size() - 1);
                const auto below = index.nearest_clamped(points, q, hint, {nodes, count}, limit);
                const auto root = index.nearest_clamped(points, q, hint);
                ASSERT_EQ(below.has_value(), root.has_value());
                ASSERT_TRUE(!below || (below->index == root->index &&
                                       same_bits(below->squared_distance, root->squared_distance) &&
                                       same_bits(below->t, root->t)))
                    << q.x << " " << q.y << " limit " << limit;
            }
        }
        EXPECT_NE(lazy.for_batch(points, 0), nullptr);  // built by now
        if (name == "subnormal") {
            EXPECT_EQ(found, 0u);  // squared lengths underflow to 0: t is never a number
        } else {
            EXPECT_GT(found, 100u);  // the queries do reach the segment search
        }
    }
}

TEST(SegmentIndex, NegativeZeroFootIsACandidate) {
    // A negative numerator whose quotient underflows gives t = -0.0, which is not below 0: the
    // foot is the segment's start. Here the squared length is finite, then infinite.
    const std::vector<Point> long_segment{{0, 0}, {1e150, 0}};
    const auto behind = korvane::nearest_segment_scan(long_segment, {-1e-180, 3});
    ASSERT_TRUE(behind);
    EXPECT_TRUE(std::signbit(behind->t));
    EXPECT_EQ(behind->distance, 3.0);

    const std::vector<Point> points{{0, 0}, {1e200, 0}, {1e200, 1e200}};
    const auto scan = korvane::nearest_segment_scan(points, {-5, 1});
    ASSERT_TRUE(scan);
    EXPECT_EQ(scan->index, 0u);
    EXPECT_TRUE(std::signbit(scan->t));
    EXPECT_EQ(scan->point, (Point{0, 0}));
}
