#!/usr/bin/python3
"""Frames per second and added latency through the stand-in's socketcand bridge
to one python-can client.

    /usr/bin/python3 bench/socketcand_bench.py [BIN_DIR] [frames]

The stand-in (libvxlapi.so from BIN_DIR, default build/bench/bin) runs in this
process; an outside node puts frames on channel 0 through the control
interface and a python-can "socketcand" bus receives them.

- throughput: frames put on the bus as fast as the control call goes, without
  real timing (delivery at once), at most 4096 ahead of the client, until the
  client has them all;
- latency: at 500 kbit/s with real timing, one 8-byte frame every 2 ms; per
  frame, the client's arrival (monotonic clock) minus the moment the frame
  completed on the bus (its time stamp on the stand-in's steady clock).
"""
import ctypes as C
import logging
import pathlib
import statistics
import sys
import threading
import time

import can


def bridge(sim, config):
    assert sim.vxlsim_load_config_text(config) == 0
    while sim.vxlsim_socketcand_port() <= 0:
        time.sleep(0.001)
    bus = can.Bus(interface="socketcand", channel="can0", host="127.0.0.1", port=sim.vxlsim_socketcand_port())
    time.sleep(0.2)  # past the greeting's hold
    return bus


def throughput(sim, frames):
    bus = bridge(sim, b"[driver]\ndefault_ecus = 0\n[socketcand]\nport = 0\n")
    data = (C.c_uint8 * 8)(*range(8))

    got = 0

    def send():
        for i in range(frames):
            while i - got > 4096:
                time.sleep(0.0001)
            sim.vxlsim_bus_send(0, 0x100 + (i & 0x3FF), 0, 8, data)

    start = time.monotonic()
    sender = threading.Thread(target=send)
    sender.start()
    while got < frames:
        if bus.recv(2.0) is None:
            break
        got += 1
    elapsed = time.monotonic() - start
    sender.join()
    bus.shutdown()
    return got, elapsed


def latency(sim, frames):
    bus = bridge(sim, b"[driver]\nreal_timing = 1\ndefault_ecus = 0\n[socketcand]\nport = 0\n")
    sim.vxlsim_now_ns.restype = C.c_uint64
    # Bus time zero on this process's monotonic clock (the stand-in's steady clock).
    zero = min(time.monotonic_ns() - sim.vxlsim_now_ns() for _ in range(1000))
    data = (C.c_uint8 * 8)(*range(8))
    lat = []
    for i in range(frames):
        sim.vxlsim_bus_send(0, 0x7E8, 0, 8, data)
        msg = bus.recv(1.0)
        arrived = time.monotonic_ns()
        if msg is not None:
            lat.append((arrived - zero - round(msg.timestamp * 1e9)) / 1000.0)
        time.sleep(0.002)
    bus.shutdown()
    lat.sort()
    return lat


def main():
    bin_dir = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "build/bench/bin")
    frames = int(sys.argv[2]) if len(sys.argv) > 2 else 20000
    # python-can warns of every read that ends inside a message.
    logging.getLogger("can.interfaces.socketcand.socketcand").setLevel(logging.ERROR)
    sim = C.CDLL(str(bin_dir / "libvxlapi.so"))
    throughput(sim, 1000)  # warm-up
    got, elapsed = throughput(sim, frames)
    print(f"throughput: {got} of {frames} frames in {elapsed:.3f} s = {got / elapsed:.0f} frames/s", flush=True)
    lat = latency(sim, 2000)
    print(f"latency over {len(lat)} frames: median {statistics.median(lat):.0f} us, "
          f"p99 {lat[int(len(lat) * 0.99)]:.0f} us, max {lat[-1]:.0f} us")
    sim.vxlsim_reset()


if __name__ == "__main__":
    main()
