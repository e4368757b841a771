// src/path2d/path_smoothing.cpp: Chaikin corner cutting
#include <algorithm>
#include <cstdint>
#include <new>

#include "path2d/path2d.hpp"
#include "util/large_list.hpp"
#include "util/memory.hpp"

namespace korvane {

namespace {

// More points than this are refused up front as unstorable: 2^32 points take 64 GiB before
// their coordinate lists, and no real path needs them.
constexpr std::size_t max_smoothed_points = std::size_t{1} << 32;

}  // namespace

Path2D Path2D::smoothed_path_chaikin(std::size_t num_iterations) const {
    const std::size_t n = m_points.size();
    if (n < 2) {
        return Path2D(*this);
    }
    if (num_iterations == 0) {
        return Path2D::from_points(m_points);
    }
    // Each iteration doubles the count, so the result has n * 2^k points; checked by shifting
    // the limit down, which cannot overflow.
    if (num_iterations >= 64 || n > (max_smoothed_points >> num_iterations)) {
        throw std::bad_alloc();
    }
    const std::size_t final_size = n << num_iterations;
    // The two working buffers (final and half size), then the result's x and y.
    require_memory(final_size, sizeof(Point) + sizeof(Point) / 2 + 2 * sizeof(double));

    // Two buffers swapped every iteration, both sized before any work so a refusal costs
    // nothing: the one written last holds exactly the final points, the other half as many.
    const bool last_written_is_next = num_iterations % 2 == 1;
    const std::size_t half_size = final_size / 2;
    std::vector<Point> current = large_list<Point>(last_written_is_next ? half_size : final_size);
    std::vector<Point> next = large_list<Point>(last_written_is_next ? final_size : half_size);
    std::copy(m_points.begin(), m_points.end(), current.begin());

    // The ends come from the path itself each time; they are bit-for-bit the input's ends.
    const Point first = m_points.front();
    const Point last = m_points.back();
    std::size_t m = n;  // points held in `current`
    for (std::size_t iteration = 0; iteration < num_iterations; ++iteration) {
        const Point* in = current.data();
        Point* out = next.data();
        *out++ = first;
        for (std::size_t i = 0; i + 1 < m; ++i) {
            const Point a = in[i];
            const Point b = in[i + 1];
            *out++ = Point{0.75 * a.x + 0.25 * b.x, 0.75 * a.y + 0.25 * b.y};
            *out++ = Point{0.25 * a.x + 0.75 * b.x, 0.25 * a.y + 0.75 * b.y};
        }
        *out = last;
        m *= 2;
        current.swap(next);
    }
    // Built like from_points, with the coordinate lists in huge-page-advised memory too.
    Path2D smoothed;
    smoothed.m_x = large_list<double>(final_size);
    smoothed.m_y = large_list<double>(final_size);
    for (std::size_t i = 0; i < final_size; ++i) {
        smoothed.m_x[i] = current[i].x;
        smoothed.m_y[i] = current[i].y;
    }
    smoothed.m_points = std::move(current);
    return smoothed;
}

}  // namespace korvane
