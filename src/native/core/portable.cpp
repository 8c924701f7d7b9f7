// Built into the modules of a portable wheel (ONDREL_STATIC_RUNTIME), which
// carries its C++ runtime and runs on glibc 2.17 and newer.  The compiler,
// its C++ runtime and glibc's headers here are newer than that, and refer to
// glibc symbols of later versions; these bind every such reference to what
// glibc 2.17 already offers.  The linker sends the calls named below to the
// __wrap_ functions (-Wl,--wrap=...), from our code and from the C++ runtime
// alike.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#define ONDREL_LOCAL __attribute__((visibility("hidden")))

extern "C" {

// The versions these functions had before glibc moved or renamed them.
int ondrel_pthread_once_2_2_5(pthread_once_t*, void (*)(void));
int ondrel_pthread_key_create_2_2_5(pthread_key_t*, void (*)(void*));
int ondrel_fcntl_2_2_5(int, int, ...);
int ondrel_xstat64_2_2_5(int, const char*, struct stat64*);
int ondrel_fxstat64_2_2_5(int, int, struct stat64*);
__asm__(".symver ondrel_pthread_once_2_2_5, pthread_once@GLIBC_2.2.5");
__asm__(".symver ondrel_pthread_key_create_2_2_5, __pthread_key_create@GLIBC_2.2.5");
__asm__(".symver ondrel_fcntl_2_2_5, fcntl@GLIBC_2.2.5");
__asm__(".symver ondrel_xstat64_2_2_5, __xstat64@GLIBC_2.2.5");
__asm__(".symver ondrel_fxstat64_2_2_5, __fxstat64@GLIBC_2.2.5");

constexpr int kStatVersion = 1;  // _STAT_VER_LINUX of x86-64

ONDREL_LOCAL int __wrap_pthread_once(pthread_once_t* once, void (*init)(void)) {
    return ondrel_pthread_once_2_2_5(once, init);
}

ONDREL_LOCAL int __wrap___pthread_key_create(pthread_key_t* key, void (*destroy)(void*)) {
    return ondrel_pthread_key_create_2_2_5(key, destroy);
}

ONDREL_LOCAL int __wrap_fcntl64(int fd, int command, ...) {
    va_list arguments;
    va_start(arguments, command);
    long argument = va_arg(arguments, long);  // every command we use takes an int or nothing
    va_end(arguments);
    return ondrel_fcntl_2_2_5(fd, command, argument);
}

ONDREL_LOCAL int __wrap_stat64(const char* path, struct stat64* status) {
    return ondrel_xstat64_2_2_5(kStatVersion, path, status);
}

ONDREL_LOCAL int __wrap_fstat64(int fd, struct stat64* status) {
    return ondrel_fxstat64_2_2_5(kStatVersion, fd, status);
}

// The C++ runtime's shortcut for a process with one thread (glibc 2.32):
// never taken, so shared counts are always updated atomically.
ONDREL_LOCAL char __libc_single_threaded = 0;

// std::random_device's sources (glibc 2.25, 2.36); nothing here uses them.
ONDREL_LOCAL int getentropy(void* buffer, size_t length) {
    if (length > 256) {
        errno = EIO;
        return -1;
    }
    for (size_t got = 0; got < length;) {
        long n = syscall(SYS_getrandom, static_cast<char*>(buffer) + got, length - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        got += static_cast<size_t>(n);
    }
    return 0;
}

ONDREL_LOCAL uint32_t arc4random(void) {
    uint32_t value = 0;
    getentropy(&value, sizeof value);
    return value;
}

}  // extern "C"
