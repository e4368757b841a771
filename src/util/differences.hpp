// src/util/differences.hpp: finite differences with unit spacing
#pragma once

#include <span>
#include <vector>

namespace korvane {

/// Central differences inside, one-sided first-order differences at both ends.
std::vector<double> compute_differences(std::span<const double> values);

}  // namespace korvane
