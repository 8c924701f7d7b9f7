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
                      check_window,
                      reason_of,
)
from .device import Device, Events, Failure, Outcome, Refusal
from .images import Image, ImageRefused, check_image, sealed_for_another_type
from .operations import current_version, dump, info, same_version, update, update_refusal, verify, version
from .signatures import ENV_ALLOWED_SIGNERS, SignatureRefused, Signer, Trust, fingerprint, sign
from .signatures import NAMESPACE as SIGNATURE_NAMESPACE
from .targets import DuplicateTarget, Target, canonical_text, parse_target, resolve, resolve_one

__all__ = ["DEFAULT_PORT", "DEFAULT_TIMEOUT", "DEFAULT_ERASE_TIMEOUT", "DEFAULT_CONNECT_TIMEOUT", "UNTOUCHED",
           "VERIFIED", "ERASED", "PART_WRITTEN", "UNVERIFIED", "UNSAFE", "Image", "ImageRefused", "Target",
           "DuplicateTarget", "parse_target", "resolve", "resolve_one", "canonical_text", "check_image",
           "sealed_for_another_type", "Outcome", "Events", "Cancelled", "Refusal", "Failure", "Device", "reason_of",
           "check_window", "Trust", "Signer", "SignatureRefused", "sign", "fingerprint", "ENV_ALLOWED_SIGNERS",
           "SIGNATURE_NAMESPACE",
           "update", "update_refusal", "verify", "dump", "info", "version", "current_version", "same_version"]
