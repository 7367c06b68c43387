"""What the rig's host side (rig.py) and its checks (checks.py) both use:
the machine's serial layout, the COM numbers of the rig's settings file,
the rig's error and the decoding helpers. It imports neither of them, so
rig.py imports checks.py and no import runs back."""
import base64

FNV_START = 1469598103934665603
FNV_PRIME = 1099511628211

# The rates of the window's baud-rate list, in its order.
RATES = [110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 28800, 38400,
         56000, 57600, 115200, 128000, 256000, 460800, 921600]
SERIAL_A = "KVLA0001"
SERIAL_B = "KVLB0002"
BYID_A = "/dev/serial/by-id/usb-QEMU_QEMU_USB_SERIAL_%s-if00-port0" % SERIAL_A
# COM numbers of the rig's settings file.
COM_16550 = 2      # /dev/ttyS1
COM_FTDI = 5       # /dev/ttyUSB0
COM_BYID = 7       # adapter A by its by-id name
TRUE_16550_MAX = 115200   # standard clock: 1.8432 MHz / 16


def fnv(data, h=FNV_START):
    for b in data:
        h = ((h ^ b) * FNV_PRIME) & 0xFFFFFFFFFFFFFFFF
    return h


def b64d(text):
    return base64.b64decode(text).decode("utf-8", "replace")


class RigError(Exception):
    pass
