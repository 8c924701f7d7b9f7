"""Rollouts: a plan that brings a lab's devices to their images, its run,
and the record of what each run did to each device.

    from ondrel.tools import rollout

    plan = rollout.load_plan("lab.toml")          # or rollout.plan_from({...}, folder)
    try:
        result = rollout.run(plan, canary=1)      # dry_run=True asks and writes nothing
    finally:
        plan.close()
    result.changed, result.failed, result.unsafe, result.lines

A plan is checked whole before any device is touched (plan.py); a run
appends one line a device to the plan's record as each finishes
(record.py), and skips only the devices the record and the device prove
hold their image already (run.py).
"""

from .plan import GROUP_KEYS, SETTING_RULES, SETTINGS, Group, Plan, PlanError, load_plan, plan_from
from .record import (
    FORMAT,
    SKIPPED,
    UNSAFE,
    Reading,
    Record,
    RecordBusy,
    RecordError,
    device_key,
    history_of,
    known_state,
    last_states,
    read_record,
    reading,
    say_problems,
    skip_reason,
)
from .run import NOT_STARTED, WOULD_UPDATE, Quiet, Result, Rollout, run

__all__ = ["PlanError", "Plan", "Group", "load_plan", "plan_from", "SETTINGS", "SETTING_RULES", "GROUP_KEYS",
           "Record", "RecordBusy",
           "RecordError", "read_record", "Reading", "reading", "last_states", "device_key", "history_of",
           "known_state", "skip_reason", "say_problems", "FORMAT", "SKIPPED", "UNSAFE", "run", "Rollout", "Result",
           "Quiet", "NOT_STARTED", "WOULD_UPDATE"]
