// tests/cpp/path2d/test_elastic_band_solver.cpp: the dedicated elastic band solver against the
// conditions of the optimum, a plain solve of small problems and the method's edge cases
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "path2d/elastic_band_solver.hpp"
#include "path2d/path2d.hpp"

namespace {

using korvane::ElasticBandMethod;
using korvane::Path2D;
using korvane::Point;

constexpr ElasticBandMethod kMethods[] = {ElasticBandMethod::SquareBounds,
                                          ElasticBandMethod::OrthogonalBounds};

// The problem stated apart from the solver: offset v moves point `at` by d_v·w_v, -1 <= d_v <= 1.
struct Offset {
    std::size_t at;
    Point w;
};

std::vector<Offset> offsets_of(const Path2D& path, double band, ElasticBandMethod method) {
    std::vector<Offset> offsets;
    for (std::size_t i = 1; i + 1 < path.size(); ++i) {
        const double theta = path.orientation()[i];
        if (method == ElasticBandMethod::OrthogonalBounds)
            offsets.push_back({i, {std::sin(theta) * band, std::cos(theta) * -band}});
        else
            offsets.insert(offsets.end(), {{i, {band, 0}}, {i, {0, band}}});
    }
    return offsets;
}

// The objective, Σ |second difference|², and its gradient 2 w_v · (e_{i-1} - 2 e_i + e_{i+1}).
Point second_difference(const std::vector<Point>& p, std::size_t k) {
    if (k == 0 || k + 1 >= p.size()) return {0, 0};
    return {p[k - 1].x - 2 * p[k].x + p[k + 1].x, p[k - 1].y - 2 * p[k].y + p[k + 1].y};
}
double objective(const std::vector<Point>& p) {
    double f = 0;
    for (std::size_t k = 0; k < p.size(); ++k) {
        const Point e = second_difference(p, k);
        f += e.x * e.x + e.y * e.y;
    }
    return f;
}
double derivative(const std::vector<Point>& p, const Offset& o) {
    const Point a = second_difference(p, o.at - 1);
    const Point b = second_difference(p, o.at);
    const Point c = second_difference(p, o.at + 1);
    return 2 * (o.w.x * (a.x - 2 * b.x + c.x) + o.w.y * (a.y - 2 * b.y + c.y));
}

struct Smoothed {
    std::vector<Point> points;
    bool solved;
};
Smoothed smooth(const Path2D& path, double band, ElasticBandMethod method) {
    Smoothed s{std::vector<Point>(path.size()), false};
    s.solved = korvane::ElasticBandSolver().smooth(path, band, method, s.points);
    // A solver kept through every call, of both methods and all sizes, answers bit for bit so.
    static korvane::ElasticBandSolver kept;
    std::vector<Point> again(path.size());
    EXPECT_EQ(kept.smooth(path, band, method, again), s.solved);
    EXPECT_TRUE(again.empty() ||  // memcmp takes no null pointer, even for no bytes
                std::memcmp(again.data(), s.points.data(), again.size() * sizeof(Point)) == 0);
    return s;
}

// The conditions of the optimum: every point moved along its offsets only and within the box
// (to the rounding of its coordinates), the gradient zero for an offset inside the box and
// pointing outwards at a bound.
void expect_optimal(const Path2D& path, double band, ElasticBandMethod method) {
    const Smoothed s = smooth(path, band, method);
    ASSERT_TRUE(s.solved);
    const std::vector<Offset> offsets = offsets_of(path, band, method);
    double scale = 1e-300;
    for (const Offset& o : offsets)
        scale = std::max(scale, std::abs(derivative(path.points(), o)));
    for (const Offset& o : offsets) {
        const Point in = path.points()[o.at];
        const Point move = {s.points[o.at].x - in.x, s.points[o.at].y - in.y};
        const double d = (move.x * o.w.x + move.y * o.w.y) / (o.w.x * o.w.x + o.w.y * o.w.y);
        const double rounding = 4e-16 * (std::abs(in.x) + std::abs(in.y));
        const double across = move.x * o.w.y - move.y * o.w.x;  // none for a single offset
        EXPECT_NEAR(method == ElasticBandMethod::SquareBounds ? 0.0 : across, 0.0,
                    1e-12 + rounding);
        EXPECT_LE(std::abs(d), 1 + 1e-12 + rounding / std::abs(band));
        const double g = derivative(s.points, o);
        EXPECT_TRUE(d > 1 - 1e-9    ? g <= 1e-9 * scale
                    : d < -1 + 1e-9 ? g >= -1e-9 * scale
                                    : std::abs(g) <= 1e-9 * scale)
            << o.at << ": " << d << " " << g;
    }
    EXPECT_TRUE(s.points.front() == path.points().front() &&
                s.points.back() == path.points().back());
}

// A vehicle-like track: arcs and straights at unit spacing with position noise.
Path2D noisy_track(std::size_t n, double noise, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> jitter(0, noise);
    std::vector<Point> points;
    double heading = 0.3;
    Point at = {0, 0};
    for (std::size_t i = 0; i < n; ++i) {
        heading += (i / 150) % 3 == 1 ? 0.04 : (i / 150) % 3 == 2 ? -0.015 : 0.0;
        at = {at.x + std::cos(heading), at.y + std::sin(heading)};
        points.push_back({at.x + jitter(rng), at.y + jitter(rng)});
    }
    return Path2D::from_points(points);
}

TEST(ElasticBandSolver, MeetsTheConditionsOfTheOptimum) {
    // Repeated points (heading atan2(0, 0) = 0), a hairpin and a zig-zag.
    const Path2D awkward[] = {
        Path2D::from_points({{0, 0}, {1, 0}, {1, 0}, {1, 0}, {2, 1}, {2, 1}, {3, 0}}),
        Path2D::from_points({{0, 0}, {5, 0}, {10, 0}, {5, 0.1}, {0, 0.2}}),
        Path2D::from_points({{0, 1}, {1, -1}, {2, 1}, {3, -1}, {4, 1}, {5, -1}, {6, 1}, {7, -1}})};
    for (const ElasticBandMethod method : kMethods) {
        for (const double band : {0.01, 0.15, 1.0, 50.0}) {
            SCOPED_TRACE(band);
            expect_optimal(noisy_track(400, 0.03, 1), band, method);
            expect_optimal(noisy_track(5000, 0.05, 2), band, method);
        }
        for (const Path2D& path : awkward)
            expect_optimal(path, 0.4, method);
    }
    expect_optimal(noisy_track(300, 0.03, 3), -0.2, ElasticBandMethod::OrthogonalBounds);
}

// Small problems solved apart: projected coordinate descent, exact per coordinate on a convex
// quadratic, swept until nothing moves.
double descended_optimum(const Path2D& path, const std::vector<Offset>& offsets) {
    std::vector<Point> p = path.points();
    for (int sweep = 0; sweep < 100000; ++sweep) {
        double moved = 0;
        for (const Offset& o : offsets) {
            // The curvature along w_v: the three second differences it enters, weights 1, 4, 1.
            const double rows = 4.0 + (o.at > 1) + (o.at + 2 < p.size());
            const double curvature = 2 * rows * (o.w.x * o.w.x + o.w.y * o.w.y);
            const Point in = path.points()[o.at];
            const double now = o.w.x != 0 ? (p[o.at].x - in.x) / o.w.x : (p[o.at].y - in.y) / o.w.y;
            const double next = std::clamp(now - derivative(p, o) / curvature, -1.0, 1.0);
            if (o.w.x != 0) p[o.at].x = in.x + o.w.x * next;
            if (o.w.y != 0) p[o.at].y = in.y + o.w.y * next;
            moved = std::max(moved, std::abs(next - now));
        }
        if (moved < 1e-13) break;
    }
    return objective(p);
}

TEST(ElasticBandSolver, FindsTheOptimumOfSmallPaths) {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> jitter(-1, 1);
    for (int round = 0; round < 60; ++round) {
        const ElasticBandMethod method = kMethods[round % 2];
        std::vector<Point> points;
        for (std::size_t i = 0; i < 3 + rng() % 6; ++i)
            points.push_back({double(i) + 0.5 * jitter(rng), jitter(rng)});
        const Path2D path = Path2D::from_points(points);
        const double band = std::array{0.05, 0.3, 2.0, -0.3}[round % 4];  // odd rounds: -0.3
        const Smoothed s = smooth(path, band, method);
        ASSERT_TRUE(s.solved);
        const double best = descended_optimum(path, offsets_of(path, band, method));
        EXPECT_NEAR(objective(s.points), best, 1e-9 * best + 1e-15) << round;
    }
}

TEST(ElasticBandSolver, EdgeCasesAnswerAsTheMethodDoes) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<Point> bend = {{0, 0}, {1, 0.5}, {2, 0}, {3, 0.7}};
    struct Case {
        std::vector<Point> points;
        double band;
        bool square_solved, orthogonal_solved;
    };
    const Case cases[] = {
        {{}, nan, true, true},                 // nothing to smooth: the path is its answer
        {{{0, 0}, {3, 4}}, -1.0, true, true},  // no interior point: no bound to violate
        {bend, 0.0, true, true},               // every point held
        {bend, -0.1, false, true},             // empty squares; the normals as for 0.1
        {bend, nan, false, false},
        {bend, std::numeric_limits<double>::infinity(), false, false},
        {{{0, 0}, {1, 1}, {nan, 0}}, 0.5, false, false},
        {{{0, 0}, {0.5, 0.5}, {1, 1}, {1.5, 1.5}}, 0.5, true, true},  // already straight
    };
    for (const Case& c : cases) {
        const Path2D path = Path2D::from_points(c.points);
        for (const ElasticBandMethod method : kMethods) {
            SCOPED_TRACE(c.band);
            const bool square = method == ElasticBandMethod::SquareBounds;
            const Smoothed s = smooth(path, c.band, method);
            EXPECT_EQ(s.solved, square ? c.square_solved : c.orthogonal_solved);
            // Every answer but a negative orthogonal band's is the input.
            const bool moves = !square && c.band < 0 && c.points.size() > 2;
            for (std::size_t i = 0; i < c.points.size() && !moves; ++i)
                EXPECT_TRUE(s.points[i] == c.points[i] || std::isnan(c.points[i].x));
        }
    }
}

}  // namespace
