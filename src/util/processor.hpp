// src/util/processor.hpp: what the processor running the library offers beyond the build's target
#pragma once

namespace korvane {

#if defined(__GNUC__) && defined(__x86_64__)
/// Whether the processor has AVX2, asked once: the kernels built for it run only where it does.
inline bool has_avx2() noexcept {
    static const bool found = __builtin_cpu_supports("avx2");
    return found;
}
#endif

}  // namespace korvane
