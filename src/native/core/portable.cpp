// Built into the modules of a portable wheel (ONDREL_PORTABLE), which carry
// their C++ runtime and are linked against glibc 2.17's own libraries.  The
// C++ runtime was built against a newer glibc and asks for a few things
// glibc 2.17 lacks; each is supplied here, inside the module (hidden), from
// what glibc 2.17 has.  Anything else it asks for fails the link.
#include <errno.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/syscall.h>
#include <unistd.h>

#define ONDREL_LOCAL __attribute__((visibility("hidden")))

extern "C" {

// The C++ runtime's shortcut for a process with one thread (glibc 2.32):
// never taken, so shared counts are always updated atomically.
ONDREL_LOCAL char __libc_single_threaded = 0;

// fcntl with 64-bit offsets (glibc 2.28) is fcntl itself on x86-64.
ONDREL_LOCAL int fcntl64(int fd, int command, ...) {
    va_list arguments;
    va_start(arguments, command);
    long argument = va_arg(arguments, long);  // every command used takes an int, a pointer or nothing
    va_end(arguments);
    return static_cast<int>(syscall(SYS_fcntl, fd, command, argument));
}

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
