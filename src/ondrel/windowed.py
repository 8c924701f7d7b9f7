"""Windowed transfers: image programming and read-back with up to W
commands in flight on the tool's connection, instead of one.

With one command in flight every 16-byte block waits a full round trip, so
on any real network an update spends nearly all its time waiting.  A device
reads its commands from one TCP stream in order and answers each in turn,
so several may be on their way at once; replies are matched to commands by
their order.  This is off unless asked for, and FpgaTool itself is
unchanged:

    from ondrel.windowed import WindowedFpgaTool
    tool = WindowedFpgaTool(address="192.168.1.40", window=32)
    tool.initFpga(32)
    tool.processFpgaUpdate("fw.tbin", 32)       # checks as always; writes and reads back windowed

or, for a tool of any class, ``program_file(tool, path, device_type, window)``
in place of ``tool._fpgaProgramFile(path, device_type)``, and
``read_flash(tool, size, window)`` to read flash back.

What a windowed transfer honours, and what it goes past: the program and
read commands go straight to the connection (``sendRawBytes`` and
``recvRawBytes``), past the tool's ``_sendCmd``, ``_getRecv``,
``_fpgaProgram`` and ``_fpgaRead``; a tool whose class (or the tool itself)
replaces any of these is refused with TypeError rather than bypassed
silently.  Every other operation (``_checkUpdateFile``, ``_checkFileHeader``,
``_fpgaErase``, ``_fpgaRstPagePtr``, ``_fpgaDone``, ``_fpgaRefresh``, the
progress callback) is called as usual, and the digests, progress line,
callback calls and log records are those of one command at a time.

A block the device refuses cannot be sent again in place once later blocks
followed it: the replies in flight are read, a warning is logged, and the
image is written again from the erase one block at a time, with the usual
bounded re-sends.  The final comparison of the SHA-256 digests of what was
written and what was read back stays the judge.  When a transfer fails
(a time-out, a lost connection), the replies still owed are read, or, if
that fails too, the connection is closed: it is never left out of step.
The connection must accept commands sent ahead of their replies
(ondrel.QarCommService._TCPConn does).

The functions are the engine of ondrel.Tarnel (ondrel._transfer), made when
it loads; ondrel.tools.windowed is the same module under its older name.
"""

from . import Tarnel as _Tarnel
from . import _transfer as _engine  # made when ondrel.Tarnel loads

__all__ = ["DEFAULT_WINDOW", "MAX_WINDOW", "WindowedFpgaTool", "check_window", "check_image", "program_file",
           "process_update", "read_pages", "read_flash", "version_after_update", "container_key"]

DEFAULT_WINDOW = 32
MAX_WINDOW = 65536
PAGE = 16

program_file = _engine.program_file
process_update = _engine.process_update  # processFpgaUpdate with the programming's options of program_file
read_pages = _engine.read_pages
check_window = _engine.check_window  # the one rule for a window argument: an int from 1 to MAX_WINDOW
check_image = _engine.check_image  # a tool's checks, as an update runs them, and what they accepted
version_after_update = _engine.version_after_update  # the version running, read as an update reads it after
container_key = _engine.container_key  # the key of a container's tags for its device types


class WindowedFpgaTool(_Tarnel.FpgaTool):
    """FpgaTool whose image programming (and so processFpgaUpdate) keeps up
    to `window` commands in flight; a window of 1 is FpgaTool's own
    behaviour, byte for byte."""

    def __init__(self, connection=None, address=None, port=5025, window=DEFAULT_WINDOW):
        window = check_window(window)  # refused before a connection is opened
        super().__init__(connection, address, port)
        self.window = window

    def _fpgaProgramFile(self, image_path, device_type=28):
        return program_file(self, image_path, device_type, window=self.window)


def read_flash(tool, size, window=DEFAULT_WINDOW, progress=None):
    """The first `size` bytes of flash as the device returns them (resets
    the page pointer, then one read per started 16-byte page; a device may
    return more or less than asked).  A window of 1 reads through the tool's
    own _fpgaRead."""
    window = check_window(window)
    if isinstance(size, bool) or not isinstance(size, int):
        raise TypeError("size must be a whole number of bytes, not %r" % (size,))
    if size < 0:
        raise ValueError("size must be a whole number of bytes from 0 on, not %d" % size)
    read_pages(tool, 0, window)  # refuses a tool it would go past, before any command
    tool._fpgaRstPagePtr(b"CFG")
    return read_pages(tool, (size + PAGE - 1) // PAGE, window, progress)
