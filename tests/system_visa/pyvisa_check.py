"""pyvisa, through its ctypes backend for installed VISA libraries, opens the
test-double library by path, finds the simulated meter, asks who it is and
reads the answer. pyvisa declares every function's C types on its own, so a
mismatch in the double's binary interface shows up here, not only in our own
backend that shares the double's header.

Usage: python3 pyvisa_check.py LIBRARY   (QUORVEL_VISA_DOUBLE=serial=SN000777)
"""
import sys

import pyvisa

EXPECTED = "USB0::0x1D7C::0x4A35::SN000777::INSTR"


def main(library):
    manager = pyvisa.ResourceManager(library)
    found = manager.list_resources("USB?*::INSTR")
    if found != (EXPECTED,):
        sys.exit("pyvisa found %r, not only %s" % (found, EXPECTED))
    meter = manager.open_resource(EXPECTED)
    meter.timeout = 1500  # through viSetAttribute
    meter.write_termination = "\n"
    identity = meter.query("*IDN?")
    meter.close()
    manager.close()
    if "SN000777" not in identity:
        sys.exit("the meter answered %r" % identity)
    print("pyvisa %s read: %s" % (pyvisa.__version__, identity.strip()))


if __name__ == "__main__":
    main(sys.argv[1])
