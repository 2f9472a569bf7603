#!/usr/bin/python3
"""Accuracy of orvane-flow on clips made the way users' footage looks, beside OpenCV's Farneback.

Each clip is a real photograph (Debian's visp-images-data) moved by a known camera motion (pan,
rotation, zoom; pans that are not whole pixels), resampled with Lanczos, optionally crossed by
textured patches that move on their own, and encoded as H.264 with ffmpeg. Ground truth is
known per pixel. For each clip the script runs the tool with its defaults (or the Python
tracker with --direct), reads its .flo files and frames.csv, and prints per clip:
  the global motion recovered against the known one (pan, rotation, zoom, with errors in %),
  the dense flow's mean endpoint error and valid share, background and patches apart,
  and the same endpoint errors for Farneback (OpenCV, one thread) with both speeds.

  /usr/bin/python3 bench/flow_accuracy.py --tool build/tools/orvane-flow [--quick] [--keep DIR]

OpenCV is used here only, never by the tool.
"""
import csv
import json
import math
import os
import subprocess
import sys
import tempfile
import time

import cv2
import numpy as np

from bench_util import children_cpu, chosen, clip_bench_args, read_grey

PHOTOS = [
    "/usr/share/visp-images-data/ViSP-images/Solvay/Solvay_conference_1927_Version2_2126x1463.png",
    "/usr/share/visp-images-data/ViSP-images/Klimt/Klimt.png",
]


def load_grey(path):
    img = cv2.imread(path, cv2.IMREAD_GRAYSCALE)
    if img is None:
        sys.exit(f"cannot read {path} (install visp-images-data)")
    return img.astype(np.float32)


class Clip:
    """Frames f_t(x) = photo(F^-t(x) + origin) with F(x) = x + a + B (x - c) per frame."""

    def __init__(self, name, photo, size, frames, pan, rotation=0.0, zoom=0.0, patches=(),
                 texture=None):
        self.name, self.photo, self.size, self.frames = name, photo, size, frames
        w, h = size
        self.c = np.array([(w - 1) / 2.0, (h - 1) / 2.0])
        # B = zoom I + rotation [[0, -1], [1, 0]] (clockwise as shown, y down).
        self.B = np.array([[zoom, -rotation], [rotation, zoom]])
        self.a = np.array(pan, dtype=float)
        self.patches = patches  # (x0, y0, side, (wx, wy))
        self.texture = texture

    def flow(self):
        """True displacement per frame at every pixel, and the patch mask."""
        w, h = self.size
        ys, xs = np.mgrid[0:h, 0:w].astype(np.float64)
        u = self.a[0] + self.B[0, 0] * (xs - self.c[0]) + self.B[0, 1] * (ys - self.c[1])
        v = self.a[1] + self.B[1, 0] * (xs - self.c[0]) + self.B[1, 1] * (ys - self.c[1])
        return u, v

    def frame_truth(self, t):
        u, v = self.flow()
        patch = np.zeros(u.shape, bool)
        for (x0, y0, side, (wx, wy)) in self.patches:
            px, py = x0 + wx * t, y0 + wy * t
            ys, xs = np.mgrid[0:u.shape[0], 0:u.shape[1]]
            inside = (xs >= px) & (xs < px + side) & (ys >= py) & (ys < py + side)
            u[inside], v[inside] = wx, wy
            patch |= inside
        return u, v, patch

    def affine(self):
        """(a1..a6) of u = a1 + a2 x + a3 y, v = a4 + a5 x + a6 y."""
        B, c, a = self.B, self.c, self.a
        return (a[0] - B[0] @ c, B[0, 0], B[0, 1], a[1] - B[1] @ c, B[1, 0], B[1, 1])

    def render(self, t):
        w, h = self.size
        M = np.eye(3)
        M[:2, :2] += self.B
        M[:2, 2] = self.a - self.B @ self.c
        Mi = np.linalg.matrix_power(np.linalg.inv(M), t)
        origin = np.array([(self.photo.shape[1] - w) / 2.0, (self.photo.shape[0] - h) / 2.0])
        ys, xs = np.mgrid[0:h, 0:w].astype(np.float64)
        sx = Mi[0, 0] * xs + Mi[0, 1] * ys + Mi[0, 2] + origin[0]
        sy = Mi[1, 0] * xs + Mi[1, 1] * ys + Mi[1, 2] + origin[1]
        frame = lanczos3(self.photo, sx, sy)
        for (x0, y0, side, (wx, wy)) in self.patches:
            px, py = x0 + wx * t, y0 + wy * t
            inside = (xs >= px) & (xs < px + side) & (ys >= py) & (ys < py + side)
            frame[inside] = lanczos3(self.texture, xs[inside] - px + 8, ys[inside] - py + 8)
        return np.clip(frame, 0, 255)

    def encode(self, path, crf=18):
        w, h = self.size
        p = subprocess.Popen(["ffmpeg", "-v", "error", "-y", "-f", "rawvideo", "-pix_fmt", "gray",
                              "-s", f"{w}x{h}", "-r", "25", "-i", "-", "-c:v", "libx264",
                              "-crf", str(crf), "-pix_fmt", "yuv420p", path],
                             stdin=subprocess.PIPE)
        for t in range(self.frames):
            p.stdin.write(np.round(self.render(t)).astype(np.uint8).tobytes())
        p.stdin.close()
        if p.wait() != 0:
            sys.exit("ffmpeg failed")


def lanczos3(image, sx, sy):
    """image sampled at (sx, sy) with the Lanczos-3 kernel, exact to any sub-pixel position
    (OpenCV's warps round positions to 1/32 pixel, too coarse for slow motions)."""
    x0, y0 = np.floor(sx).astype(int), np.floor(sy).astype(int)
    fx, fy = sx - x0, sy - y0

    def weights(f):
        d = np.stack([f - k for k in range(-2, 4)])  # distance to taps x0-2 .. x0+3
        w = np.sinc(d) * np.sinc(d / 3.0)
        return w / w.sum(axis=0)

    wx, wy = weights(fx), weights(fy)
    h, w = image.shape
    out = np.zeros(sx.shape)
    for j in range(6):
        rows = np.clip(y0 + j - 2, 0, h - 1)
        acc = np.zeros(sx.shape)
        for i in range(6):
            acc += wx[i] * image[rows, np.clip(x0 + i - 2, 0, w - 1)]
        out += wy[j] * acc
    return out


def read_flo(path):
    with open(path, "rb") as f:
        tag = np.frombuffer(f.read(4), "<f4")[0]
        w, h = np.frombuffer(f.read(8), "<i4")
        assert abs(tag - 202021.25) < 1e-3, path
        data = np.frombuffer(f.read(), "<f4").reshape(h, w, 2)
    valid = (np.abs(data[..., 0]) < 1e9) & (np.abs(data[..., 1]) < 1e9)
    return data[..., 0], data[..., 1], valid


def region_stats(u, v, valid, tu, tv, region):
    sel = region & valid
    share = sel.sum() / max(region.sum(), 1)
    epe = float(np.mean(np.hypot(u[sel] - tu[sel], v[sel] - tv[sel]))) if sel.any() else float("nan")
    return epe, share


def farneback(frames, clip, every, border):
    cv2.setNumThreads(1)
    epe_bg, epe_p, seconds, n = [], [], 0.0, 0
    for c in range(2, len(frames) - 2, every):
        t0 = time.thread_time()
        f = cv2.calcOpticalFlowFarneback(frames[c], frames[c + 1], None, 0.5, 3, 15, 3, 5, 1.2, 0)
        seconds += time.thread_time() - t0
        n += 1
        tu, tv, patch = clip.frame_truth(c)
        region = np.zeros(patch.shape, bool)
        region[border:-border, border:-border] = True
        ok = np.ones(patch.shape, bool)
        epe_bg.append(region_stats(f[..., 0], f[..., 1], ok, tu, tv, region & ~patch)[0])
        if patch.any():
            epe_p.append(region_stats(f[..., 0], f[..., 1], ok, tu, tv, region & patch)[0])
    return (float(np.mean(epe_bg)), float(np.mean(epe_p)) if epe_p else float("nan"),
            n / seconds if seconds > 0 else float("nan"))


def run_tool(tool, clip_path, out, every, method=None):
    # CPU seconds of the tool itself (user + system, all its threads): on a shared machine
    # the wall time says more about the neighbours than about the tool.
    before = children_cpu()
    r = subprocess.run([tool, clip_path, "--out", out, "--every", str(every), "--save", "flow",
                        "--quiet", "--force"] + (["--method", method] if method else []),
                       capture_output=True, text=True)
    wall = children_cpu() - before
    if r.returncode != 0:
        sys.exit(f"orvane-flow failed on {clip_path}: {r.stderr}")
    with open(os.path.join(out, "summary.json")) as f:
        summary = json.load(f)
    with open(os.path.join(out, "frames.csv")) as f:
        rows = list(csv.DictReader(f))
    return summary, rows, wall


def main():
    ap = clip_bench_args(__doc__, "fewer and shorter clips")
    ap.add_argument("--method", help="the tool's --method (default: the tool's own default)")
    args = ap.parse_args()

    photo = load_grey(PHOTOS[0])
    texture = load_grey(PHOTOS[1])
    size, frames = (640, 480), (24 if args.quick else 40)
    clips = []
    for s in ([0.1, 1.0, 4.0] if args.quick else [0.1, 0.35, 1.0, 2.0, 4.0, 8.0]):
        clips.append(Clip(f"pan {s:g}", photo, size, frames, (s * 0.9, s * 0.437)))
    clips.append(Clip("rotation+zoom", photo, size, frames, (0.6, -0.3), rotation=0.002, zoom=0.0015))
    clips.append(Clip("pan 3 + patches", photo, size, frames, (2.7, 1.3),
                      patches=[(120, 100, 90, (-1.5, 0.8)), (400, 260, 80, (0.3, -2.2))], texture=texture))
    clips.append(Clip("pan 0.3 + fast patch", photo, size, frames, (0.3, 0.1),
                      patches=[(100, 150, 100, (5.0, 1.5))], texture=texture))
    if args.only:
        clips = [c for c in clips if chosen(c.name, args.only)]

    work = args.keep or tempfile.mkdtemp(prefix="orvane-accuracy-")
    os.makedirs(work, exist_ok=True)
    every = 4
    border = 16
    print(f"{'clip':24} {'pan err%':>9} {'rot err%':>9} {'zoom err%':>9} | {'EPE bg':>7} {'valid':>6} "
          f"{'EPE patch':>9} {'valid':>6} | {'FB bg':>7} {'FB patch':>8} | {'fps':>6} {'FB fps':>6}")
    print("(fps: frames per CPU second of the whole tool, decoding and files included; FB fps: "
          "Farneback alone, one thread, thread CPU time)")
    for i, clip in enumerate(clips):
        path = os.path.join(work, f"clip{i}.mp4")
        clip.encode(path)
        out = os.path.join(work, f"out{i}")
        summary, rows, wall = run_tool(args.tool, path, out, every, args.method)
        known = clip.affine()
        med = summary.get("mean_affine_motion") or summary.get("median_affine_motion")
        cx, cy = clip.c
        def pan(p):
            return np.array([p[0] + p[1] * cx + p[2] * cy, p[3] + p[4] * cx + p[5] * cy])
        if med:
            got = [med["a1"], med["a2"], med["a3"], med["a4"], med["a5"], med["a6"]]
            pk, pg = pan(known), pan(got)
            pan_err = 100 * np.linalg.norm(pg - pk) / max(np.linalg.norm(pk), 1e-9)
            rk, rg = 0.5 * (known[4] - known[2]), 0.5 * (got[4] - got[2])
            zk, zg = 0.5 * (known[1] + known[5]), 0.5 * (got[1] + got[5])
            rot_err = 100 * abs(rg - rk) / abs(rk) if rk else float("nan")
            zoom_err = 100 * abs(zg - zk) / abs(zk) if zk else float("nan")
        else:
            pan_err = rot_err = zoom_err = float("nan")
        bg, bgv, pt, ptv = [], [], [], []
        for name in sorted(os.listdir(out)):
            if not name.endswith(".flo"):
                continue
            c = int(name.split("_")[1].split(".")[0])
            u, v, valid = read_flo(os.path.join(out, name))
            tu, tv, patch = clip.frame_truth(c)
            region = np.zeros(patch.shape, bool)
            region[border:-border, border:-border] = True
            e, s = region_stats(u, v, valid, tu, tv, region & ~patch)
            bg.append(e), bgv.append(s)
            if patch.any():
                e, s = region_stats(u, v, valid, tu, tv, region & patch)
                pt.append(e), ptv.append(s)
        frames_dec = read_grey(path)
        fb_bg, fb_p, fb_fps = farneback(frames_dec, clip, every, border)
        fps = summary["frames"]["processed"] / wall if wall > 0 else float("nan")
        mean = lambda x: float(np.mean(x)) if x else float("nan")
        print(f"{clip.name:24} {pan_err:9.2f} {rot_err:9.2f} {zoom_err:9.2f} | {mean(bg):7.3f} {mean(bgv):6.2f} "
              f"{mean(pt):9.3f} {mean(ptv):6.2f} | {fb_bg:7.3f} {fb_p:8.3f} | {fps:6.1f} {fb_fps:6.1f}",
              flush=True)


if __name__ == "__main__":
    main()
