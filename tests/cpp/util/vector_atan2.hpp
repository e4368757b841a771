// tests/cpp/util/vector_atan2.hpp: whether atan2_many finds a vector arc tangent on this machine
#pragma once

#if defined(__linux__) && defined(__x86_64__) && defined(__GNUC__)
#include <dlfcn.h>
#endif

namespace korvane::testing {

/// The conditions atan2_many checks before it takes the vector path: AVX2 with FMA, and the
/// C library's vector math library offering the four-lane atan2.
inline bool vector_atan2_available() {
#if defined(__linux__) && defined(__x86_64__) && defined(__GNUC__)
    if (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("fma")) {
        return false;
    }
    void* library = dlopen("libmvec.so.1", RTLD_NOW | RTLD_LOCAL);
    return library != nullptr && dlsym(library, "_ZGVdN4vv_atan2") != nullptr;
#else
    return false;
#endif
}

}  // namespace korvane::testing
