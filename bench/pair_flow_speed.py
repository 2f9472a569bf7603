#!/usr/bin/python3
"""Processor time per image pair of the pairwise flow estimator, beside OpenCV's DIS (medium
and fast presets) and Farneback on the same pairs, one thread each, interleaved so that a
busy machine slows every method alike.

The pairs are the real sequences and the layered scenes of realflow_accuracy.py. Each method
runs --repeat times per pair; the least processor time of the calling thread counts (the
estimator runs on that thread with threads=1), scaled to 640 x 480 by the pixel count.
orvane.flow.pair builds its estimator on every call, so its time includes the allocation of
the pyramid. OpenCV is used here only, never by the tool.

  PYTHONPATH=build/bindings/python /usr/bin/python3 bench/pair_flow_speed.py [--repeat N]
      [--only NAME,...] [--threads N]
"""
import argparse
import os
import sys
import time

import cv2
import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import layered_scenes  # noqa: E402
import realflow_accuracy  # noqa: E402

import orvane.flow  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--data", default=os.path.join(ROOT, "../shared/data/realflow"))
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--only", help="pairs whose name contains one of these (comma-separated)")
    ap.add_argument("--threads", type=int, default=1, help="threads of the estimator (processor time then counts every thread's share: the wall time is shown too)")
    args = ap.parse_args()
    cv2.setNumThreads(1)
    cases = [c for c in realflow_accuracy.real_cases(args.data) +
             realflow_accuracy.synthetic_cases(layered_scenes.scenes()) if c.name.endswith("/pair")]
    if args.only:
        keys = args.only.split(",")
        cases = [c for c in cases if any(k in c.name for k in keys)]
    medium = cv2.DISOpticalFlow_create(cv2.DISOPTICAL_FLOW_PRESET_MEDIUM)
    fast = cv2.DISOpticalFlow_create(cv2.DISOPTICAL_FLOW_PRESET_FAST)
    kept = {}
    methods = {
        "orvane": lambda a, b: orvane.flow.pair(a, b, threads=args.threads),
        "orvane kept": lambda a, b: kept.setdefault(a.shape, orvane.flow.PairEstimator(args.threads)).estimate(a, b),
        "dis-medium": lambda a, b: medium.calc(a, b, None),
        "dis-fast": lambda a, b: fast.calc(a, b, None),
        "farneback": lambda a, b: cv2.calcOpticalFlowFarneback(a, b, None, 0.5, 3, 15, 3, 5, 1.2, 0),
    }
    clock = time.process_time if args.threads > 1 else time.thread_time
    print(f"ms of processor time per pair, scaled to 640 x 480; least of {args.repeat} runs")
    print(f"| pair | size | {' | '.join(methods)} | Orvane kept / DIS medium |")
    print("|---|---|" + "---|" * (len(methods) + 1))
    totals = {m: 0.0 for m in methods}
    for case in cases:
        a, b = case.frames[case.p], case.frames[case.p + 1]
        fa, fb = a.astype(np.float32), b.astype(np.float32)
        h, w = a.shape
        scale = 640 * 480 / (w * h)
        best = {m: float("inf") for m in methods}
        for _ in range(args.repeat):
            for name, run in methods.items():
                x, y = (fa, fb) if name.startswith("orvane") else (a, b)
                t0 = clock()
                run(x, y)
                best[name] = min(best[name], (clock() - t0) * 1e3 * scale)
        for m in methods:
            totals[m] += best[m]
        print(f"| {case.name.split('/')[0]} | {w}x{h} | " +
              " | ".join(f"{best[m]:.1f}" for m in methods) +
              f" | {best['orvane kept'] / best['dis-medium']:.2f} |")
    n = len(cases)
    print(f"| mean | | " + " | ".join(f"{totals[m] / n:.1f}" for m in methods) +
          f" | {totals['orvane kept'] / totals['dis-medium']:.2f} |")


if __name__ == "__main__":
    main()
