"""A timed scan of four channels written to a CSV file.

    python3 examples/timed_scan_csv.py --sim --seconds 5 -o scans.csv
    python3 examples/timed_scan_csv.py --port /dev/ttyUSB0 --seconds 60 -o oven.csv
"""

import argparse
import contextlib

import numpy as np

import q583


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", help="serial device of the instrument")
    parser.add_argument("--sim", action="store_true", help="use the simulated instrument (q583-sim on PATH)")
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("-o", "--output", default="scans.csv")
    args = parser.parse_args()

    with contextlib.ExitStack() as stack:
        port = args.port
        if args.sim or not port:
            signals = {0: ("sine", 0, 2, 4), 1: ("ramp", -2, 4, 5), 2: 1.25, 3: ("noise", 0, 0.1)}
            port = stack.enter_context(q583.Simulator(signals))
        dev = stack.enter_context(q583.Q583(port))
        with dev.scan(codes=[0x00, 0x00, 0x00, 0x00], seconds=args.seconds, description="timed_scan_csv") as run:
            data = run.read_all()
        # Each scan's number and receive time: a lost scan leaves a gap, never a shifted time.
        table = np.column_stack([run.numbers, run.times, data])
        header = "scan,time_s," + ",".join(f"ch{i}" for i in range(data.shape[1]))
        np.savetxt(args.output, table, delimiter=",", header=header, comments="",
                   fmt=["%d", "%.6f"] + ["%.7f"] * data.shape[1])
        print(f"{len(data)} scans every {run.interval:.4f} s -> {args.output} (scan log {run.log_path})")


if __name__ == "__main__":
    main()
