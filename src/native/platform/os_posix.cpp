// The platform interface on POSIX systems (Linux, macOS).
#include "platform/os.hpp"

#ifndef _WIN32

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>

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

namespace {

int set_timeout(Socket socket, int option, double seconds) {
    struct timeval tv;
    tv.tv_sec = static_cast<time_t>(seconds);
    tv.tv_usec = static_cast<suseconds_t>((seconds - static_cast<double>(tv.tv_sec)) * 1e6);
    if (!tv.tv_sec && !tv.tv_usec) tv.tv_usec = 1;  // never 0, which would mean "wait for ever"
    return ::setsockopt(static_cast<int>(socket), SOL_SOCKET, option, &tv, sizeof tv) == 0 ? 0 : errno;
}

int failure(int err) { return err == EAGAIN || err == EWOULDBLOCK ? kTimedOut : err; }

}  // namespace

int set_send_timeout(Socket socket, double seconds) { return set_timeout(socket, SO_SNDTIMEO, seconds); }
int set_receive_timeout(Socket socket, double seconds) { return set_timeout(socket, SO_RCVTIMEO, seconds); }

int send_some(Socket socket, const char* data, size_t size, size_t* sent) {
#ifdef MSG_NOSIGNAL
    ssize_t n = ::send(static_cast<int>(socket), data, size, MSG_NOSIGNAL);
#else
    ssize_t n = ::send(static_cast<int>(socket), data, size, 0);
#endif
    *sent = n > 0 ? static_cast<size_t>(n) : 0;
    return n < 0 ? failure(errno) : 0;
}

int receive_some(Socket socket, char* out, size_t size, size_t* got) {
    ssize_t n = ::recv(static_cast<int>(socket), out, size, 0);
    *got = n > 0 ? static_cast<size_t>(n) : 0;
    return n < 0 ? failure(errno) : 0;
}

int peek_waiting(Socket socket, char* out, size_t size, size_t* got) {
    *got = 0;
    struct pollfd p = {static_cast<int>(socket), POLLIN, 0};
    int ready = ::poll(&p, 1, 0);
    if (ready < 0) return errno;
    if (ready == 0) return 0;
    ssize_t n = ::recv(static_cast<int>(socket), out, size, MSG_PEEK | MSG_DONTWAIT);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : errno;
    *got = static_cast<size_t>(n);
    return 0;
}

void shutdown_socket(Socket socket) { ::shutdown(static_cast<int>(socket), SHUT_RDWR); }
void close_socket(Socket socket) { ::close(static_cast<int>(socket)); }

std::string error_text(int err) { return std::strerror(err); }

}  // namespace ondrel::platform

#endif  // !_WIN32
