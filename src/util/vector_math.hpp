// src/util/vector_math.hpp: many two-argument arc tangents at once
#pragma once

#include <cstddef>

namespace korvane {

/// out[i] = atan2(y[i], x[i]) for i < n. Where the running system offers a vector arc tangent
/// (the C library's vector math library on x86-64 with AVX2, found at run time), blocks of four
/// go through it: each value then lies within 2 ULP of std::atan2. Axis-aligned directions
/// (including atan2(0, 0)), directions near a diagonal, infinities and NaN always take
/// std::atan2 itself, and so does every value where no vector arc tangent is found.
void atan2_many(const double* y, const double* x, double* out, std::size_t n) noexcept;

/// The same with std::atan2 for every value, the reference the vector path is measured against.
void atan2_many_scalar(const double* y, const double* x, double* out, std::size_t n) noexcept;

}  // namespace korvane
