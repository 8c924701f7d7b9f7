"""Files a command writes (a flash dump, a sealed container): whole, or not
at all."""

import contextlib
import os
import tempfile

__all__ = ["write_atomically"]


def write_atomically(path, data):
    """Writes a whole new file, or nothing: a partial file never takes the
    name.  The file gets the permissions the umask gives a new file."""
    folder = os.path.dirname(os.path.abspath(path))
    fd, temporary = tempfile.mkstemp(prefix=".ondrel-", dir=folder)
    try:
        umask = os.umask(0)
        os.umask(umask)
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(temporary, 0o666 & ~umask)
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
