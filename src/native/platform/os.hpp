// What the native code needs of the operating system, behind one small
// interface: file status, reading a regular file, and a thread that sleeps
// for good.  os_posix.cpp implements it for Linux and macOS,
// os_windows.cpp for Windows.  No Python in here: callers let go of the
// interpreter lock around these calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ondrel::platform {

// An open file.
using Handle = intptr_t;
constexpr Handle kNoHandle = -1;

// Failures are error numbers of errno's kind (ENOENT, EACCES, ...), or this
// one for "not a regular file", which no errno means.
constexpr int kNotRegular = -1;

struct FileInfo {
    bool regular = false;
    bool directory = false;
    uint64_t device = 0;  // the file system
    uint64_t inode = 0;   // the file within it
    uint64_t size = 0;
    int64_t modified_ns = 0;
    int64_t changed_ns = 0;  // status change (POSIX ctime); the last change of any kind on Windows
};

// The status of the file a path names, after symbolic links; 0 or an error.
int stat_path(const std::string& path, FileInfo* info);

// Opens a regular file for reading, without waiting (a FIFO without a writer
// would wait for ever); anything but a regular file is refused, a directory
// with EISDIR.  0 or an error.
int open_for_reading(const std::string& path, Handle* handle);

int stat_handle(Handle handle, FileInfo* info);

// Reads from `offset` until `size` bytes or the end of the file.
int read_at(Handle handle, char* out, size_t size, uint64_t offset, size_t* got);

void close(Handle handle);

// Never returns; the thread holds nothing while it waits.
[[noreturn]] void sleep_forever();

// --- sockets ---------------------------------------------------------------------
// A connected, blocking TCP socket whose descriptor the caller owns.  Errors
// are error numbers of errno's kind; a time-out of the socket's own send or
// receive time-out is kTimedOut.

using Socket = intptr_t;
constexpr Socket kNoSocket = -1;
constexpr int kTimedOut = -2;

// Sets the socket's send and receive time-outs (seconds, above 0).
int set_send_timeout(Socket socket, double seconds);
int set_receive_timeout(Socket socket, double seconds);

// Sends up to `size` bytes; *sent says how many went.
int send_some(Socket socket, const char* data, size_t size, size_t* sent);

// Receives up to `size` bytes, waiting as the receive time-out allows;
// *got is 0 when the peer closed the connection.
int receive_some(Socket socket, char* out, size_t size, size_t* got);

// Whether bytes wait to be received, without waiting and without taking
// them: up to `size` of them are copied to `out` (*got; 0 when none wait or
// the peer closed).
int peek_waiting(Socket socket, char* out, size_t size, size_t* got);

// Ends both directions (a wait on the socket in another thread ends).
void shutdown_socket(Socket socket);
void close_socket(Socket socket);

// The text of an error number, as the interpreter's OSError gives it.
std::string error_text(int err);

}  // namespace ondrel::platform
