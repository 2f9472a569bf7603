"""Recordings per minute of orvane.batch on a local Dask cluster of 1 and of 2 worker processes,
and the scaling efficiency (rate with N workers / (N x rate with one)).

    PYTHONPATH=build/bindings/python /usr/bin/python3 bench/batch_throughput.py \
        [--clips 8] [--seconds 4] [--size 320x240] [--runs 3] [--workers 1,2]

The clips are made with the ffmpeg program (a window panning over its test picture, H.264,
25 frames/s). The cluster is started before the clock runs, so the rate is that of the
measuring itself; the start-up time of the cluster is printed beside it. Each setting is timed
`runs` times and the median is reported; the machine should be otherwise idle.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import distributed

import orvane.batch


def make_clips(folder, count, seconds, size):
    width, height = (int(v) for v in size.split("x"))
    paths = []
    for k in range(count):
        path = os.path.join(folder, f"clip{k:02d}.mp4")
        source = (f"testsrc=size={2 * width}x{2 * height}:rate=25,"
                  f"crop={width}:{height}:x='t*{5 + 3 * k}':y='t*{2 + k}'")
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", source, "-t",
                        str(seconds), "-pix_fmt", "yuv420p", path], check=True)
        paths.append(path)
    return paths


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--clips", type=int, default=8)
    parser.add_argument("--seconds", type=float, default=4)
    parser.add_argument("--size", default="320x240")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--workers", default="1,2")
    args = parser.parse_args()

    scratch = tempfile.mkdtemp(prefix="orvane-batch-bench-")
    try:
        paths = make_clips(scratch, args.clips, args.seconds, args.size)
        print(f"{args.clips} clips of {args.size}, {args.seconds:g} s at 25 frames/s, "
              f"default settings; median of {args.runs} runs; {os.cpu_count()} cores")
        print(f"{'workers':>7} {'start-up [s]':>12} {'batch [s]':>10} {'recordings/min':>15} "
              f"{'frames/s':>9} {'efficiency':>10}")
        base = None
        for n in (int(v) for v in args.workers.split(",")):
            t0 = time.perf_counter()
            with distributed.LocalCluster(n_workers=n, threads_per_worker=1,
                                          dashboard_address=None) as cluster, \
                    distributed.Client(cluster) as client:
                startup = time.perf_counter() - t0
                times = []
                for r in range(args.runs):
                    out = os.path.join(scratch, f"out-{n}-{r}")
                    t = time.perf_counter()
                    rows = orvane.batch.run(paths, client, out=out, show_progress=False)
                    times.append(time.perf_counter() - t)
                    failed = [row for row in rows.to_dict("records") if row["status"] != "ok"]
                    if failed:
                        sys.exit(f"recordings failed: {failed}")
            seconds = statistics.median(times)
            rate = 60 * args.clips / seconds
            frames = rows["frames"].sum() / seconds
            base = base or rate / n
            print(f"{n:>7} {startup:>12.1f} {seconds:>10.2f} {rate:>15.1f} {frames:>9.0f} "
                  f"{rate / (n * base):>10.0%}")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
