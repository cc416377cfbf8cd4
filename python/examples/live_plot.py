"""A live matplotlib plot of a scan, saved as a PNG at the end.

    python3 examples/live_plot.py --sim --seconds 10 -o live.png

Without a display the figure is drawn off-screen and only saved.
"""

import argparse
import contextlib
import os

import matplotlib

if not os.environ.get("DISPLAY") and not os.environ.get("WAYLAND_DISPLAY"):
    matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np

import q583


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", help="serial device of the instrument")
    parser.add_argument("--sim", action="store_true", help="use the simulated instrument (q583-sim on PATH)")
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("-o", "--output", default="live.png")
    args = parser.parse_args()

    with contextlib.ExitStack() as stack:
        port = args.port
        if args.sim or not port:
            port = stack.enter_context(q583.Simulator({0: ("sine", 0, 2, 4), 1: ("ramp", -2, 4, 5), 2: 1.25}))
        dev = stack.enter_context(q583.Q583(port))
        labels = ["0 - 0 (sine)", "1 - 0 (ramp)", "2 - 0 (1.25 V)"]
        fig, ax = plt.subplots(figsize=(9, 4.5))
        lines = [ax.plot([], [], label=label)[0] for label in labels]
        ax.set(xlabel="time / s", ylabel="volts", xlim=(0, args.seconds), ylim=(-2.5, 2.5),
               title=f"Q583 on {dev.port}")
        ax.grid(True, alpha=0.3)
        ax.legend(loc="upper right")
        plt.ion()
        data = np.empty((0, len(labels)))
        with dev.scan(codes=[0x00, 0x00, 0x00], seconds=args.seconds) as run:
            for block in run:  # arrays as the scans arrive
                data = np.vstack([data, block])
                times = run.times  # receive times, seconds since the start
                for line, column in zip(lines, data.T):
                    line.set_data(times, column)
                fig.canvas.draw_idle()
                plt.pause(0.01)
        fig.savefig(args.output, dpi=100, bbox_inches="tight")
        print(f"{len(data)} scans -> {args.output}")


if __name__ == "__main__":
    main()
