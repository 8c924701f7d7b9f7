"""The rules of the values a user gives, on the command line or in a plan:
one rule each, so that both refuse the same values with the same words.
Each takes the value (a number from a plan, or text already parsed from
the command line) and returns it, or raises ValueError saying what is
allowed and what was given."""

import math

__all__ = ["MAX_SECONDS", "MAX_JOBS", "seconds", "whole", "jobs", "window"]

MAX_SECONDS = 86400.0
MAX_JOBS = 1024


def _number(value):
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def seconds(value, what="time-out"):
    """A time in seconds: a finite number above 0, at most a day."""
    if not _number(value) or not (math.isfinite(value) and 0 < value <= MAX_SECONDS):
        raise ValueError("%s must be above 0 and at most %d seconds, not %r" % (what, MAX_SECONDS, value))
    return float(value)


def whole(value, low, high, what):
    """A whole number from `low` to `high`."""
    if not isinstance(value, int) or isinstance(value, bool) or not low <= value <= high:
        raise ValueError("%s must be a whole number from %d to %d, not %r" % (what, low, high, value))
    return value


def jobs(value, what="jobs"):
    """How many devices are worked on at once."""
    return whole(value, 1, MAX_JOBS, what)


def window(value):
    """Commands in flight at once: the library's own rule."""
    from . import driver  # the library's rule, through the adapter (it loads the library when first used)

    try:
        return driver.check_window(value)
    except (TypeError, ValueError) as exc:  # its text names the window and the value
        raise ValueError(str(exc)) from None
