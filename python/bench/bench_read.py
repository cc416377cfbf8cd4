"""Benchmark of the retrieval into numpy, against q583-sim without pacing.

    python3 bench/bench_read.py [--seconds 5] [--worker]

Prints: values per second delivered end to end (bounded by the library's
acquisition, one frame per pass of its thread), values per second of time
spent inside read() (the delivery into numpy), the cost of one read()
beyond the export's own time (read() with nothing waiting against the bare
export call through ctypes), and the cost of reading a property
(dev.gain, dev.rate, dev.scan_type: one export call each).  With
--worker another device is opened first, so that the one measured drives
its instrument from a worker process: every export call crosses a pipe.
"""

import argparse
import contextlib
import ctypes
import os
import tempfile
import time

import numpy as np

import q583

CODES = [0x0F] * 5  # 80 values a scan (3-byte words: 242-byte frames)


def bare_probe_cost(lib, n=20000):
    buf = np.empty(80, dtype=np.int32)  # the run fetches counts, and converts them
    cells = [ctypes.c_int32(), ctypes.c_int32(), ctypes.c_uint8()]
    refs = [ctypes.byref(c) for c in cells]
    f, address = lib.EX_GetScanDataInt, buf.ctypes.data
    start = time.perf_counter()
    for _ in range(n):
        f(address, 0, *refs)
    return (time.perf_counter() - start) / n


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--frame-interval", type=float, default=0.003)
    parser.add_argument("--worker", action="store_true", help="measure a device driven from a worker process")
    parser.add_argument("--csv", action="store_true", help="print the two rates only, as CSV lines")
    args = parser.parse_args()
    os.chdir(tempfile.mkdtemp(prefix="q583-bench-"))
    with contextlib.ExitStack() as stack:
        if args.worker:
            stack.enter_context(q583.Q583(stack.enter_context(q583.Simulator())))
        sim = stack.enter_context(q583.Simulator(pacing=False, frame_interval=args.frame_interval))
        dev = stack.enter_context(q583.Q583(sim))
        print(f"driven from {'a worker process' if dev.worker_pid else 'this process'}")
        dev.rate = 1000  # short settling at the scan end
        values = calls = 0
        in_read = 0.0
        with dev.scan(codes=CODES, log_file=False) as run:
            start = time.perf_counter()
            while time.perf_counter() - start < args.seconds:
                t0 = time.perf_counter()
                block = run.read()
                in_read += time.perf_counter() - t0
                values += block.size
                calls += 1
                time.sleep(0.02)
            wall = time.perf_counter() - start
            overruns = run.overruns
        if args.csv:
            print(f"python,end_to_end_values_per_s,{values / wall:.0f}")
            print(f"python,read_values_per_s,{values / in_read:.0f}")
            return
        print(f"end to end: {values / wall:,.0f} values/s ({values:,} values in {wall:.1f} s, {calls} reads, "
              f"{overruns} scans overrun)")
        print(f"delivery into numpy: {values / in_read:,.0f} values/s of time inside read()")

        # Nothing waits during a run with a long interval: read() is one probe.
        with dev.scan(codes=[0x00], interval=5.0, log_file=False) as run:
            run.read()
            n = 20000
            t0 = time.perf_counter()
            for _ in range(n):
                run.read()
            per_read = (time.perf_counter() - t0) / n
            per_export = bare_probe_cost(q583.library())
        print(f"read() with nothing waiting: {per_read * 1e6:.2f} us; the export through ctypes: "
              f"{per_export * 1e6:.2f} us; beyond the export: {(per_read - per_export) * 1e6:.2f} us")

        for name in ("gain", "rate", "scan_type"):
            t0 = time.perf_counter()
            for _ in range(n):
                getattr(dev, name)
            print(f"property read dev.{name}: {(time.perf_counter() - t0) / n * 1e6:.2f} us")


if __name__ == "__main__":
    main()
