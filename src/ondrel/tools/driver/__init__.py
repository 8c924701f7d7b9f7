"""The one place that knows the library's ways, for the command line and the
rollout: check an image once, name and resolve targets, open a tool for a
target, and run one device operation while capturing its log records, its
progress and its per-block line, ending in an Outcome that says what the
device now holds.

Nothing here replaces process-wide state: the library's records are taken
by a handler added to the "FPGA" channel for the calling thread only, and
its progress line is written to a stream of the operation's own.
"""

from ._common import (
                      DEFAULT_CONNECT_TIMEOUT,
                      DEFAULT_ERASE_TIMEOUT,
                      DEFAULT_PORT,
                      DEFAULT_TIMEOUT,
                      ERASED,
                      PART_WRITTEN,
                      UNSAFE,
                      UNTOUCHED,
                      UNVERIFIED,
                      VERIFIED,
                      Cancelled,
                      reason_of,
)
from .device import Device, Events, Failure, Outcome, Refusal
from .images import Image, ImageRefused, check_image
from .operations import current_version, dump, info, update, verify, version
from .targets import DuplicateTarget, Target, parse_target, resolve

__all__ = ["DEFAULT_PORT", "DEFAULT_TIMEOUT", "DEFAULT_ERASE_TIMEOUT", "DEFAULT_CONNECT_TIMEOUT", "UNTOUCHED",
           "VERIFIED", "ERASED", "PART_WRITTEN", "UNVERIFIED", "UNSAFE", "Image", "ImageRefused", "Target",
           "DuplicateTarget", "parse_target", "resolve", "check_image", "Outcome", "Events", "Cancelled", "Refusal",
           "Failure", "Device", "reason_of", "update", "verify", "dump", "info", "version", "current_version"]
