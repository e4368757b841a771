// src/path2d/path_smoothing.cpp: Chaikin corner cutting
#include <cstdint>
#include <new>

#include "path2d/path2d.hpp"

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

    // Two buffers swapped every iteration; the one written last gets the final size and the
    // other half of it, both reserved before any work so a refusal costs nothing.
    std::vector<Point> current;
    std::vector<Point> next;
    const bool last_written_is_next = num_iterations % 2 == 1;
    current.reserve(last_written_is_next ? final_size / 2 : final_size);
    next.reserve(last_written_is_next ? final_size : final_size / 2);
    current.assign(m_points.begin(), m_points.end());

    // The ends come from the path itself each time; they are bit-for-bit the input's ends.
    const Point first = m_points.front();
    const Point last = m_points.back();
    for (std::size_t iteration = 0; iteration < num_iterations; ++iteration) {
        next.clear();
        next.push_back(first);
        for (std::size_t i = 0; i + 1 < current.size(); ++i) {
            const Point a = current[i];
            const Point b = current[i + 1];
            next.push_back(Point{0.75 * a.x + 0.25 * b.x, 0.75 * a.y + 0.25 * b.y});
            next.push_back(Point{0.25 * a.x + 0.75 * b.x, 0.25 * a.y + 0.75 * b.y});
        }
        next.push_back(last);
        current.swap(next);
    }
    return Path2D::from_points(std::move(current));
}

}  // namespace korvane
