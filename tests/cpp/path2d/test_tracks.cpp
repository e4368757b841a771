// tests/cpp/path2d/test_tracks.cpp: the offsets of ragged columns, the blocks of tracks threads
// share, and the band of many tracks against the solver on each alone
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <stdexcept>
#include <vector>

#include "path2d/elastic_band_solver.hpp"
#include "path2d/path2d.hpp"
#include "path2d/tracks.hpp"

namespace {

using korvane::BadOffset;
using korvane::ElasticBandMethod;
using korvane::Path2D;
using korvane::Point;

std::vector<Point> noisy_track(std::size_t n, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> jitter(0, 0.1);
    std::vector<Point> points;
    for (std::size_t i = 0; i < n; ++i) {
        const double heading = 0.3 + 0.01 * double(i);
        points.push_back({std::cos(heading) * double(i) + jitter(rng),
                          std::sin(heading) * double(i) + jitter(rng)});
    }
    return points;
}

TEST(Tracks, TheFirstWrongOffsetIsNamed) {
    struct Case {
        std::vector<std::int64_t> offsets;
        std::size_t index;
        BadOffset::Reason reason;
    };
    const Case cases[] = {
        {{}, 0, BadOffset::NoEntry},
        {{1, 2, 9}, 0, BadOffset::NotZero},
        {{0, 5, 3, 12, 2}, 2, BadOffset::Decreasing},
        {{0, 11, 10}, 1, BadOffset::BeyondPoints},
        {{0, 4, 9}, 2, BadOffset::NotPoints},
        {{0}, 0, BadOffset::NotPoints},
    };
    for (const Case& c : cases) {
        const auto bad = korvane::first_bad_offset(c.offsets, 10);
        ASSERT_TRUE(bad.has_value());
        EXPECT_EQ(bad->index, c.index);
        EXPECT_EQ(bad->reason, c.reason);
    }
    EXPECT_EQ(korvane::bad_offset_message({2, 3, BadOffset::Decreasing}, cases[2].offsets, 10),
              "offsets[2] is 3, below offsets[1] = 5: offsets must not decrease");
    EXPECT_FALSE(korvane::first_bad_offset(std::vector<std::int64_t>{0, 0, 10, 10}, 10));
    EXPECT_FALSE(korvane::first_bad_offset(std::vector<std::int64_t>{0}, 0));
}

TEST(Tracks, BlocksHoldWholeTracksOfAtLeastTheRowsAsked) {
    const std::vector<Point> points(100);
    const std::vector<std::int64_t> offsets = {0, 10, 10, 50, 55, 60, 100};
    const korvane::Tracks tracks(points, offsets);
    EXPECT_EQ(korvane::track_blocks(tracks, 20), (std::vector<std::size_t>{0, 3, 6}));
    EXPECT_EQ(korvane::track_blocks(tracks, 1000), (std::vector<std::size_t>{0, 6}));
    // An empty track joins the next one.
    EXPECT_EQ(korvane::track_blocks(tracks, 1), (std::vector<std::size_t>{0, 1, 3, 4, 5, 6}));
    EXPECT_THROW(korvane::Tracks(points, std::vector<std::int64_t>{0, 101}), std::invalid_argument);
}

TEST(Tracks, TracksOfARaggedColumnAreSmoothedOneByOne) {
    std::vector<Point> points;
    std::vector<std::int64_t> offsets = {0};
    for (const std::size_t n : {40, 0, 1, 3, 2, 120}) {
        const std::vector<Point> track = noisy_track(n, unsigned(n));
        points.insert(points.end(), track.begin(), track.end());
        offsets.push_back(std::int64_t(points.size()));
    }
    for (const ElasticBandMethod method :
         {ElasticBandMethod::SquareBounds, ElasticBandMethod::OrthogonalBounds}) {
        std::vector<Point> out(points.size());
        bool solved[6] = {};
        korvane::ElasticBandSolver solver;
        // Two ranges, as two threads would take them, the longest track first.
        korvane::smooth_band(points, offsets, 5, 6, 0.2, method, out, solved, solver);
        korvane::smooth_band(points, offsets, 0, 5, 0.2, method, out, solved, solver);
        for (std::size_t t = 0; t < 6; ++t) {
            const Path2D alone =
                Path2D::from_points({points.begin() + offsets[t], points.begin() + offsets[t + 1]});
            std::vector<Point> answer(alone.size());
            EXPECT_EQ(solved[t], korvane::ElasticBandSolver().smooth(alone, 0.2, method, answer));
            EXPECT_TRUE(std::equal(answer.begin(), answer.end(), out.begin() + offsets[t]));
        }
        EXPECT_THROW(korvane::smooth_band(points, std::vector<std::int64_t>{0, 200}, 0, 1, 0.2,
                                          method, out, solved, solver),
                     std::invalid_argument);
    }
}

}  // namespace
