"""The rig's checks: each drives the program's window in the guest against
a real Linux driver and compares with what reached the emulated hardware
(QEMU's trace) or the host's end of the wire (a pseudo-terminal)."""
import base64
import random
import re
import threading
import time

from rig import (BYID_A, COM_16550, COM_BYID, COM_FTDI, RATES, SERIAL_A, SERIAL_B,
                 TRUE_16550_MAX, RigError, b64d, fnv)

REFUSED = "the port does not take these line settings"
PARITY_NAMES = ["none", "odd", "even", "mark", "space"]
STOP_NAMES = ["1", "1.5", "2"]


def within(actual, wanted, percent=3.0):
    return abs(actual - wanted) * 100.0 <= wanted * percent


class Driver:
    """One serial driver of the guest: its COM number, its host end and how
    its line settings show in the trace."""

    def __init__(self, rig, name, com, pty):
        self.rig, self.name, self.com, self.pty = rig, name, com, pty

    def last(self, pattern):
        rx = re.compile(pattern)
        found = None
        for line in self.rig.trace.all_lines():
            m = rx.search(line)
            if m:
                found = m
        return found


class Ftdi(Driver):
    def __init__(self, rig, com, pty, dev_id):
        super().__init__(rig, "FTDI", com, pty)
        self.dev_id = dev_id

    def dev(self):
        return re.escape(self.rig.usb_address(self.dev_id) or "?")

    def baud(self):
        m = self.last(r"usb_serial_set_baud dev %s baud rate (\d+)" % self.dev())
        return int(m.group(1)) if m else None

    def data(self):
        """(parity letter, data bits, stop bits) of the last request, or the
        raw value when the emulation refused it."""
        d = self.dev()
        m = self.last(r"usb_serial_(set_data dev %s parity (\S), data bits (\d+), stop bits (\d+)"
                      r"|unsupported_parity dev %s unsupported parity (\d+)"
                      r"|unsupported_stopbits dev %s unsupported stop bits (\d+))" % (d, d, d))
        if not m:
            return None
        if m.group(2):
            return (m.group(2), int(m.group(3)), int(m.group(4)))
        if m.group(5):
            return ("unsupported parity %s" % m.group(5), None, None)
        return ("unsupported stop bits %s" % m.group(6), None, None)

    def modem_control(self):
        m = self.last(r"usb_serial_handle_control dev %s got control 0x4001, value 0x([0-9a-f]+)" % self.dev())
        return int(m.group(1), 16) if m else None

    def flow(self):
        m = self.last(r"usb_serial_set_flow_control dev %s flow control (\d+)" % self.dev())
        return int(m.group(1)) if m else None


class Uart(Driver):
    def __init__(self, rig, com, pty):
        super().__init__(rig, "16550", com, pty)

    def params(self):
        m = self.last(r"serial_update_parameters baudrate=(\d+) parity='?(\w)'? data=(\d+) stop=(\d+)")
        if not m:
            return None
        return (int(m.group(1)), m.group(2), int(m.group(3)), int(m.group(4)))

    def baud(self):
        p = self.params()
        return p[0] if p else None

    def mcr(self):
        m = self.last(r"serial_write write addr 0x0?4 val 0x([0-9a-f]+)")
        return int(m.group(1), 16) if m else None


def wait_for(cond, timeout=5.0):
    end = time.monotonic() + timeout
    while True:
        v = cond()
        if v or time.monotonic() > end:
            return v
        time.sleep(0.05)


def open_port(rig, com, **lines):
    """Sets the line controls, presses the button; the state afterwards."""
    words = " ".join("%s=%s" % (k, str(v).replace(" ", "_")) for k, v in lines.items())
    answer = rig.do("lines " + words)
    if not answer.startswith("ok"):
        raise RigError("lines %s: %s" % (words, answer))
    # A port that refused the last settings stays disabled until the scan
    # finds it again (within 8 s), as it does for the engineer.
    if rig.state(com).get("enabled") != "1":
        rig.do("wait-enabled %d 12000" % com, 30)
    rig.do("click %d" % com)
    return rig.state(com)


def close_port(rig, com):
    st = rig.state(com)
    if st.get("open") == "1":
        rig.do("click %d" % com)


BASE = dict(baud=19200, bits=8, parity=0, stop=0, cts=0, outx=0, inx=0,
            dtrctl="DTR Enable", rtsctl="RTS Enable")


def check_line_settings(rig, ftdi, uart):
    problems = []
    counted = {}
    # Every rate of the list, 8N1.
    for drv in (ftdi, uart):
        ok_rates, refused_rates = [], []
        for rate in RATES:
            st = open_port(rig, drv.com, **dict(BASE, baud=rate))
            can = not (drv is uart and rate > TRUE_16550_MAX)
            hint2 = st["hint"].split("\n")[1] if "\n" in st["hint"] else ""
            if can:
                if st["open"] != "1":
                    problems.append("%s %d: did not open (%s, error %s)" % (drv.name, rate, hint2, st.get("error")))
                    continue
                got = wait_for(lambda: (lambda b: b if b and within(b, rate) else None)(drv.baud()), 3)
                if not got:
                    problems.append("%s %d: the driver set %s" % (drv.name, rate, drv.baud()))
                elif got != rate and not st.get("rate-shown"):
                    ok_rates.append("%d(%d)" % (rate, got))
                else:
                    ok_rates.append(str(rate))
            else:
                if st["open"] == "1":
                    problems.append("%s %d: opened, the driver set %s" % (drv.name, rate, drv.baud()))
                elif hint2 != REFUSED or st["last"].strip() != "COM not selected":
                    problems.append("%s %d: hint '%s', pane '%s'" % (drv.name, rate, hint2, st["last"]))
                else:
                    refused_rates.append(str(rate))
            close_port(rig, drv.com)
        counted[drv.name] = (ok_rates, refused_rates)

    # Character size, parity and stop bits at 19200.
    combos = [(b, p, 0) for b in (5, 6, 7, 8) for p in range(5)] + [(5, 0, 1), (8, 0, 2), (7, 2, 2), (6, 0, 1)]
    frames = {}
    for drv in (ftdi, uart):
        good = 0
        for bits, par, stop in combos:
            st = open_port(rig, drv.com, **dict(BASE, bits=bits, parity=par, stop=stop))
            hint2 = st["hint"].split("\n")[1] if "\n" in st["hint"] else ""
            name = "%d%s%s" % (bits, "NOEMS"[par], STOP_NAMES[stop])
            program_refuses = (stop == 1 and bits != 5) or (stop == 2 and bits == 5)
            driver_refuses = drv is ftdi and bits in (5, 6)
            if program_refuses or driver_refuses:
                if st["open"] == "1":
                    problems.append("%s %s: opened (the driver set %s)" %
                                    (drv.name, name, ftdi.data() if drv is ftdi else uart.params()))
                elif hint2 != REFUSED:
                    problems.append("%s %s: refused with '%s' (%s)" % (drv.name, name, hint2, st))
                else:
                    good += 1
                close_port(rig, drv.com)
                continue
            if st["open"] != "1":
                problems.append("%s %s: did not open (%s)" % (drv.name, name, hint2))
                continue
            want_stop = 1 if stop == 0 else 2
            if drv is ftdi:
                if par >= 3:
                    # The emulation has no mark or space parity; the driver
                    # asked for it all the same.
                    want = ("unsupported parity %d" % (par * 256), None, None)
                else:
                    want = ("NOE"[par], bits, want_stop)
                got = wait_for(lambda: (lambda d: d if d == want else None)(ftdi.data()), 3)
                if not got:
                    problems.append("FTDI %s: the driver asked %s" % (name, ftdi.data()))
                else:
                    good += 1
            else:
                # The 16550's stick parity shows as odd (mark) or even
                # (space) in the emulation's trace.
                want = (19200, "NOEOE"[par], bits, want_stop)
                got = wait_for(lambda: (lambda d: d if d == want else None)(uart.params()), 3)
                if not got:
                    problems.append("16550 %s: the driver set %s" % (name, uart.params()))
                else:
                    good += 1
            close_port(rig, drv.com)
        frames[drv.name] = good

    # Flow control and the DTR and RTS choices.
    modem = []
    st = open_port(rig, ftdi.com, **dict(BASE, cts=1, rtsctl="RTS Handshake"))
    if st["open"] != "1" or wait_for(lambda: ftdi.flow() == 1, 3) != True:
        problems.append("FTDI RTS/CTS: flow control %s" % ftdi.flow())
    close_port(rig, ftdi.com)
    st = open_port(rig, ftdi.com, **BASE)
    seq = []
    for box, value, want in (("dtr", 0, 0x100), ("dtr", 1, 0x101), ("rts", 0, 0x200), ("rts", 1, 0x202)):
        rig.do("%s %d" % (box, value))
        got = wait_for(lambda: ftdi.modem_control() == want, 3)
        seq.append("%s%d:%s" % (box, value, "ok" if got else hex(ftdi.modem_control() or 0)))
        if not got:
            problems.append("FTDI %s %d: modem control %s" % (box, value, hex(ftdi.modem_control() or 0)))
    close_port(rig, ftdi.com)
    st = open_port(rig, ftdi.com, **dict(BASE, dtrctl="DTR Disable", rtsctl="RTS Disable"))
    # The port opens with both lines down; pressing it raises them (the box
    # follows the window's rule), so the request before the raise counts.
    close_port(rig, ftdi.com)

    rig.hmp("trace-event serial_write on")
    st = open_port(rig, uart.com, **BASE)
    for box, value, bit, on in (("dtr", 0, 0x01, False), ("dtr", 1, 0x01, True),
                                ("rts", 0, 0x02, False), ("rts", 1, 0x02, True)):
        rig.do("%s %d" % (box, value))
        got = wait_for(lambda: uart.mcr() is not None and bool(uart.mcr() & bit) == on, 3)
        if not got:
            problems.append("16550 %s %d: MCR %s" % (box, value, hex(uart.mcr() or 0)))
    close_port(rig, uart.com)
    rig.hmp("trace-event serial_write off")

    text = "; ".join("%s rates %s set, %s refused" % (n, " ".join(ok), " ".join(ref) or "none")
                     for n, (ok, ref) in counted.items())
    text += "; frames %s" % ", ".join("%s %d/%d" % (n, g, len(combos)) for n, g in frames.items())
    text += "; FTDI DTR/RTS %s" % " ".join(seq)
    rig.result(1, "line settings reach the wire", not problems,
               text + ("" if not problems else " -- " + " | ".join(problems)))


def lines_of(size, seed):
    rnd = random.Random(seed)
    out = bytearray()
    n = 0
    while len(out) < size:
        body = "%07d " % n + "".join(chr(33 + rnd.randrange(90)) for _ in range(70))
        out += body.encode() + b"\r\n"
        n += 1
    return bytes(out[:size - 2]) + b"\r\n"


def check_data(rig, ftdi, uart):
    problems = []
    figures = []
    size = 1000000
    for drv, rate in ((ftdi, 115200), (ftdi, 921600), (uart, 115200)):
        st = open_port(rig, drv.com, **dict(BASE, baud=rate))
        if st["open"] != "1":
            problems.append("%s %d: did not open" % (drv.name, rate))
            continue
        rig.do("timer 0")
        rig.do("rx-clear")
        drv.pty.drain()
        data = lines_of(size, rate)
        t0 = time.monotonic()
        writer = threading.Thread(target=drv.pty.write_all, args=(data, 300))
        writer.start()
        got = rig.fields(rig.do("rx-wait %d %d" % (size, 300000), 320))
        writer.join()
        secs = time.monotonic() - t0
        want = "%016x" % fnv(data)
        ok = (got.get("count") == str(size) and got.get("fnv") == want and got.get("pane") == want
              and got.get("log") == want)
        if not ok:
            problems.append("%s %d: %s (want %d bytes, %s)" % (drv.name, rate, got, size, want))
        # A long command line from the window to the device.
        line = "".join(chr(33 + (i * 7) % 90) for i in range(500))
        rig.do("send " + base64.b64encode(line.encode()).decode())
        wire = drv.pty.read_until(len(line) + 2, 30)
        if line.encode() not in wire:
            problems.append("%s %d: the device got %d bytes of the %d-byte command line" %
                            (drv.name, rate, len(wire), len(line)))
        figures.append("%s %d: %d bytes in %.1f s, pane, RxText and log checksums %s, command line %d bytes %s" %
                       (drv.name, rate, size, secs, "equal" if ok else "DIFFER", len(line),
                        "arrived" if line.encode() in wire else "LOST"))
        rig.do("timer 1")
        close_port(rig, drv.com)
    rig.result(2, "data both ways", not problems,
               "; ".join(figures) + ("" if not problems else " -- " + " | ".join(problems)))


def check_unplug(rig, ftdi_a):
    problems = []
    st = open_port(rig, COM_BYID, **dict(BASE, baud=115200))
    if st["open"] != "1":
        rig.result(3, "pulled adapter", False, "COM %d (%s) did not open: %s" % (COM_BYID, BYID_A, st["hint"]))
        return
    before = rig.do("digest")
    stop = threading.Event()

    def feed():
        chunk = b"0123456789abcdefghijklmnopqrstuvwxyz\r\n" * 20
        while not stop.is_set():
            ftdi_a.pty.write_all(chunk, 0.2)

    feeder = threading.Thread(target=feed)
    feeder.start()
    rig.do("rx-wait 2000 10000", 30)   # data flows
    rig.hmp("device_del usbA")
    closed = rig.fields(rig.do("wait-closed 5000"))
    stop.set()
    feeder.join()
    close_ms = int(closed.get("ms", "99999"))
    cpu = float(rig.fields(rig.do("cpu 5000", 30)).get("cpu", "99"))
    st = rig.state(COM_BYID)
    after = rig.do("digest")
    hint2 = st["hint"].split("\n")[1] if "\n" in st["hint"] else ""
    if close_ms > 1000:
        problems.append("closed after %d ms" % close_ms)
    if cpu > 0.5:
        problems.append("%.2f CPU seconds in the 5 s after" % cpu)
    if st["enabled"] != "0" or hint2 != "no device":
        problems.append("button enabled=%s, hint '%s'" % (st["enabled"], st["hint"]))
    if before != after:
        problems.append("other controls changed")
    # Both adapters out; B goes back first and takes ttyUSB0.
    rig.hmp("device_del usbB")
    wait_for(lambda: "usbB" not in rig.hmp("info usb"), 10)
    rig.hmp("device_add usb-serial,id=usbB,bus=xhci.0,chardev=ftdiB,serial=%s" % SERIAL_B)
    code, out = rig.sh("udevadm settle; i=0; while [ ! -e /dev/ttyUSB0 ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i+1)); done; ls /dev/ttyUSB*")
    rig.hmp("device_add usb-serial,id=usbA,bus=xhci.0,chardev=ftdiA,serial=%s" % SERIAL_A)
    code, out = rig.sh("udevadm settle; i=0; while [ ! -e %s ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i+1)); done; readlink -f %s" % (BYID_A, BYID_A))
    now = out.strip()
    en = rig.fields(rig.do("wait-enabled %d 20000" % COM_BYID, 40))
    hint = b64d(en.get("hint", ""))
    if en.get("enabled") != "1":
        problems.append("the scan did not enable COM %d (hint '%s')" % (COM_BYID, hint))
    for want in ("QEMU", SERIAL_A, BYID_A):
        if want not in hint:
            problems.append("hint lacks %s: '%s'" % (want, hint))
    st = open_port(rig, COM_BYID, **dict(BASE, baud=115200))
    rig.do("rx-clear")
    ftdi_a.pty.drain()
    ftdi_a.pty.write_all(b"after the re-plug\r\n", 5)
    got = rig.fields(rig.do("rx-wait 19 10000", 30))
    if st["open"] != "1" or got.get("count") != "19":
        problems.append("after the re-plug: open=%s, received %s bytes" % (st["open"], got.get("count")))
    close_port(rig, COM_BYID)
    rig.result(3, "pulled adapter", not problems,
               "closed %d ms after device_del, %.2f CPU s in the next 5 s, hint 'no device', other controls %s; "
               "re-plugged as %s, COM %d enabled by the scan after %s ms, hint names %s; opened and received %s bytes"
               % (close_ms, cpu, "unchanged" if before == after else "CHANGED", now, COM_BYID,
                  en.get("ms"), " / ".join(hint.split("\n")[1:]), got.get("count"))
               + ("" if not problems else " -- " + " | ".join(problems)))


def run_all(rig, only=None):
    code, out = rig.sh("id kvleng >/dev/null 2>&1 || useradd -m -G dialout kvleng; "
                       "ls -l /dev/ttyS1 /dev/ttyUSB0 /dev/ttyUSB1 /dev/serial/by-id/")
    print("== guest devices:\n   " + out.strip().replace("\n", "\n   "), flush=True)
    ftdi = Ftdi(rig, COM_FTDI, rig.ptys["ftdiA"], "usbA")
    uart = Uart(rig, COM_16550, rig.ptys["uart"])
    rig.start_program("kvleng")
    answer = rig.do("window log COM%d=/dev/ttyS1 COM%d=/dev/ttyUSB0 COM%d=%s" %
                    (COM_16550, COM_FTDI, COM_BYID, BYID_A))
    print("== window: " + answer, flush=True)
    wanted = lambda n: only is None or str(n) in only
    if wanted(1):
        check_line_settings(rig, ftdi, uart)
    if wanted(2):
        check_data(rig, ftdi, uart)
    if wanted(3):
        check_unplug(rig, ftdi)
    rig.quit_program()
