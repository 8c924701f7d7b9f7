#include "tarnel/files.hpp"

#include "tarnel/pure.hpp"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <optional>

namespace ondrel::tarnel {

namespace {

// Our own error number for "not a regular file" (no errno means that).
constexpr int kNotRegular = -1;

// The interpreter refuses such paths before asking the system.
void refuse_embedded_nul(const std::string& fs) {
    if (fs.find('\0') != std::string::npos) core::raise(PyExc_ValueError, "embedded null byte");
}

// Opens a regular file for reading.  Opening does not wait (a FIFO without a
// writer would block open() forever), and anything but a regular file is
// refused: a FIFO or a device such as /dev/zero could block a read or never
// end.  A directory is refused as open() refuses it.
int open_for_reading(const std::string& fs, int* err) {
    refuse_embedded_nul(fs);
    int fd;
    core::without_gil([&] {
        do {
            fd = ::open(fs.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        } while (fd < 0 && errno == EINTR);
        *err = fd < 0 ? errno : 0;
        if (fd >= 0) {
            struct stat st;
            if (::fstat(fd, &st) != 0) {
                *err = errno;
            } else if (S_ISDIR(st.st_mode)) {
                *err = EISDIR;
            } else if (!S_ISREG(st.st_mode)) {
                *err = kNotRegular;
            } else if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
                *err = errno;
            }
            if (*err) {
                ::close(fd);
                fd = -1;
            }
        }
    });
    return fd;
}

// Reads until `size` bytes or the end of the file; -1 with errno on failure.
ssize_t read_fully(int fd, char* out, size_t size) {
    size_t got = 0;
    while (got < size) {
        ssize_t n = ::read(fd, out + got, size - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

}  // namespace

void raise_os_error(int err, py::handle path) {
    if (err == kNotRegular) {
        // OSError(EINVAL, "not a regular file", path): "[Errno 22] not a regular file: 'path'"
        py::object error = py::reinterpret_borrow<py::object>(PyExc_OSError)(EINVAL, "not a regular file", path);
        PyErr_SetObject(PyExc_OSError, error.ptr());
        core::throw_python_error();
    }
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
    core::throw_python_error();
}

void require_regular_file(const std::string& fs, py::handle shown) {
    PathStatus s = stat_path(fs);
    if (s.err) raise_os_error(s.err, shown);
    if (!S_ISREG(s.st.st_mode)) raise_os_error(S_ISDIR(s.st.st_mode) ? EISDIR : kNotRegular, shown);
}

PathStatus stat_path(const std::string& fs) {
    refuse_embedded_nul(fs);
    PathStatus s{};
    core::without_gil([&] { s.err = ::stat(fs.c_str(), &s.st) == 0 ? 0 : errno; });
    return s;
}

uint64_t file_size(const std::string& fs, py::handle path) {
    PathStatus s = stat_path(fs);
    if (s.err) raise_os_error(s.err, path);
    return static_cast<uint64_t>(s.st.st_size);
}

py::object read_container(const std::string& fs, py::handle path) {
    FileReader reader(fs, path);
    unsigned char fields[kSizeFieldsLength];
    size_t got = reader.read_at(reinterpret_cast<char*>(fields), sizeof fields, 0);
    std::optional<Preamble> pre = read_preamble(fields, got);
    return reader.read_bytes(pre ? container_extent(*pre) : got);
}

FileReader::FileReader(const std::string& fs, py::handle path) : path_(py::reinterpret_borrow<py::object>(path)) {
    int err = 0;
    fd_ = open_for_reading(fs, &err);
    if (fd_ < 0) raise_os_error(err, path);
}

FileReader::~FileReader() {
    if (fd_ >= 0) ::close(fd_);
}

py::object FileReader::read_bytes(uint64_t limit) {
    struct stat st;
    off_t position = ::lseek(fd_, 0, SEEK_CUR);
    uint64_t left = ::fstat(fd_, &st) == 0 && position >= 0 && st.st_size > position
                        ? static_cast<uint64_t>(st.st_size - position)
                        : 0;
    size_t capacity = static_cast<size_t>(std::min<uint64_t>(left, limit));
    py::object data = core::steal_or_throw(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity)));
    size_t size = 0;
    for (;;) {
        size += read(PyBytes_AS_STRING(data.ptr()) + size, capacity - size);
        if (size < capacity || size >= limit) break;  // the end of the file, or enough
        // Full: the file may have grown since it was measured; read on.
        char probe;
        if (read(&probe, 1) == 0) break;
        capacity = static_cast<size_t>(std::min<uint64_t>(limit, capacity ? uint64_t{capacity} * 2 : 65536));
        PyObject* grown = data.release().ptr();
        if (_PyBytes_Resize(&grown, static_cast<Py_ssize_t>(capacity)) < 0) core::throw_python_error();
        data = py::reinterpret_steal<py::object>(grown);
        PyBytes_AS_STRING(data.ptr())[size++] = probe;
    }
    if (size != capacity) {
        PyObject* shrunk = data.release().ptr();
        if (_PyBytes_Resize(&shrunk, static_cast<Py_ssize_t>(size)) < 0) core::throw_python_error();
        data = py::reinterpret_steal<py::object>(shrunk);
    }
    return data;
}

size_t FileReader::read_at(char* out, size_t size, uint64_t offset) {
    size_t got = 0;
    int err = 0;
    core::without_gil([&] {
        while (got < size) {
            ssize_t n = ::pread(fd_, out + got, size - got, static_cast<off_t>(offset + got));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) err = errno;
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
    });
    if (err) raise_os_error(err, path_);
    return got;
}

size_t FileReader::read(char* out, size_t size) {
    ssize_t n;
    int err;
    core::without_gil([&] {
        n = read_fully(fd_, out, size);
        err = errno;
    });
    if (n < 0) raise_os_error(err, path_);
    return static_cast<size_t>(n);
}

}  // namespace ondrel::tarnel
