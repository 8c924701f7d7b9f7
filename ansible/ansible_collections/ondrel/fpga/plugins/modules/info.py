#!/usr/bin/python
# Proprietary; distributed with the ondrel package and under its terms.

DOCUMENTATION = r"""
---
module: info
short_description: Read what each FPGA device reports about itself, as facts
description:
  - Asks each device, from the site host, for its identifier, FPGA version, control firmware version
    (and whether it meets the minimum), serial number and device information, as C(ondrel-fpga info)
    does, through the ondrel package. Nothing is written to any device.
  - The answers are set as the fact C(ondrel_fpga_devices), a mapping from each device as named to what
    it reports.
version_added: "0.3.0"
author:
  - ondrel maintainers (@ondrel)
requirements:
  - the ondrel package (0.3 or later) in the Python that runs the module on the site host
extends_documentation_fragment:
  - ansible.builtin.action_common_attributes
  - ansible.builtin.action_common_attributes.facts
attributes:
  check_mode:
    support: full
    details: Reading changes nothing, so check mode reads too.
  diff_mode:
    support: none
  facts:
    support: full
  platform:
    platforms: posix
options:
  devices:
    description: The devices to ask, each V(HOST), V(HOST:PORT) or V([IPv6]:PORT).
    type: list
    elements: str
    required: true
  port:
    description: TCP port of devices named without one.
    type: int
    default: 5025
  timeout:
    description: Seconds allowed for each reply.
    type: float
    default: 5.0
  connect_timeout:
    description: Seconds allowed for a device to accept the connection.
    type: float
    default: 3.0
  jobs:
    description: Ask at most this many devices at once (default all).
    type: int
notes:
  - The task fails when a device cannot be asked; the facts are then not set, and RV(unreachable) names it.
seealso:
  - module: ondrel.fpga.rollout
"""

EXAMPLES = r"""
- name: What the site's rigs run
  ondrel.fpga.info:
    devices: [10.0.0.11, "10.0.0.12:5025"]

- name: Show each rig's FPGA version
  ansible.builtin.debug:
    msg: "{{ item.key }} runs {{ item.value.fpga_version }}"
  loop: "{{ ondrel_fpga_devices | dict2items }}"
"""

RETURN = r"""
ansible_facts:
  description: The fact C(ondrel_fpga_devices).
  returned: when every device answered
  type: dict
  contains:
    ondrel_fpga_devices:
      description:
        - Each device as named, to what it reports; C(identifier), C(fpga_version), C(control_firmware),
          C(control_firmware_ok) (null when unknown), C(minimum_control_firmware), C(serial_number),
          C(device_info) (a mapping, or the text the device sent), C(resolved) (its address).
      type: dict
      returned: when every device answered
      sample:
        "10.0.0.11:5025":
          identifier: "0x0A3F5C21"
          fpga_version: "0.2.4.0"
          control_firmware: "1.4.2"
          control_firmware_ok: true
unreachable:
  description: The devices that could not be asked, each with the reason.
  returned: always
  type: dict
  sample:
    "10.0.0.12:5025": connection refused
"""

import traceback

from ansible.module_utils.basic import AnsibleModule, missing_required_lib

try:
    from ondrel.tools import driver, values, work
    from ondrel.tools.rollout import Quiet
except ImportError:
    HAS_ONDREL, ONDREL_ERROR = False, traceback.format_exc()
else:
    HAS_ONDREL, ONDREL_ERROR = True, None

FIELDS = ("identifier", "fpga_version", "control_firmware", "control_firmware_ok", "minimum_control_firmware",
          "serial_number", "device_info")


def ask(params):
    """(facts, unreachable) for the devices named, each resolved and asked once."""
    port = values.whole(params["port"], 1, 65535, "port")
    timeout = values.seconds(params["timeout"], "timeout")
    connect_timeout = values.seconds(params["connect_timeout"], "connect_timeout")
    jobs = None if params["jobs"] is None else values.jobs(params["jobs"])
    targets = driver.resolve([driver.parse_target(name, port) for name in params["devices"]])
    devices = [driver.Device(target, timeout, connect_timeout=connect_timeout) for target in targets]
    outcomes = work.run_shown(Quiet(), devices, driver.info(), jobs=jobs)
    facts, unreachable = {}, {}
    for outcome in outcomes:
        if outcome.result == "ok":
            found = dict((key, outcome.values.get(key)) for key in FIELDS)
            found["resolved"] = outcome.target.resolved
            facts[outcome.target.label] = found
        else:
            unreachable[outcome.target.label] = outcome.reason or outcome.result
    return facts, unreachable


def main():
    module = AnsibleModule(argument_spec=dict(devices=dict(type="list", elements="str", required=True),
                                              port=dict(type="int", default=5025),
                                              timeout=dict(type="float", default=5.0),
                                              connect_timeout=dict(type="float", default=3.0),
                                              jobs=dict(type="int")),
                           supports_check_mode=True)
    if not HAS_ONDREL:
        module.fail_json(msg=missing_required_lib("ondrel"), exception=ONDREL_ERROR)
    try:
        facts, unreachable = ask(module.params)
    except (ValueError, driver.DuplicateTarget) as exc:
        module.fail_json(msg=str(exc))
    if unreachable:
        module.fail_json(msg="; ".join("%s: %s" % item for item in unreachable.items()), unreachable=unreachable)
    module.exit_json(changed=False, ansible_facts=dict(ondrel_fpga_devices=facts), unreachable=unreachable)


if __name__ == "__main__":
    main()
