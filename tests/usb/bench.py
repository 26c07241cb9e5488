#!/usr/bin/env python3
"""The USB bench: a small Linux guest under QEMU whose emulated FTDI bridge
(usb-serial, 0403:6001) is wired to a virtual board on a host-side socket.
Inside the guest the same steps run over each stack -- FTDI's D2XX and our
libftdi1 provider on x86-64, the provider on i386 -- and every observable
result of a provider stack must equal D2XX's.

usage: bench.py --source DIR --build DIR [--build-i386 DIR] [--work DIR] [options]

Exit 0 when every check passed, 1 on a failure, 77 when the bench could not run
(or ran without FTDI's library, so nothing was compared); the reason is printed.
"""
import argparse
import glob
import gzip
import io
import json
import lzma
import os
import queue
import re
import shlex
import shutil
import signal
import socket
import statistics
import struct
import subprocess
import sys
import tarfile
import tempfile
import threading
import time

SKIP = 77
# Samples the reconnect step streams before each unplug and after the last replug.
RECONNECT_GAP = 500
SERIAL = "QV0001"
LONG_SERIAL = "QV0002-LONG-SERIAL"
MODULES = ["usb-common", "usbcore", "xhci-hcd", "xhci-pci", "usbserial", "ftdi_sio"]
MODULE_PATHS = {
    "usb-common": "drivers/usb/common/usb-common.ko",
    "usbcore": "drivers/usb/core/usbcore.ko",
    "xhci-hcd": "drivers/usb/host/xhci-hcd.ko",
    "xhci-pci": "drivers/usb/host/xhci-pci.ko",
    "usbserial": "drivers/usb/serial/usbserial.ko",
    "ftdi_sio": "drivers/usb/serial/ftdi_sio.ko",
}

LIB_DIRS = {
    "amd64": ["/lib/x86_64-linux-gnu", "/usr/lib/x86_64-linux-gnu", "/lib64", "/usr/lib64"],
    "i386": ["/usr/lib32", "/lib32", "/lib/i386-linux-gnu", "/usr/lib/i386-linux-gnu"],
}
INTERPRETER = {"amd64": "/lib64/ld-linux-x86-64.so.2", "i386": "/lib/ld-linux.so.2"}


class Skip(Exception):
    pass


def ahead():
    """Runs the child ahead of the machine's other work where it may: the guest's
    timing is the host's scheduling, and a fast-data answer has 2.5 ms."""
    try:
        os.setpriority(os.PRIO_PROCESS, 0, -10)
    except OSError:
        pass


def log(message):
    print(message, flush=True)


# ---------------------------------------------------------------- guest image


def elf_class(path):
    with open(path, "rb") as f:
        head = f.read(5)
    if head[:4] != b"\x7fELF":
        return None
    return "i386" if head[4] == 1 else "amd64"


def needed(path):
    out = subprocess.run(["readelf", "-d", path], capture_output=True, text=True).stdout
    return re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", out)


def find_library(soname, arch, extra_dirs):
    for d in extra_dirs + LIB_DIRS[arch]:
        candidate = os.path.join(d, soname)
        if os.path.exists(candidate) and elf_class(os.path.realpath(candidate)) == arch:
            return candidate
    return None


class Image:
    """The guest's initramfs, written as an uncompressed newc cpio."""

    def __init__(self):
        self.entries = {}  # path -> (mode, data or link target)

    def directory(self, path):
        parts = path.strip("/").split("/")
        for i in range(1, len(parts) + 1):
            self.entries.setdefault("/" + "/".join(parts[:i]), (0o040755, b""))

    def file(self, path, data, mode=0o100644):
        self.directory(os.path.dirname(path))
        self.entries[path] = (mode, data)

    def copy(self, path, source, strip=False, mode=None):
        if strip:
            # Debug sections only for kernel modules: their other symbols are how they load.
            how = "--strip-debug" if source.endswith(".ko") else "--strip-unneeded"
            with tempfile.NamedTemporaryFile() as stripped:
                subprocess.run(["strip", how, "-o", stripped.name, source], check=True)
                data = stripped.read()
        else:
            with open(source, "rb") as f:
                data = f.read()
        self.file(path, data, mode if mode is not None else (0o100755 if os.access(source, os.X_OK) else 0o100644))

    def symlink(self, path, target):
        self.directory(os.path.dirname(path))
        self.entries[path] = (0o120777, target.encode())

    def write(self, path):
        out = io.BytesIO()
        ino = 1
        for name in sorted(self.entries):
            mode, data = self.entries[name]
            encoded = name.lstrip("/").encode() + b"\0"
            header = "070701" + "".join("%08x" % v for v in (
                ino, mode, 0, 0, 2 if mode & 0o040000 else 1, 0, len(data), 0, 0, 0, 0, len(encoded), 0))
            out.write(header.encode() + encoded)
            out.write(b"\0" * (-(110 + len(encoded)) % 4))
            out.write(data)
            out.write(b"\0" * (-len(data) % 4))
            ino += 1
        trailer = b"TRAILER!!!\0"
        out.write(("070701" + "%08x" * 13 % (ino, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, len(trailer), 0)).encode() + trailer)
        out.write(b"\0" * (-(110 + len(trailer)) % 4))
        with open(path, "wb") as f:
            f.write(out.getvalue())


def kernel_files(cache):
    """vmlinux (uncompressed, booted through its PVH entry) and the modules, from
    Debian's kernel package in the cache, unpacked once."""
    packages = sorted(glob.glob(os.path.join(cache, "linux-image-*-amd64_*_amd64.deb")))
    if not packages:
        raise Skip(f"no kernel package (linux-image-*-amd64_*.deb) in {cache}: scripts/install-deps.sh downloads it")
    package = packages[-1]
    unpacked = os.path.join(cache, "unpacked-" + os.path.basename(package)[:-4])
    vmlinux = os.path.join(unpacked, "vmlinux")
    if not os.path.exists(vmlinux):
        tmp = unpacked + ".tmp"
        shutil.rmtree(tmp, ignore_errors=True)
        os.makedirs(os.path.join(tmp, "modules"))
        tar_stream = subprocess.Popen(["dpkg-deb", "--fsys-tarfile", package], stdout=subprocess.PIPE)
        wanted = {path: name for name, path in MODULE_PATHS.items()}
        vmlinuz = None
        with tarfile.open(fileobj=tar_stream.stdout, mode="r|") as tar:
            for member in tar:
                name = member.name.lstrip("./")
                if re.fullmatch(r"boot/vmlinuz-.*", name):
                    vmlinuz = tar.extractfile(member).read()
                    continue
                m = re.fullmatch(r"lib/modules/[^/]+/kernel/(.*)", name)
                if m and m.group(1) in wanted:
                    with open(os.path.join(tmp, "modules", wanted[m.group(1)] + ".ko"), "wb") as f:
                        f.write(tar.extractfile(member).read())
        tar_stream.wait()
        missing = [m for m in MODULES if not os.path.exists(os.path.join(tmp, "modules", m + ".ko"))]
        if vmlinuz is None or missing:
            raise Skip(f"{package} lacks {'vmlinuz' if vmlinuz is None else ', '.join(missing)}")
        # The bzImage carries the kernel as one xz stream; unpacked, QEMU boots it
        # at once instead of running the decompressor under emulation.
        start = vmlinuz.find(b"\xfd7zXZ\x00")
        if start < 0:
            raise Skip(f"{package}: the kernel image is not xz-compressed")
        with open(os.path.join(tmp, "vmlinux"), "wb") as f:
            f.write(lzma.LZMADecompressor().decompress(vmlinuz[start:]))
        os.replace(tmp, unpacked)
    return vmlinux, os.path.join(unpacked, "modules")


def add_program(image, arch, source, target, extra_dirs, libraries):
    """A program or library with everything it loads, under /opt/ARCH."""
    image.copy(target, source, strip=True, mode=0o100755)
    pending = list(needed(source))
    while pending:
        soname = pending.pop()
        if soname in libraries:
            continue
        found = find_library(soname, arch, extra_dirs)
        if not found:
            raise Skip(f"{source} needs {soname} ({arch}), which is not on this machine")
        libraries[soname] = found
        image.copy(f"/opt/{arch}/lib/{soname}", os.path.realpath(found), strip=True, mode=0o100755)
        pending.extend(needed(found))
    interpreter = INTERPRETER[arch]
    if interpreter not in image.entries:
        image.copy(interpreter, os.path.realpath(interpreter), mode=0o100755)


# ---------------------------------------------------------------- boards


class Board:
    """The virtual board behind one emulated bridge: qolven-sim-board on a Unix socket."""

    def __init__(self, args, path, device, log_path):
        self.path = path
        env = {k: v for k, v in os.environ.items() if not k.startswith("QOLVEN_SIM_")}
        command = [os.path.join(args.build, "bin", "qolven-sim-board"), *device.split(), "--socket", path,
                   "--off-ms", "1000"]
        self.log = open(log_path, "w")
        self.process = subprocess.Popen(command, env=env, stdout=self.log, stderr=subprocess.STDOUT,
                                        preexec_fn=ahead)
        deadline = time.monotonic() + 10
        while not os.path.exists(path):
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"the board on {path} did not start (see {log_path})")
            time.sleep(0.02)

    def power_cycle(self):
        self.process.send_signal(signal.SIGHUP)

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()


# ---------------------------------------------------------------- the run


class Monitor:
    def __init__(self, path):
        self.path = path

    def command(self, text):
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.settimeout(10)
        s.connect(self.path)
        buffer = b""
        while not buffer.endswith(b"(qemu) "):
            buffer += s.recv(4096)
        s.sendall(text.encode() + b"\n")
        buffer = b""
        while not buffer.endswith(b"(qemu) "):
            chunk = s.recv(4096)
            if not chunk:
                break
            buffer += chunk
        s.close()
        answer = re.sub(r"\x1b\[[0-9;]*[A-Za-z]|\r", "", buffer.decode(errors="replace"))
        if text in answer:
            answer = answer[answer.rfind(text) + len(text):]
        return answer.replace("(qemu) ", "").strip()


class Run:
    def __init__(self, args, work, kernel, initrd, boards):
        self.args = args
        self.work = work
        self.boards = boards
        self.monitor = Monitor(os.path.join(work, "monitor.sock"))
        self.steps = {}  # (stack, name) -> {"lines": [...], "rc": int}
        self.events = []
        self.chardev = [f"socket,id=c{i},path={b.path},reconnect=1" for i, b in enumerate(boards)]
        # The first bridge stays plugged in while its board is off, as a bridge
        # powered from USB does; the second comes and goes with the long-serial
        # steps, the third (the first's serial number again) with the twin steps.
        self.device = [f"usb-serial,id=u0,bus=xhci.0,chardev=c0,serial={SERIAL},always-plugged=on",
                       f"usb-serial,id=u1,bus=xhci.0,chardev=c1,serial={LONG_SERIAL},always-plugged=on",
                       f"usb-serial,id=u2,bus=xhci.0,chardev=c2,serial={SERIAL},always-plugged=on"]
        self.command = [
            args.qemu, "-accel", "tcg", "-m", "512", "-smp", "1", "-nographic", "-no-reboot", "-nic", "none",
            "-kernel", kernel, "-initrd", initrd, "-append", "console=ttyS0 quiet loglevel=1 panic=-1",
            "-device", "qemu-xhci,id=xhci",
            *[a for c in self.chardev for a in ("-chardev", c)],
            "-device", self.device[0],
            "-monitor", f"unix:{self.monitor.path},server=on,wait=off"]

    def event(self, text):
        stamp = time.monotonic() - self.start
        self.events.append(f"{stamp:8.3f} {text}")
        if self.args.verbose:
            log(f"  [{stamp:7.2f}s] {text}")

    def act(self, what):
        self.event(f"action {what}")
        if self.current is not None:
            self.current["marks"].append((what, time.monotonic() - self.start))
        if what == "unplug":
            self.monitor.command("device_del u0")
        elif what == "replug":
            answer = self.monitor.command(f"device_add {self.device[0]}")
            if answer:
                self.event(f"device_add: {answer}")
            if "rror" in answer:
                # Unplugging may take the character device with it.
                self.monitor.command(f"chardev-add {self.chardev[0]}")
                self.monitor.command(f"device_add {self.device[0]}")
        elif what == "powercycle":
            self.boards[0].power_cycle()
        elif what == "attach-long":
            self.monitor.command(f"device_add {self.device[1]}")
        elif what == "detach-long":
            self.monitor.command("device_del u1")
        elif what == "attach-twin":
            self.monitor.command(f"device_add {self.device[2]}")
        else:
            self.event(f"unknown action {what}")

    def run(self):
        console = open(os.path.join(self.work, "console.log"), "w")
        self.start = time.monotonic()
        monitor = self.monitor.path
        if os.path.exists(monitor):
            os.unlink(monitor)
        # QEMU's own messages (a board's socket not there for a moment) go to a
        # file of their own: they are not the guest's.
        qemu_log = open(os.path.join(self.work, "qemu.log"), "w")
        qemu = subprocess.Popen(self.command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, preexec_fn=ahead,
                                stderr=qemu_log)
        lines = queue.Queue()

        # Each line with the time it came: a reconnect is timed to the guest's line.
        def reader():
            for raw in qemu.stdout:
                lines.put((time.monotonic() - self.start, raw.decode(errors="replace").rstrip("\r\n")))
            lines.put(None)

        threading.Thread(target=reader, daemon=True).start()
        self.current = None
        deadline = self.start + self.args.timeout
        done = False
        try:
            while True:
                try:
                    item = lines.get(timeout=1)
                except queue.Empty:
                    item = ()
                if time.monotonic() > deadline:
                    self.event(f"no end within {self.args.timeout} s: stopping the guest")
                    break
                if item == ():
                    continue
                if item is None:
                    break
                came, line = item
                console.write(f"{came:8.3f} {line}\n")
                if line.startswith("@@ACTION "):
                    self.act(line.split()[1])
                elif line.startswith("@@RESUMED"):
                    if self.current is not None:
                        self.current["marks"].append(("resumed", came))
                elif line.startswith("@@STEP "):
                    _, stack, name = line.split()[:3]
                    self.current = self.steps.setdefault((stack, name), {"lines": [], "rc": None, "marks": []})
                    self.event(f"step {stack} {name}")
                elif line.startswith("@@END "):
                    m = re.search(r"rc=(\d+)", line)
                    if self.current is not None and m:
                        self.current["rc"] = int(m.group(1))
                    self.current = None
                elif line.startswith("@@DONE"):
                    done = True
                    self.event("guest done")
                elif line.startswith("@@"):
                    self.event(line)
                elif self.current is not None:
                    self.current["lines"].append(line)
        finally:
            if qemu.poll() is None:
                try:
                    self.monitor.command("quit")
                except OSError:
                    pass
                try:
                    qemu.wait(10)
                except subprocess.TimeoutExpired:
                    qemu.kill()
                    qemu.wait()
            console.close()
            qemu_log.close()
        self.seconds = time.monotonic() - self.start
        return done


# ---------------------------------------------------------------- checks

# Steps whose output holds live values or counts that differ between runs:
# their digits are not compared.
VARYING = {"tool-read", "minimal", "tool-stream", "tool-unplug", "tool-power-cycle", "probe-exchanges"}
# What each step must give, whatever the reference does; a dict where D2XX
# and the provider differ on purpose.
EXPECTED_RC = {
    "sio-list": 0, "sio-open": {"d2xx": 1, "provider": 0}, "sio-drivers": 0,
    "probe-list": 0, "probe-calls": 0, "probe-exchanges": 0, "probe-opened-elsewhere": 0, "probe-unplug": 0,
    "tool-list": 0, "tool-info": 0, "tool-info-serial": 0, "tool-info-missing": 4, "tool-get": 0, "tool-set": 0,
    "tool-get-again": 0, "tool-set-back": 0, "tool-read": 0, "tool-stream": 0, "minimal": 0,
    "tool-unplug": 0, "tool-power-cycle": 0, "tool-reconnect": 0,
    "long-sio-open": {"d2xx": 1, "provider": 0}, "long-sio-drivers": 0, "long-probe-list": 0, "long-probe": 0,
    "long-tool-list": 0, "long-tool-info": 0, "long-tool-info-long": None,
    "twin-list": 0, "twin-open-serial": {"d2xx": 0, "provider": 4}, "twin-open-path": {"d2xx": 1, "provider": 0},
}
# D2XX leaves a bridge that ftdi_sio holds alone (open gives status 3, its
# node is marked open with no strings); the provider detaches ftdi_sio from the
# bridge it opens, and from no other.  These steps are checked against these
# lines, not against D2XX.
OWN_LINES = {
    "sio-list": {"d2xx": [], "provider": []},
    "sio-open": {"d2xx": ["open status=3"], "provider": ["open status=0", "exchange status=0 length=8"]},
    "sio-drivers": {"d2xx": [f"driver {SERIAL} ftdi_sio"], "provider": [f"driver {SERIAL} none"]},
    "long-sio-open": {"d2xx": ["open status=3"], "provider": ["open status=0"]},
    "long-sio-drivers": {"d2xx": [f"driver {SERIAL} ftdi_sio", f"driver {LONG_SERIAL} ftdi_sio"],
                         "provider": [f"driver {SERIAL} none", f"driver {LONG_SERIAL} ftdi_sio"]},
    # Two bridges with one serial number: D2XX lists the serial twice and opens
    # one of them by it; the provider lists each by the USB path that opens it
    # and refuses the serial number.
    "twin-list": {"d2xx": ["listed by serial 2", "listed by path 0"],
                  "provider": ["listed by serial 0", "listed by path 2"]},
    "twin-open-serial": {"d2xx": [], "provider": []},
    "twin-open-path": {"d2xx": ["no bridge listed by its path"], "provider": ["answers yes"]},
}


def kind(stack):
    return "d2xx" if stack == "d2xx" else "provider"


# Where the tool is when the bridge or the board goes away is a matter of
# timing: which request failed is not compared, how it failed is.
WHICH_REQUEST = {"tool-unplug", "tool-power-cycle"}


def comparable(name, lines):
    out = []
    for line in lines:
        if line.startswith("figure ") or line.startswith("note "):
            continue
        # Which bridge library a stack uses is its own (checked in check()).
        if re.match(r"(stderr: qolven: bridge library: |bridge |bridge-library )", line):
            continue
        if name in VARYING:
            line = re.sub(r"\d+(\.\d+)?", "#", line)
        # A location is the bus and the device's address, and the address
        # changes with every plug-in: only the bus is the same in every stack.
        line = re.sub(r"locid=([0-9a-f]{6})[0-9a-f]{2}", r"locid-bus=\1", line)
        if name in WHICH_REQUEST:
            line = re.sub(r"^stderr: qolven: [\w .#-]+: ", "stderr: qolven: (a request): ", line)
        out.append(line)
    return out


WARNING = re.compile(r"stderr: qolven: warning: (\w+) at ([\d.]+) s \(sample (\d+)\): (.*)")
LOST_IN_WARNING = re.compile(r"(?:^|; )(\d+) samples lost")


def reconnect_results(step, replugs, power_cycles, gap):
    """What one stream through `replugs` unplug/replug cycles and `power_cycles`
    board power cycles showed, and what was wrong with it."""
    cycles = replugs + power_cycles
    lines, found = step["lines"], []
    warnings = []  # (kind, first sample after the gap, samples lost)
    for line in lines:
        m = WARNING.match(line)
        if m:
            lost = LOST_IN_WARNING.search(m.group(4))
            warnings.append((m.group(1), int(m.group(3)), int(lost.group(1)) if lost else None))
    gaps = [tuple(map(int, l.split()[1:])) for l in lines if re.fullmatch(r"gap \d+ \d+ -?\d+", l)]
    proc = {}
    for line in lines:
        m = re.fullmatch(r"proc (\S+) fd (\d+) threads (\d+) rss-kb (\d+)", line)
        if m:
            proc[m.group(1)] = {"fd": int(m.group(2)), "threads": int(m.group(3)), "rss-kb": int(m.group(4))}
    exit_line = next((l for l in lines if l.startswith("stream-exit ")), None)
    rows = next((int(l.split()[1]) for l in lines if re.fullmatch(r"rows \d+", l)), None)
    if exit_line != "stream-exit 0":
        found.append(f"the stream did not end with exit 0 ({exit_line or 'no exit code'})")
    if rows != (cycles + 1) * gap:
        found.append(f"the stream wrote {rows} rows, not the {(cycles + 1) * gap} asked for")
    reconnected = [w for w in warnings if w[0] == "reconnected"]
    disconnected = [w for w in warnings if w[0] == "disconnected"]
    if len(reconnected) != cycles or len(disconnected) != cycles:
        found.append(f"{len(disconnected)} disconnected and {len(reconnected)} reconnected warnings "
                     f"for {cycles} cycles")
    # Every gap in the sample column is a warning's count, and every count a gap.
    told = {(w[1], w[2]) for w in warnings if w[0] in ("reconnected", "lost") and w[2]}
    for before, after, missing in gaps:
        if (after, missing) not in told:
            found.append(f"{missing} samples missing between samples {before} and {after}, "
                         "and no warning gives them")
    shown = {(after, missing) for _, after, missing in gaps}
    for kind, sample, lost in warnings:
        if kind in ("reconnected", "lost") and lost and (sample, lost) not in shown:
            found.append(f"a {kind} warning gives {lost} samples lost before sample {sample}, "
                         "but the sample column has no such gap")
    # From the host's device_add (or its power cycle of the board) to the
    # guest's line that the tool gave its reconnected warning.
    times = {"replug": [], "powercycle": []}
    unplugged = []  # device_del to device_add: how long the stream had no bridge
    cause = unplug = None
    for what, t in step.get("marks", []):
        if what == "unplug":
            unplug = t
        if what == "replug" and unplug is not None:
            unplugged.append((t - unplug) * 1000)
        if what in times:
            cause = (what, t)
        elif what == "resumed":
            if cause is None:
                found.append("the stream resumed with no replug or power cycle before")
            else:
                times[cause[0]].append((t - cause[1]) * 1000)
                cause = None
    if len(times["replug"]) != replugs or len(times["powercycle"]) != power_cycles:
        found.append(f"{len(times['replug'])} replugs and {len(times['powercycle'])} power cycles followed by "
                     f"samples, for {replugs} and {power_cycles}")
    # The reader's descriptors and threads after the first cycle are all it
    # needs: the later cycles add none.
    first, last = proc.get("after-first"), proc.get("after-last")
    if not first or not last:
        found.append("no descriptor and thread counts after the first and the last cycle")
    else:
        for what in ("fd", "threads"):
            if last[what] != first[what]:
                found.append(f"{what}: {first[what]} after the first cycle, {last[what]} after the last")
    return {"replug-to-sample-ms": times["replug"], "power-cycle-to-sample-ms": times["powercycle"],
            "unplugged-ms": unplugged, "lost": [w[2] for w in reconnected], "gaps": len(gaps),
            "lost-warnings": sum(1 for w in warnings if w[0] == "lost"), "proc": proc}, found


def check(run, stacks, reference):
    failures = []
    for (stack, name), step in sorted(run.steps.items()):
        if stack not in stacks:
            continue
        expected = EXPECTED_RC.get(name)
        if isinstance(expected, dict):
            expected = expected[kind(stack)]
        if expected is not None and step["rc"] != expected:
            failures.append(f"{stack} {name}: exit {step['rc']}, expected {expected}")
        if name == "tool-list":
            library = "d2xx" if kind(stack) == "d2xx" else "ftdi1"
            if not any(l.startswith("stderr: qolven: bridge library: " + library + " ") for l in step["lines"]):
                failures.append(f"{stack} {name}: the bridge library named is not {library}")
        if name == "tool-reconnect":
            _, found = reconnect_results(step, run.args.reconnect_cycles, run.args.reconnect_power_cycles,
                                         RECONNECT_GAP)
            failures.extend(f"{stack} {name}: {f}" for f in found)
            continue
        if name in OWN_LINES:
            for line in OWN_LINES[name][kind(stack)]:
                if line not in step["lines"]:
                    failures.append(f"{stack} {name}: no line \"{line}\"")
            continue
        if reference is None or stack == reference:
            continue
        ref = run.steps.get((reference, name))
        if ref is None:
            failures.append(f"{stack} {name}: no such step over {reference}")
            continue
        a, b = comparable(name, ref["lines"]), comparable(name, step["lines"])
        found = []
        if ref["rc"] != step["rc"]:
            found.append(f"{stack} {name}: exit {step['rc']}, {reference} exit {ref['rc']}")
        if a != b:
            diff = [f"    {reference}: {x}" for x in a if x not in b] + [f"    {stack}: {x}" for x in b if x not in a]
            if not diff:
                diff = ["    (the same lines in another order)"]
            found.append(f"{stack} {name}: output differs from {reference}\n" + "\n".join(diff[:20]))
        failures.extend(found)
    for stack in stacks:
        missing = sorted(n for n in EXPECTED_RC if (stack, n) not in run.steps
                         and (n != "tool-reconnect" or run.args.reconnect_cycles + run.args.reconnect_power_cycles))
        if missing:
            failures.append(f"{stack}: steps that did not run: {', '.join(missing)}")
    return failures


def figures(run, stacks):
    table = {}
    for (stack, name), step in run.steps.items():
        for line in step["lines"]:
            m = re.match(r"figure (\S+) ([\d.]+) (\S+)", line)
            if m:
                table.setdefault(stack, {}).setdefault(f"{name}:{m.group(1)}", float(m.group(2)))
    return table


# ---------------------------------------------------------------- main


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--source", required=True)
    parser.add_argument("--build", required=True, help="the x86-64 build directory")
    parser.add_argument("--build-i386", help="the i386 build directory (its tool, library and provider)")
    parser.add_argument("--d2xx", help="FTDI's libftd2xx.so for x86-64")
    parser.add_argument("--cache", default=os.path.join(
        os.environ.get("QOLVEN_CACHE_DIR") or os.path.join(
            os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"), "qolven"), "usb-bench"))
    parser.add_argument("--work", default=None)
    parser.add_argument("--qemu", default="qemu-system-x86_64")
    parser.add_argument("--stream-seconds", type=int, default=1)
    parser.add_argument("--exchanges", type=int, default=300)
    parser.add_argument("--reconnect-cycles", type=int, default=2,
                        help="unplug/replug cycles of the bridge under one stream, per stack")
    parser.add_argument("--reconnect-power-cycles", type=int, default=1,
                        help="board power cycles under the same stream, after the replugs")
    parser.add_argument("--timeout", type=float, default=None,
                        help="seconds the guest has (170, and 8 more per reconnect or power cycle and stack)")
    parser.add_argument("--figures", help="write the figures as JSON to this file")
    parser.add_argument("--only-steps", default="", help="run only these steps (names, space-separated)")
    parser.add_argument("--extra", default="", help="a shell command run in the guest as the step 'extra'")
    parser.add_argument("--stacks", default="", help="run only these stacks (d2xx ftdi1 ftdi1-i386)")
    parser.add_argument("--verbose", action="store_true")
    args = parser.parse_args()
    work = args.work or os.path.join(args.build, "usb-bench")
    os.makedirs(work, exist_ok=True)
    started = time.monotonic()
    try:
        return bench(args, work, started)
    except Skip as why:
        log(f"skipped: {why}")
        return SKIP


def bench(args, work, started):
    if not shutil.which(args.qemu):
        raise Skip(f"no QEMU ({args.qemu}): scripts/install-deps.sh installs qemu-system-x86")
    if not os.path.exists("/bin/busybox") or "statically linked" not in subprocess.run(
            ["file", "-L", "/bin/busybox"], capture_output=True, text=True).stdout:
        raise Skip("no static busybox (/bin/busybox): scripts/install-deps.sh installs busybox-static")
    vmlinux, modules = kernel_files(args.cache)

    image = Image()
    image.copy("/init", os.path.join(args.source, "tests/usb/guest/init"), mode=0o100755)
    image.copy("/bench/steps.sh", os.path.join(args.source, "tests/usb/guest/steps.sh"))
    image.copy("/bench/hotplug", os.path.join(args.source, "tests/usb/guest/hotplug"), mode=0o100755)
    image.copy("/bin/busybox", "/bin/busybox", mode=0o100755)
    for m in MODULES:
        image.copy(f"/lib/modules/{m}.ko", os.path.join(modules, m + ".ko"), strip=True)
    for mount_point in ("/proc", "/sys", "/dev", "/tmp", "/run"):
        image.directory(mount_point)

    stacks, skipped = [], []
    build = args.build
    libraries = {"amd64": {}, "i386": {}}
    lib64 = os.path.join(build, "lib")
    for name in ["bin/qolven", "bin/ft_probe", "bin/usb_minimal_ftdi1", "lib/libqolven_ftdi1.so.1",
                 "bin/qolven-sim-board"]:
        path = os.path.join(build, name)
        if not os.path.exists(path):
            raise Skip(f"{path} is not built")
    add_program(image, "amd64", os.path.join(build, "bin/qolven"), "/opt/amd64/bin/qolven", [lib64], libraries["amd64"])
    add_program(image, "amd64", os.path.join(build, "bin/ft_probe"), "/opt/amd64/bin/ft_probe", [lib64], libraries["amd64"])
    add_program(image, "amd64", os.path.join(build, "lib/libqolven_ftdi1.so.1"), "/opt/amd64/lib/libqolven_ftdi1.so.1",
                [lib64], libraries["amd64"])
    add_program(image, "amd64", os.path.join(build, "bin/usb_minimal_ftdi1"), "/opt/amd64/bin/minimal-ftdi1",
                [lib64], libraries["amd64"])
    d2xx = args.d2xx if args.d2xx and os.path.exists(args.d2xx) else None
    minimal_d2xx = os.path.join(build, "bin/usb_minimal_d2xx")
    if d2xx and os.path.exists(minimal_d2xx):
        add_program(image, "amd64", d2xx, "/opt/amd64/lib/libftd2xx.so", [lib64], libraries["amd64"])
        add_program(image, "amd64", minimal_d2xx, "/opt/amd64/bin/minimal-d2xx", [lib64, os.path.dirname(d2xx)],
                    libraries["amd64"])
        stacks.append(("d2xx", "amd64", "/opt/amd64/lib/libftd2xx.so", "minimal-d2xx", "d2xx"))
    else:
        skipped.append("FTDI's D2XX: its library is not there (scripts/fetch-d2xx.sh), so nothing is compared")
    stacks.append(("ftdi1", "amd64", "/opt/amd64/lib/libqolven_ftdi1.so.1", "minimal-ftdi1", "ftdi1"))

    b32 = args.build_i386
    i386_files = [os.path.join(b32 or "", p) for p in
                  ("bin/qolven", "bin/ft_probe", "bin/usb_minimal_ftdi1", "lib/libqolven_ftdi1.so.1")]
    if b32 and all(os.path.exists(p) for p in i386_files):
        lib32 = os.path.join(b32, "lib")
        add_program(image, "i386", i386_files[0], "/opt/i386/bin/qolven", [lib32], libraries["i386"])
        add_program(image, "i386", i386_files[1], "/opt/i386/bin/ft_probe", [lib32], libraries["i386"])
        add_program(image, "i386", i386_files[2], "/opt/i386/bin/minimal-ftdi1", [lib32], libraries["i386"])
        add_program(image, "i386", i386_files[3], "/opt/i386/lib/libqolven_ftdi1.so.1", [lib32], libraries["i386"])
        stacks.append(("ftdi1-i386", "i386", "/opt/i386/lib/libqolven_ftdi1.so.1", "minimal-ftdi1", "ftdi1"))
    else:
        missing = [p for p in i386_files if not os.path.exists(p)]
        skipped.append(f"the i386 stack: {', '.join(missing) or 'no i386 build directory'} not built "
                       "(build the i386 preset first)")

    config = (f"SERIAL={SERIAL}\nLONG_SERIAL={LONG_SERIAL}\nSTREAM_SECONDS={args.stream_seconds}\n"
              f"EXCHANGES={args.exchanges}\nRECONNECT_CYCLES={args.reconnect_cycles}\n"
              f"RECONNECT_POWER_CYCLES={args.reconnect_power_cycles}\nRECONNECT_GAP={RECONNECT_GAP}\n"
              f"ONLY_STEPS={shlex.quote(args.only_steps)}\nEXTRA={shlex.quote(args.extra)}\n")
    if args.stacks:
        stacks = [s for s in stacks if s[0] in args.stacks.split()]
    if args.timeout is None:
        args.timeout = 170 + 8 * (args.reconnect_cycles + args.reconnect_power_cycles) * len(stacks)
    image.file("/bench/config", config.encode())
    image.file("/bench/stacks", "".join(" ".join(s) + "\n" for s in stacks).encode())
    initrd = os.path.join(work, "initrd.cpio")
    image.write(initrd)
    log(f"guest image: {os.path.getsize(initrd) // 1024} KiB, stacks: {', '.join(s[0] for s in stacks)}")
    for why in skipped:
        log(f"part skipped: {why}")

    boards = []
    try:
        # The answer comes at once, not after the simulator's usual 1.5 ms: the
        # emulated bus adds about a millisecond, and a fast-data answer must be
        # there 2.5 ms after its request.
        for i, device in enumerate([f"type=2 serial={SERIAL} delay_us=0", f"type=2 serial={LONG_SERIAL} delay_us=0",
                                    "type=2 serial=TWIN delay_us=0"]):
            boards.append(Board(args, os.path.join(work, f"board{i}.sock"), device, os.path.join(work, f"board{i}.log")))
        run = Run(args, work, vmlinux, initrd, boards)
        done = run.run()
    finally:
        for b in boards:
            b.stop()
    with open(os.path.join(work, "events.log"), "w") as f:
        f.write("\n".join(run.events) + "\n")
    with open(os.path.join(work, "steps.json"), "w") as f:
        json.dump({f"{s} {n}": v for (s, n), v in sorted(run.steps.items())}, f, indent=1)

    names = [s[0] for s in stacks]
    reference = "d2xx" if "d2xx" in names else "ftdi1"
    failures = check(run, names, reference)
    if not done:
        failures.insert(0, f"the guest did not finish its steps (console.log in {work})")
    table = figures(run, names)
    reconnects = {stack: reconnect_results(run.steps[(stack, "tool-reconnect")], args.reconnect_cycles,
                                           args.reconnect_power_cycles, RECONNECT_GAP)[0]
                  for stack in names if (stack, "tool-reconnect") in run.steps}
    if args.figures:
        with open(args.figures, "w") as f:
            json.dump(dict(table, reconnect=reconnects), f, indent=1, sort_keys=True)
    # Every step's duration is in the JSON; of them the table shows whole tool commands.
    shown = {"tool-list:step-ms", "tool-info-serial:step-ms", "tool-get:step-ms", "tool-set:step-ms",
             "minimal:step-ms"}
    keys = sorted({k for v in table.values() for k in v if not k.endswith(":step-ms") or k in shown})
    if keys:
        log("figures (ms):")
        log("  " + "".join(f"{n:>14}" for n in names) + "  what")
        for k in keys:
            log("  " + "".join(f"{table.get(n, {}).get(k, float('nan')):14.3f}" for n in names) + f"  {k}")
    for stack, r in reconnects.items():
        for key, what in (("unplugged-ms", "unplug (device_del) to replug"),
                          ("replug-to-sample-ms", "replug (device_add) to samples again"),
                          ("power-cycle-to-sample-ms", "board power cycle (1 s off) to samples again")):
            times = r[key]
            if times:
                log(f"reconnect {stack}: {len(times)} x {what}, ms: median "
                    f"{statistics.median(times):.0f}, max {max(times):.0f}; each {' '.join(f'{t:.0f}' for t in times)}")
        log(f"reconnect {stack}: samples lost per cycle {' '.join(map(str, r['lost']))}; {r['gaps']} gaps, "
            f"{r['lost-warnings']} lost warnings besides")
        for when, p in r["proc"].items():
            log(f"reconnect {stack}: {when}: {p['fd']} descriptors, {p['threads']} threads, {p['rss-kb']} kB resident")
    for why in skipped:
        log(f"part skipped: {why}")
    total = time.monotonic() - started
    log(f"guest ran {run.seconds:.1f} s, bench {total:.1f} s; logs in {work}")
    if failures:
        log(f"{len(failures)} failure(s):")
        for f in failures:
            log(f"FAIL {f}")
        return 1
    if reference != "d2xx":
        log("skipped: FTDI's D2XX is not there, so the provider was not compared with it "
            "(the provider's own checks passed)")
        return SKIP
    log(f"passed: {', '.join(names)} agree with {reference}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
