// cmake/manylinux_glibc.cpp: glibc symbols newer than manylinux_2_17 that the static C++
// runtime names, defined inside a portable wheel's module (the version script keeps them local).
#include <sys/single_threaded.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

// glibc 2.32: the C++ runtime and its inline code skip atomic operations while this is set.
// Zero, "other threads may exist", is always correct.
char __libc_single_threaded = 0;

// glibc 2.25 and 2.36: named by std::random_device, which comes along with the static runtime
// although nothing here uses it. Same behaviour, from the kernel's generator.
extern "C" int getentropy(void* buffer, std::size_t length) {
    if (length > 256) {
        errno = EIO;
        return -1;
    }
    auto* out = static_cast<unsigned char*>(buffer);
    while (length > 0) {
        const long got = syscall(SYS_getrandom, out, length, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        out += got;
        length -= static_cast<std::size_t>(got);
    }
    return 0;
}

extern "C" std::uint32_t arc4random() {
    std::uint32_t value = 0;
    if (getentropy(&value, sizeof value) != 0) {
        std::abort();
    }
    return value;
}
