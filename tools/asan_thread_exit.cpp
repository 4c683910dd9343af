// Preloaded with the sanitizer runtime in the AddressSanitizer runs
// (tools/checked.sh).  At interpreter exit a daemon thread that asks for the
// interpreter lock is ended with pthread_exit, which unwinds every frame of
// the thread.  The frames it leaves keep their poisoned redzones, and the
// sanitizer's own hook in the next landing pad (run before _Unwind_Resume)
// writes a local of its own into that stale poison and reports an overflow
// that is not there.  The whole stack is dying, so it is unpoisoned before
// the unwind begins; frames the landing pads make poison their own anew.
#include <dlfcn.h>
#include <pthread.h>
#include <sanitizer/asan_interface.h>

extern "C" [[noreturn]] void pthread_exit(void* value) {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
        void* stack;
        size_t size;
        if (pthread_attr_getstack(&attributes, &stack, &size) == 0) {
            __asan_unpoison_memory_region(stack, size);
        }
        pthread_attr_destroy(&attributes);
    }
    using Exit = void (*)(void*);
    static const Exit real_exit = reinterpret_cast<Exit>(dlsym(RTLD_NEXT, "pthread_exit"));
    real_exit(value);
    __builtin_unreachable();
}
