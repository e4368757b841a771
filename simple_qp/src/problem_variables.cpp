// simple_qp/src/problem_variables.cpp: issuing variables
#include "simple_qp/problem_variables.hpp"

#include <algorithm>
#include <stdexcept>

namespace simple_qp {

std::vector<Variable> ProblemVariables::add_vector(std::size_t count, std::optional<double> lower,
                                                   std::optional<double> upper) {
    std::vector<Variable> handles(count);
    if (count == 0) {
        return handles;
    }
    const std::size_t first = m_size;
    m_runs.push_back(VariableRun{first, count, VariableBounds{lower, upper}});
    m_size += count;
    for (std::size_t i = 0; i < count; ++i) {
        handles[i] = Variable{first + i};
    }
    return handles;
}

const VariableBounds& ProblemVariables::bounds(std::size_t index) const {
    if (index >= m_size) {
        throw std::out_of_range("ProblemVariables::bounds: no such variable");
    }
    // The last run starting at or before `index` holds it: runs are contiguous and non-empty.
    const auto after = std::upper_bound(
        m_runs.begin(), m_runs.end(), index,
        [](std::size_t i, const VariableRun& run) { return i < run.first; });
    return std::prev(after)->bounds;
}

}  // namespace simple_qp
