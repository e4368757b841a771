// src/util/vector_math.cpp: many two-argument arc tangents at once
#include "util/vector_math.hpp"

#include <cmath>

#if defined(__linux__) && defined(__x86_64__) && defined(__GNUC__)
#define KORVANE_VECTOR_ATAN2 1
#include <dlfcn.h>
#include <immintrin.h>
#endif

namespace korvane {

void atan2_many_scalar(const double* y, const double* x, double* out, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = std::atan2(y[i], x[i]);
    }
}

#if defined(KORVANE_VECTOR_ATAN2)

namespace {

#pragma GCC push_options
#pragma GCC target("avx2")

// The vector function ABI's name for a four-lane AVX2 atan2 of two vector arguments.
using Atan2x4 = __m256d (*)(__m256d, __m256d);

// Lanes the vector arc tangent leaves to the scalar one: a zero or non-finite coordinate,
// where the exact axis angles and the scalar's NaN and infinity rules must come out unchanged,
// and directions within 3 degrees of a diagonal, which include the exact diagonals and
// the only directions where the vector function was measured 3 ULP from the scalar one (its
// error elsewhere stays within 2 ULP).
__attribute__((target("avx2"))) int special_lanes(__m256d y, __m256d x) noexcept {
    const __m256d sign = _mm256_set1_pd(-0.0);
    const __m256d ay = _mm256_andnot_pd(sign, y);
    const __m256d ax = _mm256_andnot_pd(sign, x);
    const __m256d zero = _mm256_setzero_pd();
    const __m256d inf = _mm256_set1_pd(INFINITY);
    const __m256d near_diagonal = _mm256_mul_pd(_mm256_max_pd(ay, ax), _mm256_set1_pd(0.9));
    __m256d special = _mm256_cmp_pd(_mm256_min_pd(ay, ax), near_diagonal, _CMP_GE_OQ);
    special = _mm256_or_pd(special, _mm256_cmp_pd(ay, zero, _CMP_EQ_OQ));
    special = _mm256_or_pd(special, _mm256_cmp_pd(ax, zero, _CMP_EQ_OQ));
    special = _mm256_or_pd(special, _mm256_cmp_pd(ay, inf, _CMP_EQ_OQ));
    special = _mm256_or_pd(special, _mm256_cmp_pd(ax, inf, _CMP_EQ_OQ));
    special = _mm256_or_pd(special, _mm256_cmp_pd(y, x, _CMP_UNORD_Q));
    return _mm256_movemask_pd(special);
}

__attribute__((target("avx2"))) void atan2_blocks(Atan2x4 atan2x4, const double* y, const double* x,
                                                  double* out, std::size_t n) noexcept {
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m256d vy = _mm256_loadu_pd(y + i);
        const __m256d vx = _mm256_loadu_pd(x + i);
        _mm256_storeu_pd(out + i, atan2x4(vy, vx));
        if (const int lanes = special_lanes(vy, vx)) {
            for (int lane = 0; lane < 4; ++lane) {
                if (lanes & (1 << lane)) {
                    out[i + lane] = std::atan2(y[i + lane], x[i + lane]);
                }
            }
        }
    }
    atan2_many_scalar(y + i, x + i, out + i, n - i);
}

#pragma GCC pop_options

Atan2x4 find_atan2x4() noexcept {
    if (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("fma")) {
        return nullptr;
    }
    // Looked up rather than linked: a system without the library still runs, scalar.
    void* library = dlopen("libmvec.so.1", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<Atan2x4>(dlsym(library, "_ZGVdN4vv_atan2"));
}

Atan2x4 atan2x4() noexcept {
    static const Atan2x4 found = find_atan2x4();
    return found;
}

}  // namespace

void atan2_many(const double* y, const double* x, double* out, std::size_t n) noexcept {
    if (const Atan2x4 vector = atan2x4()) {
        atan2_blocks(vector, y, x, out, n);
    } else {
        atan2_many_scalar(y, x, out, n);
    }
}

#else

void atan2_many(const double* y, const double* x, double* out, std::size_t n) noexcept {
    atan2_many_scalar(y, x, out, n);
}

#endif

}  // namespace korvane
