#!/usr/bin/python
# Proprietary; distributed with the ondrel package and under its terms.

DOCUMENTATION = r"""
---
module: rollout
short_description: Bring every device of a plan to its FPGA image
description:
  - Runs a rollout on the site host, as C(ondrel-fpga rollout) does, through the ondrel package's own
    rollout (not its command line).
  - Every image is checked (and its signature, when allowed signers are given) before any device is
    touched; every device is asked what it is and runs; those proven to hold their image already are
    skipped, the rest are updated (a canary first when asked); each device's line is appended to the
    plan's record on the site host as it finishes.
  - Check mode is a dry run, it asks every device and writes nothing.
  - A second run of the same plan touches only the devices not yet done, and reports no change once
    every device holds its image.
version_added: "0.3.0"
author:
  - ondrel maintainers (@ondrel)
requirements:
  - the ondrel package (0.3 or later) in the Python that runs the module on the site host
  - OpenSSH's ssh-keygen 8.2 or later on the site host, when signatures are checked
extends_documentation_fragment:
  - ansible.builtin.action_common_attributes
attributes:
  check_mode:
    support: full
    details: A dry run; C(changed) when a device would be updated.
  diff_mode:
    support: none
  platform:
    platforms: posix
options:
  plan:
    description:
      - Path of a plan (TOML) on the site host. Its images, record and allowed signers are relative to it.
      - Exactly one of O(plan) and O(groups) is given.
    type: path
  groups:
    description:
      - The plan's groups given inline, instead of a plan file.
    type: list
    elements: dict
    suboptions:
      device_type:
        description: The device type of the group's devices.
        type: int
        required: true
      image:
        description: The image the group's devices should hold, relative to O(folder) unless absolute.
        type: str
        required: true
      devices:
        description: The group's devices, each V(HOST), V(HOST:PORT) or V([IPv6]:PORT).
        type: list
        elements: str
        required: true
  folder:
    description:
      - Where an inline plan's relative image paths are, and its record when O(record) is not given
        (C(rollout.record.jsonl)). Required with O(groups).
    type: path
  record:
    description:
      - The record to append to. Default the plan's own record, else the plan's name with C(.record.jsonl).
    type: path
  jobs:
    description: Work on at most this many devices at once (default the plan's C(jobs), else all).
    type: int
  window:
    description: Commands in flight while writing and reading back (default the plan's C(window), else 1).
    type: int
  timeout:
    description: Seconds allowed for each reply (default the plan's C(timeout), else 5).
    type: float
  erase_timeout:
    description: Seconds allowed for the flash erase's reply (default the plan's C(erase_timeout), else 120).
    type: float
  connect_timeout:
    description: Seconds allowed for a device to accept the connection.
    type: float
    default: 3.0
  port:
    description: TCP port of devices named without one.
    type: int
    default: 5025
  canary:
    description: Update this many devices first, and stop unless all of them end verified.
    type: int
  max_failures:
    description: Start no further device once this many have failed (unreachable ones included).
    type: int
  force:
    description: Update devices that already hold their image.
    type: bool
    default: false
  allowed_signers:
    description:
      - An OpenSSH allowed_signers file on the site host; every image must then be signed
        (C(IMAGE.sig), namespace C(ondrel-fpga)) by a key it allows. Default the plan's
        C(allowed_signers), else E(ONDREL_FPGA_ALLOWED_SIGNERS).
    type: path
  require_signature:
    description: Refuse an image without a trusted signature, and refuse to go on without allowed signers.
    type: bool
    default: false
notes:
  - The task fails when any device ends neither verified nor skipped (in check mode, when any device is
    unreachable or would be refused); RV(unsafe) names those left unsafe to power-cycle.
  - Devices left C(erased), C(part-written) or C(unverified) must be updated again before they are
    power-cycled; running the task again does that.
seealso:
  - module: ondrel.fpga.info
"""

EXAMPLES = r"""
- name: Bring the site's rigs to the release, one canary first
  ondrel.fpga.rollout:
    plan: /srv/lab/lab.toml
    canary: 1
  vars:
    ansible_python_interpreter: /opt/ondrel/bin/python

- name: A plan given inline, images signed by the release team
  ondrel.fpga.rollout:
    folder: /srv/lab
    jobs: 8
    allowed_signers: /etc/ondrel/allowed_signers
    groups:
      - device_type: 32
        image: fpga32_0.2.4.0.tbin
        devices: [10.0.0.11, "10.0.0.12:5025"]
  register: rolled

- name: Say which devices need attention
  ansible.builtin.debug:
    msg: "{{ rolled.unsafe }}"
"""

RETURN = r"""
devices:
  description:
    - Each device's line, as the record holds it (in check mode, as it would), in plan order.
    - Keys C(device), C(resolved), C(identifier), C(device_type), C(image), C(image_sha256), C(signer),
      C(version_before), C(version_after), C(state), C(result), C(bytes), C(seconds), C(reason); in check mode
      also C(action) (what the device would get).
  returned: always, once the plan was accepted
  type: list
  elements: dict
  sample:
    - device: "10.0.0.11:5025"
      state: verified
      result: ok
      version_before: "0.2.3.5"
      version_after: "0.2.4.0"
unsafe:
  description: The devices left unsafe to power-cycle (C(erased), C(part-written) or C(unverified)).
  returned: always, once the plan was accepted
  type: list
  elements: str
  sample: ["10.0.0.12:5025"]
failed_devices:
  description: The devices that ended neither verified nor skipped (check mode, unreachable or to be refused).
  returned: always, once the plan was accepted
  type: list
  elements: str
summary:
  description: One line, as the command line ends with it.
  returned: always, once the plan was accepted
  type: str
  sample: "2 verified, 1 skipped, 0 failed, 0 left unsafe"
record:
  description: The record on the site host the lines were appended to (none in check mode).
  returned: always, once the plan was accepted
  type: str
said:
  description: What the run passed over or could not do besides the devices (a record line it could not read).
  returned: always, once the plan was accepted
  type: list
  elements: str
"""

import traceback

from ansible.module_utils.basic import AnsibleModule, missing_required_lib

try:
    from ondrel.tools import driver, values
    from ondrel.tools import rollout as rollouts
except ImportError:
    HAS_ONDREL, ONDREL_ERROR = False, traceback.format_exc()
else:
    HAS_ONDREL, ONDREL_ERROR = True, None

GROUP = dict(device_type=dict(type="int", required=True), image=dict(type="str", required=True),
             devices=dict(type="list", elements="str", required=True))
ARGUMENTS = dict(
    plan=dict(type="path"),
    groups=dict(type="list", elements="dict", options=GROUP),
    folder=dict(type="path"),
    record=dict(type="path"),
    jobs=dict(type="int"),
    window=dict(type="int"),
    timeout=dict(type="float"),
    erase_timeout=dict(type="float"),
    connect_timeout=dict(type="float", default=3.0),
    port=dict(type="int", default=5025),
    canary=dict(type="int"),
    max_failures=dict(type="int"),
    force=dict(type="bool", default=False),
    allowed_signers=dict(type="path"),
    require_signature=dict(type="bool", default=False),
)


def checked_options(params):
    """The run's options, each by the command line's own rule (ValueError names the bad one)."""
    rules = dict((name, rollouts.SETTING_RULES[name]) for name in ("jobs", "window", "timeout", "erase_timeout"))
    rules.update(connect_timeout=lambda v: values.seconds(v, "connect_timeout"),
                 canary=lambda v: values.whole(v, 1, 100000, "canary"),
                 max_failures=lambda v: values.whole(v, 1, 100000, "max_failures"))
    found = dict((name, rule(params[name])) for name, rule in rules.items() if params[name] is not None)
    found.update(force=params["force"], record=params["record"])
    return found


def load(params):
    trust = driver.Trust(params["allowed_signers"], params["require_signature"])
    port = values.whole(params["port"], 1, 65535, "port")
    if params["plan"]:
        return rollouts.load_plan(params["plan"], port, trust)
    folder = params["folder"]
    groups = [dict(device_type=g["device_type"], image=g["image"], devices=g["devices"]) for g in params["groups"]]
    return rollouts.plan_from({"groups": groups}, folder, "rollout", port, trust)


def main():
    module = AnsibleModule(argument_spec=ARGUMENTS, mutually_exclusive=[("plan", "groups")],
                           required_one_of=[("plan", "groups")], required_by=dict(groups="folder"),
                           supports_check_mode=True)
    if not HAS_ONDREL:
        module.fail_json(msg=missing_required_lib("ondrel"), exception=ONDREL_ERROR)
    try:
        options = checked_options(module.params)
        plan = load(module.params)
    except ValueError as exc:
        module.fail_json(msg=str(exc))
    except rollouts.PlanError as exc:
        module.fail_json(msg="plan refused, no device touched: %s" % exc)
    display = rollouts.Quiet()
    try:
        result = rollouts.run(plan, dry_run=module.check_mode, display=display, **options)
    except rollouts.RecordError as exc:
        module.fail_json(msg="rollout refused, no device touched: %s" % exc)
    finally:
        plan.close()
    lines = result.lines
    if result.dry:
        for line in lines:
            line["action"] = result.actions[line["device"]][1]
    returned = dict(changed=result.changed, devices=lines, unsafe=result.unsafe, failed_devices=result.failed,
                    summary=result.summary(), record=result.record,
                    said=display.said)
    if result.ok:
        module.exit_json(**returned)
    reasons = ["%s: %s" % (line["device"], line["reason"] or line["result"]) for line in lines
               if line["device"] in result.failed]
    if result.record_failure:
        reasons.append("%s; no further device was started" % result.record_failure)
    if result.interrupted:
        reasons.append("interrupted")
    module.fail_json(msg="; ".join([returned["summary"]] + reasons), **returned)


if __name__ == "__main__":
    main()
