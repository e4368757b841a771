// tests/cpp/path2d/test_elastic_band_solver.cpp: the dedicated elastic band solver against the
// conditions of the optimum, an exhaustive search of small problems and the method's edge cases
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "path2d/elastic_band_solver.hpp"
#include "path2d/path2d.hpp"

namespace {

using korvane::ElasticBandMethod;
using korvane::ElasticBandSolver;
using korvane::Path2D;
using korvane::Point;

constexpr ElasticBandMethod kMethods[] = {ElasticBandMethod::SquareBounds,
                                          ElasticBandMethod::OrthogonalBounds};

// The problem stated densely, apart from the solver: offset v moves point `at` by d_v·w_v.
struct Offset {
    std::size_t at;
    Point w;
};

std::vector<Offset> offsets_of(const Path2D& path, double band, ElasticBandMethod method) {
    std::vector<Offset> offsets;
    for (std::size_t i = 1; i + 1 < path.size(); ++i) {
        const double theta = path.orientation()[i];
        if (method == ElasticBandMethod::OrthogonalBounds) {
            offsets.push_back({i, {std::sin(theta) * band, std::cos(theta) * -band}});
        } else {
            offsets.push_back({i, {band, 0}});
            offsets.push_back({i, {0, band}});
        }
    }
    return offsets;
}

// Second difference at each point (zero at both ends), the objective their sum of squares.
std::vector<Point> second_differences(const std::vector<Point>& p) {
    std::vector<Point> e(p.size(), Point{0, 0});
    for (std::size_t k = 1; k + 1 < p.size(); ++k) {
        e[k] = {p[k - 1].x - 2 * p[k].x + p[k + 1].x, p[k - 1].y - 2 * p[k].y + p[k + 1].y};
    }
    return e;
}
double objective(const std::vector<Point>& p) {
    double f = 0;
    for (const Point e : second_differences(p))
        f += e.x * e.x + e.y * e.y;
    return f;
}
// ∂f/∂d_v = 2 w_v · (e_{i-1} - 2 e_i + e_{i+1}).
std::vector<double> gradient(const std::vector<Point>& p, const std::vector<Offset>& offsets) {
    const std::vector<Point> e = second_differences(p);
    std::vector<double> g;
    for (const Offset& o : offsets) {
        const std::size_t i = o.at;
        const Point around = {e[i - 1].x - 2 * e[i].x + e[i + 1].x,
                              e[i - 1].y - 2 * e[i].y + e[i + 1].y};
        g.push_back(2 * (o.w.x * around.x + o.w.y * around.y));
    }
    return g;
}
std::vector<Point> displaced(std::vector<Point> p, const std::vector<Offset>& offsets,
                             const std::vector<double>& d) {
    for (std::size_t v = 0; v < offsets.size(); ++v) {
        p[offsets[v].at].x += offsets[v].w.x * d[v];
        p[offsets[v].at].y += offsets[v].w.y * d[v];
    }
    return p;
}

struct Smoothed {
    std::vector<Point> points;
    bool solved;
};
Smoothed smooth(const Path2D& path, double band, ElasticBandMethod method) {
    ElasticBandSolver solver;
    std::vector<Point> out(path.size());
    const bool solved = solver.smooth(path, band, method, out);
    return {out, solved};
}

// The offsets of an answer, after checking that every point moved along its own offsets only.
std::vector<double> recovered(const Path2D& path, const std::vector<Point>& out,
                              const std::vector<Offset>& offsets) {
    std::vector<double> d;
    for (const Offset& o : offsets) {
        const Point in = path.points()[o.at];
        const Point move = {out[o.at].x - in.x, out[o.at].y - in.y};
        const double length2 = o.w.x * o.w.x + o.w.y * o.w.y;
        const double along = (move.x * o.w.x + move.y * o.w.y) / length2;
        if (o.w.x != 0 && o.w.y != 0) {  // one offset per point: nothing across it
            EXPECT_NEAR(move.x * o.w.y - move.y * o.w.x, 0.0,
                        1e-12 * (1 + std::abs(in.x) + std::abs(in.y)));
        }
        d.push_back(along);
    }
    return d;
}

// Checks the conditions of the optimum of the box-constrained problem: every offset in the box,
// the gradient zero where it is inside and pointing outwards where it is at a bound.
void expect_optimal(const Path2D& path, double band, ElasticBandMethod method) {
    const Smoothed s = smooth(path, band, method);
    ASSERT_TRUE(s.solved);
    const std::vector<Offset> offsets = offsets_of(path, band, method);
    const std::vector<double> d = recovered(path, s.points, offsets);
    const std::vector<double> g = gradient(s.points, offsets);
    double scale = 1e-300;
    for (const double v : gradient(path.points(), offsets))
        scale = std::max(scale, std::abs(v));
    for (std::size_t v = 0; v < d.size(); ++v) {
        SCOPED_TRACE(v);
        // Within the box to the rounding of the coordinates.
        const Point at = path.points()[offsets[v].at];
        const double rounding = 4e-16 * (std::abs(at.x) + std::abs(at.y)) / std::abs(band);
        EXPECT_LE(std::abs(d[v]), 1 + 1e-12 + rounding);
        if (d[v] > 1 - 1e-9) {
            EXPECT_LE(g[v], 1e-9 * scale);
        } else if (d[v] < -1 + 1e-9) {
            EXPECT_GE(g[v], -1e-9 * scale);
        } else {
            EXPECT_NEAR(g[v], 0.0, 1e-9 * scale);
        }
    }
    EXPECT_EQ(s.points.front(), path.points().front());
    EXPECT_EQ(s.points.back(), path.points().back());
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
    for (const ElasticBandMethod method : kMethods) {
        for (const double band : {0.01, 0.15, 1.0, 50.0}) {
            SCOPED_TRACE(band);
            expect_optimal(noisy_track(400, 0.03, 1), band, method);
            expect_optimal(noisy_track(5000, 0.05, 2), band, method);
        }
        // Repeated points (heading atan2(0, 0) = 0), a hairpin and a zig-zag.
        expect_optimal(
            Path2D::from_points({{0, 0}, {1, 0}, {1, 0}, {1, 0}, {2, 1}, {2, 1}, {3, 0}}), 0.3,
            method);
        expect_optimal(Path2D::from_points({{0, 0}, {5, 0}, {10, 0}, {5, 0.1}, {0, 0.2}}), 0.5,
                       method);
        std::vector<Point> zigzag;
        for (int i = 0; i < 60; ++i)
            zigzag.push_back({double(i), i % 2 ? 1.0 : -1.0});
        expect_optimal(Path2D::from_points(zigzag), 0.4, method);
    }
    expect_optimal(noisy_track(300, 0.03, 3), -0.2, ElasticBandMethod::OrthogonalBounds);
}

// The optimum found by trying every face of the box: each offset at -1, at 1 or free, the free
// ones solving the face's normal equations, the best feasible point kept.
double exhaustive_optimum(const Path2D& path, const std::vector<Offset>& offsets) {
    const std::size_t k = offsets.size();
    double best = std::numeric_limits<double>::infinity();
    std::vector<int> face(k, -1);
    for (;;) {
        std::vector<double> d(k, 0.0);
        std::vector<std::size_t> free;
        for (std::size_t v = 0; v < k; ++v) {
            d[v] = face[v] == 0 ? 0.0 : face[v];
            if (face[v] == 0) free.push_back(v);
        }
        // f is quadratic: its gradient at d with unit steps gives the normal equations.
        const std::size_t q = free.size();
        std::vector<std::vector<double>> a(q, std::vector<double>(q + 1, 0.0));
        const std::vector<double> g0 = gradient(displaced(path.points(), offsets, d), offsets);
        for (std::size_t c = 0; c < q; ++c) {
            std::vector<double> unit = d;
            unit[free[c]] += 1.0;
            const std::vector<double> g1 =
                gradient(displaced(path.points(), offsets, unit), offsets);
            for (std::size_t r = 0; r < q; ++r)
                a[r][c] = g1[free[r]] - g0[free[r]];
        }
        for (std::size_t r = 0; r < q; ++r)
            a[r][q] = -g0[free[r]];
        bool singular = false;
        for (std::size_t c = 0; c < q && !singular; ++c) {
            std::size_t pivot = c;
            for (std::size_t r = c + 1; r < q; ++r)
                if (std::abs(a[r][c]) > std::abs(a[pivot][c])) pivot = r;
            std::swap(a[c], a[pivot]);
            singular = std::abs(a[c][c]) < 1e-300;
            for (std::size_t r = 0; r < q && !singular; ++r) {
                if (r == c) continue;
                const double f = a[r][c] / a[c][c];
                for (std::size_t j = c; j <= q; ++j)
                    a[r][j] -= f * a[c][j];
            }
        }
        bool inside = !singular;
        for (std::size_t c = 0; c < q && inside; ++c) {
            d[free[c]] += a[c][q] / a[c][c];
            inside = std::abs(d[free[c]]) <= 1 + 1e-12;
        }
        if (inside) best = std::min(best, objective(displaced(path.points(), offsets, d)));
        std::size_t v = 0;
        while (v < k && face[v] == 1)
            face[v++] = -1;
        if (v == k) return best;
        ++face[v];
    }
}

TEST(ElasticBandSolver, FindsTheOptimumOfEveryFaceOnSmallPaths) {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> jitter(-1, 1);
    for (int round = 0; round < 60; ++round) {
        const ElasticBandMethod method = kMethods[round % 2];
        const std::size_t n = 3 + rng() % (method == ElasticBandMethod::SquareBounds ? 4 : 6);
        std::vector<Point> points;
        for (std::size_t i = 0; i < n; ++i)
            points.push_back({double(i) + 0.5 * jitter(rng), jitter(rng)});
        const Path2D path = Path2D::from_points(points);
        // The negative band falls to OrthogonalBounds, the odd rounds.
        const double band = std::array{0.05, 0.3, 2.0, -0.3}[round % 4];
        const Smoothed s = smooth(path, band, method);
        ASSERT_TRUE(s.solved);
        const double best = exhaustive_optimum(path, offsets_of(path, band, method));
        EXPECT_NEAR(objective(s.points), best, 1e-9 * best + 1e-15) << round;
    }
}

TEST(ElasticBandSolver, EdgeCasesAnswerAsTheMethodDoes) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<Point> bend = {{0, 0}, {1, 0.5}, {2, 0}, {3, 0.7}};
    struct Case {
        std::vector<Point> points;
        double band;
        bool square_solved;
        bool orthogonal_solved;
        bool orthogonal_moves;
    };
    const Case cases[] = {
        {{}, nan, true, true, false},  // nothing to smooth: the path is its answer
        {{{1, 2}}, 0.5, true, true, false},
        {{{0, 0}, {3, 4}}, -1.0, true, true, false},  // no interior point: no bound to violate
        {bend, 0.0, true, true, false},               // every point held
        {bend, -0.1, false, true, true},              // empty squares; the normals as for 0.1
        {bend, nan, false, false, false},
        {bend, inf, false, false, false},
        {{{0, 0}, {1, 1}, {nan, 0}}, 0.5, false, false, false},
        {{{0, 0}, {0.5, 0.5}, {1, 1}, {1.5, 1.5}}, 0.5, true, true, false},  // already straight
    };
    for (const Case& c : cases) {
        const Path2D path = Path2D::from_points(c.points);
        for (const ElasticBandMethod method : kMethods) {
            SCOPED_TRACE(c.band);
            const bool square = method == ElasticBandMethod::SquareBounds;
            const Smoothed s = smooth(path, c.band, method);
            EXPECT_EQ(s.solved, square ? c.square_solved : c.orthogonal_solved);
            ASSERT_EQ(s.points.size(), c.points.size());
            if (square || !c.orthogonal_moves) {
                for (std::size_t i = 0; i < c.points.size(); ++i) {
                    EXPECT_TRUE(s.points[i] == c.points[i] || std::isnan(c.points[i].x));
                }
            }
        }
    }
    // A negative band moves the points as its magnitude does.
    const Path2D path = noisy_track(200, 0.05, 4);
    const Smoothed plus = smooth(path, 0.1, ElasticBandMethod::OrthogonalBounds);
    const Smoothed minus = smooth(path, -0.1, ElasticBandMethod::OrthogonalBounds);
    for (std::size_t i = 0; i < path.size(); ++i) {
        EXPECT_NEAR(plus.points[i].x, minus.points[i].x, 1e-9);
        EXPECT_NEAR(plus.points[i].y, minus.points[i].y, 1e-9);
    }
}

TEST(ElasticBandSolver, TracksOfARaggedColumnAreSmoothedOneByOne) {
    std::vector<Point> points;
    std::vector<std::int64_t> offsets = {0};
    for (const std::size_t n : {40, 0, 1, 3, 2, 120}) {
        const Path2D track = noisy_track(n, 0.1, unsigned(n));
        points.insert(points.end(), track.points().begin(), track.points().end());
        offsets.push_back(std::int64_t(points.size()));
    }
    ASSERT_TRUE(korvane::valid_track_offsets(offsets, points.size()));
    EXPECT_FALSE(korvane::valid_track_offsets({{0, 5, 3, 163}}, points.size()));
    EXPECT_FALSE(korvane::valid_track_offsets({{1, 163}}, points.size()));
    EXPECT_FALSE(korvane::valid_track_offsets({}, 0));
    for (const ElasticBandMethod method : kMethods) {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        std::vector<Point> out(points.size(), Point{nan, nan});
        bool solved[6] = {};
        ElasticBandSolver solver;
        // Two ranges, as two threads would take them, in the order that grows the scratch.
        korvane::smooth_band(points, offsets, 5, 6, 0.2, method, out, solved, solver);
        korvane::smooth_band(points, offsets, 0, 5, 0.2, method, out, solved, solver);
        for (std::size_t t = 0; t < 6; ++t) {
            const std::vector<Point> track(points.begin() + offsets[t],
                                           points.begin() + offsets[t + 1]);
            const Smoothed alone = smooth(Path2D::from_points(track), 0.2, method);
            EXPECT_EQ(solved[t], alone.solved);
            EXPECT_TRUE(
                std::equal(alone.points.begin(), alone.points.end(), out.begin() + offsets[t]));
        }
        const std::vector<std::int64_t> outside = {0, 200};
        EXPECT_THROW(korvane::smooth_band(points, outside, 0, 1, 0.2, method, out, solved, solver),
                     std::invalid_argument);
    }
}

}  // namespace
