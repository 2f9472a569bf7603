#!/usr/bin/python3
"""Frames per second of orvane-flow on its built-in sequence, for one build against another.

Runs each program in turn (alternating, so that a change in the machine's load falls on both
alike) on the built-in 320x240 sequence with the default settings and pictures every 10th
frame, and prints per program the median over the runs of:

  e2e fps        frames / wall time of the measuring pass (summary.json's throughput_fps)
  cpu ms/frame   processor time per frame of every stage together (decode, component, flow,
                 write, align): what a frame costs whatever else the machine runs

    /usr/bin/python3 bench/builtin_fps.py NAME=PROGRAM [NAME=PROGRAM ...] [--runs 7]
                                          [--frames 60] [--threads N]
"""
import argparse
import json
import statistics
import subprocess
import tempfile
from pathlib import Path


def one_run(program, frames, threads, scratch):
    out = Path(scratch) / "out"
    extra = [] if threads is None else ["--threads", str(threads)]
    subprocess.run([program, "-q", "--force", "--frames", str(frames), "--out", str(out), *extra],
                   check=True)
    summary = json.loads((out / "summary.json").read_text())
    stages = summary["stages"]
    cpu = sum(stages[name]["cpu_s"] or 0.0
              for name in ("decode", "component", "flow", "write", "align"))
    return summary["throughput_fps"], 1000.0 * cpu / summary["frames"]["processed"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("programs", nargs="+", metavar="NAME=PROGRAM")
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--frames", type=int, default=60)
    parser.add_argument("--threads", type=int, help="the tool's --threads (default: its own)")
    args = parser.parse_args()
    programs = [p.split("=", 1) for p in args.programs]
    results = {name: [] for name, _ in programs}
    with tempfile.TemporaryDirectory() as scratch:
        for _ in range(args.runs):
            for name, program in programs:
                results[name].append(one_run(program, args.frames, args.threads, scratch))
    print(f"| program | e2e fps (median of {args.runs}) | cpu ms/frame |")
    print("| --- | ---: | ---: |")
    for name, runs in results.items():
        fps = statistics.median(r[0] for r in runs)
        cpu = statistics.median(r[1] for r in runs)
        print(f"| {name} | {fps:.1f} | {cpu:.1f} |")


if __name__ == "__main__":
    main()
