// File access of ondrel.Tarnel.  Failures raise the OSError subclass the
// interpreter's own file functions raise (FileNotFoundError, ...), with the
// same text, and the interpreter lock is released while the disk works.
#pragma once

#include "platform/os.hpp"
#include "tarnel/tarnel.hpp"

#include <cstdint>
#include <string>

namespace ondrel::tarnel {

[[noreturn]] void raise_os_error(int err, Handle path);

// The outcome of stat(2) on a path (following symbolic links).
struct PathStatus {
    int err;  // 0 on success
    bool regular;
    bool directory;
    FileStamp stamp;
};

// Each function takes the path as the file system sees it (fs_path()) and
// the path object to name in errors.
PathStatus stat_path(const std::string& fs);

// Raises unless the path names a regular file (after symbolic links).
void require_regular_file(const std::string& fs, Handle shown);

// os.stat(path).st_size
uint64_t file_size(const std::string& fs, Handle shown);

// A regular file opened for reading, closed when the reader goes.  Opening a
// FIFO, a device or a directory fails with OSError (without waiting).
class FileReader {
public:
    FileReader(const std::string& fs, Handle shown);
    ~FileReader();
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    // The file as it is now.
    FileStamp stamp();

    // Up to `size` bytes from `offset`; fewer only at the end of the file.
    size_t read_at(char* out, size_t size, uint64_t offset);

    // Up to `limit` bytes from `offset` (fewer at the end of the file, more
    // than the file held when opened if it grew), as one new byte string.
    Ref read_bytes(uint64_t offset, uint64_t limit);

    // The part of a container file that its size fields can reference (see
    // container_extent), from its start, as one new byte string; a file too
    // short to hold the size fields is read whole.  A sparse file of
    // gigabytes with a small image costs only the image.
    Ref read_container();

private:
    Ref path_;
    platform::Handle handle_ = platform::kNoHandle;
};

}  // namespace ondrel::tarnel
