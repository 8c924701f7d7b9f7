"""ondrel-fpga simulate and demo: simulated devices."""

import contextlib
import errno
import os
import tempfile
import time

from .. import devsim, driver, tbin
from . import devices as shared
from . import options
from .output import EXIT_FAILED, EXIT_OK, device_table


def add(sub, verbosity):
    p = sub.add_parser("simulate", parents=[verbosity], help="run a simulated device until Ctrl-C",
                       description="A TCP server that answers as a device, with optional faults.")
    p.add_argument("--host", default="127.0.0.1", help="address to listen on (default %(default)s)")
    p.add_argument("--port", type=options.port_number, default=5025,
                   help="TCP port (default %(default)s; 0 picks a free one)")
    devsim.add_state_arguments(p)
    devsim.add_fault_arguments(p)
    p.set_defaults(run=run_simulate)

    p = sub.add_parser("demo", parents=[verbosity], help="update built-in simulated devices, end to end",
                       description="Start simulated devices on free loopback ports, seal a demo image, update them "
                                   "(in parallel when there are several) and verify the result.")
    p.add_argument("--kib", type=options.whole(1, 65536, "--kib"), default=64,
                   help="size of the demo image in KiB (default %(default)s)")
    p.add_argument("--devices", type=options.whole(1, 64, "--devices"), default=1,
                   help="simulated devices (default 1)")
    p.add_argument("--latency", type=devsim._milliseconds, default=0.0, metavar="MS",
                   help="network delay of each reply in milliseconds (default 0)")
    options.window(p)
    p.add_argument("--no-progress", action="store_true", help="show no progress")
    p.set_defaults(run=run_demo)


def run_simulate(session):
    args = session.args
    try:
        return devsim.serve(args.host, args.port, devsim.state_from_arguments(args),
                            devsim.faults_from_arguments(args), out=session.out, latency=args.latency)
    except OSError as exc:
        if exc.errno == errno.EADDRINUSE:
            session.say("port %d on %s is busy: another program listens there (--port 0 picks a free one)"
                        % (args.port, args.host))
        else:
            session.say("cannot listen on %s:%d: %s" % (args.host, args.port, exc.strerror or exc))
        return EXIT_FAILED


def run_demo(session):
    args = session.args
    with tempfile.TemporaryDirectory() as folder, contextlib.ExitStack() as stack:
        sims = [stack.enter_context(devsim.DeviceSimulator(latency=args.latency)) for _ in range(args.devices)]
        image_bytes = os.urandom(args.kib * 1024)
        path = os.path.join(folder, "demo.tbin")
        with open(path, "wb") as f:
            f.write(tbin.seal(image_bytes, 32, header={"FPGA_VERSION": sims[0].state.new_version, "BUILD": "demo"}))
        targets = driver.resolve([driver.parse_target("%s:%d" % (sim.host, sim.port)) for sim in sims])
        window = " --window %d" % args.window if args.window > 1 else ""
        session.note("demo: %d simulated device%s on %s; a %d KiB image sealed for device type 32 at %s"
                     % (len(sims), "s" if len(sims) > 1 else "", ", ".join(t.label for t in targets), args.kib, path))
        session.note("$ ondrel-fpga update %s%s %s" % (path, window, " ".join("--address " + t.label for t in targets)))
        image, refusal = shared.image_for(path, 32)
        if refusal:
            return shared.refuse(session, [driver.Device(t) for t in targets], refusal)
        try:
            started = time.monotonic()
            devices = [driver.Device(t, timeout=10, window=args.window) for t in targets]
            code = session.report("update", shared.update(session, devices, image, 32), device_table, image=image,
                                  file=path)
            seconds = time.monotonic() - started
            held = sum(sim.state.image() == image_bytes for sim in sims)
            session.emit("%d of %d devices hold the image, checked on the simulators; %.2f s for all of them\n"
                         % (held, len(sims), seconds))
            if code == EXIT_OK and len(sims) == 1:
                session.note("$ ondrel-fpga verify %s%s --address %s" % (path, window, targets[0].label))
                outcome = shared.verify(session, driver.Device(targets[0], timeout=10, window=args.window), image)
                shared.say_comparison(session, outcome, path, image)
                code = session.report("verify", [outcome], None, image=image, file=path)
        finally:
            image.close()
        return code if held == len(sims) else EXIT_FAILED
