// What the statically linked C++ runtime would otherwise take from a newer
// glibc than the wheels' oldest one (2.17).  Both answers are hidden: they
// serve this module's own copy of the runtime only, never the process.

#include <cstddef>
#include <stdexcept>

// The runtime reads this flag to skip atomic reference counts while the
// process has one thread (glibc 2.32 sets it).  Answering "maybe more than
// one" always takes the atomic path, which is correct at any thread count:
// a module that runs in an interpreter with daemon threads gains nothing
// from the shortcut anyway.
extern "C" {
__attribute__((visibility("hidden"))) char __libc_single_threaded = 0;
}

// The runtime's string instantiations for the pre-C++11 ABI carry a
// random_device constructor, and linking them pulls in the whole random
// device with its entropy sources (getentropy, glibc 2.25; arc4random,
// glibc 2.36).  The modules never make a random device, so its one entry
// point the linker asks for is answered here, and answered as the runtime
// answers a token it does not support.
extern "C" __attribute__((visibility("hidden"), used)) void
frame_no_random_device(void*, const char*, std::size_t)
    __asm__("_ZNSt13random_device7_M_initEPKcm");

extern "C" void frame_no_random_device(void*, const char*, std::size_t) {
    throw std::runtime_error("random_device: not available in this module");
}

// Built against glibc 2.38 or later (Debian 13's), the runtime's emergency
// exception pool and its debug mode read their environment settings with
// the C23 strtoul, a glibc 2.38 symbol.  The C23 version differs only in
// taking a "0b" prefix for base 0 or 2, and those settings are plain
// decimal numbers, so the older function, present since glibc 2.2.5,
// answers the same.  Its C++ declaration may itself be redirected to the
// C23 name, so the older one is named by its symbol.
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 38))
extern "C" unsigned long frame_c99_strtoul(const char*, char**, int) __asm__("strtoul");

extern "C" __attribute__((visibility("hidden"), used)) unsigned long
frame_c23_strtoul(const char*, char**, int) __asm__("__isoc23_strtoul");

extern "C" unsigned long frame_c23_strtoul(const char* text, char** end, int base) {
    return frame_c99_strtoul(text, end, base);
}
#endif
