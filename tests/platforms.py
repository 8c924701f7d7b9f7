"""What a few tests need of the system they run on, as skip markers that say
why.  The suite runs on Linux (x86-64, and 64-bit Arm under qemu-user) and
on Windows (under wine); scripts/other-platforms names the emulator in
ONDREL_EMULATOR."""

import os
import shutil
import sys

import pytest

WINDOWS = sys.platform == "win32"
EMULATOR = os.environ.get("ONDREL_EMULATOR")

needs_a_terminal = pytest.mark.skipif(WINDOWS, reason="needs a pseudo-terminal (pty), which Windows has not")
needs_ctrl_c = pytest.mark.skipif(WINDOWS, reason="sends a child Ctrl-C as SIGINT; on Windows a signal ends the "
                                  "child at once")
needs_alarm = pytest.mark.skipif(WINDOWS, reason="interrupts itself with SIGALRM, which Windows has not")
needs_byte_file_names = pytest.mark.skipif(WINDOWS, reason="Windows file names are Unicode: none holds bytes that "
                                           "are not UTF-8")
needs_special_files = pytest.mark.skipif(WINDOWS, reason="needs FIFOs and device files, which Windows has not")
needs_symlinks = pytest.mark.skipif(WINDOWS, reason="needs symbolic links, which Windows lets administrators "
                                    "make only")
needs_resource_limits = pytest.mark.skipif(
    WINDOWS or EMULATOR == "qemu-user",
    reason="limits memory with RLIMIT_AS: Windows has no such limit, and qemu-user does not apply it")
needs_file_size_limit = pytest.mark.skipif(WINDOWS, reason="limits file sizes with RLIMIT_FSIZE, which Windows "
                                           "has not")
needs_ssh_keygen = pytest.mark.skipif(shutil.which("ssh-keygen") is None,
                                      reason="needs OpenSSH's ssh-keygen, which is not on PATH here")
needs_ansible = pytest.mark.skipif(WINDOWS, reason="Ansible's controller does not run on Windows")
