// simple_qp/src/constraint.cpp: facts about single constraints
#include "simple_qp/constraint.hpp"

namespace simple_qp {

std::size_t row_count(const Constraint& constraint) noexcept {
    if (const auto* inequality = std::get_if<Inequality>(&constraint)) {
        return (inequality->upper ? 1 : 0) + (inequality->lower ? 1 : 0);
    }
    return 1;
}

}  // namespace simple_qp
