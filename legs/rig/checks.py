#!/usr/bin/env python3
"""The rig's checks, host side: what each check plans and how it is judged.

A check is a guest function check_NAME in legs/rig/guest.sh (it runs the
programmer in the guest) and an entry in CHECKS below (its image and address,
and the verdicts that judge each run from what the host saw: the guest's
report, QEMU's device trace, the simulator's log and memory dump). Every
check runs once on every port, in the order of CHECKS.

  checks.py prepare OUT      write the images and the guest's plan into OUT/root/rig
  checks.py sim-args OUT P   the simulator options for port P, one a line
  checks.py verdict OUT T0   judge OUT's logs; T0 = QEMU's start (epoch seconds)
  checks.py unplug OUT S PID unplug the USB adapter during the unplug run (waits at most S s),
                            its simulator PID held still around it
"""
import dataclasses
import os
import random
import re
import sys
import time
from pathlib import Path

# Every check's memory lies in this window, which each simulator dumps at exit.
DUMP_BASE = 0x20000000
DUMP_SIZE = 0x40000

# Fault rules count per simulator, from its first run: "silent" runs first
# and reads nothing; "custom_lines" runs next, and its first attempt gets no
# answer; "gap" reads its two blocks back, the first with a pause of 80 ms
# halfway; "gap_too_long" reads the third block, paused 160 ms.
SIM_FAULTS = ["start:silent@1", "start:silent@2", "read.data:pause:80@1", "read.data:pause:160@3"]

# The board's application: its boot loader starts it once the host has been
# quiet for APP_AFTER_MS (the simulator cannot see the guest's lines, so no
# closing sequence restarts it), and it prints its banner; a start byte finds
# the boot loader again. Longer than any quiet within a run (the 1.4 s of a
# start byte's unanswered wait included) and, with room to spare, than any
# between two runs on one port, which is the other port's run (3 s at most):
# a banner that came as a run opened would be read as the boot loader's
# answer. The "expect" check waits for it after its flash.
APP_AFTER_MS = 8000
APP_BANNER = b"rig app v1\r\n"

# The opening and closing sequences of "custom_lines" (--enter, --leave).
# Each line change moves a level, so that the 8250, which writes its modem
# control register only on a change, shows every step as the adapter does;
# the opening ends with both lines as opening the port left them, so that a
# second attempt shows them all again.
CUSTOM_ENTER = "R0,D0,W40,D1,W60,R1,W30"
CUSTOM_LEAVE = "D0,W50,R0"

DRIVERS = {"uart": "8250", "ftdi": "ftdi_sio"}


@dataclasses.dataclass
class Port:
    name: str    # as the programmer is given it: COM2, ttyUSB0
    device: str  # in the guest: /dev/ttyS1
    driver: str  # uart or ftdi


@dataclasses.dataclass
class Run:
    index: int
    check: "Check"
    port: Port
    begin: float = 0.0  # epoch seconds, from the guest's marks in the trace
    end: float = 0.0
    status: int | None = None  # the run's exit status, None if never reported
    tail: bytes = b""          # the last bytes of its output
    aside: bytes = b""         # another program's attempt during the run: its output, then "status=N"
    trace: list = dataclasses.field(default_factory=list)  # QEMU's device events in the run, see read_trace
    earlier: list = dataclasses.field(default_factory=list)  # and those before it
    lines: list = dataclasses.field(default_factory=list)  # (time, "set dtr"...) as they reached the hardware
    data: list = dataclasses.field(default_factory=list)   # (time, "rx"/"tx", bytes) at the simulator
    dump: bytes = b""          # the simulator's memory window at the end
    out: Path = Path(".")      # the rig's output folder


@dataclasses.dataclass
class Check:
    name: str
    address: int
    size: int
    verdicts: list

    def image(self) -> bytes:
        return random.Random(self.name).randbytes(self.size)


# --- Verdicts: each takes a Run and returns (passed, text), or None where it
# does not apply to the run's driver.

def exits(status, final_line):
    def verdict(run):
        ending = b"\n" + final_line.encode() + b"\n\n"
        ok = run.status == status and run.tail.endswith(ending)
        last = run.tail.rstrip(b"\n").rsplit(b"\n", 1)[-1].decode(errors="replace")
        seen = "" if ok else f" (got exit {run.status}, last line {last!r})"
        return ok, f'exit {status}, final line "{final_line}"{seen}'
    return verdict


def memory_equals_image(run):
    image = run.check.image()
    offset = run.check.address - DUMP_BASE
    memory = run.dump[offset:offset + len(image)]
    if memory == image:
        return True, f"target memory at {run.check.address:#x} equals the {len(image)}-byte image"
    wrong = [i for i in range(len(image)) if i >= len(memory) or memory[i] != image[i]]
    return False, (f"target memory at {run.check.address:#x} differs from the image in {len(wrong)} bytes, "
                   f"first at +{wrong[0]:#x}")


def intruder_refused(holder):
    """The second program is told the port is in use: by the first run, named,
    where it may look into that run's open files (root), else by "another
    program"."""
    def verdict(run):
        want = f"error: cannot open port {run.port.name}\n  in use by {holder}".encode()
        ok = want in run.aside and run.aside.rstrip().endswith(b"status=1")
        seen = "" if ok else f" (got {run.aside.decode(errors='replace')!r})"
        return ok, f"a second program meanwhile: refused, in use by {holder}{seen}"
    return verdict


def says(reason):
    """The run's reason line, right after its failure."""
    def verdict(run):
        ok = f"\n  {reason}\n".encode() in run.tail
        seen = "" if ok else f" (got {run.tail.decode(errors='replace')!r})"
        return ok, f'says "{reason}"{seen}'
    return verdict


def rate_warning(run):
    """The 8250 cannot make 250000 baud from its clock and takes 115200; the
    run says so after the handshake's line and goes on."""
    if run.port.driver != "uart":
        return None
    want = b"initializing device..\x08\x08 - OK  \n  the driver set 115200 baud, not the 250000 asked for\n"
    ok = want in run.tail
    seen = "" if ok else f" (got {run.tail.decode(errors='replace')!r})"
    return ok, f"asked for 250000 baud: warned that the driver set 115200{seen}"


def unplugged(run):
    """The adapter, unplugged in the middle of the write (QEMU's device_del),
    ends the run at once with the reason; no time-out is waited out."""
    if run.port.driver != "ftdi":
        return None
    unplug_file = run.out / "unplug.time"
    at = float(unplug_file.read_text()) if unplug_file.exists() else None
    reason = b"\n  the serial adapter was disconnected\n"
    ended = run.tail.endswith(b"\ndone with 1 error(s)..\n\n")
    ok = at is not None and run.status == 1 and ended and reason in run.tail and run.end - at <= 2.0
    took = "never unplugged" if at is None else f"ended {run.end - at:.2f} s after the unplug"
    seen = "" if ok else f" (exit {run.status}, {took}, got {run.tail.decode(errors='replace')!r})"
    return ok, f"unplugged mid-write: exit 1 within 2 s, \"the serial adapter was disconnected\"{seen}"


def listed(run):
    """vexlor-flash-all --list: the port's name, its device, and for the USB
    adapter the vendor and product it reports, read from sysfs in a guest
    without udev; a UART has no USB identity."""
    lines = run.tail.decode(errors="replace").splitlines()
    fields = lines[-1].split("\t") if lines else []
    if run.port.driver == "ftdi":
        want = f"{run.port.name}, {run.port.device}, 0403:6001 ... usb=... {ADAPTER_STRINGS}"
        ok = (len(fields) == 3 and fields[:2] == [run.port.name, run.port.device]
              and fields[2].startswith("0403:6001 ") and " usb=" in fields[2]
              and fields[2].endswith(ADAPTER_STRINGS))
    else:
        want = f"{run.port.name}, {run.port.device}, -"
        ok = fields == [run.port.name, run.port.device, "-"]
    ok = ok and run.status == 0
    seen = "" if ok else f" (exit {run.status}, got {lines[-1:]!r})"
    return ok, f"--list: {want}{seen}"


# The strings QEMU's emulated FTDI adapter reports: manufacturer, product.
ADAPTER_STRINGS = '"QEMU" "QEMU USB SERIAL"'

FTDI_SET_LATENCY_TIMER = 0x4009


def latency_timer(run):
    """Low-latency mode sets the adapter's timer to 1 ms at open; close puts
    back the value it had (QEMU's adapter starts at 0, not the usual 16)."""
    if run.port.driver != "ftdi":
        return None
    before = [v for _, kind, (what, v) in run.earlier if kind == "ftdi" and what == FTDI_SET_LATENCY_TIMER]
    during = [v for _, kind, (what, v) in run.trace if kind == "ftdi" and what == FTDI_SET_LATENCY_TIMER]
    old = before[-1] if before else None
    ok = old is not None and during == [1, old]
    return ok, f"latency timer 1 ms at open, {old} ms again at close (requests: {during})"


# What reaches the hardware of the three actions the programmer takes. The
# 8250 driver writes the modem control register only when a level changes, so
# SETDTR on a line that opening the port already raised never reaches the
# UART; the FTDI driver sends every request to the adapter.
OPENING = {"uart": ["clr rts", "clr dtr"], "ftdi": ["clr rts", "set dtr", "clr dtr"]}
CLOSING = {"uart": ["set rts", "set dtr", "clr dtr"], "ftdi": ["set rts", "set dtr", "clr dtr"]}


def host_data(run):
    """The run's exchanges with the host, the board's application printing
    around them left out: its banner before the start byte and after the
    last exchange, and the guest tty's echo of it as the port opened (the
    UART held the bytes that came while the port was closed; a port opened
    for the first time since boot echoes until the programmer has made it
    raw). Any other byte before the start byte stays and fails the check."""
    def banner_or_echo(entry):
        _, kind, data = entry
        return (kind == "tx" and data == APP_BANNER) or (
            kind == "rx" and data[:1] != b"\x7f" and set(data) <= set(APP_BANNER))
    data = list(run.data)
    while data and banner_or_echo(data[0]):
        data.pop(0)
    while data and data[-1][1] == "tx" and data[-1][2] == APP_BANNER:
        data.pop()
    return data


def lines_in_order(run):
    """The opening sequence is the last line change before the start byte, the
    closing one the first after the last exchange, and none comes between.
    The simulator logs each answer at the moment it begins to write it, so the
    host's line changes that follow the answer come after that time."""
    data = host_data(run)
    if not data or data[0][1] != "rx" or data[0][2][:1] != b"\x7f":
        return False, "control lines: the simulator got no start byte first"
    start = data[0][0]
    last = data[-1][0]
    before = [a for t, a in run.lines if t < start]
    during = [a for t, a in run.lines if start <= t <= last]
    after = [a for t, a in run.lines if t > last]
    opening, closing = OPENING[run.port.driver], CLOSING[run.port.driver]
    ok = before[-len(opening):] == opening and not during and after[:len(closing)] == closing
    text = (f"control lines: {', '.join(opening)} before the start byte; {', '.join(closing)} after the "
            f"last exchange")
    if not ok:
        text += f" (got before: {before}, between: {during}, after: {after})"
    return ok, text


def lines_in_order_when_stopped(run):
    """A stopped run does not wait for the answer already on its way, so its
    closing sequence is judged against its own bytes: on the 8250, none of
    them reaches the UART once the closing sequence has begun (QEMU's trace
    has both, on one clock; the UART sends each byte as it is written). The
    adapter's data is not traced, and the simulator reads the host's bytes
    some time after they came, which cannot order them against a line
    change: there only the opening sequence is judged."""
    data = host_data(run)
    if not data or data[0][1] != "rx" or data[0][2][:1] != b"\x7f":
        return False, "control lines: the simulator got no start byte first"
    start = data[0][0]
    opening, closing = OPENING[run.port.driver], CLOSING[run.port.driver]
    before = [a for t, a in run.lines if t < start]
    ok = before[-len(opening):] == opening
    text = f"control lines: {', '.join(opening)} before the start byte"
    if run.port.driver == "uart":
        closing_at = next((t for t, a in run.lines if t > start and a == closing[0]), None)
        after = [a for t, a in run.lines if closing_at is not None and t >= closing_at]
        late = [t for t, kind, (register, _) in run.trace
                if kind == "uart" and register == TRANSMIT and closing_at is not None and t > closing_at]
        ok = ok and after[:len(closing)] == closing and not late
        text += f"; {', '.join(closing)} after the host's last byte reached the UART"
        if not ok:
            text += f" (got before: {before}, from the closing on: {after}, bytes after it: {len(late)})"
    elif not ok:
        text += f" (got before: {before})"
    return ok, text


def sequence_steps(sequence):
    """A sequence of --enter or --leave as the trace shows it: (line move, ms
    waited after it before the next step)."""
    steps = []
    for step in sequence.split(","):
        if step.startswith("W"):
            name, waited = steps[-1]
            steps[-1] = (name, waited + int(step[1:]))
        else:
            steps.append((("set " if step[1] == "1" else "clr ") + {"R": "rts", "D": "dtr"}[step[0]], 0))
    return steps


# How much longer than asked a wait may take in the guest, under emulation.
WAIT_SLACK = 1.0


def follows(moves, steps, then):
    """Whether the line moves [(time, move)] are the steps, each wait at least
    as long as asked and not far longer; `then` is when the step after the
    last came (the start byte), or None."""
    if [move for _, move in moves] != [name for name, _ in steps]:
        return False
    times = [t for t, _ in moves] + [then]
    return all(times[i + 1] is None or ms / 1000 <= times[i + 1] - times[i] <= ms / 1000 + WAIT_SLACK
               for i, (_, ms) in enumerate(steps))


def custom_lines(run):
    """--enter and --leave as given: the opening before each of the two
    start bytes (the simulator lets the first pass, so the second attempt
    answers), the closing after the last exchange, each step in order and
    each wait kept; the console notes the attempt that answered."""
    opening, closing = sequence_steps(CUSTOM_ENTER), sequence_steps(CUSTOM_LEAVE)
    starts = [t for t, kind, data in run.data if kind == "rx" and data == b"\x7f"]
    if len(starts) != 2 or not run.data:
        return False, f"custom lines: two start bytes (got {len(starts)})"
    last = run.data[-1][0]
    first = [m for m in run.lines if m[0] < starts[0]][-len(opening):]
    again = [m for m in run.lines if starts[0] < m[0] < starts[1]]
    leaving = [m for m in run.lines if m[0] > last][:len(closing)]
    noted = b"\n  the board answered on attempt 2 of 2\n" in run.tail
    ok = (follows(first, opening, starts[0]) and follows(again, opening, starts[1])
          and follows(leaving, closing, None) and noted)
    text = f"custom lines: --enter {CUSTOM_ENTER} before each attempt, --leave {CUSTOM_LEAVE} at the end"
    if not ok:
        shown = [[(round(t - starts[0], 3), m) for t, m in moves] for moves in (first, again, leaving)]
        text += f" (got, in s from the first start byte: {shown}, note {noted})"
    return ok, text


def banner_after_closing(run):
    """--expect over the driver: the closing sequence came after the run's
    last byte to the board, the board's banner after the closing sequence,
    and the run read it (its console says so)."""
    last_rx = max((t for t, kind, _ in run.data if kind == "rx"), default=None)
    banner_at = next((t for t, kind, data in run.data if kind == "tx" and data == APP_BANNER), None)
    closing = CLOSING[run.port.driver]
    after = [(t, a) for t, a in run.lines if last_rx is not None and t > last_rx][:len(closing)]
    said = b"checking the board's start..\x08\x08 - OK  \n  the board said: rig app v1\n" in run.tail
    ok = (banner_at is not None and [a for _, a in after] == closing and after[-1][0] < banner_at
          and said)
    text = f"--expect: {', '.join(closing)} after the last byte, then the banner, read by the run"
    if not ok:
        shown = [(round(t - last_rx, 3), a) for t, a in after] if last_rx is not None else []
        banner = None if banner_at is None or last_rx is None else round(banner_at - last_rx, 3)
        text += (f" (got, in s from the last byte: lines {shown}, banner {banner}, "
                 f"tail {run.tail.decode(errors='replace')!r})")
    return ok, text


CHECKS = [
    # First, so that the simulators' start:silent@1 hits its start byte.
    Check("silent", 0x20000000, 20000, [exits(1, "done with 1 error(s).."), lines_in_order]),
    # Second, so that start:silent@2 hits its first attempt.
    Check("custom_lines", 0x20000000, 16, [exits(0, "done without errors.."), custom_lines]),
    # The gap rule on the drivers' own delivery: 80 ms of quiet line in a
    # block passes, 160 ms ends the read 100 ms in. Sectors 3 and 16, which
    # no other check uses.
    Check("gap", 0x20006000, 512, [exits(0, "done without errors.."), memory_equals_image]),
    Check("gap_too_long", 0x200C0000, 512, [
        exits(1, "done with 1 error(s).."),
        says("only 128 of 256 bytes arrived for the read of the block at 0x200c0000")]),
    Check("write_verify", 0x20000000, 20000, [exits(0, "done without errors.."), memory_equals_image,
                                               lines_in_order, latency_timer]),
    # A root intruder gets past the exclusive mode, and its open raises the
    # lines; only the lock keeps its bytes off the line.
    Check("in_use", 0x20010000, 40000, [exits(0, "done without errors.."), memory_equals_image,
                                         intruder_refused("vexlor-prog (pid ")]),
    Check("exclusive", 0x20020000, 40000, [exits(0, "done without errors.."), memory_equals_image,
                                            intruder_refused("another program"), lines_in_order]),
    Check("stopped", 0x20030000, 40000, [exits(143, "done with 1 error(s).."), lines_in_order_when_stopped]),
    Check("rate", 0x20000000, 16, [rate_warning]),
    # Sector 17, which no other check uses, outside the dump's window: the
    # run's own verify shows the bytes went in.
    Check("expect", 0x200C2000, 512, [exits(0, "done without errors.."), banner_after_closing]),
    # Before the unplug, while the adapter is there.
    Check("list", 0x20000000, 16, [listed]),
    # Last: the adapter is gone afterwards. Sector 4 alone, which no other
    # check uses, so the half-written image leaves the others' memory intact.
    Check("unplug", 0x20008000, 0x8000, [unplugged]),
]


# --- Reading what the host saw.

def read_ports(out):
    return [Port(*line.split()) for line in (out / "root/rig/ports").read_text().splitlines() if line.strip()]


def plan(ports):
    runs = []
    for check in CHECKS:
        for port in ports:
            runs.append(Run(len(runs) + 1, check, port))
    assert len(runs) <= MAX_RUNS, "more runs than the guest's marks can tell apart"
    return runs


TRACE = re.compile(r"^\d+@(\d+\.\d+):(\w+) (.*)$")
UART_WRITE = re.compile(r"write addr 0x([0-9a-f]+) val 0x([0-9a-f]+)")
FTDI_CONTROL = re.compile(r"got control 0x([0-9a-f]+), value 0x([0-9a-f]+)")
TRANSMIT, SCRATCH, MODEM_CONTROL = 0, 7, 4
# The guest's marks in the scratch register: INDEX before a run, END_MARK +
# INDEX after it, BOOT_MARK once the ports are there, DONE_MARK at the end.
END_MARK, DONE_MARK, BOOT_MARK = 128, 254, 255
MAX_RUNS = DONE_MARK - END_MARK - 1
FTDI_SET_MODEM_CONTROL = 0x4001
DTR, RTS = 1, 2


def read_trace(path):
    """Yields (time, driver, detail): uart (register, value), ftdi (request, value)."""
    for line in (path.read_text(errors="replace") if path.exists() else "").splitlines():
        m = TRACE.match(line)
        if not m:
            continue
        at, event, rest = float(m.group(1)), m.group(2), m.group(3)
        if event == "serial_write" and (w := UART_WRITE.match(rest)):
            yield at, "uart", (int(w.group(1), 16), int(w.group(2), 16))
        elif event == "usb_serial_handle_control" and (c := FTDI_CONTROL.search(rest)):
            yield at, "ftdi", (int(c.group(1), 16), int(c.group(2), 16))


def line_actions(driver, events):
    """The line moves in one run's trace events, as (time, "set dtr")."""
    actions = []
    levels = 0  # the port was closed before the run: both lines low
    for at, kind, (what, value) in events:
        if kind != driver:
            continue
        if driver == "uart" and what == MODEM_CONTROL:
            changed, levels = (value ^ levels) & (DTR | RTS), value & (DTR | RTS)
            actions += [(at, ("set " if value & bit else "clr ") + name)
                        for bit, name in ((DTR, "dtr"), (RTS, "rts")) if changed & bit]
        elif driver == "ftdi" and what == FTDI_SET_MODEM_CONTROL:
            mask, state = value >> 8, value & 0xFF
            actions += [(at, ("set " if state & bit else "clr ") + name)
                        for bit, name in ((DTR, "dtr"), (RTS, "rts")) if mask & bit]
    return actions


def clock_offset():
    """Epoch seconds minus the monotonic clock the simulator logs in."""
    samples = []
    for _ in range(5):
        before = time.clock_gettime(time.CLOCK_MONOTONIC)
        real = time.clock_gettime(time.CLOCK_REALTIME)
        after = time.clock_gettime(time.CLOCK_MONOTONIC)
        samples.append((after - before, real - (before + after) / 2))
    return min(samples)[1]


def read_sim_log(path, offset):
    data = []
    for line in (path.read_text() if path.exists() else "").splitlines():
        parts = line.split()
        if len(parts) >= 2 and parts[1] in ("rx", "tx"):
            data.append((float(parts[0]) + offset, parts[1], bytes(int(b, 16) for b in parts[2:])))
    return data


def read_marks(trace):
    """The guest's marks after boot: value -> time of its first write."""
    marks = {}
    for at, kind, (register, value) in trace:
        if kind == "uart" and register == SCRATCH and (value == BOOT_MARK or BOOT_MARK in marks):
            marks.setdefault(value, at)
    return marks


def read_reports(console):
    """The guest's report of each run: index -> (exit status, last bytes of output)."""
    return {int(m.group(1)): (int(m.group(2)), bytes.fromhex(m.group(3)))
            for m in re.finditer(r"@rig ran (\d+) status=(\d+) tail=([0-9a-f]*)", console)}


def read_asides(console):
    """Other programs' attempts during a run: index -> their output."""
    return {int(m.group(1)): bytes.fromhex(m.group(2)) for m in re.finditer(r"@rig aside (\d+) ([0-9a-f]*)", console)}


def judge(out, qemu_start):
    ports = read_ports(out)
    runs = plan(ports)
    trace = list(read_trace(out / "trace.log"))
    marks = read_marks(trace)
    booted = marks.get(BOOT_MARK)
    console = (out / "console.log").read_text(errors="replace") if (out / "console.log").exists() else ""
    reports = read_reports(console)
    asides = read_asides(console)
    offset = clock_offset()
    sim_logs = {p.name: read_sim_log(out / f"sim-{p.name}.log", offset) for p in ports}
    dumps = {p.name: (out / f"dump-{p.name}.bin").read_bytes() if (out / f"dump-{p.name}.bin").exists() else b""
             for p in ports}

    passed = failed = 0
    for problem in re.findall(r"@rig (missing .*|insmod .*)", console):
        print(f"FAIL guest: {problem.strip()}")
        failed += 1
    if booted is None:
        print(f"FAIL guest never booted (see {out}/console.log)")
        return 1
    print(f"rig: boot {booted - qemu_start:.1f} s (QEMU start to the guest's first run)")
    for run in runs:
        label = f"{run.check.name} over {run.port.name} ({DRIVERS[run.port.driver]})"
        if run.index not in reports or run.index not in marks or END_MARK + run.index not in marks:
            print(f"FAIL {label}: no report from the guest (see {out}/console.log)")
            failed += len(run.check.verdicts)
            continue
        run.status, run.tail = reports[run.index]
        run.begin, run.end = marks[run.index], marks[END_MARK + run.index]
        run.aside = asides.get(run.index, b"")
        run.trace = [e for e in trace if run.begin <= e[0] <= run.end]
        run.earlier = [e for e in trace if e[0] < run.begin]
        run.lines = line_actions(run.port.driver, run.trace)
        run.data = [d for d in sim_logs[run.port.name] if run.begin <= d[0] <= run.end]
        run.dump = dumps[run.port.name]
        run.out = out
        for verdict in run.check.verdicts:
            judged = verdict(run)
            if judged is None:
                continue
            ok, text = judged
            passed += ok
            failed += not ok
            print(f"{'ok  ' if ok else 'FAIL'} {label} [{run.end - run.begin:.2f} s]: {text}")
    done = marks.get(DONE_MARK)
    if done is not None:
        print(f"rig: runs {done - booted:.1f} s, QEMU start to last run {done - qemu_start:.1f} s")
    print(f"rig: {passed} passed, {failed} failed")
    return 1 if failed else 0


def unplug(out, limit_s, sim_pid):
    """Waits for the guest to say its unplug run has begun, lets the write get
    going, then removes the USB adapter through QEMU's QMP socket and notes
    when (epoch seconds) in OUT/unplug.time.

    The adapter's simulator is held still (SIGSTOP) from a moment before the
    removal until a moment after: QEMU 7.2 dereferences the removed device
    when bytes from its character device reach it after device_del, and dies
    of it. A pulled cable carries nothing either."""
    import json
    import signal
    import socket
    console = out / "console.log"
    give_up = time.time() + limit_s
    while time.time() < give_up:
        if console.exists() and "@rig unplug now" in console.read_text(errors="replace"):
            break
        time.sleep(0.05)
    else:
        return 1
    time.sleep(1.0)
    # The rig ends this process (SIGTERM) as soon as the guest is done, which
    # may be before the pause below is over: the simulator goes on all the same.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    os.kill(sim_pid, signal.SIGSTOP)
    try:
        time.sleep(0.1)  # what the simulator wrote reaches the adapter first
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as qmp:
            qmp.connect(str(out / "qmp.sock"))
            replies = qmp.makefile("r")
            replies.readline()  # the greeting
            for command in ({"execute": "qmp_capabilities"},
                            {"execute": "device_del", "arguments": {"id": "adapter"}}):
                qmp.sendall(json.dumps(command).encode() + b"\n")
                replies.readline()
            (out / "unplug.time").write_text(f"{time.time():.6f}\n")
        time.sleep(0.5)
    finally:
        os.kill(sim_pid, signal.SIGCONT)
    return 0


def prepare(out):
    rig = out / "root/rig"
    with open(rig / "plan", "w") as plan_file:
        for run in plan(read_ports(out)):
            plan_file.write(f"{run.index} {run.check.name} {run.port.name} {run.check.address:#x} "
                            f"{run.check.name}.bin\n")
    for check in CHECKS:
        (rig / f"{check.name}.bin").write_bytes(check.image())
    (rig / "lines").write_text(f"{CUSTOM_ENTER} {CUSTOM_LEAVE}\n")


def main(argv):
    command, out = argv[1], Path(argv[2])
    if command == "prepare":
        prepare(out)
        return 0
    if command == "sim-args":
        args = ["--dump", f"{DUMP_BASE:#x}:{DUMP_SIZE}:{out}/dump-{argv[3]}.bin",
                "--app-after", str(APP_AFTER_MS),
                "--app-banner", APP_BANNER.decode().replace("\r", "\\r").replace("\n", "\\n")]
        for rule in SIM_FAULTS:
            args += ["--fault", rule]
        print("\n".join(args))
        return 0
    if command == "verdict":
        return judge(out, float(argv[3]))
    if command == "unplug":
        return unplug(out, float(argv[3]), int(argv[4]))
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
