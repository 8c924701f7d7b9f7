"""The checked bytes of an image, in a file nothing can change: every device
is programmed from it, so what a record or a table says was sent is what
was sent, whatever becomes of the user's file meanwhile.

Where the system offers one (Linux), the file is a sealed memory file: no
process, this one included, can write, grow or shrink it once sealed.  It
is reached through a path in a folder of its own, a symbolic link to the
descriptor whose name carries the image's suffix (the library tells a
container from a raw image by it).  Elsewhere it is a read-only file in a
new folder that only this user can enter.  Either way it is removed when
the snapshot is closed, or at exit.
"""

import os
import shutil
import sys
import tempfile
import weakref

__all__ = ["Snapshot"]

_SEALS = ("F_SEAL_SEAL", "F_SEAL_SHRINK", "F_SEAL_GROW", "F_SEAL_WRITE")


class Snapshot:
    """`data` (bytes) as a file at `path`, whose name ends in `suffix`."""

    def __init__(self, data, suffix):
        self.folder = tempfile.mkdtemp(prefix="ondrel-image-")  # mode 0700: only this user enters it
        self.path = os.path.join(self.folder, "image" + suffix)
        self.size = len(data)
        self.sealed = False
        self._fd = None
        try:
            self._fd = _sealed_memory_file(data)
            if self._fd is not None:
                os.symlink("/proc/self/fd/%d" % self._fd, self.path)
                self.sealed = os.stat(self.path).st_size == self.size  # /proc may be missing
                if not self.sealed:
                    os.unlink(self.path)
            if not self.sealed:
                _write_read_only(self.path, data)
        except BaseException:
            _remove(self.folder, self._fd)
            raise
        self._finalizer = weakref.finalize(self, _remove, self.folder, self._fd)

    def close(self):
        self._finalizer()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __repr__(self):
        return "Snapshot(%r, %d bytes%s)" % (self.path, self.size, ", sealed" if self.sealed else "")


def _sealed_memory_file(data):
    """A descriptor of a memory file holding `data`, sealed against any
    change; None where the system has no such file."""
    if not sys.platform.startswith("linux") or not hasattr(os, "memfd_create"):
        return None
    import fcntl

    if not all(hasattr(fcntl, seal) for seal in _SEALS):
        return None
    try:
        fd = os.memfd_create("ondrel-image", os.MFD_CLOEXEC | os.MFD_ALLOW_SEALING)
    except OSError:  # an old kernel, or a sandbox without it
        return None
    try:
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view):]
        seals = 0
        for seal in _SEALS:
            seals |= getattr(fcntl, seal)
        fcntl.fcntl(fd, fcntl.F_ADD_SEALS, seals)
    except OSError:
        os.close(fd)
        return None
    return fd


def _write_read_only(path, data):
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0), 0o600)
    with os.fdopen(fd, "wb") as f:
        f.write(data)
    os.chmod(path, 0o400)


def _remove(folder, fd):
    if fd is not None:
        try:
            os.close(fd)
        except OSError:
            pass
    try:
        for name in os.listdir(folder):
            path = os.path.join(folder, name)
            if not os.path.islink(path):
                os.chmod(path, 0o600)  # a read-only file cannot be removed everywhere (Windows)
    except OSError:
        pass
    shutil.rmtree(folder, ignore_errors=True)
