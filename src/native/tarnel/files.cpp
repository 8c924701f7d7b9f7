#include "tarnel/files.hpp"

#include "tarnel/pure.hpp"

#include <errno.h>

#include <algorithm>
#include <optional>

namespace ondrel::tarnel {

namespace {

// The interpreter refuses such paths before asking the system.
void refuse_embedded_nul(const std::string& fs) {
    if (fs.find('\0') != std::string::npos) core::raise(PyExc_ValueError, "embedded null byte");
}

FileStamp stamp_of(const platform::FileInfo& info) {
    return FileStamp{info.device, info.inode, info.size, info.modified_ns, info.changed_ns};
}

}  // namespace

void raise_os_error(int err, Handle path) {
    if (err == platform::kNotRegular) {
        // OSError(EINVAL, "not a regular file", path): "[Errno 22] not a regular file: 'path'"
        Ref error = core::call(Handle(PyExc_OSError), core::integer(EINVAL), core::text("not a regular file"), path);
        core::raise_object(PyExc_OSError, error);
    }
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
    core::throw_python_error();
}

PathStatus stat_path(const std::string& fs) {
    refuse_embedded_nul(fs);
    platform::FileInfo info;
    int err = 0;
    core::without_gil([&] { err = platform::stat_path(fs, &info); });
    return PathStatus{err, info.regular, info.directory, stamp_of(info)};
}

void require_regular_file(const std::string& fs, Handle shown) {
    PathStatus s = stat_path(fs);
    if (s.err) raise_os_error(s.err, shown);
    if (!s.regular) raise_os_error(s.directory ? EISDIR : platform::kNotRegular, shown);
}

uint64_t file_size(const std::string& fs, Handle path) {
    PathStatus s = stat_path(fs);
    if (s.err) raise_os_error(s.err, path);
    return s.stamp.size;
}

FileReader::FileReader(const std::string& fs, Handle path) : path_(Ref::borrow(path)) {
    refuse_embedded_nul(fs);
    int err = 0;
    core::without_gil([&] { err = platform::open_for_reading(fs, &handle_); });
    if (err) raise_os_error(err, path);
}

FileReader::~FileReader() {
    if (handle_ != platform::kNoHandle) platform::close(handle_);
}

FileStamp FileReader::stamp() {
    platform::FileInfo info;
    int err = platform::stat_handle(handle_, &info);
    if (err) raise_os_error(err, path_);
    return stamp_of(info);
}

size_t FileReader::read_at(char* out, size_t size, uint64_t offset) {
    size_t got = 0;
    int err = 0;
    core::without_gil([&] { err = platform::read_at(handle_, out, size, offset, &got); });
    if (err) raise_os_error(err, path_);
    return got;
}

Ref FileReader::read_bytes(uint64_t offset, uint64_t limit) {
    // Sized by what the file holds now; read on if it grew since.
    uint64_t size_now = stamp().size;
    size_t capacity = static_cast<size_t>(std::min<uint64_t>(size_now > offset ? size_now - offset : 0, limit));
    Ref data = core::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity)));
    size_t size = 0;
    for (;;) {
        size += read_at(PyBytes_AS_STRING(data.ptr()) + size, capacity - size, offset + size);
        if (size < capacity || size >= limit) break;  // the end of the file, or enough
        char probe;
        if (read_at(&probe, 1, offset + size) == 0) break;
        capacity = static_cast<size_t>(std::min<uint64_t>(limit, capacity ? uint64_t{capacity} * 2 : 65536));
        PyObject* grown = data.release();
        if (_PyBytes_Resize(&grown, static_cast<Py_ssize_t>(capacity)) < 0) core::throw_python_error();
        data = Ref::steal(grown);
        PyBytes_AS_STRING(data.ptr())[size++] = probe;
    }
    if (size != capacity) {
        PyObject* shrunk = data.release();
        if (_PyBytes_Resize(&shrunk, static_cast<Py_ssize_t>(size)) < 0) core::throw_python_error();
        data = Ref::steal(shrunk);
    }
    return data;
}

Ref FileReader::read_container() {
    unsigned char fields[kSizeFieldsLength];
    size_t got = read_at(reinterpret_cast<char*>(fields), sizeof fields, 0);
    std::optional<Preamble> pre = read_preamble(fields, got);
    return read_bytes(0, pre ? container_extent(*pre) : got);
}

}  // namespace ondrel::tarnel
