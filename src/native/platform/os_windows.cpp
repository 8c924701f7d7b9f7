// The platform interface on Windows.
#include "platform/os.hpp"

#ifdef _WIN32

#ifndef NOMINMAX
#define NOMINMAX
#endif
// winsock2.h comes first: windows.h alone would bring the older winsock.h.
#include <winsock2.h>
// (and then)
#include <windows.h>

#include <errno.h>

#include <string>

namespace ondrel::platform {

namespace {

// Paths reach us in UTF-8 (the interpreter's file system encoding there).
std::wstring wide(const std::string& path) {
    int size = MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), &out[0], size);
    return out;
}

int error_number(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return EACCES;
        case ERROR_DIRECTORY:
            return ENOTDIR;
        default:
            return EIO;
    }
}

int64_t nanoseconds(LARGE_INTEGER filetime) { return filetime.QuadPart * 100; }

int fill(HANDLE handle, FileInfo* info) {
    BY_HANDLE_FILE_INFORMATION by_handle;
    FILE_BASIC_INFO basic;
    if (!GetFileInformationByHandle(handle, &by_handle) ||
        !GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic))
        return error_number(GetLastError());
    info->directory = (by_handle.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    info->regular = !info->directory && GetFileType(handle) == FILE_TYPE_DISK;
    info->device = by_handle.dwVolumeSerialNumber;
    info->inode = (uint64_t{by_handle.nFileIndexHigh} << 32) | by_handle.nFileIndexLow;
    info->size = (uint64_t{by_handle.nFileSizeHigh} << 32) | by_handle.nFileSizeLow;
    info->modified_ns = nanoseconds(basic.LastWriteTime);
    info->changed_ns = nanoseconds(basic.ChangeTime);
    return 0;
}

HANDLE open_handle(const std::string& path, DWORD access, DWORD flags) {
    return CreateFileW(wide(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, flags, nullptr);
}

}  // namespace

int stat_path(const std::string& path, FileInfo* info) {
    HANDLE handle = open_handle(path, FILE_READ_ATTRIBUTES, FILE_FLAG_BACKUP_SEMANTICS);  // a directory too
    if (handle == INVALID_HANDLE_VALUE) return error_number(GetLastError());
    int err = fill(handle, info);
    CloseHandle(handle);
    return err;
}

int open_for_reading(const std::string& path, Handle* out) {
    HANDLE handle = open_handle(path, GENERIC_READ, FILE_FLAG_BACKUP_SEMANTICS);
    if (handle == INVALID_HANDLE_VALUE) return error_number(GetLastError());
    FileInfo info;
    int err = fill(handle, &info);
    if (!err && info.directory)
        err = EISDIR;
    else if (!err && !info.regular)
        err = kNotRegular;
    if (err) {
        CloseHandle(handle);
        return err;
    }
    *out = reinterpret_cast<Handle>(handle);
    return 0;
}

int stat_handle(Handle handle, FileInfo* info) { return fill(reinterpret_cast<HANDLE>(handle), info); }

int read_at(Handle handle, char* out, size_t size, uint64_t offset, size_t* got) {
    *got = 0;
    while (*got < size) {
        OVERLAPPED at = {};
        uint64_t position = offset + *got;
        at.Offset = static_cast<DWORD>(position);
        at.OffsetHigh = static_cast<DWORD>(position >> 32);
        DWORD chunk = static_cast<DWORD>(size - *got < 0x40000000 ? size - *got : 0x40000000);
        DWORD read = 0;
        if (!ReadFile(reinterpret_cast<HANDLE>(handle), out + *got, chunk, &read, &at)) {
            DWORD error = GetLastError();
            if (error == ERROR_HANDLE_EOF) break;
            return error_number(error);
        }
        if (read == 0) break;
        *got += read;
    }
    return 0;
}

void close(Handle handle) { CloseHandle(reinterpret_cast<HANDLE>(handle)); }

void sleep_forever() {
    for (;;) Sleep(INFINITE);
}

namespace {

int socket_error(int error) {
    switch (error) {
        case WSAETIMEDOUT:
        case WSAEWOULDBLOCK:
            return kTimedOut;
        case WSAECONNRESET:
            return ECONNRESET;
        case WSAECONNABORTED:
            return ECONNABORTED;
        case WSAESHUTDOWN:
        case WSAENOTCONN:
            return EPIPE;
        case WSAEINTR:
            return EINTR;
        case WSAENOTSOCK:
            return EBADF;
        default:
            return EIO;
    }
}

int set_timeout(Socket socket, int option, double seconds) {
    DWORD ms = static_cast<DWORD>(seconds * 1000);
    if (!ms) ms = 1;  // never 0, which would mean "wait for ever"
    return setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, option, reinterpret_cast<const char*>(&ms), sizeof ms) ==
                   0
               ? 0
               : socket_error(WSAGetLastError());
}

}  // namespace

int set_send_timeout(Socket socket, double seconds) { return set_timeout(socket, SO_SNDTIMEO, seconds); }
int set_receive_timeout(Socket socket, double seconds) { return set_timeout(socket, SO_RCVTIMEO, seconds); }

int send_some(Socket socket, const char* data, size_t size, size_t* sent) {
    int chunk = static_cast<int>(size < 0x40000000 ? size : 0x40000000);
    int n = ::send(static_cast<SOCKET>(socket), data, chunk, 0);
    *sent = n > 0 ? static_cast<size_t>(n) : 0;
    return n == SOCKET_ERROR ? socket_error(WSAGetLastError()) : 0;
}

int receive_some(Socket socket, char* out, size_t size, size_t* got) {
    int chunk = static_cast<int>(size < 0x40000000 ? size : 0x40000000);
    int n = ::recv(static_cast<SOCKET>(socket), out, chunk, 0);
    *got = n > 0 ? static_cast<size_t>(n) : 0;
    return n == SOCKET_ERROR ? socket_error(WSAGetLastError()) : 0;
}

int peek_waiting(Socket socket, char* out, size_t size, size_t* got) {
    *got = 0;
    WSAPOLLFD p = {static_cast<SOCKET>(socket), POLLRDNORM, 0};
    int ready = WSAPoll(&p, 1, 0);
    if (ready == SOCKET_ERROR) return socket_error(WSAGetLastError());
    if (ready == 0) return 0;
    int n = ::recv(static_cast<SOCKET>(socket), out, static_cast<int>(size), MSG_PEEK);
    if (n == SOCKET_ERROR) return socket_error(WSAGetLastError());
    *got = static_cast<size_t>(n);
    return 0;
}

void shutdown_socket(Socket socket) { ::shutdown(static_cast<SOCKET>(socket), SD_BOTH); }
void close_socket(Socket socket) { closesocket(static_cast<SOCKET>(socket)); }

std::string error_text(int err) {
    char text[128] = {};
    strerror_s(text, sizeof text, err);
    return text;
}

}  // namespace ondrel::platform

#endif  // _WIN32
