// File access of ondrel.Tarnel.  Failures raise the OSError subclass the
// interpreter's own file functions raise (FileNotFoundError, ...), with the
// same text, and the interpreter lock is released while the disk works.
#pragma once

#include "tarnel/tarnel.hpp"

#include <sys/stat.h>

#include <cstdint>
#include <string>

namespace ondrel::tarnel {

[[noreturn]] void raise_os_error(int err, py::handle path);

// The outcome of stat(2) on a path (following symbolic links).
struct PathStatus {
    int err;  // 0 on success
    struct stat st;
};
PathStatus stat_path(const std::string& fs_path);

// Each function takes the path as the file system sees it (fs_path()) and
// the path object to name in errors.

// Raises unless the path names a regular file (after symbolic links).
void require_regular_file(const std::string& fs, py::handle shown);

// os.stat(path).st_size
uint64_t file_size(const std::string& fs, py::handle shown);

// The whole file as one new byte string, read once.  Only regular files are
// read (see FileReader).
py::object read_whole_file(const std::string& fs, py::handle shown);

// A regular file opened for reading, closed when the reader goes.  Opening a
// FIFO, a device or a directory fails with OSError (without waiting).
class FileReader {
public:
    FileReader(const std::string& fs, py::handle shown);
    ~FileReader();
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    // Up to `size` bytes; fewer only at the end of the file.
    size_t read(char* out, size_t size);

private:
    py::object path_;
    int fd_ = -1;
};

}  // namespace ondrel::tarnel
