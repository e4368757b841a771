// src/path2d/chaikin.cpp: Chaikin corner cutting
#include "path2d/chaikin.hpp"

#include <string>

#include "util/large_list.hpp"
#include "util/memory.hpp"

namespace korvane {

namespace {

// More points than this are refused up front as unstorable: 2^32 points take 64 GiB before
// their coordinate lists, and no real path needs them.
constexpr std::size_t max_smoothed_points = std::size_t{1} << 32;

// One round of corner cutting of the m points of `source` into a new list of 2m points, each
// written once: the path's own ends, and between them the two cut points of every pair.
template <class Source>
std::vector<Point> cut_corners(const Source& source, std::size_t m, Point first, Point last) {
    const std::size_t size = 2 * m;
    return generated_list<Point>(size, [&](std::size_t j) {
        if (j == 0) {
            return first;
        }
        if (j + 1 == size) {
            return last;
        }
        const Point a = source[(j - 1) / 2];
        const Point b = source[(j - 1) / 2 + 1];
        if ((j - 1) % 2 == 0) {
            return Point{0.75 * a.x + 0.25 * b.x, 0.75 * a.y + 0.25 * b.y};
        }
        return Point{0.25 * a.x + 0.75 * b.x, 0.25 * a.y + 0.75 * b.y};
    });
}

}  // namespace

Result<std::size_t> chaikin_point_count(const Path2D& path, std::size_t num_iterations) {
    const std::size_t n = path.size();
    if (n < 2) {
        return n;
    }
    // Each iteration doubles the count, so the result has n * 2^k points; checked by shifting
    // the limit down, which cannot overflow.
    if (num_iterations < 64 && n <= (max_smoothed_points >> num_iterations)) {
        return n << num_iterations;
    }
    const std::string count = num_iterations < 64 && n <= (~std::size_t{0} >> num_iterations)
                                  ? std::to_string(n << num_iterations)
                                  : std::to_string(n) + " * 2^" + std::to_string(num_iterations);
    return Error{ErrorKind::Value, "num_iterations " + std::to_string(num_iterations) +
                                       " would smooth the path into " + count +
                                       " points, more than " + std::to_string(max_smoothed_points)};
}

Path2D smoothed_path_chaikin(const Path2D& path, std::size_t num_iterations) {
    const std::size_t n = path.size();
    if (n < 2) {
        return path;
    }
    const PointView source = path.point_view();
    if (num_iterations == 0) {
        return Path2D::from_points(
            generated_list<Point>(n, [&](std::size_t i) { return source[i]; }));
    }
    const Result<std::size_t> counted = chaikin_point_count(path, num_iterations);
    if (!counted.ok()) {
        throw MemoryLimitExceeded(counted.error().message);
    }
    const std::size_t final_size = counted.value();
    // The result and the round before it are held at once; then the result's x and y lists
    // when they are asked for.
    require_memory(final_size, sizeof(Point) + sizeof(Point) / 2 + 2 * sizeof(double));

    // The ends come from the path itself each time; they are bit-for-bit the input's ends.
    const Point first = source[0];
    const Point last = source[n - 1];
    // The first round reads the path in place; every round writes its list once, the last one
    // straight into the result.
    std::vector<Point> points = cut_corners(source, n, first, last);
    for (std::size_t iteration = 1; iteration < num_iterations; ++iteration) {
        points = cut_corners(points, points.size(), first, last);
    }
    return Path2D::from_points(std::move(points));
}

}  // namespace korvane
