#!/usr/bin/python3
"""The start-up cost of vantel-cut as a batch script pays it per call.

    bench/startup.py [--runs N] PHOTO VANTEL_CUT [VANTEL_CUT ...]

For each program, alternating between them, runs it on PHOTO alone and on
four copies of it in one call. The steady time per image is the difference
of the two divided by three; what a call costs beyond it (loading the
networks, the process's own start) is the one-photo time less the steady
time. Prints the medians over the runs, and the peak resident memory of
the four-photo call.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import tempfile
import time
from pathlib import Path


def wall(argv):
    """Seconds the run took, and its peak resident memory in MiB."""
    start = time.monotonic()
    process = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    if status != 0:
        raise SystemExit(f"{argv[0]} failed ({status})")
    return time.monotonic() - start, usage.ru_maxrss / 1024


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("photo")
    parser.add_argument("programs", nargs="+")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        copies = []
        for i in range(4):
            copy = Path(tmp) / f"copy{i}{Path(args.photo).suffix}"
            shutil.copy(args.photo, copy)
            copies.append(str(copy))
        out = str(Path(tmp) / "out")
        results = {p: ([], [], []) for p in args.programs}
        for _ in range(args.runs):
            for program in args.programs:
                base = [program, "-q", "--overwrite", "-o", out]
                one, four, peak = results[program]
                one.append(wall(base + copies[:1])[0])
                seconds, mib = wall(base + copies)
                four.append(seconds)
                peak.append(mib)
        print(f"{'program':40} {'one photo':>10} {'per image':>10} {'start-up':>10} {'peak MiB':>9}")
        for program, (one, four, peak) in results.items():
            a, b = statistics.median(one), statistics.median(four)
            steady = (b - a) / 3
            print(f"{program:40} {a:9.2f}s {steady:9.2f}s {a - steady:9.2f}s "
                  f"{statistics.median(peak):9.0f}")


if __name__ == "__main__":
    main()
