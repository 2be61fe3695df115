#!/usr/bin/python3
"""bridge_test.py BIN_DIR (pt_demo, the library and the stand-in): python-can follows the demo session
through the bridge frame for frame, and a scapy ISO-TP ECU behind the bridge answers the library."""
import ctypes as C
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import can

BIN = pathlib.Path(sys.argv.pop(1) if len(sys.argv) > 1 else "build/native/bin").resolve()
ECU = pathlib.Path(__file__).resolve().parents[3] / "tools" / "examples" / "isotp_ecu.py"


def listening_port(stream):
    for line in stream:
        found = re.search(r"listening on 127\.0\.0\.1:(\d+)", line)
        if found:
            return int(found.group(1))
    raise AssertionError("the bridge did not say where it listens")


class Msg(C.Structure):
    _fields_ = [(n, C.c_uint32) for n in
                ("ProtocolID", "RxStatus", "TxFlags", "Timestamp", "DataSize", "ExtraDataIndex")] + \
               [("Data", C.c_uint8 * 4128)]


class Param(C.Structure):
    _fields_ = [("Parameter", C.c_uint32), ("Value", C.c_uint32)]


class ParamList(C.Structure):
    _fields_ = [("NumOfParams", C.c_uint32), ("ConfigPtr", C.POINTER(Param))]


class DemoSessionTest(unittest.TestCase):
    def test_client_sees_every_frame_as_captured(self):
        with tempfile.TemporaryDirectory() as work:
            ini = pathlib.Path(work, "bridge.ini")
            ini.write_text("[socketcand]\nwait_clients = 1\n")
            env = dict(os.environ, VXLSIM_SOCKETCAND_PORT="0", VXLSIM_CONFIG=str(ini))
            with subprocess.Popen([str(BIN / "pt_demo"), work], env=env, text=True,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE) as demo:
                bus = can.Bus(interface="socketcand", channel="can0", host="127.0.0.1",
                              port=listening_port(demo.stderr))
                seen = []
                while True:
                    msg = bus.recv(0.2)
                    if msg is not None:
                        seen.append((round(msg.timestamp * 1e6), msg.arbitration_id, bytes(msg.data)))
                    elif demo.poll() is not None:
                        break
                bus.shutdown()
                out = demo.stdout.read()
            self.assertEqual(0, demo.returncode, out)
            captured = []
            for line in pathlib.Path(work, "bus_capture.txt").read_text().splitlines():
                f = line.split()
                dlc = int(f[3])
                captured.append((int(f[0]) // 1000, int(f[2], 16), bytes(int(b, 16) for b in f[4:4 + dlc])))
            self.assertGreater(len(captured), 1000)
            self.assertEqual(captured, seen)


# The ECUs behind the bridge: request id, answer id, their block size and STmin.
ECUS = [(0x7E0, 0x7E8, 0, 0), (0x7E1, 0x7E9, 0, 5), (0x7E2, 0x7EA, 8, 0), (0x7E3, 0x7EB, 8, 5)]


class IsoTpEcuTest(unittest.TestCase):
    """The library in this process, loaded as the diagnostic server loads it."""

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory()
        stub = pathlib.Path(cls.work.name, "MORIX_Server.dll")
        shutil.copy(BIN / "MORIX_Server.dll", stub)
        pathlib.Path(cls.work.name, "morix.ini").write_text("[MORIX_VECTOR]\nTRACE=1\n")
        cls.stub = C.CDLL(str(stub))
        cls.sim = C.CDLL(str(BIN / "libvxlapi.so"))  # the instance the library finds by its name
        assert cls.sim.vxlsim_load_config_text(b"[driver]\nreal_timing = 1\ndefault_ecus = 0\n"
                                               b"[socketcand]\nport = 0\n") == 0
        while cls.sim.vxlsim_socketcand_port() <= 0:
            time.sleep(0.01)
        cls.ecu = subprocess.Popen([sys.executable, str(ECU), "--port", str(cls.sim.vxlsim_socketcand_port())] +
                                   [a for rx, tx, bs, st in ECUS for a in ("--ecu", f"{rx:X}:{tx:X}:{bs}:{st}")],
                                   stdout=subprocess.PIPE, text=True)
        assert cls.ecu.stdout.readline().strip() == "ready"
        cls.pt = C.CDLL(str(BIN / "libpt_vector.so"))
        channel = C.c_uint32()
        assert cls.pt.PassThruConnect(6, 0, C.byref(channel)) == 0
        # 500 kbit/s, block size 8, P2 150 ms, P2* 5 s
        params = (Param * 4)((0x01, 500000), (0x1E, 8), (0x00010107, 250), (0x00010106, 5100))
        assert cls.pt.PassThruIoctl(1, 2, C.byref(ParamList(4, params)), None) == 0
        for rx, tx, _, _ in ECUS:
            mask, pattern, flow = Msg(6, DataSize=4), Msg(6, DataSize=4), Msg(6, DataSize=4)
            mask.Data[:4], pattern.Data[:4], flow.Data[:4] = b"\0\0\x07\xff", tx.to_bytes(4, "big"), rx.to_bytes(4, "big")
            for kind in (1, 3):
                assert cls.pt.PassThruStartMsgFilter(1, kind, C.byref(mask), C.byref(pattern), C.byref(flow),
                                                     C.byref(C.c_uint32())) == 0

    @classmethod
    def tearDownClass(cls):
        cls.pt.PassThruDisconnect(1)
        cls.ecu.terminate()
        cls.ecu.wait()

    def exchange(self, rx, tx, request):
        msg = Msg(6, DataSize=4 + len(request))
        msg.Data[:msg.DataSize] = rx.to_bytes(4, "big") + request
        self.assertEqual(0, self.pt.PassThruWriteMsgs(1, C.byref(msg), C.byref(C.c_uint32(1)), 0))
        end = time.monotonic() + 15
        # A read says "empty" also for a frame that gives no message (the confirmation of each of our 585
        # consecutive frames): pausing after each lets the driver's 256-event queue overrun on a loaded
        # machine and lose the answer's first frame, so pause only after a run of empty answers.
        empty = 0
        while time.monotonic() < end:
            n = C.c_uint32(1)
            if self.pt.PassThruReadMsgs(1, C.byref(msg), C.byref(n), 0) != 0 or n.value != 1:
                empty += 1
                if empty >= 50:
                    time.sleep(0.0005)
                    empty = 0
                continue
            empty = 0
            if not msg.RxStatus & 1:  # not the confirmation of our request
                self.assertEqual(tx.to_bytes(4, "big"), bytes(msg.Data[:4]))
                return bytes(msg.Data[4:msg.DataSize])
        self.fail("no answer")

    def test_echo_lengths_both_ways(self):
        for rx, tx, bs, stmin in ECUS:
            for length in (1, 7, 8, 62, 4095):
                with self.subTest(ecu=hex(rx), bs=bs, stmin=stmin, length=length):
                    request = bytes([0xBA]) + bytes((i * 7 + rx) & 0xFF for i in range(1, length))
                    start = time.monotonic()
                    self.assertEqual(bytes([0xFA]) + request[1:], self.exchange(rx, tx, request))
                    # The ECU's STmin held the library back: 585 consecutive frames.
                    self.assertGreaterEqual(time.monotonic() - start, 0.585 * stmin * (length == 4095))


if __name__ == "__main__":
    unittest.main(verbosity=2)
