#!/usr/bin/python3
"""A J2534 04.04 tool in Python: drives pt_vector0404 through ctypes and talks
UDS to the stand-in driver's built-in engine ECU (requests 0x7E0, answers 0x7E8).

  /usr/bin/python3 tools/examples/j2534_0404_client.py build/native/bin            # ISO15765
  /usr/bin/python3 tools/examples/j2534_0404_client.py build/native/bin --can      # raw CAN, single frames

The directory holds the library and the stand-in (libvxlapi.so, or on Windows
the DLLs); with --real-driver the stand-in is not loaded and the Vector
driver the library finds is used. The session: PassThruOpen(NULL), connect at
500 kbit/s, a flow-control filter (ISO15765) or a pass filter (CAN), tester
present every 2 s as a periodic message, extended session, the VIN, an echo
(ISO15765: 4095 bytes both ways), then close. Exit status 0 when every answer
was the expected one.
"""
import argparse
import ctypes as C
import os
import pathlib
import sys

CAN, ISO15765 = 5, 6
PASS_FILTER, FLOW_CONTROL_FILTER = 1, 3
SET_CONFIG, GET_CONFIG = 2, 1
ISO15765_FRAME_PAD, TX_MSG_TYPE, TX_INDICATION, START_OF_MESSAGE = 0x40, 0x01, 0x08, 0x02
ERR_BUFFER_EMPTY, ERR_TIMEOUT = 0x10, 0x09
REQUEST_ID, ANSWER_ID = 0x7E0, 0x7E8


class Msg(C.Structure):
    _fields_ = [("ProtocolID", C.c_uint32), ("RxStatus", C.c_uint32), ("TxFlags", C.c_uint32),
                ("Timestamp", C.c_uint32), ("DataSize", C.c_uint32), ("ExtraDataIndex", C.c_uint32),
                ("Data", C.c_uint8 * 4128)]


class J2534Error(Exception):
    pass


class PassThru:
    """The fourteen functions of one 04.04 library, raising on a failing status."""

    def __init__(self, path):
        loader = C.WinDLL if os.name == "nt" else C.CDLL
        self.lib = loader(str(path))

    def __getattr__(self, name):
        function = getattr(self.lib, "PassThru" + name)
        function.restype = C.c_uint32

        def call(*args, allowed=()):
            status = function(*args)
            if status != 0 and status not in allowed:
                text = C.create_string_buffer(80)
                self.lib.PassThruGetLastError(text)
                raise J2534Error(f"PassThru{name}: 0x{status:02X} {text.value.decode()}")
            return status
        return call


def message(protocol, can_id, payload, tx_flags=0):
    msg = Msg(ProtocolID=protocol, TxFlags=tx_flags, DataSize=4 + len(payload))
    msg.Data[:msg.DataSize] = can_id.to_bytes(4, "big") + bytes(payload)
    return msg


class Session:
    def __init__(self, pt, protocol):
        self.pt, self.protocol = pt, protocol
        self.device, self.channel = C.c_uint32(), C.c_uint32()
        pt.Open(None, C.byref(self.device))
        pt.Connect(self.device, protocol, 0, 500000, C.byref(self.channel))
        mask = message(protocol, 0xFFFFFFFF, b"")
        pattern = message(protocol, ANSWER_ID, b"")
        flow = message(protocol, REQUEST_ID, b"", ISO15765_FRAME_PAD)
        kind = FLOW_CONTROL_FILTER if protocol == ISO15765 else PASS_FILTER
        pt.StartMsgFilter(self.channel, kind, C.byref(mask), C.byref(pattern),
                          C.byref(flow) if protocol == ISO15765 else None, C.byref(C.c_uint32()))
        tester = self.request_msg(b"\x3e\x80")
        pt.StartPeriodicMsg(self.channel, C.byref(tester), C.byref(C.c_uint32()), 2000)

    def request_msg(self, request):
        if self.protocol == CAN:  # one single frame, PCI and padding by hand
            return message(CAN, REQUEST_ID, bytes([len(request)]) + request + b"\xff" * (7 - len(request)))
        return message(ISO15765, REQUEST_ID, request, ISO15765_FRAME_PAD)

    def exchange(self, request, timeout_ms=2000):
        msg = self.request_msg(request)
        self.pt.WriteMsgs(self.channel, C.byref(msg), C.byref(C.c_uint32(1)), 1000)
        while True:
            n = C.c_uint32(1)
            status = self.pt.ReadMsgs(self.channel, C.byref(msg), C.byref(n), timeout_ms,
                                      allowed=(ERR_BUFFER_EMPTY, ERR_TIMEOUT))
            if status != 0 or n.value == 0:
                raise J2534Error(f"no answer to {request.hex()}")
            if msg.RxStatus & (TX_MSG_TYPE | TX_INDICATION | START_OF_MESSAGE):
                continue  # our own request, or the start of the answer
            data = bytes(msg.Data[4:msg.DataSize])
            if self.protocol == CAN:
                data = data[1:1 + (data[0] & 0x0F)]
            if data[:1] == b"\x7f" and data[2:3] == b"\x78":
                continue  # response pending
            return data

    def close(self):
        self.pt.Close(self.device)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("bin", type=pathlib.Path, help="directory of the library (and the stand-in)")
    parser.add_argument("--can", action="store_true", help="raw CAN channel, single frames only")
    parser.add_argument("--real-driver", action="store_true", help="do not load the stand-in")
    args = parser.parse_args()
    windows = os.name == "nt"
    if not args.real_driver:
        # The instance the library then finds by its name.
        sim = C.CDLL(str(args.bin / ("vxlapi64.dll" if windows else "libvxlapi.so")))
        assert sim.vxlsim_load_config_text(b"[driver]\nreal_timing = 1\n") == 0
    pt = PassThru(args.bin / ("pt_vector0404.dll" if windows else "libpt_vector0404.so"))
    version = [C.create_string_buffer(80) for _ in range(3)]
    session = Session(pt, CAN if args.can else ISO15765)
    pt.ReadVersion(session.device, *version)
    print("API", version[2].value.decode(), "DLL", version[1].value.decode(), "firmware", version[0].value.decode())
    checks = [(b"\x10\x03", b"\x50\x03\x00\x32\x01\xf4"), (b"\x3e\x00", b"\x7e\x00")]
    if not args.can:  # multi-frame answers need the ISO15765 channel
        checks.append((b"\x22\xf1\x90", b"\x62\xf1\x90VXLSIMECU00000001"))
        echo = bytes([0xBA]) + bytes(i & 0xFF for i in range(4094))
        checks.append((echo, bytes([0xFA]) + echo[1:]))
    failed = 0
    for request, expected in checks:
        answer = session.exchange(request)
        ok = answer == expected
        failed += not ok
        print(f"{'ok  ' if ok else 'FAIL'} {request[:8].hex()}{'...' if len(request) > 8 else ''} ({len(request)} bytes)"
              f" -> {answer[:8].hex()}{'...' if len(answer) > 8 else ''} ({len(answer)} bytes)")
    session.close()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
