// cmake/manylinux_glibc.h: included first in every file of a portable wheel build.
//
// Binds the calls whose default symbol version is newer than manylinux_2_17 to the old version,
// which every glibc since 2.2.5 still exports: dlopen and dlsym (moved from libdl into libc in
// 2.34), pthread_create and pthread_detach (moved from libpthread into libc in 2.34; the module
// names libpthread, which manylinux_2_17 allows, for the glibcs before), and the math functions that 2.27, 2.29 and 2.35 gave faster versions without the old
// error handling (each old symbol now wraps the same code). scripts/wheels refuses a wheel that
// needs anything newer, so a new call shows up there.
#if defined(__x86_64__)
__asm__(".symver dlopen, dlopen@GLIBC_2.2.5");
__asm__(".symver dlsym, dlsym@GLIBC_2.2.5");
__asm__(".symver pthread_create, pthread_create@GLIBC_2.2.5");
__asm__(".symver pthread_detach, pthread_detach@GLIBC_2.2.5");
__asm__(".symver exp, exp@GLIBC_2.2.5");
__asm__(".symver exp2, exp2@GLIBC_2.2.5");
__asm__(".symver log, log@GLIBC_2.2.5");
__asm__(".symver log2, log2@GLIBC_2.2.5");
__asm__(".symver pow, pow@GLIBC_2.2.5");
__asm__(".symver hypot, hypot@GLIBC_2.2.5");
__asm__(".symver expf, expf@GLIBC_2.2.5");
__asm__(".symver exp2f, exp2f@GLIBC_2.2.5");
__asm__(".symver logf, logf@GLIBC_2.2.5");
__asm__(".symver log2f, log2f@GLIBC_2.2.5");
__asm__(".symver powf, powf@GLIBC_2.2.5");
__asm__(".symver hypotf, hypotf@GLIBC_2.2.5");
#endif
