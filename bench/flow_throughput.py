#!/usr/bin/python3
"""Throughput of orvane-flow end to end, stage by stage, against OpenCV's Farneback.

Makes H.264 clips with the ffmpeg program from a real photograph (Debian's visp-images-data:
a camera panning over it, 640x480 and 1920x1080), runs the tool on them with pictures every
10th frame, one thread and the pipeline, and prints a Markdown table from each run's
summary.json:

  e2e fps          frames / wall time of the whole run
  measure fps      the rate of the measuring stages alone (the component; the dense flow and
                   the fits): one after another on one thread, side by side in the pipeline
                   (the slower sets the rate); the pipeline's goal is e2e >= 80 % of it
  ms/frame cpu     processor time per frame of each stage (decode, measure, write): what
                   the stages cost whatever else the machine runs

OpenCV's Farneback dense flow (python3-opencv, one thread, its usual parameters) is timed on
the same 640x480 frames before and after the tool's runs, and the goals are checked at the
end: e2e >= 80 % of measure, the global motion of 1920x1080 at >= 30 frames/s, the dense flow
of 640x480 at >= 3 x Farneback's rate. Wall times depend on the load of the machine; run it
on a quiet one.

    /usr/bin/python3 bench/flow_throughput.py [--tool build/tools/orvane-flow] [--frames 150]
"""
import argparse
import json
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from bench_util import read_grey

CONFIGS = [
    # clip, label, extra arguments
    ("640x480", "defaults (compensated dense flow)", []),
    ("640x480", "direct dense flow", ["--method", "direct"]),
    ("1920x1080", "global motion only (--method global, affineparams)",
     ["--computation-mode", "affineparams", "--method", "global"]),
    ("1920x1080", "defaults (compensated dense flow)", []),
]


PHOTO = "/usr/share/visp-images-data/ViSP-images/Solvay/Solvay_conference_1927_Version2_2126x1463.png"


def make_clip(folder, size, frames):
    # A pan of 3 px/frame across and 1 down over the photograph (halved for the small clip),
    # turning back at its edges.
    path = folder / f"clip-{size}.mp4"
    w, h = (int(v) for v in size.split("x"))
    pw, ph = (1063, 732) if w <= 640 else (2126, 1463)
    scale = f"scale={pw}:{ph}," if w <= 640 else ""
    lx, ly = pw - w, ph - h
    x = f"{lx}-abs({lx}-mod(3*n\\,{2 * lx}))"
    y = f"{ly}-abs({ly}-mod(n\\,{2 * ly}))"
    subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-loop", "1", "-i", PHOTO, "-vf",
                    f"{scale}crop={w}:{h}:x='{x}':y='{y}',format=gray", "-frames:v", str(frames),
                    "-r", "25", "-c:v", "libx264", "-crf", "18", "-pix_fmt", "yuv420p",
                    str(path)], check=True)
    return path


def run_tool(tool, clip, extra, threads, out):
    args = [tool, str(clip), "--out", str(out), "--force", "--quiet", "--every", "10",
            "--threads", str(threads), *extra]
    subprocess.run(args, check=True)
    return json.loads((out / "summary.json").read_text())


def farneback_fps(clip, frames):
    try:
        import cv2
    except ImportError:
        return None
    cv2.setNumThreads(1)
    grey = read_grey(clip, frames)
    t0 = time.perf_counter()
    for a, b in zip(grey, grey[1:]):
        cv2.calcOpticalFlowFarneback(a, b, None, 0.5, 3, 15, 3, 5, 1.2, 0)
    return (len(grey) - 1) / (time.perf_counter() - t0)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tool", default="build/tools/orvane-flow")
    parser.add_argument("--frames", type=int, default=150)
    a = parser.parse_args()
    if shutil.which("ffmpeg") is None:
        sys.exit("the ffmpeg program is needed to make the clips")
    if not Path(PHOTO).exists():
        sys.exit(f"{PHOTO} is missing (install visp-images-data)")
    with tempfile.TemporaryDirectory(prefix="orvane-bench-") as tmp:
        tmp = Path(tmp)
        clips = {size.replace("x", "x"): make_clip(tmp, size, a.frames)
                 for size in sorted({c[0] for c in CONFIGS})}
        fb_before = farneback_fps(clips["640x480"], a.frames)
        print("| clip | settings | threads | e2e fps | measure fps | e2e / measure "
              "| decode ms cpu | measure ms cpu | write ms cpu |")
        print("|---|---|---|---|---|---|---|---|---|")
        pipeline = {}
        for size, label, extra in CONFIGS:
            for threads in (1, 3):
                s = run_tool(a.tool, clips[size], extra, threads, tmp / "out")
                n = s["frames"]["processed"]
                st = s["stages"]
                walls = [st[k]["wall_s"] for k in ("component", "flow") if k in st]
                busy = (sum(walls) if threads == 1 else max(walls)) if walls else \
                    st["measure"]["wall_s"]
                measure_fps = n / busy
                e2e = s["throughput_fps"]
                if threads > 1:
                    pipeline[(size, label)] = (e2e, measure_fps)
                ms = [1000 * st[k]["cpu_s"] / n for k in ("decode", "measure", "write")]
                print(f"| {size} | {label} | {'1' if threads == 1 else 'pipeline'} | "
                      f"{e2e:.1f} | {measure_fps:.1f} | {100 * e2e / measure_fps:.0f} % | "
                      f"{ms[0]:.1f} | {ms[1]:.1f} | {ms[2]:.1f} |", flush=True)
        fb_after = farneback_fps(clips["640x480"], a.frames)
        if fb_before is None:
            print("\nOpenCV Farneback: python3-opencv is not installed")
            return
        fb = 0.5 * (fb_before + fb_after)
        print(f"\nOpenCV Farneback, one thread, 640x480: {fb_before:.1f} frames/s before the "
              f"runs, {fb_after:.1f} after")
        dense = pipeline[("640x480", CONFIGS[0][1])][0]
        glob = pipeline[("1920x1080", CONFIGS[2][1])][0]
        worst = min(e / m for e, m in pipeline.values())
        print(f"goals: e2e / measure >= 80 %: {100 * worst:.0f} % at worst; global motion "
              f"1920x1080 >= 30 frames/s: {glob:.1f}; dense flow 640x480 >= 3 x Farneback: "
              f"{dense / fb:.2f} x")


if __name__ == "__main__":
    main()
