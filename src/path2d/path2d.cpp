// src/path2d/path2d.cpp: construction of the path record and the storage forms it assembles
#include "path2d/path2d.hpp"

#include <algorithm>

#include "util/large_list.hpp"

namespace korvane {

Path2D Path2D::from_points(std::vector<Point> points) {
    Path2D path;
    path.m_size = points.size();
    path.m_points = std::move(points);
    return path;
}

Path2D Path2D::from_parts(std::vector<Point> points, std::vector<double> x, std::vector<double> y,
                          std::vector<std::vector<double>> associated_values) {
    Path2D path = from_points(std::move(points));
    if (!x.empty() || !y.empty()) {
        path.m_x = std::move(x);
        path.m_y = std::move(y);
    }
    path.m_associated_values = std::move(associated_values);
    return path;
}

Path2D Path2D::from_coordinates(std::vector<double> x, std::vector<double> y) {
    Path2D path;
    path.m_size = std::min(x.size(), y.size());
    path.m_points.reset();
    path.m_x = std::move(x);
    path.m_y = std::move(y);
    return path;
}

void Path2D::assemble_points() const {
    const PointView p = point_view();
    m_points = generated_list<Point>(m_size, [&p](std::size_t i) { return p[i]; });
}

void Path2D::assemble_coordinates() const {
    // Only a record built from points lacks them, so both come from its points.
    const CoordinateView x = x_view();
    const CoordinateView y = y_view();
    m_x = generated_list<double>(x.size(), [&x](std::size_t i) { return x[i]; });
    m_y = generated_list<double>(y.size(), [&y](std::size_t i) { return y[i]; });
}

}  // namespace korvane
