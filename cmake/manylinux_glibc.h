// cmake/manylinux_glibc.h: included first in every file of a portable wheel build.
//
// Binds the calls whose default symbol version is newer than manylinux_2_17 to the old version,
// which every glibc since 2.2.5 still exports: dlopen and dlsym (moved from libdl into libc
// in 2.34) and pow (2.29 dropped the old error handling for a faster pow; the old symbol now
// wraps the same code).
#if defined(__x86_64__)
__asm__(".symver dlopen, dlopen@GLIBC_2.2.5");
__asm__(".symver dlsym, dlsym@GLIBC_2.2.5");
__asm__(".symver pow, pow@GLIBC_2.2.5");
#endif
