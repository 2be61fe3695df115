#!/usr/bin/python3
"""An ECU in Python on the stand-in driver's bus, through its socketcand bridge.

python-can's socketcand interface carries the CAN frames, scapy's ISO-TP soft
socket (over scapy's PythonCANSocket) the transport; a few UDS services answer:

  10 ss            50 ss 00 32 01 F4
  3E 00            7E 00
  22 F1 90         62 F1 90 + the ECU's 17-character VIN
  BA ...           FA ... (the request echoed, up to 4095 bytes both ways)
  anything else    7F sid 11

Several ECUs may run in one process, each with its identifiers and its own
flow control (block size, STmin in ms):

  VXLSIM_SOCKETCAND_PORT=29536 build/demo/bin/pt_demo &    # any host of the library
  /usr/bin/python3 tools/examples/isotp_ecu.py --port 29536 --ecu 7E0:7E8 --ecu 7E1:7E9:8:5

It prints "ready" once every ECU listens, and runs until interrupted.
"""
import argparse
import sys
import threading

from scapy.config import conf
from scapy.main import load_contrib

conf.contribs["ISOTP"] = {"use-can-isotp-kernel-module": False}
conf.contribs["CANSocket"] = {"use-python-can": True}
load_contrib("isotp")
load_contrib("cansocket")
from scapy.contrib.cansocket_python_can import PythonCANSocket  # noqa: E402
from scapy.contrib.isotp import ISOTP, ISOTPSoftSocket  # noqa: E402

VIN = b"PYTHONECU00000001"


def answer(request):
    """The UDS answer to one request (bytes)."""
    sid = request[0]
    if sid == 0xBA:
        return bytes([0xFA]) + request[1:]
    if sid == 0x10 and len(request) == 2:
        return bytes([0x50, request[1], 0x00, 0x32, 0x01, 0xF4])
    if request == b"\x3e\x00":
        return b"\x7e\x00"
    if request == b"\x22\xf1\x90":
        return b"\x62\xf1\x90" + VIN
    return bytes([0x7F, sid, 0x11])


def parse_ecu(text):
    """rx:tx[:bs:stmin], identifiers in hex."""
    parts = text.split(":")
    if len(parts) not in (2, 4):
        raise argparse.ArgumentTypeError("expected rx:tx[:bs:stmin], got " + text)
    rx, tx = int(parts[0], 16), int(parts[1], 16)
    bs, stmin = (int(parts[2]), int(parts[3])) if len(parts) == 4 else (0, 0)
    return rx, tx, bs, stmin


def serve(sock):
    while True:
        request = sock.recv()
        if request is not None and len(request.data) > 0:
            sock.send(ISOTP(answer(bytes(request.data))))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--channel", default="can0")
    parser.add_argument("--ecu", type=parse_ecu, action="append", required=True)
    args = parser.parse_args()
    for rx, tx, bs, stmin in args.ecu:
        # Sockets with the same channel share one python-can connection.
        can = PythonCANSocket(interface="socketcand", channel=args.channel, host=args.host, port=args.port,
                              can_filters=[{"can_id": rx, "can_mask": 0x1FFFFFFF}])
        sock = ISOTPSoftSocket(can, tx_id=tx, rx_id=rx, bs=bs, stmin=stmin, padding=True, basecls=ISOTP)
        threading.Thread(target=serve, args=(sock,), daemon=True).start()
    print("ready", flush=True)
    try:
        threading.Event().wait()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
