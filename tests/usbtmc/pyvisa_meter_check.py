"""pyvisa-py, a USBTMC host written by others, against our emulated meter.

Run by quorvel_usbtmc_meter_host, which puts the simulated meter on an
emulated USB bus and passes the umockdev preload on to this process. If our
emulated device and our backend shared a misreading of USBTMC, this host
would trip over it.

    pyvisa_meter_check.py IMAGE
    pyvisa_meter_check.py --quick

--quick (for the device profiles of scripts/usb-quirk-matrix): *IDN?, the
serial, and the identity read in requests of 8 bytes, in normal mode only.

A small image (its last four bytes the CRC-32 of the rest, as the meter
checks) is written to IMAGE, then sent whole in frames of 240 bytes, as the
update does; the meter host compares what the meter installed with IMAGE.
Exit status 0 when every step passed, 1 otherwise, 77 when pyvisa-py is not
installed.
"""
import struct
import sys
import time
import zlib

try:
    import pyvisa
    import pyvisa_py  # noqa: F401  (the backend "@py" must be this one)
    import usb.core  # noqa: F401
except ImportError as missing:
    print(f"pyvisa-py or pyusb missing ({missing}): skipped")
    sys.exit(77)

VENDOR, PRODUCT, SERIAL = 0x1D7C, 0x4A35, "SN000123"
FRAME = 240
END_FRAME = bytes([0xAB, 0, 0, 0, 0, 0, 0, 0x01, 0xFF, 0xFF])
# The update's own wait before each frame of an image.
FRAME_GAP_S = 0.1
RETURN_LIMIT_S = 15

failures = []


def check(what, condition, detail=""):
    print(("ok   " if condition else "FAIL ") + what + (f": {detail}" if detail else ""))
    if not condition:
        failures.append(what)
    return condition


def meter_names(rm):
    prefix = f"USB0::{VENDOR}::{PRODUCT}::{SERIAL}::"
    return [name for name in rm.list_resources("USB?*::INSTR") if name.startswith(prefix)]


def open_meter(rm, name):
    meter = rm.open_resource(name)
    meter.timeout = 2000
    return meter


def query(meter, text):
    meter.write_raw(text.encode())
    return meter.read_raw().decode("latin-1")


def quick_check(rm):
    names = meter_names(rm)
    if not check("the meter is listed once", len(names) == 1, str(rm.list_resources())):
        return
    meter = open_meter(rm, names[0])
    identity = query(meter, "*IDN?\n")
    check("*IDN?", identity == f"NAVIR,Q1000,{SERIAL},01.20.05.12", repr(identity))
    serial = query(meter, "cal:sec:serial?\n")
    check("cal:sec:serial?", serial == SERIAL + "\n", repr(serial))
    # Binary I/O in small requests: pyvisa-py asks for 8 bytes at a time until the end.
    meter.write_raw(b"*IDN?\n")
    pieces = meter.read_raw(8)
    check("*IDN? read 8 bytes at a time", pieces == identity.encode("latin-1"), repr(pieces))
    meter.close()
    rm.close()


def make_image(path):
    body = bytes((i * 7 + 3) & 0xFF for i in range(996))  # four whole frames and a short one
    image = body + struct.pack("<I", zlib.crc32(body))
    with open(path, "wb") as image_file:
        image_file.write(image)
    return image


def main(image_path):
    image = make_image(image_path)
    rm = pyvisa.ResourceManager("@py")

    names = meter_names(rm)
    if not check("the meter is listed once", len(names) == 1, str(rm.list_resources())):
        return
    meter = open_meter(rm, names[0])
    identity = query(meter, "*IDN?\n")
    check("*IDN?", identity == f"NAVIR,Q1000,{SERIAL},01.20.05.12", repr(identity))
    serial = query(meter, "cal:sec:serial?\n")
    check("cal:sec:serial?", serial == SERIAL + "\n", repr(serial))
    # Both again: each reply is read after one that needed alignment bytes.
    check("*IDN? again", query(meter, "*IDN?\n").startswith("NAVIR,Q1000,"))
    check("cal:sec:serial? again", query(meter, "cal:sec:serial?\n") == SERIAL + "\n")

    # A read with nothing to answer times out, and pyvisa-py's abort of it
    # leaves the pipe usable.
    meter.write_raw(b"L0\n")
    meter.timeout = 300
    try:
        meter.read_raw()
        check("a read of nothing times out", False, "it returned data")
    except pyvisa.errors.VisaIOError as error:
        check("a read of nothing times out", error.error_code == pyvisa.constants.StatusCode.error_timeout,
              str(error))
    meter.timeout = 2000
    check("a query after the time-out", query(meter, "*IDN?\n").startswith("NAVIR,Q1000,"))

    meter.write_raw(b"system:update\n")
    try:
        meter.close()
    except Exception:  # the device is gone; pyusb may say so on release
        pass
    deadline = time.monotonic() + RETURN_LIMIT_S
    names = []
    while time.monotonic() < deadline and not names:
        time.sleep(0.1)
        names = meter_names(rm)
    if not check("the meter comes back in update mode", len(names) == 1):
        return
    meter = open_meter(rm, names[0])
    identity = query(meter, "*IDN?\n")
    check("*IDN? in update mode", identity == f"NAVIR,Q1000 BOOT,{SERIAL},WDL00.00.00",
          repr(identity))

    frames = 0
    for at in range(0, len(image), FRAME):
        time.sleep(FRAME_GAP_S)
        sent = meter.write_raw(image[at:at + FRAME])
        frames += 1
        if not check(f"frame {frames} written whole", sent == len(image[at:at + FRAME]), str(sent)):
            return
    time.sleep(FRAME_GAP_S)
    status = meter.read_raw(FRAME)
    check(f"status after {frames} frames", status == b"0", repr(status))
    meter.write_raw(END_FRAME)
    status = meter.read_raw(FRAME)
    check("status after the end frame", status == b"0", repr(status))
    meter.close()
    rm.close()


if __name__ == "__main__":
    if len(sys.argv) != 2:
        print(__doc__)
        sys.exit(2)
    try:
        if sys.argv[1] == "--quick":
            quick_check(pyvisa.ResourceManager("@py"))
        else:
            main(sys.argv[1])
    except Exception as error:  # every unexpected error is a failed check, with its cause
        check("no unexpected error", False, f"{type(error).__name__}: {error}")
    print(f"{len(failures)} failed")
    sys.exit(1 if failures else 0)
