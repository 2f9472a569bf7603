#!/usr/bin/env python3
"""Peak memory of orvane-flow per frame size, with its defaults.

Makes a short H.264 clip of each size with the ffmpeg program (a camera panning over a
photograph: Debian's visp-images-data, scaled up for the large sizes; FFmpeg's test pattern
where the photograph is missing), runs the tool on it with its default options and reports the
process's peak resident memory (the kernel's ru_maxrss of the finished child) and that divided
by the frame's pixels. The peak does not grow with the number of frames, so a dozen are
enough.

    python3 bench/memory_per_size.py --tool build/tools/orvane-flow
    python3 bench/memory_per_size.py --tool build/tools/orvane-flow --sizes 640x480,1920x1080 \\
        -- --method compensated

Prints a Markdown table (the README's) and, with --json FILE, the numbers as JSON.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

PHOTO = "/usr/share/visp-images-data/ViSP-images/Solvay/Solvay_conference_1927_Version2_2126x1463.png"
SIZES = ["640x480", "1920x1080", "3840x2160", "7680x4320"]


def make_clip(folder, size, frames):
    w, h = (int(v) for v in size.split("x"))
    path = folder / f"clip-{size}.mp4"
    if os.path.exists(PHOTO):
        # A picture 1.25 times the frame, panned over 1.5 px/frame across and 0.5 down.
        pw, ph = (int(w * 1.25) // 2 * 2, int(h * 1.25) // 2 * 2)
        source = ["-loop", "1", "-i", PHOTO]
        vf = (f"scale={pw}:{ph},crop={w}:{h}:x='min(3*n/2\\,{pw - w})':"
              f"y='min(n/2\\,{ph - h})',format=gray")
    else:
        source = ["-f", "lavfi", "-i", f"testsrc2=size={w}x{h}:rate=25"]
        vf = "format=gray"
    subprocess.run(["ffmpeg", "-loglevel", "error", "-y", *source, "-vf", vf, "-frames:v",
                    str(frames), "-r", "25", "-c:v", "libx264", "-crf", "18", "-pix_fmt",
                    "yuv420p", str(path)], check=True)
    return path


def peak_rss(args):
    """(exit status, peak resident memory [bytes], seconds) of one run of args."""
    start = time.monotonic()
    proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.monotonic() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    err = proc.stderr.read().decode(errors="replace")
    proc.stderr.close()
    if proc.returncode != 0:
        sys.exit(f"{' '.join(map(str, args))} ended with {proc.returncode}:\n{err}")
    return usage.ru_maxrss * 1024, seconds  # ru_maxrss is in KiB on Linux


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tool", default="orvane-flow", help="the orvane-flow program")
    parser.add_argument("--sizes", default=",".join(SIZES),
                        help="frame sizes WxH, separated by commas (default: %(default)s)")
    parser.add_argument("--frames", type=int, default=12, help="frames per clip")
    parser.add_argument("--json", metavar="FILE", help="also write the numbers as JSON")
    parser.add_argument("extra", nargs="*", help="options for the tool after --, e.g. -- "
                        "--method compensated")
    args = parser.parse_args()
    rows = []
    with tempfile.TemporaryDirectory(prefix="orvane-memory-") as scratch:
        scratch = Path(scratch)
        for size in args.sizes.split(","):
            w, h = (int(v) for v in size.split("x"))
            clip = make_clip(scratch, size, args.frames)
            out = scratch / f"out-{size}"
            rss, seconds = peak_rss([args.tool, str(clip), "--out", str(out), "--force",
                                     "--quiet", *args.extra])
            clip.unlink()
            rows.append({"size": size, "pixels": w * h, "peak_rss_bytes": rss,
                         "bytes_per_pixel": rss / (w * h), "seconds": seconds})
            print(f"{size}: {rss / 2**20:.0f} MiB, {rss / (w * h):.0f} bytes per pixel "
                  f"({seconds:.1f} s)", file=sys.stderr, flush=True)
    print("| frame size | peak RSS | bytes per pixel |")
    print("|---|---:|---:|")
    for r in rows:
        print(f"| {r['size']} | {r['peak_rss_bytes'] / 2**20:.0f} MiB | "
              f"{r['bytes_per_pixel']:.0f} |")
    if args.json:
        Path(args.json).write_text(json.dumps(rows, indent=2) + "\n")


if __name__ == "__main__":
    main()
