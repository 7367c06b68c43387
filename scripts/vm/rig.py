#!/usr/bin/env python3
"""The host side of the virtual-machine rig (scripts/vmtest.sh).

Boots the guest under QEMU with two FTDI USB-serial adapters and a 16550
UART whose host ends are pseudo-terminals held here, drives the program's
window inside the guest over a control port, reads what the guest's drivers
asked of the emulated hardware from QEMU's trace, and prints one line per
check and a closing "N passed, N failed" line.
"""
import argparse
import base64
import faulthandler
import signal
import os
import pty
import re
import select
import socket
import subprocess
import sys
import termios
import threading
import time
import tty

import checks
from common import SERIAL_A, SERIAL_B, RigError, b64d


class Pty:
    """A pseudo-terminal: QEMU opens the slave as the device's wire, the rig
    holds the master (the device's end)."""

    def __init__(self):
        self.master, self.slave = pty.openpty()
        tty.setraw(self.slave)
        os.set_blocking(self.master, False)
        self.path = os.ttyname(self.slave)

    def drain(self):
        got = bytearray()
        while True:
            try:
                chunk = os.read(self.master, 65536)
            except (BlockingIOError, OSError):
                break
            if not chunk:
                break
            got += chunk
        return bytes(got)

    def read_until(self, want, timeout):
        got = bytearray()
        end = time.monotonic() + timeout
        while len(got) < want and time.monotonic() < end:
            r, _, _ = select.select([self.master], [], [], 0.2)
            if r:
                try:
                    got += os.read(self.master, 65536)
                except BlockingIOError:
                    pass
        return bytes(got)

    def write_all(self, data, timeout):
        view = memoryview(data)
        end = time.monotonic() + timeout
        while view and time.monotonic() < end:
            _, w, _ = select.select([], [self.master], [], 0.2)
            if w:
                try:
                    n = os.write(self.master, view[:4096])
                    view = view[n:]
                except BlockingIOError:
                    pass
        return len(data) - len(view)

    def speed(self):
        attrs = termios.tcgetattr(self.master)
        return attrs[5]


class Line:
    """A line-based channel over a UNIX socket that QEMU serves."""

    def __init__(self, path, timeout=60):
        end = time.monotonic() + timeout
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                self.sock.connect(path)
                break
            except OSError:
                self.sock.close()
                if time.monotonic() > end:
                    raise RigError("no connection to " + path)
                time.sleep(0.1)
        self.buf = b""
        # One request and its answer at a time: checks run side by side.
        self.lock = threading.RLock()

    log = None

    last = ""

    def send(self, text):
        self.last = text[:60]
        if Line.log:
            Line.log.write("%.3f > %s\n" % (time.monotonic(), text[:200]))
            Line.log.flush()
        self.sock.sendall(text.encode() + b"\n")

    def read_line(self, timeout):
        end = time.monotonic() + timeout
        while b"\n" not in self.buf:
            left = end - time.monotonic()
            if left <= 0:
                raise RigError("no answer within %d s to '%s'" % (timeout, self.last))
            r, _, _ = select.select([self.sock], [], [], left)
            if r:
                chunk = self.sock.recv(65536)
                if not chunk:
                    raise RigError("the channel closed")
                self.buf += chunk
        line, self.buf = self.buf.split(b"\n", 1)
        if Line.log:
            Line.log.write("%.3f < %s\n" % (time.monotonic(), line[:300].decode("utf-8", "replace")))
            Line.log.flush()
        return line.decode("utf-8", "replace").rstrip("\r")

    def read_until(self, text, timeout):
        end = time.monotonic() + timeout
        data = b""
        while text.encode() not in self.buf + data:
            left = end - time.monotonic()
            if left <= 0:
                raise RigError("no '%s' within %d s" % (text, timeout))
            r, _, _ = select.select([self.sock], [], [], left)
            if r:
                chunk = self.sock.recv(65536)
                if not chunk:
                    raise RigError("the channel closed")
                data += chunk
        all_ = self.buf + data
        i = all_.index(text.encode()) + len(text)
        self.buf = all_[i:]
        return all_[:i].decode("utf-8", "replace")


class Trace:
    """QEMU's trace file: what the guest's drivers asked of the emulated
    hardware."""

    def __init__(self, path):
        self.path = path
        self.pos = 0

    def mark(self):
        self.pos = os.path.getsize(self.path) if os.path.exists(self.path) else 0

    def all_lines(self):
        if not os.path.exists(self.path):
            return []
        with open(self.path, "rb") as f:
            return f.read().decode("utf-8", "replace").splitlines()

    def since(self):
        if not os.path.exists(self.path):
            return []
        with open(self.path, "rb") as f:
            f.seek(self.pos)
            return f.read().decode("utf-8", "replace").splitlines()

    def wait(self, pattern, timeout=5.0):
        """The last line since the mark that matches, waiting for it."""
        rx = re.compile(pattern)
        end = time.monotonic() + timeout
        while True:
            hits = [m for m in (rx.search(l) for l in self.since()) if m]
            if hits:
                return hits[-1]
            if time.monotonic() > end:
                return None
            time.sleep(0.05)


class Rig:
    def __init__(self, args):
        self.args = args
        self.work = args.work
        self.results = []
        self.ptys = {}
        self.qemu = None
        self.accel = "?"

    # -- results ---------------------------------------------------------
    def result(self, number, name, ok, text, t0=None):
        self.results.append(ok)
        now = time.monotonic()
        took = now - (t0 if t0 is not None else getattr(self, "t_last", now))
        self.t_last = now
        print("check %s %s: %s (%.0f s): %s" % (number, "PASS" if ok else "FAIL", name, took, text), flush=True)

    def note(self, text):
        """A line for the run's log (rig.log), not for the output."""
        if Line.log:
            Line.log.write("%.3f # %s\n" % (time.monotonic(), text))
            Line.log.flush()

    # -- the machine -----------------------------------------------------
    def start(self):
        a = self.args
        for name in ("uart", "ftdiA", "ftdiB"):
            self.ptys[name] = Pty()
        self.mon_path = os.path.join(self.work, "monitor.sock")
        self.ctl_path = os.path.join(self.work, "control.sock")
        self.app_path = os.path.join(self.work, "program.sock")
        self.app2_path = os.path.join(self.work, "program2.sock")
        self.app3_path = os.path.join(self.work, "program3.sock")
        self.trace = Trace(os.path.join(self.work, "trace.log"))
        for p in (self.mon_path, self.ctl_path, self.app_path, self.app2_path, self.app3_path, self.trace.path):
            if os.path.exists(p):
                os.unlink(p)
        accel = ["-accel", "kvm"] if a.kvm and self.kvm_works() else ["-accel", "tcg,thread=multi"]
        cmd = [a.qemu, "-machine", "pc"] + accel + [
            "-m", str(a.memory), "-smp", str(a.cpus), "-nodefaults", "-no-user-config",
            "-display", "none", "-vga", "none", "-no-reboot",
            "-kernel", a.kernel, "-initrd", a.initrd,
            "-append", "root=/dev/vda rw console=ttyS0 panic=-1 quiet loglevel=4 "
                       "systemd.show_status=0 net.ifnames=0 "
                       # The guest side settles udev itself, after the
                       # rest of the boot rather than before it.
                       "systemd.mask=systemd-udev-settle.service",
            "-drive", "file=%s,if=virtio,format=raw,snapshot=on" % a.image,
            "-chardev", "file,id=con,path=%s" % os.path.join(self.work, "console.log"),
            "-device", "isa-serial,chardev=con,index=0",
            "-chardev", "serial,id=uart,path=%s" % self.ptys["uart"].path,
            "-device", "isa-serial,chardev=uart,index=1",
            "-device", "qemu-xhci,id=xhci",
            "-chardev", "serial,id=ftdiA,path=%s" % self.ptys["ftdiA"].path,
            "-device", "usb-serial,id=usbA,bus=xhci.0,chardev=ftdiA,serial=%s" % SERIAL_A,
            "-chardev", "serial,id=ftdiB,path=%s" % self.ptys["ftdiB"].path,
            "-device", "usb-serial,id=usbB,bus=xhci.0,chardev=ftdiB,serial=%s" % SERIAL_B,
            "-fsdev", "local,id=share,path=%s,security_model=none" % a.share,
            "-device", "virtio-9p-pci,fsdev=share,mount_tag=host",
            "-device", "virtio-serial-pci",
            "-chardev", "socket,id=ctl,path=%s,server=on,wait=off" % self.ctl_path,
            "-device", "virtserialport,chardev=ctl,name=kvl.ctl",
            "-chardev", "socket,id=app,path=%s,server=on,wait=off" % self.app_path,
            "-device", "virtserialport,chardev=app,name=kvl.app",
            "-chardev", "socket,id=app2,path=%s,server=on,wait=off" % self.app2_path,
            "-device", "virtserialport,chardev=app2,name=kvl.app2",
            "-chardev", "socket,id=app3,path=%s,server=on,wait=off" % self.app3_path,
            "-device", "virtserialport,chardev=app3,name=kvl.app3",
            "-monitor", "unix:%s,server=on,wait=off" % self.mon_path,
            "-trace", "usb_serial_*", "-trace", "serial_update_parameters",
            "-D", self.trace.path,
            "-pidfile", os.path.join(self.work, "qemu.pid"),
        ]
        self.qemu_log = open(os.path.join(self.work, "qemu.log"), "w")
        self.t_boot = time.monotonic()
        self.qemu = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=self.qemu_log,
                                     stderr=subprocess.STDOUT)
        self.mon = Line(self.mon_path)
        self.mon.read_until("(qemu) ", 30)
        info = self.hmp("info kvm")
        self.accel = "KVM" if "enabled" in info and "disabled" not in info else "TCG"
        self.ctl = Line(self.ctl_path)
        self.app = Line(self.app_path)
        self.app2 = Line(self.app2_path)
        self.app3 = Line(self.app3_path)
        hello = self.ctl.read_line(a.boot_timeout)
        while not hello.startswith("hello"):
            hello = self.ctl.read_line(a.boot_timeout)
        self.boot_seconds = time.monotonic() - self.t_boot
        self.t_last = time.monotonic()
        print("== guest up in %.0f s (%s, %d vCPU, %d MiB, kernel %s)" %
              (self.boot_seconds, self.accel, a.cpus, a.memory, hello.split()[1]), flush=True)

    def kvm_works(self):
        """Whether a guest really runs under KVM here: inside some virtual
        machines /dev/kvm opens but a guest never gets past its first
        instructions. The kernel alone must say hello within 15 s. The
        verdict is kept (per host kernel and QEMU) so that later runs do not
        wait for it again."""
        verdict = self.args.kvm_verdict
        if verdict and os.path.exists(verdict):
            with open(verdict) as f:
                return f.read().strip() == "works"
        works = self.probe_kvm()
        if verdict:
            try:
                with open(verdict, "w") as f:
                    f.write("works\n" if works else "hangs\n")
            except OSError:
                pass
        return works

    def probe_kvm(self):
        log = os.path.join(self.work, "kvm-probe.log")
        probe = subprocess.Popen(
            [self.args.qemu, "-machine", "pc", "-accel", "kvm", "-m", "256", "-nodefaults",
             "-display", "none", "-no-reboot", "-kernel", self.args.kernel,
             "-append", "console=ttyS0 panic=-1", "-serial", "file:" + log],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        end = time.monotonic() + 15
        works = False
        while time.monotonic() < end and probe.poll() is None:
            try:
                with open(log, "rb") as f:
                    if b"Linux version" in f.read():
                        works = True
                        break
            except OSError:
                pass
            time.sleep(0.2)
        probe.kill()
        probe.wait()
        return works

    def stop(self):
        if self.qemu and self.qemu.poll() is None:
            try:
                self.hmp("quit")
            except Exception:
                pass
            try:
                self.qemu.wait(10)
            except subprocess.TimeoutExpired:
                self.qemu.kill()
                self.qemu.wait()

    def hmp(self, command):
        with self.mon.lock:
            self.mon.send(command)
            return self.mon.read_until("(qemu) ", 30)

    def usb_address(self, dev_id):
        """Bus and address of a USB device as the trace names it."""
        for line in self.hmp("info usb").splitlines():
            m = re.search(r"Device (\d+)\.(\d+),.*ID: (\S+)", line)
            if m and m.group(3) == dev_id:
                return "%s:%s" % (m.group(1), m.group(2))
        return None

    # -- the guest ------------------------------------------------------
    def sh(self, command, timeout=120):
        with self.ctl.lock:
            self.ctl.send("sh " + base64.b64encode(command.encode()).decode())
            line = self.ctl.read_line(timeout)
        parts = line.split(" ")
        if parts[0] != "ok":
            raise RigError("guest shell: " + line)
        out = b64d(parts[2]) if len(parts) > 2 else ""
        return int(parts[1]), out

    def start_program(self, user, app=None):
        """Starts the window program as USER on the first program port, or
        on the second or third (app=rig.app2, rig.app3) beside the first."""
        app = app or self.app
        port = "kvl.app2" if app is self.app2 else "kvl.app3" if app is self.app3 else "kvl.app"
        with self.ctl.lock:
            self.ctl.send("run %s %s" % (user, port))
            line = self.ctl.read_line(30)
        if not line.startswith("ok"):
            raise RigError("the window program did not start: " + line)
        app.pid = line.split()[1]
        line = app.read_line(60)
        if line != "ready":
            raise RigError("the window program did not start: " + line)

    def do(self, command, timeout=120, app=None):
        app = app or self.app
        with app.lock:
            app.send(command)
            return app.read_line(timeout)

    def quit_program(self, app=None):
        app = app or self.app
        answer = self.do("quit", app=app)
        with self.ctl.lock:
            self.ctl.send("wait %s" % app.pid)
            done = self.ctl.read_line(30)
        return answer, done

    @staticmethod
    def fields(answer):
        out = {}
        for word in answer.split(" ")[1:]:
            if "=" in word:
                k, v = word.split("=", 1)
                out[k] = v
        return out

    def state(self, n, app=None):
        return self.state_of(self.do("state %d" % n, app=app))

    def state_of(self, answer):
        st = self.fields(answer)
        st["hint"] = b64d(st.get("hint", ""))
        st["last"] = b64d(st.get("last", ""))
        st["panels"] = b64d(st.get("panels", "")).split("|")
        return st


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--qemu", default="qemu-system-x86_64")
    p.add_argument("--kernel", required=True)
    p.add_argument("--initrd", required=True)
    p.add_argument("--image", required=True)
    p.add_argument("--share", required=True)
    p.add_argument("--work", required=True)
    p.add_argument("--memory", type=int, default=1024)
    p.add_argument("--cpus", type=int, default=1)
    p.add_argument("--kvm", action="store_true")
    p.add_argument("--kvm-verdict", default="")
    p.add_argument("--boot-timeout", type=int, default=240)
    p.add_argument("--only", default="")
    args = p.parse_args()

    faulthandler.register(signal.SIGUSR1)
    # Ended from outside, the machine goes too (the finally below).
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    Line.log = open(os.path.join(args.work, "rig.log"), "w")
    rig = Rig(args)
    code = 0
    try:
        rig.start()
        checks.run_all(rig, args.only.split(",") if args.only else None)
    except RigError as e:
        print("== rig error: %s" % e, flush=True)
        rig.results.append(False)
        try:
            code, out = rig.sh("tail -n 20 /tmp/kvl-vmguest-*.log", 20)
            print("== the window program's own messages:\n   " + out.strip().replace("\n", "\n   "), flush=True)
        except Exception:
            pass
    finally:
        rig.stop()
    passed = sum(1 for r in rig.results if r)
    failed = len(rig.results) - passed
    print("%d passed, %d failed" % (passed, failed), flush=True)
    return 0 if failed == 0 and passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
