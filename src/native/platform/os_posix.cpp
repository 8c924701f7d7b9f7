// The platform interface on POSIX systems (Linux, macOS).
#include "platform/os.hpp"

#ifndef _WIN32

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ondrel::platform {

namespace {

int64_t nanoseconds(const struct timespec& t) { return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec; }

void fill(const struct stat& st, FileInfo* info) {
    info->regular = S_ISREG(st.st_mode);
    info->directory = S_ISDIR(st.st_mode);
    info->device = static_cast<uint64_t>(st.st_dev);
    info->inode = static_cast<uint64_t>(st.st_ino);
    info->size = static_cast<uint64_t>(st.st_size);
#ifdef __APPLE__
    info->modified_ns = nanoseconds(st.st_mtimespec);
    info->changed_ns = nanoseconds(st.st_ctimespec);
#else
    info->modified_ns = nanoseconds(st.st_mtim);
    info->changed_ns = nanoseconds(st.st_ctim);
#endif
}

}  // namespace

int stat_path(const std::string& path, FileInfo* info) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return errno;
    fill(st, info);
    return 0;
}

int open_for_reading(const std::string& path, Handle* handle) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno;
    struct stat st;
    int err = 0;
    if (::fstat(fd, &st) != 0)
        err = errno;
    else if (S_ISDIR(st.st_mode))
        err = EISDIR;
    else if (!S_ISREG(st.st_mode))
        err = kNotRegular;
    else if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)
        err = errno;
    if (err) {
        ::close(fd);
        return err;
    }
    *handle = fd;
    return 0;
}

int stat_handle(Handle handle, FileInfo* info) {
    struct stat st;
    if (::fstat(static_cast<int>(handle), &st) != 0) return errno;
    fill(st, info);
    return 0;
}

int read_at(Handle handle, char* out, size_t size, uint64_t offset, size_t* got) {
    *got = 0;
    while (*got < size) {
        ssize_t n = ::pread(static_cast<int>(handle), out + *got, size - *got, static_cast<off_t>(offset + *got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) break;
        *got += static_cast<size_t>(n);
    }
    return 0;
}

void close(Handle handle) { ::close(static_cast<int>(handle)); }

void sleep_forever() {
    for (;;) ::pause();
}

}  // namespace ondrel::platform

#endif  // !_WIN32
