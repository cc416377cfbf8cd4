#!/usr/bin/env python3
"""Turns the benchmarks' CSV into the performance datasheet, or checks it.

    datasheet.py --write DIR scan.csv [signon.csv [python.csv]]
        writes DIR/performance.md and DIR/performance.png (the CSV files
        are kept beside them as DIR/performance-*.csv, to render again)
    datasheet.py --check LIMITS scan.csv
        exits 1 when a ratio of the library to the plain reader is past its
        limit (LIMITS: "figure rate ratio" lines; rate 0 is the paced case)

scan.csv comes from `scan_bench --csv`: "rate,figure,library,plain" lines,
a "load,<1-minute load>" line first and a "lossless,<rate>" line last.
"""

import csv
import math
import os
import platform
import sys
from collections import defaultdict

COUNTS = {"frames_lost"}
FIGURES = [
    ("cpu_us_per_frame", "CPU per frame", "µs"),
    ("wakeups_per_frame", "Wake-ups per frame", ""),
    ("syscalls_per_frame", "System calls per frame", ""),
    ("p99_latency_ms", "Frame-to-host latency, p99", "ms"),
    ("frames_lost", "Frames lost", ""),
]


def read_scan(path):
    figures = defaultdict(dict)  # figure -> rate -> (library, plain)
    load, lossless = math.nan, math.nan
    with open(path, newline="") as f:
        for row in csv.reader(f):
            if not row:
                continue
            if row[0] == "load":
                load = float(row[1])
            elif row[0] == "lossless":
                lossless = float(row[1])
            elif len(row) == 4:
                figures[row[1]][float(row[0])] = (float(row[2]), float(row[3]))
    return figures, load, lossless


def ratio(library, plain):
    if math.isnan(library) or plain <= 0:
        return math.nan
    return library / plain


def rate_name(rate):
    return "paced (instrument's interval)" if rate == 0 else f"{rate:,.0f} frames/s"


def check(limits_path, scan_path):
    figures, load, _ = read_scan(scan_path)
    failed = False
    with open(limits_path) as f:
        for line in f:
            words = line.split("#", 1)[0].split()
            if not words:
                continue
            figure, rate, limit = words[0], float(words[1]), float(words[2])
            library, plain = figures.get(figure, {}).get(rate, (math.nan, math.nan))
            # Counts (frames lost) are held to their limit as they stand.
            r = library if figure in COUNTS else ratio(library, plain)
            bad = not r <= limit  # a missing figure or a failed run fails too
            failed |= bad
            print(f"{'FAIL' if bad else 'ok  '} {figure} at {rate_name(rate)}: library {library:.3g}, "
                  f"plain reader {plain:.3g}, {'count' if figure in COUNTS else 'ratio'} {r:.2f} (limit {limit:g})")
    print(f"load average at the start: {load:.2f}")
    return 1 if failed else 0


def machine():
    cores = os.cpu_count()
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            model = next((l.split(":", 1)[1].strip() for l in f if l.startswith("model name")), model)
    except OSError:
        pass
    return f"{platform.system()} {platform.release()}, {cores} cores, {model}"


def table(rows, header):
    out = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    out += ["| " + " | ".join(r) + " |" for r in rows]
    return "\n".join(out)


def read_simple(path, key_col):
    values = {}
    if path and os.path.exists(path):
        with open(path, newline="") as f:
            for row in csv.reader(f):
                if len(row) > key_col + 1:
                    values[row[key_col]] = row
    return values


def write(directory, scan_path, signon_path=None, python_path=None):
    figures, load, lossless = read_scan(scan_path)
    rates = sorted({r for by_rate in figures.values() for r in by_rate})
    md = ["# Performance", "",
          "Written by `scripts/datasheet.sh` from the benchmarks in `bench/`; do not edit by hand.", "",
          f"- Machine: {machine()}",
          f"- Load average (1 min) at the start: {load:.2f}",
          "- Set-up: the simulator on a pseudo-terminal, 6 channels. *Paced* frames come at the instrument's "
          "own interval and line speed; the fixed rates are sent without line pacing.",
          "- Each figure stands beside a plain `poll()` reader measured in the same run (it signs on "
          "through the library, then reads the line itself: one wait, one read of all that waits, "
          "decode, copy into a ring). The ratio is the library's figure over the reader's; it varies "
          "far less from run to run than the figures themselves.",
          "- *Ended early*: the library's run ended before its time (its receive queue overflowed), "
          "so it has no figure at that rate.", ""]
    for key, title, unit in FIGURES:
        by_rate = figures.get(key, {})
        rows = []
        for rate in rates:
            library, plain = by_rate.get(rate, (math.nan, math.nan))
            shown = "–" if key in COUNTS or math.isnan(library) else f"{ratio(library, plain):.2f}"
            rows.append([rate_name(rate), "ended early" if math.isnan(library) else f"{library:.3g}",
                         f"{plain:.3g}", shown])
        unit_text = f" ({unit})" if unit else ""
        md += [f"## {title}{unit_text}", "", table(rows, ["rate", "library", "plain reader", "ratio"]), ""]
    md += ["## Highest lossless rate", "",
           f"{lossless:,.0f} frames/s without line pacing (stepped 1,000 to 40,000 frames/s, 3 s a step).", ""]
    signon = read_simple(signon_path, 0)
    if signon:
        header = next(iter(signon.values()))
        # Google Benchmark's CSV: the user counters are its last three columns.
        cpu_ms, share, wall = (float(x) for x in header[-3:])
        md += ["## Sign-on", "", table([[f"{wall:.2f}", f"{cpu_ms:.2f}", f"{share:.3f} %"]],
                                       ["wall (s)", "CPU (ms)", "CPU share of the wall time"]), ""]
    python = read_simple(python_path, 1)
    if python:
        rows = [[name.replace("_", " "), f"{float(row[2]):,.0f}"] for name, row in python.items()]
        md += ["## Python", "", "`python/bench/bench_read.py`: 80 values a scan, unpaced, read into numpy.", "",
               table(rows, ["figure", "values/s"]), ""]
    md += ["## Plot", "", "![CPU per frame and p99 latency against frame rate](performance.png)", ""]
    os.makedirs(directory, exist_ok=True)
    for name, path in (("scan", scan_path), ("signon", signon_path), ("python", python_path)):
        kept = os.path.join(directory, f"performance-{name}.csv")
        if path and os.path.exists(path) and os.path.abspath(path) != os.path.abspath(kept):
            with open(path) as source, open(kept, "w") as target:
                target.write(source.read())
    with open(os.path.join(directory, "performance.md"), "w") as f:
        f.write("\n".join(md))
    plot(figures, [r for r in rates if r > 0], os.path.join(directory, "performance.png"))


def plot(figures, rates, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 2, figsize=(10, 4))
    for ax, key, label in ((axes[0], "cpu_us_per_frame", "CPU per frame (µs)"),
                           (axes[1], "p99_latency_ms", "frame-to-host latency p99 (ms)")):
        by_rate = figures.get(key, {})
        for index, who in ((0, "library"), (1, "plain reader")):
            ax.plot(rates, [by_rate.get(r, (math.nan, math.nan))[index] for r in rates], marker="o", label=who)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("frames/s")
        ax.set_ylabel(label)
        ax.grid(True, which="both", alpha=0.3)
        ax.legend()
    fig.tight_layout()
    # No date in the file: the same figures give the same bytes.
    fig.savefig(path, dpi=80, metadata={"Software": None})


def main(argv):
    if len(argv) >= 3 and argv[0] == "--check":
        return check(argv[1], argv[2])
    if len(argv) >= 3 and argv[0] == "--write":
        write(argv[1], *argv[2:5])
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
