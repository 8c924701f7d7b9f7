"""A callback that writes every task result as a JSON line to the file
$ONDREL_TEST_RESULTS, beside the usual output: what the tests read of a
playbook run (ansible-core no longer carries a json callback of its own)."""

import json
import os

from ansible.plugins.callback import CallbackBase

DOCUMENTATION = """
name: results
type: aggregate
short_description: every task result as a JSON line, for the tests
description: Writes each result to the file named by ONDREL_TEST_RESULTS.
"""


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = "aggregate"
    CALLBACK_NAME = "results"
    CALLBACK_NEEDS_ENABLED = False

    def _write(self, result, **status):
        entry = dict(task=result._task.get_name(), host=result._host.get_name(), result=result._result, **status)
        with open(os.environ["ONDREL_TEST_RESULTS"], "a") as f:
            f.write(json.dumps(entry, default=str) + "\n")

    def v2_runner_on_ok(self, result):
        self._write(result)

    def v2_runner_on_failed(self, result, ignore_errors=False):
        self._write(result, failed=True)

    def v2_runner_on_skipped(self, result):
        self._write(result, skipped=True)
