// simple_qp/src/solver.cpp: reading a solution
#include "simple_qp/solver.hpp"

namespace simple_qp {

std::vector<double> SolvedProblem::eval_vec(std::span<const Variable> variables) const {
    std::vector<double> values;
    values.reserve(variables.size());
    for (const Variable v : variables) {
        values.push_back(solution.at(v.index));
    }
    return values;
}

}  // namespace simple_qp
