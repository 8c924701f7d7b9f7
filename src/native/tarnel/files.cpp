#include "tarnel/files.hpp"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

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
    {
        py::gil_scoped_release nogil;
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
    }
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
    py::gil_scoped_release nogil;
    s.err = ::stat(fs.c_str(), &s.st) == 0 ? 0 : errno;
    return s;
}

uint64_t file_size(const std::string& fs, py::handle path) {
    PathStatus s = stat_path(fs);
    if (s.err) raise_os_error(s.err, path);
    return static_cast<uint64_t>(s.st.st_size);
}

py::object read_whole_file(const std::string& fs, py::handle path) {
    int err = 0;
    int fd = open_for_reading(fs, &err);
    if (fd < 0) raise_os_error(err, path);

    struct stat st;
    size_t capacity = ::fstat(fd, &st) == 0 && st.st_size > 0 ? static_cast<size_t>(st.st_size) : 0;
    PyObject* data = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity));
    if (!data) {
        ::close(fd);
        core::throw_python_error();
    }
    size_t size = 0;
    for (;;) {
        ssize_t n;
        {
            py::gil_scoped_release nogil;
            n = read_fully(fd, PyBytes_AS_STRING(data) + size, capacity - size);
            err = errno;
        }
        if (n < 0) {
            ::close(fd);
            Py_DECREF(data);
            raise_os_error(err, path);
        }
        size += static_cast<size_t>(n);
        if (size < capacity) break;  // the end of the file
        // Full: the file may have grown since it was measured; read on.
        char probe;
        {
            py::gil_scoped_release nogil;
            n = read_fully(fd, &probe, 1);
            err = errno;
        }
        if (n <= 0) {
            if (n < 0) {
                ::close(fd);
                Py_DECREF(data);
                raise_os_error(err, path);
            }
            break;
        }
        capacity = capacity ? capacity * 2 : 65536;
        if (_PyBytes_Resize(&data, static_cast<Py_ssize_t>(capacity)) < 0) {
            ::close(fd);
            core::throw_python_error();
        }
        PyBytes_AS_STRING(data)[size++] = probe;
    }
    ::close(fd);
    if (size != capacity && _PyBytes_Resize(&data, static_cast<Py_ssize_t>(size)) < 0) core::throw_python_error();
    return py::reinterpret_steal<py::object>(data);
}

FileReader::FileReader(const std::string& fs, py::handle path) : path_(py::reinterpret_borrow<py::object>(path)) {
    int err = 0;
    fd_ = open_for_reading(fs, &err);
    if (fd_ < 0) raise_os_error(err, path);
}

FileReader::~FileReader() {
    if (fd_ >= 0) ::close(fd_);
}

size_t FileReader::read(char* out, size_t size) {
    ssize_t n;
    int err;
    {
        py::gil_scoped_release nogil;
        n = read_fully(fd_, out, size);
        err = errno;
    }
    if (n < 0) raise_os_error(err, path_);
    return static_cast<size_t>(n);
}

}  // namespace ondrel::tarnel
