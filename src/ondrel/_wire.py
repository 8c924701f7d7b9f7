"""The device wire format as the simulator and the tests write and read it.
The host's side, reading replies, is the connection's link, in native code
(ondrel._transfer.Link): its one implementation.

A command is one line ending in CR LF: a keyword, and for some commands a
space and an argument.  Binary data travels as a definite-length block
``#<x><length><data>``: x is the number of digits of the length, written in
decimal.  Two readings of x exist on this wire:

- a program command (``FPGA_PROGRAM #...``) writes the length with at least
  two digits while x counts the digits of the unpadded length, so 8 bytes
  are announced as ``#108``: a reader takes max(x, 2) length digits;
- a device's reply block carries exactly x digits (``#216`` + 16 bytes).

A device answers every command with one reply: a block followed by CR LF,
or one line.  Replies are read in the order the commands were sent.
"""

__all__ = ["LINE_END", "PROGRAM", "WireError", "encode_block", "program_command", "reply_block",
           "program_block_bounds", "split_command"]

LINE_END = b"\r\n"
PROGRAM = b"FPGA_PROGRAM #"


class WireError(Exception):
    """Bytes that cannot be a reply: the text says what the device did
    ("closed the connection", "announces a 4294967295-byte block")."""


# --- encoding ------------------------------------------------------------------------


def encode_block(data):
    """``#<x><yy><data>`` as a program command frames it: yy is the length
    with at least two digits, x the digit count of the unpadded length."""
    length = b"%d" % len(data)
    return b"#%d%02d" % (len(length), len(data)) + bytes(data)


def program_command(data):
    """The whole program command line for one block, CR LF included."""
    return b"FPGA_PROGRAM " + encode_block(data) + LINE_END


def reply_block(data):
    """A device's block reply: ``#2nn`` (or wider) + data + CR LF."""
    length = b"%02d" % len(data)
    return b"#%d" % len(length) + length + bytes(data) + LINE_END


# --- reading commands (the device's side) ---------------------------------------------


_PROGRAM_HASH = len(PROGRAM) - 1  # where a program command's "#" stands


def program_block_bounds(buf, at=_PROGRAM_HASH):
    """Where the data of the program block whose "#" is at buf[at] lies:
    (start, end), with max(x, 2) length digits after x.  None while the
    length is incomplete; WireError when it is malformed."""
    if len(buf) <= at + 1:
        return None
    digits = buf[at + 1] - 0x30
    if not 1 <= digits <= 9:
        raise WireError("a block header whose digit count is %r" % chr(buf[at + 1]))
    start = at + 2 + max(digits, 2)
    if len(buf) < start:
        return None
    length_text = bytes(buf[at + 2:start])
    if not length_text.isdigit():
        raise WireError("a block header whose length is %r" % length_text)
    return start, start + int(length_text)


def split_command(buf):
    """Removes one whole command from the front of ``buf`` (a bytearray) and
    returns it as (keyword, argument); None while it is incomplete.

    A program command's argument is its data block, or None when its header
    is malformed (the rest of that line is dropped).
    """
    if buf.startswith(PROGRAM):
        try:
            bounds = program_block_bounds(buf)
        except WireError:
            line_end = buf.find(b"\n")
            if line_end < 0:
                return None
            del buf[:line_end + 1]
            return (b"FPGA_PROGRAM", None)
        if bounds is None:
            return None
        start, end = bounds
        line_end = buf.find(b"\n", end) if len(buf) > end else -1
        if line_end < 0:
            return None
        data = bytes(buf[start:end])
        del buf[:line_end + 1]
        return (b"FPGA_PROGRAM", data)
    if len(buf) < len(PROGRAM) and PROGRAM.startswith(bytes(buf)):
        return None  # may still become a program command
    line_end = buf.find(b"\n")
    if line_end < 0:
        return None
    line = bytes(buf[:line_end]).rstrip(b"\r")
    del buf[:line_end + 1]
    keyword, _, argument = line.partition(b" ")
    return (keyword, argument)
