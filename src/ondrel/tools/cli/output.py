"""What a run of the command line writes: results on standard output (a
table, lines, or one JSON object per device or file), progress, records and
reasons on standard error, and its exit status (EXITS, the one place that
says them).  A closed or broken stream never stops device work: what cannot
be written is lost, and the exit status says so.
"""

import json
import logging
import os

from .. import driver
from ..console import Console

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_UNREPORTED, EXIT_INTERRUPTED = 0, 1, 2, 3, 130
EXITS = ((EXIT_OK, "every device (or file) as asked"),
         (EXIT_FAILED, "refused or failed (the reason is the last line on standard error)"),
         (EXIT_USAGE, "usage error"),
         (EXIT_UNREPORTED, "the work was done but its result could not be written (standard output closed)"),
         (EXIT_INTERRUPTED, "interrupted"))

# The keys of every JSON object, in this order, whatever the command and
# outcome; what is unknown or does not apply is null.
KEYS = ("command", "device", "resolved", "file", "result", "state", "stage", "bytes_done", "bytes_total", "reason",
        "warnings", "identifier", "version_before", "version_after", "fpga_version", "image_kind", "image_bytes",
        "image_sha256", "image_version", "device_types", "equal", "first_difference", "serial_number",
        "control_firmware", "control_firmware_ok", "device_info", "signer", "seconds", "time", "site")


def record(command, **known):
    unknown = set(known) - set(KEYS)
    if unknown:
        raise KeyError("not a key of the JSON schema: %s" % ", ".join(sorted(unknown)))
    fields = dict.fromkeys(KEYS)
    fields.update(known, command=command)
    if fields["warnings"] is None:
        fields["warnings"] = []
    return fields


def image_fields(image):
    if image is None:
        return {}
    return {"image_kind": image.kind, "image_bytes": len(image.data), "image_sha256": image.sha256,
            "image_version": image.version, "device_types": image.device_types,
            "signer": image.signer.as_json() if image.signer else None}


def device_record(command, outcome, image=None, file=None):
    values = {key: value for key, value in outcome.values.items() if key in KEYS}
    return record(command, device=outcome.target.label, resolved=outcome.target.resolved, file=file,
                  result=outcome.result, state=outcome.state, stage=outcome.stage, bytes_done=outcome.done,
                  bytes_total=outcome.total, reason=outcome.reason, warnings=list(outcome.warnings),
                  seconds=None if outcome.seconds is None else round(outcome.seconds, 3),
                  **dict(image_fields(image), **values))


def _isatty(stream):
    try:
        return stream.isatty()
    except (AttributeError, ValueError, OSError):
        return False


class Session:
    """One run of the command line: its arguments, streams and display."""

    def __init__(self, args, out, err):
        self.args = args
        self.out = out
        self.err = err
        quiet, verbose = getattr(args, "quiet", False), getattr(args, "verbose", 0)
        # The library's records only when asked for: its refusals and errors
        # are in each outcome's reason already.
        self.level = logging.CRITICAL + 1 if quiet or not verbose else (logging.DEBUG if verbose > 1 else
                                                                        logging.INFO)
        self.quiet = quiet
        self.progress = not (quiet or getattr(args, "no_progress", False))
        self.json = getattr(args, "json", False)
        self.unreported = False  # a result could not be written

    def console(self, several=False):
        return Console(self.err, live=_isatty(self.err), progress=self.progress, level=self.level, several=several)

    # -- writing --------------------------------------------------------------------

    def emit(self, text):
        """A result on standard output; one that cannot be written is noted."""
        try:
            self.out.write(text)
            self.out.flush()
        except (OSError, ValueError, AttributeError):
            self.unreported = True
            _quiet_at_exit(self.out)

    def emit_json(self, fields):
        self.emit(json.dumps(fields) + "\n")

    def say(self, text):
        """One line on standard error; a closed standard error loses it, nothing more."""
        try:
            self.err.write("ondrel-fpga: %s\n" % text)
            self.err.flush()
        except (OSError, ValueError, AttributeError):
            _quiet_at_exit(self.err)

    def note(self, text):
        """A line on standard error that tells what is going on (not a
        result, not a reason): -q leaves it out."""
        if not self.quiet:
            self.say(text)

    def status(self, failed):
        """The exit status of work done: failed, else whether it was reported."""
        if failed:
            return EXIT_FAILED
        return EXIT_UNREPORTED if self.unreported else EXIT_OK

    # -- results ----------------------------------------------------------------------

    def report(self, command, outcomes, table, image=None, file=None):
        """The results of work on devices: JSON objects or a table, then one
        line per device that did not end as asked, then the devices left
        unsafe; returns the exit status."""
        if self.json:
            for outcome in outcomes:
                self.emit_json(device_record(command, outcome, image, file))
        elif table is not None:
            self.emit(table(outcomes))
        self.conclude(outcomes)
        if any(outcome.result == "interrupted" for outcome in outcomes):
            return EXIT_INTERRUPTED
        return self.status(any(outcome.result != "ok" for outcome in outcomes))

    def conclude(self, outcomes, summary=True):
        """A line for each device that did not end as asked, and (with
        several devices, unless `summary` is false) one for them all."""
        several = summary and len(outcomes) > 1
        for outcome in outcomes:
            if outcome.result == "ok":
                continue
            line = "%s: %s" % (outcome.target.label, outcome.reason or outcome.result)
            if outcome.unsafe:
                line += "; left %s, unsafe to power-cycle" % _left(outcome)
            self.say(line)
        if several:
            unsafe = [outcome for outcome in outcomes if outcome.unsafe]
            counts = {}
            for outcome in outcomes:
                counts[outcome.result] = counts.get(outcome.result, 0) + 1
            line = ", ".join("%d %s" % (n, result) for result, n in sorted(counts.items()))
            if unsafe:
                line += "; left unsafe to power-cycle: " + ", ".join(
                    "%s (%s)" % (outcome.target.label, _left(outcome)) for outcome in unsafe)
            self.say(line)


def _left(outcome):
    """What an unsafe device holds, and where its work stopped."""
    if outcome.recorded is not None:
        return "%s, as the record says since %s" % (outcome.state, outcome.recorded)
    if outcome.state == driver.PART_WRITTEN:
        return "part-written at %s" % outcome.where
    return {driver.ERASED: "erased", driver.UNVERIFIED: "written but not verified"}[outcome.state]


def holds(outcome):
    """What a device holds, for a table."""
    if outcome.result == "skipped":
        version = outcome.values.get("version_before")
        return "its image" + (" (%s)" % version if version else "")
    if outcome.recorded is not None:
        return "%s (recorded)" % outcome.state
    return outcome.state


def device_table(outcomes):
    """The table of an update: device, identifier, versions, bytes, time,
    what each holds and the result."""
    rows = []
    for outcome in outcomes:
        values = outcome.values
        written = "%d/%d" % (outcome.written, outcome.total) if outcome.total is not None else "-"
        after = values.get("version_after") or (values.get("version_before") if outcome.result == "skipped" else None)
        rows.append((outcome.target.label, values.get("identifier") or "-", values.get("version_before") or "-",
                     after or "-", written, "%.2f s" % outcome.seconds if outcome.seconds is not None else "-",
                     holds(outcome),
                     outcome.result + (" (%s)" % "; ".join(outcome.warnings) if outcome.warnings else "")))
    return table(("device", "identifier", "before", "after", "bytes", "time", "holds", "result"), rows)


def _quiet_at_exit(stream):
    """A stream that failed is pointed at /dev/null, so that the interpreter's
    last flush at exit does not fail again."""
    try:
        os.dup2(os.open(os.devnull, os.O_WRONLY), stream.fileno())
    except (OSError, ValueError, AttributeError):
        pass


def table(header, rows):
    widths = [max(len(row[i]) for row in [header] + rows) for i in range(len(header))]
    return "".join("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip() + "\n"
                   for row in [header] + rows)
