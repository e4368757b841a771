// simple_qp/src/problem_variables.cpp: issuing variables
#include "simple_qp/problem_variables.hpp"

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

}  // namespace simple_qp
