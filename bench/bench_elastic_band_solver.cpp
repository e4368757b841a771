// bench/bench_elastic_band_solver.cpp: times the dedicated elastic band solver on the tracks of a
// file that bench_elastic_band.py writes, for the ratio against the method it prints
//
//   bench_elastic_band_solver TRACKS orthogonal|square MAX_DEVIATION REPEAT
//
// TRACKS holds int64 T, int64 N, the T + 1 int64 offsets and the N points as x, y doubles.
// Prints the sum over the tracks of each track's best time in seconds, the interior point steps
// of one pass and the tracks solved; REPEAT 1 runs one pass (for callgrind).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "path2d/elastic_band_solver.hpp"
#include "path2d/path2d.hpp"
#include "path2d/tracks.hpp"

namespace {

struct Tracks {
    std::vector<std::int64_t> offsets;
    std::vector<korvane::Point> points;
};

bool read_tracks(const char* name, Tracks& tracks) {
    std::ifstream in(name, std::ios::binary);
    std::int64_t sizes[2] = {};
    if (!in.read(reinterpret_cast<char*>(sizes), sizeof sizes) || sizes[0] < 0 || sizes[1] < 0) {
        return false;
    }
    tracks.offsets.resize(static_cast<std::size_t>(sizes[0]) + 1);
    tracks.points.resize(static_cast<std::size_t>(sizes[1]));
    in.read(reinterpret_cast<char*>(tracks.offsets.data()),
            static_cast<std::streamsize>(tracks.offsets.size() * sizeof(std::int64_t)));
    in.read(reinterpret_cast<char*>(tracks.points.data()),
            static_cast<std::streamsize>(tracks.points.size() * sizeof(korvane::Point)));
    return static_cast<bool>(in) &&
           korvane::valid_track_offsets(tracks.offsets, tracks.points.size());
}

}  // namespace

int main(int argc, char** argv) {
    Tracks tracks;
    if (argc != 5 || !read_tracks(argv[1], tracks)) {
        std::fprintf(stderr,
                     "usage: %s TRACKS orthogonal|square MAX_DEVIATION REPEAT (TRACKS as "
                     "bench_elastic_band.py writes them)\n",
                     argv[0]);
        return 2;
    }
    const auto method = std::string(argv[2]) == "square"
                            ? korvane::ElasticBandMethod::SquareBounds
                            : korvane::ElasticBandMethod::OrthogonalBounds;
    const double band = std::atof(argv[3]);
    const int repeat = std::max(1, std::atoi(argv[4]));
    korvane::ElasticBandSolver solver;
    std::vector<korvane::Point> out(tracks.points.size());
    double total = 0.0;
    std::size_t iterations = 0;
    std::size_t solved = 0;
    for (std::size_t t = 0; t + 1 < tracks.offsets.size(); ++t) {
        const auto begin = static_cast<std::size_t>(tracks.offsets[t]);
        const auto size = static_cast<std::size_t>(tracks.offsets[t + 1]) - begin;
        // The headings as smoothed_path_elastic_band takes them, outside the timing as the
        // path's cache is.
        const korvane::Path2D path = korvane::Path2D::from_points(
            {tracks.points.begin() + static_cast<std::ptrdiff_t>(begin),
             tracks.points.begin() + static_cast<std::ptrdiff_t>(begin + size)});
        path.orientation();
        const std::span<korvane::Point> answer(out.data() + begin, size);
        double best = 1e300;
        for (int r = 0; r < repeat; ++r) {
            const auto start = std::chrono::steady_clock::now();
            const bool ok = solver.smooth(path, band, method, answer);
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
            best = std::min(best, took.count());
            if (r == 0) {
                iterations += solver.iterations();
                solved += ok;
            }
        }
        total += best;
    }
    std::printf("%.9g %zu %zu\n", total, iterations, solved);
    return 0;
}
