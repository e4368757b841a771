// src/path2d/associated_values.cpp: caller-attached per-point value lists
#include "path2d/path2d.hpp"

namespace korvane {

Result<std::size_t> Path2D::add_associated_values(std::vector<double> values) {
    if (values.size() != size()) {
        return Error{ErrorKind::Type, "The associated value has length " +
                                          std::to_string(values.size()) + ", although " +
                                          std::to_string(size()) + " was expected"};
    }
    m_associated_values.push_back(std::move(values));
    return m_associated_values.size() - 1;
}

const std::vector<double>* Path2D::associated_values(std::size_t handle) const noexcept {
    return handle < m_associated_values.size() ? &m_associated_values[handle] : nullptr;
}

}  // namespace korvane
